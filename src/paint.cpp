// paint.cpp -- the paint engines. Brush mode paints a turtle's trail as dense
// runs of dabs along straight lines and quadratic Bezier curves, their size
// following the pen widths and shaped by a thickness profile; the plain pen
// modes paint a line, a point or a filled polygon over the newest trail
// points. The module keeps no state and makes no GL call: it reads the
// turtle records and draws only through the seams of paint.h.
#include "paint.h"

#include <cmath>

#include "qmere.h"

// ============================================================ constants

constexpr int MAX_RUN_STEPS = 512;       // a run paints at most this + 1 dabs
constexpr double DABS_PER_WIDTH = 20.0;  // dab spacing is about a twentieth of the width
constexpr double WIDTH_PAD = 0.01;       // keeps the spacing positive for zero widths
constexpr double SHORT_SEGMENT = 1.1;    // a segment shorter than this is one dab
constexpr double TAIL_SHARP_COS = 0.5;   // finishing tail: sharper than 60 degrees
constexpr double CURVE3_SHARP_COS = 0.3; // about 72.5 degrees
constexpr double CURVE4_SHARP_COS = 0.1; // about 84 degrees
constexpr double STRAIGHT_COS = 0.99;    // straighter than this: midpoint control
constexpr double FLICK_CONST = 2.3396468519259908; // e^0.85, where style 6 turns over
constexpr int FILL_REACH = HISTORY - 2; // pos[5] is the oldest point with a colour (col[6])

// ============================================================== helpers

template <class... T> static bool all_finite(T... v) { return (std::isfinite(v) && ...); }

static bool in_range(double x, double y) {
    return std::fabs(x) <= PAINT_REACH && std::fabs(y) <= PAINT_REACH; // false for NaN
}

// Hands one dab to the painter unless it lies beyond PAINT_REACH or is not
// finite (a curve through nearly parallel tangents can put it anywhere).
static void dab(double x, double y, double size, double r, double g, double b) {
    if (!in_range(x, y) || std::isnan(size)) return;
    paint_Ten(x, y, size, r, g, b);
}

// Heading of the vector (dx, dy) in degrees, -180..180.
static double angle_of(double dx, double dy) { return rad2deg(std::atan2(dy, dx)); }

// Cosine of the turn between consecutive segments u and v; NaN when either
// has zero length.
static double turn_cos(double ux, double uy, double vx, double vy) {
    return (ux * vx + uy * vy) / (std::hypot(ux, uy) * std::hypot(vx, vy));
}

// Steps of a dab run over path length L with step width s; 0 means no run.
static int run_steps(double L, double s) {
    // NOTE: a non-finite length or width gives no meaningful count (and its
    // conversion to int would be undefined), so such a run paints nothing.
    if (!all_finite(L, s)) return 0;
    const double q = std::trunc(L / ((std::fabs(s) + WIDTH_PAD) / DABS_PER_WIDTH)) + 1.0;
    return q > MAX_RUN_STEPS ? MAX_RUN_STEPS : static_cast<int>(q);
}

// Size factor of a run of the given style at t (0..1) along it: 0 plain;
// 1 narrows a little mid-way (a long non-final run heading 0..30 degrees);
// 2 and 3 taper as 1 - sqrt(t); 4 and 7 linearly; 5 as 1 - t^1.5; 6 swells
// to about 2.34 and then falls to a point (the upward flick of brushLine2).
static double thickness(double t, int style) {
    switch (style) {
    case 1: return 1.0 - (t + 0.2) * 0.7 * (1.0 - t);
    case 2:
    case 3: return 1.0 - std::sqrt(t);
    case 4:
    case 7: return 1.0 - t;
    case 5: return 1.0 - std::pow(t, 1.5);
    case 6: return t < 0.5 ? std::exp(1.7 * t) : (1.0 - std::pow(t, 1.3)) * FLICK_CONST * 1.6;
    default: return 1.0;
    }
}

// A dab run along the quadratic Bezier curve a -> b with control point c;
// the width blends as, cs, bs with the same weights and is shaped by
// `style`. With `flick` the second half lifts towards +y by up to one width.
static void curve_run(double ax, double ay, double as, double cx, double cy, double cs, double bx,
                      double by, double bs, double L, double s, int style, bool flick, double r,
                      double g, double b) {
    const int n = run_steps(L, s);
    if (n == 0 || !all_finite(ax, ay, as, cx, cy, cs, bx, by, bs)) return;
    const double dt = 1.0 / n;
    for (double t = 0.0; t <= 1.0; t += dt) {
        const double b0 = (1.0 - t) * (1.0 - t), b1 = 2.0 * t * (1.0 - t), b2 = t * t;
        const double w = as * b0 + cs * b1 + bs * b2;
        const double f = (flick && t >= 0.5) ? 2.0 * (t - 0.5) : 0.0;
        dab(ax * b0 + cx * b1 + bx * b2, ay * b0 + cy * b1 + by * b2 + f * w,
            w * thickness(t, style), r, g, b);
    }
}

// =========================================================== brush strokes

int strokeStyle(double length, double width, double angle, int last_stroke) {
    if (last_stroke) {
        if (angle >= 0.0 && angle < 30.0) return 7;
        if (angle >= 30.0 && angle < 90.0) return 2;
        if (angle >= 90.0) return 3;
        if (angle > -80.0 && angle < 0.0) return 4;
        if (angle <= -80.0) return 5;
        return 0; // NaN heading: plain width
    }
    if (length / width > 4.0 && angle >= 0.0 && angle < 30.0) return 1;
    return 0;
}

void brushLine(double x0, double y0, double size0, double x1, double y1, double size1, double r,
               double g, double b, int last_stroke) {
    const double dx = x1 - x0, dy = y1 - y0;
    const double L = std::hypot(dx, dy);
    if (L < SHORT_SEGMENT) {
        dab(x0, y0, size0, r, g, b);
        return;
    }
    const int n = run_steps(L, size0);
    if (n == 0 || !all_finite(x0, y0, dx, dy, size1)) return;
    const int style = strokeStyle(L, size0, angle_of(dx, dy), last_stroke);
    const double dt = 1.0 / n;
    for (double t = 0.0; t <= 1.0; t += dt)
        dab(x0 + t * dx, y0 + t * dy, ((1.0 - t) * size0 + t * size1) * thickness(t, style), r,
            g, b);
}

void brushLine2(double x0, double y0, double s0, double x1, double y1, double s1, double x2,
                double y2, double s2, double r, double g, double b) {
    const double L01 = std::hypot(x1 - x0, y1 - y0);
    const double L12 = std::hypot(x2 - x1, y2 - y1);
    if (L12 < SHORT_SEGMENT) {
        brushLine(x0, y0, s0, x1, y1, s1, r, g, b, 0);
        dab(x2, y2, s2, r, g, b);
        return;
    }
    if (L01 < SHORT_SEGMENT) {
        dab(x0, y0, s0, r, g, b);
        brushLine(x1, y1, s1, x2, y2, s2, r, g, b, 1);
        return;
    }
    const double c = turn_cos(x1 - x0, y1 - y0, x2 - x1, y2 - y1);
    int style = strokeStyle(L12, s1, angle_of(x2 - x1, y2 - y1), 1);
    // NOTE: a NaN turn (coordinates so large that the products overflow)
    // counts as a sharp turn: two straight runs, each guarded on its own.
    if (!(c >= TAIL_SHARP_COS) || style == 1 || style == 2 || style == 3) {
        brushLine(x0, y0, s0, x1, y1, s1, r, g, b, 0);
        brushLine(x1, y1, s1, x2, y2, s2, r, g, b, 1);
        return;
    }
    if (style == 4) style = 6; // a gently falling ending flicks upwards
    curve_run(x0, y0, s0, x1, y1, s1, x2, y2, s2, L01 + L12, s0, style, style == 6, r, g, b);
}

void drawCurve3(double x0, double y0, double s0, double x1, double y1, double s1, double x2,
                double y2, double s2, double r, double g, double b) {
    (void)s2;
    const double ux = x1 - x0, uy = y1 - y0, vx = x2 - x1, vy = y2 - y1;
    const double c = turn_cos(ux, uy, vx, vy);
    // NOTE: a zero-length segment on either side leaves no turn to follow
    // (the cosine is 0/0): the segment is painted straight.
    if (!std::isfinite(c) || c < CURVE3_SHARP_COS) {
        brushLine(x0, y0, s0, x1, y1, s1, r, g, b, 0);
        return;
    }
    const double L01 = std::hypot(ux, uy);
    double cx, cy;
    if (c > STRAIGHT_COS) {
        cx = (x0 + x1) / 2.0;
        cy = (y0 + y1) / 2.0;
    } else { // a quarter of the segment back from P1 along the next segment
        const double k = 0.25 * L01 / std::hypot(vx, vy);
        cx = x1 - vx * k;
        cy = y1 - vy * k;
    }
    curve_run(x0, y0, s0, cx, cy, (s0 + s1) / 2.0, x1, y1, s1, L01, s0, 0, false, r, g, b);
}

void drawCurve3asLastStroke(double x0, double y0, double s0, double x1, double y1, double s1,
                            double x2, double y2, double s2, double r, double g, double b) {
    const double ux = x1 - x0, uy = y1 - y0, vx = x2 - x1, vy = y2 - y1;
    const double c = turn_cos(ux, uy, vx, vy);
    // NOTE: as in drawCurve3, no turn to follow means a straight segment.
    if (!std::isfinite(c) || c < CURVE3_SHARP_COS) {
        brushLine(x1, y1, s1, x2, y2, s2, r, g, b, 0);
        return;
    }
    const double L12 = std::hypot(vx, vy);
    double cx, cy;
    if (c > STRAIGHT_COS) { // midpoint of the previous segment, not of this one
        cx = (x0 + x1) / 2.0;
        cy = (y0 + y1) / 2.0;
    } else { // leave P1 the way the previous segment arrived
        const double k = 0.25 * L12 / std::hypot(ux, uy);
        cx = x1 + ux * k;
        cy = y1 + uy * k;
    }
    curve_run(x1, y1, s1, cx, cy, (s0 + s1) / 2.0, x2, y2, s2, L12, s1, 0, false, r, g, b);
}

void drawCurve4(double x0, double y0, double s0, double x1, double y1, double s1, double x2,
                double y2, double s2, double x3, double y3, double s3, double r, double g,
                double b) {
    (void)s0;
    const double ux = x1 - x0, uy = y1 - y0; // d(0->1)
    const double vx = x2 - x1, vy = y2 - y1; // d(1->2), the painted segment
    const double wx = x3 - x2, wy = y3 - y2; // d(2->3)
    const double c1 = turn_cos(ux, uy, vx, vy);
    // NOTE: zero-length neighbours (0/0 cosines) and parallel tangent lines
    // leave the control point undefined: such a segment is painted straight.
    if (!std::isfinite(c1)) {
        brushLine(x1, y1, s1, x2, y2, s2, r, g, b, 0);
        return;
    }
    if (c1 < CURVE4_SHARP_COS) {
        drawCurve3(x1, y1, s1, x2, y2, s2, x3, y3, s3, r, g, b);
        return;
    }
    if (!(turn_cos(vx, vy, wx, wy) >= CURVE4_SHARP_COS)) {
        brushLine(x1, y1, s1, x2, y2, s2, r, g, b, 0);
        return;
    }
    const double c = turn_cos(ux, uy, wx, wy);
    double cx, cy;
    if (c > STRAIGHT_COS) {
        cx = (x1 + x2) / 2.0;
        cy = (y1 + y2) / 2.0;
    } else {
        // Intersection of the line through P1 along P2 - P0 with the line
        // through P2 along P3 - P1.
        const double ax = x2 - x0, ay = y2 - y0, ex = x3 - x1, ey = y3 - y1;
        const double k = (vx * ey - vy * ex) / (ax * ey - ay * ex);
        if (!std::isfinite(k) || !std::isfinite(c)) {
            brushLine(x1, y1, s1, x2, y2, s2, r, g, b, 0);
            return;
        }
        cx = x1 + k * ax;
        cy = y1 + k * ay;
    }
    curve_run(x1, y1, s1, cx, cy, (s1 + s2) / 2.0, x2, y2, s2, std::hypot(vx, vy), s1, 0, false,
              r, g, b);
}

void brushLine3(double x0, double y0, double s0, double x1, double y1, double s1, double x2,
                double y2, double s2, double x3, double y3, double s3, double r, double g,
                double b) {
    drawCurve3(x0, y0, s0, x1, y1, s1, x2, y2, s2, r, g, b);
    const double L12 = std::hypot(x2 - x1, y2 - y1);
    const double L23 = std::hypot(x3 - x2, y3 - y2);
    if (L23 < SHORT_SEGMENT) {
        drawCurve3asLastStroke(x0, y0, s0, x1, y1, s1, x2, y2, s2, r, g, b);
        dab(x3, y3, s3, r, g, b);
        return;
    }
    if (L12 < SHORT_SEGMENT) {
        dab(x1, y1, s1, r, g, b);
        brushLine(x2, y2, s2, x3, y3, s3, r, g, b, 1);
        return;
    }
    const double c = turn_cos(x2 - x1, y2 - y1, x3 - x2, y3 - y2);
    const int style = strokeStyle(L23, s2, angle_of(x3 - x2, y3 - y2), 1);
    // NOTE: a NaN turn counts as sharp, as in brushLine2.
    if (!(c >= TAIL_SHARP_COS) || style == 1 || style == 2 || style == 3) {
        drawCurve3asLastStroke(x0, y0, s0, x1, y1, s1, x2, y2, s2, r, g, b);
        brushLine(x2, y2, s2, x3, y3, s3, r, g, b, 1);
        return;
    }
    brushLine2(x1, y1, s1, x2, y2, s2, x3, y3, s3, r, g, b);
}

void paint_by_brush(const struct turtle* t, int last_stroke) {
    const struct position* p = t->pos;
    const double* w = t->width; // trail point pos[i] goes with width[i + 1]
    const int n = t->nstroke;
    if (last_stroke) {
        if (n >= 4) {
            const struct color& c = t->col[4];
            brushLine3(p[3].x, p[3].y, w[4], p[2].x, p[2].y, w[3], p[1].x, p[1].y, w[2], p[0].x,
                       p[0].y, w[1], c.r, c.g, c.b);
        } else if (n == 3) {
            const struct color& c = t->col[3];
            brushLine2(p[2].x, p[2].y, w[3], p[1].x, p[1].y, w[2], p[0].x, p[0].y, w[1], c.r, c.g,
                       c.b);
        } else {
            const struct color& c = t->col[2];
            brushLine(p[1].x, p[1].y, w[2], p[0].x, p[0].y, w[1], c.r, c.g, c.b, last_stroke);
        }
        return;
    }
    const struct color& c = t->col[4];
    if (n == 4) {
        drawCurve3(p[3].x, p[3].y, w[4], p[2].x, p[2].y, w[3], p[1].x, p[1].y, w[2], c.r, c.g,
                   c.b);
    } else if (n >= 5) {
        drawCurve4(p[4].x, p[4].y, w[5], p[3].x, p[3].y, w[4], p[2].x, p[2].y, w[3], p[1].x,
                   p[1].y, w[2], c.r, c.g, c.b);
    }
}

// ===================================================== lines, points, fills

void paint_line_and_fill_area(const struct turtle* t) {
    if (t->status & ST_FILL) {
        const int n = t->nstroke;
        if (n <= 1) return;
        const int k = n < FILL_REACH ? n : FILL_REACH;
        struct position pts[FILL_REACH + 1];
        struct color cols[FILL_REACH + 1];
        for (int i = k, j = 0; i >= 0; i--, j++) { // oldest point first
            if (!in_range(t->pos[i].x, t->pos[i].y)) return;
            pts[j] = t->pos[i];
            cols[j] = t->col[i + 1];
        }
        paintPolygon(k + 1, pts, cols);
    } else if (t->status & ST_POINT) {
        if (!in_range(t->pos[0].x, t->pos[0].y)) return;
        const struct color& c = t->col[1];
        paintPoint(t->pos[0].x, t->pos[0].y, c.r, c.g, c.b, t->width[1]);
    } else {
        if (!in_range(t->pos[0].x, t->pos[0].y) || !in_range(t->pos[1].x, t->pos[1].y)) return;
        const struct color& c0 = t->col[2];
        const struct color& c1 = t->col[1];
        paintLineSeg(t->pos[1].x, t->pos[1].y, c0.r, c0.g, c0.b, t->pos[0].x, t->pos[0].y, c1.r,
                     c1.g, c1.b, t->width[1]);
    }
}

void paint_pen_marks(const struct slot_frame* f) {
    switch (f->paint) {
    case PAINT_BRUSH: paint_by_brush(&f->pen, 0); break;
    case PAINT_BRUSH_TAIL: paint_by_brush(&f->pen, 1); break;
    case PAINT_PEN: paint_line_and_fill_area(&f->pen); break;
    default: break;
    }
}
