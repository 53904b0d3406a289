// qmere-bot -- runs a program as a turtle's driver.
//
//   qmere-bot [--host H] [--port P] -- PROGRAM [ARGS...]
//
// Connects to the arena, starts PROGRAM, and relays: what PROGRAM writes to
// its standard output goes to the arena as commands, and the arena's reply
// lines come to PROGRAM's standard input. PROGRAM's standard error is ours.
// When PROGRAM closes its output the connection is half-closed and the last
// replies are still delivered; when the arena closes, PROGRAM's input ends.
// The exit status is PROGRAM's (128 + signal when a signal ended it), or 2
// when the arena cannot be reached and 127 when PROGRAM cannot be started.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr const char* DEFAULT_HOST = "127.0.0.1";
constexpr const char* DEFAULT_PORT = "2222";
constexpr int EXIT_NO_ARENA = 2;
constexpr int EXIT_NO_PROGRAM = 127;
constexpr int GRACE_MS = 3000;       // how long PROGRAM may take to end after the arena left
constexpr int CLOSE_WAIT_MS = 10000; // how long the arena may take to close after PROGRAM

void usage() {
    std::fprintf(stderr,
                 "usage: qmere-bot [--host H] [--port P] -- PROGRAM [ARGS...]\n"
                 "  PROGRAM's output lines go to the arena as commands; the arena's\n"
                 "  reply lines come to PROGRAM's input. H and P default to QMERE_HOST\n"
                 "  and QMERE_PORT, else %s and %s.\n",
                 DEFAULT_HOST, DEFAULT_PORT);
}

// Connects to host:port; the socket, or -1 with the reason in `why`.
int connect_arena(const char* host, const char* port, std::string& why) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    int gai = getaddrinfo(host, port, &hints, &res);
    if (gai != 0) {
        why = gai_strerror(gai);
        return -1;
    }
    int fd = -1;
    why = "no address";
    for (addrinfo* a = res; a; a = a->ai_next) {
        fd = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (fd < 0) continue;
        if (connect(fd, a->ai_addr, a->ai_addrlen) == 0) break;
        why = std::strerror(errno);
        close(fd);
        fd = -1;
    }
    freeaddrinfo(res);
    if (fd >= 0) {
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    return fd;
}

// Writes all of buf; false when the other end has gone.
bool write_all(int fd, const char* buf, size_t len) {
    while (len > 0) {
        ssize_t n = write(fd, buf, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        buf += n;
        len -= (size_t)n;
    }
    return true;
}

// The exit status a shell would give for a wait status.
int exit_status(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return 1;
}

// Waits for the child; after `grace_ms` (if >= 0) it is asked to stop.
int wait_child(pid_t pid, int grace_ms) {
    int status = 0;
    for (int waited = 0; grace_ms >= 0 && waited < grace_ms; waited += 50) {
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) return exit_status(status);
        if (r < 0 && errno != EINTR) return 1;
        usleep(50 * 1000);
    }
    if (grace_ms >= 0) kill(pid, SIGTERM);
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return 1;
    }
    return exit_status(status);
}

} // namespace

int main(int argc, char** argv) {
    const char* host = std::getenv("QMERE_HOST");
    const char* port = std::getenv("QMERE_PORT");
    if (!host || !*host) host = DEFAULT_HOST;
    if (!port || !*port) port = DEFAULT_PORT;
    int i = 1;
    for (; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--") {
            i++;
            break;
        } else if ((a == "--host" || a == "--port") && i + 1 < argc) {
            (a == "--host" ? host : port) = argv[++i];
        } else if (a == "-h" || a == "--help") {
            usage();
            return 0;
        } else {
            usage();
            return EXIT_NO_ARENA;
        }
    }
    if (i >= argc) {
        usage();
        return EXIT_NO_ARENA;
    }
    char** prog = argv + i;

    // NOTE: writes to a departed arena or program must fail, not kill us.
    std::signal(SIGPIPE, SIG_IGN);

    std::string why;
    int sock = connect_arena(host, port, why);
    if (sock < 0) {
        std::fprintf(stderr,
                     "qmere-bot: cannot connect to the arena at %s:%s (%s): is it running?\n", host,
                     port, why.c_str());
        return EXIT_NO_ARENA;
    }

    int to_child[2], from_child[2], exec_err[2];
    if (pipe(to_child) < 0 || pipe(from_child) < 0 || pipe(exec_err) < 0) {
        std::perror("qmere-bot: pipe");
        return EXIT_NO_PROGRAM;
    }
    fcntl(exec_err[1], F_SETFD, FD_CLOEXEC);
    pid_t pid = fork();
    if (pid < 0) {
        std::perror("qmere-bot: fork");
        return EXIT_NO_PROGRAM;
    }
    if (pid == 0) {
        dup2(to_child[0], 0);
        dup2(from_child[1], 1);
        close(to_child[0]);
        close(to_child[1]);
        close(from_child[0]);
        close(from_child[1]);
        close(exec_err[0]);
        close(sock);
        std::signal(SIGPIPE, SIG_DFL);
        execvp(prog[0], prog);
        int e = errno;
        (void)!write(exec_err[1], &e, sizeof e);
        _exit(EXIT_NO_PROGRAM);
    }
    close(to_child[0]);
    close(from_child[1]);
    close(exec_err[1]);
    int e = 0;
    if (read(exec_err[0], &e, sizeof e) == (ssize_t)sizeof e) {
        std::fprintf(stderr, "qmere-bot: cannot run %s: %s\n", prog[0], std::strerror(e));
        close(sock);
        wait_child(pid, -1);
        return EXIT_NO_PROGRAM;
    }
    close(exec_err[0]);

    int child_in = to_child[1], child_out = from_child[0];
    bool arena_open = true;
    char buf[4096];
    // Relay until the arena has closed; the program's output closing only
    // half-closes the connection, so its last replies still arrive.
    while (arena_open) {
        pollfd p[2] = {{sock, POLLIN, 0}, {child_out, POLLIN, 0}};
        // NOTE: once the program is done the arena has a while to close;
        // a peer that never does cannot keep us here.
        int n = poll(p, child_out >= 0 ? 2 : 1, child_out >= 0 ? -1 : CLOSE_WAIT_MS);
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (n == 0) break;
        if (p[0].revents) {
            ssize_t got = recv(sock, buf, sizeof buf, 0);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) {
                arena_open = false;
                if (child_out >= 0) {
                    std::fprintf(stderr,
                                 "qmere-bot: the arena closed the connection: the field may be "
                                 "full, or your turtle was killed\n");
                }
            } else if (child_in >= 0 && !write_all(child_in, buf, (size_t)got)) {
                close(child_in); // the program reads no more; its replies are dropped
                child_in = -1;
            }
        }
        if (child_out >= 0 && p[1].revents) {
            ssize_t got = read(child_out, buf, sizeof buf);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) {
                close(child_out);
                child_out = -1;
                shutdown(sock, SHUT_WR);
            } else if (!write_all(sock, buf, (size_t)got)) {
                arena_open = false;
            }
        }
    }
    close(sock);
    if (child_in >= 0) close(child_in);
    // a program still writing gets a broken pipe, one still running a grace period
    bool program_done = child_out < 0;
    if (child_out >= 0) close(child_out);
    return wait_child(pid, program_done ? -1 : GRACE_MS);
}
