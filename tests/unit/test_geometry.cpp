// Geometry primitives: rays, segments and the disk-against-wall distance
// that every collision and sensor rests on.
#include <cmath>

#include "world_fixture.h"

TEST(Geometry, HalflineMeasuresPerpendicularAndRefusesPointsBehind) {
    double fx, fy, d;
    dist_halfline_to_point(0, 0, 10, 0, 5, 3, &fx, &fy, &d);
    EXPECT_DOUBLE_EQ(fx, 5);
    EXPECT_DOUBLE_EQ(fy, 0);
    EXPECT_DOUBLE_EQ(d, 3);
    // behind the start: FAR, but the foot is still written
    dist_halfline_to_point(0, 0, 10, 0, -4, 2, &fx, &fy, &d);
    EXPECT_EQ(d, FAR);
    EXPECT_DOUBLE_EQ(fx, -4);
    EXPECT_DOUBLE_EQ(fy, 0);
    // a degenerate ray is a point: distance from its start
    dist_halfline_to_point(1, 1, 1.001, 1, 4, 5, &fx, &fy, &d);
    EXPECT_DOUBLE_EQ(d, 5);
    EXPECT_DOUBLE_EQ(fx, 1);
}

TEST(Geometry, SegmentDistanceClampsToEnds) {
    EXPECT_DOUBLE_EQ(dist_lineseg_to_point(0, 0, 10, 0, 5, -2), 2);
    EXPECT_DOUBLE_EQ(dist_lineseg_to_point(0, 0, 10, 0, 13, 4), 5);
    EXPECT_DOUBLE_EQ(dist_lineseg_to_point(0, 0, 10, 0, -3, -4), 5);
    EXPECT_DOUBLE_EQ(dist_lineseg_to_point(2, 2, 2, 2, 5, 6), 5);
}

TEST(Geometry, PointRayAgainstWallFace) {
    // wall x = 30 from (30,-50) to (30,50), facing -x (towards the ray)
    EXPECT_DOUBLE_EQ(dist_to_lineseg(0, 0, 0, 30, -50, 30, 50, -1, 0), 30);
    EXPECT_EQ(dist_to_lineseg(0, 0, 0, 30, -50, 30, 50, 1, 0), FAR);  // faces away
    EXPECT_EQ(dist_to_lineseg(0, 0, 180, 30, -50, 30, 50, -1, 0), FAR); // behind
    EXPECT_EQ(dist_to_lineseg(0, 80, 0, 30, -50, 30, 50, -1, 0), FAR);  // misses
}

TEST(Geometry, DiskAgainstWallFaceSideAndCaps) {
    // straight at a wall 30 ahead whose normal faces the disk: 20 of travel
    EXPECT_NEAR(net_dist_to_lineseg(0, 0, 0, 30, -50, 30, 50, -1, 0), 20, 1e-9);
    // the same wall seen from its back: never stops
    EXPECT_EQ(net_dist_to_lineseg(0, 0, 0, 30, -50, 30, 50, 1, 0), FAR);
    // a non-unit normal is normalised
    EXPECT_NEAR(net_dist_to_lineseg(0, 0, 0, 30, -50, 30, 50, -7, 0), 20, 1e-9);
    // parallel to the wall, even overlapping it: never stops
    EXPECT_EQ(net_dist_to_lineseg(0, 0, 90, 5, -50, 5, 50, -1, 0), FAR);
    // an oblique approach: the centre stops 10 short of the wall's line
    double d = net_dist_to_lineseg(0, 0, 45, 30, -50, 30, 50, -1, 0);
    EXPECT_NEAR(d, (30 - 10) * std::sqrt(2.0), 1e-9);
    // path misses the segment but grazes its end point (30, 5): end cap
    double cap = net_dist_to_lineseg(0, 12, 0, 30, -50, 30, 5, -1, 0);
    EXPECT_NEAR(cap, 30 - std::sqrt(100 - 49.0), 1e-9);
    // passes more than 10 beyond the end: nothing
    EXPECT_EQ(net_dist_to_lineseg(0, 16, 0, 30, -50, 30, 5, -1, 0), FAR);
}

TEST(Geometry, DiskAlreadyOverlappingWall) {
    // centre 4 units in front of the wall: moving in gives a negative travel
    double d = net_dist_to_lineseg(26, 0, 0, 30, -50, 30, 50, -1, 0);
    EXPECT_NEAR(d, -6, 1e-9);
    // moving away from it is free
    EXPECT_EQ(net_dist_to_lineseg(26, 0, 180, 30, -50, 30, 50, -1, 0), FAR);
    // overlapping an end point from the side: the distance to leave the cap
    double leave = net_dist_to_lineseg(25, 58, 0, 30, -50, 30, 50, -1, 0);
    EXPECT_NEAR(leave, 11, 1e-9);
}

TEST(Geometry, DrandStaysInUnitInterval) {
    srandom(7);
    for (int i = 0; i < 10000; i++) {
        double r = drand();
        ASSERT_GE(r, 0.0);
        ASSERT_LE(r, 1.0);
    }
}
