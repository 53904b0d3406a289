// main.cpp -- the program entry: prints the banner, reads the options (-js
// for the viewer script list, -h for help; --headless, --public and
// --key-file for a server nobody sits at), seeds the random number generator
// once and hands over to the field's start-up in a window or without one,
// which never returns in normal operation. Owns the command line and the
// relay that carries the program's log to the real standard error.

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <mutex>
#include <thread>

#include <X11/Xlib.h>

#include <signal.h>
#include <sys/stat.h>

#include "console.h"
#include "globalv.h"
#include "headless.h"
#include "player.h"
#include "recorder.h"
#include "tcpserver.h"
#include "qmere.h"
#include "webcontent.h"
#include "window.h"

// Writes the usage text to standard error.
void print_help() {
    fprintf(stderr, "options:\n");
    fprintf(stderr, " -js \"URL1;URL2;...\"\n");
}

// The compiler's build date ("Nov  5 2014") with the day's padding blank
// dropped, so the banner reads "Nov 5 2014".
static void build_date(char* out, size_t outlen) {
    const char* src = __DATE__;
    size_t k = 0;
    for (size_t i = 0; src[i] != '\0' && k + 1 < outlen; i++) {
        if (src[i] == ' ' && k > 0 && out[k - 1] == ' ') continue;
        out[k++] = src[i];
    }
    out[k] = '\0';
}

// ------------------------------------------------------------ log relay
//
// Threads log to standard error, some under the frame lock; a reader that
// stops reading (a paused terminal, a waiting pager) must not stop them. So
// standard error is a pipe of our own that never makes a writer wait, and a
// relay thread passes it on to the real one.
// NOTE: the pipe holds 1 MiB; when it is full, lines are dropped whole (each
// is one write below PIPE_BUF, which a pipe takes all or nothing).

static int log_in = -1;  // the pipe's read end
static int log_out = -1; // the real standard error
// Taken around each read-and-pass-on, so the final drain at exit cannot
// overtake a chunk the relay has read but not yet passed on.
static std::mutex log_mutex;

static void write_all(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return; // the reader is gone: the log goes nowhere
        p += w;
        n -= (size_t)w;
    }
}

// Passes on what the pipe holds now; 0 once it is empty, -1 when closed.
static int relay_available() {
    char buf[65536];
    for (;;) {
        ssize_t n = read(log_in, buf, sizeof(buf));
        if (n > 0) {
            write_all(log_out, buf, (size_t)n);
            clearerr(stderr); // a line dropped on a full pipe set the flag
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        return (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) ? 0 : -1;
    }
}

static void relay_log() {
    struct pollfd pfd = {log_in, POLLIN, 0};
    for (;;) {
        if (poll(&pfd, 1, -1) < 0 && errno != EINTR) return;
        std::lock_guard<std::mutex> lock(log_mutex);
        if (relay_available() < 0) return;
    }
}

// At exit (Q, the menu's Exit) the last lines are passed on before the end.
static void drain_log() {
    std::lock_guard<std::mutex> lock(log_mutex);
    relay_available();
}

static void start_log_relay() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // a sanitizer's report on a crash must reach the real standard error
    // before the process ends, which a relay thread could not promise
    return;
#else
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) return;
    int out = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    if (out < 0) {
        close(p[0]);
        close(p[1]);
        return;
    }
    fcntl(p[1], F_SETPIPE_SZ, 1 << 20); // best effort; the default is 64 KiB
    fcntl(p[1], F_SETFL, O_NONBLOCK);
    fcntl(p[0], F_SETFL, O_NONBLOCK);
    log_in = p[0];
    log_out = out;
    if (dup2(p[1], STDERR_FILENO) < 0) {
        close(p[0]);
        close(p[1]);
        close(out);
        log_in = log_out = -1;
        return;
    }
    close(p[1]);
    std::thread(relay_log).detach();
    atexit(drain_log);
#endif
}

// The display check's connection, kept open for the program's life (see
// below); a global, so that the leak checker sees it is still held.
Display* probe_display = NULL;

// A bad command line: one line, exit status 1.
[[noreturn]] static void refuse(const char* text, const char* what) {
    fprintf(stderr, "qmere: %s%s\n", text, what);
    exit(1);
}

// SIGINT and SIGTERM end a recording run the way Q does: the thread that
// steps the frames sees the flag, closes the recording whole and exits.
static void on_stop_signal(int) { quit_requested = 1; }

// 1 when the two paths name the same file (or both do not exist yet and
// are spelled the same).
static int same_file(const char* a, const char* b) {
    struct stat sa, sb;
    if (stat(a, &sa) == 0 && stat(b, &sb) == 0) return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    return strcmp(a, b) == 0;
}

int main(int argc, char** argv) {
    char date[32];
    build_date(date, sizeof(date));
    fprintf(stderr, "Quillmere: %s\n", qmere_notice);
    fprintf(stderr, "starting quill mere build on %s\n", date);

    int headless = 0, lockstep_ms = 0, have_seed = 0;
    unsigned long seed = 0;
    const char* key_file = NULL;
    const char* record = NULL;
    const char* replay = NULL;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--headless") == 0) {
            headless = 1;
        } else if (strcmp(argv[i], "--seed") == 0) {
            char* end = NULL;
            if (i + 1 >= argc) refuse("--seed needs a number", "");
            errno = 0;
            seed = strtoul(argv[++i], &end, 10);
            if (errno != 0 || end == argv[i] || *end != '\0' || argv[i][0] == '-')
                refuse("--seed needs a number from 0 to 18446744073709551615, not ", argv[i]);
            have_seed = 1;
        } else if (strncmp(argv[i], "--lockstep", 10) == 0 &&
                   (argv[i][10] == '\0' || argv[i][10] == '=')) {
            lockstep_ms = 50;
            if (argv[i][10] == '=') {
                char* end = NULL;
                long ms = strtol(argv[i] + 11, &end, 10);
                if (end == argv[i] + 11 || *end != '\0' || ms < 1 || ms > 60000)
                    refuse("--lockstep=MS needs MS from 1 to 60000, not ", argv[i] + 11);
                lockstep_ms = (int)ms;
            }
        } else if (strcmp(argv[i], "--record") == 0) {
            if (i + 1 >= argc) refuse("--record needs a file", "");
            record = argv[++i];
        } else if (strcmp(argv[i], "--replay") == 0) {
            if (i + 1 >= argc) refuse("--replay needs a file", "");
            replay = argv[++i];
        } else if (strcmp(argv[i], "--public") == 0) {
            private_mode = 0; // before either server admits anybody
        } else if (strcmp(argv[i], "--key-file") == 0) {
            if (i + 1 >= argc) {
                fprintf(stderr, "qmere: --key-file needs a file\n");
                exit(1);
            }
            key_file = argv[++i];
        } else if (strncmp(argv[i], "-js", 3) == 0) {
            if (i + 1 < argc) {
                set_jscript_src(argv[i + 1]);
                i++;
            }
        } else if (strncmp(argv[i], "-h", 2) == 0) {
            print_help();
            exit(0);
        }
        // every other argument is left to the window toolkit
    }

    if (lockstep_ms > 0 && !headless) refuse("--lockstep needs --headless", "");
    if (lockstep_ms > 0 && replay) refuse("--lockstep cannot drive a replay", "");
    if (record && replay && same_file(record, replay))
        refuse("--record would overwrite the recording that --replay shows: ", replay);

    // every random decision draws from the C library's generator, seeded once
    if (!have_seed) seed = (unsigned long)time(NULL);
    srandom((unsigned int)seed);
    start_log_relay();
    fprintf(stderr, "seed: %lu\n", seed);
    char why[256];
    if (replay && player_open(replay, why, sizeof(why)) != 0) refuse(replay, (std::string(": ") + why).c_str());
    if (record) {
        if (recorder_open(record, seed, why, sizeof(why)) != 0) refuse(why, "");
        struct sigaction sa;
        memset(&sa, 0, sizeof(sa));
        sa.sa_handler = on_stop_signal;
        sigaction(SIGINT, &sa, NULL);
        sigaction(SIGTERM, &sa, NULL);
    }
    lockstep_mode = lockstep_ms > 0;
    if (console_init(key_file, why, sizeof(why)) != 0) {
        fprintf(stderr, "qmere: %s\n", why);
        exit(1);
    }
    if (!headless) {
        // NOTE: the window toolkit ends the program when it cannot open a
        // display; asked first, the arena runs without a window instead.
        probe_display = XOpenDisplay(NULL);
        if (probe_display == NULL) {
            const char* name = getenv("DISPLAY");
            fprintf(stderr, "qmere: no display to open (DISPLAY is %s%s%s), running headless\n",
                    name ? "'" : "not set", name ? name : "", name ? "'" : "");
            headless = 1;
        }
        // NOTE: the probe's connection stays open: closed, it would be the
        // last client of a server that resets then (Xvfb does by default),
        // and the toolkit's own open right after could meet the reset.
    }
    // NOTE: the software GL rasterizes on worker threads of its own by
    // default, which then compete with the command thread for the cores;
    // rasterizing on the drawing thread itself gives shorter frames and
    // quicker replies here (bench/paint_bench.py). A user's setting stands.
    setenv("LP_NUM_THREADS", "0", 0);
    if (headless) return headless_start(lockstep_ms);
    field_start(argc, argv);
    return 0;
}
