// glutil.cpp -- the drawing toolkit: circles and ovals from a sine/cosine
// table, bitmap text, the four lazily made icon textures (doughnut, stone,
// coin, brush dab) and what is drawn with them, the stone wall panel, the
// tiled battle background, the help and warning overlays, and the screen
// capture writer. It owns the sine/cosine table, the icon textures with
// their flipped pixel copies, and the batch of brush dabs not yet drawn.
// Everything but flip32x32icon runs on the thread that owns the GL context.

#include "glutil.h"

#include <GL/glut.h>
#include <png.h>

#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "headless_gl.h"
#include "image_data.h"
#include "qmere.h"

// ================================================================ state

constexpr int N_SC = 12; // rim points of circles and ovals
static double sine_tab[N_SC];
static double cosine_tab[N_SC];
static int first_call = 1;

// texture slots of the icons, made on first use and kept
constexpr int SLOT_DOUGHNUT = 0, SLOT_STONE = 1, SLOT_COIN = 2, SLOT_TEN = 3;
constexpr int N_SLOT = 4;
constexpr int ICON_SIDE = 32;
constexpr size_t ICON_BYTES = ICON_SIDE * ICON_SIDE * 4;
static GLuint obj_textures[N_SLOT];
static GLubyte* obj_text_image[N_SLOT];
static int obj_tex_initialized[N_SLOT];

constexpr int BG_SIDE = 200; // the battle background picture

static_assert(sizeof(ten_image32x32) == ICON_BYTES + 1, "dab picture");
static_assert(sizeof(doughnut_image32x32) == ICON_BYTES + 1, "doughnut picture");
static_assert(sizeof(stone_image32x32) == ICON_BYTES + 1, "stone picture");
static_assert(sizeof(coin_image32x32) == ICON_BYTES + 1, "coin picture");
static_assert(sizeof(background_image200x200) == BG_SIDE * BG_SIDE * 3 + 1, "background");

// ======================================================== small helpers

static void set_material(GLenum pname, float r, float g, float b, float a) {
    const GLfloat v[4] = {r, g, b, a};
    glMaterialfv(GL_FRONT, pname, v);
}

// Emission and then ambient-and-diffuse: the colour of text and dabs.
static void set_material_both(float r, float g, float b, float a) {
    set_material(GL_EMISSION, r, g, b, a);
    set_material(GL_AMBIENT_AND_DIFFUSE, r, g, b, a);
}

static void init_sc_tab() {
    double a = 0.0;
    for (int i = 0; i < N_SC; i++) {
        sine_tab[i] = sin(a);
        cosine_tab[i] = cos(a);
        a += 0.5235987755982988; // 30 degrees
    }
    first_call = 0;
}

// The picture of each slot.
static const unsigned char* slot_image(int i) {
    switch (i) {
    case SLOT_DOUGHNUT:
        return doughnut_image32x32;
    case SLOT_STONE:
        return stone_image32x32;
    case SLOT_COIN:
        return coin_image32x32;
    default:
        return ten_image32x32;
    }
}

static void use_slot(int i) {
    if (!obj_tex_initialized[i]) init_obj_tex(i, slot_image(i));
}

// ====================================================== circles and text

void drawCircle(double x0, double y0, double z0, double radius) {
    drawOval(x0, y0, z0, radius, radius);
}

void fillCircle(double x0, double y0, double z0, double radius) {
    fillOval(x0, y0, z0, radius, radius);
}

void drawOval(double x0, double y0, double z0, double r1, double r2) {
    if (first_call) init_sc_tab();
    glBegin(GL_LINE_LOOP);
    for (int i = 0; i < N_SC; i++)
        glVertex3d(x0 + r1 * cosine_tab[i], y0 + r2 * sine_tab[i], z0);
    glEnd();
}

void fillOval(double x0, double y0, double z0, double rx, double ry) {
    (void)z0; // the disc lies in the plane z = 0
    if (first_call) init_sc_tab();
    glBegin(GL_TRIANGLE_FAN);
    glVertex2d(x0, y0);
    for (int i = 0; i < N_SC; i++)
        glVertex2d(x0 + rx * cosine_tab[i], y0 + ry * sine_tab[i]);
    glVertex2d(x0 + rx * cosine_tab[0], y0 + ry * sine_tab[0]);
    glEnd();
}

void drawString(double x0, double y0, double z0, int face, const char* str) {
    if (headless_gl_is_open()) {
        glyphs_draw(x0, y0, z0, face, str);
        return;
    }
    void* font = face == FACE_HELVETICA_18 ? GLUT_BITMAP_HELVETICA_18
                 : face == FACE_FIXED_9x15 ? GLUT_BITMAP_9_BY_15
                                           : GLUT_BITMAP_HELVETICA_12;
    glRasterPos3d(x0, y0, z0);
    // bytes above 127 arrive as negative values, which the toolkit skips
    for (const char* c = str; *c != '\0'; c++)
        glutBitmapCharacter(font, (signed char)*c);
}

// =========================================================== icon textures

void flip32x32icon(const unsigned char* pix, GLubyte* image) {
    for (int p = 0; p < ICON_SIDE * ICON_SIDE; p++) {
        int row = p / ICON_SIDE, column = p % ICON_SIDE;
        int q = (ICON_SIDE - 1 - row) * ICON_SIDE + column;
        memcpy(image + 4 * q, pix + 4 * p, 4);
    }
}

void init_obj_tex(int i, const unsigned char* image) {
    if (i < 0 || i >= N_SLOT) return; // only the four slots exist
    // NOTE: without its pixels a slot cannot be made at all, and the toolkit
    // has no way to report it; running out of 4 KiB here ends the program.
    obj_text_image[i] = (GLubyte*)malloc(ICON_BYTES);
    if (obj_text_image[i] == NULL) {
        fprintf(stderr, "init_obj_tex(): out of memory\n");
        exit(1);
    }
    flip32x32icon(image, obj_text_image[i]);
    glGenTextures(1, &obj_textures[i]);
    glBindTexture(GL_TEXTURE_2D, obj_textures[i]);
    // wrapping stays at repeat: the wall and the help panel tile the stone
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, ICON_SIDE, ICON_SIDE, 0, GL_RGBA, GL_UNSIGNED_BYTE,
                 obj_text_image[i]);
    glBindTexture(GL_TEXTURE_2D, 0);
    obj_tex_initialized[i] = 1;
}

// ============================================================ object icons

// The icon's quad: 19 units wide, x-10..x+9 and y-10..y+9, facing +z.
static void icon_quad(double x, double y, double z) {
    glBegin(GL_QUADS);
    glNormal3d(0.0, 0.0, 1.0);
    glTexCoord2d(0.0, 0.0);
    glVertex3d(x - 10.0, y - 10.0, z);
    glTexCoord2d(1.0, 0.0);
    glVertex3d(x + 9.0, y - 10.0, z);
    glTexCoord2d(1.0, 1.0);
    glVertex3d(x + 9.0, y + 9.0, z);
    glTexCoord2d(0.0, 1.0);
    glVertex3d(x - 10.0, y + 9.0, z);
    glEnd();
}

// Doughnut and stone: white, their own colours and alpha, unlit.
static void draw_plain_icon(int slot, double x, double y, double z) {
    use_slot(slot);
    glEnable(GL_CULL_FACE);
    glEnable(GL_BLEND);
    glCullFace(GL_BACK);
    glEnable(GL_TEXTURE_2D);
    glBindTexture(GL_TEXTURE_2D, obj_textures[slot]);
    glColor3d(1.0, 1.0, 1.0);
    glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_REPLACE);
    icon_quad(x, y, z);
    glBindTexture(GL_TEXTURE_2D, 0);
    glDisable(GL_TEXTURE_2D);
    glDisable(GL_BLEND);
    glDisable(GL_CULL_FACE);
}

void drawIcon_Doughnut(double x, double y) {
    draw_plain_icon(SLOT_DOUGHNUT, x, y, 2.0);
}

void drawIcon_Stone(double x, double y) {
    draw_plain_icon(SLOT_STONE, x, y, 3.0);
}

void drawIcon_Coin(double x, double y, int order, int ncoin) {
    use_slot(SLOT_COIN);
    glEnable(GL_BLEND);
    glEnable(GL_CULL_FACE);
    glCullFace(GL_BACK);
    glEnable(GL_TEXTURE_2D);
    glBindTexture(GL_TEXTURE_2D, obj_textures[SLOT_COIN]);
    glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_REPLACE);
    icon_quad(x, y, 1.0 + 1.5 * (double)order / (double)(ncoin + 1));
    glBindTexture(GL_TEXTURE_2D, 0);
    glDisable(GL_TEXTURE_2D);
    glDisable(GL_CULL_FACE);
    glDisable(GL_BLEND);
}

// ============================================================= brush dabs
//
// Dabs of one colour are gathered into one vertex array and drawn with one
// call (in order, each blended over the last): one by one, the software GL
// would make a draw call of every dab.

constexpr int TEN_BATCH_MAX = 2048; // dabs held before a flush
constexpr int TEN_FLOATS = 5;       // per vertex: s, t, x, y, z
constexpr double TEN_Z = 0.1;
constexpr double TEN_MIN_SIZE = 0.01;
// NOTE: a dab larger than this covers the window as much as any larger one;
// the bound keeps every vertex well inside single precision.
constexpr double TEN_MAX_SIZE = 1.0e6;

static GLfloat ten_batch[TEN_BATCH_MAX * 4 * TEN_FLOATS];
static int ten_count = 0;     // dabs waiting in ten_batch
static GLfloat ten_color[3];  // their colour

// NOTE: the lit colour of a dab is the colour times (1.2 + a non-negative
// diffuse term), clamped to 0..1; so a component outside 0..1 gives the same
// pixels as 0 or 1.
static GLfloat dab_component(double v) {
    return v > 1.0 ? 1.0f : (v > 0.0 ? (GLfloat)v : 0.0f);
}

static void ten_begin_state(const GLfloat c[3]) {
    set_material_both(c[0], c[1], c[2], 1.0f);
    glEnable(GL_BLEND);
    glEnable(GL_TEXTURE_2D);
    glBindTexture(GL_TEXTURE_2D, obj_textures[SLOT_TEN]);
    glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_MODULATE);
}

static void ten_end_state() {
    glBindTexture(GL_TEXTURE_2D, 0);
    glDisable(GL_TEXTURE_2D);
    glDisable(GL_BLEND);
}

// The quad of one dab, corners running clockwise seen from +z (culling is
// off in the canvas pass). No normal is given: the current one stands.
static void ten_corners(double x, double y, double h, GLfloat* v) {
    const double corner[4][4] = {// s, t, x, y
                                 {0.0, 0.0, x - h, y - h},
                                 {0.0, 1.0, x - h, y + h},
                                 {1.0, 1.0, x + h, y + h},
                                 {1.0, 0.0, x + h, y - h}};
    for (int k = 0; k < 4; k++) {
        v[k * TEN_FLOATS + 0] = (GLfloat)corner[k][0];
        v[k * TEN_FLOATS + 1] = (GLfloat)corner[k][1];
        v[k * TEN_FLOATS + 2] = (GLfloat)corner[k][2];
        v[k * TEN_FLOATS + 3] = (GLfloat)corner[k][3];
        v[k * TEN_FLOATS + 4] = (GLfloat)TEN_Z;
    }
}

void flush_Ten() {
    if (ten_count == 0) return;
    ten_begin_state(ten_color);
    const GLsizei stride = TEN_FLOATS * sizeof(GLfloat);
    glEnableClientState(GL_VERTEX_ARRAY);
    glEnableClientState(GL_TEXTURE_COORD_ARRAY);
    glTexCoordPointer(2, GL_FLOAT, stride, ten_batch);
    glVertexPointer(3, GL_FLOAT, stride, ten_batch + 2);
    glDrawArrays(GL_QUADS, 0, 4 * ten_count);
    // NOTE: the arrays are switched off again at once: other drawing (the
    // toolkit's spheres) uses arrays of its own and must not read these.
    glDisableClientState(GL_TEXTURE_COORD_ARRAY);
    glDisableClientState(GL_VERTEX_ARRAY);
    ten_end_state();
    ten_count = 0;
}

// The paint engines hand over only dabs near the field (paint.h).
void paint_Ten(double x, double y, double size, double r, double g, double b) {
    if (size < TEN_MIN_SIZE) size = TEN_MIN_SIZE;
    if (size > TEN_MAX_SIZE) size = TEN_MAX_SIZE;
    use_slot(SLOT_TEN);
    const GLfloat c[3] = {dab_component(r), dab_component(g), dab_component(b)};
    const double h = size / 2.0;
    if (ten_count > 0 && (c[0] != ten_color[0] || c[1] != ten_color[1] || c[2] != ten_color[2]))
        flush_Ten();
    if (ten_count == TEN_BATCH_MAX) flush_Ten();
    memcpy(ten_color, c, sizeof(ten_color));
    ten_corners(x, y, h, ten_batch + (size_t)ten_count * 4 * TEN_FLOATS);
    ten_count++;
}

// ======================================================= wall and background

constexpr double WALL_PANEL_HEIGHT = 15.0;
constexpr double WALL_TEX_HEIGHT = 0.46875; // 15/32: the stone keeps its square shape

void drawStoneWall(double x0, double y0, double x1, double y1, double nx, double ny) {
    use_slot(SLOT_STONE);
    double s = 0.03125 * sqrt((x1 - x0) * (x1 - x0) + (y1 - y0) * (y1 - y0)); // a stone per 32
    glEnable(GL_CULL_FACE);
    glCullFace(GL_BACK);
    glEnable(GL_TEXTURE_2D);
    glBindTexture(GL_TEXTURE_2D, obj_textures[SLOT_STONE]);
    glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_MODULATE);
    glBegin(GL_QUADS);
    glNormal3d(nx, ny, 0.0);
    glTexCoord2d(0.0, 0.0);
    glVertex3d(x0, y0, 0.0);
    glTexCoord2d(0.0, WALL_TEX_HEIGHT);
    glVertex3d(x0, y0, WALL_PANEL_HEIGHT);
    glTexCoord2d(s, WALL_TEX_HEIGHT);
    glVertex3d(x1, y1, WALL_PANEL_HEIGHT);
    glTexCoord2d(s, 0.0);
    glVertex3d(x1, y1, 0.0);
    glEnd();
    glBindTexture(GL_TEXTURE_2D, 0);
    glDisable(GL_TEXTURE_2D);
    glDisable(GL_CULL_FACE);
}

// NOTE: the picture is a texture made once, drawn as nine quads of one texel
// a pixel: the same pixels as copying it nine times with glDrawPixels, but
// the software GL makes and drops a texture of its own for every such copy.
void drawBackground() {
    static const double edge[3] = {-256.0, -56.0, 144.0}; // lower and left tile edges
    static GLuint texture = 0;
    if (texture == 0) {
        glGenTextures(1, &texture);
        glBindTexture(GL_TEXTURE_2D, texture);
        glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
        glTexImage2D(GL_TEXTURE_2D, 0, GL_RGB, BG_SIDE, BG_SIDE, 0, GL_RGB, GL_UNSIGNED_BYTE,
                     background_image200x200);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    }
    glEnable(GL_TEXTURE_2D);
    glBindTexture(GL_TEXTURE_2D, texture);
    glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_REPLACE);
    glBegin(GL_QUADS);
    for (double y : edge) {
        for (double x : edge) {
            glTexCoord2d(0.0, 0.0);
            glVertex2d(x, y);
            glTexCoord2d(1.0, 0.0);
            glVertex2d(x + BG_SIDE, y);
            glTexCoord2d(1.0, 1.0);
            glVertex2d(x + BG_SIDE, y + BG_SIDE);
            glTexCoord2d(0.0, 1.0);
            glVertex2d(x, y + BG_SIDE);
        }
    }
    glEnd();
    glBindTexture(GL_TEXTURE_2D, 0);
    glDisable(GL_TEXTURE_2D);
}

// ================================================================ overlays

struct text_line {
    double x, y, z;
    int font;
    const char* text;
};

static const char* const help_keys[] = {
    "c  clear screen",
    "z  erase zombie",
    "!  toggle graphics/battle mode",
    "@  toggle public/private mode",
    "p  capture screen",
    "3  toggle birds-eye view mode",
    "+ - zoom  < > rotate",
    "M  toggle maze mode",
    "h  help (show this screen)",
    "K  kill all turtles",
    "Q  exit",
};
constexpr int N_HELP_KEYS = sizeof(help_keys) / sizeof(help_keys[0]);
constexpr int HELP_ZOOM_LINE = 6; // starts further right

void drawHelp() {
    const double half = 204.8; // the panel is 0.8 of the field wide
    const double repeat = 15.0;
    use_slot(SLOT_STONE);
    glEnable(GL_BLEND);
    glEnable(GL_CULL_FACE);
    glCullFace(GL_BACK);
    set_material_both(0.3f, 0.3f, 0.3f, 0.9f);
    glEnable(GL_TEXTURE_2D);
    glBindTexture(GL_TEXTURE_2D, obj_textures[SLOT_STONE]);
    glColor3d(1.0, 1.0, 1.0);
    glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_MODULATE);
    glBegin(GL_QUADS);
    glNormal3d(0.0, 0.0, 1.0);
    glTexCoord2d(0.0, 0.0);
    glVertex3d(-half, -half, 30.0);
    glTexCoord2d(repeat, 0.0);
    glVertex3d(half, -half, 30.0);
    glTexCoord2d(repeat, repeat);
    glVertex3d(half, half, 30.0);
    glTexCoord2d(0.0, repeat);
    glVertex3d(-half, half, 30.0);
    glEnd();
    glBindTexture(GL_TEXTURE_2D, 0);
    glDisable(GL_TEXTURE_2D);
    glDisable(GL_CULL_FACE);

    set_material_both(1.0f, 0.2f, 0.1f, 0.9f);
    drawString(-168.96, 163.84, 32.0, FACE_HELVETICA_18, "Quill Mere");
    drawString(-168.96, 128.0, 35.0, FACE_HELVETICA_12, qmere_notice);
    for (int i = 0; i < N_HELP_KEYS; i++) {
        double x = (i == HELP_ZOOM_LINE) ? -102.4 : -140.8;
        drawString(x, 102.4 - 27.25 * i, 35.0, FACE_FIXED_9x15, help_keys[i]);
    }
    drawString(-102.4, -194.56, 35.0, FACE_FIXED_9x15, "Press ESC to dismiss this screen");
    set_material(GL_EMISSION, 0.0f, 0.0f, 0.0f, 1.0f);
    glDisable(GL_BLEND);
}

void drawWarming() {
    static const text_line lines[] = {
        {-230.4, 128.0, 30.0, FACE_HELVETICA_18, "COMMUNICATION ERROR !"},
        {-230.4, 102.4, 30.0, FACE_HELVETICA_12,
         "TCP communication ports cannot be opened because they are already in use."},
        {-230.4, 76.8, 30.0, FACE_HELVETICA_12,
         "It seems another Quill Mere is running on this computer."},
        {-230.4, 51.2, 30.0, FACE_HELVETICA_12,
         "Quit this program by pressing Q and check the running programs in background."},
    };
    set_material_both(1.0f, 0.1f, 0.0f, 1.0f);
    for (const text_line& l : lines)
        drawString(l.x, l.y, l.z, l.font, l.text);
    set_material(GL_EMISSION, 0.0f, 0.0f, 0.0f, 1.0f);
}

// ============================================================ screen capture

// NOTE: the window is 512 x 512; anything far beyond that is a caller's
// mistake and is refused instead of allocating without bound.
constexpr int PNG_MAX_SIDE = 8192;

// The libpng part of a capture: text chunks, header, rows, end. Kept apart
// so that the setjmp frame holds nothing but plain pointers. Returns 0, or
// -1 when libpng reported an error (a full disk, say).
static int write_png_rows(png_structp png_ptr, png_infop info_ptr, FILE* fp, png_bytepp rows,
                          int width, int height, struct capture_text* ct) {
    static char key_author[] = "Author";
    static char key_software[] = "Software";
    static char key_source[] = "Source";
    static char key_description[] = "Description";

    png_text text[4];
    memset(text, 0, sizeof(text));
    char* keys[4] = {key_author, key_software, key_source, key_description};
    // libpng takes non-const text pointers but only reads them
    char* values[4] = {ct->author, const_cast<char*>(capture_software), ct->source,
                       ct->description};
    for (int i = 0; i < 4; i++) {
        text[i].compression = PNG_TEXT_COMPRESSION_zTXt;
        text[i].key = keys[i];
        text[i].text = values[i];
        text[i].text_length = strlen(values[i]);
    }

    // NOTE: without this, libpng's default error handler would abort the
    // whole arena on a write error; here the capture is given up instead.
    if (setjmp(png_jmpbuf(png_ptr))) return -1;

    png_set_text(png_ptr, info_ptr, text, 4);
    png_init_io(png_ptr, fp);
    png_set_IHDR(png_ptr, info_ptr, (png_uint_32)width, (png_uint_32)height, 8, PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png_ptr, info_ptr);
    png_write_image(png_ptr, rows);
    png_write_end(png_ptr, info_ptr);
    return 0;
}

void saveImageToPNG(int width, int height, char* filename) {
    if (width <= 0 || height <= 0 || width > PNG_MAX_SIDE || height > PNG_MAX_SIDE) {
        fprintf(stderr, "saveImageToPNG: bad image size %dx%d\n", width, height);
        return;
    }
    FILE* fp = fopen(filename, "wb");
    if (fp == NULL) {
        fprintf(stderr, "saveImageToPNG: cannot open file:%s\n", filename);
        return;
    }
    png_structp png_ptr = png_create_write_struct(PNG_LIBPNG_VER_STRING, NULL, NULL, NULL);
    if (png_ptr == NULL) {
        fprintf(stderr, "saveImageToPNG: cannot create png_ptr\n");
        fclose(fp);
        return;
    }
    png_infop info_ptr = png_create_info_struct(png_ptr);
    if (info_ptr == NULL) {
        fprintf(stderr, "saveImageToPNG: cannot create info_ptr\n");
        png_destroy_write_struct(&png_ptr, NULL);
        fclose(fp);
        return;
    }

    struct capture_text ct;
    fill_capture_text(&ct);

    size_t rowbytes = 3 * (size_t)width;
    GLubyte* pixels = (GLubyte*)malloc((size_t)width * (size_t)height * 4);
    png_bytepp rows = (png_bytepp)calloc((size_t)height, sizeof(png_bytep));
    int ok = (pixels != NULL && rows != NULL);
    int failed = 0;
    for (int i = 0; ok && i < height; i++) {
        rows[i] = (png_bytep)malloc(rowbytes);
        if (rows[i] == NULL) ok = 0;
    }

    if (ok) {
        // NOTE: rows are read tightly packed whatever the width, so the pack
        // alignment is 1 for this read and restored afterwards.
        GLint pack_alignment = 4;
        glGetIntegerv(GL_PACK_ALIGNMENT, &pack_alignment);
        glPixelStorei(GL_PACK_ALIGNMENT, 1);
        // NOTE: the back buffer, read after a frame is drawn and before its
        // swap: software GL under a virtual X server returns a black front
        // buffer, and the finished back buffer is what the window shows next.
        glReadBuffer(headless_gl_read_buffer());
        glReadPixels(0, 0, width, height, GL_RGB, GL_UNSIGNED_BYTE, pixels);
        glPixelStorei(GL_PACK_ALIGNMENT, pack_alignment);
        // the GL delivers the bottom row first; the PNG starts with the top
        for (int i = 0; i < height; i++) {
            memcpy(rows[i], pixels + rowbytes * (size_t)(height - 1 - i), rowbytes);
        }
        if (write_png_rows(png_ptr, info_ptr, fp, rows, width, height, &ct) != 0) failed = 1;
    } else {
        fprintf(stderr, "saveImageToPNG: out of memory for %s\n", filename);
    }
    png_destroy_write_struct(&png_ptr, &info_ptr);

    free(pixels);
    if (rows != NULL) {
        for (int i = 0; i < height; i++)
            free(rows[i]);
        free(rows);
    }
    if (fclose(fp) != 0) failed = 1;
    if (failed) fprintf(stderr, "saveImageToPNG: cannot write file:%s\n", filename);
}
