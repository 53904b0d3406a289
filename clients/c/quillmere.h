/* quillmere.h -- drive a turtle in a Quill Mere arena from C or C++.
 *
 * One header, POSIX sockets only. In exactly one source file write
 *
 *     #define QUILLMERE_IMPLEMENTATION
 *     #include "quillmere.h"
 *
 * before any other #include (the implementation asks for POSIX names);
 * every other file includes it plainly.
 *
 *     qm_turtle t;
 *     if (qm_connect(&t, NULL, 0) < 0) {        // QMERE_HOST/QMERE_PORT or 127.0.0.1:2222
 *         fprintf(stderr, "%s\n", qm_error(&t));
 *         return 1;
 *     }
 *     qm_pen_down(&t);
 *     for (int i = 0; i < 4; i++) { qm_forward(&t, 80); qm_left(&t, 90); }
 *     qm_close(&t);
 *
 * Every verb sends one command and waits for its reply line. It returns
 * QM_OK (0) when the arena answered OK, QM_REFUSED (1) when it answered
 * ERR (blocked, zombie, battle rules, ...), or a negative QM_E* code when
 * the connection failed; qm_error() then says what happened, and the
 * turtle cannot be used again. Queries write their values through
 * pointers and return the same codes. Events of every reply are ORed into
 * t->events (see QM_EV_*).
 */
#ifndef QUILLMERE_H
#define QUILLMERE_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define QM_DEFAULT_HOST "127.0.0.1"
#define QM_DEFAULT_PORT 2222
#define QM_MAX_NAME 127  /* bytes of a name the arena keeps */
#define QM_MAX_PRINT 127 /* bytes of a printed text */
#define QM_LINE_MAX 1100 /* longest reply line kept, line feed included */
#define QM_TIMEOUT_MS 10000

/* results */
#define QM_OK 0
#define QM_REFUSED 1
#define QM_ECONNECT (-1)   /* no arena answered at that host and port */
#define QM_ECLOSED (-2)    /* the arena closed the connection */
#define QM_ETIMEOUT (-3)   /* the arena did not answer in time */
#define QM_EMALFORMED (-4) /* the arena sent something that is no reply */
#define QM_EARG (-5)       /* a bad argument (text with ';', no turtle, ...) */

/* event bits of a reply */
#define QM_EV_HIT 0x1u
#define QM_EV_BUMP_TURTLE 0x2u
#define QM_EV_BUMP_DOUGHNUT 0x4u
#define QM_EV_BUMP_STONE 0x8u
#define QM_EV_BUMP_WALL 0x10u
#define QM_EV_COIN 0x20u
#define QM_EV_FINDER 0x40u
#define QM_EV_RADAR 0x80u
#define QM_EV_TEAM_MSG 0x100u

/* One reply line: "[payload ]OK|ERR @ ticks events". */
typedef struct qm_reply {
    char line[QM_LINE_MAX];    /* the whole line, without its line feed */
    char payload[QM_LINE_MAX]; /* the text before OK/ERR, "" when none */
    int ok;                    /* 1 for OK, 0 for ERR */
    unsigned long ticks;       /* the arena's clock */
    unsigned events;           /* event bits */
} qm_reply;

typedef struct qm_turtle {
    int fd;               /* the connection, -1 when there is none */
    int timeout_ms;       /* how long a reply may take */
    int failed;           /* the QM_E* code that ended the connection, or 0 */
    unsigned events;      /* OR of the events of every reply so far */
    qm_reply last;        /* the last reply */
    char in[QM_LINE_MAX]; /* received bytes not yet taken */
    size_t in_len;
    char err[256]; /* what went wrong, for qm_error() */
} qm_turtle;

/* connection */
int qm_connect(qm_turtle* t, const char* host, int port); /* NULL/0: environment, then defaults */
void qm_close(qm_turtle* t);
const char* qm_error(const qm_turtle* t);
const char* qm_strerror(int code);
unsigned qm_take_events(qm_turtle* t);

/* raw commands */
int qm_command(qm_turtle* t, const char* cmd, qm_reply* r); /* r may be NULL */
int qm_commandf(qm_turtle* t, qm_reply* r, const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;

/* hexadecimal text, cut at `limit` bytes without splitting a UTF-8 character;
   hex needs room for 2 * limit + 1 bytes; returns the bytes encoded */
size_t qm_to_hex(const char* text, size_t limit, char* hex, size_t hexsize);

/* motion */
int qm_forward(qm_turtle* t, double d);
int qm_back(qm_turtle* t, double d);
int qm_left(qm_turtle* t, double a);
int qm_right(qm_turtle* t, double a);
int qm_head(qm_turtle* t, char direction); /* 'E', 'N', 'W' or 'S' */
int qm_setheading(qm_turtle* t, double angle);
int qm_jump(qm_turtle* t, double x, double y);
int qm_goto(qm_turtle* t, double x, double y);
int qm_rjump(qm_turtle* t, double dx, double dy);
int qm_reset(qm_turtle* t);
int qm_home(qm_turtle* t);

/* pen */
int qm_pen_down(qm_turtle* t);
int qm_pen_up(qm_turtle* t);
int qm_color(qm_turtle* t, double r, double g, double b);
int qm_width(qm_turtle* t, double w);
int qm_mode(qm_turtle* t, char mode); /* 0 lines, 'S' filled, 'P' points, 'B' brush */
int qm_print(qm_turtle* t, const char* text);
int qm_name(qm_turtle* t, const char* text);

/* team */
int qm_team(qm_turtle* t, int n);
int qm_my_team(qm_turtle* t, int* team);
int qm_say(qm_turtle* t, const char* message);
int qm_board(qm_turtle* t, unsigned* time, char* text, size_t size);

/* queries */
int qm_position(qm_turtle* t, double* x, double* y);
int qm_heading(qm_turtle* t, double* heading);
int qm_alive(qm_turtle* t, int* alive);
int qm_score(qm_turtle* t, int* score);
int qm_ticks(qm_turtle* t, unsigned long* ticks);
int qm_n_turtles(qm_turtle* t, int* n);

/* sensors and gun */
int qm_fire(qm_turtle* t);
int qm_finder(qm_turtle* t, int* kind, int* team);
int qm_finder_range(qm_turtle* t, double range);
int qm_sonar(qm_turtle* t, int* left, int* front, int* right);
int qm_radar(qm_turtle* t, int rank, double* direction, int* team); /* QM_REFUSED: nothing */

/* coins */
int qm_pick_coin(qm_turtle* t);
int qm_drop_coin(qm_turtle* t);
int qm_borrow_coins(qm_turtle* t);
int qm_scatter_coin(qm_turtle* t);
int qm_coins_near(qm_turtle* t, int* n);
int qm_coins_carried(qm_turtle* t, int* n);

/* field and misc */
int qm_doughnut(qm_turtle* t);
int qm_robot(qm_turtle* t);
int qm_enable_events(qm_turtle* t, unsigned bits);
int qm_disable_events(qm_turtle* t, unsigned bits);
int qm_battle(qm_turtle* t, int on);
int qm_clear(qm_turtle* t);
int qm_clear_zombies(qm_turtle* t);
int qm_field_color(qm_turtle* t, double r, double g, double b);
int qm_nop(qm_turtle* t);

#ifdef __cplusplus
}
#endif

#endif /* QUILLMERE_H */

/* ===================================================================== */
#ifdef QUILLMERE_IMPLEMENTATION
#ifndef QUILLMERE_IMPLEMENTED
#define QUILLMERE_IMPLEMENTED

#if !defined(_POSIX_C_SOURCE) && !defined(_GNU_SOURCE)
#define _POSIX_C_SOURCE 200809L
#endif

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#ifdef __cplusplus
extern "C" {
#endif

static const char qm__closed_text[] =
    "the arena closed the connection: the field may be full, or your turtle was killed";

const char* qm_strerror(int code) {
    switch (code) {
    case QM_OK:
        return "OK";
    case QM_REFUSED:
        return "refused by the arena";
    case QM_ECONNECT:
        return "cannot connect to the arena: is it running?";
    case QM_ECLOSED:
        return qm__closed_text;
    case QM_ETIMEOUT:
        return "the arena did not answer in time";
    case QM_EMALFORMED:
        return "the arena sent a line that is no reply";
    case QM_EARG:
        return "bad argument";
    default:
        return "unknown error";
    }
}

const char* qm_error(const qm_turtle* t) {
    return t->err[0] ? t->err : qm_strerror(t->failed);
}

/* Ends the connection with `code` and a message; returns the code. */
static int qm__fail(qm_turtle* t, int code, const char* msg) {
    if (t->fd >= 0) close(t->fd);
    t->fd = -1;
    t->failed = code;
    snprintf(t->err, sizeof t->err, "%s", msg ? msg : qm_strerror(code));
    return code;
}

static long qm__now_ms(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

/* Waits for `events` on the socket until `deadline`; 1 ready, 0 time-out. */
static int qm__wait(int fd, short events, long deadline) {
    for (;;) {
        long left = deadline - qm__now_ms();
        if (left < 0) left = 0;
        struct pollfd p;
        p.fd = fd;
        p.events = events;
        p.revents = 0;
        int n = poll(&p, 1, (int)left);
        if (n > 0) return 1;
        if (n == 0) return 0;
        if (errno != EINTR) return 1; /* the read or write reports it */
    }
}

int qm_connect(qm_turtle* t, const char* host, int port) {
    memset(t, 0, sizeof *t);
    t->fd = -1;
    t->timeout_ms = QM_TIMEOUT_MS;
    if (!host || !*host) host = getenv("QMERE_HOST");
    if (!host || !*host) host = QM_DEFAULT_HOST;
    if (port <= 0) {
        const char* env = getenv("QMERE_PORT");
        char* end = NULL;
        long p = env && *env ? strtol(env, &end, 10) : QM_DEFAULT_PORT;
        if (env && *env && (*end || p <= 0 || p > 65535)) {
            snprintf(t->err, sizeof t->err, "QMERE_PORT=%s is not a port number", env);
            t->failed = QM_EARG;
            return QM_EARG;
        }
        port = (int)p;
    }
    char service[16], msg[200];
    snprintf(service, sizeof service, "%d", port);
    struct addrinfo hints, *res = NULL;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    int gai = getaddrinfo(host, service, &hints, &res);
    if (gai != 0) {
        snprintf(msg, sizeof msg, "cannot connect to the arena at %s:%d (%s)", host, port,
                 gai_strerror(gai));
        return qm__fail(t, QM_ECONNECT, msg);
    }
    int err = ECONNREFUSED;
    long deadline = qm__now_ms() + t->timeout_ms;
    for (struct addrinfo* a = res; a; a = a->ai_next) {
        int fd = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (fd < 0) {
            err = errno;
            continue;
        }
        /* NOTE: a non-blocking connect, so a host that never answers
           costs the time-out, not the system's minutes. */
        int flags = fcntl(fd, F_GETFL, 0);
        fcntl(fd, F_SETFL, flags | O_NONBLOCK);
        int rc = connect(fd, a->ai_addr, a->ai_addrlen);
        if (rc < 0 && errno == EINPROGRESS) {
            if (!qm__wait(fd, POLLOUT, deadline)) {
                close(fd);
                freeaddrinfo(res);
                snprintf(msg, sizeof msg, "no answer from the arena at %s:%d within %d ms", host,
                         port, t->timeout_ms);
                return qm__fail(t, QM_ETIMEOUT, msg);
            }
            socklen_t len = sizeof err;
            rc = getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0 ? 0 : -1;
        } else if (rc < 0) {
            err = errno;
        }
        if (rc == 0) {
            fcntl(fd, F_SETFL, flags);
            int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            t->fd = fd;
            break;
        }
        close(fd);
    }
    freeaddrinfo(res);
    if (t->fd < 0) {
        snprintf(msg, sizeof msg, "cannot connect to the arena at %s:%d (%s): is it running?", host,
                 port, strerror(err));
        return qm__fail(t, QM_ECONNECT, msg);
    }
    return QM_OK;
}

void qm_close(qm_turtle* t) {
    if (t->fd >= 0) close(t->fd);
    t->fd = -1;
}

unsigned qm_take_events(qm_turtle* t) {
    unsigned ev = t->events;
    t->events = 0;
    return ev;
}

/* Parses "[payload ]OK|ERR @ ticks events" in place; 0 or QM_EMALFORMED. */
static int qm__parse(qm_reply* r) {
    char* s = r->line;
    size_t n = strlen(s);
    char* sp3 = NULL; /* the blanks before events, ticks and '@' */
    char* sp2 = NULL;
    char* sp1 = NULL;
    for (size_t i = n; i-- > 0;) {
        if (s[i] != ' ') continue;
        if (!sp3)
            sp3 = s + i;
        else if (!sp2)
            sp2 = s + i;
        else {
            sp1 = s + i;
            break;
        }
    }
    if (!sp1 || sp2 - sp1 != 2 || sp1[1] != '@') return QM_EMALFORMED;
    char* end;
    errno = 0;
    r->ticks = strtoul(sp2 + 1, &end, 10);
    if (end != sp3 || sp2[1] < '0' || sp2[1] > '9' || errno) return QM_EMALFORMED;
    unsigned long ev = strtoul(sp3 + 1, &end, 10);
    if (*end || sp3[1] < '0' || sp3[1] > '9' || errno) return QM_EMALFORMED;
    r->events = (unsigned)ev;
    /* the status word ends at sp1 and starts after the last blank before it */
    char* st = sp1;
    while (st > s && st[-1] != ' ')
        st--;
    size_t stlen = (size_t)(sp1 - st);
    if (stlen == 2 && memcmp(st, "OK", 2) == 0)
        r->ok = 1;
    else if (stlen == 3 && memcmp(st, "ERR", 3) == 0)
        r->ok = 0;
    else
        return QM_EMALFORMED;
    size_t plen = st > s ? (size_t)(st - s - 1) : 0;
    memcpy(r->payload, s, plen);
    r->payload[plen] = '\0';
    return 0;
}

/* Reads one reply line into t->last. */
static int qm__read_reply(qm_turtle* t) {
    long deadline = qm__now_ms() + t->timeout_ms;
    for (;;) {
        char* nl = (char*)memchr(t->in, '\n', t->in_len);
        if (nl) {
            size_t len = (size_t)(nl - t->in);
            memcpy(t->last.line, t->in, len);
            t->last.line[len] = '\0';
            t->in_len -= len + 1;
            memmove(t->in, nl + 1, t->in_len);
            if (qm__parse(&t->last) != 0) {
                char msg[240];
                snprintf(msg, sizeof msg, "malformed reply: \"%.200s\"", t->last.line);
                return qm__fail(t, QM_EMALFORMED, msg);
            }
            t->events |= t->last.events;
            return t->last.ok ? QM_OK : QM_REFUSED;
        }
        if (t->in_len >= sizeof t->in - 1)
            return qm__fail(t, QM_EMALFORMED, "a reply line longer than any reply");
        if (!qm__wait(t->fd, POLLIN, deadline)) {
            char msg[80];
            snprintf(msg, sizeof msg, "the arena did not answer within %d ms", t->timeout_ms);
            return qm__fail(t, QM_ETIMEOUT, msg);
        }
        ssize_t got = recv(t->fd, t->in + t->in_len, sizeof t->in - 1 - t->in_len, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return qm__fail(t, QM_ECLOSED, NULL);
        t->in_len += (size_t)got;
    }
}

int qm_command(qm_turtle* t, const char* cmd, qm_reply* r) {
    if (t->fd < 0) return t->failed ? t->failed : QM_EARG;
    size_t len = strlen(cmd);
    if (len == 0 || len > 510 || strpbrk(cmd, ";\n")) {
        snprintf(t->err, sizeof t->err, "not one command: \"%.60s\"", cmd);
        return QM_EARG;
    }
    char buf[512]; /* NOTE: the arena closes a client after 511 bytes without a terminator */
    memcpy(buf, cmd, len);
    buf[len++] = '\n';
    long deadline = qm__now_ms() + t->timeout_ms;
    for (size_t off = 0; off < len;) {
        if (!qm__wait(t->fd, POLLOUT, deadline)) return qm__fail(t, QM_ETIMEOUT, NULL);
        ssize_t n = send(t->fd, buf + off, len - off, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return qm__fail(t, QM_ECLOSED, NULL);
        off += (size_t)n;
    }
    int rc = qm__read_reply(t);
    if (r && rc >= 0) *r = t->last;
    return rc;
}

int qm_commandf(qm_turtle* t, qm_reply* r, const char* fmt, ...) {
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (n < 0 || (size_t)n >= sizeof buf) {
        snprintf(t->err, sizeof t->err, "command too long");
        return QM_EARG;
    }
    return qm_command(t, buf, r);
}

size_t qm_to_hex(const char* text, size_t limit, char* hex, size_t hexsize) {
    static const char digits[] = "0123456789abcdef";
    size_t n = strlen(text);
    if (hexsize == 0) return 0;
    if (limit > (hexsize - 1) / 2) limit = (hexsize - 1) / 2;
    if (n > limit) {
        n = limit;
        /* back off while the first byte left out continues a character */
        while (n > 0 && ((unsigned char)text[n] & 0xC0) == 0x80)
            n--;
    }
    for (size_t i = 0; i < n; i++) {
        hex[2 * i] = digits[(unsigned char)text[i] >> 4];
        hex[2 * i + 1] = digits[(unsigned char)text[i] & 0xF];
    }
    hex[2 * n] = '\0';
    return n;
}

/* "%.17g" keeps every double exactly; strtod reads it back */
#define QM__G "%.17g"

int qm_forward(qm_turtle* t, double d) {
    return qm_commandf(t, NULL, "F " QM__G, d);
}
int qm_back(qm_turtle* t, double d) {
    return qm_commandf(t, NULL, "B " QM__G, d);
}
int qm_left(qm_turtle* t, double a) {
    return qm_commandf(t, NULL, "T L " QM__G, a);
}
int qm_right(qm_turtle* t, double a) {
    return qm_commandf(t, NULL, "T R " QM__G, a);
}
int qm_head(qm_turtle* t, char direction) {
    return qm_commandf(t, NULL, "T %c", direction);
}
int qm_jump(qm_turtle* t, double x, double y) {
    return qm_commandf(t, NULL, "J " QM__G " " QM__G, x, y);
}
int qm_goto(qm_turtle* t, double x, double y) {
    return qm_jump(t, x, y);
}
int qm_rjump(qm_turtle* t, double dx, double dy) {
    return qm_commandf(t, NULL, "G " QM__G " " QM__G, dx, dy);
}
int qm_reset(qm_turtle* t) {
    return qm_command(t, "C", NULL);
}
int qm_home(qm_turtle* t) {
    return qm_command(t, "C H", NULL);
}

int qm_setheading(qm_turtle* t, double angle) {
    double h;
    int rc = qm_heading(t, &h);
    if (rc != QM_OK) return rc;
    /* NOTE: no fmod, so a program builds without -lm; headings stay far
       below the range of long long */
    double turn = angle - h;
    turn -= 360.0 * (double)(long long)(turn / 360.0);
    if (turn < 0) turn += 360.0;
    if (turn > 180.0) turn -= 360.0;
    return turn == 0.0 ? QM_OK : qm_left(t, turn);
}

int qm_pen_down(qm_turtle* t) {
    return qm_command(t, "P D", NULL);
}
int qm_pen_up(qm_turtle* t) {
    return qm_command(t, "P U", NULL);
}
int qm_color(qm_turtle* t, double r, double g, double b) {
    return qm_commandf(t, NULL, "K " QM__G " " QM__G " " QM__G, r, g, b);
}
int qm_width(qm_turtle* t, double w) {
    return qm_commandf(t, NULL, "W " QM__G, w);
}
int qm_mode(qm_turtle* t, char mode) {
    return mode ? qm_commandf(t, NULL, "L %c", mode) : qm_command(t, "L", NULL);
}

static int qm__hex_command(qm_turtle* t, char letter, const char* text, size_t limit) {
    char cmd[2 + 2 * 127 + 1];
    cmd[0] = letter;
    cmd[1] = ' ';
    qm_to_hex(text, limit, cmd + 2, sizeof cmd - 2);
    return qm_command(t, cmd, NULL);
}
int qm_print(qm_turtle* t, const char* text) {
    return qm__hex_command(t, 'S', text, QM_MAX_PRINT);
}
int qm_name(qm_turtle* t, const char* text) {
    return qm__hex_command(t, 'N', text, QM_MAX_NAME);
}

int qm_team(qm_turtle* t, int n) {
    return qm_commandf(t, NULL, "I %d", n);
}
int qm_say(qm_turtle* t, const char* message) {
    for (const char* p = message; *p; p++) {
        if (*p == ';' || *p < 0x20 || *p > 0x7E) {
            snprintf(t->err, sizeof t->err, "a team message is printable ASCII without ';'");
            return QM_EARG;
        }
    }
    return qm_commandf(t, NULL, "U %s", message);
}

/* Runs a query and scans its payload with `fmt`; QM_EMALFORMED when fewer
   than `want` values come back from an OK or ERR reply with a payload. */
static int qm__query(qm_turtle* t, const char* cmd, int want, const char* fmt, void* a, void* b,
                     void* c) {
    int rc = qm_command(t, cmd, NULL);
    if (rc < 0) return rc;
    if (rc == QM_REFUSED && !t->last.payload[0]) return rc;
    int got = want == 1   ? sscanf(t->last.payload, fmt, a)
              : want == 2 ? sscanf(t->last.payload, fmt, a, b)
                          : sscanf(t->last.payload, fmt, a, b, c);
    if (got != want) {
        char msg[240];
        snprintf(msg, sizeof msg, "reply to \"%s\" is not what it should be: \"%.160s\"", cmd,
                 t->last.line);
        return qm__fail(t, QM_EMALFORMED, msg);
    }
    return rc;
}

int qm_my_team(qm_turtle* t, int* team) {
    return qm__query(t, "Q M", 1, "%d", team, NULL, NULL);
}
int qm_board(qm_turtle* t, unsigned* time, char* text, size_t size) {
    int rc = qm__query(t, "Q B", 1, "%u", time, NULL, NULL);
    if (rc < 0 || !text || size == 0) return rc;
    /* the board's text follows the time and one blank, blanks kept */
    const char* p = strchr(t->last.payload, ' ');
    snprintf(text, size, "%s", p ? p + 1 : "");
    return rc;
}
int qm_position(qm_turtle* t, double* x, double* y) {
    return qm__query(t, "Q P", 2, "%lf %lf", x, y, NULL);
}
int qm_heading(qm_turtle* t, double* heading) {
    return qm__query(t, "Q D", 1, "%lf", heading, NULL, NULL);
}
int qm_alive(qm_turtle* t, int* alive) {
    return qm__query(t, "Q A", 1, "%d", alive, NULL, NULL);
}
int qm_score(qm_turtle* t, int* score) {
    return qm__query(t, "Q S", 1, "%d", score, NULL, NULL);
}
int qm_ticks(qm_turtle* t, unsigned long* ticks) {
    return qm__query(t, "Q T", 1, "%lu", ticks, NULL, NULL);
}
int qm_n_turtles(qm_turtle* t, int* n) {
    return qm__query(t, "Q N", 1, "%d", n, NULL, NULL);
}

int qm_fire(qm_turtle* t) {
    return qm_command(t, "X", NULL);
}
int qm_finder(qm_turtle* t, int* kind, int* team) {
    return qm__query(t, "Q F", 2, "%d %d", kind, team, NULL);
}
int qm_finder_range(qm_turtle* t, double range) {
    return qm_commandf(t, NULL, "E " QM__G, range);
}
int qm_sonar(qm_turtle* t, int* left, int* front, int* right) {
    return qm__query(t, "Q W", 3, "%d %d %d", left, front, right);
}
int qm_radar(qm_turtle* t, int rank, double* direction, int* team) {
    char cmd[16];
    snprintf(cmd, sizeof cmd, "Q R %d", rank);
    return qm__query(t, cmd, 2, "%lf %d", direction, team, NULL);
}

int qm_pick_coin(qm_turtle* t) {
    return qm_command(t, "O", NULL);
}
int qm_drop_coin(qm_turtle* t) {
    return qm_command(t, "O S", NULL);
}
int qm_borrow_coins(qm_turtle* t) {
    return qm_command(t, "O B", NULL);
}
int qm_scatter_coin(qm_turtle* t) {
    return qm_command(t, "O X", NULL);
}
int qm_coins_near(qm_turtle* t, int* n) {
    return qm__query(t, "Q C", 1, "%d", n, NULL, NULL);
}
int qm_coins_carried(qm_turtle* t, int* n) {
    return qm__query(t, "Q O", 1, "%d", n, NULL, NULL);
}

int qm_doughnut(qm_turtle* t) {
    return qm_command(t, "D", NULL);
}
int qm_robot(qm_turtle* t) {
    return qm_command(t, "R", NULL);
}
int qm_enable_events(qm_turtle* t, unsigned bits) {
    return qm_commandf(t, NULL, "Y + %u", bits);
}
int qm_disable_events(qm_turtle* t, unsigned bits) {
    return qm_commandf(t, NULL, "Y - %u", bits);
}
int qm_battle(qm_turtle* t, int on) {
    return qm_command(t, on ? "!" : "! -", NULL);
}
int qm_clear(qm_turtle* t) {
    return qm_command(t, "C F", NULL);
}
int qm_clear_zombies(qm_turtle* t) {
    return qm_command(t, "C A", NULL);
}
int qm_field_color(qm_turtle* t, double r, double g, double b) {
    return qm_commandf(t, NULL, "H " QM__G " " QM__G " " QM__G, r, g, b);
}
int qm_nop(qm_turtle* t) {
    return qm_command(t, ".", NULL);
}

#undef QM__G

#ifdef __cplusplus
}
#endif

#endif /* QUILLMERE_IMPLEMENTED */
#endif /* QUILLMERE_IMPLEMENTATION */
