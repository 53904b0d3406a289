// tcpserver.cpp -- the command server.
//
// Owns the client table (one slot per connected program, each naming its
// turtle), the listening socket, the server thread with its wake-up (one
// poll on the listener, the clients and an eventfd that the frame pokes),
// the framing of each client's byte stream into commands, the per-frame
// budget, and the sending of replies. What a command means is command.cpp's.
#include "tcpserver.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "command.h"
#include "frame.h"
#include "globalv.h"
#include "player.h"
#include "turtle.h"

struct tcpclient client_tab[MAX_CLIENT];
int nclient = 0;
int server_socket = -1;
int lockstep_mode = 0;
std::atomic<int> lockstep_clients{0};
std::atomic<int> lockstep_all_spent{0};

// NOTE: every event the server thread serves wakes it (a readable client or
// listener, the frame's end, a mark); the idle wait only bounds how long a
// lost wake-up could go unnoticed.
constexpr int IDLE_WAIT_MS = 1000;
constexpr int FALLBACK_WAIT_MS = 5; // waits when the thread cannot be woken
constexpr int ECHO_BUF = 2048;  // one read of read_and_write_back
constexpr int REPLY_BUF = 1088; // the longest reply line, with room to spare

// Set for a client when one of its replies could not be sent whole: it has
// left so many replies unread that every buffer between us is full. Read and
// written by the command thread only.
static bool replies_stuck[MAX_CLIENT];

// Empties one slot without touching its socket.
static void clear_slot(struct tcpclient* c) {
    replies_stuck[c - client_tab] = false;
    c->socket = -1;
    c->tid = -1;
    std::memset(&c->addr, 0, sizeof(c->addr));
    c->buffer[0] = '\0';
    c->len = 0;
    c->nup = 0;
    c->to_be_disconnected = 0;
}

// NOTE: the table starts with every slot free (socket -1), not with zeroed
// sockets, so a stray disconnect before init_socket can never close fd 0.
static const bool client_tab_ready = [] {
    for (auto& c : client_tab) clear_slot(&c);
    return true;
}();

static void peer_text(const struct sockaddr_in* a, char* ip, size_t n, int* port) {
    if (!inet_ntop(AF_INET, &a->sin_addr, ip, (socklen_t)n)) std::snprintf(ip, n, "?");
    *port = ntohs(a->sin_port);
}

static bool valid_tid(int tid) { return tid >= 0 && tid < MAX_TURTLE; }

// A complete command waits in the client's buffer.
static bool has_command(const struct tcpclient* c) {
    return std::memchr(c->buffer, '\n', (size_t)c->len) || std::memchr(c->buffer, ';', (size_t)c->len);
}

// NOTE: made once and never destroyed: the command thread may still poke
// them while the program exits.
static std::mutex& lockstep_mutex = *new std::mutex;
static std::condition_variable& lockstep_cv = *new std::condition_variable;

void lockstep_poke() {
    { std::lock_guard<std::mutex> lock(lockstep_mutex); }
    lockstep_cv.notify_all();
}

int lockstep_wait(int (*ready)(), std::chrono::steady_clock::time_point until) {
    std::unique_lock<std::mutex> lock(lockstep_mutex);
    return lockstep_cv.wait_until(lock, until, ready) ? 1 : 0;
}

// ====================================================================
// server
// ====================================================================

void start_tcp_server(int port) {
    (void)client_tab_ready;
    server_socket = init_socket((unsigned short)port);
    if (server_socket < 0) {
        field_set_socket_error();
        return;
    }
    std::thread(server_thread_func, nullptr).detach();
}

int init_socket(unsigned short port) {
    int s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s < 0) {
        std::fprintf(stderr, "init_socket(): cannot open TCP socket\n");
        return -1;
    }
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));

    struct sockaddr_in a;
    std::memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    a.sin_port = htons(port);
    if (bind(s, (struct sockaddr*)&a, sizeof(a)) < 0) {
        std::fprintf(stderr, "init_socket(): cannot bind to port %d\n", port);
        close(s);
        return -1;
    }
    if (listen(s, LISTEN_BACKLOG) < 0) {
        std::fprintf(stderr, "init_socket(): listen() failure for port %d\n", port);
        close(s);
        return -1;
    }
    for (auto& c : client_tab) clear_slot(&c);
    nclient = 0;
    return s;
}

void* server_thread_func(void* arg) {
    (void)arg;
    // The thread was detached when it was started; sends to departed peers
    // must fail with EPIPE instead of ending the process.
    std::signal(SIGPIPE, SIG_IGN);
    pthread_setname_np(pthread_self(), "qm-commands");
    // NOTE: a reply must not wait while the drawing or another program has
    // the core. Where the system allows it (root, CAP_SYS_NICE or a
    // real-time limit above 0) this thread runs round-robin at the lowest
    // real-time priority; it runs only to serve commands, and moves stay
    // limited to one batch per client and frame. Elsewhere it stays as it is.
    struct sched_param rt = {};
    rt.sched_priority = 1;
    pthread_setschedparam(pthread_self(), SCHED_RR, &rt);
    while (server_socket > 0) {
        server_wait(server_socket, IDLE_WAIT_MS);
        check_connection(server_socket);
        check_client_status();
    }
    return nullptr;
}

// ---------------------------------------------------------------- waking

// The frame's budget reset and the marking of a client wake the waiting
// server thread through this eventfd, which sits in its poll set.
static int wake_fd() {
    static const int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    return fd;
}

// True from the moment server_wait has built its poll set until its poll
// has returned: a mark made meanwhile must wake it.
static std::atomic<bool> server_waiting{false};
// Set under the frame lock by server_wait when it left a client out for its
// spent budget; the frame's budget reset wakes the thread only then.
static bool frame_end_awaited = false;
// Set when accept() failed: the next wait leaves the listener out.
static std::atomic<bool> accept_failed{false};

// NOTE: a non-blocking write of 1 to the eventfd; it can only fail when the
// counter is near 2^64, and then a wake-up is pending anyway.
void wake_server_thread() {
    int fd = wake_fd();
    if (fd < 0) return;
    uint64_t one = 1;
    ssize_t n = write(fd, &one, sizeof(one));
    (void)n;
}

int server_wait(int sv_sock, int max_wait_ms) {
    int fd = wake_fd();
    struct pollfd pfd[2 + MAX_CLIENT];
    int n = 0;
    bool now = false; // something needs the thread already: do not sleep
    if (fd >= 0) pfd[n++] = {fd, POLLIN, 0};
    bool backoff = sv_sock >= 0 && accept_failed.exchange(false);
    bool listen_now = sv_sock >= 0 && !backoff;
    if (listen_now) pfd[n++] = {sv_sock, POLLIN, 0};
    {
        // NOTE: nup is the frame's and the server's, written under the lock;
        // the set is built under it, and so is the note that a budget is
        // spent, so a frame ending after this block finds the note and wakes
        // the thread, and one ending before it has zeroed nup already.
        frame_guard lk;
        server_waiting = true;
        bool left_out = false;
        for (int cl = 0; cl < MAX_CLIENT; cl++) {
            const struct tcpclient* c = &client_tab[cl];
            if (c->socket < 0) continue;
            if (c->to_be_disconnected) {
                now = true; // dropped by the next pass
                continue;
            }
            if (c->nup != 0) {
                left_out = true; // read again once the frame has ended
                continue;
            }
            if (lockstep_mode) {
                // only the client whose turn it is; it may hold a command already
                if (has_command(c)) now = true;
                pfd[n++] = {c->socket, POLLIN, 0};
                left_out = true;
                break;
            }
            pfd[n++] = {c->socket, POLLIN, 0};
        }
        frame_end_awaited = left_out;
    }
    int wait_ms = max_wait_ms;
    // NOTE: without the eventfd nothing can wake the thread; it falls back
    // to short waits, as it does for a while after a failed accept.
    if ((fd < 0 || backoff) && (wait_ms < 0 || wait_ms > FALLBACK_WAIT_MS)) wait_ms = FALLBACK_WAIT_MS;
    if (now) wait_ms = 0;
    int r = poll(pfd, (nfds_t)n, wait_ms);
    server_waiting = false;
    if (r < 0) {
        // NOTE: a failing poll (not a signal) must not turn into a busy loop.
        if (errno != EINTR) std::this_thread::sleep_for(std::chrono::milliseconds(FALLBACK_WAIT_MS));
        return -1;
    }
    if (fd >= 0 && (pfd[0].revents & POLLIN)) {
        uint64_t count;
        ssize_t got = read(fd, &count, sizeof(count));
        (void)got;
    }
    return now ? r + 1 : r;
}

static void serve_in_turn(const bool* ready);

// Lockstep: how many clients take turns, and whether each has had its turn
// this frame. Published for the frame driver, which is poked on a change.
static void lockstep_publish() {
    int connected = 0, spent = 0;
    for (const auto& c : client_tab) {
        if (c.socket < 0 || c.to_be_disconnected) continue;
        connected++;
        if (c.nup != 0) spent++;
    }
    lockstep_clients = connected;
    lockstep_all_spent = connected > 0 && spent == connected;
}

// Accepts a connection pending on sv_sock, without waiting for one.
int check_connection(int sv_sock) {
    struct pollfd p = {sv_sock, POLLIN, 0};
    if (poll(&p, 1, 0) <= 0) return 0;
    if (p.revents & POLLIN) accept_connection(sv_sock);
    return 0;
}

int accept_connection(int sv_sock) {
    struct sockaddr_in a;
    socklen_t alen = sizeof(a);
    std::memset(&a, 0, sizeof(a));
    int s = accept(sv_sock, (struct sockaddr*)&a, &alen);
    if (s < 0) {
        std::fprintf(stderr, "accept_connection(): accept() failure\n");
        // NOTE: a listener that stays readable while accept() fails (out of
        // descriptors, say) would wake the thread at once again and again.
        accept_failed = true;
        return -1;
    }
    if (nclient > MAX_CLIENT - 1) {
        close(s);
        std::fprintf(stderr, "accept_connection(): reaches MAX_CLIENT\n");
        return -1;
    }
    char ip[INET_ADDRSTRLEN];
    int port;
    peer_text(&a, ip, sizeof(ip), &port);
    if (player_active()) { // a recording is shown: there is no field to drive
        std::fprintf(stderr, "accept_connection(): replaying a recording, closing connection from %s %d\n",
                     ip, port);
        close(s);
        return -1;
    }
    if (private_mode && a.sin_addr.s_addr != htonl(INADDR_LOOPBACK)) {
        std::fprintf(stderr, "accept_connection(): reject connection from %s %d\n", ip, port);
        close(s);
        return -1;
    }
    std::fprintf(stderr, "handling client from %s %d\n", ip, port);
    // NOTE: every reply is one small send; without this a client that sends
    // two commands in one write waits for a delayed ACK (about 40 ms) before
    // the second reply leaves.
    int one = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));

    int cl = -1;
    for (int i = 0; i < MAX_CLIENT; i++) {
        if (client_tab[i].socket < 0) {
            cl = i;
            break;
        }
    }
    if (cl < 0) { // cannot happen while nclient counts the slots; kept as a guard
        close(s);
        return -1;
    }
    // NOTE: the turtle table is the frame's too, so the new turtle and the
    // slot that names it are made under the frame lock.
    {
        frame_guard lk;
        field_needs_redraw = 1;
        int tid = generate_turtle(cl, 0);
        if (tid < 0) {
            close(s);
            return -1;
        }
        struct tcpclient* c = &client_tab[cl];
        c->socket = s;
        c->addr = a;
        c->tid = tid;
        c->buffer[0] = '\0';
        c->len = 0;
        c->nup = 0;
        c->to_be_disconnected = 0;
        nclient += 1;
        if (lockstep_mode) lockstep_publish();
    }
    if (lockstep_mode) lockstep_poke();
    return s;
}

// Closes slot cl; `why` (or none) is appended to the closing log line.
static void close_client(int cl, const char* why) {
    if (cl < 0 || cl >= MAX_CLIENT || client_tab[cl].socket < 0) return;
    struct tcpclient* c = &client_tab[cl];
    char ip[INET_ADDRSTRLEN];
    int port;
    peer_text(&c->addr, ip, sizeof(ip), &port);
    if (why)
        std::fprintf(stderr, "closing connection from %s %d: %s\n", ip, port, why);
    else
        std::fprintf(stderr, "closing connection from %s %d\n", ip, port);
    close(c->socket);
    clear_slot(c);
    nclient -= 1;
}

// The departed client's turtle stays on the field as a zombie.
static void leave_zombie(int cl) {
    int tid = client_tab[cl].tid;
    // NOTE: only a turtle that is still alive and still this client's; one
    // that has already died leaves nothing behind.
    if (valid_tid(tid) && (ttl[tid].status & ST_ALIVE) && ttl[tid].cid == cl) make_zombie(tid);
}

// One pass of reading and executing client input: drops the marked clients,
// then serves every client that is readable now and has budget left. It does
// not wait; the server thread waits in server_wait before it.
int check_client_status() {
    struct pollfd pfd[MAX_CLIENT];
    int slot[MAX_CLIENT];
    int n = 0;
    for (int cl = 0; cl < MAX_CLIENT; cl++) {
        if (client_tab[cl].socket < 0) continue;
        if (client_tab[cl].to_be_disconnected) {
            // NOTE: the frame reads the slot's tid under the lock
            // (disconnect_client_for), so the slot is emptied under it too.
            {
                frame_guard lk;
                disconnect_client(cl);
                field_needs_redraw = 1;
                if (lockstep_mode) lockstep_publish();
            }
            if (lockstep_mode) lockstep_poke();
            continue;
        }
        pfd[n] = {client_tab[cl].socket, POLLIN, 0};
        slot[n++] = cl;
    }
    if (n == 0) return 0;
    int polled = poll(pfd, (nfds_t)n, 0);
    bool ready[MAX_CLIENT] = {};
    // A hung-up or failed socket counts as readable: its read reports it.
    for (int i = 0; i < n && polled > 0; i++) ready[slot[i]] = pfd[i].revents != 0;
    if (lockstep_mode) {
        {
            frame_guard lk;
            field_needs_redraw = 1;
            serve_in_turn(ready);
            lockstep_publish();
        }
        lockstep_poke();
        return 0;
    }
    if (polled <= 0) return 0;

    frame_guard lk;
    // commands, departures and zombies all change what the window shows
    field_needs_redraw = 1;
    for (int cl = 0; cl < MAX_CLIENT; cl++) {
        struct tcpclient* c = &client_tab[cl];
        if (c->socket < 0 || !ready[cl] || c->nup != 0) continue;
        // NOTE: a client whose turtle died since the read set was built is
        // dropped at the start of the next pass; its input is not run.
        if (c->to_be_disconnected) continue;
        if (receive_client_packet(cl) <= 0) {
            leave_zombie(cl);
            disconnect_client(cl);
            break;
        }
        try_to_exec(cl);
        if (replies_stuck[cl]) {
            // its reply stream has a hole now; it cannot be served further
            leave_zombie(cl);
            close_client(cl, "replies not read");
        } else if (c->len >= CLIENT_BUF - 1) {
            // NOTE: an unterminated command that fills the whole buffer can
            // never complete; the client is dropped rather than read forever.
            leave_zombie(cl);
            close_client(cl, "command too long");
        }
    }
    return 0;
}

// Lockstep: the clients take turns in slot order, each until it has spent
// its budget for the frame (a budgeted command) -- so the same bots sending
// the same commands make the same match, however their bytes arrive. A
// client's turn uses the commands it has buffered before it reads more.
static void serve_in_turn(const bool* ready) {
    for (int cl = 0; cl < MAX_CLIENT; cl++) {
        struct tcpclient* c = &client_tab[cl];
        if (c->socket < 0 || c->to_be_disconnected || c->nup != 0) continue;
        if (!has_command(c)) {
            if (!ready[cl]) return; // its turn: the later ones wait for it
            if (receive_client_packet(cl) <= 0) {
                leave_zombie(cl);
                disconnect_client(cl);
                continue;
            }
        }
        try_to_exec(cl);
        if (replies_stuck[cl]) {
            leave_zombie(cl);
            close_client(cl, "replies not read");
            continue;
        }
        if (c->len >= CLIENT_BUF - 1) {
            leave_zombie(cl);
            close_client(cl, "command too long");
            continue;
        }
        if (c->nup == 0) return; // still its turn (queries so far, or half a command)
    }
}

int receive_client_packet(int cl) {
    struct tcpclient* c = &client_tab[cl];
    // NOTE: never read more than the free space, keeping room for the NUL;
    // a full buffer reads as a failed read (check_client_status drops such
    // a client before it gets here).
    int room = CLIENT_BUF - 1 - c->len;
    if (room <= 0) return -1;
    ssize_t n = recv(c->socket, c->buffer + c->len, (size_t)room, 0);
    if (n <= 0) return (int)n;
    c->len += (int)n;
    c->buffer[c->len] = '\0';
    return (int)n;
}

// Cuts the buffer into commands at ';' and line feed, runs and answers each,
// and keeps the unterminated tail for the next read.
void try_to_exec(int cl) {
    struct tcpclient* c = &client_tab[cl];
    char ebuf[CLIENT_BUF];
    int elen = 0;
    int rest = 0;
    for (int i = 0; i < c->len; i++) {
        unsigned char b = (unsigned char)c->buffer[i];
        if (b == ';' || b < 0x20 || b >= 0x80) {
            if (b == ';' || b == '\n') {
                if (elen > 0) {
                    ebuf[elen] = '\0';
                    int r = parse_message_for(cl, ebuf);
                    answer_back(cl, r);
                    elen = 0;
                }
                // NOTE: a terminator with nothing before it is consumed too:
                // it runs nothing, and a stream of empty commands then never
                // fills the buffer.
                rest = i + 1;
                // in lockstep a turn ends with the first budgeted command
                if (lockstep_mode && c->nup != 0) break;
            }
            continue;
        }
        if (b == ' ' && elen == 0) continue;
        ebuf[elen++] = (char)b; // elen < len < CLIENT_BUF
    }
    int tail = c->len - rest;
    if (rest > 0) std::memmove(c->buffer, c->buffer + rest, (size_t)tail);
    c->len = tail;
    c->buffer[tail] = '\0';
}

void disconnect_client(int cl) { close_client(cl, nullptr); }

void disconnect_client_for(int tid, int cl) {
    if (cl >= 0 && cl < MAX_CLIENT && client_tab[cl].tid == tid) {
        client_tab[cl].to_be_disconnected = 1;
        // NOTE: the mark is stored before the flag is read, and server_wait
        // raises the flag before it reads the marks: one of the two sees
        // the other, so a waiting thread is always woken for the drop.
        if (server_waiting) wake_server_thread();
    }
}

int reset_budgets() {
    for (auto& c : client_tab) c.nup = 0;
    if (lockstep_mode) lockstep_publish();
    bool wake = frame_end_awaited;
    frame_end_awaited = false;
    return wake ? 1 : 0;
}

int toggle_localhost_mode() {
    int v = private_mode ? 0 : 1;
    private_mode = v;
    return v;
}

// Echo: one read sent straight back. Not part of the serving loop.
int read_and_write_back(int sock) {
    char buf[ECHO_BUF];
    ssize_t n = recv(sock, buf, sizeof(buf), 0);
    if (n > 0) send(sock, buf, (size_t)n, MSG_NOSIGNAL);
    return (int)n;
}

void answer_back(int cl, int ans) {
    if (cl < 0 || cl >= MAX_CLIENT || client_tab[cl].socket < 0) return;
    char line[REPLY_BUF];
    int len = format_reply(client_tab[cl].tid, ans, line, sizeof(line));
    // NOTE: sent without waiting (the frame lock is held): a client that never
    // reads its replies must not stop everybody. A reply that does not fit
    // whole marks the client, closed after its batch; the next read sees any
    // other failure.
    ssize_t sent = send(client_tab[cl].socket, line, (size_t)len, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent >= 0 ? sent < len : (errno == EAGAIN || errno == EWOULDBLOCK)) replies_stuck[cl] = true;
}
