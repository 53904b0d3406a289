// paint.h -- the paint engines: brush strokes and curves, lines, points and
// filled areas over a turtle's trail history. The engines are pure geometry
// and never touch the GL; they draw only through the four seam functions
// below, which the window program defines (glutil.cpp, paint_gl.cpp) and a
// test defines as a recorder. Everything here runs on the drawing thread,
// inside the canvas pass, on the frame snapshot's copy of a turtle.
#pragma once
#include "frame.h"
#include "qmere.h"

// Marks farther than this from the field's centre cannot show in the 512 x
// 512 window and are dropped; it keeps every vertex well inside single
// precision. (Trail points lie within MAX_COORD, but a curve's control point
// can lie much farther out.)
constexpr double PAINT_REACH = 2.0e6;

// ------------------------------------------------------------- the seams
// One brush dab of side `size` centred on (x, y) in colour (r, g, b). Sizes
// below 0.01 are drawn as 0.01 by the dab itself.
void paint_Ten(double x, double y, double size, double r, double g, double b);
// One line from (x0, y0) to (x1, y1), `width` pixels wide, its colour shading
// from (r0, g0, b0) at the first end to (r1, g1, b1) at the second.
void paintLineSeg(double x0, double y0, double r0, double g0, double b0, double x1, double y1,
                  double r1, double g1, double b1, double width);
// One square point `size` pixels wide at (x, y).
void paintPoint(double x, double y, double r, double g, double b, double size);
// One filled polygon over pts[0..n-1] (oldest trail point first), vertex i
// in colour cols[i]; the colours blend across the area.
void paintPolygon(int n, const struct position* pts, const struct color* cols);

// ------------------------------------------------------- brush strokes
// Style of a straight run (0..7, see thickness in paint.cpp) chosen from the
// run's length, its starting width and its heading in degrees.
int strokeStyle(double length, double width, double angle, int last_stroke);
void brushLine(double x0, double y0, double size0, double x1, double y1, double size1, double r,
               double g, double b, int last_stroke);
// Finishing stroke over three points: the last two segments of a stroke.
void brushLine2(double x0, double y0, double s0, double x1, double y1, double s1, double x2,
                double y2, double s2, double r, double g, double b);
// Finishing stroke over four points: P0->P1 again, then the tail over P1..P3.
void brushLine3(double x0, double y0, double s0, double x1, double y1, double s1, double x2,
                double y2, double s2, double x3, double y3, double s3, double r, double g,
                double b);
// Paints P0->P1, curved so that it arrives at P1 heading towards P2.
void drawCurve3(double x0, double y0, double s0, double x1, double y1, double s1, double x2,
                double y2, double s2, double r, double g, double b);
// Paints P1->P2, curved so that it leaves P1 the way P0->P1 arrived.
void drawCurve3asLastStroke(double x0, double y0, double s0, double x1, double y1, double s1,
                            double x2, double y2, double s2, double r, double g, double b);
// Paints P1->P2, curved by both neighbours P0 and P3 (s0 is not used).
void drawCurve4(double x0, double y0, double s0, double x1, double y1, double s1, double x2,
                double y2, double s2, double x3, double y3, double s3, double r, double g,
                double b);
// Paints the brush marks that turtle t's trail is ready for: the segment
// two moves back while the pen is down, or the finishing tail at pen-up.
void paint_by_brush(const struct turtle* t, int last_stroke);

// ------------------------------------------------- lines, points, fills
// Paints turtle t's newest move in line, point or fill mode.
void paint_line_and_fill_area(const struct turtle* t);
// Paints the pen marks a frame's snapshot asks of one slot (frame.h): a
// brush segment, a brush stroke's tail, or a line, point or fill.
void paint_pen_marks(const struct slot_frame* f);
