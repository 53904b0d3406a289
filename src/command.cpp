// command.cpp -- the command language. A command text is split into tokens
// as scanf's "%s" splits them; its first letter picks a row of the command
// table (how many tokens it reads, whether it counts against the client's
// per-frame budget, its handler); 'Q' picks a row of the query table, whose
// payload the reply carries. Replies and the hexadecimal text coding too.
#include "command.h"

#include <cctype>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "globalv.h"
#include "tcpserver.h"
#include "turtle.h"

// ================================================================ tokens

// The tokens of one command: cmd, up to three parameters and the rest of the
// text after the last token read. Every buffer is cleared first, so a
// missing token reads as the empty string.
struct cmd_text {
    int tid, cl;
    int budget; // a handler may take the charge back (the coin loan)
    char cmd[CMD_BUF], p1[CMD_BUF], p2[CMD_BUF], p3[CMD_BUF], rest[CMD_BUF];
};

// how a command reads its text
enum reads { READ_0, READ_1, READ_2, READ_3, READ_TEXT };

// NOTE: every buffer gets an explicit width, so no token can overrun it
// whatever the text (framing already bounds commands to 511 bytes).
static_assert(CMD_BUF == 512, "the scanf widths below assume 512-byte buffers");

static void read_tokens(const char* msg, int how, struct cmd_text* c) {
    switch (how) {
    case READ_1: std::sscanf(msg, "%511s%511s%511[^\n]", c->cmd, c->p1, c->rest); break;
    case READ_2: std::sscanf(msg, "%511s%511s%511s%511[^\n]", c->cmd, c->p1, c->p2, c->rest); break;
    case READ_3:
        std::sscanf(msg, "%511s%511s%511s%511s%511[^\n]", c->cmd, c->p1, c->p2, c->p3, c->rest);
        break;
    // the blank skips the blanks after cmd: the message is kept as written
    case READ_TEXT: std::sscanf(msg, "%511s %511[^\n]", c->cmd, c->rest); break;
    default: break; // READ_0: the first read already holds cmd and rest
    }
}

// A real number as strtod reads it (an empty or non-numeric token is 0);
// false for nan and inf, which no operation accepts.
static bool real(const char* tok, double* v) {
    *v = std::strtod(tok, nullptr);
    return std::isfinite(*v);
}

static double clamp(double v, double lo, double hi) { return v < lo ? lo : (v > hi ? hi : v); }

// Base-10 integer of a token, clamped into [lo, hi] before narrowing.
static long clamped_int(const char* s, long lo, long hi) {
    long v = std::strtol(s, nullptr, 10);
    return v < lo ? lo : (v > hi ? hi : v);
}

static int option(const char* tok) { return std::toupper((unsigned char)tok[0]); }

// =============================================================== handlers

static int step(int tid, const char* tok, double sign) {
    double d;
    return real(tok, &d) ? turtle_step_forward(tid, sign * d) : -1;
}

static int cmd_forward(struct cmd_text* c) { return step(c->tid, c->p1, 1.0); }
static int cmd_back(struct cmd_text* c) { return step(c->tid, c->p1, -1.0); }

static int cmd_turn(struct cmd_text* c) {
    double a;
    switch (option(c->p1)) {
    case 'L': return real(c->p2, &a) ? turtle_turn(c->tid, a) : -1;
    case 'R': return real(c->p2, &a) ? turtle_turn(c->tid, -a) : -1;
    case 'E': return turtle_head(c->tid, 1);
    case 'N': return turtle_head(c->tid, 2);
    case 'W': return turtle_head(c->tid, 3);
    case 'S': return turtle_head(c->tid, 4);
    default: return -1;
    }
}

static int cmd_jump(struct cmd_text* c) {
    double x, y;
    return real(c->p1, &x) && real(c->p2, &y) ? turtle_jump(c->tid, x, y) : -1;
}

static int cmd_rjump(struct cmd_text* c) {
    double dx, dy;
    return real(c->p1, &dx) && real(c->p2, &dy) ? turtle_rjump(c->tid, dx, dy) : -1;
}

static int cmd_pen(struct cmd_text* c) {
    switch (option(c->p1)) {
    case 'D':
    case '+': turtle_pen_down(c->tid); break;
    case 'U':
    case '-': turtle_pen_up(c->tid); break;
    default: break;
    }
    return 0;
}

static int cmd_lines(struct cmd_text* c) {
    int r = turtle_unset_brush(c->tid);
    r += turtle_unset_fill_poly(c->tid);
    r += turtle_unset_point_mode(c->tid);
    switch (option(c->p1)) {
    case 'S':
    case '+': return turtle_set_fill_poly(c->tid);
    case 'B': return turtle_set_brush(c->tid);
    case 'P': return turtle_set_point_mode(c->tid);
    default: return r;
    }
}

// Three colour components, each kept within 0..1; false if one is not finite.
static bool rgb(struct cmd_text* c, struct color* k) {
    if (!real(c->p1, &k->r) || !real(c->p2, &k->g) || !real(c->p3, &k->b)) return false;
    k->r = clamp(k->r, 0.0, 1.0);
    k->g = clamp(k->g, 0.0, 1.0);
    k->b = clamp(k->b, 0.0, 1.0);
    return true;
}

static int cmd_color(struct cmd_text* c) {
    struct color k;
    return rgb(c, &k) ? turtle_set_color(c->tid, k.r, k.g, k.b) : -1;
}

static int cmd_width(struct cmd_text* c) {
    double w;
    return real(c->p1, &w) ? turtle_line_width(c->tid, clamp(w, -MAX_WIDTH, MAX_WIDTH)) : -1;
}

static int cmd_print(struct cmd_text* c) {
    char text[NAME_LEN + 1];
    convert_hex2str(c->rest, text);
    return turtle_print_string(c->tid, text);
}

static int cmd_name(struct cmd_text* c) {
    char text[NAME_LEN + 1];
    convert_hex2str(c->rest, text);
    return turtle_name(c->tid, text);
}

static int cmd_board(struct cmd_text* c) { return turtle_broadcast_message(c->tid, c->rest); }

static int cmd_team(struct cmd_text* c) {
    // NOTE: out-of-range numbers clamp to values outside 1..4, which the team
    // operation ignores; the reply is OK whatever it did.
    turtle_set_team(c->tid, (int)clamped_int(c->p1, INT_MIN, INT_MAX));
    return 0;
}

static int cmd_clear(struct cmd_text* c) {
    switch (option(c->p1)) {
    case 'A': field_clear_all_turtles(); break;
    case 'F': field_clear(); break;
    case 'H': turtle_home(c->tid); break;
    default: turtle_reset(c->tid, c->cl); break;
    }
    // then a step, of 0 when the token is a letter or absent
    return step(c->tid, c->p1, 1.0);
}

static int cmd_field_color(struct cmd_text* c) {
    struct color k;
    // a colour that is not all finite keeps the old one; the field is cleared anyway
    if (rgb(c, &k)) field_set_color(k.r, k.g, k.b);
    field_clear();
    return 0;
}

static int cmd_coin(struct cmd_text* c) {
    switch (option(c->p1)) {
    case 'S':
    case '+': return turtle_drop_coin(c->tid);
    case 'B': c->budget = 0; return turtle_borrow_coin(c->tid); // the one coin action not budgeted
    case 'X': return field_scatter_coin(1);
    default: return turtle_pick_coin(c->tid);
    }
}

static int cmd_fire(struct cmd_text* c) { return turtle_fire(c->tid); }

static int cmd_range(struct cmd_text* c) {
    double r;
    return real(c->p1, &r) ? turtle_finder_range(c->tid, clamp(r, -MAX_RANGE, MAX_RANGE)) : -1;
}

static int cmd_doughnut(struct cmd_text* c) { return turtle_generate_doughnut(c->tid); }

static int cmd_events(struct cmd_text* c) {
    // NOTE: the bits are taken modulo 2^32 from a clamped value, so "-1"
    // means every bit and a huge number cannot overflow.
    unsigned int bits = (unsigned int)clamped_int(c->p2, INT_MIN, UINT_MAX);
    if (c->p1[0] == '+') return turtle_enable_event(c->tid, bits);
    if (c->p1[0] == '-') return turtle_disable_event(c->tid, bits);
    return 0;
}

static int cmd_robot(struct cmd_text*) { return generate_turtle(-1, ST_ROBOT); }

static int cmd_battle(struct cmd_text* c) {
    if (c->p1[0] == 'U' || c->p1[0] == 'u' || c->p1[0] == '-')
        field_unset_battle_mode();
    else
        field_set_battle_mode();
    return 0;
}

static int cmd_nothing(struct cmd_text*) { return 0; }

static int query_code(const char* p1, const char* p2);

static int cmd_query(struct cmd_text* c) { return query_code(c->p1, c->p2); }

// =========================================================== command table

struct command {
    char letter;
    int reads;  // how its text is read (enum reads)
    int budget; // 1: counts against the client's per-frame budget
    int (*run)(struct cmd_text* c);
};

static const struct command commands[] = {
    {'F', READ_1, 1, cmd_forward},   {'B', READ_1, 1, cmd_back},
    {'T', READ_2, 1, cmd_turn},      {'J', READ_2, 1, cmd_jump},
    {'G', READ_2, 1, cmd_rjump},     {'P', READ_1, 1, cmd_pen},
    {'L', READ_1, 1, cmd_lines},     {'K', READ_3, 0, cmd_color},
    {'W', READ_1, 0, cmd_width},     {'S', READ_0, 1, cmd_print},
    {'N', READ_0, 0, cmd_name},      {'U', READ_TEXT, 0, cmd_board},
    {'I', READ_1, 0, cmd_team},      {'C', READ_1, 1, cmd_clear},
    {'H', READ_3, 1, cmd_field_color}, {'O', READ_1, 1, cmd_coin},
    {'X', READ_0, 0, cmd_fire},      {'E', READ_1, 0, cmd_range},
    {'D', READ_0, 0, cmd_doughnut},  {'Y', READ_2, 0, cmd_events},
    {'R', READ_0, 0, cmd_robot},     {'!', READ_1, 0, cmd_battle},
    {'.', READ_0, 0, cmd_nothing},   {'Q', READ_2, 0, cmd_query},
};

static const struct command* find_command(int letter) {
    for (const auto& c : commands)
        if (c.letter == letter) return &c;
    return nullptr;
}

static bool valid_tid(int tid) { return tid >= 0 && tid < MAX_TURTLE; }

int parse_message_for(int cl, char* msg) {
    if (cl < 0 || cl >= MAX_CLIENT || !msg) return -1;
    struct cmd_text c;
    c.cmd[0] = c.p1[0] = c.p2[0] = c.p3[0] = c.rest[0] = '\0';
    c.tid = client_tab[cl].tid;
    c.cl = cl;
    // NOTE: a slot without a turtle runs nothing; the operations do not
    // check their tid.
    if (!valid_tid(c.tid)) return -1;

    std::sscanf(msg, "%511s%511[^\n]", c.cmd, c.rest);
    int letter = (unsigned char)c.cmd[0];
    if (letter < '!' || letter > 'y') return -1;
    const struct command* k = find_command(std::toupper(letter));
    if (!k) return -1;
    read_tokens(msg, k->reads, &c);
    c.budget = k->budget;
    int r = k->run(&c);
    if (c.budget) client_tab[cl].nup++;
    return r;
}

// ============================================================= query table

// One query: fills the payload, returns the query's own result.
typedef int (*query_fn)(int tid, int code, char* out, size_t n);

static int q_position(int tid, int, char* out, size_t n) {
    double x = 0, y = 0;
    int rc = qt_position(tid, &x, &y);
    std::snprintf(out, n, "%lf %lf", x, y);
    return rc;
}

static int q_direction(int tid, int, char* out, size_t n) {
    double d = 0;
    int rc = qt_direction(tid, &d);
    std::snprintf(out, n, "%lf", d);
    return rc;
}

static int q_team(int tid, int, char* out, size_t n) {
    int rc = qt_my_team(tid);
    std::snprintf(out, n, "%d", rc);
    return rc;
}

static int q_finder(int tid, int, char* out, size_t n) {
    int yn = 0, team = 0;
    int rc = qt_finder(tid, &yn, &team);
    std::snprintf(out, n, "%d %d", yn, team);
    return rc;
}

static int q_radar(int tid, int code, char* out, size_t n) {
    double d = 0;
    int team = 0;
    int rc = qt_angular_rader(tid, code - Q_RADAR, &d, &team);
    std::snprintf(out, n, "%lf %d", d, team);
    return rc;
}

static int q_sonar(int tid, int, char* out, size_t n) {
    int l = 0, f = 0, r = 0;
    int rc = qt_sonar(tid, &l, &f, &r);
    std::snprintf(out, n, "%d %d %d", l, f, r);
    return rc;
}

// the queries whose payload is one "%d" of an output argument
static int q_int(int tid, int code, char* out, size_t n) {
    int v = 0, rc = 0;
    switch (code) {
    case Q_ALIVE: rc = qt_alive(tid, &v); break;
    case Q_SCORE: rc = qt_score(tid, &v); break;
    case Q_TURTLES: rc = qf_n_turtle(&v); break;
    case Q_COINS_NEAR: rc = qt_n_coin(tid, &v); break;
    default: rc = qt_my_coin(tid, &v); break;
    }
    std::snprintf(out, n, "%d", v);
    return rc;
}

static int q_ticks(int, int, char* out, size_t n) {
    long t = 0;
    int rc = qf_elapsed_time(&t);
    std::snprintf(out, n, "%lu", (unsigned long)t);
    return rc;
}

static int q_board(int tid, int, char* out, size_t n) {
    unsigned int t = 0;
    // NOTE: the board copy is not terminated when it fills all 128 bytes;
    // the spare zeroed byte ends it.
    char board[NAME_LEN + 1];
    std::memset(board, 0, sizeof(board));
    int rc = qt_team_msg(tid, &t, board);
    board[NAME_LEN] = '\0';
    std::snprintf(out, n, "%u %s", t, board);
    return rc;
}

struct query {
    char letter;
    int code; // the first code of the query (the radar has five)
    query_fn run;
};

static const struct query queries[] = {
    {'P', Q_POSITION, q_position},       {'D', Q_DIRECTION, q_direction},
    {'M', Q_TEAM, q_team},               {'F', Q_FINDER, q_finder},
    {'R', Q_RADAR, q_radar},             {'W', Q_SONAR, q_sonar},
    {'A', Q_ALIVE, q_int},               {'S', Q_SCORE, q_int},
    {'T', Q_TICKS, q_ticks},             {'N', Q_TURTLES, q_int},
    {'C', Q_COINS_NEAR, q_int},          {'O', Q_COINS_CARRIED, q_int},
    {'B', Q_BOARD, q_board},
};

static int query_code(const char* p1, const char* p2) {
    int letter = option(p1);
    for (const auto& q : queries) {
        if (q.letter != letter) continue;
        if (q.code != Q_RADAR || p2[0] == '\0') return q.code;
        long rank = clamped_int(p2, 0, RADAR_RANKS + 1);
        return (rank < 1 || rank > RADAR_RANKS) ? -1 : Q_RADAR + (int)rank - 1;
    }
    return -1;
}

static query_fn query_of(int code) {
    for (const auto& q : queries) {
        int last = q.code == Q_RADAR ? Q_RADAR + RADAR_RANKS - 1 : q.code;
        if (code >= q.code && code <= last) return q.run;
    }
    return nullptr;
}

// ================================================================== reply

int format_reply(int tid, int ans, char* line, size_t n) {
    bool have_turtle = valid_tid(tid);
    unsigned int eventcode = have_turtle ? turtle_get_and_reset_eventcode(tid) : 0;
    // NOTE: "%lf" of a coordinate near MAX_COORD is 17 characters; two of
    // them, or the 128-byte board with its time, fit well in 1 KiB.
    char payload[1024];
    payload[0] = '\0';
    int rc = 0;
    query_fn q = query_of(ans);
    if (q) rc = have_turtle ? q(tid, ans, payload, sizeof(payload)) : -1;
    int len = std::snprintf(line, n, "%s%s%s @ %lu %u\n", payload, payload[0] ? " " : "",
                            (rc < 0 || ans < 0) ? "ERR" : "OK",
                            (unsigned long)elapsed_time.load(), eventcode);
    return len < 0 ? 0 : (len < (int)n ? len : (int)n - 1);
}

// ======================================================= hexadecimal text

int char2int(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 0;
}

void convert_hex2str(const char* hex, char* str) {
    int n = 0;
    const char* p = hex;
    for (int step = 0; step < NAME_LEN; step++) {
        char c = *p;
        if (c == '\0') break;
        if (c == ' ') {
            p++;
            continue;
        }
        char lo = p[1];
        int v = 16 * char2int(c) + char2int(lo);
        if (v != 0) str[n++] = (char)v;
        if (lo == '\0') break; // a lone last digit ends the text
        p += 2;
    }
    str[n] = '\0';
}

void convert_str2hex(const char* str, char* hex) {
    static const char digits[] = "0123456789abcdef";
    int n = 0;
    for (int i = 0; i < NAME_LEN && str[i] != '\0'; i++) {
        unsigned char b = (unsigned char)str[i];
        hex[n++] = digits[b >> 4];
        hex[n++] = digits[b & 0xf];
    }
    hex[n] = '\0';
}
