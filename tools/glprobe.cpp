// glprobe.cpp -- tells whether this machine can run the arena without a
// display: opens the surfaceless EGL context with its 512 x 512 framebuffer
// (no DISPLAY needed), prints the GL vendor, renderer and version, draws a
// lit quad from a display list with the fixed-function pipeline and reads it
// back, and draws a line of text with the start-up glyphs.
//
//   glprobe [--png FILE]    exit 0 when everything works, 1 otherwise;
//                           --png writes the probe's picture for a look

#include <GL/gl.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "glyphs.h"
#include "headless_gl.h"
#include "imagefile.h"

constexpr int SIDE = HEADLESS_SIDE;

static std::vector<unsigned char> frame(SIDE* SIDE * 3);

static const unsigned char* pixel(int x, int y) {
    return &frame[((size_t)y * SIDE + x) * 3];
}

// The colour light 0 at its defaults gives a face turned towards it: the
// scene's ambient (0.2) and the light's diffuse (1.0) times the material.
static int lit(double m) {
    return (int)lround(fmin(1.0, 0.2 * m + m) * 255.0);
}

int main(int argc, char** argv) {
    const char* png_file = NULL;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--png") == 0 && i + 1 < argc) {
            png_file = argv[++i];
        } else {
            fprintf(stderr, "usage: glprobe [--png FILE]\n");
            return 1;
        }
    }
    const char* display = getenv("DISPLAY");
    printf("DISPLAY:  %s\n", display != NULL ? display : "(not set)");

    char why[256];
    if (headless_gl_open(why, sizeof(why)) != 0) {
        printf("context:  FAILED: %s\n", why);
        return 1;
    }
    printf("context:  ok (EGL surfaceless, %dx%d framebuffer)\n", SIDE, SIDE);
    printf("vendor:   %s\n", (const char*)glGetString(GL_VENDOR));
    printf("renderer: %s\n", (const char*)glGetString(GL_RENDERER));
    printf("version:  %s\n", (const char*)glGetString(GL_VERSION));
    int failed = 0;

    // -- a lit quad from a display list, with the depth test on
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glOrtho(-256, 256, -256, 256, -100, 100);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    glClearColor(0, 0, 0, 1);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glEnable(GL_DEPTH_TEST);
    glEnable(GL_LIGHTING);
    glEnable(GL_LIGHT0);
    const float mat[4] = {0.8f, 0.2f, 0.1f, 1.0f}, none[4] = {0, 0, 0, 1};
    glMaterialfv(GL_FRONT, GL_AMBIENT_AND_DIFFUSE, mat);
    glMaterialfv(GL_FRONT, GL_EMISSION, none);
    GLuint list = glGenLists(1);
    glNewList(list, GL_COMPILE);
    glBegin(GL_QUADS);
    glNormal3d(0, 0, 1);
    glVertex3d(-128, -128, 0);
    glVertex3d(128, -128, 0);
    glVertex3d(128, 128, 0);
    glVertex3d(-128, 128, 0);
    glEnd();
    glEndList();
    glCallList(list);
    glDisable(GL_DEPTH_TEST);
    GLenum err = glGetError();
    headless_gl_read_rgb(frame.data());
    const unsigned char* in = pixel(SIDE / 2, SIDE / 2);
    const unsigned char* out = pixel(8, 8);
    int want[3] = {lit(mat[0]), lit(mat[1]), lit(mat[2])};
    int quad_ok = err == GL_NO_ERROR && out[0] == 0 && out[1] == 0 && out[2] == 0;
    for (int k = 0; k < 3; k++)
        if (abs(in[k] - want[k]) > 3) quad_ok = 0;
    printf("fixed-function: %s (lit quad reads %d %d %d, expected %d %d %d; GL error 0x%x)\n",
           quad_ok ? "ok" : "FAILED", in[0], in[1], in[2], want[0], want[1], want[2], err);
    if (!quad_ok) failed = 1;

    // -- text: the glyphs take the lit raster colour
    if (glyphs_init(why, sizeof(why)) != 0) {
        printf("glyphs:   FAILED: %s\n", why);
        failed = 1;
    } else {
        // as painted messages are: no lit colour of its own, only emission
        const float ink[4] = {0.2f, 1.0f, 0.3f, 1.0f};
        glMaterialfv(GL_FRONT, GL_AMBIENT_AND_DIFFUSE, none);
        glMaterialfv(GL_FRONT, GL_EMISSION, ink);
        glyphs_draw(-200, 180, 0, FACE_HELVETICA_18, "COMMUNICATION ERROR !");
        glyphs_draw(-200, 160, 0, FACE_HELVETICA_12, "It seems another Quill Mere is running on this computer.");
        glyphs_draw(-200, 140, 0, FACE_FIXED_9x15, "c  clear screen (9x15)");
        glMaterialfv(GL_FRONT, GL_EMISSION, none);
        headless_gl_read_rgb(frame.data());
        long inked = 0;
        for (int y = 256 + 130; y < 256 + 200; y++)
            for (int x = 0; x < SIDE; x++)
                if (pixel(x, y)[1] > 200 && pixel(x, y)[0] < 120) inked++;
        printf("glyphs:   %s (%ld pixels of text)\n", inked > 200 ? "ok" : "FAILED", inked);
        if (inked <= 200) failed = 1;
    }

    if (png_file != NULL) {
        std::vector<unsigned char> png;
        FILE* fp = fopen(png_file, "wb");
        if (encode_png_rgb(frame.data(), SIDE, SIDE, 1, &png) != 0 || fp == NULL ||
            fwrite(png.data(), 1, png.size(), fp) != png.size()) {
            printf("png:      cannot write %s\n", png_file);
            failed = 1;
        }
        if (fp != NULL) fclose(fp);
    }
    headless_gl_close();
    return failed;
}
