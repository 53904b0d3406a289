// Brush strokes: dab runs, style choice, the finishing strokes and the
// curves, read back through the recording paint_Ten.
#include <cmath>
#include <random>

#include "recorder.h"

namespace {

constexpr double R = INK.r, G = INK.g, B = INK.b;
constexpr double PI = 3.141592653589793;

// The point `len` units from p along heading `deg`, with width s.
P toward(P p, double len, double deg, double s) {
    return {p.x + len * std::cos(deg * PI / 180.0), p.y + len * std::sin(deg * PI / 180.0), s};
}

std::vector<Dab> one_dab(P p) { return {{p.x, p.y, p.s, R, G, B}}; }

} // namespace

TEST_F(PaintTest, RunsOfDabsFromStartToEnd) {
    auto d = line({0, 0, 1}, {30, 0, 1}, 0); // 595 steps wanted, 512 taken
    ASSERT_EQ(d.size(), 513u);
    EXPECT_TRUE(d.front().x == 0.0 && d.back().x == 30.0);
    for (const auto& x : d) ASSERT_TRUE(x.y == 0.0 && x.r == R && x.g == G && x.b == B);
    // spacing (2.59 + 0.01) / 20 = 0.13; 1.15 / 0.13 = 8.8 -> n = 9: nine dabs, none at the end
    d = line({0, 0, 2.59}, {1.15, 0, 2.59}, 0);
    ASSERT_EQ(d.size(), 9u);
    EXPECT_NEAR(d.back().x, 1.15 * 8 / 9, 1e-12);
    for (const auto& x : d) EXPECT_DOUBLE_EQ(x.size, 2.59); // under four widths: plain style
}



TEST_F(PaintTest, StyleChoice) {
    // the final style follows the heading alone: length plays no part
    const struct {
        double angle; int style;
    } finals[] = {{0, 7},      {29.999, 7},  {30, 2},   {89.999, 2}, {90, 3},
                  {180, 3},    {-0.001, 4},  {-79.999, 4}, {-80, 5}, {-180, 5}};
    for (const auto& c : finals) {
        EXPECT_EQ(strokeStyle(100, 1, c.angle, 1), c.style) << c.angle;
        EXPECT_EQ(strokeStyle(0.5, 50, c.angle, 1), c.style) << c.angle;
    }
    // not final: style 1 needs more than four widths and a heading in [0, 30)
    const struct { double len, width, angle; int style; } others[] = {
        {30, 1, 0, 1},    {30, 1, 29.9, 1}, {30, 1, 30, 0},  {30, 1, -10, 0}, {30, 1, 120, 0},
        {4, 1, 10, 0},    {4.01, 1, 10, 1},                   // exactly four widths is not enough
        {30, 0, 10, 1},   {30, -1, 10, 0},                    // zero width: every length is long
    };
    for (const auto& c : others)
        EXPECT_EQ(strokeStyle(c.len, c.width, c.angle, 0), c.style)
            << c.len << " " << c.width << " " << c.angle;
}


// Where a painter hands over to others, or draws a straight segment, it
// paints exactly what those paint, dab for dab.
TEST_F(PaintTest, PaintersHandOverDabForDab) {
    const P o{3, 4, 5}, a{0, 0, 1}, b{20, 0, 2}, c{40, -5, 3}, c2{20.5, 0.5, 3};
    const P q0{0, 0, 2}, q1{10, 0, 3}, l0{0, 0, 1}, l1{30, 0, 1};
    const P m0{0, 0, 1}, m1{20, 0, 2}, m2{20, 20, 3}, m3{30, 35, 4}, m4{40, 3, 3};
    const P s0{-5, -5, 1}, s1{0, 0, 2}, s2{10, 0, 3}, s3{30, 10, 4};
    const P q2{10.5, 0.5, 7}, h1{0.5, 0.5, 3}, h2{10, 5, 4}, qc{10, -10, 4};
    const P u45 = toward(q1, 10, 45, 4), d19{60, -12, 4}, e{40, -25, 4};
    const P d1{41.05, -5, 9}, f45 = toward(c2, 20, 45, 4), g40 = toward(l1, 30, 40, 1);
    const struct { const char* what; std::vector<Dab> got, want; } cases[] = {
        // a segment shorter than 1.1 is one dab at its start, untapered
        {"1.09 long", line(o, {4.09, 4, 9}, 0), one_dab(o)},
        {"huge finite run keeps the dabs that can show", line(l0, {1e300, 1e300, 1}, 0), one_dab(l0)},
        // the three-point tail
        {"tail with a short last segment", line2(q0, q1, q2), line(q0, q1, 0) + one_dab(q2)},
        {"tail with a short first segment", line2(q0, h1, h2), one_dab(q0) + line(h1, h2, 1)},
        {"tail round a sharp corner", line2(q0, q1, qc), line(q0, q1, 0) + line(q1, qc, 1)},
        {"tail ending upwards after 45", line2(q0, q1, u45), line(q0, q1, 0) + line(q1, u45, 1)},
        // the four-point tail repaints the first segment, then hands over
        {"gentle, ending at -19 degrees", line3(a, b, c, d19), curve3(a, b, c) + line2(b, c, d19)},
        {"sharp final corner", line3(a, b, c, e),
         curve3(a, b, c) + curve3last(a, b, c) + line(c, e, 1)},
        {"short last segment of four", line3(a, b, c, d1),
         curve3(a, b, c) + curve3last(a, b, c) + one_dab(d1)},
        {"short middle segment of four", line3(a, b, c2, f45),
         curve3(a, b, c2) + one_dab(b) + line(c2, f45, 1)},
        // the inner curve is straight for sharp or degenerate turns
        {"inner, 90 degrees", curve3(l0, l1, {30, 20, 1}), line(l0, l1, 0)},
        {"inner, P0 == P1", curve3(l1, l1, {50, 0, 5}), one_dab(l1)},
        {"inner, sharper than 72.5", curve3(l0, l1, toward(l1, 20, 75, 1)), line(l0, l1, 0)},
        // the last curve: sharp, or no previous segment: straight, untapered
        {"last, sharp", curve3last(l0, l1, {30, 30, 1}), line(l1, {30, 30, 1}, 0)},
        {"last, P0 == P1", curve3last(l1, l1, g40), line(l1, g40, 0)},
        // the middle curve hands over at sharp corners, and is straight
        // when the chords P2 - P0 and P3 - P1 are parallel
        {"middle, 90 degrees at P1", curve4(m0, m1, m2, m3), curve3(m1, m2, m3)},
        {"middle, 86 degrees at P2", curve4(m0, m1, m4, {38, 30, 4}), line(m1, m4, 0)},
        {"middle, parallel chords", curve4(s0, s1, s2, s3), line(s1, s2, 0)},
        {"middle, outer widths unused", curve4({0, 0, 99}, {20, 0, 0.5}, {40, 4, 1.5}, {60, 12, 99}),
         curve4({0, 0, 7}, {20, 0, 0.5}, {40, 4, 1.5}, {60, 12, 8})},
    };
    for (const auto& k : cases) {
        ASSERT_FALSE(k.want.empty()) << k.what;
        EXPECT_EQ(k.got, k.want) << k.what;
    }
    EXPECT_NE(curve3(l0, l1, toward(l1, 20, 70, 1)), line(l0, l1, 0)) << "70 degrees still bends";
    EXPECT_GT(line(o, {4.11, 4, 9}, 0).size(), 1u) << "1.11 long is a run";
}


// Random trails mixing sane points with absurd ones (points within a
// billion units and widths within a million, as the world and the command
// language keep them): whatever the painter, a call stays within its dab
// budget and hands only finite dabs near the field on.
TEST_F(PaintTest, AbsurdTrailsStayFiniteAndBounded) {
    const double coords[] = {0, 3, -7, 25, 1e6, -1e9, 1e9, 999999999.5, -3e8, 12.5, -40, 77};
    const double widths[] = {1, 0, -3, 0.001, 1e6, -1e6};
    std::mt19937 rng(7);
    auto pick = [&] { return P{coords[rng() % 12], coords[rng() % 12], widths[rng() % 6]}; };
    for (int iter = 0; iter < 3000; iter++) {
        const P a = pick(), b = pick(), c = pick(), d = pick();
        const std::vector<Dab> runs[] = {line(a, b, iter & 1), line2(a, b, c), line3(a, b, c, d),
                                         curve3(a, b, c), curve3last(a, b, c), curve4(a, b, c, d)};
        const size_t budget[] = {513, 2 * 513, 3 * 513, 513, 513, 513};
        for (int k = 0; k < 6; k++) {
            ASSERT_LE(runs[k].size(), budget[k]) << "painter " << k << " iteration " << iter;
            for (const auto& x : runs[k])
                ASSERT_TRUE(std::isfinite(x.size) && std::fabs(x.x) <= PAINT_REACH &&
                            std::fabs(x.y) <= PAINT_REACH && std::fabs(x.size) <= 4e6);
        }
    }
}
