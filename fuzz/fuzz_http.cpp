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
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "fuzz_common.h"
#include "geofunc.h"
#include "globalv.h"
#include "frame.h"
#include "httpd.h"
#include "tcpserver.h"
#include "turtle.h"
#include "webcontent.h"

namespace {

constexpr size_t REQ_INPUT_MAX = 4096; // bytes of one input sent as requests
constexpr int REQUESTS_PER_INPUT = 8;  // handle_request calls at most
constexpr unsigned long REBUILD_EVERY = 4096;

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
    std::lock_guard<std::mutex> lk(frame_rendering_mutex);
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
void check_container(const struct container* c) {
    if (c->mimetype < MIME_HTML || c->mimetype > MIME_JS) broken("container of an unknown type");
    if (!c->data || c->length < 0) broken("container without data");
    if (!c->keep) return;
    const char* text = reinterpret_cast<const char*>(c->data);
    if (std::memchr(text, '\0', (size_t)c->length) != nullptr)
        broken("generated text holds a NUL");
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
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (++inputs % REBUILD_EVERY == 0) build_world();

    size_t n = size < REQ_INPUT_MAX ? size : REQ_INPUT_MAX;
    if (n > 0 && send(browser, data, n, MSG_NOSIGNAL) != (ssize_t)n) abort();
    // A connection thread serves while bytes wait; it stops at the first
    // request that ends the connection.
    for (int k = 0; k < REQUESTS_PER_INPUT; k++) {
        struct pollfd p = {served, POLLIN, 0};
        if (poll(&p, 1, 0) <= 0) break;
        if (handle_request(served) <= 0) break;
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
    check_container(&c);
    free(path);
    return 0;
}
