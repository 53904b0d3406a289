// recorder.h -- the paint seams as a recorder: every dab, line, point and
// polygon the engines ask for is stored for the tests to read back.
#pragma once
#include <gtest/gtest.h>

#include <ostream>
#include <vector>

#include "../unit/world_fixture.h"
#include "paint.h"

struct Dab {
    double x, y, size, r, g, b;
    bool operator==(const Dab&) const = default;
};

// How a failing comparison shows a dab.
inline void PrintTo(const Dab& d, std::ostream* os) {
    *os << "(" << d.x << ", " << d.y << " size " << d.size << " rgb " << d.r << " " << d.g << " "
        << d.b << ")";
}

struct LineSeg { double x0, y0, r0, g0, b0, x1, y1, r1, g1, b1, width; };
struct PointMark { double x, y, r, g, b, size; };
struct PolygonMark { std::vector<struct position> pts; std::vector<struct color> cols; };

extern std::vector<Dab> rec_dabs;
extern std::vector<LineSeg> rec_lines;
extern std::vector<PointMark> rec_points;
extern std::vector<PolygonMark> rec_polygons;

void clear_records();

// The dabs that f paints, recorded from a clean slate.
template <class F> std::vector<Dab> dabs_of(F f) {
    clear_records();
    f();
    return rec_dabs;
}

// Concatenation of recordings, for "this call paints what those calls paint".
inline std::vector<Dab> operator+(std::vector<Dab> a, const std::vector<Dab>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A trail point with its width, and the painters called on such points in
// one colour (the brush tests' ink unless given).
struct P {
    double x, y, s;
};
constexpr struct color INK = {0.1, 0.2, 0.3};

inline std::vector<Dab> line(P a, P b, int last, struct color c = INK) {
    return dabs_of([&] { brushLine(a.x, a.y, a.s, b.x, b.y, b.s, c.r, c.g, c.b, last); });
}
inline std::vector<Dab> line2(P a, P b, P p, struct color c = INK) {
    return dabs_of([&] { brushLine2(a.x, a.y, a.s, b.x, b.y, b.s, p.x, p.y, p.s, c.r, c.g, c.b); });
}
inline std::vector<Dab> line3(P a, P b, P p, P q, struct color c = INK) {
    return dabs_of([&] {
        brushLine3(a.x, a.y, a.s, b.x, b.y, b.s, p.x, p.y, p.s, q.x, q.y, q.s, c.r, c.g, c.b);
    });
}
inline std::vector<Dab> curve3(P a, P b, P p, struct color c = INK) {
    return dabs_of([&] { drawCurve3(a.x, a.y, a.s, b.x, b.y, b.s, p.x, p.y, p.s, c.r, c.g, c.b); });
}
inline std::vector<Dab> curve3last(P a, P b, P p, struct color c = INK) {
    return dabs_of([&] {
        drawCurve3asLastStroke(a.x, a.y, a.s, b.x, b.y, b.s, p.x, p.y, p.s, c.r, c.g, c.b);
    });
}
inline std::vector<Dab> curve4(P a, P b, P p, P q, struct color c = INK) {
    return dabs_of([&] {
        drawCurve4(a.x, a.y, a.s, b.x, b.y, b.s, p.x, p.y, p.s, q.x, q.y, q.s, c.r, c.g, c.b);
    });
}

// World reset and empty recordings before every paint test.
class PaintTest : public ::testing::Test {
  protected:
    void SetUp() override {
        reset_world_for_test();
        clear_records();
    }
};
