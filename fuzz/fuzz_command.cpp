// fuzz_command.cpp -- libFuzzer target for the command server's input path:
// the bytes of one client, framed and run exactly as the server thread does,
// without a network peer.
//
// Client slot 0 owns one end of a socketpair and a turtle; the input is
// written to the other end in chunks no larger than the slot's free space and
// taken in by receive_client_packet, then try_to_exec cuts and runs the
// commands (parse_message_for, the world operations, answer_back). The
// replies are drained and thrown away. Between reads a frame runs whenever
// the client has used its budget, as the display callback would, and a few
// more after every input, so bullets, robots, coins and dying run too. The
// world persists across inputs and is rebuilt every RESET_EVERY inputs or
// when the turtle table fills, cycling through a few kinds of arena.
// After every input the target checks the world's invariants and aborts on a
// violation.
// NOTE: because the world carries over, a finding that depends on earlier
// inputs may not repeat when its one reproducer file is run alone in a fresh
// process; the frequent rebuild keeps that history short (at most 31 inputs).
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fuzz_common.h"
#include "geofunc.h"
#include "frame.h"
#include "globalv.h"
#include "tcpserver.h"
#include "turtle.h"

namespace {

constexpr int CL = 0;                 // the client slot driven by the input
constexpr unsigned RESET_EVERY = 32;  // inputs between two fresh worlds
constexpr int FRAMES_PER_INPUT = 4;   // frames after every input
constexpr int WORLD_KINDS = 4;        // plain, furnished, maze, battle
constexpr int REPLY_SNDBUF = 1 << 20; // asked for; the kernel may give less

int peer = -1; // the far end of the slot's socket
unsigned long inputs = 0;
unsigned long resets = 0;

void drain() {
    char buf[65536];
    while (recv(peer, buf, sizeof(buf), MSG_DONTWAIT) > 0) {
    }
}

// Puts client slot 0 back to an empty buffer with the given turtle.
void set_slot(int tid) {
    struct tcpclient* c = &client_tab[CL];
    c->tid = tid;
    c->len = 0;
    c->buffer[0] = '\0';
    c->nup = 0;
    c->to_be_disconnected = 0;
}

// One frame, without drawing: the world step and its snapshot.
void frame() {
    static struct frame_snapshot snap;
    elapsed_time++;
    frame_step(&snap);
}

// A fresh world of the next kind.
void build_world() {
    std::memset(ttl, 0, sizeof(ttl));
    for (auto& t : ttl) t.cid = -1;
    ntmax = 0;
    battle_mode = maze_mode = bounded_area_mode = bird_view_mode = 0;
    elapsed_time = 0;
    reset_wall();
    reset_coin();
    init_teaminfo();
    srandom((unsigned)resets);
    switch (resets % WORLD_KINDS) {
    case 1:
        field_scatter_coin(20);
        scatter_stone(3);
        for (int i = 0; i < 3; i++) generate_turtle(-1, ST_ROBOT);
        break;
    case 2:
        field_set_maze_mode();
        field_scatter_coin(5);
        break;
    case 3:
        field_set_battle_mode();
        field_scatter_coin(10);
        for (int i = 0; i < 5; i++) generate_turtle(-1, ST_ROBOT);
        break;
    default:
        break;
    }
    resets++;
}

// A new client on slot 0 with a new turtle; a world with no room for one is
// replaced by the next kind.
void connect_client() {
    for (int attempt = 0; attempt < 2 * WORLD_KINDS; attempt++) {
        int tid = generate_turtle(CL, 0);
        if (tid >= 0) {
            set_slot(tid);
            return;
        }
        build_world();
    }
    broken("fuzz_command: no fresh world has room for a client turtle");
}

// The client leaves: its turtle stays as a zombie when it is still its own
// and alive (check_client_status), or it was already dead; another client
// takes the slot.
void reconnect_client(bool leave_zombie) {
    int tid = client_tab[CL].tid;
    if (leave_zombie && tid >= 0 && tid < MAX_TURTLE && (ttl[tid].status & ST_ALIVE) &&
        ttl[tid].cid == CL)
        make_zombie(tid);
    set_slot(-1);
    connect_client();
}

void check_slot() {
    const struct tcpclient* c = &client_tab[CL];
    if (c->len < 0 || c->len > CLIENT_BUF - 1) broken("client buffer length out of 0..511");
    if (c->buffer[c->len] != '\0') broken("client buffer not NUL-terminated at len");
}

void check_world() {
    if (ntmax < 0 || ntmax > MAX_TURTLE) broken("ntmax out of 0..30");
    if (nwall < 0 || nwall > MAX_WALL) broken("nwall out of 0..700");
    if (ncoin < 0 || ncoin > MAX_COIN) broken("ncoin out of 0..300");
    if (stock_of_coin < 0 || stock_of_coin > MAX_COIN) broken("stock_of_coin out of 0..300");
    for (int t = 0; t < MAX_TURTLE; t++) {
        const struct turtle* p = &ttl[t];
        if (!std::memchr(p->name, 0, sizeof(p->name))) broken("turtle name not terminated");
        if (!std::memchr(p->msg, 0, sizeof(p->msg))) broken("turtle message not terminated");
        if (!(p->status & ST_ALIVE)) continue;
        if (t >= ntmax) broken("live turtle at or beyond ntmax");
        if (!std::isfinite(p->pos[0].x) || !std::isfinite(p->pos[0].y))
            broken("live turtle with a non-finite position");
        if (!std::isfinite(p->heading)) broken("live turtle with a non-finite heading");
        if (p->team < 0 || p->team >= MAX_TEAM) broken("turtle team out of 0..4");
    }
    for (const auto& tm : teams)
        if (!std::memchr(tm.msg, 0, sizeof(tm.msg))) broken("team board not terminated");

    // Coins on the field carry the ranks 0..k-1, each once.
    static bool seen[MAX_COIN];
    std::memset(seen, 0, sizeof(seen));
    int k = 0;
    for (int i = 0; i < MAX_COIN; i++)
        if (coins[i].status & COIN_ON_FIELD) {
            if (i >= ncoin) broken("coin on the field at or beyond ncoin");
            k++;
        }
    for (int i = 0; i < MAX_COIN; i++) {
        if (!(coins[i].status & COIN_ON_FIELD)) continue;
        int o = coins[i].order;
        if (o < 0 || o >= k) broken("coin rank out of 0..k-1");
        if (seen[o]) broken("two coins share a rank");
        seen[o] = true;
    }
    // The coin map lists each coin on the field once, in its own cell.
    int listed = 0;
    for (int ix = 0; ix < COINMAP_N; ix++) {
        for (int iy = 0; iy < COINMAP_N; iy++) {
            int steps = 0;
            for (const struct coin* c = coinmap[ix][iy]; c; c = c->coinp) {
                if (++steps > MAX_COIN) broken("coin map list does not end");
                if (c < coins || c >= coins + MAX_COIN) broken("coin map points outside coins");
                if (!(c->status & COIN_ON_FIELD)) broken("coin map lists a coin off the field");
                int cx, cy;
                coinmap_cell(c->pos.x, c->pos.y, &cx, &cy);
                if (cx != ix || cy != iy) broken("coin map lists a coin in the wrong cell");
                listed++;
            }
        }
    }
    if (listed != k) broken("coin map and coin table disagree");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    (void)argc;
    (void)argv;
    std::signal(SIGPIPE, SIG_IGN);
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) abort();
    // NOTE: neither end blocks, so no reply can hang the run; the target
    // drains after every read, and a large send buffer keeps every reply.
    fcntl(sv[0], F_SETFL, O_NONBLOCK);
    fcntl(sv[1], F_SETFL, O_NONBLOCK);
    int big = REPLY_SNDBUF;
    setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &big, sizeof(big));
    setsockopt(sv[1], SOL_SOCKET, SO_RCVBUF, &big, sizeof(big));
    for (auto& c : client_tab) {
        c.socket = -1;
        c.tid = -1;
        c.len = 0;
        c.buffer[0] = '\0';
        c.nup = 0;
        c.to_be_disconnected = 0;
    }
    client_tab[CL].socket = sv[0];
    peer = sv[1];
    nclient = 1;
    build_world();
    connect_client();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    struct tcpclient* c = &client_tab[CL];
    // NOTE: how the stream is cut into reads follows from the input's length,
    // so one input always runs the same way in a given world.
    uint32_t cut = (uint32_t)size * 2654435761u + 1u;
    size_t pos = 0;
    while (pos < size) {
        // check_client_status: a client whose turtle died is dropped before
        // its next read, and one that used its budget waits for a frame.
        if (c->to_be_disconnected) reconnect_client(false);
        if (c->nup != 0) frame();
        int room = CLIENT_BUF - 1 - c->len;
        if (room <= 0) broken("a full client buffer was read again");
        cut = cut * 1103515245u + 12345u;
        size_t n = 1 + (cut >> 16) % 256;
        if (n > (size_t)room) n = (size_t)room;
        if (n > size - pos) n = size - pos;
        if (send(peer, data + pos, n, MSG_NOSIGNAL) != (ssize_t)n) abort();
        int got = receive_client_packet(CL);
        if (got != (int)n) broken("receive_client_packet did not take the whole chunk");
        pos += n;
        try_to_exec(CL);
        drain();
        check_slot();
        // An unterminated command that fills the buffer ends the client.
        if (c->len >= CLIENT_BUF - 1) reconnect_client(true);
    }
    for (int f = 0; f < FRAMES_PER_INPUT; f++) frame();
    check_world();

    inputs++;
    if (inputs % RESET_EVERY == 0 || ntmax >= MAX_TURTLE) {
        build_world();
        connect_client();
    } else if (c->to_be_disconnected) {
        reconnect_client(false);
    }
    return 0;
}
