// test_motion.cpp -- steps, turns and jumps: collisions of disks against
// entries and walls, edge-triggered bumps with their latches, battle-mode
// limits, jump refusals, the trail history and the distance helpers.

#include <cmath>

#include "world_fixture.h"

using Motion = World;

static void expect_at(int t, double x, double y) {
    EXPECT_NEAR(ttl[t].pos[0].x, x, 1e-9);
    EXPECT_NEAR(ttl[t].pos[0].y, y, 1e-9);
}

// Appends a two-faced wall from a to b, as the maze does: the front face's
// normal is the direction turned left.
static void two_faced_wall(double ax, double ay, double bx, double by) {
    double dx = bx - ax, dy = by - ay, l = std::hypot(dx, dy);
    setup_wall(ax, ay, bx, by, -dy / l, dx / l, 0);
    setup_wall(bx, by, ax, ay, dy / l, -dx / l, WALL_BACK);
}

// --------------------------------------------------- entries as obstacles

TEST_F(Motion, ProbeReportsContactDistanceAndType) {
    int t = place_turtle(0, 0, 0);
    int o = place_turtle(30, 0, 0);
    double d = -1;
    int j = -1;
    EXPECT_EQ(check_how_far_it_can_go(t, 15, &d, &j), OBS_TURTLE);
    EXPECT_DOUBLE_EQ(d, 10.0);
    EXPECT_EQ(j, o);

    // off-centre: foot at 30, 12 to the side, contact after 30 - 16
    ttl[o].pos[0] = {30, 12};
    EXPECT_EQ(check_how_far_it_can_go(t, 20, &d, &j), OBS_TURTLE);
    EXPECT_DOUBLE_EQ(d, 14.0);

    // beyond the step: free, but the target is still named
    j = -1;
    EXPECT_EQ(check_how_far_it_can_go(t, 5, &d, &j), OBS_NONE);
    EXPECT_EQ(d, 5.0);
    EXPECT_EQ(j, o);
}

TEST_F(Motion, ProbeTypesAndNearestFoot) {
    int t = place_turtle(0, 0, 90);
    ASSERT_EQ(set_object_at(0, 60, ST_STONE), 0);
    ASSERT_EQ(set_object_at(5, 40, ST_DOUGHNUT), 0);
    double d;
    int j;
    EXPECT_EQ(check_how_far_it_can_go(t, 100, &d, &j), OBS_DOUGHNUT);
    EXPECT_EQ(j, 2);
    EXPECT_NEAR(d, 40 - std::sqrt(375.0), 1e-9);
    ttl[2].status = 0;
    EXPECT_EQ(check_how_far_it_can_go(t, 100, &d, &j), OBS_STONE);
    EXPECT_EQ(j, 1);
    EXPECT_NEAR(d, 40.0, 1e-9);

    // no candidate leaves target alone
    j = 77;
    ttl[1].status = 0;
    EXPECT_EQ(check_how_far_it_can_go(t, 100, &d, &j), OBS_NONE);
    EXPECT_EQ(j, 77);
    EXPECT_EQ(d, 100.0);
}

TEST_F(Motion, ProbeTieGoesToTheLowerSlot) {
    int t = place_turtle(0, 0, 0);
    int a = place_turtle(30, 10, 0);
    int b = place_turtle(30, -10, 0);
    double d;
    int j = -1;
    EXPECT_EQ(check_how_far_it_can_go(t, 50, &d, &j), OBS_TURTLE);
    EXPECT_EQ(j, a);
    ttl[a].pos[0] = {30, 11};
    check_how_far_it_can_go(t, 50, &d, &j);
    EXPECT_EQ(j, a); // same foot, so still the first found
    ttl[a].pos[0] = {30.5, 10};
    check_how_far_it_can_go(t, 50, &d, &j);
    EXPECT_EQ(j, b);
}

TEST_F(Motion, BlockedStepBumpsOnceThenLatches) {
    int t = place_turtle(0, 0, 0);
    place_turtle(30, 0, 0);
    EXPECT_EQ(turtle_step_forward(t, 15), -1);
    expect_at(t, 0, 0);
    EXPECT_EQ(ttl[t].event, EV_BUMP_TURTLE);
    EXPECT_TRUE(ttl[t].status & ST_TOUCH_TURTLE);
    ttl[t].event = 0;
    EXPECT_EQ(turtle_step_forward(t, 15), -1);
    EXPECT_EQ(ttl[t].event, 0u);
    expect_at(t, 0, 0);
    EXPECT_EQ(ttl[t].pos[1].x, 0.0); // no history shift
}

TEST_F(Motion, FreeStepMovesFullyAndClearsEntryLatches) {
    int t = place_turtle(0, 0, 0);
    place_turtle(30, 0, 0);
    ttl[t].status |= ST_TOUCH_ENTRY | ST_TOUCH_WALL;
    EXPECT_EQ(turtle_step_forward(t, 5), 0);
    expect_at(t, 5, 0);
    EXPECT_EQ(ttl[t].status & ST_TOUCH_ENTRY, 0u);
    // outside bounded-area mode the wall latch stays as it was
    EXPECT_TRUE(ttl[t].status & ST_TOUCH_WALL);
    // contact now after 5: a step reaching the contact is blocked too
    EXPECT_EQ(turtle_step_forward(t, 5), -1);
    EXPECT_EQ(turtle_step_forward(t, 4.5), 0);
    expect_at(t, 9.5, 0);
}

TEST_F(Motion, SideClearanceOf20) {
    int t = place_turtle(0, 0, 0);
    int o = place_turtle(50, 20.5, 0);
    EXPECT_EQ(turtle_step_forward(t, 100), 0);
    expect_at(t, 100, 0);
    turtle_jump(t, 0, 0);
    ttl[o].pos[0] = {50, 20};
    EXPECT_EQ(turtle_step_forward(t, 100), -1);
}

TEST_F(Motion, EachKindHasItsOwnLatchAndEvent) {
    int t = place_turtle(0, 0, 0);
    place_turtle(-30, 0, 0);          // turtle behind
    set_object_at(30, 0, ST_STONE);   // stone ahead
    set_object_at(0, 30, ST_DOUGHNUT); // doughnut to the left
    EXPECT_EQ(turtle_step_forward(t, 15), -1);
    EXPECT_EQ(turtle_step_forward(t, -15), -1);
    EXPECT_EQ(ttl[t].event, EV_BUMP_STONE | EV_BUMP_TURTLE);
    EXPECT_EQ(ttl[t].status & ST_TOUCH_ALL, ST_TOUCH_STONE | ST_TOUCH_TURTLE);
    ttl[t].heading = 90; // set directly: no latch is cleared
    EXPECT_EQ(turtle_step_forward(t, 15), -1);
    EXPECT_EQ(turtle_get_and_reset_eventcode(t), EV_BUMP_STONE | EV_BUMP_TURTLE | EV_BUMP_DOUGHNUT);
    EXPECT_EQ(ttl[t].status & ST_TOUCH_ALL, ST_TOUCH_ENTRY);
}

TEST_F(Motion, ZeroStepNextToAnEntryBumps) {
    int t = place_turtle(0, 0, 0);
    place_turtle(-12, 5, 0); // behind and within 20
    EXPECT_EQ(turtle_step_forward(t, 0), -1);
    EXPECT_EQ(ttl[t].event, EV_BUMP_TURTLE);
}

TEST_F(Motion, OverlappingEntryBlocksTowardsButNotAway) {
    int t = place_turtle(0, 0, 0);
    place_turtle(15, 0, 0);
    double d;
    int j;
    EXPECT_EQ(check_how_far_it_can_go(t, 1, &d, &j), OBS_TURTLE);
    EXPECT_DOUBLE_EQ(d, -5.0);
    EXPECT_EQ(turtle_step_forward(t, 1), -1);
    EXPECT_EQ(turtle_step_forward(t, -5), 0);
    expect_at(t, -5, 0);
}

TEST_F(Motion, BackwardStepProbesBehind) {
    int t = place_turtle(0, 0, 0);
    place_turtle(-30, 0, 0);
    EXPECT_EQ(turtle_step_forward(t, 50), 0); // the one behind is no obstacle
    expect_at(t, 50, 0);
    EXPECT_EQ(turtle_step_forward(t, -75), -1);
    EXPECT_EQ(turtle_step_forward(t, -60), -1);
    EXPECT_EQ(turtle_step_forward(t, -59), 0);
    expect_at(t, -9, 0);
}

TEST_F(Motion, StonesAndDoughnutsNeverMove) {
    set_object_at(0, 0, ST_STONE);
    set_object_at(100, 0, ST_DOUGHNUT);
    EXPECT_EQ(turtle_step_forward(0, 5), -1);
    EXPECT_EQ(turtle_step_forward(1, 5), -1);
    int d = generate_turtle(-1, ST_DOUGHNUT);
    ASSERT_GE(d, 0);
    double x = ttl[d].pos[0].x;
    EXPECT_EQ(turtle_step_forward(d, 5), -1);
    EXPECT_EQ(ttl[d].pos[0].x, x);
}

// ------------------------------------------------------------ the history

TEST_F(Motion, StepShiftsPositionColourAndWidth) {
    int t = place_turtle(0, 0, 90);
    turtle_set_color(t, 0, 0, 1);
    turtle_line_width(t, 4);
    ttl[t].status |= ST_PAINTED;
    EXPECT_EQ(turtle_step_forward(t, 10), 0);
    expect_at(t, 0, 10);
    EXPECT_EQ(ttl[t].pos[1].y, 0.0);
    EXPECT_EQ(ttl[t].col[1].b, 1.0);
    EXPECT_EQ(ttl[t].width[1], 4.0);
    EXPECT_EQ(ttl[t].col[2].r, 1.0); // from creation
    EXPECT_EQ(ttl[t].status & ST_PAINTED, 0u);
    for (int i = 0; i < 7; i++) turtle_step_forward(t, 1);
    EXPECT_NEAR(ttl[t].pos[6].y, 11.0, 1e-9); // slot 6 keeps the seventh newest
}

// ----------------------------------------------------------------- turning

TEST_F(Motion, TurnAccumulatesAndClearsAllLatchesUnlessZero) {
    int t = place_turtle(0, 0, 350);
    ttl[t].status |= ST_TOUCH_ALL;
    EXPECT_EQ(turtle_turn(t, 0), 0);
    EXPECT_EQ(ttl[t].status & ST_TOUCH_ALL, ST_TOUCH_ALL);
    EXPECT_EQ(turtle_turn(t, 20), 0);
    EXPECT_EQ(ttl[t].heading, 370.0); // never wrapped
    EXPECT_EQ(ttl[t].status & ST_TOUCH_ALL, 0u);
    EXPECT_EQ(turtle_turn(t, -400), 0);
    EXPECT_EQ(ttl[t].heading, -30.0);
}

TEST_F(Motion, HeadSetsCompassHeadingsOnly) {
    int t = place_turtle(0, 0, 7);
    ttl[t].status |= ST_TOUCH_WALL;
    const double want[5] = {0, 0, 90, 180, -90};
    for (int k = 1; k <= 4; k++) {
        EXPECT_EQ(turtle_head(t, k), 0);
        EXPECT_EQ(ttl[t].heading, want[k]);
    }
    EXPECT_EQ(turtle_head(t, 5), 0);
    EXPECT_EQ(turtle_head(t, 0), 0);
    EXPECT_EQ(ttl[t].heading, -90.0);
    EXPECT_TRUE(ttl[t].status & ST_TOUCH_WALL);
    battle_mode = 1;
    EXPECT_EQ(turtle_head(t, 1), 1);
    EXPECT_EQ(ttl[t].heading, -90.0);
}

// -------------------------------------------------------------- battle mode

TEST_F(Motion, BattleModeClampsStepsAndTurns) {
    int t = place_turtle(0, 0, 0);
    battle_mode = 1;
    EXPECT_EQ(turtle_step_forward(t, 100), 0);
    expect_at(t, 2, 0);
    EXPECT_EQ(turtle_step_forward(t, -100), 0);
    expect_at(t, 0, 0);
    EXPECT_EQ(turtle_step_forward(t, 1.5), 0);
    expect_at(t, 1.5, 0);
    EXPECT_EQ(turtle_turn(t, 90), 0);
    EXPECT_EQ(ttl[t].heading, 3.0);
    EXPECT_EQ(turtle_turn(t, -90), 0);
    EXPECT_EQ(ttl[t].heading, 0.0);
    EXPECT_EQ(turtle_turn(t, 2.5), 0);
    EXPECT_EQ(ttl[t].heading, 2.5);
}

TEST_F(Motion, BattleModeNeedsAPositiveScore) {
    int t = place_turtle(0, 0, 0);
    battle_mode = 1;
    ttl[t].score = 0;
    EXPECT_EQ(turtle_step_forward(t, 1), -1);
    EXPECT_EQ(turtle_turn(t, 1), -1);
    expect_at(t, 0, 0);
    EXPECT_EQ(ttl[t].heading, 0.0);
    battle_mode = 0;
    EXPECT_EQ(turtle_step_forward(t, 1), 0);
    EXPECT_EQ(turtle_turn(t, 1), 0);
}

TEST_F(Motion, BattleStepIsClampedBeforeTheProbe) {
    int t = place_turtle(0, 0, 0);
    place_turtle(30, 0, 0); // contact after 10: a clamped step of 2 is free
    battle_mode = 1;
    EXPECT_EQ(turtle_step_forward(t, 100), 0);
    expect_at(t, 2, 0);
}

// ------------------------------------------------------------------ walls

TEST_F(Motion, BoundaryStopsInBoundedModeWithLatch) {
    int t = place_turtle(0, 236, 90);
    bounded_area_mode = 1;
    EXPECT_NEAR(distance_to_front_wall(t, 1), 10.0, 1e-12);
    EXPECT_EQ(turtle_step_forward(t, 15), -1);
    expect_at(t, 0, 236);
    EXPECT_EQ(ttl[t].event, EV_BUMP_WALL);
    EXPECT_TRUE(ttl[t].status & ST_TOUCH_WALL);
    ttl[t].event = 0;
    EXPECT_EQ(turtle_step_forward(t, 15), -1);
    EXPECT_EQ(ttl[t].event, 0u);
    turtle_turn(t, 1);
    turtle_turn(t, -1);
    EXPECT_EQ(turtle_step_forward(t, 15), -1);
    EXPECT_EQ(ttl[t].event, EV_BUMP_WALL);
    // exactly the free distance is allowed and clears the latch
    EXPECT_EQ(turtle_step_forward(t, 10), 0);
    expect_at(t, 0, 246);
    EXPECT_EQ(ttl[t].status & ST_TOUCH_WALL, 0u);
}

TEST_F(Motion, WallsDoNotStopOutsideBoundedMode) {
    int t = place_turtle(0, 236, 90);
    EXPECT_EQ(turtle_step_forward(t, 100), 0);
    expect_at(t, 0, 336);
    EXPECT_EQ(ttl[t].event, 0u);
}

TEST_F(Motion, BackwardStepTestsTheReversedDirection) {
    int t = place_turtle(0, 236, -90);
    bounded_area_mode = 1;
    EXPECT_EQ(is_colliding_to_wall(t, -15), 1);
    EXPECT_EQ(is_colliding_to_wall(t, 15), 0);
    EXPECT_EQ(turtle_step_forward(t, -15), -1);
    EXPECT_EQ(ttl[t].event, EV_BUMP_WALL);
    EXPECT_EQ(turtle_step_forward(t, 15), 0);
}

TEST_F(Motion, OneFacedWallBlocksOnlyFromItsNormalSide) {
    bounded_area_mode = 1;
    // faces down (towards -y): stops a turtle coming from below only
    setup_wall(50, 50, -50, 50, 0, -1, 0);
    int t = place_turtle(0, 0, 90);
    EXPECT_EQ(turtle_step_forward(t, 100), -1);
    EXPECT_NEAR(distance_to_front_wall(t, 1), 40.0, 1e-9);
    int u = place_turtle(100, 100, -90);
    EXPECT_EQ(turtle_step_forward(u, 100), 0); // crosses it from above
    expect_at(u, 100, 0);
    ttl[u].pos[0] = {0, 100};
    EXPECT_EQ(turtle_step_forward(u, 70), 0);
    expect_at(u, 0, 30);
}

TEST_F(Motion, TwoFacedWallBlocksFromBothSides) {
    bounded_area_mode = 1;
    two_faced_wall(-50, 0, 50, 0);
    int a = place_turtle(0, -30, 90);
    int b = place_turtle(25, 30, -90);
    EXPECT_EQ(turtle_step_forward(a, 25), -1);
    EXPECT_EQ(turtle_step_forward(b, 25), -1);
    EXPECT_EQ(turtle_step_forward(a, 20), 0);
    EXPECT_EQ(turtle_step_forward(b, 20), 0);
    expect_at(a, 0, -10);
    expect_at(b, 25, 10);
}

TEST_F(Motion, EndCapOfAWallStopsAGrazingDisk) {
    bounded_area_mode = 1;
    two_faced_wall(20, 30, 100, 30);
    int t = place_turtle(12, 0, 90);
    // the centre passes 8 from the end point: contact at 30 - sqrt(100 - 64)
    EXPECT_NEAR(distance_to_front_wall(t, 1), 24.0, 1e-9);
    EXPECT_EQ(turtle_step_forward(t, 24.5), -1);
    EXPECT_EQ(turtle_step_forward(t, 23.5), 0);
    // 10.5 from the far end point: the path misses that cap
    int u = place_turtle(110.5, -100, 90);
    EXPECT_EQ(turtle_step_forward(u, 200), 0);
}

TEST_F(Motion, ShortWallAheadIsNotSkipped) {
    bounded_area_mode = 1;
    two_faced_wall(-5, 30, 5, 30); // midpoint 30 away, contact after 20
    int t = place_turtle(0, 0, 90);
    EXPECT_EQ(is_colliding_to_wall(t, 21), 1);
    EXPECT_EQ(is_colliding_to_wall(t, 19), 0);
    EXPECT_EQ(turtle_step_forward(t, 21), -1);
}

TEST_F(Motion, DiskOverlappingAWallMovesAwayOnly) {
    bounded_area_mode = 1;
    int t = place_turtle(0, 250, 90);
    EXPECT_DOUBLE_EQ(distance_to_front_wall(t, 1), -4.0);
    EXPECT_EQ(turtle_step_forward(t, 1), -1);
    EXPECT_EQ(turtle_step_forward(t, 0), -1);
    EXPECT_EQ(turtle_step_forward(t, -1), 0);
    expect_at(t, 0, 249);
    ttl[t].heading = -90;
    EXPECT_EQ(turtle_step_forward(t, 5), 0);
    expect_at(t, 0, 244);
}

TEST_F(Motion, WallCollisionNeedsMoreThanTheFreeTravel) {
    bounded_area_mode = 1;
    int t = place_turtle(0, 0, 90);
    EXPECT_EQ(is_colliding_to_wall(t, 200), 0);
    EXPECT_EQ(is_colliding_to_wall(t, 246.5), 1);
    nwall = 0;
    EXPECT_EQ(distance_to_front_wall(t, 1), FAR);
    EXPECT_EQ(is_colliding_to_wall(t, 1000), 0);
}

// ------------------------------------------------------------------ jumps

TEST_F(Motion, JumpRefusedNearAnotherEntryWhereverItAims) {
    int t = place_turtle(0, 0, 0);
    int o = place_turtle(19, 0, 0);
    EXPECT_EQ(turtle_jump(t, 200, 200), -1);
    expect_at(t, 0, 0);
    ttl[o].pos[0] = {20, 0};
    EXPECT_EQ(turtle_jump(t, 20, 0), 0); // the destination is not tested
    expect_at(t, 20, 0);
}

TEST_F(Motion, JumpAnywhereOutsideBoundedMode) {
    int t = place_turtle(0, 0, 33);
    ttl[t].status |= ST_PAINTED | ST_TOUCH_STONE;
    EXPECT_EQ(turtle_jump(t, 1000, 1000), 0);
    expect_at(t, 1000, 1000);
    EXPECT_EQ(ttl[t].pos[1].x, 0.0);
    EXPECT_EQ(ttl[t].heading, 33.0);
    EXPECT_EQ(ttl[t].status & ST_PAINTED, 0u);
    EXPECT_TRUE(ttl[t].status & ST_TOUCH_STONE);
    EXPECT_EQ(turtle_rjump(t, -1000, -990), 0);
    expect_at(t, 0, 10);
}

TEST_F(Motion, JumpInBoundedModeStaysInsideAndAwayFromWalls) {
    int t = place_turtle(0, 0, 0);
    bounded_area_mode = 1;
    EXPECT_EQ(turtle_jump(t, 257, 0), -1);
    EXPECT_EQ(turtle_jump(t, 0, -300), -1);
    EXPECT_EQ(turtle_jump(t, 0, 246.5), -1); // 9.5 from the boundary
    expect_at(t, 0, 0);
    EXPECT_EQ(turtle_jump(t, 0, 246), 0);
    expect_at(t, 0, 246);
    EXPECT_EQ(turtle_rjump(t, 0, 1), -1);
}

TEST_F(Motion, JumpRefusedInBattleModeAndForZombies) {
    int t = place_turtle(0, 0, 0);
    battle_mode = 1;
    EXPECT_EQ(turtle_jump(t, 10, 10), -1);
    EXPECT_EQ(turtle_rjump(t, 10, 10), -1);
    battle_mode = 0;
    make_zombie(t);
    EXPECT_EQ(turtle_jump(t, 10, 10), -1);
    expect_at(t, 0, 0);
}

// ------------------------------------------------------- distance helpers

TEST_F(Motion, DistanceHelpers) {
    EXPECT_EQ(dist_to_wall_from(0, 0), 256.0);
    EXPECT_EQ(dist_to_wall_from(250, 10), 6.0);
    EXPECT_EQ(is_hitting_wall(0, 0), 0);
    EXPECT_EQ(is_hitting_wall(251, 0), 0);   // exactly 5
    EXPECT_EQ(is_hitting_wall(251.5, 0), 1); // within 5
    EXPECT_EQ(is_hitting_wall(0, -256.5), 1); // outside the field
    nwall = 0;
    EXPECT_EQ(dist_to_wall_from(0, 0), FAR);
    EXPECT_EQ(is_hitting_wall(255, 255), 0);
    EXPECT_EQ(is_hitting_wall(256.001, 0), 1);
}

TEST_F(Motion, NearestNeighbourAndPairDistances) {
    EXPECT_DOUBLE_EQ(dist_to_nn_from(-1, 0, 0), 1.844674352395373e19);
    int a = place_turtle(0, 0, 0);
    int b = place_turtle(3, 4, 0);
    set_object_at(100, 0, ST_STONE);
    EXPECT_EQ(dist_t2t(a, b), 5.0);
    EXPECT_EQ(dist_to_nn(a), 5.0);
    EXPECT_EQ(dist_to_nn_from(a, 90, 0), 10.0); // stones count
    make_zombie(b);
    EXPECT_EQ(dist_to_nn(a), 5.0); // zombies count
    ttl[b].status = 0;
    EXPECT_EQ(dist_t2t(a, b), FAR);
    EXPECT_EQ(dist_to_nn(a), 100.0);
}
