// test_sensors.cpp -- finder, sonar, angular radar and the gun.

#include <cmath>

#include "world_fixture.h"

using Sensors = World;

// ----------------------------------------------------------------- finder

TEST_F(Sensors, AloneTheFinderSeesNothingEvenFacingAWall) {
    int t = place_turtle(0, 240, 90);
    ttl[t].event = EV_FINDER;
    int yn = 9, team = 9;
    EXPECT_EQ(qt_finder(t, &yn, &team), 0);
    EXPECT_EQ(yn, 0);
    EXPECT_EQ(team, 0);
    EXPECT_EQ(ttl[t].event, 0u); // own finder bit cleared
    EXPECT_EQ(ttl[t].target_of_finder, -1);
}

TEST_F(Sensors, FinderFindsAStoneWithinRange) {
    int t = place_turtle(0, 0, 0);
    ASSERT_EQ(set_object_at(25, 0, ST_STONE), 0);
    int yn, team = 9;
    qt_finder(t, &yn, &team);
    EXPECT_EQ(yn, OBS_STONE);
    EXPECT_EQ(team, 0);
    EXPECT_EQ(ttl[1].event, EV_FINDER);
    EXPECT_EQ(ttl[t].target_of_finder, 1);
}

TEST_F(Sensors, FinderTypesTeamsAndRange) {
    int t = place_turtle(0, 0, 90);
    int o = place_turtle(0, 50, 0);
    turtle_set_team(o, 2);
    int yn, team;
    qt_finder(t, &yn, &team); // contact after 30, range 20
    EXPECT_EQ(yn, 0);
    EXPECT_EQ(ttl[o].event, 0u);
    EXPECT_EQ(turtle_finder_range(t, 30), 0);
    qt_finder(t, &yn, &team);
    EXPECT_EQ(yn, OBS_TURTLE);
    EXPECT_EQ(team, 2);
    EXPECT_EQ(ttl[o].event, EV_FINDER);

    ttl[o].status = 0;
    ASSERT_EQ(set_object_at(0, 45, ST_DOUGHNUT), 0);
    qt_finder(t, &yn, &team);
    EXPECT_EQ(yn, OBS_DOUGHNUT);
    EXPECT_EQ(ttl[t].target_of_finder, o);
}

TEST_F(Sensors, FinderSeesWallsOnlyInBoundedMode) {
    int t = place_turtle(0, 241, 90); // 15 from the boundary
    int yn, team;
    qt_finder(t, &yn, &team);
    EXPECT_EQ(yn, 0);
    bounded_area_mode = 1;
    qt_finder(t, &yn, &team);
    EXPECT_EQ(yn, OBS_WALL);
    EXPECT_EQ(team, 0);
}

TEST_F(Sensors, FinderReportsWhicheverIsNearer) {
    bounded_area_mode = 1;
    int t = place_turtle(0, 200, 90);
    turtle_finder_range(t, 60);
    set_object_at(0, 245, ST_STONE); // contact after 25, boundary after 46
    int yn, team;
    qt_finder(t, &yn, &team);
    EXPECT_EQ(yn, OBS_STONE);
    ttl[1].event = 0;
    setup_wall(50, 215, -50, 215, 0, -1, 0); // wall contact after 5
    qt_finder(t, &yn, &team);
    EXPECT_EQ(yn, OBS_WALL);
    EXPECT_EQ(ttl[1].event, 0u);
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

TEST_F(Sensors, SonarQuietAwayFromEverything) {
    int t = place_turtle(0, 0, 33.3);
    int l = 9, f = 9, r = 9;
    EXPECT_EQ(qt_sonar(t, &l, &f, &r), 0);
    EXPECT_EQ(l, 0);
    EXPECT_EQ(f, 0);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(ttl[t].heading, 33.3);
}

TEST_F(Sensors, SonarEntryAtTheLeftDiagonal) {
    int t = place_turtle(0, 0, 0);
    int o = place_turtle(25 * std::cos(M_PI / 4), 25 * std::sin(M_PI / 4), 0);
    int l, f, r;
    qt_sonar(t, &l, &f, &r);
    EXPECT_EQ(l, 1);
    EXPECT_EQ(f, 1);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(ttl[t].heading, 0.0);
    EXPECT_EQ(ttl[o].event, 0u); // sonar raises no events
    EXPECT_EQ(ttl[t].target_of_finder, -1);
}

TEST_F(Sensors, SonarWallsWhateverTheBoundedMode) {
    int t = place_turtle(0, 238, 90); // front wall contact after 8
    int l, f, r;
    qt_sonar(t, &l, &f, &r);
    EXPECT_EQ(l, 0);
    EXPECT_EQ(f, 1);
    EXPECT_EQ(r, 0);
    ttl[t].pos[0] = {0, 247}; // overlapping: every direction is near
    qt_sonar(t, &l, &f, &r);
    EXPECT_EQ(l, 1);
    EXPECT_EQ(f, 1);
    EXPECT_EQ(r, 1);
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
    EXPECT_EQ(dl, FAR);
    EXPECT_EQ(df, FAR);
    EXPECT_EQ(dr, FAR);
}

// ------------------------------------------------------------------ radar

TEST_F(Sensors, RadarAloneFindsNothing) {
    int t = place_turtle(0, 0, 0);
    double dir;
    int team = 9;
    EXPECT_EQ(qt_angular_rader(t, 0, &dir, &team), -1);
    EXPECT_EQ(team, 0);
    EXPECT_LE(std::fabs(dir), 20.0); // pure noise about the heading
}

TEST_F(Sensors, RadarRanksAndMarksItsTarget) {
    int t = place_turtle(0, 0, 0);
    int n1 = place_turtle(0, 30, 0);   // rank 0, bearing 90
    int n3 = place_turtle(-70, 0, 0);  // rank 2, bearing 180
    int n2 = place_turtle(0, -50, 0);  // rank 1, bearing -90
    set_object_at(90, 0, ST_STONE);    // rank 3, bearing 0
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
    int t = place_turtle(0, 0, -170);
    int o = place_turtle(50 * std::cos(170 * M_PI / 180), 50 * std::sin(170 * M_PI / 180), 0);
    double dir;
    int team;
    srandom(77);
    double noise = (drand() - 0.5) * 40;
    srandom(77);
    EXPECT_EQ(qt_angular_rader(t, 0, &dir, &team), 0);
    EXPECT_NEAR(dir, -20.0 + noise, 1e-9); // 340 to the left is 20 to the right
    ttl[t].heading = 170;
    ttl[o].pos[0] = {50 * std::cos(-170 * M_PI / 180), 50 * std::sin(-170 * M_PI / 180)};
    srandom(77);
    EXPECT_EQ(qt_angular_rader(t, 0, &dir, &team), 0);
    EXPECT_NEAR(dir, 20.0 + noise, 1e-9);
}

TEST_F(Sensors, RadarEqualDistancesKeepSlotOrderAndCountAllKinds) {
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

TEST_F(Sensors, RadarOfAFreeSlot) {
    place_turtle(0, 0, 0);
    ttl[5].pos[0] = {100, 100};
    double dir = 7;
    int team;
    EXPECT_EQ(qt_angular_rader(5, 0, &dir, &team), -1);
    EXPECT_EQ(dir, 0.0);
    EXPECT_EQ(ttl[0].event, EV_RADAR); // the target is still marked
}

// -------------------------------------------------------------------- gun

TEST_F(Sensors, FiringTwiceFiresOnce) {
    int t = place_turtle(10, 20, 30);
    EXPECT_EQ(turtle_fire(t), 0);
    EXPECT_TRUE(ttl[t].status & ST_BULLET);
    EXPECT_EQ(ttl[t].score, 99);
    EXPECT_EQ(ttl[t].bullet.x, 10.0);
    EXPECT_EQ(ttl[t].bullet.y, 20.0);
    EXPECT_EQ(ttl[t].bheading, 30.0);
    turtle_turn(t, 10);
    EXPECT_EQ(turtle_fire(t), 0);
    EXPECT_EQ(ttl[t].score, 99);
    EXPECT_EQ(ttl[t].bheading, 30.0);
}

TEST_F(Sensors, NoShotWhileABlastShows) {
    int t = place_turtle(0, 0, 0);
    ttl[t].bttf = 3;
    EXPECT_EQ(turtle_fire(t), 0);
    EXPECT_EQ(ttl[t].status & ST_BULLET, 0u);
    EXPECT_EQ(ttl[t].score, 100);
}

TEST_F(Sensors, FiringRefusals) {
    int t = place_turtle(0, 0, 0);
    ttl[t].score = 0;
    EXPECT_EQ(turtle_fire(t), -1);
    ttl[t].score = 1;
    EXPECT_EQ(turtle_fire(t), 0);
    EXPECT_EQ(ttl[t].score, 0);
    int z = place_turtle(50, 0, 0);
    make_zombie(z);
    EXPECT_EQ(turtle_fire(z), -1);
    ttl[7].score = 100;
    EXPECT_EQ(turtle_fire(7), -1); // free slot
    EXPECT_EQ(ttl[7].status, 0u);
}
