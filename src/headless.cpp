// headless.cpp -- the arena without a window: the same world, servers and
// frames, stepped by a timer of our own (or in lockstep with the clients, or
// by the player of a recording), the canvas painted by the same scene code
// into an offscreen framebuffer of a surfaceless EGL context. The view over
// the canvas is drawn only for a capture: nobody else would see it. Owns
// that timer and the frame snapshot of a headless run.
#include "headless.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include <GL/gl.h>

#include "frame.h"
#include "globalv.h"
#include "glutil.h"
#include "glyphs.h"
#include "headless_gl.h"
#include "player.h"
#include "recorder.h"
#include "scene.h"
#include "tcpserver.h"
#include "webcontent.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

using clock_type = std::chrono::steady_clock;
constexpr std::chrono::milliseconds CANVAS_POLL{50};

static struct frame_snapshot snap; // the frame being drawn; large, so not on the stack

// After a frame's canvas pass: a requested capture, and the canvas for the
// browsers and the recorder.
static void after_canvas() {
    if (snap.capture[0] != '\0') {
        scene_draw_view(&snap);
        saveImageToPNG(FIELD_SIZE, FIELD_SIZE, snap.capture);
    }
    scene_share_canvas();
    // NOTE: nothing swaps buffers here; without a flush the software GL
    // would keep the frame's commands, and what they use, queued
    glFlush();
}

static void headless_frame() {
    frame_step(&snap);
    scene_paint_canvas(&snap);
    after_canvas();
}

// The ticks keep to a schedule of `period` from the previous one's due time;
// a schedule missed by more than a period starts afresh.
static void sleep_to_next(clock_type::time_point* due, std::chrono::milliseconds period) {
    const clock_type::time_point now = clock_type::now();
    *due += period;
    if (*due < now - period || *due > now + 2 * period) *due = now + period;
    std::this_thread::sleep_until(*due);
}

static void run_on_timer() {
    clock_type::time_point due = clock_type::now();
    while (!quit_requested) {
        struct tick_plan plan = frame_tick();
        if (plan.frame_due) headless_frame();
        sleep_to_next(&due, std::chrono::milliseconds(plan.period_ms));
    }
}

static int someone_or_quit() { return quit_requested || lockstep_clients > 0; }
static int turns_done_or_quit() {
    return quit_requested || (lockstep_clients > 0 && lockstep_all_spent);
}

// Lockstep: no frame while nobody is connected; then a frame as soon as
// every connected client has had its turn, or `ms` after the last frame.
static void run_in_lockstep(int ms) {
    bool started = false;
    clock_type::time_point last = clock_type::now();
    while (!quit_requested) {
        if (lockstep_clients == 0) {
            started = false;
            if (!lockstep_wait(someone_or_quit, clock_type::now() + CANVAS_POLL)) scene_share_canvas();
            continue;
        }
        if (!started) { // the match starts with its first client
            started = true;
            last = clock_type::now();
        }
        // NOTE: woken at least every 50 ms meanwhile, to hand a browser who
        // asks the canvas painted while nobody watched
        const clock_type::time_point deadline = last + std::chrono::milliseconds(ms);
        if (!lockstep_wait(turns_done_or_quit, std::min(deadline, clock_type::now() + CANVAS_POLL))) {
            if (clock_type::now() < deadline) {
                scene_share_canvas();
                continue;
            }
        }
        if (quit_requested || lockstep_clients == 0) continue;
        elapsed_time++;
        headless_frame();
        last = clock_type::now();
    }
}

static void replay() {
    clock_type::time_point due = clock_type::now();
    while (!quit_requested) {
        if (player_tick(&snap, &scene_player_canvas)) {
            elapsed_time = snap.tick;
            publish_feeds(&snap);
            if (snap.capture[0] != '\0') after_canvas();
        }
        scene_share_canvas(); // also when a browser asks for a canvas shown before
        glFlush();
        sleep_to_next(&due, std::chrono::milliseconds(TIMER_FAST_MS));
    }
}

int headless_start(int lockstep_ms) {
    char why[256];
    if (headless_gl_open(why, sizeof(why)) != 0) {
        std::fprintf(stderr, "qmere: cannot draw without a display: %s\n", why);
        return 1;
    }
    // NOTE: without its fonts the arena still runs; only its texts are missing
    if (glyphs_init(why, sizeof(why)) != 0) std::fprintf(stderr, "qmere: texts are left out: %s\n", why);
    scene_init(1);
    field_open();
    if (player_active())
        replay();
    else if (lockstep_ms > 0)
        run_in_lockstep(lockstep_ms);
    else
        run_on_timer();
    recorder_close();
#if defined(__SANITIZE_ADDRESS__)
    __lsan_do_leak_check(); // as the window does at Q: before the GL driver is unloaded
#endif
    std::exit(0);
}
