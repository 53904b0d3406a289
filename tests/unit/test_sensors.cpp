// test_sensors.cpp -- finder, sonar, angular radar and the gun.

#include <cmath>

#include "world_fixture.h"

using Sensors = World;

// ----------------------------------------------------------------- finder

// A fresh world per case: the turtle, at most one other entry (kind 0 is a
// turtle, -1 none) and optionally a one-faced wall at y = 215 facing down.
TEST_F(Sensors, FinderTypesTeamsRangeAndWalls) {
    const struct {
        const char* what;
        double tx, ty, th, range;
        int bounded;
        int kind;
        double ox, oy;
        int oteam;
        bool wall;
        int yn, team;
    } cases[] = {
        {"alone, even facing a wall", 0, 240, 90, 20, 0, -1, 0, 0, 0, false, 0, 0},
        {"stone within range", 0, 0, 0, 20, 0, ST_STONE, 25, 0, 0, false, OBS_STONE, 0},
        {"turtle beyond the range", 0, 0, 90, 20, 0, 0, 0, 50, 2, false, 0, 0},
        {"turtle within a longer range", 0, 0, 90, 30, 0, 0, 0, 50, 2, false, OBS_TURTLE, 2},
        {"doughnut", 0, 0, 90, 30, 0, ST_DOUGHNUT, 0, 45, 0, false, OBS_DOUGHNUT, 0},
        {"boundary 15 ahead outside bounded mode", 0, 241, 90, 20, 0, -1, 0, 0, 0, false, 0, 0},
        {"boundary 15 ahead in bounded mode", 0, 241, 90, 20, 1, -1, 0, 0, 0, false, OBS_WALL, 0},
        // stone contact after 25, the boundary after 46, the wall after 5
        {"stone nearer than the boundary", 0, 200, 90, 60, 1, ST_STONE, 0, 245, 0, false, OBS_STONE, 0},
        {"wall nearer than the stone", 0, 200, 90, 60, 1, ST_STONE, 0, 245, 0, true, OBS_WALL, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        reset_world_for_test();
        bounded_area_mode = c.bounded;
        if (c.wall) setup_wall(50, 215, -50, 215, 0, -1, 0);
        int t = place_turtle(c.tx, c.ty, c.th);
        int o = c.kind == 0 ? place_turtle(c.ox, c.oy, 0) : -1;
        if (c.kind > 0) {
            ASSERT_EQ(set_object_at(c.ox, c.oy, c.kind), 0);
            o = ntmax - 1;
        }
        if (o >= 0) ttl[o].team = c.oteam;
        ASSERT_EQ(turtle_finder_range(t, c.range), 0);
        ttl[t].event = EV_FINDER;
        int yn = 9, team = 9;
        EXPECT_EQ(qt_finder(t, &yn, &team), 0);
        EXPECT_EQ(yn, c.yn);
        EXPECT_EQ(team, c.team);
        EXPECT_EQ(ttl[t].event, 0u) << "its own finder bit is cleared";
        bool marked = c.yn != 0 && c.yn != OBS_WALL;
        EXPECT_EQ(ttl[t].target_of_finder, marked ? o : -1);
        if (o >= 0) {
            EXPECT_EQ(ttl[o].event, marked ? EV_FINDER : 0u);
        }
    }
}

TEST_F(Sensors, FinderRangeRefusedForAZombie) {
    int t = place_turtle(0, 0, 0);
    EXPECT_EQ(turtle_finder_range(t, -5), 0);
    EXPECT_EQ(ttl[t].frange, -5.0);
    make_zombie(t);
    EXPECT_EQ(turtle_finder_range(t, 50), 1);
    EXPECT_EQ(ttl[t].frange, -5.0);
}

// ------------------------------------------------------------------ sonar

TEST_F(Sensors, SonarSeesEntriesAndWallsNearby) {
    const double diag = 25 / std::sqrt(2.0);
    const struct {
        const char* what;
        double tx, ty, th;
        bool other;
        double ox, oy;
        int l, f, r;
    } cases[] = {
        {"away from everything", 0, 0, 33.3, false, 0, 0, 0, 0, 0},
        {"entry at the left diagonal", 0, 0, 0, true, diag, diag, 1, 1, 0},
        {"front wall contact after 8", 0, 238, 90, false, 0, 0, 0, 1, 0},
        {"overlapping a wall", 0, 247, 90, false, 0, 0, 1, 1, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        reset_world_for_test(); // walls count whatever the bounded mode
        int t = place_turtle(c.tx, c.ty, c.th);
        int o = c.other ? place_turtle(c.ox, c.oy, 0) : -1;
        int l = 9, f = 9, r = 9;
        EXPECT_EQ(qt_sonar(t, &l, &f, &r), 0);
        EXPECT_TRUE(l == c.l && f == c.f && r == c.r) << l << f << r;
        EXPECT_EQ(ttl[t].heading, c.th) << "put back as it was";
        EXPECT_EQ(ttl[t].target_of_finder, -1);
        if (o >= 0) {
            EXPECT_EQ(ttl[o].event, 0u) << "sonar raises no events";
        }
    }
}

TEST_F(Sensors, WallDistancesInThreeDirections) {
    int t = place_turtle(0, 0, 90);
    double dl, df, dr;
    distance_to_walls_3dir(t, &dl, &df, &dr);
    EXPECT_NEAR(df, 246.0, 1e-9);
    EXPECT_NEAR(dl, 256 * std::sqrt(2.0) - 10 * std::sqrt(2.0), 1e-9);
    EXPECT_NEAR(dr, dl, 1e-9);
    nwall = 0;
    distance_to_walls_3dir(t, &dl, &df, &dr);
    EXPECT_TRUE(dl == FAR && df == FAR && dr == FAR);
}

// ------------------------------------------------------------------ radar

TEST_F(Sensors, RadarAloneOrFromAFreeSlotFindsNothing) {
    int t = place_turtle(0, 0, 0);
    double dir;
    int team = 9;
    EXPECT_EQ(qt_angular_rader(t, 0, &dir, &team), -1);
    EXPECT_EQ(team, 0);
    EXPECT_LE(std::fabs(dir), 20.0); // pure noise about the heading

    ttl[5].pos[0] = {100, 100};
    dir = 7;
    EXPECT_EQ(qt_angular_rader(5, 0, &dir, &team), -1);
    EXPECT_EQ(dir, 0.0);
    EXPECT_EQ(ttl[t].event, EV_RADAR); // the target is still marked
}

TEST_F(Sensors, RadarRanksAndMarksItsTarget) {
    int t = place_turtle(0, 0, 0);
    int n1 = place_turtle(0, 30, 0);  // rank 0, bearing 90
    int n3 = place_turtle(-70, 0, 0); // rank 2, bearing 180
    int n2 = place_turtle(0, -50, 0); // rank 1, bearing -90
    set_object_at(90, 0, ST_STONE);   // rank 3, bearing 0
    turtle_set_team(n2, 4);
    ttl[t].event = EV_RADAR;

    double dir;
    int team;
    srandom(5);
    double noise = (drand() - 0.5) * 40;
    srandom(5);
    EXPECT_EQ(qt_angular_rader(t, 1, &dir, &team), 0);
    EXPECT_DOUBLE_EQ(dir, -90.0 + noise);
    EXPECT_EQ(team, 4);
    EXPECT_EQ(ttl[n2].event, EV_RADAR);
    EXPECT_EQ(ttl[t].target_of_rader, n2);
    EXPECT_EQ(ttl[t].event, 0u);

    EXPECT_EQ(qt_angular_rader(t, 0, &dir, &team), 0);
    EXPECT_NEAR(dir, 90.0, 20.0);
    EXPECT_EQ(ttl[t].target_of_rader, n1);
    EXPECT_EQ(qt_angular_rader(t, 2, &dir, &team), 0);
    EXPECT_EQ(ttl[t].target_of_rader, n3);
    EXPECT_EQ(qt_angular_rader(t, 3, &dir, &team), 0);
    EXPECT_NEAR(dir, 0.0, 20.0);
    EXPECT_EQ(team, 0);
    // four other entries: rank 4 is empty
    ttl[t].target_of_rader = -1;
    EXPECT_EQ(qt_angular_rader(t, 4, &dir, &team), -1);
    EXPECT_EQ(team, 0);
    EXPECT_EQ(ttl[t].target_of_rader, -1);
}

TEST_F(Sensors, RadarBearingIsRelativeToTheHeadingAndNoisy) {
    int t = place_turtle(0, 0, 720 + 45); // headings are never wrapped
    place_turtle(-40, -40, 0);            // straight behind
    double lo = 1e9, hi = -1e9;
    for (int i = 0; i < 400; i++) {
        double dir;
        int team;
        ASSERT_EQ(qt_angular_rader(t, 0, &dir, &team), 0);
        // -180 and +180 are the same bearing; fold onto one side to measure the noise
        double off = dir > 0 ? dir - 180.0 : dir + 180.0;
        EXPECT_LE(std::fabs(off), 20.0);
        lo = std::fmin(lo, off);
        hi = std::fmax(hi, off);
    }
    EXPECT_LT(lo, -15.0);
    EXPECT_GT(hi, 15.0);
}

TEST_F(Sensors, RadarBearingWrapsIntoPlusMinus180) {
    int t = place_turtle(0, 0, 0);
    int o = place_turtle(0, 0, 0);
    srandom(77);
    const double noise = (drand() - 0.5) * 40;
    // 340 to the left is 20 to the right, and the other way round
    for (auto [heading, bearing] : {std::pair{-170.0, -20.0}, {170.0, 20.0}}) {
        ttl[t].heading = heading;
        ttl[o].pos[0] = {50 * std::cos(-heading * M_PI / 180), 50 * std::sin(-heading * M_PI / 180)};
        double dir;
        int team;
        srandom(77);
        EXPECT_EQ(qt_angular_rader(t, 0, &dir, &team), 0);
        EXPECT_NEAR(dir, bearing + noise, 1e-9) << heading;
    }
}

TEST_F(Sensors, RadarEqualDistancesKeepSlotOrderAndCountZombies) {
    int t = place_turtle(0, 0, 0);
    int a = place_turtle(40, 0, 0);
    int b = place_turtle(-40, 0, 0);
    make_zombie(b);
    double dir;
    int team;
    qt_angular_rader(t, 0, &dir, &team);
    EXPECT_EQ(ttl[t].target_of_rader, a);
    qt_angular_rader(t, 1, &dir, &team);
    EXPECT_EQ(ttl[t].target_of_rader, b);
}

// -------------------------------------------------------------------- gun

TEST_F(Sensors, GunFiresOneBulletAtATime) {
    int t = place_turtle(10, 20, 30);
    EXPECT_EQ(turtle_fire(t), 0);
    EXPECT_TRUE(ttl[t].status & ST_BULLET);
    EXPECT_EQ(ttl[t].score, 99);
    EXPECT_TRUE(ttl[t].bullet.x == 10.0 && ttl[t].bullet.y == 20.0 && ttl[t].bheading == 30.0);
    turtle_turn(t, 10);
    EXPECT_EQ(turtle_fire(t), 0) << "a second shot while the first flies is silently dropped";
    EXPECT_EQ(ttl[t].score, 99);
    EXPECT_EQ(ttl[t].bheading, 30.0);

    int u = place_turtle(-50, 0, 0);
    ttl[u].bttf = 3;
    EXPECT_EQ(turtle_fire(u), 0) << "no shot while a blast shows";
    EXPECT_EQ(ttl[u].status & ST_BULLET, 0u);
    EXPECT_EQ(ttl[u].score, 100);
    ttl[u].bttf = 0;
    ttl[u].score = 0;
    EXPECT_EQ(turtle_fire(u), -1) << "no score";
    ttl[u].score = 1;
    EXPECT_EQ(turtle_fire(u), 0);
    EXPECT_EQ(ttl[u].score, 0);
    int z = place_turtle(50, 0, 0);
    make_zombie(z);
    EXPECT_EQ(turtle_fire(z), -1);
    ttl[7].score = 100;
    EXPECT_EQ(turtle_fire(7), -1); // free slot
    EXPECT_EQ(ttl[7].status, 0u);
}
