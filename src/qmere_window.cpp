// qmere_window.cpp -- the field's window: start-up of the window, its menu
// and the world; the timer that paces the frames; the display callback that
// steps the world and draws the frame from its snapshot; keys, menu and
// title. Owns the window title and the frame snapshot. Everything here runs
// on the main thread, which owns the GL context.
#include <GL/glut.h>
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
#include "player.h"
#include "recorder.h"
#include "tcpserver.h"
#include "webcontent.h"
#include "window.h"

#ifdef QMERE_BENCH_STATS
void bench_frame_drawn(double ms); // bench/frame_stats.cpp
#endif

char window_title[256];
static struct frame_snapshot snap; // the frame being drawn; large, so not on the stack

constexpr double FOV_MIN = 15.0, FOV_MAX = 60.0, FOV_STEP = 5.0;
constexpr double ROTATION_STEP = 2.5;

static void quit_program();

// ================================================================ start-up

int field_start(int argc, char** argv) {
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
    if (snprintf(title, sizeof(title), private_mode ? "Private %s" : "Public %s", window_title) < 0)
        title[0] = '\0';
    glutCreateWindow(title);
    glClearColor((GLclampf)bgcol.r, (GLclampf)bgcol.g, (GLclampf)bgcol.b, 1.0f);

    glutDisplayFunc(display);
    glutKeyboardFunc(keyboardfunc);
    glutSpecialFunc(specialfunc);

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

    field_open(); // the world is whole before any client can reach it
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

// A replay's tick: the player moves on (painting the canvas) and the
// window shows where it is.
static struct tick_plan replay_tick() {
    if (player_tick(&snap, &scene_player_canvas)) {
        elapsed_time = snap.tick;
        publish_feeds(&snap);
        glutPostRedisplay();
    }
    scene_share_canvas(); // also when a browser asks for a canvas shown before
    return {TIMER_FAST_MS, 0};
}

// NOTE: the toolkit's timers count from when they are armed; the ticks keep
// to a schedule of 8 (or 80) ms from the previous one's due time instead, so
// they do not drift, and a schedule missed by more than a period starts afresh.
void timerfunc(int dummy) {
    (void)dummy;
    using clock = std::chrono::steady_clock;
    static clock::time_point due = clock::now();
    struct tick_plan plan = player_active() ? replay_tick() : frame_tick();
    const auto period = std::chrono::milliseconds(plan.period_ms);
    const clock::time_point now = clock::now();
    due += period;
    if (due < now - period || due > now + 2 * period) due = now + period;
    auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(due - now).count();
    glutTimerFunc(wait > 0 ? (unsigned)wait : 0u, timerfunc, 0);
    if (plan.frame_due) glutPostRedisplay();
    if (menuitem_need_to_change) change_menuitem();
    if (quit_requested) quit_program();
}

// One frame: the world step under the frame lock, then the drawing from its
// snapshot with the lock released, a requested capture, and the swap.
void display() {
    if (player_active()) { // the player's ticks step and paint; here only the view
        scene_draw_view(&snap);
        glutSwapBuffers();
        return;
    }
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
    scene_share_canvas();
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
    recorder_close(); // the recording ends whole
#if defined(__SANITIZE_ADDRESS__)
    __lsan_do_leak_check();
#endif
    exit(0);
}

// The keys that act on the field, and what each does.
static const struct {
    char key;
    int action;
} key_actions[] = {
    {'!', ACT_BATTLE}, {'@', ACT_PRIVATE}, {'B', ACT_WALLS},   {'b', ACT_WALLS},
    {'C', ACT_CLEAR},  {'c', ACT_CLEAR},   {'K', ACT_KILLALL}, {'M', ACT_MAZE},
    {'N', ACT_NAMES},  {'n', ACT_NAMES},   {'O', ACT_STONE},   {'o', ACT_STONE},
    {'P', ACT_CAPTURE}, {'p', ACT_CAPTURE}, {'S', ACT_SCORES}, {'s', ACT_SCORES},
    {'Z', ACT_ZOMBIES}, {'z', ACT_ZOMBIES},
};

// The arrow keys step a replay one frame back or on.
void specialfunc(int key, int x, int y) {
    (void)x;
    (void)y;
    if (!player_active()) return;
    if (key == GLUT_KEY_LEFT) player_step(-1);
    if (key == GLUT_KEY_RIGHT) player_step(1);
}

void keyboardfunc(unsigned char key, int x, int y) {
    (void)x;
    (void)y;
    if (key == 'Q') quit_program();
    if (player_active() && (key == ' ' || key == '[' || key == ']')) {
        if (key == ' ') player_toggle();
        else player_faster(key == ']');
        return;
    }
    for (const auto& k : key_actions) {
        if (k.key == (char)key) {
            field_act(k.action);
            return;
        }
    }
    // the view and the help screen: only the window has them
    // NOTE: under the frame lock all the same, like every change of the flags
    // a frame copies (bird view, help).
    frame_guard lock;
    field_needs_redraw = 1; // drawn by the next tick, even on a field at rest
    switch (key) {
    case 27: disp_help = 0; break; // Escape
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
    case 'H':
    case 'h': field_toggle_disp_help(); break;
    default: break;
    }
}

void menufunc(int value) {
    static const int menu_actions[][2] = {
        {MENU_CLEAR, ACT_CLEAR},     {MENU_ZOMBIES, ACT_ZOMBIES}, {MENU_BATTLE, ACT_BATTLE},
        {MENU_PRIVATE, ACT_PRIVATE}, {MENU_CAPTURE, ACT_CAPTURE}, {MENU_KILL_ALL, ACT_KILLALL},
    };
    if (value == MENU_EXIT) quit_program();
    for (const auto& m : menu_actions)
        if (m[0] == value) field_act(m[1]);
    if (value == MENU_ABOUT) {
        frame_guard lock;
        disp_help = 1; // the help screen carries the program's notice
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
