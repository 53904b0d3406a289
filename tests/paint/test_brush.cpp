// Brush strokes: dab runs, thickness profiles, style choice, the finishing
// strokes and the curves, read back through the recording paint_Ten.
#include <cmath>
#include <functional>
#include <limits>
#include <random>

#include "recorder.h"

namespace {

constexpr double R = 0.1, G = 0.2, B = 0.3;
constexpr double PI = 3.141592653589793;

struct P {
    double x, y, s;
};

// The point `len` units from p along heading `deg`, with width s.
P toward(P p, double len, double deg, double s) {
    return {p.x + len * std::cos(deg * PI / 180.0), p.y + len * std::sin(deg * PI / 180.0), s};
}

std::vector<Dab> line(P a, P b, int last) {
    return dabs_of([&] { brushLine(a.x, a.y, a.s, b.x, b.y, b.s, R, G, B, last); });
}
std::vector<Dab> line2(P a, P b, P c) {
    return dabs_of([&] { brushLine2(a.x, a.y, a.s, b.x, b.y, b.s, c.x, c.y, c.s, R, G, B); });
}
std::vector<Dab> line3(P a, P b, P c, P d) {
    return dabs_of([&] {
        brushLine3(a.x, a.y, a.s, b.x, b.y, b.s, c.x, c.y, c.s, d.x, d.y, d.s, R, G, B);
    });
}
std::vector<Dab> curve3(P a, P b, P c) {
    return dabs_of([&] { drawCurve3(a.x, a.y, a.s, b.x, b.y, b.s, c.x, c.y, c.s, R, G, B); });
}
std::vector<Dab> curve3last(P a, P b, P c) {
    return dabs_of(
        [&] { drawCurve3asLastStroke(a.x, a.y, a.s, b.x, b.y, b.s, c.x, c.y, c.s, R, G, B); });
}
std::vector<Dab> curve4(P a, P b, P c, P d) {
    return dabs_of([&] {
        drawCurve4(a.x, a.y, a.s, b.x, b.y, b.s, c.x, c.y, c.s, d.x, d.y, d.s, R, G, B);
    });
}
std::vector<Dab> one_dab(P p) { return {{p.x, p.y, p.s, R, G, B}}; }

// Heading in degrees from dab a to dab b.
double heading(const Dab& a, const Dab& b) {
    return std::atan2(b.y - a.y, b.x - a.x) * 180.0 / PI;
}

// A straight 30-unit run of width 1 takes the full 512 steps, so dab k lies
// exactly at t = k/512: the size of every dab is the profile itself.
void expect_profile(double deg, int last, const std::function<double(double)>& factor) {
    const P a{0, 0, 1};
    auto d = line(a, toward(a, 30, deg, 1), last);
    ASSERT_EQ(d.size(), 513u);
    for (size_t k = 0; k < d.size(); k++)
        ASSERT_NEAR(d[k].size, factor(k / 512.0), 1e-12) << "dab " << k << " heading " << deg;
}

} // namespace

// --------------------------------------------------------------- dab runs

TEST_F(PaintTest, LongRunIsCappedAt512StepsWithDabsAtBothEnds) {
    auto d = line({0, 0, 1}, {30, 0, 1}, 0); // 595 steps wanted, 512 taken
    ASSERT_EQ(d.size(), 513u);
    EXPECT_EQ(d.front().x, 0.0);
    EXPECT_EQ(d.back().x, 30.0);
    EXPECT_NEAR(d[1].x - d[0].x, 30.0 / 512, 1e-12);
    for (const auto& x : d) {
        EXPECT_EQ(x.y, 0.0);
        EXPECT_EQ(x.r, R);
        EXPECT_EQ(x.g, G);
        EXPECT_EQ(x.b, B);
    }
}

TEST_F(PaintTest, TenStepsGiveElevenDabsTheLastJustShortOfTheEnd) {
    // spacing (2.39 + 0.01) / 20 = 0.12; 1.14 / 0.12 = 9.5 -> n = 10
    auto d = line({0, 0, 2.39}, {1.14, 0, 2.39}, 0);
    ASSERT_EQ(d.size(), 11u);
    EXPECT_LE(d.back().x, 1.14);
    EXPECT_NEAR(d.back().x, 1.14, 1e-12);
    for (const auto& x : d) EXPECT_DOUBLE_EQ(x.size, 2.39); // under four widths: plain style
}

TEST_F(PaintTest, NineStepsGiveNineDabsNoneAtTheEnd) {
    // spacing 0.13; 1.15 / 0.13 = 8.8 -> n = 9
    auto d = line({0, 0, 2.59}, {1.15, 0, 2.59}, 0);
    ASSERT_EQ(d.size(), 9u);
    EXPECT_NEAR(d.back().x, 1.15 * 8 / 9, 1e-12);
}

TEST_F(PaintTest, SegmentShorterThanOnePointOneIsOneDabAtItsStart) {
    EXPECT_EQ(line({3, 4, 5}, {3.7, 4.7, 9}, 0), one_dab({3, 4, 5}));
    EXPECT_EQ(line({3, 4, 5}, {3.7, 4.7, 9}, 1), one_dab({3, 4, 5})); // no taper either
    EXPECT_EQ(line({3, 4, 5}, {3, 4, 9}, 1), one_dab({3, 4, 5}));
    EXPECT_EQ(line({3, 4, 5}, {4.09, 4, 9}, 0), one_dab({3, 4, 5}));
    EXPECT_GT(line({3, 4, 5}, {4.11, 4, 9}, 0).size(), 1u);
}

TEST_F(PaintTest, WidthsBlendAlongTheRunAndColoursPassUnchanged) {
    // heading -90: style 0, so the size is the plain blend of the widths
    auto d = dabs_of([] { brushLine(0, 0, 0.5, 0, -30, 4.5, -0.5, 2.0, 0.25, 0); });
    ASSERT_EQ(d.size(), 513u);
    EXPECT_DOUBLE_EQ(d[0].size, 0.5);
    EXPECT_DOUBLE_EQ(d[256].size, 2.5);
    EXPECT_DOUBLE_EQ(d[512].size, 4.5);
    EXPECT_DOUBLE_EQ(d[512].y, -30);
    EXPECT_EQ(d[100].r, -0.5);
    EXPECT_EQ(d[100].g, 2.0);
    EXPECT_EQ(d[100].b, 0.25);
}

TEST_F(PaintTest, ZeroAndNegativeWidthsStillGiveFiniteBoundedRuns) {
    auto d = line({0, 0, 0}, {10, 0, 0}, 1);
    ASSERT_EQ(d.size(), 513u); // spacing 0.0005: the cap
    for (const auto& x : d) EXPECT_EQ(x.size, 0.0);
    d = line({0, 0, -6.34}, {0, 10, -6.34}, 0); // spacing from |s|: 10 / 0.3175 -> 32 steps
    ASSERT_EQ(d.size(), 33u);
    EXPECT_EQ(d.back().y, 10.0);
    for (const auto& x : d) EXPECT_DOUBLE_EQ(x.size, -6.34);
    d = line({0, 0, 1e9}, {10, 0, 1e9}, 0); // one huge dab at each end
    ASSERT_EQ(d.size(), 2u);
    EXPECT_EQ(d[0].size, 1e9);
    EXPECT_EQ(d[1].x, 10.0);
}

// ----------------------------------------------------- thickness profiles

TEST_F(PaintTest, EveryProfileOverItsWholeRun) {
    expect_profile(-10, 0, [](double) { return 1.0; });                  // 0
    expect_profile(10, 0, [](double t) { return 1 - (t + 0.2) * 0.7 * (1 - t); }); // 1
    expect_profile(45, 1, [](double t) { return 1 - std::sqrt(t); });    // 2
    expect_profile(120, 1, [](double t) { return 1 - std::sqrt(t); });   // 3
    expect_profile(-30, 1, [](double t) { return 1 - t; });              // 4
    expect_profile(-100, 1, [](double t) { return 1 - std::pow(t, 1.5); }); // 5
    expect_profile(10, 1, [](double t) { return 1 - t; });               // 7
}

TEST_F(PaintTest, LongNonFinalRunNarrowsToPoint748AtTwoFifths) {
    const P a{0, 0, 1};
    auto d = line(a, toward(a, 30, 10, 1), 0);
    ASSERT_EQ(d.size(), 513u);
    EXPECT_DOUBLE_EQ(d.front().size, 0.86);
    EXPECT_DOUBLE_EQ(d.back().size, 1.0);
    size_t kmin = 0;
    for (size_t k = 0; k < d.size(); k++)
        if (d[k].size < d[kmin].size) kmin = k;
    EXPECT_NEAR(d[kmin].size, 0.748, 1e-5);
    EXPECT_NEAR(kmin / 512.0, 0.4, 1.0 / 512);
}

// ------------------------------------------------------------ style choice

TEST_F(PaintTest, FinalStyleFollowsTheHeadingAlone) {
    const struct {
        double angle;
        int style;
    } cases[] = {{0, 7},   {29.999, 7}, {30, 2},     {89.999, 2}, {90, 3},    {180, 3},
                 {-0.001, 4}, {-79.999, 4}, {-80, 5}, {-180, 5}};
    for (const auto& c : cases) {
        EXPECT_EQ(strokeStyle(100, 1, c.angle, 1), c.style) << c.angle;
        EXPECT_EQ(strokeStyle(0.5, 50, c.angle, 1), c.style) << c.angle; // length plays no part
    }
}

TEST_F(PaintTest, NonFinalStyleNeedsMoreThanFourWidthsHeadingZeroToThirty) {
    EXPECT_EQ(strokeStyle(30, 1, 0, 0), 1);
    EXPECT_EQ(strokeStyle(30, 1, 29.9, 0), 1);
    EXPECT_EQ(strokeStyle(30, 1, 30, 0), 0);
    EXPECT_EQ(strokeStyle(30, 1, -10, 0), 0);
    EXPECT_EQ(strokeStyle(30, 1, 120, 0), 0);
    EXPECT_EQ(strokeStyle(4, 1, 10, 0), 0); // exactly four widths is not enough
    EXPECT_EQ(strokeStyle(4.01, 1, 10, 0), 1);
    EXPECT_EQ(strokeStyle(30, 0, 10, 0), 1);  // zero width: every length is long
    EXPECT_EQ(strokeStyle(30, -1, 10, 0), 0); // negative width: ratio below four
}

// -------------------------------------------------- three-point finishing

TEST_F(PaintTest, TailWithShortLastSegmentIsALineAndADab) {
    const P p0{0, 0, 2}, p1{10, 0, 3}, p2{10.5, 0.5, 7};
    EXPECT_EQ(line2(p0, p1, p2), line(p0, p1, 0) + one_dab(p2));
}

TEST_F(PaintTest, TailWithShortFirstSegmentIsADabAndATaperedLine) {
    const P p0{0, 0, 2}, p1{0.5, 0.5, 3}, p2{10, 5, 4};
    EXPECT_EQ(line2(p0, p1, p2), one_dab(p0) + line(p1, p2, 1));
}

TEST_F(PaintTest, TailAroundASharpCornerIsTwoStraightRuns) {
    const P p0{0, 0, 2}, p1{10, 0, 3}, p2{10, -10, 4}; // 90 degrees, heading -90 (style 5)
    EXPECT_EQ(line2(p0, p1, p2), line(p0, p1, 0) + line(p1, p2, 1));
}

TEST_F(PaintTest, TailEndingUpwardsIsTwoStraightRuns) {
    const P p0{0, 0, 2}, p1{10, 0, 3};
    const P p2 = toward(p1, 10, 45, 4); // gentle 45-degree turn, style 2
    EXPECT_EQ(line2(p0, p1, p2), line(p0, p1, 0) + line(p1, p2, 1));
    const P q2 = toward(p1, 10, 100, 4); // style 3, but sharper than 60 degrees anyway
    EXPECT_EQ(line2(p0, p1, q2), line(p0, p1, 0) + line(p1, q2, 1));
}

TEST_F(PaintTest, TailFallingGentlyEndsWithTheUpwardFlick) {
    const P p0{0, 0, 1}, p1{20, 0, 1};
    const P p2 = toward(p1, 20, -30, 1);
    auto d = line2(p0, p1, p2); // 40 units at width 1: 512 steps, t exact
    ASSERT_EQ(d.size(), 513u);
    EXPECT_EQ(d.front(), (Dab{0, 0, 1, R, G, B}));
    // swells to nearly e^0.85 just before the middle, then drops to about 2.22
    EXPECT_NEAR(d[255].size, std::exp(1.7 * 255 / 512), 1e-12);
    EXPECT_GT(d[255].size, 2.3);
    EXPECT_NEAR(d[256].size, (1 - std::pow(0.5, 1.3)) * std::exp(0.85) * 1.6, 1e-12);
    EXPECT_NEAR(d[256].size, 2.2231, 1e-4);
    // thins to a point, its end lifted one width above P2
    EXPECT_NEAR(d.back().size, 0.0, 1e-12);
    EXPECT_NEAR(d.back().x, p2.x, 1e-12);
    EXPECT_NEAR(d.back().y, p2.y + 1.0, 1e-12);
    // a 57-degree turn is still gentle enough for the curve
    const P q2 = toward(p1, 20, -57, 1);
    d = line2(p0, p1, q2);
    ASSERT_EQ(d.size(), 513u);
    EXPECT_NEAR(d.back().y, q2.y + 1.0, 1e-12);
    // on its own brushLine tapers the same heading linearly
    auto straight = line(p1, toward(p1, 30, -30, 1), 1);
    ASSERT_EQ(straight.size(), 513u);
    EXPECT_NEAR(straight[256].size, 0.5, 1e-12);
}

TEST_F(PaintTest, TailCurvesThroughTheMiddlePointWithoutLift) {
    const P p0{0, 0, 1}, p1{20, 0, 1};
    const P p2 = toward(p1, 20, 10, 1); // style 7, no flick
    auto d = line2(p0, p1, p2);
    ASSERT_EQ(d.size(), 513u);
    EXPECT_NEAR(d[256].size, 0.5, 1e-12);
    EXPECT_NEAR(d.back().x, p2.x, 1e-12);
    EXPECT_NEAR(d.back().y, p2.y, 1e-12);
    // the quadratic curve with control point P1, not the two chords
    EXPECT_NEAR(d[256].x, 0.25 * p0.x + 0.5 * p1.x + 0.25 * p2.x, 1e-12);
    EXPECT_NEAR(d[256].y, 0.25 * p0.y + 0.5 * p1.y + 0.25 * p2.y, 1e-12);

    const P q0{0, 0, 1}, q1 = toward(q0, 20, -60, 1), q2 = toward(q1, 20, -100, 1); // style 5
    d = line2(q0, q1, q2);
    ASSERT_EQ(d.size(), 513u);
    EXPECT_NEAR(d[256].size, 1 - std::pow(0.5, 1.5), 1e-12);
}

// --------------------------------------------------- four-point finishing

TEST_F(PaintTest, FourPointTailRepaintsTheFirstSegmentThenHandsOver) {
    const P a{0, 0, 1}, b{20, 0, 2}, c{40, -5, 3}, d{60, -12, 4};
    // gentle all the way, ending at -19 degrees: the last two go to brushLine2
    EXPECT_EQ(line3(a, b, c, d), curve3(a, b, c) + line2(b, c, d));
    // sharp final corner
    const P c3{40, 0, 3}, d3 = toward(c3, 20, -57, 4); // 57 degrees: still gentle
    EXPECT_EQ(line3(a, b, c3, d3), curve3(a, b, c3) + line2(b, c3, d3));
    const P e{40, -25, 4};
    EXPECT_EQ(line3(a, b, c, e), curve3(a, b, c) + curve3last(a, b, c) + line(c, e, 1));
    // upward ending after a gentle 45-degree turn: style 2
    const P c2{40, 0, 3}, e2 = toward(c2, 20, 45, 4);
    EXPECT_EQ(line3(a, b, c2, e2), curve3(a, b, c2) + curve3last(a, b, c2) + line(c2, e2, 1));
}

TEST_F(PaintTest, FourPointTailWithShortSegments) {
    const P a{0, 0, 1}, b{20, 0, 2}, c{40, -5, 3};
    const P d{41.05, -5, 9};
    EXPECT_EQ(line3(a, b, c, d), curve3(a, b, c) + curve3last(a, b, c) + one_dab(d));
    const P c2{20.5, 0.5, 3}, d2 = toward(c2, 20, 45, 4);
    EXPECT_EQ(line3(a, b, c2, d2), curve3(a, b, c2) + one_dab(b) + line(c2, d2, 1));
}

// ------------------------------------------------------------------ curves

TEST_F(PaintTest, InnerCurveArrivesHeadingWhereTheTrailGoes) {
    const P p0{0, 0, 2}, p1{30, 0, 4}, p2{40, 10, 9};
    auto d = curve3(p0, p1, p2); // 30 units at width 2: 297 steps
    ASSERT_GE(d.size(), 297u);
    EXPECT_EQ(d.front(), (Dab{0, 0, 2, R, G, B}));
    EXPECT_NEAR(d.back().x, p1.x, 0.2);
    EXPECT_NEAR(heading(d[d.size() - 2], d.back()), 45.0, 1.0);
    double ymin = 0;
    for (const auto& x : d) ymin = std::min(ymin, x.y);
    // control point a quarter of the segment (7.5) back from P1 along P1->P2:
    // (24.70, -5.30); the curve's lowest point is half its depth
    EXPECT_NEAR(ymin, -7.5 / std::sqrt(2.0) / 2, 1e-3);
    for (const auto& x : d) EXPECT_LE(x.size, 4.0 + 1e-12); // s0 -> s1, s2 plays no part
}

TEST_F(PaintTest, InnerCurveIsStraightForCollinearOrSharpOrDegenerateTurns) {
    const P p0{0, 0, 1}, p1{30, 0, 1};
    auto d = curve3(p0, p1, {60, 0, 1});
    ASSERT_EQ(d.size(), 513u);
    for (size_t k = 0; k < d.size(); k++) {
        EXPECT_NEAR(d[k].x, 30.0 * k / 512, 1e-9);
        EXPECT_EQ(d[k].y, 0.0);
    }
    EXPECT_EQ(curve3(p0, p1, {30, 20, 1}), line(p0, p1, 0));  // 90 degrees
    EXPECT_EQ(curve3(p0, p1, {30, 0, 5}), line(p0, p1, 0));   // P1 == P2
    EXPECT_EQ(curve3(p1, p1, {50, 0, 5}), one_dab(p1));       // P0 == P1
    EXPECT_EQ(curve3(p0, p1, toward(p1, 20, 75, 1)), line(p0, p1, 0)); // sharper than 72.5
    EXPECT_NE(curve3(p0, p1, toward(p1, 20, 70, 1)), line(p0, p1, 0));
    // a turn of a few degrees counts as straight; ten degrees already bends
    for (const auto& x : curve3(p0, p1, toward(p1, 20, 4, 1))) EXPECT_EQ(x.y, 0.0);
    double ymin = 0;
    for (const auto& x : curve3(p0, p1, toward(p1, 20, 10, 1))) ymin = std::min(ymin, x.y);
    EXPECT_LT(ymin, -0.3);
}

TEST_F(PaintTest, LastCurveOfCollinearPointsRunsBackAnEighthFirst) {
    const P p0{0, 0, 4}, p1{10, 0, 2}, p2{20, 0, 6};
    auto d = curve3last(p0, p1, p2); // 10 units at width 2: 100 steps
    ASSERT_GE(d.size(), 100u);
    EXPECT_EQ(d.front(), (Dab{10, 0, 2, R, G, B}));
    double xmin = 1e9;
    for (const auto& x : d) xmin = std::min(xmin, x.x);
    EXPECT_NEAR(xmin, 8.75, 1e-3);
    // widths s1, (s0 + s1) / 2, s2: 3.5 half-way (not 4)
    EXPECT_NEAR(d[50].size, 3.5, 1e-9);
}

TEST_F(PaintTest, LastCurveLeavesTheWayTheTrailArrived) {
    const P p0{0, 0, 1}, p1{30, 0, 1}, p2 = toward(p1, 30, 40, 1);
    auto d = curve3last(p0, p1, p2);
    ASSERT_EQ(d.size(), 513u);
    EXPECT_NEAR(heading(d[0], d[1]), 0.0, 1.0);
    EXPECT_NEAR(d.back().x, p2.x, 1e-9);
    EXPECT_NEAR(d.back().y, p2.y, 1e-9);
    // sharp, or no previous segment: straight, untapered
    EXPECT_EQ(curve3last(p0, p1, {30, 30, 1}), line(p1, {30, 30, 1}, 0));
    EXPECT_EQ(curve3last(p1, p1, p2), line(p1, p2, 0));
}

TEST_F(PaintTest, MiddleCurveIsTangentToBothNeighbourChords) {
    const P p0{0, 0, 7}, p1{20, 0, 0.5}, p2{40, 4, 1.5}, p3{60, 12, 8};
    auto d = curve4(p0, p1, p2, p3); // 20.4 units at width 0.5: 512 steps
    ASSERT_EQ(d.size(), 513u);
    EXPECT_NEAR(d.front().x, p1.x, 1e-12);
    EXPECT_NEAR(d.back().x, p2.x, 1e-9);
    EXPECT_NEAR(d.back().y, p2.y, 1e-9);
    // leaves P1 along P2 - P0 and arrives at P2 along P3 - P1
    EXPECT_NEAR(heading(d[0], d[1]), std::atan2(4.0, 40.0) * 180 / PI, 0.5);
    EXPECT_NEAR(heading(d[511], d[512]), std::atan2(12.0, 40.0) * 180 / PI, 0.5);
    EXPECT_NEAR(d[256].size, 1.0, 1e-12); // widths s1 .. s2, s0 and s3 unused
    EXPECT_EQ(d, curve4({0, 0, 99}, p1, p2, {60, 12, 99}));
}

TEST_F(PaintTest, MiddleCurveHandsOverAtSharpCorners) {
    const P p0{0, 0, 1}, p1{20, 0, 2}, p2{20, 20, 3}, p3{30, 35, 4};
    EXPECT_EQ(curve4(p0, p1, p2, p3), curve3(p1, p2, p3)); // 90 degrees at P1
    const P r3 = toward(p2, 20, 110, 4);
    const P r2 = toward(p1, 20, 86, 3); // 86 degrees at P1
    EXPECT_EQ(curve4(p0, p1, r2, r3), curve3(p1, r2, r3));
    const P q0{0, 0, 1}, q1{20, 0, 2}, q2{40, 3, 3}, q3{38, 30, 4};
    EXPECT_EQ(curve4(q0, q1, q2, q3), line(q1, q2, 0)); // about 86 degrees at P2
}

TEST_F(PaintTest, MiddleCurveIsStraightForCollinearParallelOrDegenerateNeighbours) {
    const P p0{0, 0, 1}, p1{20, 0, 1}, p2{50, 0, 1}, p3{60, 0, 1};
    auto d = curve4(p0, p1, p2, p3);
    ASSERT_EQ(d.size(), 513u);
    for (size_t k = 0; k < d.size(); k++) EXPECT_NEAR(d[k].x, 20 + 30.0 * k / 512, 1e-9);
    // neighbours within a few degrees of each other: the chord P1 P2 itself
    const P n0{0, 0, 1}, n1{20, 0, 1}, n2{40, 2, 1}, n3 = toward(n2, 20, 4, 1);
    for (const auto& x : curve4(n0, n1, n2, n3))
        EXPECT_NEAR((x.x - n1.x) * (n2.y - n1.y) - (x.y - n1.y) * (n2.x - n1.x), 0.0, 1e-9);
    // chords P2 - P0 and P3 - P1 parallel while the neighbours are not
    const P q0{-5, -5, 1}, q1{0, 0, 2}, q2{10, 0, 3}, q3{30, 10, 4};
    EXPECT_EQ(curve4(q0, q1, q2, q3), line(q1, q2, 0));
    EXPECT_EQ(curve4(q1, q1, q2, q3), line(q1, q2, 0)); // P0 == P1
    EXPECT_EQ(curve4(q0, q1, q2, q2), line(q1, q2, 0)); // P2 == P3
}

// ------------------------------------------------------------ bad input

TEST_F(PaintTest, NonFiniteInputsPaintNothing) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_TRUE(line({nan, 0, 1}, {10, 0, 1}, 0).empty());
    EXPECT_TRUE(line({0, 0, nan}, {10, 0, 1}, 1).empty());
    EXPECT_TRUE(line({0, 0, 1}, {10, 0, inf}, 0).empty());
    EXPECT_TRUE(line({0, 0, nan}, {0.5, 0, 1}, 0).empty()); // the single dab too
    EXPECT_TRUE(line({-1e308, 0, 1}, {1e308, 0, 1}, 0).empty()); // length overflows
    // a neighbour that cannot be measured leaves the segment straight
    EXPECT_EQ(curve3({0, 0, 1}, {10, 0, 1}, {20, nan, 1}), line({0, 0, 1}, {10, 0, 1}, 0));
    EXPECT_TRUE(curve4({0, 0, 1}, {10, 0, 1}, {20, inf, 1}, {30, 0, 1}).empty());
}

TEST_F(PaintTest, HugeFiniteRunKeepsOnlyDabsThatCanShow) {
    auto d = line({0, 0, 1}, {1e300, 1e300, 1}, 0);
    EXPECT_EQ(d, one_dab({0, 0, 1}));
}

// Random trails mixing sane points with absurd ones: whatever the painter,
// a call stays within its dab budget and hands only finite, bounded dabs on.
TEST_F(PaintTest, AbsurdTrailsStayFiniteAndBounded) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const double coords[] = {0, 3, -7, 25, 1e6, -1e17, 1e19, 1e300, -1e308, 1e308, nan, inf, -inf};
    const double widths[] = {1, 0, -3, 0.001, 1e9, 1e300, nan, inf};
    std::mt19937 rng(7);
    auto pick_c = [&] {
        const int nc = static_cast<int>(std::size(coords));
        std::uniform_int_distribution<int> u(0, 2 * nc - 1);
        const int i = u(rng); // half the picks are ordinary coordinates
        return i < nc ? coords[i] : (i % 40) * 3.3 - 60;
    };
    auto pick_w = [&] {
        std::uniform_int_distribution<int> u(0, static_cast<int>(std::size(widths)) - 1);
        return widths[u(rng)];
    };
    auto pick = [&] { return P{pick_c(), pick_c(), pick_w()}; };
    for (int iter = 0; iter < 3000; iter++) {
        const P a = pick(), b = pick(), c = pick(), d = pick();
        const std::vector<Dab> runs[] = {line(a, b, iter & 1), line2(a, b, c), line3(a, b, c, d),
                                         curve3(a, b, c), curve3last(a, b, c), curve4(a, b, c, d)};
        const size_t budget[] = {513, 2 * 513, 3 * 513, 513, 513, 513};
        for (int k = 0; k < 6; k++) {
            ASSERT_LE(runs[k].size(), budget[k]) << "painter " << k << " iteration " << iter;
            for (const auto& x : runs[k]) {
                ASSERT_TRUE(std::isfinite(x.x) && std::isfinite(x.y) && std::isfinite(x.size));
                ASSERT_LE(std::fabs(x.x), 1e18);
                ASSERT_LE(std::fabs(x.y), 1e18);
                ASSERT_LE(std::fabs(x.size), 1e18);
            }
        }
    }
}
