// qmere_window.cpp -- the field's window half: start-up of the window, its
// menu, light and canvas texture; the timer and the display callback that
// runs one frame (canvas pass with the turtles' painting, world update and
// scene drawing under the frame lock); turtle, wall, coin and beam drawing;
// keys, menu and window title. Owns the canvas texture and its buffer, and
// the optional frame timing log. Everything here runs on the main thread,
// which owns the GL context.

#define GL_GLEXT_PROTOTYPES 1 // framebuffer objects, for the canvas
#include <GL/glut.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

#include "geofunc.h"
#include "globalv.h"
#include "glutil.h"
#include "httpd.h"
#include "paint.h"
#include "qmere.h"
#include "tcpserver.h"

void paint_by_turtle(int tid); // the canvas pass's painting of one slot

static GLuint bg_textures[1];                  // the canvas: everything painted so far
static GLuint canvas_fbo = 0;                  // paints straight into the canvas; 0: none
static int canvas_is_rgb = 0;                  // the canvas texture holds RGB texels
static GLubyte* bg_tex_buffer = NULL;          // handed to the canvas texture at creation
static char capture_pending[CAPTURE_NAME_LEN]; // file of a requested capture; empty: none
constexpr size_t BG_TEX_BUFFER_SIZE = 0x100000;
constexpr int MALLOC_KEEP_BELOW = 32 << 20;  // blocks below this come from the heap
constexpr int MALLOC_TRIM_ABOVE = 256 << 20; // free heap kept up to this much

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

// NOTE: a client may choose any finite field colour; the GL clamps it to
// 0..1 anyway, and clamping first keeps the conversion to float defined.
static GLclampf unit(double v) {
    return (GLclampf)std::clamp(v, 0.0, 1.0);
}

static void clear_emission() {
    set_material(GL_FRONT, GL_EMISSION, 0.0f, 0.0f, 0.0f, 0.0f);
}

// ================================================================== solids
//
// Bullets and blasts. Each solid is made once into a display list: the
// toolkit would otherwise recompute it on every call and hand it to the GL
// as dozens of small strips.

enum solid_kind { SOLID_BULLET, SOLID_BLAST, N_SOLID };
static GLuint solid_lists = 0; // first of N_SOLID lists; 0 until made

static void draw_solid_now(int kind) {
    if (kind == SOLID_BULLET)
        glutSolidSphere(BULLET_RADIUS, 16, 16);
    else
        glutSolidSphere(BLAST_RADIUS, 16, 16);
}

static void draw_solid(int kind) {
    static int tried = 0;
    if (!tried) {
        tried = 1;
        solid_lists = glGenLists(N_SOLID);
        for (int k = 0; solid_lists != 0 && k < N_SOLID; k++) {
            glNewList(solid_lists + k, GL_COMPILE);
            draw_solid_now(k);
            glEndList();
        }
    }
    // NOTE: should the GL have no lists to give, the solids are drawn directly
    if (solid_lists != 0)
        glCallList(solid_lists + kind);
    else
        draw_solid_now(kind);
}

// ============================================================ turtle mesh
//
// A turtle's body is eight solids (head, four legs, shell, tail). Drawn one by
// one through the toolkit they are hundreds of small strips a frame for a
// full field, which took the software GL most of a frame; so the body is one
// mesh of the same spheres and cone, built once in the turtle's own frame
// (x forward), in which only the head and legs move from frame to frame, and
// drawn with one call and its hidden back faces culled. Normals are those
// the GL would use for each solid: the shell's and the tail's are stretched
// by the shell's scale and renormalised.

struct mesh_vertex {
    GLfloat nx, ny, nz; // normal
    GLfloat x, y, z;    // position in the turtle's frame
};

enum body_part {
    PART_HEAD,
    PART_LEG0,
    PART_LEG1,
    PART_LEG2,
    PART_LEG3,
    PART_SHELL,
    PART_TAIL,
    N_PART
};

static std::vector<mesh_vertex> body_base;  // every part, head and legs centred at 0
static std::vector<mesh_vertex> body_frame; // this turtle's copy, head and legs placed
static std::vector<GLushort> body_index;    // triangles
static int part_first[N_PART + 1];          // vertices of part k: part_first[k] .. [k+1]-1

static void mesh_add(double x, double y, double z, double nx, double ny, double nz) {
    body_base.push_back(
        {(GLfloat)nx, (GLfloat)ny, (GLfloat)nz, (GLfloat)x, (GLfloat)y, (GLfloat)z});
}

static void mesh_triangle(int a, int b, int c) {
    body_index.push_back((GLushort)a);
    body_index.push_back((GLushort)b);
    body_index.push_back((GLushort)c);
}

// A sphere of `slices` around z and `stacks` from pole to pole, stretched by
// (sx, sy, sz) about its centre.
static void mesh_sphere(double r, int slices, int stacks, double sx, double sy, double sz) {
    const int first = (int)body_base.size();
    for (int i = 0; i <= stacks; i++) {
        double phi = M_PI * i / stacks;
        for (int j = 0; j < slices; j++) {
            double theta = 2.0 * M_PI * j / slices;
            double n[3] = {sin(phi) * cos(theta), sin(phi) * sin(theta), cos(phi)};
            // the normal of a stretched surface is stretched by the inverse
            double m[3] = {n[0] / sx, n[1] / sy, n[2] / sz};
            double len = sqrt(m[0] * m[0] + m[1] * m[1] + m[2] * m[2]);
            mesh_add(r * n[0] * sx, r * n[1] * sy, r * n[2] * sz, m[0] / len, m[1] / len,
                     m[2] / len);
        }
    }
    for (int i = 0; i < stacks; i++)
        for (int j = 0; j < slices; j++) {
            int a = first + i * slices + j, b = first + i * slices + (j + 1) % slices;
            int c = a + slices, d = b + slices;
            if (i > 0) mesh_triangle(a, c, b);
            if (i < stacks - 1) mesh_triangle(b, c, d);
        }
}

// The tail: a cone of base radius r and height h along +z, turned by -90
// degrees about y (so it points along -x), moved to (tx, 0, 0) and then,
// like the shell, stretched by (sx, sy, sz).
static void mesh_cone(double r, double h, int slices, int stacks, double tx, double sx, double sy,
                      double sz) {
    auto add = [&](double x, double y, double z, double nx, double ny, double nz) {
        // turn: (x, y, z) -> (-z, y, x); then move, then stretch
        double px = (-z + tx) * sx, py = y * sy, pz = x * sz;
        double mx = -nz / sx, my = ny / sy, mz = nx / sz;
        double len = sqrt(mx * mx + my * my + mz * mz);
        mesh_add(px, py, pz, mx / len, my / len, mz / len);
    };
    const double slope = sqrt(h * h + r * r);
    const int first = (int)body_base.size();
    for (int i = 0; i <= stacks; i++) {
        double z = h * i / stacks, rr = r * (1.0 - (double)i / stacks);
        for (int j = 0; j < slices; j++) {
            double theta = 2.0 * M_PI * j / slices;
            add(rr * cos(theta), rr * sin(theta), z, h * cos(theta) / slope, h * sin(theta) / slope,
                r / slope);
        }
    }
    for (int i = 0; i < stacks; i++)
        for (int j = 0; j < slices; j++) {
            int a = first + i * slices + j, b = first + i * slices + (j + 1) % slices;
            mesh_triangle(a, b, b + slices);
            if (i < stacks - 1) mesh_triangle(a, b + slices, a + slices);
        }
    const int centre = (int)body_base.size(); // the base disc, facing -z
    add(0.0, 0.0, 0.0, 0.0, 0.0, -1.0);
    for (int j = 0; j < slices; j++) {
        double theta = 2.0 * M_PI * j / slices;
        add(r * cos(theta), r * sin(theta), 0.0, 0.0, 0.0, -1.0);
    }
    for (int j = 0; j < slices; j++)
        mesh_triangle(centre, centre + 1 + (j + 1) % slices, centre + 1 + j);
}

static void build_turtle_mesh() {
    const double shell_sx = 1.0, shell_sy = 0.7, shell_sz = 0.5;
    part_first[PART_HEAD] = (int)body_base.size();
    mesh_sphere(2.5, 8, 8, 1.0, 1.0, 1.0);
    for (int leg = PART_LEG0; leg <= PART_LEG3; leg++) {
        part_first[leg] = (int)body_base.size();
        mesh_sphere(2.0, 8, 8, 1.0, 1.0, 1.0);
    }
    part_first[PART_SHELL] = (int)body_base.size();
    mesh_sphere(10.0, 12, 12, shell_sx, shell_sy, shell_sz);
    part_first[PART_TAIL] = (int)body_base.size();
    mesh_cone(1.0, 6.0, 8, 4, -8.0, shell_sx, shell_sy, shell_sz);
    part_first[N_PART] = (int)body_base.size();
    body_frame = body_base;
}

// The body in the turtle's frame (already translated and turned), head
// bobbing by delta2 and legs swinging by delta1.
static void draw_body_mesh(double delta1, double delta2) {
    if (body_base.empty()) build_turtle_mesh();
    const double offset[PART_SHELL][3] = {
        {11.5, 0.0, delta2},       // head
        {delta1 - 5.0, 8.0, -2.0}, // legs
        {5.0 - delta1, 8.0, -2.0}, {-5.0 - delta1, -8.0, -2.0}, {5.0 + delta1, -8.0, -2.0},
    };
    for (int part = PART_HEAD; part < PART_SHELL; part++) {
        for (int k = part_first[part]; k < part_first[part + 1]; k++) {
            body_frame[k].x = (GLfloat)(body_base[k].x + offset[part][0]);
            body_frame[k].y = (GLfloat)(body_base[k].y + offset[part][1]);
            body_frame[k].z = (GLfloat)(body_base[k].z + offset[part][2]);
        }
    }
    // NOTE: every solid of the body is closed and wound counter-clockwise
    // seen from outside, so its back faces are always hidden behind its
    // front faces; culling them changes no pixel and halves the work.
    glEnable(GL_CULL_FACE);
    glCullFace(GL_BACK);
    glEnable(GL_NORMALIZE);
    glEnableClientState(GL_VERTEX_ARRAY);
    glEnableClientState(GL_NORMAL_ARRAY);
    glNormalPointer(GL_FLOAT, sizeof(mesh_vertex), &body_frame[0].nx);
    glVertexPointer(3, GL_FLOAT, sizeof(mesh_vertex), &body_frame[0].x);
    glDrawElements(GL_TRIANGLES, (GLsizei)body_index.size(), GL_UNSIGNED_SHORT, body_index.data());
    glDisableClientState(GL_NORMAL_ARRAY);
    glDisableClientState(GL_VERTEX_ARRAY);
    glDisable(GL_NORMALIZE);
    glDisable(GL_CULL_FACE);
}

// A sphere of the bullet's colours with opacity `alpha`.
static void draw_fire_sphere(double x, double y, float alpha) {
    set_material(GL_FRONT, GL_DIFFUSE, 1.0f, 0.9f, 0.5f, alpha);
    set_material(GL_FRONT, GL_AMBIENT, 1.0f, 0.8f, 0.0f, alpha);
    glPushMatrix();
    glTranslated(x, y, BULLET_Z);
    draw_solid(SOLID_BLAST);
    glPopMatrix();
}

// ================================================================ start-up

// The canvas pass paints into the window's back buffer and copies the result
// into the canvas texture; where the GL has framebuffer objects, it paints
// straight into the texture instead, which gives the same texels without
// drawing the whole canvas into the window and reading it back every frame.
// QMERE_CANVAS_FBO=0 in the environment keeps the window path (comparisons).
static void canvas_fbo_init() {
    const char* env = getenv("QMERE_CANVAS_FBO");
    if (env != NULL && strcmp(env, "0") == 0) return;
    // NOTE: framebuffer objects are core from GL 3.0 on; an older context
    // would not have the entry points at all, so its version is asked first.
    const char* version = (const char*)glGetString(GL_VERSION);
    if (version == NULL || atoi(version) < 3) return;

    glBindTexture(GL_TEXTURE_2D, bg_textures[0]);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGB, FIELD_SIZE, FIELD_SIZE, 0, GL_RGB, GL_UNSIGNED_BYTE,
                 bg_tex_buffer);
    glBindTexture(GL_TEXTURE_2D, 0);
    canvas_is_rgb = 1;
    glGenFramebuffers(1, &canvas_fbo);
    glBindFramebuffer(GL_FRAMEBUFFER, canvas_fbo);
    glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, bg_textures[0], 0);
    GLenum status = glCheckFramebufferStatus(GL_FRAMEBUFFER);
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    if (status != GL_FRAMEBUFFER_COMPLETE) {
        glDeleteFramebuffers(1, &canvas_fbo);
        canvas_fbo = 0;
    }
}

int field_start(int argc, char** argv) {
    const GLfloat light0_diffuse[4] = {1.0f, 1.0f, 1.0f, 1.0f};
    const GLfloat light0_position[4] = {0.0f, 0.0f, 256.0f, 0.0f}; // straight down onto the field

    // NOTE: the software GL allocates and frees its vertex buffers on every
    // draw. With the C library's default thresholds each free hands the
    // memory back to the system and the next draw faults it in again, which
    // costs several times the drawing itself; so freed memory is kept.
    mallopt(M_MMAP_THRESHOLD, MALLOC_KEEP_BELOW);
    mallopt(M_TRIM_THRESHOLD, MALLOC_TRIM_ABOVE);

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
    glClearColor(unit(bgcol.r), unit(bgcol.g), unit(bgcol.b), 1.0f);

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
    canvas_fbo_init();

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
    int at_rest = 0;
    {
        // NOTE: the count reads the turtle table, which the command thread
        // changes under the frame lock; so it is read under it too.
        std::lock_guard<std::mutex> lock(frame_rendering_mutex);
        qf_n_moving_obj(&nobj);
        at_rest = field_is_at_rest();
    }
    glutTimerFunc(nobj >= 1 ? TIMER_FAST_MS : TIMER_SLOW_MS, timerfunc, 0);
    // NOTE: a field at rest would be drawn the same picture tick after tick;
    // it is drawn again only when something raised field_needs_redraw since
    // (the window toolkit still redraws it on its own when it is exposed).
    // The flag is taken down before the frame is drawn, so a change made
    // after this point is either in that frame or raises it again.
    if (field_needs_redraw.exchange(0) || !at_rest) glutPostRedisplay();
    if (menuitem_need_to_change) change_menuitem();
}

// Clears the canvas being painted to bgcol, with the background picture in
// battle mode.
static void canvas_clear() {
    glClearColor(unit(bgcol.r), unit(bgcol.g), unit(bgcol.b), 1.0f);
    glClear(GL_COLOR_BUFFER_BIT);
    if (battle_mode) drawBackground();
    turtle_field_is_cleared = 1;
    field_is_painted = 1;
}

// Restores the painted field from the canvas texture, or clears it when a
// clear was asked for.
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
        canvas_clear();
    }
}

// Copies the window's back buffer (the canvas with this frame's paint) into
// the canvas texture.
static void canvas_copy_back() {
    glBindTexture(GL_TEXTURE_2D, bg_textures[0]);
    glReadBuffer(GL_BACK);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    // NOTE: the first copy turns the one-component texture of start-up into
    // an RGB one; later copies overwrite the same storage in place, which
    // gives the same texels without allocating a new image every frame.
    if (canvas_is_rgb) {
        glCopyTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, 0, 0, FIELD_SIZE, FIELD_SIZE);
    } else {
        glCopyTexImage2D(GL_TEXTURE_2D, 0, GL_RGB, 0, 0, FIELD_SIZE, FIELD_SIZE, 0);
        canvas_is_rgb = 1;
    }
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
            drawIcon_Coin(coins[c].pos.x, coins[c].pos.y, coins[c].order);
    }
}

// ======================================================= frame timing log
//
// QMERE_FRAME_STATS=1 in the environment prints, every FRAME_STATS_EVERY
// frames, one line on standard error with the median, mean and longest time
// of a display call. Off, it costs one test per frame.

constexpr int FRAME_STATS_EVERY = 250;
static int frame_stats = -1; // -1: not yet read from the environment
static double frame_ms[FRAME_STATS_EVERY];
static int frame_n = 0;

static void frame_stats_add(double ms) {
    frame_ms[frame_n++] = ms;
    if (frame_n < FRAME_STATS_EVERY) return;
    double sum = 0.0, longest = 0.0;
    for (int i = 0; i < frame_n; i++) {
        sum += frame_ms[i];
        longest = std::max(longest, frame_ms[i]);
    }
    std::nth_element(frame_ms, frame_ms + frame_n / 2, frame_ms + frame_n);
    fprintf(stderr, "display(): %d frames, median %.3f ms, mean %.3f ms, max %.3f ms\n", frame_n,
            frame_ms[frame_n / 2], sum / frame_n, longest);
    frame_n = 0;
}

static void display_frame();

void display() {
    if (frame_stats < 0) {
        const char* env = getenv("QMERE_FRAME_STATS");
        frame_stats = (env != NULL && strcmp(env, "1") == 0) ? 1 : 0;
    }
    if (!frame_stats) {
        display_frame();
        return;
    }
    auto t0 = std::chrono::steady_clock::now();
    display_frame();
    std::chrono::duration<double, std::milli> ms = std::chrono::steady_clock::now() - t0;
    frame_stats_add(ms.count());
}

// One frame: canvas pass, painting, copy back, camera and field, objects and
// turtles with their world update, overlays, swap.
static void display_frame() {
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
    if (canvas_fbo != 0) {
        glBindFramebuffer(GL_FRAMEBUFFER, canvas_fbo);
        if (turtle_field_is_cleared != 1) canvas_clear();
    } else {
        canvas_restore_or_clear();
    }

    update_coin_event();
    refresh_teaminfo();

    for (int tid = 0; tid < ntmax && tid < MAX_TURTLE; tid++)
        paint_by_turtle(tid);
    flush_Ten(); // every dab is on the canvas before it is shown
    if (canvas_fbo != 0)
        glBindFramebuffer(GL_FRAMEBUFFER, 0); // the texture holds the paint already
    else if (field_is_painted)
        canvas_copy_back();

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

    if (disp_help) drawHelp();
    if (socket_error_occurred) drawWarming();

    glDisable(GL_DEPTH_TEST);
    rendering_is_done();
    if (capture_pending[0] != '\0') {
        saveImageToPNG(FIELD_SIZE, FIELD_SIZE, capture_pending);
        capture_pending[0] = '\0';
    }
    glutSwapBuffers();
}

// ================================================================ painting

// Paints the slot's newest pen marks and its message onto the canvas during
// the canvas pass (2D projection, no depth test, lighting on). Lines, points
// and text show only their emission colour: ambient and diffuse are zeroed.
void paint_by_turtle(int tid) {
    struct turtle* t = &ttl[tid];
    if (!(t->status & ST_ALIVE)) return;
    set_material(GL_FRONT, GL_AMBIENT_AND_DIFFUSE, 0.0f, 0.0f, 0.0f, 0.0f);

    if (t->status & ST_BRUSH) {
        if ((t->status & ST_PEN_DOWN) && !(t->status & ST_PAINTED)) {
            t->nstroke++;
            if (t->nstroke > 3) {
                paint_by_brush(tid, 0);
                field_is_painted = 1;
            }
            t->status |= ST_PAINTED;
        } else if (t->status & ST_PEN_LIFTED) {
            paint_by_brush(tid, 1); // the stroke's finishing tail
            t->status = (t->status & ~ST_PEN_LIFTED) | ST_PAINTED;
            field_is_painted = 1;
        }
        flush_Ten();
    } else if ((t->status & ST_PEN_DOWN) && !(t->status & ST_PAINTED)) {
        t->nstroke++;
        paint_line_and_fill_area(tid);
        t->status |= ST_PAINTED;
        field_is_painted = 1;
    }

    if (t->msg[0] != '\0') {
        // NOTE: components beyond single precision are clamped before the
        // conversion (the lit colour is clamped to 0..1 anyway).
        auto f = [](double v) { return (float)std::clamp(v, -2.0, 2.0); };
        set_material(GL_FRONT, GL_EMISSION, f(t->col[0].r), f(t->col[0].g), f(t->col[0].b), 1.0f);
        t->msg[sizeof(t->msg) - 1] = '\0'; // never read past the record
        drawString(t->pos[0].x, t->pos[0].y, 0.0, GLUT_BITMAP_HELVETICA_12, t->msg);
        t->msg[0] = '\0'; // printed once, into the canvas
        field_is_painted = 1;
    }
    clear_emission();
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

        drawStoneWall(x0 + nx, y0 + ny, x1 + nx, y1 + ny, nx, ny);

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
        drawIcon_Stone(x, y);
        return;
    }
    if (t->status & ST_DOUGHNUT) {
        drawIcon_Doughnut(x, y);
        return;
    }
    // a coin carrier shows one coin on top of every field coin
    if (t->ncoin > 0) drawIcon_Coin(x, y, ncoin);

    glPushMatrix();
    glTranslated(x, y, TURTLE_Z);
    glRotated(angle, 0.0, 0.0, 1.0); // local x points forward
    set_ttl_color(tid);

    // head on (11.5, 0, delta2); legs on (delta1 - 5, 8, -2), (5 - delta1,
    // 8, -2), (-5 - delta1, -8, -2), (5 + delta1, -8, -2); the shell stretched
    // by (1, 0.7, 0.5); the tail behind it, pointing backwards
    draw_body_mesh(delta1, delta2);
    glPopMatrix();
}

// Score and name above and below the turtle.
static void draw_labels(const struct turtle* t) {
    double x = t->pos[0].x, y = t->pos[0].y;
    if (disp_score) {
        char buf[16];
        snprintf(buf, sizeof(buf), "%d", t->score);
        set_material(GL_FRONT, GL_EMISSION, 0.7f, 0.7f, 0.7f, 1.0f);
        drawString(x - 12.0, y + 10.0, LABEL_Z, GLUT_BITMAP_HELVETICA_12, buf);
        clear_emission();
    }
    if (disp_name) {
        set_material(GL_FRONT, GL_EMISSION, 0.7f, 0.7f, 0.7f, 1.0f);
        drawString(x - 12.0, y - 22.0, LABEL_Z, GLUT_BITMAP_HELVETICA_12, t->name);
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
        draw_solid(SOLID_BULLET);
        glPopMatrix();
        struct position blast;
        if (update_bullet(tid, &blast)) draw_fire_sphere(blast.x, blast.y, 1.0f);
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
            draw_solid(SOLID_BLAST);
            glPopMatrix();
        }
        update_dying(tid);
    }
    if (dying) glDisable(GL_BLEND);

    if (t->bttf > 0) {
        glEnable(GL_BLEND);
        draw_fire_sphere(t->bullet.x, t->bullet.y, (float)t->bttf / (float)BLAST_FRAMES);
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
    // The two keys that leave the tables alone and must not hold the lock:
    // exit, and the capture request.
    if (key == 'Q') quit_program();
    if (key == 'P' || key == 'p') {
        field_capture_screen();
        return;
    }
    // NOTE: every other key runs under the frame lock, so the command thread
    // never sees a half-changed table or flag (kill-all, maze, stones, ...).
    std::lock_guard<std::mutex> lock(frame_rendering_mutex);
    field_needs_redraw = 1; // drawn by the next tick, even on a field at rest
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
    if (value == 9) quit_program();
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
