// Geometry primitives: rays, segments and the disk-against-wall distance
// that every collision and sensor rests on.
#include <cmath>

#include "world_fixture.h"

TEST(Geometry, HalflineMeasuresPerpendicularAndRefusesPointsBehind) {
    double fx, fy, d;
    dist_halfline_to_point(0, 0, 10, 0, 5, 3, &fx, &fy, &d);
    EXPECT_TRUE(fx == 5 && fy == 0 && d == 3) << fx << " " << fy << " " << d;
    // behind the start: FAR, but the foot is still written
    dist_halfline_to_point(0, 0, 10, 0, -4, 2, &fx, &fy, &d);
    EXPECT_TRUE(fx == -4 && fy == 0 && d == FAR) << fx << " " << fy << " " << d;
    // a degenerate ray is a point: distance from its start
    dist_halfline_to_point(1, 1, 1.001, 1, 4, 5, &fx, &fy, &d);
    EXPECT_TRUE(fx == 1 && d == 5) << fx << " " << d;
}

TEST(Geometry, SegmentDistanceClampsToEnds) {
    EXPECT_DOUBLE_EQ(dist_lineseg_to_point(0, 0, 10, 0, 5, -2), 2);
    EXPECT_DOUBLE_EQ(dist_lineseg_to_point(0, 0, 10, 0, 13, 4), 5);
    EXPECT_DOUBLE_EQ(dist_lineseg_to_point(0, 0, 10, 0, -3, -4), 5);
    EXPECT_DOUBLE_EQ(dist_lineseg_to_point(2, 2, 2, 2, 5, 6), 5);
}

// A point ray (dist_to_lineseg) and a disk of radius 10 (net_dist_to_lineseg)
// from (x, y) along heading h against the wall face a-b with normal n.
TEST(Geometry, RayAndDiskAgainstAWallFace) {
    const double cap = 30 - std::sqrt(100 - 49.0), oblique = 20 * std::sqrt(2.0);
    const struct {
        const char* what; bool disk; double x, y, h, ax, ay, bx, by, nx, ny, want;
    } cases[] = {
        // the wall x = 30 from (30, -50) to (30, 50)
        {"ray at the face", false, 0, 0, 0, 30, -50, 30, 50, -1, 0, 30},
        {"ray at the back", false, 0, 0, 0, 30, -50, 30, 50, 1, 0, FAR},
        {"ray away from it", false, 0, 0, 180, 30, -50, 30, 50, -1, 0, FAR},
        {"ray missing it", false, 0, 80, 0, 30, -50, 30, 50, -1, 0, FAR},
        {"disk straight at the face: 20 of travel", true, 0, 0, 0, 30, -50, 30, 50, -1, 0, 20},
        {"disk at the back: never stops", true, 0, 0, 0, 30, -50, 30, 50, 1, 0, FAR},
        {"a non-unit normal is normalised", true, 0, 0, 0, 30, -50, 30, 50, -7, 0, 20},
        {"parallel, even overlapping: never stops", true, 0, 0, 90, 5, -50, 5, 50, -1, 0, FAR},
        {"oblique: stops 10 short of the line", true, 0, 0, 45, 30, -50, 30, 50, -1, 0, oblique},
        {"grazing the end point (30, 5)", true, 0, 12, 0, 30, -50, 30, 5, -1, 0, cap},
        {"passing more than 10 beyond the end", true, 0, 16, 0, 30, -50, 30, 5, -1, 0, FAR},
        {"overlapping the face: negative travel", true, 26, 0, 0, 30, -50, 30, 50, -1, 0, -6},
        {"overlapping, moving away: free", true, 26, 0, 180, 30, -50, 30, 50, -1, 0, FAR},
        {"overlapping an end point from the side", true, 25, 58, 0, 30, -50, 30, 50, -1, 0, 11},
    };
    for (const auto& c : cases) {
        double d = (c.disk ? net_dist_to_lineseg : dist_to_lineseg)(c.x, c.y, c.h, c.ax, c.ay, c.bx,
                                                                    c.by, c.nx, c.ny);
        if (c.want == FAR)
            EXPECT_EQ(d, FAR) << c.what;
        else
            EXPECT_NEAR(d, c.want, 1e-9) << c.what;
    }
}
