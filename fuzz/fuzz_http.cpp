// fuzz_http.cpp -- libFuzzer target for the viewer server's input path: raw
// request bytes through handle_request, and paths through generate_content.
//
// The input (at most REQ_INPUT_MAX bytes) is written into one end of a
// socketpair and handle_request serves the other end while it has bytes to
// read, as a connection thread would; a drainer thread reads and discards
// the responses so a large body (three.js) never blocks the send. The input
// is also handed to generate_content as a path, and every container must be
// well formed: a known type, and for the generated texts a length that
// matches the text and a feed that was not cut. The world holds named
// turtles (a full-length name, feed words and quotes among them), a turtle
// at extreme coordinates, robots, stones, doughnuts, coins, and walls, with
// a maze every other rebuild.
//
// The teacher's console holds a known key. Around every handle_request the
// field's flags (battle, maze, private, walls, names, scores) and the quit
// request are compared: without a line carrying the right key in the input
// nothing may change; with it, only what the action named by a POST request
// line in the input changes (battle mode also sets walls, names and scores;
// the maze sets battle mode).
#include <fcntl.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "canvas_feed.h"
#include "console.h"
#include "frame.h"
#include "fuzz_common.h"
#include "geofunc.h"
#include "globalv.h"
#include "httpd.h"
#include "tcpserver.h"
#include "turtle.h"
#include "webcontent.h"

namespace {

constexpr size_t REQ_INPUT_MAX = 4096; // bytes of one input sent as requests
constexpr int REQUESTS_PER_INPUT = 8;  // handle_request calls at most
constexpr unsigned long REBUILD_EVERY = 4096;

const char KEY[] = "fuzz-key-5d1f";

// The field flags a console action may change, one bit each.
enum {
    F_BATTLE = 1,
    F_MAZE = 2,
    F_PRIVATE = 4,
    F_WALLS = 8,
    F_NAMES = 16,
    F_SCORES = 32,
    F_QUIT = 64
};
const struct {
    const char* name;
    unsigned may_change;
} actions[] = {
    {"battle", F_BATTLE | F_WALLS | F_NAMES | F_SCORES},
    {"maze", F_MAZE | F_BATTLE | F_WALLS | F_NAMES | F_SCORES},
    {"private", F_PRIVATE},
    {"walls", F_WALLS},
    {"names", F_NAMES},
    {"scores", F_SCORES},
    {"quit", F_QUIT},
};

unsigned field_flags() {
    return (battle_mode ? F_BATTLE : 0) | (maze_mode ? F_MAZE : 0) |
           (private_mode ? F_PRIVATE : 0) | (bounded_area_mode ? F_WALLS : 0) |
           (disp_name ? F_NAMES : 0) | (disp_score ? F_SCORES : 0) | (quit_requested ? F_QUIT : 0);
}

// Where a text of the input may end: a blank or a tab, a line end, a NUL
// (the reader ends a path there), the end of the input, or the end of one
// of the reads of HTTP_REQ_MAX bytes.
bool ends_there(const uint8_t* d, size_t n, size_t at) {
    return at == n || at % HTTP_REQ_MAX == 0 || d[at] == 0 || std::strchr(" \t\r\n", d[at]);
}

// Does a line of the input begin with `head` (any case), then `word` (this
// case), ending there? Blanks and tabs may stand between them when `gap`.
bool has_line(const uint8_t* d, size_t n, const char* head, bool gap, const char* word) {
    const size_t hl = std::strlen(head), wl = std::strlen(word);
    for (size_t i = 0; i < n; i++) {
        if (i > 0 && d[i - 1] != '\n') continue;
        if (n - i < hl || strncasecmp((const char*)d + i, head, hl) != 0) continue;
        size_t at = i + hl;
        while (gap && at < n && (d[at] == ' ' || d[at] == '\t')) at++;
        if (n - at >= wl && std::memcmp(d + at, word, wl) == 0 && ends_there(d, n, at + wl))
            return true;
    }
    return false;
}

// The flags that requests in this input may change.
unsigned may_change(const uint8_t* d, size_t n) {
    if (!has_line(d, n, "X-Quillmere-Key:", true, KEY)) return 0;
    unsigned may = 0;
    for (const auto& a : actions) {
        std::string path = std::string("/control/") + a.name;
        if (has_line(d, n, "POST ", false, path.c_str())) may |= a.may_change;
    }
    return may;
}

int served = -1;  // the server's end
int browser = -1; // the far end: input is written, responses are drained here
unsigned long inputs = 0;
unsigned long builds = 0;

void drainer() {
    char buf[65536];
    while (recv(browser, buf, sizeof(buf), 0) > 0) {
    }
}

void name_turtle(int tid, const char* name) {
    if (tid >= 0) std::snprintf(ttl[tid].name, sizeof(ttl[tid].name), "%s", name);
}

void build_world() {
    frame_guard lock;
    std::memset(ttl, 0, sizeof(ttl));
    for (auto& t : ttl) t.cid = -1;
    ntmax = 0;
    battle_mode = maze_mode = bounded_area_mode = 0;
    elapsed_time = 123456;
    reset_wall();
    reset_coin();
    init_teaminfo();
    srandom((unsigned)builds);
    // NOTE: maze_mode stays 0, so turtles are placed over the whole field
    // rather than in the maze's corner cell.
    if (builds % 2 == 1) {
        generate_maze(); // walls and four doughnuts
    } else {
        scatter_stone(3);
        generate_turtle(-1, ST_DOUGHNUT);
    }
    static const char* const names[] = {"bob", "Alice", "turtle", "camera", "img", "~1",
                                        "q\"uote\\", "a b", "wall"};
    for (const char* nm : names) name_turtle(generate_turtle((int)(builds % MAX_CLIENT), 0), nm);
    char longest[NAME_LEN + 1];
    std::memset(longest, 'L', NAME_LEN);
    longest[NAME_LEN] = '\0';
    name_turtle(generate_turtle(0, 0), longest);
    int far = generate_turtle(1, 0);
    if (far >= 0) {
        // as far out as the world lets a turtle go
        ttl[far].pos[0] = {-MAX_COORD, MAX_COORD};
        ttl[far].heading = MAX_HEADING;
        ttl[far].bullet = {MAX_COORD, -MAX_COORD};
        ttl[far].score = -2147483647 - 1;
        ttl[far].team = 4;
        name_turtle(far, "far");
    }
    for (int i = 0; i < 3; i++) generate_turtle(-1, ST_ROBOT);
    field_scatter_coin(40);
    // the feeds answer from the world a frame published
    static struct frame_snapshot snap;
    take_world_state(&snap);
    publish_feeds(&snap);
    builds++;
}

// Every container handed out must be usable by the sender as it stands.
void check_container(const struct container* c, const char* path) {
    if (c->mimetype < MIME_HTML || c->mimetype > MIME_BINARY) broken("container of an unknown type");
    // only the recording has no body here: nothing is recorded or replayed
    if (!c->data && std::strcmp(path, "recording") == 0) return;
    if (!c->data || c->length < 0) broken("container without data");
    if (!c->keep || c->mimetype == MIME_PNG) return; // built-in data, or the canvas
    const char* text = reinterpret_cast<const char*>(c->data);
    if (std::memchr(text, '\0', (size_t)c->length) != nullptr) broken("generated text holds a NUL");
    if (c->mimetype == MIME_JSON) {
        char first = text[0], last = c->length > 0 ? text[c->length - 1] : '\0';
        if (!((first == '[' && last == ']') || (first == '{' && last == '}')))
            broken("a JSON feed was cut");
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    (void)argc;
    (void)argv;
    std::signal(SIGPIPE, SIG_IGN);
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) abort();
    served = sv[0];
    browser = sv[1];
    std::thread(drainer).detach();
    build_world();

    char dir[] = "/tmp/qm-fuzz-key-XXXXXX";
    if (!mkdtemp(dir)) abort();
    std::string file = std::string(dir) + "/key";
    FILE* f = std::fopen(file.c_str(), "w");
    if (!f) abort();
    std::fprintf(f, "%s\n", KEY);
    std::fclose(f);
    char why[256];
    if (console_init(file.c_str(), why, sizeof(why)) != 0) abort();
    std::remove(file.c_str());
    rmdir(dir);

    // a canvas to serve, so that its ETag and 304 are reached
    std::vector<unsigned char> rgb((size_t)CANVAS_SIDE * CANVAS_SIDE * 3, 60);
    canvas_feed_drawn(1);
    canvas_feed_offer(rgb.data(), 1);
    for (int i = 0; i < 100 && !canvas_feed_latest(); i++) usleep(10000);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (++inputs % REBUILD_EVERY == 0) build_world();

    size_t n = size < REQ_INPUT_MAX ? size : REQ_INPUT_MAX;
    if (n > 0 && send(browser, data, n, MSG_NOSIGNAL) != (ssize_t)n) abort();
    // A connection thread serves while bytes wait; it stops at the first
    // request that ends the connection.
    const unsigned may = may_change(data, n);
    for (int k = 0; k < REQUESTS_PER_INPUT; k++) {
        struct pollfd p = {served, POLLIN, 0};
        if (poll(&p, 1, 0) <= 0) break;
        const unsigned before = field_flags();
        const int rc = handle_request(served);
        const unsigned changed = before ^ field_flags();
        if (changed & ~may) broken("a console request changed what it may not");
        quit_requested = 0;
        if (rc <= 0) break;
    }
    // what a closed connection left unread
    char rest[REQ_INPUT_MAX];
    while (recv(served, rest, sizeof(rest), MSG_DONTWAIT) > 0) {
    }

    char* path = static_cast<char*>(malloc(n + 1));
    if (!path) abort();
    std::memcpy(path, data, n);
    path[n] = '\0';
    struct container c = generate_content(path);
    check_container(&c, path);
    free(path);
    return 0;
}
