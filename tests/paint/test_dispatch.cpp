// What a turtle's trail paints: the brush dispatch over the history, and the
// line, point and fill modes.

#include "recorder.h"

namespace {

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


// Which painter the dispatch calls for each stroke count, with which trail
// points, widths (trail point i goes with width i + 1) and colour.
TEST_F(PaintTest, BrushDispatchOverTheHistory) {
    fill_trail_record(ST_BRUSH);
    const struct color c2 = ttl[0].col[2], c3 = ttl[0].col[3], c4 = ttl[0].col[4];
    const P t0 = trail(0), t1 = trail(1), t2 = trail(2), t3 = trail(3), t4 = trail(4);
    const std::vector<Dab> none, tail1 = line(t1, t0, 1, c2), tail2 = line2(t2, t1, t0, c3),
                                 tail3 = line3(t3, t2, t1, t0, c4);
    const struct { int last, nstroke; std::vector<Dab> want; } cases[] = {
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
        int nstroke; int vertices;
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
