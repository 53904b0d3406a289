// What a turtle's trail paints: the brush dispatch over the history (which
// points, widths and colours at which stroke count), a whole stroke driven
// through the real pen and motion operations, and the line, point and fill
// modes.
#include <cmath>
#include <limits>

#include "recorder.h"

namespace {

// One frame's canvas pass as the window runs it: the frame's pen
// bookkeeping, then the marks the snapshot asks for.
static struct frame_snapshot snap;
void paint_frame() {
    world_update_frame(&snap);
    for (int t = 0; t < snap.ntmax; t++) paint_pen_marks(&snap.slot[t]);
}

// Trail point i of slot 0 with its paired width.
P trail(int i) { return {ttl[0].pos[i].x, ttl[0].pos[i].y, ttl[0].width[i + 1]}; }

// Slot 0 as a brush turtle with a gently bending trail and a distinct
// width and colour in every history slot.
void fill_trail_record(unsigned mode) {
    struct turtle& t = ttl[0];
    init_turtle(0, 0, 0, 0, 0);
    ntmax = 1;
    t.status = ST_ALIVE | ST_PEN_DOWN | mode;
    for (int i = 0; i < HISTORY; i++) {
        t.pos[i] = {100.0 - 20.0 * i, 4.0 * (i % 2) + 0.5 * i * i};
        t.width[i] = 1.0 + 0.5 * i;
        t.col[i] = {0.1 * i, 1.0 - 0.1 * i, 0.05 * i};
    }
}

bool same(const struct position& a, const struct position& b) { return a.x == b.x && a.y == b.y; }
bool same(const struct color& a, const struct color& b) {
    return a.r == b.r && a.g == b.g && a.b == b.b;
}

} // namespace

// ---------------------------------------------------------- brush dispatch

// Which painter the dispatch calls for each stroke count, with which trail
// points, widths (trail point i goes with width i + 1) and colour.
TEST_F(PaintTest, BrushDispatchOverTheHistory) {
    fill_trail_record(ST_BRUSH);
    const struct color c2 = ttl[0].col[2], c3 = ttl[0].col[3], c4 = ttl[0].col[4];
    const P t0 = trail(0), t1 = trail(1), t2 = trail(2), t3 = trail(3), t4 = trail(4);
    const std::vector<Dab> none, tail1 = line(t1, t0, 1, c2), tail2 = line2(t2, t1, t0, c3),
                                 tail3 = line3(t3, t2, t1, t0, c4);
    const struct {
        int last, nstroke;
        std::vector<Dab> want;
    } cases[] = {
        // pen down: the segment two moves back, once three points are known
        {0, 3, none}, {0, 4, curve3(t3, t2, t1, c4)}, {0, 5, curve4(t4, t3, t2, t1, c4)},
        {0, 9, curve4(t4, t3, t2, t1, c4)},
        // pen up: the tail for the stroke count, whatever non-zero flag
        {1, 0, tail1}, {1, 2, tail1}, {1, 3, tail2}, {1, 4, tail3}, {2, 7, tail3},
    };
    for (const auto& c : cases) {
        ttl[0].nstroke = c.nstroke;
        EXPECT_EQ(dabs_of([&] { paint_by_brush(&ttl[0], c.last); }), c.want)
            << "last " << c.last << ", nstroke " << c.nstroke;
        EXPECT_EQ(c.want.empty(), !c.last && c.nstroke < 4) << "a comparison of nothing";
    }
    // the first pen-down dab starts at pos[3] with width[4] and colour col[4]
    const Dab first = curve3(t3, t2, t1, c4).front();
    EXPECT_EQ(first, (Dab{ttl[0].pos[3].x, ttl[0].pos[3].y, ttl[0].width[4], c4.r, c4.g, c4.b}));
}

// The whole stroke: pen down at A, moves to B, C, D, E, pen up, with the
// width and colour changed before every move.
TEST_F(PaintTest, StrokeFromPenDownToPenUp) {
    const int tid = place_turtle(-40, -60, 0);
    ASSERT_EQ(tid, 0);
    const struct color cA{0.9, 0.1, 0.1}, cB{0.1, 0.9, 0.1}, cC{0.1, 0.1, 0.9},
        cD{0.5, 0.5, 0.0}, cE{0.0, 0.5, 0.5};
    const double wA = 2, wB = 3, wC = 1.5, wD = 2.5, wE = 4;
    turtle_set_brush(tid);
    turtle_line_width(tid, wA);
    turtle_set_color(tid, cA.r, cA.g, cA.b);
    turtle_pen_down(tid);
    EXPECT_TRUE(dabs_of([&] { paint_frame(); }).empty()); // nstroke 1: the point A
    const P A{ttl[tid].pos[0].x, ttl[tid].pos[0].y, wA};

    std::vector<Dab> got[4];
    P at[4];
    const struct color cols[4] = {cB, cC, cD, cE};
    const double ws[4] = {wB, wC, wD, wE};
    for (int k = 0; k < 4; k++) {
        turtle_set_color(tid, cols[k].r, cols[k].g, cols[k].b);
        turtle_line_width(tid, ws[k]);
        turtle_turn(tid, 20);
        ASSERT_EQ(turtle_step_forward(tid, 25), 0);
        at[k] = {ttl[tid].pos[0].x, ttl[tid].pos[0].y, ws[k]};
        got[k] = dabs_of([&] { paint_frame(); });
    }
    EXPECT_EQ(ttl[tid].nstroke, 5);
    const P &Bp = at[0], &Cp = at[1], &Dp = at[2], &Ep = at[3];
    EXPECT_TRUE(got[0].empty()); // at B, nstroke 2
    EXPECT_TRUE(got[1].empty()); // at C, nstroke 3
    ASSERT_FALSE(got[2].empty());
    EXPECT_EQ(got[2], curve3(A, Bp, Cp, cA));      // at D: A->B in A's colour
    EXPECT_EQ(got[3], curve4(A, Bp, Cp, Dp, cB));  // at E: B->C in B's colour

    turtle_pen_up(tid);
    auto tail = dabs_of([&] { paint_frame(); });
    EXPECT_EQ(tail, line3(Bp, Cp, Dp, Ep, cB)); // B->C again, C->D, D->E with the tail
    EXPECT_NEAR(tail.front().x, Bp.x, 1e-12);
    EXPECT_TRUE(ttl[tid].status & ST_PAINTED);
    EXPECT_FALSE(ttl[tid].status & ST_PEN_LIFTED);
    EXPECT_TRUE(dabs_of([&] { paint_frame(); }).empty()); // finished once only
}

// ------------------------------------------------- lines, points and fills

// The line runs over the newest move, shading the old colour to the new; a
// point marks only the newest position.
TEST_F(PaintTest, LineAndPointModesPaintTheNewestMove) {
    fill_trail_record(0);
    ttl[0].nstroke = 3;
    paint_line_and_fill_area(&ttl[0]);
    ASSERT_EQ(rec_lines.size(), 1u);
    const LineSeg& l = rec_lines[0];
    const struct turtle& t = ttl[0];
    EXPECT_TRUE(same({l.x0, l.y0}, t.pos[1]) && same({l.r0, l.g0, l.b0}, t.col[2]));
    EXPECT_TRUE(same({l.x1, l.y1}, t.pos[0]) && same({l.r1, l.g1, l.b1}, t.col[1]));
    EXPECT_EQ(l.width, t.width[1]);
    EXPECT_TRUE(rec_points.empty() && rec_polygons.empty() && rec_dabs.empty());

    fill_trail_record(ST_POINT);
    ttl[0].nstroke = 4;
    clear_records();
    paint_line_and_fill_area(&ttl[0]);
    ASSERT_EQ(rec_points.size(), 1u);
    const PointMark& p = rec_points[0];
    EXPECT_TRUE(same({p.x, p.y}, t.pos[0]) && same({p.r, p.g, p.b}, t.col[1]));
    EXPECT_EQ(p.size, t.width[1]);
    EXPECT_TRUE(rec_lines.empty() && rec_polygons.empty());
}

TEST_F(PaintTest, FillSpansUpToSixNewestPointsOldestFirst) {
    const struct {
        int nstroke;
        int vertices;
    } cases[] = {{1, 0}, {2, 3}, {3, 4}, {4, 5}, {5, 6}, {9, 6}};
    for (unsigned mode : {ST_FILL, ST_FILL | ST_POINT}) {
        for (const auto& c : cases) {
            fill_trail_record(mode);
            ttl[0].nstroke = c.nstroke;
            clear_records();
            paint_line_and_fill_area(&ttl[0]);
            EXPECT_TRUE(rec_lines.empty() && rec_points.empty() && rec_dabs.empty());
            if (c.vertices == 0) {
                EXPECT_TRUE(rec_polygons.empty());
                continue;
            }
            ASSERT_EQ(rec_polygons.size(), 1u) << c.nstroke;
            const PolygonMark& m = rec_polygons[0];
            ASSERT_EQ(m.pts.size(), static_cast<size_t>(c.vertices));
            ASSERT_EQ(m.cols.size(), static_cast<size_t>(c.vertices));
            for (int j = 0; j < c.vertices; j++) {
                const int i = c.vertices - 1 - j; // pos[k] .. pos[0]
                EXPECT_TRUE(same(m.pts[j], ttl[0].pos[i])) << c.nstroke << " vertex " << j;
                EXPECT_TRUE(same(m.cols[j], ttl[0].col[i + 1])) << c.nstroke << " vertex " << j;
            }
        }
    }
}

TEST_F(PaintTest, MarksFarOutAreNotHandedOn) {
    for (unsigned mode : {0u, ST_POINT, ST_FILL}) {
        fill_trail_record(mode);
        ttl[0].nstroke = 5;
        ttl[0].pos[0] = {1e300, 0};
        clear_records();
        paint_line_and_fill_area(&ttl[0]);
        EXPECT_TRUE(rec_lines.empty() && rec_points.empty() && rec_polygons.empty()) << mode;
    }
    fill_trail_record(0); // a point beyond the polygon's reach does not matter
    ttl[0].status |= ST_FILL;
    ttl[0].nstroke = 9;
    ttl[0].pos[6] = {-1e300, 1e300};
    paint_line_and_fill_area(&ttl[0]);
    EXPECT_EQ(rec_polygons.size(), 1u);
}
