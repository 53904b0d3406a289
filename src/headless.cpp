// headless.cpp -- the arena without a window: the same world, servers and
// frames, stepped by a timer of our own and drawn by the same scene code
// into an offscreen framebuffer of a surfaceless EGL context. Owns that
// timer and the frame snapshot of a headless run.
#include "headless.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "frame.h"
#include "glutil.h"
#include "glyphs.h"
#include "headless_gl.h"
#include "scene.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

static struct frame_snapshot snap; // the frame being drawn; large, so not on the stack

// One frame: the world step, the drawing from its snapshot, a requested
// capture, and the canvas for the browsers.
static void headless_frame() {
    frame_step(&snap);
    scene_draw(&snap);
    if (snap.capture[0] != '\0') saveImageToPNG(FIELD_SIZE, FIELD_SIZE, snap.capture);
    scene_share_canvas();
}

int headless_start() {
    char why[256];
    if (headless_gl_open(why, sizeof(why)) != 0) {
        std::fprintf(stderr, "qmere: cannot draw without a display: %s\n", why);
        return 1;
    }
    // NOTE: without its fonts the arena still runs; only its texts are missing
    if (glyphs_init(why, sizeof(why)) != 0) std::fprintf(stderr, "qmere: texts are left out: %s\n", why);
    scene_init(1);
    field_open();

    // The ticks keep to a schedule of 8 (or 80) ms from the previous one's
    // due time; a schedule missed by more than a period starts afresh.
    using clock = std::chrono::steady_clock;
    clock::time_point due = clock::now();
    while (!quit_requested) {
        struct tick_plan plan = frame_tick();
        if (plan.frame_due) headless_frame();
        const auto period = std::chrono::milliseconds(plan.period_ms);
        const clock::time_point now = clock::now();
        due += period;
        if (due < now - period || due > now + 2 * period) due = now + period;
        std::this_thread::sleep_until(due);
    }
#if defined(__SANITIZE_ADDRESS__)
    __lsan_do_leak_check(); // as the window does at Q: before the GL driver is unloaded
#endif
    std::exit(0);
}
