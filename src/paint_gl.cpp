// paint_gl.cpp -- the GL side of the plain pen modes: one line, one point or
// one filled polygon, each vertex coloured by the front material's emission
// (lighting stays on; the caller has zeroed ambient and diffuse). The line
// width or point size it drew with is left as set, and so is the last
// emission.
#include <GL/gl.h>

#include <cmath>

#include "paint.h"

// Colours arrive within 0..1 and widths within a million (the command
// language bounds them), so each fits a float.
static GLfloat to_float(double v) { return static_cast<GLfloat>(v); }

// NOTE: the software GL keeps a compiled rasterizer state for every pair of
// line width and point size it has drawn with, some 200 bytes each,
// thousands deep. A class's bots send widths of every fraction, and a long
// match's memory grew by them. So the GL gets widths on a grid no eye tells
// apart -- quarter pixels up to 8, whole pixels above, up to 256 (half the
// field): 280 steps -- and a line puts the point size back to 1 and a point
// the line width, so that it never sees a pair of them. What the GL refuses
// (zero, below, NaN) still reaches it as it came.
static GLfloat gl_width(double w) {
    if (!(w > 0.0)) return to_float(w);
    const double clamped = std::fmin(std::fmax(w, 0.25), 256.0);
    if (clamped >= 8.0) return static_cast<GLfloat>(std::round(clamped));
    return static_cast<GLfloat>(std::round(clamped * 4.0) / 4.0);
}

static void set_emission(double r, double g, double b) {
    const GLfloat c[4] = {to_float(r), to_float(g), to_float(b), 1.0f};
    glMaterialfv(GL_FRONT, GL_EMISSION, c);
}

void paintLineSeg(double x0, double y0, double r0, double g0, double b0, double x1, double y1,
                  double r1, double g1, double b1, double width) {
    glPointSize(1.0f);
    glLineWidth(gl_width(width));
    glBegin(GL_LINES);
    set_emission(r0, g0, b0);
    glVertex2d(x0, y0);
    set_emission(r1, g1, b1);
    glVertex2d(x1, y1);
    glEnd();
}

void paintPoint(double x, double y, double r, double g, double b, double size) {
    glLineWidth(1.0f);
    glPointSize(gl_width(size));
    glBegin(GL_POINTS);
    set_emission(r, g, b);
    glVertex2d(x, y);
    glEnd();
}

void paintPolygon(int n, const struct position* pts, const struct color* cols) {
    glBegin(GL_POLYGON);
    for (int i = 0; i < n; i++) {
        set_emission(cols[i].r, cols[i].g, cols[i].b);
        glVertex2d(pts[i].x, pts[i].y);
    }
    glEnd();
}
