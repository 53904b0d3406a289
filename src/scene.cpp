// scene.cpp -- draws one frame from its snapshot. Owns the canvas (the
// texture that keeps everything the turtles painted, painted through a
// framebuffer object where the GL has one, else in the window and copied
// back), the bird's-eye camera angles and the per-frame coin order. Draws
// with fixed-function GL, light 0 on; marks and texts are coloured by their
// material emission.
#define GL_GLEXT_PROTOTYPES 1 // framebuffer objects, for the canvas
#include "scene.h"

#include <GL/gl.h>
#include <GL/glext.h>
#include <GL/glu.h>

#include <malloc.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "canvas_feed.h"
#include "frame.h"
#include "glutil.h"
#include "headless_gl.h"
#include "paint.h"
#include "player.h"
#include "recorder.h"
#include "qmere.h"
#include "solids.h"

double view_rotation_angle = 0.0;
double view_fov_angle = 55.0;

static GLuint bg_textures[1];   // the canvas: everything painted so far
static GLuint canvas_fbo = 0;   // paints straight into the canvas; 0: none
static int canvas_is_rgb = 0;   // the canvas texture holds RGB texels
static GLint scene_target = 0;  // the framebuffer the scene is drawn into
static int field_is_painted = 0;
static unsigned canvas_version = 1; // raised by every frame that changed the canvas
static int coin_list[MAX_COIN]; // coin slot by rank, for drawing in rank order

static const double HALF = FIELD_SIZE / 2.0; // the field spans -HALF..HALF
constexpr int MALLOC_KEEP_BELOW = 256 << 10; // blocks below this come from the heap
constexpr int MALLOC_TRIM_ABOVE = 256 << 20; // free heap kept up to this much

// camera
constexpr double CAMERA_NEAR = 409.6;
constexpr double ORTHO_FAR = 614.4;
constexpr double PERSPECTIVE_FAR = 1024.0;
constexpr double EYE_DIST = 512.0;

// drawing heights
constexpr double TURTLE_Z = 5.0;
constexpr double BULLET_Z = 3.0;
constexpr double WALL_HEIGHT = 15.0;
constexpr double LABEL_Z = 16.0;

// ============================================================ small helpers

static void set_material(GLenum face, GLenum pname, float r, float g, float b, float a) {
    const GLfloat v[4] = {r, g, b, a};
    glMaterialfv(face, pname, v);
}

static void clear_emission() { set_material(GL_FRONT, GL_EMISSION, 0.0f, 0.0f, 0.0f, 0.0f); }

// A sphere of the bullet's colours with opacity `alpha`.
static void draw_fire_sphere(double x, double y, float alpha) {
    set_material(GL_FRONT, GL_DIFFUSE, 1.0f, 0.9f, 0.5f, alpha);
    set_material(GL_FRONT, GL_AMBIENT, 1.0f, 0.8f, 0.0f, alpha);
    glPushMatrix();
    glTranslated(x, y, BULLET_Z);
    draw_solid(SOLID_BLAST);
    glPopMatrix();
}

// ================================================================= canvas

// NOTE: framebuffer objects are core from GL 3.0 on; an older context would
// not have the entry points at all, so its version is asked first.
static void canvas_fbo_init() {
    const char* version = (const char*)glGetString(GL_VERSION);
    if (version == NULL || atoi(version) < 3) return;
    glBindTexture(GL_TEXTURE_2D, bg_textures[0]);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGB, FIELD_SIZE, FIELD_SIZE, 0, GL_RGB, GL_UNSIGNED_BYTE,
                 NULL);
    glBindTexture(GL_TEXTURE_2D, 0);
    canvas_is_rgb = 1;
    glGenFramebuffers(1, &canvas_fbo);
    glBindFramebuffer(GL_FRAMEBUFFER, canvas_fbo);
    glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, bg_textures[0], 0);
    GLenum status = glCheckFramebufferStatus(GL_FRAMEBUFFER);
    glBindFramebuffer(GL_FRAMEBUFFER, (GLuint)scene_target);
    if (status != GL_FRAMEBUFFER_COMPLETE) {
        glDeleteFramebuffers(1, &canvas_fbo);
        canvas_fbo = 0;
    }
}

// NOTE: the software GL sets up each kind of drawing on its first use: some
// 3 MB for the first text, over 1 MB for the first brush stroke, a few
// hundred kB for the first line and fill. A headless arena may meet those
// minutes into a match; so one mark of each kind is painted at start-up,
// then cleared to the black the canvas starts with.
static void warm_up_painting() {
    struct slot_frame f = {}; // a black pen
    for (int k = 0; k < HISTORY; k++) {
        f.pen.pos[k] = {8.0 * k, (k % 2) ? 8.0 : 0.0};
        f.pen.width[k] = 4.0;
    }
    f.pen.nstroke = 5;
    static const struct {
        int paint;
        unsigned status;
    } marks[] = {{PAINT_PEN, 0},
                 {PAINT_PEN, ST_POINT},
                 {PAINT_PEN, ST_FILL},
                 {PAINT_BRUSH, ST_BRUSH},
                 {PAINT_BRUSH_TAIL, ST_BRUSH}};
    scene_canvas_begin();
    for (const auto& m : marks) {
        f.paint = m.paint;
        f.pen.status = m.status;
        paint_by_turtle(&f);
    }
    f.paint = PAINT_NONE;
    std::snprintf(f.msg, sizeof f.msg, "Qm");
    paint_by_turtle(&f);
    glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT);
    field_is_painted = 0; // nothing to copy back or announce
    scene_canvas_end();
}

void scene_init(int use_fbo) {
    // NOTE: the software GL allocates and frees its vertex buffers on every
    // draw. With the C library's default thresholds each free hands the
    // memory back to the system and the next draw faults it in again, which
    // costs several times the drawing itself; so freed memory is kept.
    // Its pictures of the field and upload buffers (0.5 to 1 MB, a few a
    // minute) are mapped apart all the same: in the heap, each one freed
    // left a hole that small blocks then took, so the next one grew the
    // heap, by 6 MB in the first five minutes of a soak.
    mallopt(M_MMAP_THRESHOLD, MALLOC_KEEP_BELOW);
    mallopt(M_TRIM_THRESHOLD, MALLOC_TRIM_ABOVE);
    canvas_fbo = 0;
    canvas_is_rgb = 0;
    const GLfloat light0_diffuse[4] = {1.0f, 1.0f, 1.0f, 1.0f};
    const GLfloat light0_position[4] = {0.0f, 0.0f, 256.0f, 0.0f}; // straight down onto the field
    // the window's own framebuffer, or the offscreen one of a headless arena
    glGetIntegerv(GL_DRAW_FRAMEBUFFER_BINDING, &scene_target);

    // NOTE: zeroed texels, so the GL never reads uninitialised memory; the
    // first frame clears the canvas anyway.
    static GLubyte zeroes[FIELD_SIZE * FIELD_SIZE * 3];
    glGenTextures(1, bg_textures);
    glBindTexture(GL_TEXTURE_2D, bg_textures[0]);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glTexImage2D(GL_TEXTURE_2D, 0, 1, FIELD_SIZE, FIELD_SIZE, 0, GL_RGB, GL_UNSIGNED_BYTE, zeroes);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    glBindTexture(GL_TEXTURE_2D, 0);
    if (use_fbo) canvas_fbo_init();

    glLightfv(GL_LIGHT0, GL_DIFFUSE, light0_diffuse);
    glLightfv(GL_LIGHT0, GL_POSITION, light0_position);
    glEnable(GL_LIGHTING);
    glEnable(GL_LIGHT0);
    glViewport(0, 0, FIELD_SIZE, FIELD_SIZE);
    warm_up_painting();
}

int scene_canvas_uses_fbo() { return canvas_fbo != 0; }

// Clears the canvas being painted to bgcol, with the background picture in
// battle mode.
static void canvas_clear(const struct frame_snapshot* s) {
    glClearColor((GLclampf)s->bgcol.r, (GLclampf)s->bgcol.g, (GLclampf)s->bgcol.b, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT);
    if (s->battle_mode) drawBackground();
    field_is_painted = 1;
}

// Without a framebuffer object: the window is restored from the canvas
// texture before painting, and copied back when anything was painted.
static void canvas_restore_window() {
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
}

static void canvas_copy_back() {
    glBindTexture(GL_TEXTURE_2D, bg_textures[0]);
    glReadBuffer(headless_gl_read_buffer());
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    // NOTE: the first copy turns the one-component texture of start-up into
    // an RGB one; later copies overwrite the same storage in place.
    if (canvas_is_rgb) {
        glCopyTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, 0, 0, FIELD_SIZE, FIELD_SIZE);
    } else {
        glCopyTexImage2D(GL_TEXTURE_2D, 0, GL_RGB, 0, 0, FIELD_SIZE, FIELD_SIZE, 0);
        canvas_is_rgb = 1;
    }
    glBindTexture(GL_TEXTURE_2D, 0);
}

// Paints the slot's newest pen marks and its message onto the canvas (2D
// projection, no depth test, lighting on). Lines, points and text show only
// their emission colour: ambient and diffuse are zeroed.
void paint_by_turtle(const struct slot_frame* f) {
    if (f->paint == PAINT_NONE && f->msg[0] == '\0') return;
    const struct turtle* t = &f->pen;
    set_material(GL_FRONT, GL_AMBIENT_AND_DIFFUSE, 0.0f, 0.0f, 0.0f, 0.0f);
    paint_pen_marks(f);
    flush_Ten();
    if (f->msg[0] != '\0') {
        set_material(GL_FRONT, GL_EMISSION, (float)t->col[0].r, (float)t->col[0].g,
                     (float)t->col[0].b, 1.0f);
        drawString(t->pos[0].x, t->pos[0].y, 0.0, FACE_HELVETICA_12, f->msg);
    }
    field_is_painted = 1;
    clear_emission();
}

// The canvas pass, in three steps so that several frames' marks can be
// painted in one go (a replay that jumps): begin painting into the canvas,
// each frame's clear and marks, end.
void scene_canvas_begin() {
    field_is_painted = 0;
    // brush dabs blend by their texture's alpha (the scene sets the same)
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    gluOrtho2D(-HALF, HALF, -HALF, HALF);
    glMatrixMode(GL_MODELVIEW);
    if (canvas_fbo != 0)
        glBindFramebuffer(GL_FRAMEBUFFER, canvas_fbo);
    else
        canvas_restore_window();
}

void scene_canvas_marks(const struct frame_snapshot* s) {
    if (s->clear_canvas) canvas_clear(s);
    for (int tid = 0; tid < s->ntmax; tid++) paint_by_turtle(&s->slot[tid]);
}

void scene_canvas_end() {
    flush_Ten(); // every dab is on the canvas before it is shown
    if (canvas_fbo != 0)
        glBindFramebuffer(GL_FRAMEBUFFER, (GLuint)scene_target);
    else if (field_is_painted)
        canvas_copy_back();
    if (field_is_painted) canvas_version++;
}

static void canvas_pass(const struct frame_snapshot* s) {
    // NOTE: a frame that paints and clears nothing leaves the canvas as it
    // is; switching framebuffers for it would cost a flush of the GL
    bool work = s->clear_canvas != 0;
    for (int tid = 0; tid < s->ntmax && !work; tid++)
        work = s->slot[tid].paint != PAINT_NONE || s->slot[tid].msg[0] != '\0';
    if (!work) return;
    scene_canvas_begin();
    scene_canvas_marks(s);
    scene_canvas_end();
}

void scene_read_canvas(unsigned char* rgb) {
    GLint pack = 4;
    glGetIntegerv(GL_PACK_ALIGNMENT, &pack);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    // NOTE: Mesa's threaded software renderer may still be painting the
    // canvas's texture through the framebuffer object when it is read here;
    // without the wait a browser got a canvas one or more frames old, kept
    // until the next change (a square without its sides, a clear not shown).
    glFinish();
    glBindTexture(GL_TEXTURE_2D, bg_textures[0]);
    glGetTexImage(GL_TEXTURE_2D, 0, GL_RGB, GL_UNSIGNED_BYTE, rgb);
    glBindTexture(GL_TEXTURE_2D, 0);
    glPixelStorei(GL_PACK_ALIGNMENT, pack);
}

void scene_restore_canvas(const unsigned char* rgb) {
    glBindTexture(GL_TEXTURE_2D, bg_textures[0]);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    if (canvas_is_rgb) {
        glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, FIELD_SIZE, FIELD_SIZE, GL_RGB, GL_UNSIGNED_BYTE, rgb);
    } else {
        glTexImage2D(GL_TEXTURE_2D, 0, GL_RGB, FIELD_SIZE, FIELD_SIZE, 0, GL_RGB, GL_UNSIGNED_BYTE, rgb);
        canvas_is_rgb = 1;
    }
    glBindTexture(GL_TEXTURE_2D, 0);
    canvas_version++;
}

const struct player_canvas scene_player_canvas = {scene_canvas_begin, scene_canvas_marks, scene_canvas_end,
                                                  scene_restore_canvas, scene_read_canvas};

// NOTE: with freed memory kept for the software GL (see scene_init), the
// heap of a long run fragments: the feeds' and pictures' buffers of varying
// sizes leave free pages between live blocks, and the resident size creeps
// up for the first half hour or so. Every second those free pages go back to
// the system; the next frames fault in the few they need again.
static void return_free_pages() {
    constexpr std::chrono::seconds every{1};
    static std::chrono::steady_clock::time_point next = std::chrono::steady_clock::now() + every;
    const std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
    if (now < next) return;
    next = now + every;
    malloc_trim(0);
}

void scene_share_canvas() {
    static unsigned char rgb[FIELD_SIZE * FIELD_SIZE * 3];
    return_free_pages();
    canvas_feed_drawn(canvas_version);
    const int feed = canvas_feed_due(canvas_version), keep = recorder_wants_canvas();
    if (!feed && !keep) return;
    scene_read_canvas(rgb);
    if (feed) canvas_feed_offer(rgb, canvas_version);
    if (keep) recorder_canvas(rgb);
}

// ============================================================ scene drawing

// Camera (top-down orthographic or bird view) and the field quad with the
// canvas on it.
static void draw_camera_and_field(const struct frame_snapshot* s) {
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glEnable(GL_DEPTH_TEST);

    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    if (s->bird_view_mode)
        gluPerspective(view_fov_angle, 1.0, CAMERA_NEAR, PERSPECTIVE_FAR);
    else
        glOrtho(-HALF, HALF, -HALF, HALF, CAMERA_NEAR, ORTHO_FAR);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    if (s->bird_view_mode) {
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

void draw_walls(const struct frame_snapshot* s) {
    set_material(GL_FRONT_AND_BACK, GL_DIFFUSE, 0.5f, 0.5f, 0.3f, 1.0f);
    set_material(GL_FRONT_AND_BACK, GL_AMBIENT, 0.45f, 0.45f, 0.27f, 1.0f);
    for (int i = 0; i < s->nwall; i++) {
        const struct wall* w = &s->walls[i];
        double nx = w->normal.x, ny = w->normal.y;
        double dx = ny, dy = -nx; // along the face
        double x0 = w->startp.x, y0 = w->startp.y;
        double x1 = w->endp.x, y1 = w->endp.y;

        drawStoneWall(x0 + nx, y0 + ny, x1 + nx, y1 + ny, nx, ny);

        if (!(w->status & WALL_BACK)) { // the top, on the front face only
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

// Coins in rank order, oldest first, so later coins lie on top.
static void draw_coins(const struct frame_snapshot* s) {
    const int n = s->ncoin;
    for (int k = 0; k < MAX_COIN; k++) coin_list[k] = -1;
    for (int i = 0; i < n; i++) {
        const struct coin* c = &s->coins[i];
        // a rank outside the table is skipped rather than written anywhere
        if ((c->status & COIN_ON_FIELD) && c->order >= 0 && c->order < MAX_COIN)
            coin_list[c->order] = i;
    }
    for (int k = 0; k < n; k++) {
        int i = coin_list[k];
        if (i >= 0) drawIcon_Coin(s->coins[i].pos.x, s->coins[i].pos.y, s->coins[i].order, n);
    }
}

// One sensor beam at turtle height.
static void draw_one_beam(struct position a, struct position b, float r, float g, float bl) {
    glLineWidth(1.0f);
    set_material(GL_FRONT, GL_AMBIENT_AND_DIFFUSE, r, g, bl, 1.0f);
    set_material(GL_FRONT, GL_EMISSION, r, g, bl, 1.0f);
    glBegin(GL_LINES);
    glVertex3d(a.x, a.y, TURTLE_Z);
    glVertex3d(b.x, b.y, TURTLE_Z);
    glEnd();
    clear_emission();
}

void draw_beam(const struct slot_frame* f) {
    if (f->finder_beam) draw_one_beam(f->beam_from, f->finder_to, 1.0f, 0.4f, 0.4f);
    if (f->radar_beam) draw_one_beam(f->beam_from, f->radar_to, 0.4f, 0.4f, 1.0f);
}

void set_ttl_color(int team) {
    static const float team_color[MAX_TEAM][3] = {
        {0.2f, 1.0f, 0.1f}, {0.7f, 0.3f, 1.0f}, {0.5f, 0.9f, 0.9f},
        {0.1f, 0.1f, 1.0f}, {0.8f, 0.9f, 0.0f},
    };
    static const float negative_color[3] = {0.7f, 0.8f, 0.0f};
    int k = team % MAX_TEAM; // keeps the sign of team
    const float* c = (k < 0) ? negative_color : team_color[k];
    set_material(GL_FRONT, GL_DIFFUSE, c[0], c[1], c[2], 1.0f);
    set_material(GL_FRONT, GL_AMBIENT, 0.6f * c[0], 0.6f * c[1], 0.6f * c[2], 1.0f);
}

// The slot's body at its place: a stone or doughnut icon, or the turtle with
// a coin on top when it carries any (ranked above every field coin).
void draw_turtle_body(const struct turtle* t, double delta1, double delta2, int ncoin) {
    const double x = t->pos[0].x, y = t->pos[0].y;
    if (t->status & ST_STONE) {
        drawIcon_Stone(x, y);
        return;
    }
    if (t->status & ST_DOUGHNUT) {
        drawIcon_Doughnut(x, y);
        return;
    }
    if (t->ncoin > 0) drawIcon_Coin(x, y, ncoin, ncoin);

    glPushMatrix();
    glTranslated(x, y, TURTLE_Z);
    glRotated(t->heading, 0.0, 0.0, 1.0); // local x points forward
    set_ttl_color(t->team);
    draw_body_mesh(delta1, delta2);
    glPopMatrix();
}

// Score and name above and below the turtle.
static void draw_labels(const struct frame_snapshot* s, const struct turtle* t) {
    double x = t->pos[0].x, y = t->pos[0].y;
    if (s->disp_score) {
        char buf[16];
        snprintf(buf, sizeof(buf), "%d", t->score);
        set_material(GL_FRONT, GL_EMISSION, 0.7f, 0.7f, 0.7f, 1.0f);
        drawString(x - 12.0, y + 10.0, LABEL_Z, FACE_HELVETICA_12, buf);
        clear_emission();
    }
    if (s->disp_name) {
        set_material(GL_FRONT, GL_EMISSION, 0.7f, 0.7f, 0.7f, 1.0f);
        drawString(x - 12.0, y - 22.0, LABEL_Z, FACE_HELVETICA_12, t->name);
        clear_emission();
    }
}

// Everything of one slot in this frame: bullet, beams, body, labels, the
// burning flash of a dying turtle and the blast.
void draw_turtle(const struct frame_snapshot* s, int tid) {
    const struct slot_frame* f = &s->slot[tid];
    if (f->bullet) {
        set_material(GL_FRONT, GL_DIFFUSE, 1.0f, 0.9f, 0.5f, 1.0f);
        set_material(GL_FRONT, GL_AMBIENT, 1.0f, 0.8f, 0.0f, 1.0f);
        glPushMatrix();
        glTranslated(f->bullet_at.x, f->bullet_at.y, BULLET_Z);
        draw_solid(SOLID_BULLET);
        glPopMatrix();
        if (f->wall_blast) draw_fire_sphere(f->blast_at.x, f->blast_at.y, 1.0f);
    }
    if (!f->drawn) return;
    const struct turtle* t = &f->look;

    const int dying = t->ttl > 0;
    if (dying) glEnable(GL_BLEND);
    const double tm = (double)s->tick;
    const double delta1 = sin(tm / 7.0 + 0.3 * tid);  // leg swing
    const double delta2 = sin(tm / 28.0 + 0.3 * tid); // head bob

    if (s->battle_mode) draw_beam(f);
    draw_turtle_body(t, delta1, delta2, s->ncoin);
    if (!(t->status & ST_OBJECT)) draw_labels(s, t);

    if (t->ttl > FLASH_UNTIL) {
        set_material(GL_FRONT, GL_DIFFUSE, 1.0f, 0.2f, 0.0f, 0.8f);
        set_material(GL_FRONT, GL_AMBIENT, 1.0f, 0.2f, 0.0f, 0.8f);
        glPushMatrix();
        glTranslated(t->pos[0].x, t->pos[0].y, BULLET_Z);
        draw_solid(SOLID_BLAST);
        glPopMatrix();
    }
    if (dying) glDisable(GL_BLEND);

    if (t->bttf > 0) {
        glEnable(GL_BLEND);
        draw_fire_sphere(t->bullet.x, t->bullet.y, (float)t->bttf / (float)BLAST_FRAMES);
        glDisable(GL_BLEND);
    }
}

void scene_paint_canvas(const struct frame_snapshot* s) { canvas_pass(s); }

void scene_draw(const struct frame_snapshot* s) {
    canvas_pass(s);
    scene_draw_view(s);
}

void scene_draw_view(const struct frame_snapshot* s) {
    draw_camera_and_field(s);
    if (s->battle_mode) draw_walls(s);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    draw_coins(s);
    // objects (stones, doughnuts) first, then turtles and robots
    for (int tid = 0; tid < s->ntmax; tid++)
        if (s->slot[tid].drawn && (s->slot[tid].look.status & ST_OBJECT)) draw_turtle(s, tid);
    for (int tid = 0; tid < s->ntmax; tid++)
        if (!(s->slot[tid].drawn && (s->slot[tid].look.status & ST_OBJECT))) draw_turtle(s, tid);
    if (s->disp_help) drawHelp();
    if (s->socket_error) drawWarming();
    glDisable(GL_DEPTH_TEST);
}
