// httpd.cpp -- the HTTP viewer server: the listening socket `httpsock`, the
// listener thread, one detached thread per browser connection, reading a
// request and sending its answer. What a path answers is webcontent.cpp's.
// Nothing here touches the world or takes the frame lock.
#include "httpd.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <strings.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "globalv.h"
#include "qmere.h"
#include "tcpserver.h"
#include "console.h"
#include "webcontent.h"

int httpsock = -1;

// ------------------------------------------------------------ fixed texts

char msg404[137] =
    "<html><head><title>404 Not Found</title></head><body><h2>404 Not Found</h2>"
    "<h3>The document requested was not found.</h3></body></html>\n";

static const char SERVER_LINE[] = "Server: Quillmere/0.1\r\n";

// ------------------------------------------------------------ buffer sizes

constexpr int PATH_MAX_CHARS = 1001; // of the request line's path
static const char CONSOLE_PATH[] = "/control/";

// NOTE: connection threads only hold a request buffer and a path copy, so a
// small stack keeps a thousand idle connections cheap.
constexpr size_t CONNECTION_STACK = 256 * 1024;
// NOTE: a browser that stops reading must not pin a thread forever.
constexpr int SEND_TIMEOUT_SECONDS = HTTP_IDLE_SECONDS;
constexpr int CONNECTION_NICENESS = 10;

static void set_cork(int fd, int on);
static int send_response(int fd, const struct container* content, int is_head, int keep_connection);
static int send_not_found(int fd, int is_head, int keep_connection);
static int send_not_found_lines(int fd, int is_head, int keep_connection);

// ================================================================ server

int start_httpd(int port) {
    // NOTE: many idle browser connections each hold a descriptor; lift the
    // soft limit to the hard one so they do not starve new connections.
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
    int* arg = static_cast<int*>(malloc(sizeof(int)));
    if (!arg) return -1;
    *arg = port;
    pthread_t th;
    int rc = pthread_create(&th, nullptr, httpd, arg);
    if (rc != 0) free(arg);
    return rc;
}

// Whether a failed accept is worth another try rather than the end of service.
static int accept_error_is_transient(int err) {
    return err == EMFILE || err == ENFILE || err == ECONNABORTED || err == EINTR ||
           err == ENOBUFS || err == ENOMEM || err == EPROTO;
}

void* httpd(void* arg) {
    int port = *static_cast<int*>(arg);
    free(arg);
    pthread_detach(pthread_self());
    pthread_setname_np(pthread_self(), "qm-httpd");

    httpsock = socket(AF_INET, SOCK_STREAM, 0);
    if (httpsock < 0) {
        fprintf(stderr, "cannot create socket\n");
        return nullptr;
    }
    int one = 1;
    setsockopt(httpsock, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(static_cast<unsigned short>(port));
    if (bind(httpsock, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) < 0) {
        fprintf(stderr, "httpd(): cannot bind to port %d\n", port);
        field_set_socket_error();
        close(httpsock);
        return nullptr;
    }
    if (listen(httpsock, LISTEN_BACKLOG) < 0) {
        fprintf(stderr, "httpd(): cannot listen to port %d\n", port);
        field_set_socket_error();
        close(httpsock);
        return nullptr;
    }
    fprintf(stderr, "httpd: listening for connections on port %d...\n", port);

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, CONNECTION_STACK);

    for (;;) {
        struct sockaddr_in peer;
        socklen_t plen = sizeof(peer);
        int fd = accept(httpsock, reinterpret_cast<struct sockaddr*>(&peer), &plen);
        if (fd < 0) {
            int err = errno;
            fprintf(stderr, "cannot accept connection\n");
            // NOTE: running out of descriptors, an aborted handshake or a
            // signal is a passing condition: wait a little and keep serving
            // instead of ending the viewer server for the rest of the run.
            if (accept_error_is_transient(err)) {
                usleep(50 * 1000);
                continue;
            }
            break;
        }
        char ip[INET_ADDRSTRLEN] = "?";
        inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof(ip));
        if (private_mode.load() && peer.sin_addr.s_addr != htonl(INADDR_LOOPBACK)) {
            fprintf(stderr, "accept_connection(): reject connection from %s %d\n", ip,
                    ntohs(peer.sin_port));
            close(fd);
            continue;
        }
        fprintf(stderr, "http connected from %s %d\n", ip, fd);
        int* fdp = static_cast<int*>(malloc(sizeof(int)));
        pthread_t th;
        int rc = fdp ? (*fdp = fd, pthread_create(&th, &attr, handle_connection, fdp)) : ENOMEM;
        if (rc != 0) {
            fprintf(stderr, "error creating new thread for handle_connection()\n");
            close(fd);
            free(fdp);
            // NOTE: a thread limit reached under a flood of connections is as
            // passing as a full descriptor table: wait and keep accepting.
            if (rc == EAGAIN || rc == ENOMEM) {
                usleep(50 * 1000);
                continue;
            }
            break;
        }
    }
    pthread_attr_destroy(&attr);
    return nullptr;
}

void* handle_connection(void* arg) {
    int fd = *static_cast<int*>(arg);
    free(arg);
    signal(SIGPIPE, SIG_IGN);
    pthread_detach(pthread_self());
    pthread_setname_np(pthread_self(), "qm-browser");

    struct timeval tv = {SEND_TIMEOUT_SECONDS, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
    // NOTE: the wait for the next request is the read itself, bounded by a
    // receive time-out: one system call a request fewer than a poll first.
    struct timeval idle = {HTTP_IDLE_SECONDS, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &idle, sizeof(idle));
    // NOTE: browsers polling the feeds must not starve the frames: the
    // connection threads run at a lower priority than the window and the
    // command thread (niceness is per thread on Linux).
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), CONNECTION_NICENESS);

    while (handle_request(fd) > 0) {
    }
    shutdown(fd, SHUT_RDWR);
    if (close(fd) < 0) fprintf(stderr, "error closing client socket\n");
    return nullptr;
}

int send_data(int fd, const char* out) {
    int r = static_cast<int>(send(fd, out, strlen(out), MSG_NOSIGNAL));
    if (r < 0) fprintf(stderr, "error sending data to client\n");
    return r;
}

// The value of a header line that begins with `name` (any case), blanks
// around it dropped; null when the line is another header.
// NOTE: the later lines of the read are not cut yet, so the value ends at
// the next line feed, not at the end of the text.
static const char* header_value(char* line, const char* name) {
    size_t k = strlen(name);
    if (strncasecmp(line, name, k) != 0) return nullptr;
    char* v = line + k;
    while (*v == ' ' || *v == '\t') v++;
    char* end = v + strcspn(v, "\n");
    while (end > v && (end[-1] == ' ' || end[-1] == '\t' || end[-1] == '\r')) *--end = '\0';
    return v;
}

static int send_console_answer(int fd, const struct console_answer* a, int is_head,
                               int keep_connection);
static int send_all(int fd, struct iovec* iov, int n);

int handle_request(int fd) {
    // NOTE: one read of at most HTTP_REQ_MAX bytes, with room for the NUL
    // that ends the last line; longer requests are simply cut there.
    char buf[HTTP_REQ_MAX + 1];
    int n = static_cast<int>(recv(fd, buf, HTTP_REQ_MAX, 0));
    if (n <= 0) return n;
    buf[n] = '\0';

    const char* connection_line = nullptr;
    const char* if_none_match = nullptr;
    const char* key = nullptr;
    int nlf = 0;
    for (int i = 0; i < n; i++) {
        if (buf[i] != '\n') continue;
        buf[i] = '\0';
        if (i >= 2 && buf[i - 1] == '\r') buf[i - 1] = '\0';
        nlf++;
        char* line = buf + i + 1;
        if (strncmp(line, "Connection:", 11) == 0) connection_line = line;
        if (const char* v = header_value(line, "If-None-Match:")) if_none_match = v;
        if (const char* v = header_value(line, "X-Quillmere-Key:")) key = v;
    }
    if (nlf == 0) return -1;
    int keep_connection = 1;
    if (connection_line && strncmp(connection_line, "Connection: close", 17) == 0)
        keep_connection = -1;

    const char* reqline = buf;
    if (strlen(reqline) < 3) return -1;

    char path[PATH_MAX_CHARS + 1] = "";
    const char* blank = strchr(reqline, ' ');
    if (blank) {
        int k = 0;
        for (const char* p = blank + 1; *p && k < PATH_MAX_CHARS; p++) {
            path[k++] = *p;
            if (*p == ' ') break;
        }
        path[k] = '\0';
        int len = k;
        if (len > 0 && path[len - 1] == ' ') path[--len] = '\0';
    }

    // The teacher's console answers every method on its paths.
    if (blank && strncmp(path, CONSOLE_PATH, strlen(CONSOLE_PATH)) == 0) {
        char method[16];
        snprintf(method, sizeof(method), "%.*s", static_cast<int>(blank - reqline), reqline);
        struct console_answer a;
        console_request(method, path + strlen(CONSOLE_PATH), key, &a);
        int rc = send_console_answer(fd, &a, strcasecmp(method, "HEAD") == 0, keep_connection);
        if (a.quit_after) field_act(ACT_QUIT);
        return rc;
    }

    int is_head = 0;
    if (strncasecmp(reqline, "GET", 3) == 0) is_head = 0;
    else if (strncasecmp(reqline, "HEAD", 4) == 0) is_head = 1;
    else return -1;
    const char* uri = path[0] == '/' ? path + 1 : path;

    struct container content = generate_content(uri);
    if (!content.data) return send_not_found(fd, is_head, keep_connection);
    if (content.etag && if_none_match && strcmp(content.etag, if_none_match) == 0) {
        char head[256];
        int len = snprintf(head, sizeof(head),
                           "HTTP/1.1 304 Not Modified\r\nETag: %s\r\nConnection: Keep-Alive\r\n%s\r\n",
                           content.etag, SERVER_LINE);
        struct iovec iov = {head, static_cast<size_t>(len)};
        return send_all(fd, &iov, 1) == 0 ? keep_connection : -1;
    }
    return send_response(fd, &content, is_head, keep_connection);
}

// Sends every byte of iov[0..n-1]; 0 when all has gone, -1 on a failed send.
static int send_all(int fd, struct iovec* iov, int n) {
    while (n > 0) {
        struct msghdr mh = {};
        mh.msg_iov = iov;
        mh.msg_iovlen = static_cast<size_t>(n);
        ssize_t r = sendmsg(fd, &mh, MSG_NOSIGNAL);
        if (r <= 0) {
            fprintf(stderr, "error sending data to client\n");
            return -1;
        }
        while (n > 0 && static_cast<size_t>(r) >= iov->iov_len) {
            r -= static_cast<ssize_t>(iov->iov_len);
            iov++;
            n--;
        }
        if (n > 0) {
            iov->iov_base = static_cast<char*>(iov->iov_base) + r;
            iov->iov_len -= static_cast<size_t>(r);
        }
    }
    return 0;
}

// The status line, the headers and (for GET) the body of a found document;
// the result is that of handle_request.
// NOTE: headers and body leave in one gathered send (the same bytes as a send
// per line): one system call a request, and no small packet waits for an ACK.
static int send_response(int fd, const struct container* content, int is_head, int keep_connection) {
    char head[320];
    char etag[96] = "";
    // a body that changes under one path (the canvas) says which one it is
    if (content->etag)
        snprintf(etag, sizeof(etag), "ETag: %s\r\nCache-Control: no-cache\r\n", content->etag);
    int n;
    if (is_head)
        n = snprintf(head, sizeof(head), "HTTP/1.1 200 OK\r\nContent-Type: %s\r\n%s"
                     "Connection: Keep-Alive\r\n%s\r\n",
                     content_type(content->mimetype), etag, SERVER_LINE);
    else
        n = snprintf(head, sizeof(head), "HTTP/1.1 200 OK\r\nContent-Type: %s\r\n%s"
                     "Content-Length: %d\r\nConnection: Keep-Alive\r\n%s\r\n",
                     content_type(content->mimetype), etag, content->length, SERVER_LINE);
    struct iovec iov[2] = {{head, static_cast<size_t>(n)},
                           {const_cast<unsigned char*>(content->data),
                            is_head ? 0 : static_cast<size_t>(content->length)}};
    return send_all(fd, iov, is_head ? 1 : 2) == 0 ? keep_connection : -1;
}

// A console answer: its status, for a 405 the methods the path takes, and
// the body (JSON of the state, or a short text); none for a 204 or a HEAD.
static int send_console_answer(int fd, const struct console_answer* a, int is_head,
                               int keep_connection) {
    char head[320];
    char allow[64] = "";
    if (a->allow) snprintf(allow, sizeof(allow), "Allow: %s\r\n", a->allow);
    size_t body = a->status == 204 ? 0 : a->body.size();
    int n = snprintf(head, sizeof(head),
                     "HTTP/1.1 %d %s\r\n%sContent-Type: %s\r\nContent-Length: %zu\r\n"
                     "Connection: Keep-Alive\r\n%s\r\n",
                     a->status, a->reason, allow,
                     a->status == 200 ? "application/json" : "text/plain", body, SERVER_LINE);
    if (a->status == 204)
        n = snprintf(head, sizeof(head), "HTTP/1.1 204 No Content\r\nConnection: Keep-Alive\r\n%s\r\n",
                     SERVER_LINE);
    struct iovec iov[2] = {{head, static_cast<size_t>(n)},
                           {const_cast<char*>(a->body.data()), is_head ? 0 : body}};
    return send_all(fd, iov, 2) == 0 ? keep_connection : -1;
}

// The not-found answer, line by line, the socket corked so it leaves whole.
static int send_not_found(int fd, int is_head, int keep_connection) {
    set_cork(fd, 1);
    int rc = send_not_found_lines(fd, is_head, keep_connection);
    set_cork(fd, 0);
    return rc;
}

static void set_cork(int fd, int on) { setsockopt(fd, IPPROTO_TCP, TCP_CORK, &on, sizeof(on)); }

static int send_not_found_lines(int fd, int is_head, int keep_connection) {
    char line[64];
    // Not reached by the routing (every path has content), kept for a
    // generator that fails to allocate.
    if (send_data(fd, "HTTP/1.1 404 Not Found\r\n") < 0) return -1;
    if (send_data(fd, SERVER_LINE) < 0) return -1;
    if (is_head) return send_data(fd, "\r\n") < 0 ? -1 : keep_connection;
    if (send_data(fd, "Content-Type: text/html; charset=iso-8859-1\r\n") < 0) return -1;
    snprintf(line, sizeof(line), "Content-Length: %d\r\n", static_cast<int>(strlen(msg404)));
    if (send_data(fd, line) < 0) return -1;
    if (send_data(fd, "\r\n") < 0) return -1;
    if (send_data(fd, msg404) < 0) return -1;
    return keep_connection;
}

