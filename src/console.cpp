// console.cpp -- the teacher's console over HTTP. Owns the arena's key and
// the table of actions. A request with a wrong key is refused before
// anything else is looked at, without a lock and without a log line; the key
// never goes into a log line or a feed, the start-up line aside.
#include "console.h"

#include <strings.h>
#include <sys/random.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "frame.h"
#include "globalv.h"
#include "player.h"
#include "tcpserver.h"

static char arena_key[CONSOLE_KEY_MAX + 1];
static size_t arena_key_len = 0;

static const struct {
    const char* name;
    int action;
} actions[] = {
    {"clear", ACT_CLEAR},   {"zombies", ACT_ZOMBIES}, {"battle", ACT_BATTLE},
    {"maze", ACT_MAZE},     {"private", ACT_PRIVATE}, {"walls", ACT_WALLS},
    {"names", ACT_NAMES},   {"scores", ACT_SCORES},   {"stone", ACT_STONE},
    {"capture", ACT_CAPTURE}, {"killall", ACT_KILLALL}, {"quit", ACT_QUIT},
};

int console_key_equal(const char* a, size_t alen, const char* b, size_t blen) {
    // NOTE: every byte of the longer text is looked at whatever the others
    // hold, so the time taken tells nothing about how much of a guess was right.
    size_t n = alen > blen ? alen : blen;
    unsigned diff = alen != blen;
    for (size_t i = 0; i < n; i++) {
        unsigned char x = i < alen ? (unsigned char)a[i] : 0;
        unsigned char y = i < blen ? (unsigned char)b[i] : 0;
        diff |= (unsigned)(x ^ y);
    }
    return diff == 0;
}

static int read_key_file(const char* path, char* why, size_t n) {
    FILE* f = std::fopen(path, "r");
    if (!f) {
        std::snprintf(why, n, "cannot read the key file %s", path);
        return -1;
    }
    char line[CONSOLE_KEY_MAX + 2];
    const char* got = std::fgets(line, sizeof(line), f);
    std::fclose(f);
    size_t len = got ? std::strcspn(line, "\r\n") : 0;
    while (len > 0 && std::isspace((unsigned char)line[len - 1])) len--;
    size_t start = 0;
    while (start < len && std::isspace((unsigned char)line[start])) start++;
    bool printable = len > start && len - start <= CONSOLE_KEY_MAX;
    for (size_t i = start; printable && i < len; i++)
        printable = std::isgraph((unsigned char)line[i]) != 0;
    if (!printable) {
        std::snprintf(why, n, "the key file %s must hold one key of 1 to %d printable characters",
                      path, CONSOLE_KEY_MAX);
        return -1;
    }
    std::memcpy(arena_key, line + start, len - start);
    arena_key_len = len - start;
    arena_key[arena_key_len] = '\0';
    return 0;
}

int console_init(const char* key_file, char* why, size_t n) {
    if (key_file) {
        if (read_key_file(key_file, why, n) != 0) return -1;
    } else {
        unsigned char bits[16];
        if (getrandom(bits, sizeof(bits), 0) != (ssize_t)sizeof(bits)) {
            std::snprintf(why, n, "no random numbers for the console's key");
            return -1;
        }
        for (size_t i = 0; i < sizeof(bits); i++)
            std::snprintf(arena_key + 2 * i, 3, "%02x", bits[i]);
        arena_key_len = 2 * sizeof(bits);
    }
    std::fprintf(stderr, "control: http://localhost:%d/?key=%s\n", HTTP_PORT, arena_key);
    return 0;
}

static std::string state_json() {
    int battle, maze, priv, walls, names, scores, turtles, clients;
    unsigned long ticks = elapsed_time.load();
    {
        frame_guard lock;
        battle = battle_mode;
        maze = maze_mode;
        priv = private_mode;
        walls = bounded_area_mode;
        names = disp_name;
        scores = disp_score;
        qf_n_turtle(&turtles);
        clients = nclient;
    }
    auto b = [](int v) { return v ? "true" : "false"; };
    char text[512];
    int n = std::snprintf(text, sizeof(text),
                          "{\"battle\":%s,\"maze\":%s,\"private\":%s,\"walls\":%s,\"names\":%s,"
                          "\"scores\":%s,\"ticks\":%lu,\"turtles\":%d,\"clients\":%d",
                          b(battle), b(maze), b(priv), b(walls), b(names), b(scores), ticks,
                          turtles, clients);
    if (player_active()) {
        struct player_state st;
        player_get_state(&st);
        n += std::snprintf(text + n, sizeof(text) - (size_t)n,
                           ",\"replay\":true,\"tick\":%lu,\"first_tick\":%lu,\"ticks_total\":%lu,"
                           "\"speed\":%g,\"playing\":%s",
                           st.tick, st.first_tick, st.last_tick, st.speed, b(st.playing));
    }
    std::snprintf(text + n, sizeof(text) - (size_t)n, "}");
    return text;
}

static void answer(struct console_answer* a, int status, const char* reason, const char* body) {
    a->status = status;
    a->reason = reason;
    a->body = body;
}

// The value of `name` in a query such as "tick=812", or null.
static const char* query_value(const char* query, const char* name) {
    size_t k = std::strlen(name);
    for (const char* p = query; p && *p; p = std::strchr(p, '&') ? std::strchr(p, '&') + 1 : nullptr)
        if (std::strncmp(p, name, k) == 0 && p[k] == '=') return p + k + 1;
    return nullptr;
}

// The replay's own actions: pause, play, seek?tick=N, speed?x=F. 1 when
// `action` was one of them (answered), 0 otherwise.
static int replay_request(const char* method, const char* action, struct console_answer* a) {
    static const char* const names[] = {"pause", "play", "seek", "speed"};
    const char* q = std::strchr(action, '?');
    size_t len = q ? (size_t)(q - action) : std::strlen(action);
    int which = -1;
    for (int i = 0; i < 4; i++)
        if (std::strlen(names[i]) == len && std::strncmp(action, names[i], len) == 0) which = i;
    if (which < 0) return 0;
    if (strcasecmp(method, "POST") != 0) {
        a->allow = "POST";
        answer(a, 405, "Method Not Allowed", "actions are sent with POST\n");
        return 1;
    }
    const char* query = q ? q + 1 : "";
    int rc = 0;
    if (which == 0) player_pause();
    if (which == 1) player_play();
    if (which == 2) {
        const char* v = query_value(query, "tick");
        char* end = nullptr;
        unsigned long tick = v ? std::strtoul(v, &end, 10) : 0;
        rc = (v && end != v && (*end == '\0' || *end == '&') && v[0] != '-') ? player_seek(tick) : -1;
    }
    if (which == 3) {
        const char* v = query_value(query, "x");
        char* end = nullptr;
        double x = v ? std::strtod(v, &end) : 0.0;
        rc = (v && end != v && (*end == '\0' || *end == '&')) ? player_set_speed(x) : -1;
    }
    if (rc != 0)
        answer(a, 400, "Bad Request",
               which == 2 ? "seek?tick=N needs a tick of the recording\n"
                          : "speed?x=F needs F from 0.25 to 16\n");
    else
        answer(a, 204, "No Content", "");
    return 1;
}

void console_request(const char* method, const char* action, const char* key,
                     struct console_answer* a) {
    a->allow = nullptr;
    a->quit_after = 0;
    if (arena_key_len == 0 || !key ||
        !console_key_equal(key, std::strlen(key), arena_key, arena_key_len)) {
        answer(a, 403, "Forbidden", "a wrong or missing key\n");
        return;
    }
    const bool get = strcasecmp(method, "GET") == 0 || strcasecmp(method, "HEAD") == 0;
    const bool post = strcasecmp(method, "POST") == 0;
    if (std::strcmp(action, "state") == 0) {
        if (!get) {
            a->allow = "GET, HEAD";
            answer(a, 405, "Method Not Allowed", "the state is read with GET\n");
            return;
        }
        answer(a, 200, "OK", state_json().c_str());
        return;
    }
    if (player_active() && replay_request(method, action, a)) return;
    for (const auto& act : actions) {
        if (std::strcmp(action, act.name) != 0) continue;
        if (!post) {
            a->allow = "POST";
            answer(a, 405, "Method Not Allowed", "actions are sent with POST\n");
            return;
        }
        if (act.action == ACT_QUIT)
            a->quit_after = 1;
        else
            field_act(act.action);
        answer(a, 204, "No Content", "");
        return;
    }
    answer(a, 404, "Not Found", "no such action\n");
}
