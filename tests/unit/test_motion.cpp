// test_motion.cpp -- steps, turns and jumps: collisions, bumps and their
// latches, battle-mode limits, jump refusals and the trail history.

#include <cmath>
#include <string>

#include "world_fixture.h"

using Motion = World;

static void expect_at(int t, double x, double y) {
    EXPECT_NEAR(ttl[t].pos[0].x, x, 1e-9);
    EXPECT_NEAR(ttl[t].pos[0].y, y, 1e-9);
}

TEST_F(Motion, BlockedStepBumpsOnceThenLatchesAFreeStepClearsTheLatch) {
    int t = place_turtle(0, 0, 0);
    place_turtle(30, 0, 0);
    EXPECT_EQ(turtle_step_forward(t, 15), -1);
    expect_at(t, 0, 0);
    EXPECT_EQ(ttl[t].event, EV_BUMP_TURTLE);
    ttl[t].event = 0;
    EXPECT_EQ(turtle_step_forward(t, 15), -1);
    EXPECT_EQ(ttl[t].event, 0u);
    EXPECT_EQ(ttl[t].pos[1].x, 0.0); // no history shift
    EXPECT_EQ(turtle_step_forward(t, 5), 0);
    expect_at(t, 5, 0);
    EXPECT_EQ(turtle_step_forward(t, 5), -1) << "a step reaching the contact is blocked too";
    EXPECT_EQ(ttl[t].event, EV_BUMP_TURTLE) << "the free step cleared the latch";
    EXPECT_EQ(turtle_step_forward(t, 4.5), 0);
    expect_at(t, 9.5, 0);
}

// One turtle at the origin facing east, one other entry; each case a fresh
// world.
TEST_F(Motion, StepsAgainstAnotherEntry) {
    const struct {
        const char* what; double ox, oy; unsigned kind; // 0: a turtle
        double step; int rc; double ex;
    } cases[] = {
        {"side clearance over 20", 50, 20.5, 0, 100, 0, 100},
        {"side clearance of 20", 50, 20, 0, 100, -1, 0},
        {"overlapping, towards", 15, 0, 0, 1, -1, 0},
        {"overlapping, away", 15, 0, 0, -5, 0, -5},
        {"backward into one behind", -30, 0, 0, -15, -1, 0},
        {"backward short of it", -30, 0, 0, -9, 0, -9},
        {"stone ahead", 30, 0, ST_STONE, 15, -1, 0},
        {"doughnut ahead", 30, 0, ST_DOUGHNUT, 15, -1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        reset_world_for_test();
        int t = place_turtle(0, 0, 0);
        if (c.kind)
            ASSERT_EQ(set_object_at(c.ox, c.oy, c.kind), 0);
        else
            place_turtle(c.ox, c.oy, 0);
        EXPECT_EQ(turtle_step_forward(t, c.step), c.rc);
        expect_at(t, c.ex, 0);
        unsigned ev = c.kind == ST_STONE ? 8u : c.kind == ST_DOUGHNUT ? 4u : 2u;
        EXPECT_EQ(ttl[t].event, c.rc ? ev : 0u);
    }
    EXPECT_EQ(turtle_step_forward(1, 5), -1) << "a doughnut never moves itself";
}

TEST_F(Motion, StepsAndTurnsKeepTheHistory) {
    int t = place_turtle(0, 0, 350);
    turtle_set_color(t, 0, 0, 1);
    turtle_line_width(t, 4);
    ttl[t].status |= ST_PAINTED | ST_TOUCH_ALL;
    EXPECT_EQ(turtle_turn(t, 0), 0);
    EXPECT_EQ(ttl[t].status & ST_TOUCH_ALL, ST_TOUCH_ALL) << "a turn of 0 clears no latch";
    EXPECT_EQ(turtle_turn(t, 100), 0);
    EXPECT_EQ(ttl[t].heading, 450.0) << "never wrapped";
    EXPECT_EQ(ttl[t].status & ST_TOUCH_ALL, 0u);
    EXPECT_EQ(turtle_step_forward(t, 10), 0);
    expect_at(t, 0, 10);
    EXPECT_EQ(ttl[t].pos[1].y, 0.0);
    EXPECT_EQ(ttl[t].col[1].b, 1.0);
    EXPECT_EQ(ttl[t].width[1], 4.0);
    EXPECT_EQ(ttl[t].col[2].r, 1.0); // from creation
    EXPECT_EQ(ttl[t].status & ST_PAINTED, 0u);
    for (int i = 0; i < 6; i++) turtle_step_forward(t, 1);
    EXPECT_EQ(turtle_jump(t, 1000, 1000), 0);
    EXPECT_NEAR(ttl[t].pos[6].y, 11.0, 1e-9) << "slot 6 keeps the seventh newest";
    EXPECT_EQ(ttl[t].heading, 450.0);
}

// In battle mode a step goes 2 at most and a turn 3 degrees at most, and
// neither works without score.
TEST_F(Motion, BattleModeClampsStepsAndTurns) {
    int t = place_turtle(0, 0, 0);
    place_turtle(30, 0, 0); // contact after 10: a clamped step of 2 is free
    battle_mode = 1;
    const struct { bool step; double v, x, heading; } ops[] = {
        {true, 100, 2, 0},   {true, -100, 0, 0},   {true, 1.5, 1.5, 0},
        {false, 90, 1.5, 3}, {false, -90, 1.5, 0}, {false, 2.5, 1.5, 2.5}};
    for (const auto& o : ops) {
        SCOPED_TRACE((o.step ? "step " : "turn ") + std::to_string(o.v));
        EXPECT_EQ(o.step ? turtle_step_forward(t, o.v) : turtle_turn(t, o.v), 0);
        expect_at(t, o.x, 0);
        EXPECT_EQ(ttl[t].heading, o.heading);
    }
    ttl[t].score = 0;
    EXPECT_EQ(turtle_step_forward(t, 1), -1);
    EXPECT_EQ(turtle_turn(t, 1), -1);
}

static void no_wall() {}
static void one_faced() { setup_wall(50, 50, -50, 50, 0, -1, 0); } // faces -y at y = 50
static void short_wall() { setup_wall(5, 30, -5, 30, 0, -1, 0); } // midpoint 30 away

// A fresh turtle per case; `front` is distance_to_front_wall before the step
// (NAN: not checked). A blocked step reports event 16.
TEST_F(Motion, StepsAgainstWalls) {
    const struct {
        const char* what; void (*walls)(); int bounded; double x, y, heading, step; int rc;
        double ex, ey, front;
    } cases[] = {
        {"boundary ahead", no_wall, 1, 0, 236, 90, 15, -1, 0, 236, 10},
        {"exactly the free distance", no_wall, 1, 0, 236, 90, 10, 0, 0, 246, 10},
        {"outside bounded mode", no_wall, 0, 0, 236, 90, 100, 0, 0, 336, NAN},
        {"overlapping, towards", no_wall, 1, 0, 250, 90, 1, -1, 0, 250, -4},
        {"one face, from its normal side", one_faced, 1, 0, 0, 90, 100, -1, 0, 0, 40},
        {"one face, crossed from behind", one_faced, 1, 0, 100, -90, 70, 0, 0, 30, NAN},
        {"short wall ahead is not skipped", short_wall, 1, 0, 0, 90, 21, -1, 0, 0, 20},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        reset_world_for_test();
        c.walls();
        bounded_area_mode = c.bounded;
        int t = place_turtle(c.x, c.y, c.heading);
        if (!std::isnan(c.front)) {
            EXPECT_NEAR(distance_to_front_wall(t, 1), c.front, 1e-9);
        }
        EXPECT_EQ(turtle_step_forward(t, c.step), c.rc);
        expect_at(t, c.ex, c.ey);
        EXPECT_EQ(ttl[t].event, c.rc ? 16u : 0u);
    }
}

// With walls on, a jump must land inside the field and 10 from every wall.
TEST_F(Motion, JumpRefusals) {
    const struct {
        const char* what; int bounded, battle; bool relative; double x, y; int rc;
    } cases[] = {
        {"anywhere outside bounded mode", 0, 0, false, 1000, 1000, 0},
        {"relative, anywhere", 0, 0, true, -1000, -990, 0},
        {"beyond the right edge", 1, 0, false, 257, 0, -1},
        {"beyond the top edge", 1, 0, false, 0, 300, -1},
        {"9.5 from the boundary", 1, 0, false, 0, 246.5, -1},
        {"10 from the boundary", 1, 0, false, 0, 246, 0},
        {"relative, 9.5 from the boundary", 1, 0, true, 0, 246.5, -1},
        {"battle mode", 0, 1, false, 10, 10, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        reset_world_for_test();
        bounded_area_mode = c.bounded;
        battle_mode = c.battle;
        int t = place_turtle(0, 0, 0);
        EXPECT_EQ(c.relative ? turtle_rjump(t, c.x, c.y) : turtle_jump(t, c.x, c.y), c.rc);
        expect_at(t, c.rc ? 0 : c.x, c.rc ? 0 : c.y);
    }
    // within 20 of another entry no jump goes anywhere; the target is not tested
    reset_world_for_test();
    int t = place_turtle(0, 0, 0);
    int o = place_turtle(19, 0, 0);
    EXPECT_EQ(turtle_jump(t, 200, 200), -1);
    ttl[o].pos[0] = {20, 0};
    EXPECT_EQ(turtle_jump(t, 20, 0), 0);
}

