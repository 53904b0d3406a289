// test_sensors.cpp -- finder, sonar and angular radar.

#include <cmath>

#include "world_fixture.h"

using Sensors = World;

// A fresh world per case: the turtle, at most one other entry (kind 0 is a
// turtle, -1 none) and optionally a one-faced wall at y = 215 facing down.
// The finder answers 1 turtle, 2 doughnut, 3 stone, 4 wall.
TEST_F(Sensors, FinderKindsTeamsRangeAndWalls) {
    const struct {
        const char* what; double ty, th, range; int bounded; int kind; double ox, oy; bool wall;
        int yn, team;
    } cases[] = {
        {"alone, even facing a wall", 240, 90, 20, 0, -1, 0, 0, false, 0, 0},
        {"stone within range", 0, 0, 20, 0, ST_STONE, 25, 0, false, 3, 0},
        {"turtle beyond the range", 0, 90, 20, 0, 0, 0, 50, false, 0, 0},
        {"turtle within a longer range", 0, 90, 30, 0, 0, 0, 50, false, 1, 2},
        {"doughnut", 0, 90, 30, 0, ST_DOUGHNUT, 0, 45, false, 2, 0},
        {"boundary 15 ahead in bounded mode", 241, 90, 20, 1, -1, 0, 0, false, 4, 0},
        // stone contact after 25, the boundary after 46, the wall after 5
        {"stone nearer than the boundary", 200, 90, 60, 1, ST_STONE, 0, 245, false, 3, 0},
        {"wall nearer than the stone", 200, 90, 60, 1, ST_STONE, 0, 245, true, 4, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        reset_world_for_test();
        bounded_area_mode = c.bounded;
        if (c.wall) setup_wall(50, 215, -50, 215, 0, -1, 0);
        int t = place_turtle(0, c.ty, c.th);
        int o = c.kind == 0 ? place_turtle(c.ox, c.oy, 0) : -1;
        if (c.kind > 0) {
            ASSERT_EQ(set_object_at(c.ox, c.oy, c.kind), 0);
            o = ntmax - 1;
        }
        if (c.kind == 0) ttl[o].team = 2;
        ASSERT_EQ(turtle_finder_range(t, c.range), 0);
        int yn = 9, team = 9;
        EXPECT_EQ(qt_finder(t, &yn, &team), 0);
        EXPECT_EQ(yn, c.yn);
        EXPECT_EQ(team, c.team);
        if (o >= 0) {
            EXPECT_EQ(ttl[o].event, c.yn && c.yn != 4 ? EV_FINDER : 0u) << "the target is told";
        }
    }
}

// The sonar reports entries whose edge lies within 20 ahead (and 45 degrees
// to either side), and walls within 10.
TEST_F(Sensors, SonarReaches20) {
    const double diag = 25 / std::sqrt(2.0);
    const struct {
        const char* what; double ty, th; bool other; double ox, oy; int l, f, r;
    } cases[] = {
        {"away from everything", 0, 33.3, false, 0, 0, 0, 0, 0},
        {"entry at the left diagonal", 0, 0, true, diag, diag, 1, 1, 0},
        {"entry 18 ahead", 0, 0, true, 38, 0, 0, 1, 0},
        {"entry 22 ahead", 0, 0, true, 42, 0, 0, 0, 0},
        {"front wall contact after 8", 238, 90, false, 0, 0, 0, 1, 0},
        {"overlapping a wall", 247, 90, false, 0, 0, 1, 1, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        reset_world_for_test(); // walls count whatever the bounded mode
        int t = place_turtle(0, c.ty, c.th);
        int o = c.other ? place_turtle(c.ox, c.oy, 0) : -1;
        int l = 9, f = 9, r = 9;
        EXPECT_EQ(qt_sonar(t, &l, &f, &r), 0);
        EXPECT_TRUE(l == c.l && f == c.f && r == c.r) << l << f << r;
        EXPECT_EQ(ttl[t].heading, c.th) << "put back as it was";
        if (o >= 0) {
            EXPECT_EQ(ttl[o].event, 0u) << "sonar raises no events";
        }
    }
}

TEST_F(Sensors, RadarRanksAndMarksItsTarget) {
    int t = place_turtle(0, 0, 0);
    double dir;
    int team = 9;
    EXPECT_EQ(qt_angular_rader(t, 0, &dir, &team), -1) << "alone";
    EXPECT_EQ(team, 0);
    int n1 = place_turtle(0, 30, 0);  // rank 0, bearing 90
    int n3 = place_turtle(-70, 0, 0); // rank 2, bearing 180
    int n2 = place_turtle(0, -50, 0); // rank 1, bearing -90
    set_object_at(90, 0, ST_STONE);   // rank 3, bearing 0
    turtle_set_team(n2, 4);
    srandom(5);
    double noise = (drand() - 0.5) * 40;
    srandom(5);
    EXPECT_EQ(qt_angular_rader(t, 1, &dir, &team), 0);
    EXPECT_DOUBLE_EQ(dir, -90.0 + noise);
    EXPECT_EQ(team, 4);
    EXPECT_EQ(ttl[n2].event, EV_RADAR);
    EXPECT_EQ(ttl[t].target_of_rader, n2);
    EXPECT_EQ(qt_angular_rader(t, 0, &dir, &team), 0);
    EXPECT_EQ(ttl[t].target_of_rader, n1);
    EXPECT_EQ(qt_angular_rader(t, 2, &dir, &team), 0);
    EXPECT_EQ(ttl[t].target_of_rader, n3);
    EXPECT_EQ(qt_angular_rader(t, 3, &dir, &team), 0);
    EXPECT_NEAR(dir, 0.0, 20.0);
    EXPECT_EQ(qt_angular_rader(t, 4, &dir, &team), -1) << "four other entries: rank 4 is empty";
}

// The bearing is relative to the heading, within +-180, and noisy by up to
// 20 either way.
TEST_F(Sensors, RadarBearingIsRelativeWrappedAndNoisy) {
    int t = place_turtle(0, 0, 0);
    int o = place_turtle(0, 0, 0);
    srandom(77);
    const double noise = (drand() - 0.5) * 40;
    for (auto [heading, bearing] : {std::pair{-170.0, -20.0}, {170.0, 20.0}, {720 + 45.0, 0.0}}) {
        ttl[t].heading = heading;
        double a = (heading + bearing) * M_PI / 180;
        ttl[o].pos[0] = {50 * std::cos(a), 50 * std::sin(a)};
        double dir;
        int team;
        srandom(77);
        EXPECT_EQ(qt_angular_rader(t, 0, &dir, &team), 0);
        EXPECT_NEAR(dir, bearing + noise, 1e-9) << heading;
    }
}
