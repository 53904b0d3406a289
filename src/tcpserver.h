// tcpserver.h -- the command server: client table, admission, framing, the
// per-frame budget and the replies.
#pragma once
#include <netinet/in.h>

#include <atomic>
#include <chrono>

#include "qmere.h"

constexpr int CLIENT_BUF = 512;  // bytes of a client's receive buffer
constexpr int LISTEN_BACKLOG = 10;

struct tcpclient {
    int socket;
    struct sockaddr_in addr;
    int tid;
    char buffer[CLIENT_BUF];
    int len;
    int nup;
    // NOTE: set by the frame cycle (main thread), read by the server thread
    // outside the lock at the start of its next pass.
    std::atomic<int> to_be_disconnected;
};

extern struct tcpclient client_tab[MAX_CLIENT];
extern int nclient;
extern int server_socket;

// Lockstep (--lockstep): set before the server starts. Clients then take
// turns in slot order, each until it has spent its budget for the frame,
// and the frame driver starts a frame when all have (lockstep_all_spent).
extern int lockstep_mode;
extern std::atomic<int> lockstep_clients;   // connected clients that take turns
extern std::atomic<int> lockstep_all_spent; // each of them has had its turn
void lockstep_poke(); // something above may have changed: wake the driver
// Waits until ready() or the time; 1 when ready() held.
int lockstep_wait(int (*ready)(), std::chrono::steady_clock::time_point until);

// server
void start_tcp_server(int port);
int init_socket(unsigned short port);
void* server_thread_func(void* arg);
// Waits in one poll for a pending connection on sv_sock (-1: none), a
// readable client with budget left, the frame's end or a marked client;
// > 0 when something woke it, 0 after max_wait_ms (-1: no limit), -1 on error.
int server_wait(int sv_sock, int max_wait_ms);
int check_connection(int sv_sock);
int accept_connection(int sv_sock);
int check_client_status();
int receive_client_packet(int cl);
void try_to_exec(int cl);
void disconnect_client(int cl);
void disconnect_client_for(int tid, int cl);
// Called by the frame under its lock: every client's budget starts afresh.
// Returns 1 when the command thread waits for that and is to be woken
// (wake_server_thread, after the lock is released).
int reset_budgets();
void wake_server_thread();
int toggle_localhost_mode(); // flips private_mode, returns its new value
int read_and_write_back(int sock);
// Sends the reply line to the command whose result is ans (command.h).
void answer_back(int cl, int ans);
