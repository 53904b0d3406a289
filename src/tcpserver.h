// tcpserver.h -- the command server: client table, framing, the per-frame
// budget, the frame-rendering lock, and the command language with its replies.
#pragma once
#include <netinet/in.h>

#include <atomic>
#include <mutex>

#include "qmere.h"

constexpr int CLIENT_BUF = 512;  // bytes of a client's receive buffer
constexpr int CMD_BUF = 512;     // bytes of each parsed token buffer
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
extern std::atomic<int> accept_only_localhost;
extern int server_socket;
extern std::mutex frame_rendering_mutex;

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
void rendering_started();
void rendering_is_done();
int toggle_localhost_mode();
int read_and_write_back(int sock);

// command language
int parse_message_for(int cl, char* msg);
void answer_back(int cl, int ans);
void convert_hex2str(const char* hex, char* str);
void convert_str2hex(const char* str, char* hex);
int char2int(char c);
