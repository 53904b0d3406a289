// qmere_window.cpp -- the field's window: start-up of the window, its menu
// and the world; the timer that paces the frames; the display callback that
// steps the world and draws the frame from its snapshot; keys, menu and
// title. Owns the window title and the frame snapshot. Everything here runs
// on the main thread, which owns the GL context.
#include <GL/glut.h>
#include <malloc.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

#include "frame.h"
#include "geofunc.h"
#include "globalv.h"
#include "glutil.h"
#include "httpd.h"
#include "scene.h"
#include "tcpserver.h"
#include "window.h"

#ifdef QMERE_BENCH_STATS
void bench_frame_drawn(double ms); // bench/frame_stats.cpp
#endif

char window_title[256];
static struct frame_snapshot snap; // the frame being drawn; large, so not on the stack

constexpr int MALLOC_KEEP_BELOW = 32 << 20;  // blocks below this come from the heap
constexpr int MALLOC_TRIM_ABOVE = 256 << 20; // free heap kept up to this much
constexpr double FOV_MIN = 15.0, FOV_MAX = 60.0, FOV_STEP = 5.0;
constexpr double ROTATION_STEP = 2.5;

// ================================================================ start-up

int field_start(int argc, char** argv) {
    // NOTE: the software GL allocates and frees its vertex buffers on every
    // draw. With the C library's default thresholds each free hands the
    // memory back to the system and the next draw faults it in again, which
    // costs several times the drawing itself; so freed memory is kept.
    mallopt(M_MMAP_THRESHOLD, MALLOC_KEEP_BELOW);
    mallopt(M_TRIM_THRESHOLD, MALLOC_TRIM_ABOVE);
    // NOTE: the software GL rasterizes on worker threads of its own by
    // default, which then compete with the command thread for the cores;
    // rasterizing on the drawing thread itself gives shorter frames and
    // quicker replies here (bench/paint_bench.py). A user's setting stands.
    setenv("LP_NUM_THREADS", "0", 0);

    glutInit(&argc, argv);
    glutInitDisplayMode(GLUT_RGB | GLUT_DOUBLE | GLUT_DEPTH);
    glutInitWindowSize(FIELD_SIZE, FIELD_SIZE);
    glutInitWindowPosition(0, 10);

    char host[256];
    if (gethostname(host, sizeof(host)) == 0) {
        host[sizeof(host) - 1] = '\0';
        // NOTE: a host name too long for the title is cut at 255 bytes
        if (snprintf(window_title, sizeof(window_title), "Quill Mere @ %s", host) < 0)
            snprintf(window_title, sizeof(window_title), "Quill Mere @ ???");
    } else {
        snprintf(window_title, sizeof(window_title), "Quill Mere @ ???");
    }
    char title[256];
    if (snprintf(title, sizeof(title), "Private %s", window_title) < 0) title[0] = '\0';
    glutCreateWindow(title);
    glClearColor((GLclampf)bgcol.r, (GLclampf)bgcol.g, (GLclampf)bgcol.b, 1.0f);

    glutDisplayFunc(display);
    glutKeyboardFunc(keyboardfunc);

    glutCreateMenu(menufunc);
    glutAddMenuEntry("Clear Field", MENU_CLEAR);
    glutAddMenuEntry("Erase Zombie", MENU_ZOMBIES);
    glutAddMenuEntry("Toggle Graphics/Battle Mode", MENU_BATTLE);
    glutAddMenuEntry("Toggle Private/Public Mode", MENU_PRIVATE);
    glutAddMenuEntry("Capture Screen", MENU_CAPTURE);
    glutAddMenuEntry("- - - - - - - - -", MENU_SEPARATOR);
    glutAddMenuEntry("About Quill Mere", MENU_ABOUT);
    glutAddMenuEntry("Kill All Turtles", MENU_KILL_ALL);
    glutAddMenuEntry("Exit", MENU_EXIT);
    glutAttachMenu(GLUT_RIGHT_BUTTON);

    glutReshapeFunc(reshapefunc);
    scene_init(1);
    glutTimerFunc(TIMER_FAST_MS, timerfunc, 0);

    // the world is whole before any client can reach it
    field_kill_all_turtles();
    reset_wall();
    init_teaminfo();
    turtle_field_is_cleared = 0;
    menuitem_need_to_change = 0;

    start_tcp_server(TCP_PORT); // reports its own failure through field_set_socket_error
    // NOTE: the HTTP listener reports bind and listen failures itself; a
    // listener thread that could not even be started is reported here.
    if (start_httpd(HTTP_PORT) != 0) field_set_socket_error();

    glutMainLoop();
    return 0;
}

// The window stays 512 x 512 whatever the user asks for: the projection, the
// canvas copy and the capture all count on one field unit per pixel.
void reshapefunc(int x, int y) {
    // NOTE: only a different size is answered with a resize, so the toolkit's
    // own reshape to 512 x 512 does not start a loop.
    if (x != FIELD_SIZE || y != FIELD_SIZE) glutReshapeWindow(FIELD_SIZE, FIELD_SIZE);
    glutPostRedisplay();
}

// ============================================================= frame cycle

// NOTE: the toolkit's timers count from when they are armed, so a tick armed
// 8 ms after the last one ran would drift by the time each tick takes. The
// ticks keep to a schedule instead: each is armed for the time left until
// 8 (or 80) ms after the previous one was due, and a schedule missed by more
// than a period starts afresh rather than firing a burst to catch up.
void timerfunc(int dummy) {
    (void)dummy;
    using clock = std::chrono::steady_clock;
    static clock::time_point due = clock::now();
    struct tick_plan plan = frame_tick();
    const auto period = std::chrono::milliseconds(plan.period_ms);
    const clock::time_point now = clock::now();
    due += period;
    if (due < now - period || due > now + 2 * period) due = now + period;
    auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(due - now).count();
    glutTimerFunc(wait > 0 ? (unsigned)wait : 0u, timerfunc, 0);
    if (plan.frame_due) glutPostRedisplay();
    if (menuitem_need_to_change) change_menuitem();
}

// One frame: the world step under the frame lock, then the drawing from its
// snapshot with the lock released, a requested capture, and the swap.
void display() {
#ifdef QMERE_BENCH_STATS
    auto t0 = std::chrono::steady_clock::now();
#endif
    frame_step(&snap);
    scene_draw(&snap);
    // NOTE: the capture is written from the finished back buffer, before the
    // swap: software GL under a virtual X server hands back a black front
    // buffer, and the back buffer is exactly what the window shows next.
    if (snap.capture[0] != '\0') saveImageToPNG(FIELD_SIZE, FIELD_SIZE, snap.capture);
    glutSwapBuffers();
#ifdef QMERE_BENCH_STATS
    bench_frame_drawn(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
#endif
}

// ====================================================== keys, menu, title

// The person at the window ends the program (Q, or Exit in the menu).
// NOTE: a build with AddressSanitizer runs its leak check here, before exit:
// the exit handlers unload the GL driver, after which the driver's own
// allocations kept to the end can no longer be told from ours by name
// (tools/lsan.supp names the driver). Other builds just exit.
static void quit_program() {
#if defined(__SANITIZE_ADDRESS__)
    __lsan_do_leak_check();
#endif
    exit(0);
}

void keyboardfunc(unsigned char key, int x, int y) {
    (void)x;
    (void)y;
    if (key == 'Q') quit_program();
    if (key == 'P' || key == 'p') {
        field_capture_screen();
        return;
    }
    // NOTE: every other key runs under the frame lock, so the command thread
    // never sees a half-changed table or flag (kill-all, maze, stones, ...).
    frame_guard lock;
    field_needs_redraw = 1; // drawn by the next tick, even on a field at rest
    switch (key) {
    case 27: // Escape
        disp_help = 0;
        break;
    case '!': field_toggle_battle_mode(); break;
    case '+':
    case ';':
        view_fov_angle -= FOV_STEP;
        if (view_fov_angle < FOV_MIN) view_fov_angle = FOV_MIN;
        break;
    case '-':
    case '=':
        view_fov_angle += FOV_STEP;
        if (view_fov_angle > FOV_MAX) view_fov_angle = FOV_MAX;
        break;
    case ',':
    case '<':
        view_rotation_angle -= ROTATION_STEP;
        if (view_rotation_angle < -180.0) view_rotation_angle += 360.0;
        break;
    case '.':
    case '>':
        view_rotation_angle += ROTATION_STEP;
        if (view_rotation_angle > 180.0) view_rotation_angle -= 360.0;
        break;
    case '3': field_toggle_bird_view_mode(); break;
    case '@': field_toggle_private_mode(); break;
    case 'B':
    case 'b': field_toggle_bounded_area_mode(); break;
    case 'C':
    case 'c': turtle_field_is_cleared = 0; break;
    case 'H':
    case 'h': field_toggle_disp_help(); break;
    case 'K': field_kill_all_turtles(); break;
    case 'M': field_toggle_maze_mode(); break;
    case 'N':
    case 'n': field_toggle_disp_name(); break;
    case 'O':
    case 'o': scatter_stone(1); break;
    case 'S':
    case 's': field_toggle_disp_score(); break;
    case 'Z':
    case 'z': field_clear_zombie(); break;
    default: break;
    }
}

void menufunc(int value) {
    if (value == MENU_EXIT) quit_program();
    if (value == MENU_CAPTURE) {
        field_capture_screen();
    } else {
        // NOTE: as with the keys, table changes wait for the frame lock
        frame_guard lock;
        field_needs_redraw = 1;
        switch (value) {
        case MENU_CLEAR: turtle_field_is_cleared = 0; break;
        case MENU_ZOMBIES: field_clear_zombie(); break;
        case MENU_BATTLE: field_toggle_battle_mode(); break;
        case MENU_PRIVATE: field_toggle_private_mode(); break;
        case MENU_ABOUT: disp_help = 1; break;
        case MENU_KILL_ALL: field_kill_all_turtles(); break;
        default: break; // the separator, or no entry
        }
    }
    glutPostRedisplay();
}

int change_menuitem() {
    char title[256];
    if (snprintf(title, sizeof(title), private_mode ? "Private %s" : "Public %s", window_title) < 0)
        title[0] = '\0';
    glutSetWindowTitle(title);
    menuitem_need_to_change = 0;
    return 0;
}
