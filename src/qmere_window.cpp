// qmere_window.cpp -- the field's window half: start-up of the window, its
// menu, light and canvas texture; the timer and the display callback that
// runs one frame (canvas pass, world update and scene drawing under the frame
// lock); turtle, wall, coin and beam drawing; keys, menu and window title.
// Owns the canvas texture and its buffer. Everything here runs on the main
// thread, which owns the GL context.

#include <GL/glut.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "geofunc.h"
#include "globalv.h"
#include "glutil.h"
#include "httpd.h"
#include "qmere.h"
#include "tcpserver.h"

static GLuint bg_textures[1];                  // the canvas: everything painted so far
static GLubyte* bg_tex_buffer = NULL;          // handed to the canvas texture at creation
static char capture_pending[CAPTURE_NAME_LEN]; // file of a requested capture; empty: none
constexpr size_t BG_TEX_BUFFER_SIZE = 0x100000;

static const double HALF = FIELD_SIZE / 2.0; // the field spans -HALF..HALF

// camera
constexpr double CAMERA_NEAR = 409.6;
constexpr double ORTHO_FAR = 614.4;
constexpr double PERSPECTIVE_FAR = 1024.0;
constexpr double EYE_DIST = 512.0;
constexpr double FOV_MIN = 15.0, FOV_MAX = 60.0, FOV_STEP = 5.0;
constexpr double ROTATION_STEP = 2.5;

// drawing heights and sizes
constexpr double TURTLE_Z = 5.0;
constexpr double BULLET_Z = 3.0;
constexpr double BULLET_RADIUS = 5.0;
constexpr double BLAST_RADIUS = 15.0;
constexpr double WALL_HEIGHT = 15.0;
constexpr double LABEL_Z = 16.0;

// ============================================================ small helpers

static void set_material(GLenum face, GLenum pname, float r, float g, float b, float a) {
    const GLfloat v[4] = {r, g, b, a};
    glMaterialfv(face, pname, v);
}

static void clear_emission() {
    set_material(GL_FRONT, GL_EMISSION, 0.0f, 0.0f, 0.0f, 0.0f);
}

// Bitmap text from the raster position (x, y, z) in 12-point Helvetica; its
// colour is the lit material at the raster position.
static void draw_label(double x, double y, double z, const char* str) {
    glRasterPos3d(x, y, z);
    for (const char* c = str; *c != '\0'; c++)
        glutBitmapCharacter(GLUT_BITMAP_HELVETICA_12, *c);
}

// A flat disc (or a ring when inner > 0) facing +z.
static void draw_disc(double x, double y, double z, double inner, double outer) {
    const int seg = 24;
    glNormal3d(0.0, 0.0, 1.0);
    glBegin(GL_TRIANGLE_STRIP);
    for (int i = 0; i <= seg; i++) {
        double a = 2.0 * M_PI * i / seg;
        glVertex3d(x + outer * cos(a), y + outer * sin(a), z);
        glVertex3d(x + inner * cos(a), y + inner * sin(a), z);
    }
    glEnd();
}

// Stand-ins for the object icons until the textured ones are drawn by the
// toolkit: each covers the icon's square x-10..x+9, y-10..y+9.
static void draw_coin_mark(double x, double y, int order) {
    double z = 1.0 + 1.5 * (double)order / (double)(ncoin + 1);
    set_material(GL_FRONT, GL_AMBIENT_AND_DIFFUSE, 0.94f, 0.75f, 0.33f, 1.0f);
    draw_disc(x - 0.5, y - 0.5, z, 0.0, 9.0);
}

static void draw_stone_mark(double x, double y) {
    set_material(GL_FRONT, GL_AMBIENT_AND_DIFFUSE, 0.49f, 0.49f, 0.49f, 1.0f);
    draw_disc(x - 0.5, y - 0.5, 3.0, 0.0, 9.5);
}

static void draw_doughnut_mark(double x, double y) {
    set_material(GL_FRONT, GL_AMBIENT_AND_DIFFUSE, 0.82f, 0.47f, 0.23f, 1.0f);
    draw_disc(x - 0.5, y - 0.5, 2.0, 3.5, 9.5);
}

// An untextured stand-in for the stone wall panel: the vertical quad over
// (x0, y0)-(x1, y1), 15 high, facing (nx, ny).
static void draw_wall_face(double x0, double y0, double x1, double y1, double nx, double ny) {
    glEnable(GL_CULL_FACE);
    glCullFace(GL_BACK);
    glBegin(GL_QUADS);
    glNormal3d(nx, ny, 0.0);
    glVertex3d(x0, y0, 0.0);
    glVertex3d(x0, y0, WALL_HEIGHT);
    glVertex3d(x1, y1, WALL_HEIGHT);
    glVertex3d(x1, y1, 0.0);
    glEnd();
    glDisable(GL_CULL_FACE);
}

// A sphere of the bullet's colours with opacity `alpha`.
static void draw_fire_sphere(double x, double y, double radius, float alpha) {
    set_material(GL_FRONT, GL_DIFFUSE, 1.0f, 0.9f, 0.5f, alpha);
    set_material(GL_FRONT, GL_AMBIENT, 1.0f, 0.8f, 0.0f, alpha);
    glPushMatrix();
    glTranslated(x, y, BULLET_Z);
    glutSolidSphere(radius, 16, 16);
    glPopMatrix();
}

// ================================================================ start-up

int field_start(int argc, char** argv) {
    const GLfloat light0_diffuse[4] = {1.0f, 1.0f, 1.0f, 1.0f};
    const GLfloat light0_position[4] = {0.0f, 0.0f, 256.0f, 0.0f}; // straight down onto the field

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
    glutAddMenuEntry("Clear Field", 1);
    glutAddMenuEntry("Erase Zombie", 2);
    glutAddMenuEntry("Toggle Graphics/Battle Mode", 3);
    glutAddMenuEntry("Toggle Private/Public Mode", 4);
    glutAddMenuEntry("Capture Screen", 5);
    glutAddMenuEntry("- - - - - - - - -", 0);
    glutAddMenuEntry("About Quill Mere", 7);
    glutAddMenuEntry("Kill All Turtles", 8);
    glutAddMenuEntry("Exit", 9);
    glutAttachMenu(GLUT_RIGHT_BUTTON);

    glutReshapeFunc(reshapefunc);

    // NOTE: zeroed, so the GL never reads uninitialised memory; the first
    // frame clears the canvas and copies it back anyway.
    bg_tex_buffer = (GLubyte*)calloc(1, BG_TEX_BUFFER_SIZE);
    if (bg_tex_buffer == NULL) {
        fprintf(stderr, "field_start(): cannot allocate the canvas buffer\n");
        exit(1);
    }
    glGenTextures(1, bg_textures);
    glBindTexture(GL_TEXTURE_2D, bg_textures[0]);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glTexImage2D(GL_TEXTURE_2D, 0, 1, FIELD_SIZE, FIELD_SIZE, 0, GL_RGB, GL_UNSIGNED_BYTE,
                 bg_tex_buffer);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    glBindTexture(GL_TEXTURE_2D, 0);

    glLightfv(GL_LIGHT0, GL_DIFFUSE, light0_diffuse);
    glLightfv(GL_LIGHT0, GL_POSITION, light0_position);
    glEnable(GL_LIGHTING);
    glEnable(GL_LIGHT0);

    glViewport(0, 0, FIELD_SIZE, FIELD_SIZE);
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
    free(bg_tex_buffer);
    bg_tex_buffer = NULL;
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

void timerfunc(int dummy) {
    (void)dummy;
    elapsed_time++;
    int nobj = 0;
    {
        // NOTE: the count reads the turtle table, which the command thread
        // changes under the frame lock; so it is read under it too.
        std::lock_guard<std::mutex> lock(frame_rendering_mutex);
        qf_n_moving_obj(&nobj);
    }
    glutTimerFunc(nobj >= 1 ? TIMER_FAST_MS : TIMER_SLOW_MS, timerfunc, 0);
    glutPostRedisplay();
    if (menuitem_need_to_change) change_menuitem();
}

// Restores the painted field from the canvas texture, or clears it to bgcol
// (with the background picture in battle mode) when a clear was asked for.
static void canvas_restore_or_clear() {
    if (turtle_field_is_cleared == 1) {
        glMatrixMode(GL_PROJECTION);
        glLoadIdentity();
        gluOrtho2D(0.0, 1.0, 0.0, 1.0);
        glMatrixMode(GL_MODELVIEW);
        glEnable(GL_TEXTURE_2D);
        glBindTexture(GL_TEXTURE_2D, bg_textures[0]);
        glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_REPLACE);
        glBegin(GL_QUADS);
        glTexCoord2d(0.0, 0.0);
        glVertex2d(0.0, 0.0);
        glTexCoord2d(1.0, 0.0);
        glVertex2d(1.0, 0.0);
        glTexCoord2d(1.0, 1.0);
        glVertex2d(1.0, 1.0);
        glTexCoord2d(0.0, 1.0);
        glVertex2d(0.0, 1.0);
        glEnd();
        glBindTexture(GL_TEXTURE_2D, 0);
        glDisable(GL_TEXTURE_2D);
        glMatrixMode(GL_PROJECTION);
        glLoadIdentity();
        gluOrtho2D(-HALF, HALF, -HALF, HALF);
        glMatrixMode(GL_MODELVIEW);
    } else {
        glClearColor((GLclampf)bgcol.r, (GLclampf)bgcol.g, (GLclampf)bgcol.b, 1.0f);
        glClear(GL_COLOR_BUFFER_BIT);
        if (battle_mode) {
            // TODO: drawBackground() -- the tiled battle picture -- goes here
            // once the drawing toolkit has its images.
        }
        turtle_field_is_cleared = 1;
        field_is_painted = 1;
    }
}

// Copies the window's back buffer (the canvas with this frame's paint) into
// the canvas texture.
static void canvas_copy_back() {
    glBindTexture(GL_TEXTURE_2D, bg_textures[0]);
    glReadBuffer(GL_BACK);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glCopyTexImage2D(GL_TEXTURE_2D, 0, GL_RGB, 0, 0, FIELD_SIZE, FIELD_SIZE, 0);
    glBindTexture(GL_TEXTURE_2D, 0);
}

// Camera (top-down orthographic or bird view) and the field quad with the
// canvas on it.
static void draw_camera_and_field() {
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glEnable(GL_DEPTH_TEST);

    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    if (bird_view_mode) {
        gluPerspective(view_fov_angle, 1.0, CAMERA_NEAR, PERSPECTIVE_FAR);
    } else {
        glOrtho(-HALF, HALF, -HALF, HALF, CAMERA_NEAR, ORTHO_FAR);
    }
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    if (bird_view_mode) {
        gluLookAt(0.0, -EYE_DIST, EYE_DIST, 0.0, 0.0, 0.0, 0.0, 1.0, 0.0);
        glRotated(view_rotation_angle, 0.0, 0.0, 1.0);
    } else {
        gluLookAt(0.0, 0.0, EYE_DIST, 0.0, 0.0, 0.0, 0.0, 1.0, 0.0);
    }

    glEnable(GL_CULL_FACE);
    glEnable(GL_TEXTURE_2D);
    glBindTexture(GL_TEXTURE_2D, bg_textures[0]);
    glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_REPLACE);
    glBegin(GL_QUADS);
    glNormal3d(0.0, 0.0, 1.0);
    glTexCoord2d(0.0, 0.0);
    glVertex3d(-HALF, -HALF, 0.0);
    glTexCoord2d(1.0, 0.0);
    glVertex3d(HALF, -HALF, 0.0);
    glTexCoord2d(1.0, 1.0);
    glVertex3d(HALF, HALF, 0.0);
    glTexCoord2d(0.0, 1.0);
    glVertex3d(-HALF, HALF, 0.0);
    glEnd();
    glBindTexture(GL_TEXTURE_2D, 0);
    glDisable(GL_TEXTURE_2D);
    glDisable(GL_CULL_FACE);
}

// Coins in rank order, oldest first, so later coins lie on top.
static void draw_coins() {
    int n = ncoin < MAX_COIN ? ncoin : MAX_COIN;
    for (int k = 0; k < MAX_COIN; k++)
        coin_list[k] = -1;
    for (int i = 0; i < n; i++) {
        // a rank outside the table is skipped rather than written anywhere
        if ((coins[i].status & COIN_ON_FIELD) && coins[i].order >= 0 && coins[i].order < MAX_COIN)
            coin_list[coins[i].order] = i;
    }
    for (int k = 0; k < n; k++) {
        int c = coin_list[k];
        if (c >= 0 && (coins[c].status & COIN_ON_FIELD))
            draw_coin_mark(coins[c].pos.x, coins[c].pos.y, coins[c].order);
    }
}

void display() {
    field_is_painted = 0;
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    gluOrtho2D(-HALF, HALF, -HALF, HALF);
    glMatrixMode(GL_MODELVIEW);

    // NOTE: the lock is taken before the canvas pass rather than after it:
    // the pass reads turtle_field_is_cleared and battle_mode, which client
    // commands change under the same lock.
    rendering_started();
    canvas_restore_or_clear();

    update_coin_event();
    refresh_teaminfo();

    // TODO: the painting step -- paint_by_turtle(tid) for tid 0..ntmax-1,
    // pen strokes and printed messages onto the window image -- goes here
    // once the paint engines are in. Until then nothing is painted.

    if (field_is_painted) canvas_copy_back();

    draw_camera_and_field();
    if (battle_mode) draw_walls();
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    draw_coins();

    // objects (stones, doughnuts) first, then turtles and robots
    for (int tid = 0; tid < ntmax && tid < MAX_TURTLE; tid++) {
        if (ttl[tid].status & ST_OBJECT) draw_turtle(tid);
    }
    for (int tid = 0; tid < ntmax && tid < MAX_TURTLE; tid++) {
        if (!(ttl[tid].status & ST_OBJECT)) draw_turtle(tid);
    }

    if (disp_help) {
        // TODO: drawHelp() -- the help panel with the keys -- goes here.
    }
    if (socket_error_occurred) {
        // TODO: drawWarming() -- the warning that a server port is taken.
    }

    glDisable(GL_DEPTH_TEST);
    rendering_is_done();
    if (capture_pending[0] != '\0') {
        saveImageToPNG(FIELD_SIZE, FIELD_SIZE, capture_pending);
        capture_pending[0] = '\0';
    }
    glutSwapBuffers();
}

// ============================================================ scene drawing

void draw_walls() {
    set_material(GL_FRONT_AND_BACK, GL_DIFFUSE, 0.5f, 0.5f, 0.3f, 1.0f);
    set_material(GL_FRONT_AND_BACK, GL_AMBIENT, 0.45f, 0.45f, 0.27f, 1.0f);
    int n = nwall < MAX_WALL ? nwall : MAX_WALL;
    for (int i = 0; i < n; i++) {
        const struct wall* w = &walls[i];
        double nx = w->normal.x, ny = w->normal.y;
        double dx = ny, dy = -nx; // along the face
        double x0 = w->startp.x, y0 = w->startp.y;
        double x1 = w->endp.x, y1 = w->endp.y;

        // TODO: drawStoneWall (the textured panel) replaces this face.
        draw_wall_face(x0 + nx, y0 + ny, x1 + nx, y1 + ny, nx, ny);

        if (!(w->status & WALL_BACK)) {
            glBegin(GL_POLYGON);
            glNormal3d(0.0, 0.0, 1.0);
            glVertex3d(x0 - dx, y0 - dy, WALL_HEIGHT);
            glVertex3d(x0 + nx, y0 + ny, WALL_HEIGHT);
            glVertex3d(x1 + nx, y1 + ny, WALL_HEIGHT);
            glVertex3d(x1 + dx, y1 + dy, WALL_HEIGHT);
            glVertex3d(x1 - 2.0 * nx, y1 - 2.0 * ny, WALL_HEIGHT);
            glVertex3d(x0 - 2.0 * nx, y0 - 2.0 * ny, WALL_HEIGHT);
            glEnd();
        }
    }
}

// One sensor beam from tid to target at turtle height.
static void draw_one_beam(int tid, int target, float r, float g, float b) {
    glLineWidth(1.0f);
    set_material(GL_FRONT, GL_AMBIENT_AND_DIFFUSE, r, g, b, 1.0f);
    set_material(GL_FRONT, GL_EMISSION, r, g, b, 1.0f);
    // a target outside the table draws nothing but is still cleared
    if (target < MAX_TURTLE) {
        glBegin(GL_LINES);
        glVertex3d(ttl[tid].pos[0].x, ttl[tid].pos[0].y, TURTLE_Z);
        glVertex3d(ttl[target].pos[0].x, ttl[target].pos[0].y, TURTLE_Z);
        glEnd();
    }
}

void draw_beam(int tid) {
    struct turtle* t = &ttl[tid];
    if (t->target_of_finder >= 0) {
        draw_one_beam(tid, t->target_of_finder, 1.0f, 0.4f, 0.4f);
        t->target_of_finder = -1;
        clear_emission();
    }
    if (t->target_of_rader >= 0) {
        draw_one_beam(tid, t->target_of_rader, 0.4f, 0.4f, 1.0f);
        t->target_of_rader = -1;
        clear_emission();
    }
}

void set_ttl_color(int tid) {
    static const float team_color[MAX_TEAM][3] = {
        {0.2f, 1.0f, 0.1f}, {0.7f, 0.3f, 1.0f}, {0.5f, 0.9f, 0.9f},
        {0.1f, 0.1f, 1.0f}, {0.8f, 0.9f, 0.0f},
    };
    static const float negative_color[3] = {0.7f, 0.8f, 0.0f};
    int k = ttl[tid].team % MAX_TEAM; // keeps the sign of team
    const float* c = (k < 0) ? negative_color : team_color[k];
    set_material(GL_FRONT, GL_DIFFUSE, c[0], c[1], c[2], 1.0f);
    set_material(GL_FRONT, GL_AMBIENT, 0.6f * c[0], 0.6f * c[1], 0.6f * c[2], 1.0f);
}

void draw_turtle_body(int tid, double x, double y, double angle, double delta1, double delta2) {
    const struct turtle* t = &ttl[tid];
    if (t->status & ST_STONE) {
        draw_stone_mark(x, y); // TODO: drawIcon_Stone
        return;
    }
    if (t->status & ST_DOUGHNUT) {
        draw_doughnut_mark(x, y); // TODO: drawIcon_Doughnut
        return;
    }
    // a coin carrier shows one coin on top of every field coin
    if (t->ncoin > 0) draw_coin_mark(x, y, ncoin); // TODO: drawIcon_Coin

    glPushMatrix();
    glTranslated(x, y, TURTLE_Z);
    glRotated(angle, 0.0, 0.0, 1.0); // local x points forward
    set_ttl_color(tid);

    glPushMatrix(); // head
    glTranslated(11.5, 0.0, delta2);
    glutSolidSphere(2.5, 8, 8);
    glPopMatrix();

    const double legs[4][2] = {
        {delta1 - 5.0, 8.0}, {5.0 - delta1, 8.0}, {-5.0 - delta1, -8.0}, {5.0 + delta1, -8.0}};
    for (const auto& leg : legs) {
        glPushMatrix();
        glTranslated(leg[0], leg[1], -2.0);
        glutSolidSphere(2.0, 8, 8);
        glPopMatrix();
    }

    glEnable(GL_NORMALIZE); // the shell's scale would stretch its normals
    glScaled(1.0, 0.7, 0.5);
    glutSolidSphere(10.0, 12, 12);
    glTranslated(-8.0, 0.0, 0.0); // tail, pointing backwards
    glRotated(-90.0, 0.0, 1.0, 0.0);
    glutSolidCone(1.0, 6.0, 8, 4);
    glDisable(GL_NORMALIZE);
    glPopMatrix();
}

// Score and name above and below the turtle.
static void draw_labels(const struct turtle* t) {
    double x = t->pos[0].x, y = t->pos[0].y;
    if (disp_score) {
        char buf[16];
        snprintf(buf, sizeof(buf), "%d", t->score);
        set_material(GL_FRONT, GL_EMISSION, 0.7f, 0.7f, 0.7f, 1.0f);
        draw_label(x - 12.0, y + 10.0, LABEL_Z, buf);
        clear_emission();
    }
    if (disp_name) {
        set_material(GL_FRONT, GL_EMISSION, 0.7f, 0.7f, 0.7f, 1.0f);
        draw_label(x - 12.0, y - 22.0, LABEL_Z, t->name);
        clear_emission();
    }
}

// One slot per frame: its world update (from the world half) interleaved
// with its drawing, in the frame's order.
void draw_turtle(int tid) {
    struct turtle* t = &ttl[tid];

    // a bullet keeps flying after its shooter has died
    if (t->status & ST_BULLET) {
        set_material(GL_FRONT, GL_DIFFUSE, 1.0f, 0.9f, 0.5f, 1.0f);
        set_material(GL_FRONT, GL_AMBIENT, 1.0f, 0.8f, 0.0f, 1.0f);
        glPushMatrix();
        glTranslated(t->bullet.x, t->bullet.y, BULLET_Z);
        glutSolidSphere(BULLET_RADIUS, 16, 16);
        glPopMatrix();
        struct position blast;
        if (update_bullet(tid, &blast)) draw_fire_sphere(blast.x, blast.y, BLAST_RADIUS, 1.0f);
    }
    if (!(t->status & ST_ALIVE)) return;

    int dying = t->ttl > 0;
    if (dying) glEnable(GL_BLEND);
    double tm = (double)elapsed_time.load();
    double delta1 = sin(tm / 7.0 + 0.3 * tid);  // leg swing
    double delta2 = sin(tm / 28.0 + 0.3 * tid); // head bob

    if (battle_mode) draw_beam(tid);
    draw_turtle_body(tid, t->pos[0].x, t->pos[0].y, t->heading, delta1, delta2);
    if (!(t->status & ST_OBJECT)) draw_labels(t);

    if (t->ttl > 0) {
        if (t->ttl > FLASH_UNTIL) {
            set_material(GL_FRONT, GL_DIFFUSE, 1.0f, 0.2f, 0.0f, 0.8f);
            set_material(GL_FRONT, GL_AMBIENT, 1.0f, 0.2f, 0.0f, 0.8f);
            glPushMatrix();
            glTranslated(t->pos[0].x, t->pos[0].y, BULLET_Z);
            glutSolidSphere(BLAST_RADIUS, 16, 16);
            glPopMatrix();
        }
        update_dying(tid);
    }
    if (dying) glDisable(GL_BLEND);

    if (t->bttf > 0) {
        glEnable(GL_BLEND);
        draw_fire_sphere(t->bullet.x, t->bullet.y, BLAST_RADIUS,
                         (float)t->bttf / (float)BLAST_FRAMES);
        glDisable(GL_BLEND);
        update_blast(tid);
    }

    if (t->status & ST_ROBOT) update_robot(tid);
}

// ====================================================== keys, menu, title

// NOTE: the capture is written by the next frame, between its drawing and
// its swap, from the back buffer: software GL under a virtual X server hands
// back a black front buffer, while the finished back buffer is exactly what
// the window is about to show. The name is fixed now, by the current tick;
// a second request before that frame names the same file.
int field_capture_screen() {
    make_capture_name(capture_pending, sizeof(capture_pending), getenv("HOME"),
                      (long)elapsed_time.load());
    glutPostRedisplay();
    return 1;
}

void keyboardfunc(unsigned char key, int x, int y) {
    (void)x;
    (void)y;
    // The two keys that leave the tables alone and must not hold the lock:
    // exit, and the capture request.
    if (key == 'Q') exit(0);
    if (key == 'P' || key == 'p') {
        field_capture_screen();
        return;
    }
    // NOTE: every other key runs under the frame lock, so the command thread
    // never sees a half-changed table or flag (kill-all, maze, stones, ...).
    std::lock_guard<std::mutex> lock(frame_rendering_mutex);
    switch (key) {
    case 27: // Escape
        disp_help = 0;
        break;
    case '!':
        field_toggle_battle_mode();
        break;
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
    case '3':
        field_toggle_bird_view_mode();
        break;
    case '@':
        field_toggle_private_mode();
        break;
    case 'B':
    case 'b':
        field_toggle_bounded_area_mode();
        break;
    case 'C':
    case 'c':
        turtle_field_is_cleared = 0;
        break;
    case 'H':
    case 'h':
        field_toggle_disp_help();
        break;
    case 'K':
        field_kill_all_turtles();
        break;
    case 'M':
        field_toggle_maze_mode();
        break;
    case 'N':
    case 'n':
        field_toggle_disp_name();
        break;
    case 'O':
    case 'o':
        scatter_stone(1);
        break;
    case 'S':
    case 's':
        field_toggle_disp_score();
        break;
    case 'Z':
    case 'z':
        field_clear_zombie();
        break;
    default:
        break;
    }
}

void menufunc(int value) {
    if (value == 9) exit(0);
    if (value == 5) {
        field_capture_screen();
    } else {
        // NOTE: as with the keys, table changes wait for the frame lock
        std::lock_guard<std::mutex> lock(frame_rendering_mutex);
        switch (value) {
        case 1:
            turtle_field_is_cleared = 0;
            break;
        case 2:
            field_clear_zombie();
            break;
        case 3:
            field_toggle_battle_mode();
            break;
        case 4:
            field_toggle_private_mode();
            break;
        case 7:
            disp_help = 1;
            break;
        case 8:
            field_kill_all_turtles();
            break;
        default: // the separator, or no entry
            break;
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
