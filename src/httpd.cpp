// httpd.cpp -- the HTTP viewer server and the content it serves.
//
// Owns the listening socket `httpsock`, the listener thread, one detached
// thread per browser connection, the viewer page with its script list, the
// JSON feeds of turtles, walls, coins and the camera, and the built-in PNG
// images and viewer scripts compiled in from generated headers. The world
// tables are only read here, always under frame_rendering_mutex.
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
#include "http_media_data.h"
#include "http_script_data.h"
#include "qmere.h"
#include "tcpserver.h"

int httpsock = -1;

// ------------------------------------------------------------ fixed texts

char msg404[137] =
    "<html><head><title>404 Not Found</title></head><body><h2>404 Not Found</h2>"
    "<h3>The document requested was not found.</h3></body></html>\n";

char msg_html_template1[361] =
    "<html><head><title>Quill Mere</title>"
    "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\">\r\n"
    "<style>\r\n"
    "canvas { width: 100%; height: 100%; background-color: #002040; }\r\n"
    "a:link { color: #90ffff; text-decoration: none; }\r\n"
    "a:visited { color: #90ffff; text-decoration: none; }\r\n"
    "a:hover { color: #90ffff; text-decoration: underline; }\r\n"
    "</style>\r\n";

#define QM_SCORE_ROW(a, b, c, d)                                                  \
    "<div id=\"score" #a "\"></div><div id=\"score" #b "\"></div><div id=\"score" #c \
    "\"></div><div id=\"score" #d "\"></div>\r\n"

char msg_html_template2[856] =
    "</head>\r\n"
    "<body onload=\"webGLStart();\" style=\"background-color: #002040; margin:0;\">\r\n"
    QM_SCORE_ROW(0, 1, 2, 3) QM_SCORE_ROW(4, 5, 6, 7) QM_SCORE_ROW(8, 9, 10, 11)
    QM_SCORE_ROW(12, 13, 14, 15) QM_SCORE_ROW(16, 17, 18, 19) QM_SCORE_ROW(20, 21, 22, 23)
    QM_SCORE_ROW(24, 25, 26, 27)
    "<div id=\"score28\"></div><div id=\"score29\"><br><div id=\"result\"></div></div>\r\n"
    "</body></html>\n";

#undef QM_SCORE_ROW

// The viewer script and three.js, served by this program itself at these
// host-relative paths unless -js names other scripts.
static char default_viewer_js[] = "/mizzen/qmere/script/quillmere.js";
static char default_three_js[] = "/mizzen/qmere/script/three.min.js";
char* msg_template_jscript_srcp[2] = {default_viewer_js, default_three_js};
char* msg_jscript_srcp[MAX_JSCRIPT];
int n_jscript = 0;

static const char SERVER_LINE[] = "Server: Quillmere/0.1\r\n";

// ------------------------------------------------------------ buffer sizes

constexpr int PAGE_BUF = 3266;
constexpr int PATH_MAX_CHARS = 1001;  // of the request line's path
constexpr int URI_COPY_MAX = 1024;    // of the path, when it is split
constexpr int MAX_SEGMENTS = 32;
constexpr int SCRIPT_OPT_MAX = 2048;
constexpr int LAST_PNG = 7;          // images 0..7; other numbers give the last

// Per-entry pieces of the feeds are cut at these many characters.
constexpr int TURTLE_PIECE = 383;
constexpr int WALL_PIECE = 127;
constexpr int COIN_PIECE = 63;
constexpr int CAMERA_PIECE = 127;
constexpr int FLAGS_MAX = 128; // six flags: at most 96 characters

// NOTE: every entry is "{" or ", {" (or ",{"), its cut pieces and "}"; the
// buffers are sized from those bounds so that a full table always fits, even
// 30 turtle slots that all carry 128-character names and any numbers.
constexpr int TURTLE_FEED_BUF = MAX_TURTLE * (3 + 2 * TURTLE_PIECE + FLAGS_MAX + 1) + 3;
constexpr int WALL_FEED_BUF = MAX_WALL * (2 + WALL_PIECE + 1) + 3;
constexpr int COIN_FEED_BUF = MAX_COIN * (2 + COIN_PIECE + 1) + 3;
constexpr int CAMERA_FEED_BUF = 1 + CAMERA_PIECE + 1 + 1;

// NOTE: connection threads only hold a request buffer and a path copy, so a
// small stack keeps a thousand idle connections cheap.
constexpr size_t CONNECTION_STACK = 256 * 1024;
// NOTE: a browser that stops reading must not pin a thread forever.
constexpr int SEND_TIMEOUT_SECONDS = HTTP_IDLE_SECONDS;
constexpr int CONNECTION_NICENESS = 10;

static void set_cork(int fd, int on);
static int send_response(int fd, struct container* content, int is_head, int keep_connection);
static int send_not_found(int fd, int is_head, int keep_connection);
static int send_not_found_lines(int fd, int is_head, int keep_connection);

// ------------------------------------------------------- small helpers

// Appends formatted text at *len within cap bytes; output is cut at the end
// of the buffer (always NUL-terminated) and *len never passes cap - 1.
static void buf_append(char* buf, int cap, int* len, const char* text) {
    if (*len >= cap - 1) return;
    int n = snprintf(buf + *len, cap - *len, "%s", text);
    if (n < 0) return;
    *len += (n < cap - 1 - *len) ? n : cap - 1 - *len;
}

static struct container* new_container(int mimetype, unsigned char* data, int length,
                                       int malloced) {
    struct container* c = static_cast<struct container*>(malloc(sizeof(struct container)));
    if (!c) {
        if (malloced) free(data);
        return nullptr;
    }
    c->mimetype = mimetype;
    c->data = data;
    c->length = length;
    c->malloced = malloced;
    return c;
}

static struct container* text_container(int mimetype, char* buf, int len) {
    return new_container(mimetype, reinterpret_cast<unsigned char*>(buf), len, 1);
}

// NOTE: built-in data is const; a container with malloced 0 is never written
// through or freed, so handing it out without const is safe.
static struct container* static_container(int mimetype, const unsigned char* data, int length) {
    return new_container(mimetype, const_cast<unsigned char*>(data), length, 0);
}

static const char* content_type(int mimetype) {
    switch (mimetype) {
    case 1: return "text/html";
    case 2: return "image/png";
    case 3: return "text/css";
    case 4: return "application/json";
    case 5: return "application/javascript";
    default: return "text/plain";
    }
}

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

    struct timeval tv = {SEND_TIMEOUT_SECONDS, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
    // NOTE: browsers polling the feeds must not starve the frames: the
    // connection threads run at a lower priority than the window and the
    // command thread (niceness is per thread on Linux).
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), CONNECTION_NICENESS);

    for (;;) {
        // NOTE: poll rather than select: with many open connections the
        // descriptor number can pass FD_SETSIZE, which select cannot hold.
        struct pollfd pfd = {fd, POLLIN, 0};
        int r = poll(&pfd, 1, HTTP_IDLE_SECONDS * 1000);
        if (r <= 0) break;
        if (handle_request(fd) <= 0) break;
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

int handle_request(int fd) {
    // NOTE: one read of at most HTTP_REQ_MAX bytes, with room for the NUL
    // that ends the last line; longer requests are simply cut there.
    char buf[HTTP_REQ_MAX + 1];
    int n = static_cast<int>(recv(fd, buf, HTTP_REQ_MAX, 0));
    if (n <= 0) return n;
    buf[n] = '\0';

    const char* connection_line = nullptr;
    int nlf = 0;
    for (int i = 0; i < n; i++) {
        if (buf[i] != '\n') continue;
        buf[i] = '\0';
        if (i >= 2 && buf[i - 1] == '\r') buf[i - 1] = '\0';
        nlf++;
        const char* line = buf + i + 1;
        if (strncmp(line, "Connection:", 11) == 0) connection_line = line;
    }
    if (nlf == 0) return -1;
    int keep_connection = 1;
    if (connection_line && strncmp(connection_line, "Connection: close", 17) == 0)
        keep_connection = -1;

    const char* reqline = buf;
    if (strlen(reqline) < 3) return -1;
    int is_head = 0;
    if (strncasecmp(reqline, "GET", 3) == 0) is_head = 0;
    else if (strncasecmp(reqline, "HEAD", 4) == 0) is_head = 1;
    else return -1;

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
    const char* uri = path[0] == '/' ? path + 1 : path;

    struct container* content = generate_content(uri);
    if (content) return send_response(fd, content, is_head, keep_connection);
    return send_not_found(fd, is_head, keep_connection);
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
// NOTE: the header lines and the body leave in one gathered send rather than
// a send per line and per 1024 bytes: the bytes on the wire are the same,
// but a browser polling the feeds then costs one system call a request
// instead of fifteen, and no small first packet waits for a delayed ACK.
static int send_response(int fd, struct container* content, int is_head, int keep_connection) {
    char head[256];
    int n;
    if (is_head)
        n = snprintf(head, sizeof(head), "HTTP/1.1 200 OK\r\nContent-Type: %s\r\n"
                     "Connection: Keep-Alive\r\n%s\r\n",
                     content_type(content->mimetype), SERVER_LINE);
    else
        n = snprintf(head, sizeof(head), "HTTP/1.1 200 OK\r\nContent-Type: %s\r\n"
                     "Content-Length: %d\r\nConnection: Keep-Alive\r\n%s\r\n",
                     content_type(content->mimetype), content->length, SERVER_LINE);
    struct iovec iov[2] = {{head, static_cast<size_t>(n)},
                           {content->data, is_head ? 0 : static_cast<size_t>(content->length)}};
    int ok = send_all(fd, iov, is_head ? 1 : 2) == 0;
    free_container(content);
    return ok ? keep_connection : -1;
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

int free_container(struct container* content) {
    if (!content) return 0;
    if (content->malloced && content->data) free(content->data);
    free(content);
    return 0;
}

// =============================================================== content

int is_dec_number(const char* str) {
    if (!str || !*str) return 0;
    for (const char* p = str; *p; p++)
        if (*p < '0' || *p > '9') return 0;
    return 1;
}

// The slot a path's first segment designates ("~3", "$3" or a name), or -1.
// The caller holds frame_rendering_mutex.
static int designated_turtle(const char* seg) {
    if ((seg[0] == '~' || seg[0] == '$') && is_dec_number(seg + 1)) {
        // NOTE: an overlong number saturates at LONG_MAX and names no slot.
        long t = strtol(seg + 1, nullptr, 10);
        return (t < ntmax && t < MAX_TURTLE && (ttl[t].status & ST_ALIVE)) ? static_cast<int>(t)
                                                                            : -1;
    }
    for (int t = 0; t < ntmax && t < MAX_TURTLE; t++) {
        if ((ttl[t].status & ST_ALIVE) && strncasecmp(ttl[t].name, seg, NAME_LEN + 1) == 0)
            return t;
    }
    return -1;
}

static struct container* generate_page() {
    char* page = static_cast<char*>(malloc(PAGE_BUF));
    if (!page) return nullptr;
    int len = 0;
    page[0] = '\0';
    buf_append(page, PAGE_BUF, &len, msg_html_template1);
    int nurl = n_jscript > 0 ? n_jscript : 2;
    char* const* urls = n_jscript > 0 ? msg_jscript_srcp : msg_template_jscript_srcp;
    for (int i = 0; i < nurl; i++) {
        static const char pre[] = "<script type=\"text/javascript\" src=\"";
        static const char post[] = "\"></script>\r\n";
        int add = static_cast<int>(strlen(pre) + strlen(urls[i]) + strlen(post));
        if (len + add > PAGE_BUF - 1) break;
        buf_append(page, PAGE_BUF, &len, pre);
        buf_append(page, PAGE_BUF, &len, urls[i]);
        buf_append(page, PAGE_BUF, &len, post);
    }
    if (len + static_cast<int>(strlen(msg_html_template2)) <= PAGE_BUF - 1)
        buf_append(page, PAGE_BUF, &len, msg_html_template2);
    return text_container(1, page, len);
}

static struct container* generate_script(int which) {
    if (which == 0) return static_container(5, quillmere_js, quillmere_js_size);
    return static_container(5, three_min_js, three_min_js_size);
}

struct container* generate_content(const char* uri) {
    if (!uri) uri = "";
    // The viewer's own scripts, matched on the whole path.
    if (strcmp(uri, default_viewer_js + 1) == 0) return generate_script(0);
    if (strcmp(uri, default_three_js + 1) == 0) return generate_script(1);
    if (uri[0] == '\0') return generate_page();

    char copy[URI_COPY_MAX + 1];
    snprintf(copy, sizeof(copy), "%s", uri);
    char* names[MAX_SEGMENTS];
    int nn = 0;
    char* save = nullptr;
    for (char* tok = strtok_r(copy, "/", &save); tok; tok = strtok_r(nullptr, "/", &save)) {
        // NOTE: the segment list holds MAX_SEGMENTS entries; a longer path is
        // not a feed or an image path and gets the page.
        if (nn == MAX_SEGMENTS) return generate_page();
        names[nn++] = tok;
    }
    if (nn == 0) return generate_page();

    const char* last = names[nn - 1];
    if (strcasecmp(last, "turtle") == 0) return generate_json_for_turtle();
    if (strcasecmp(last, "wall") == 0) return generate_json_for_wall();
    if (strcasecmp(last, "coin") == 0) return generate_json_for_coin();
    if (strcasecmp(last, "camera") == 0) {
        // only the camera looks at the designated turtle, so only it pays
        // for the lock that reading the names needs
        int tid;
        {
            std::lock_guard<std::mutex> lock(frame_rendering_mutex);
            tid = designated_turtle(names[0]);
        }
        return generate_json_for_camera(tid);
    }
    if (nn >= 2 && strcasecmp(names[nn - 2], "img") == 0) {
        long v = strtol(last, nullptr, 10);
        // NOTE: numbers beyond int are out of range anyway: they give image 7.
        return generate_png((v < 0 || v > LAST_PNG) ? LAST_PNG : static_cast<int>(v));
    }
    return generate_page();
}

// NOTE: every feed is built under frame_rendering_mutex, so it shows the world
// between two frames or command batches and never a half-written record; the
// lock is released before anything is sent.

// Piece builders for the turtle feed: each writes what printf would for the
// same conversion ("%d", "%u", "%lf", "%s"), without printf's parsing.
static char* put_text(char* p, const char* text) {
    size_t n = strlen(text);
    memcpy(p, text, n);
    return p + n;
}

static char* put_int(char* p, char* end, long v) {
    auto r = std::to_chars(p, end, v);
    return r.ec == std::errc() ? r.ptr : p;
}

static char* put_fixed(char* p, char* end, double v) {
    auto r = std::to_chars(p, end, v, std::chars_format::fixed, 6);
    return r.ec == std::errc() ? r.ptr : p;
}

// Appends a built piece, cut at `cut` characters like the "%s" pieces were.
static void append_piece(char* buf, int cap, int* len, char* piece, char* pend, int cut) {
    if (pend - piece > cut) pend = piece + cut;
    *pend = '\0';
    buf_append(buf, cap, len, piece);
}

// What the turtle feed shows of one slot: the feed is formatted from these
// rows alone, so equal rows (and an equal tick) give equal bytes.
struct turtle_feed_row {
    unsigned int status, event;
    int team, ttl, bttf, score, ncoin;
    double x, y, heading, bx, by;
    char name[NAME_LEN + 1];
};

struct turtle_feed_view {
    int n;
    unsigned int now;
    struct turtle_feed_row rows[MAX_TURTLE];
};

// NOTE: the rows are taken under the frame lock and zeroed first, padding
// included, so two views of the same world compare equal byte for byte.
static void take_turtle_feed_view(struct turtle_feed_view* v) {
    memset(v, 0, sizeof(*v));
    std::lock_guard<std::mutex> lock(frame_rendering_mutex);
    v->n = ntmax < MAX_TURTLE ? (ntmax > 0 ? ntmax : 0) : MAX_TURTLE;
    v->now = static_cast<unsigned int>(elapsed_time.load() & 0xffffffffUL);
    for (int t = 0; t < v->n; t++) {
        const struct turtle* tp = &ttl[t];
        struct turtle_feed_row* r = &v->rows[t];
        r->status = tp->status;
        r->event = tp->event;
        r->team = tp->team;
        r->ttl = tp->ttl;
        r->bttf = tp->bttf;
        r->score = tp->score;
        r->ncoin = tp->ncoin;
        r->x = tp->pos[0].x;
        r->y = tp->pos[0].y;
        r->heading = tp->heading;
        r->bx = tp->bullet.x;
        r->by = tp->bullet.y;
        // NOTE: a name always ends within its array, whatever was stored.
        memcpy(r->name, tp->name, strnlen(tp->name, NAME_LEN));
    }
}

static int format_turtle_feed(const struct turtle_feed_view* v, char* buf) {
    int len = 0;
    buf[0] = '\0';
    // a %lf of the largest double is 316 characters; three of them and a name
    // fit this scratch easily before the piece is cut
    char piece[2048];
    char* const pe = piece + sizeof(piece) - 1;
    buf_append(buf, TURTLE_FEED_BUF, &len, "[");
    for (int t = 0; t < v->n; t++) {
        const struct turtle_feed_row* tp = &v->rows[t];
        buf_append(buf, TURTLE_FEED_BUF, &len, t == 0 ? "{" : ", {");
        int type = (tp->status & ST_DOUGHNUT) ? 2 : (tp->status & ST_STONE) ? 3 : 1;
        char* p = piece;
        p = put_text(p, "\"tid\":");
        p = put_int(p, pe, t);
        p = put_text(p, ",\"time\":");
        p = put_int(p, pe, static_cast<long>(v->now));
        p = put_text(p, ",\"type\":");
        p = put_int(p, pe, type);
        p = put_text(p, ",\"name\":\"");
        p = put_text(p, tp->name);
        p = put_text(p, "\",\"team\":");
        p = put_int(p, pe, tp->team);
        p = put_text(p, ",\"x\":");
        p = put_fixed(p, pe, tp->x);
        p = put_text(p, ",\"y\":");
        p = put_fixed(p, pe, tp->y);
        p = put_text(p, ",\"head\":");
        p = put_fixed(p, pe, fmod(tp->heading, 360.0));
        p = put_text(p, ",\"ttl\":");
        p = put_int(p, pe, tp->ttl);
        p = put_text(p, ",");
        append_piece(buf, TURTLE_FEED_BUF, &len, piece, p, TURTLE_PIECE);
        p = piece;
        p = put_text(p, "\"bx\":");
        p = put_fixed(p, pe, tp->bx);
        p = put_text(p, ",\"by\":");
        p = put_fixed(p, pe, tp->by);
        p = put_text(p, ",\"bttf\":");
        p = put_int(p, pe, tp->bttf);
        p = put_text(p, ",\"score\":");
        p = put_int(p, pe, tp->score);
        p = put_text(p, ",\"ncoin\":");
        p = put_int(p, pe, tp->ncoin);
        p = put_text(p, ",");
        append_piece(buf, TURTLE_FEED_BUF, &len, piece, p, TURTLE_PIECE);
        unsigned st = tp->status, ev = tp->event;
        auto flag = [](bool on) { return on ? "true" : "false"; };
        p = piece;
        p = put_text(p, "\"alive\":");
        p = put_text(p, flag(st & ST_ALIVE));
        p = put_text(p, ",\"firing\":");
        p = put_text(p, flag(st & ST_BULLET));
        p = put_text(p, ",\"got_hit\":");
        p = put_text(p, flag(ev & EV_HIT));
        p = put_text(p, ",\"collide\":");
        p = put_text(p, flag(ev & (EV_BUMP_TURTLE | EV_BUMP_DOUGHNUT | EV_BUMP_STONE | EV_BUMP_WALL)));
        p = put_text(p, ",\"detected\":");
        p = put_text(p, flag(ev & (EV_FINDER | EV_RADAR)));
        p = put_text(p, ",\"got_msg\":");
        p = put_text(p, flag(ev & EV_TEAM_MSG));
        append_piece(buf, TURTLE_FEED_BUF, &len, piece, p, TURTLE_PIECE);
        buf_append(buf, TURTLE_FEED_BUF, &len, "}");
    }
    buf_append(buf, TURTLE_FEED_BUF, &len, "]");
    return len;
}

// The last turtle feed and the view it was formatted from. Browsers poll
// far more often than the world changes (many requests fall between two
// frames), so a request whose view equals the last one copies its bytes
// instead of formatting them again.
static std::mutex turtle_feed_cache_mutex;
static struct turtle_feed_view turtle_feed_cached_view;
static char turtle_feed_cached_text[TURTLE_FEED_BUF];
static int turtle_feed_cached_len = -1; // -1: nothing cached yet

struct container* generate_json_for_turtle() {
    char* buf = static_cast<char*>(malloc(TURTLE_FEED_BUF));
    if (!buf) return nullptr;
    // NOTE: the rows are copied under the frame lock and formatted after it
    // is released, so a browser never holds up a frame for the text work;
    // the copy is still one consistent view between frames. The view is
    // large for a thread's stack, so it lives on the heap.
    auto view = static_cast<struct turtle_feed_view*>(malloc(sizeof(struct turtle_feed_view)));
    if (!view) {
        free(buf);
        return nullptr;
    }
    take_turtle_feed_view(view);
    int len = -1;
    {
        std::lock_guard<std::mutex> lock(turtle_feed_cache_mutex);
        if (turtle_feed_cached_len >= 0 &&
            memcmp(view, &turtle_feed_cached_view, sizeof(*view)) == 0) {
            len = turtle_feed_cached_len;
            memcpy(buf, turtle_feed_cached_text, static_cast<size_t>(len) + 1);
        }
    }
    if (len < 0) {
        len = format_turtle_feed(view, buf);
        std::lock_guard<std::mutex> lock(turtle_feed_cache_mutex);
        memcpy(&turtle_feed_cached_view, view, sizeof(*view));
        memcpy(turtle_feed_cached_text, buf, static_cast<size_t>(len) + 1);
        turtle_feed_cached_len = len;
    }
    free(view);
    return text_container(4, buf, len);
}

struct container* generate_json_for_wall() {
    char* buf = static_cast<char*>(malloc(WALL_FEED_BUF));
    if (!buf) return nullptr;
    int len = 0;
    buf[0] = '\0';
    char piece[WALL_PIECE + 1];
    buf_append(buf, WALL_FEED_BUF, &len, "[");
    {
        std::lock_guard<std::mutex> lock(frame_rendering_mutex);
        int first = 1;
        for (int w = 0; w < nwall && w < MAX_WALL; w++) {
            const struct wall* wp = &walls[w];
            if (wp->status & WALL_BACK) continue;
            buf_append(buf, WALL_FEED_BUF, &len, first ? "{" : ",{");
            first = 0;
            snprintf(piece, sizeof(piece),
                     "\"x1\":%lf,\"y1\":%lf,\"x2\":%lf,\"y2\":%lf,\"nx\":%lf,\"ny\":%lf",
                     wp->startp.x, wp->startp.y, wp->endp.x, wp->endp.y, wp->normal.x,
                     wp->normal.y);
            buf_append(buf, WALL_FEED_BUF, &len, piece);
            buf_append(buf, WALL_FEED_BUF, &len, "}");
        }
    }
    buf_append(buf, WALL_FEED_BUF, &len, "]");
    return text_container(4, buf, len);
}

struct container* generate_json_for_coin() {
    char* buf = static_cast<char*>(malloc(COIN_FEED_BUF));
    if (!buf) return nullptr;
    int len = 0;
    buf[0] = '\0';
    char piece[COIN_PIECE + 1];
    buf_append(buf, COIN_FEED_BUF, &len, "[");
    {
        std::lock_guard<std::mutex> lock(frame_rendering_mutex);
        int first = 1;
        for (int c = 0; c < ncoin && c < MAX_COIN; c++) {
            const struct coin* cp = &coins[c];
            if (!(cp->status & COIN_ON_FIELD)) continue;
            buf_append(buf, COIN_FEED_BUF, &len, first ? "{" : ",{");
            first = 0;
            snprintf(piece, sizeof(piece), "\"x\":%lf,\"y\":%lf,\"ord\":%d", cp->pos.x, cp->pos.y,
                     cp->order);
            buf_append(buf, COIN_FEED_BUF, &len, piece);
            buf_append(buf, COIN_FEED_BUF, &len, "}");
        }
    }
    buf_append(buf, COIN_FEED_BUF, &len, "]");
    return text_container(4, buf, len);
}

struct container* generate_json_for_camera(int tid) {
    char* buf = static_cast<char*>(malloc(CAMERA_FEED_BUF));
    if (!buf) return nullptr;
    double x0 = 0.0, y0 = 0.0, z0 = 450.0, x1 = 0.0, y1 = 0.0, z1 = 0.0;
    {
        std::lock_guard<std::mutex> lock(frame_rendering_mutex);
        if (tid >= 0 && tid < ntmax && tid < MAX_TURTLE) {
            double h = fmod(ttl[tid].heading, 360.0) * M_PI / 180.0;
            x0 = ttl[tid].pos[0].x;
            y0 = ttl[tid].pos[0].y;
            z0 = 10.0;
            x1 = x0 + 100.0 * cos(h);
            y1 = y0 + 100.0 * sin(h);
            z1 = 10.0;
        }
    }
    char piece[CAMERA_PIECE + 1];
    snprintf(piece, sizeof(piece),
             "\"x0\":%lf,\"y0\":%lf,\"z0\":%lf,\"x1\":%lf,\"y1\":%lf,\"z1\":%lf", x0, y0, z0, x1,
             y1, z1);
    int len = 0;
    buf[0] = '\0';
    buf_append(buf, CAMERA_FEED_BUF, &len, "{");
    buf_append(buf, CAMERA_FEED_BUF, &len, piece);
    buf_append(buf, CAMERA_FEED_BUF, &len, "}");
    return text_container(4, buf, len);
}

struct container* generate_png(int id) {
    switch (id) {
    case 0: return static_container(2, png_img0, png_img0_size);
    case 1: return static_container(2, png_img1, png_img1_size);
    case 2: return static_container(2, png_img2, png_img2_size);
    case 3: return static_container(2, png_img3, png_img3_size);
    case 4: return static_container(2, png_img4, png_img4_size);
    case 5: return static_container(2, png_img5, png_img5_size);
    case 6: return static_container(2, png_img6, png_img6_size);
    default: return static_container(2, png_img7, png_img7_size);
    }
}

void set_jscript_src(const char* str) {
    if (!str || !*str) return;
    char copy[SCRIPT_OPT_MAX + 1];
    snprintf(copy, sizeof(copy), "%s", str);
    char* found[MAX_JSCRIPT];
    int n = 0;
    char* save = nullptr;
    for (char* tok = strtok_r(copy, " ;\"", &save); tok && n < MAX_JSCRIPT;
         tok = strtok_r(nullptr, " ;\"", &save))
        found[n++] = tok;
    if (n == 0) return;
    for (int i = 0; i < n_jscript; i++) {
        free(msg_jscript_srcp[i]);
        msg_jscript_srcp[i] = nullptr;
    }
    int kept = 0;
    for (int i = 0; i < n; i++) {
        char* url = strdup(found[i]);
        if (!url) continue; // NOTE: a copy that cannot be made is left out
        msg_jscript_srcp[kept++] = url;
        fprintf(stderr, "script: %s\n", found[i]);
    }
    n_jscript = kept;
}
