// recorder.cpp -- the recording definitions of the paint seams.
#include "recorder.h"

std::vector<Dab> rec_dabs;
std::vector<LineSeg> rec_lines;
std::vector<PointMark> rec_points;
std::vector<PolygonMark> rec_polygons;

void clear_records() {
    rec_dabs.clear();
    rec_lines.clear();
    rec_points.clear();
    rec_polygons.clear();
}

void paint_Ten(double x, double y, double size, double r, double g, double b) {
    rec_dabs.push_back({x, y, size, r, g, b});
}

void paintLineSeg(double x0, double y0, double r0, double g0, double b0, double x1, double y1,
                  double r1, double g1, double b1, double width) {
    rec_lines.push_back({x0, y0, r0, g0, b0, x1, y1, r1, g1, b1, width});
}

void paintPoint(double x, double y, double r, double g, double b, double size) {
    rec_points.push_back({x, y, r, g, b, size});
}

void paintPolygon(int n, const struct position* pts, const struct color* cols) {
    PolygonMark m;
    m.pts.assign(pts, pts + n);
    m.cols.assign(cols, cols + n);
    rec_polygons.push_back(m);
}
