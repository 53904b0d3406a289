// test_lifecycle.cpp -- creation, slots and ntmax, zombies, reset and home,
// teams, names, the event mask and the identity queries of turtle entries.

#include <cmath>
#include <string>

#include "world_fixture.h"

using Lifecycle = World;

// ------------------------------------------------------------ creation

TEST_F(Lifecycle, InitTurtleWritesEveryInitialValue) {
    std::memset(&ttl[3], 0x5a, sizeof(ttl[3]));
    init_turtle(3, 7, 12.5, -4.0, 33.0);
    const turtle& t = ttl[3];
    EXPECT_EQ(t.cid, 7);
    for (int k = 0; k < HISTORY; k++) {
        EXPECT_EQ(t.pos[k].x, 12.5);
        EXPECT_EQ(t.pos[k].y, -4.0);
        EXPECT_EQ(t.col[k].r, 1.0);
        EXPECT_EQ(t.col[k].g, 0.0);
        EXPECT_EQ(t.col[k].b, 0.0);
        EXPECT_EQ(t.width[k], 1.0);
    }
    EXPECT_EQ(t.heading, 33.0);
    EXPECT_EQ(t.ttl, 0);
    EXPECT_EQ(t.bttf, 0);
    EXPECT_EQ(t.score, 100);
    EXPECT_EQ(t.team, 0);
    EXPECT_EQ(t.frange, 20.0);
    EXPECT_EQ(t.ndonut, 0);
    EXPECT_EQ(t.ncoin, 0);
    EXPECT_EQ(t.nstroke, 0);
    EXPECT_EQ(t.msg[0], 0);
    EXPECT_EQ(t.name[0], 0);
    EXPECT_EQ(t.name[NAME_LEN], 0);
    EXPECT_EQ(t.status, ST_ALIVE);
    EXPECT_EQ(t.event, 0u);
    EXPECT_EQ(t.eventmask, 0xffffffffu);
    EXPECT_EQ(t.target_of_rader, -1);
    EXPECT_EQ(t.target_of_finder, -1);
}

TEST_F(Lifecycle, InitTurtleWithoutClientIsARobotAndIgnoresBadSlots) {
    init_turtle(0, -1, 0, 0, 0);
    EXPECT_EQ(ttl[0].status, ST_ALIVE | ST_ROBOT);

    turtle before[MAX_TURTLE];
    std::memcpy(before, ttl, sizeof(ttl));
    init_turtle(-1, 0, 1, 1, 1);
    init_turtle(MAX_TURTLE, 0, 1, 1, 1);
    EXPECT_EQ(std::memcmp(before, ttl, sizeof(ttl)), 0);
}

TEST_F(Lifecycle, GenerateTakesLowestFreeSlotAndRaisesNtmax) {
    EXPECT_EQ(generate_turtle(0, 0), 0);
    EXPECT_EQ(generate_turtle(1, 0), 1);
    EXPECT_EQ(generate_turtle(2, 0), 2);
    EXPECT_EQ(ntmax, 3);
    EXPECT_EQ(ttl[1].cid, 1);

    ttl[1].status = 0; // slot 1 dies
    EXPECT_EQ(ntmax, 3);
    EXPECT_EQ(generate_turtle(5, 0), 1);
    EXPECT_EQ(ttl[1].cid, 5);
    EXPECT_EQ(ntmax, 3);
}

TEST_F(Lifecycle, GenerateRefusesAFullTable) {
    // A 6 x 5 grid 80 apart fills every slot without crowding the draws out.
    for (int i = 0; i < MAX_TURTLE; i++) place_turtle(-200 + 80 * (i % 6), -160 + 80 * (i / 6), 0);
    ASSERT_EQ(ntmax, MAX_TURTLE);
    EXPECT_EQ(generate_turtle(0, 0), -1);

    ttl[17].status = 0;
    int t = generate_turtle(3, 0);
    EXPECT_EQ(t, 17);
}

TEST_F(Lifecycle, RobotAndDoughnutStatusBits) {
    int r = generate_turtle(-1, ST_ROBOT);
    ASSERT_GE(r, 0);
    EXPECT_EQ(ttl[r].cid, -1);
    EXPECT_EQ(ttl[r].status, 0x201u);
    int d = generate_turtle(-1, ST_DOUGHNUT);
    ASSERT_GE(d, 0);
    EXPECT_EQ(ttl[d].status, 0xa01u);
}

TEST_F(Lifecycle, OpenFieldPlacementFollowsTheDraws) {
    srandom(4242);
    double x = (drand() - 0.5) * 491, y = (drand() - 0.5) * 491, h = (drand() - 0.5) * 180;
    ASSERT_LT(std::fabs(x), 236.0); // the first trial is good on an empty field
    ASSERT_LT(std::fabs(y), 236.0);

    srandom(4242);
    int t = generate_turtle(0, 0);
    ASSERT_EQ(t, 0);
    EXPECT_EQ(ttl[t].pos[0].x, x);
    EXPECT_EQ(ttl[t].pos[0].y, y);
    EXPECT_EQ(ttl[t].heading, h);
    EXPECT_EQ(ttl[t].pos[6].x, x);
}

TEST_F(Lifecycle, RejectedTrialDrawsNoHeading) {
    srandom(99);
    double x1 = (drand() - 0.5) * 491, y1 = (drand() - 0.5) * 491;
    double x2 = (drand() - 0.5) * 491, y2 = (drand() - 0.5) * 491;
    double h = (drand() - 0.5) * 180;
    ASSERT_GT(std::hypot(x2 - x1, y2 - y1), 20.0);
    ASSERT_LT(std::fabs(x2), 236.0);
    ASSERT_LT(std::fabs(y2), 236.0);

    place_turtle(x1, y1, 0); // blocks the first trial
    srandom(99);
    int t = generate_turtle(1, 0);
    ASSERT_EQ(t, 1);
    EXPECT_EQ(ttl[t].pos[0].x, x2);
    EXPECT_EQ(ttl[t].pos[0].y, y2);
    EXPECT_EQ(ttl[t].heading, h);
}

TEST_F(Lifecycle, OpenFieldPlacementKeepsClearOfEntriesAndWalls) {
    for (int i = 0; i < 25; i++) {
        int t = generate_turtle(-1, ST_ROBOT);
        if (t < 0) continue;
        EXPECT_LE(std::fabs(ttl[t].pos[0].x), 236.0);
        EXPECT_LE(std::fabs(ttl[t].pos[0].y), 236.0);
        EXPECT_GE(ttl[t].heading, -90.0);
        EXPECT_LE(ttl[t].heading, 90.0);
        EXPECT_GE(dist_to_nn(t), 20.0);
    }
}

TEST_F(Lifecycle, MazeModeStartsInTheCornerCellFacingEast) {
    maze_mode = 1;
    srandom(31);
    for (int i = 0; i < 3; i++) {
        int t = generate_turtle(i, 0);
        ASSERT_GE(t, 0);
        EXPECT_GE(ttl[t].pos[0].x, -246.0);
        EXPECT_LE(ttl[t].pos[0].x, -224.0);
        EXPECT_GE(ttl[t].pos[0].y, -246.0);
        EXPECT_LE(ttl[t].pos[0].y, -224.0);
        EXPECT_EQ(ttl[t].heading, 0.0);
        EXPECT_GE(dist_to_nn(t), 10.0);
    }
}

TEST_F(Lifecycle, NoFreeStartPointLeavesTheSlotFree) {
    maze_mode = 1;
    // Walls every 15 units across the corner cell: every point lies within
    // 10 of a wall.
    setup_wall(-256, -246, -224, -246, 0, 1, 0);
    setup_wall(-256, -231, -224, -231, 0, 1, 0);
    place_turtle(100, 100, 0);
    EXPECT_EQ(generate_turtle(2, 0), -1);
    EXPECT_EQ(ttl[1].status, 0u);
    EXPECT_EQ(ntmax, 1);
}

// ------------------------------------------------------- zombies, reset

TEST_F(Lifecycle, ZombieKeepsItsSlotAndIsRefusedEverything) {
    int a = place_turtle(0, 0, 0);
    int b = place_turtle(-30, 0, 0);
    make_zombie(a);
    EXPECT_EQ(ttl[a].status, ST_ALIVE | ST_ZOMBIE);
    int s;
    qt_alive(a, &s);
    EXPECT_EQ(s, 1);

    EXPECT_EQ(turtle_step_forward(a, 5), -1);
    EXPECT_EQ(turtle_turn(a, 10), -1);
    EXPECT_EQ(turtle_head(a, 2), 1);
    EXPECT_EQ(turtle_jump(a, 100, 100), -1);
    EXPECT_EQ(turtle_fire(a), -1);
    EXPECT_EQ(turtle_name(a, "x"), 1);
    EXPECT_EQ(turtle_set_team(a, 2), -1);
    EXPECT_EQ(turtle_print_string(a, "x"), -1);
    EXPECT_EQ(turtle_set_color(a, 0, 1, 0), -1);
    EXPECT_EQ(turtle_reset(a, 0), 1);
    EXPECT_EQ(turtle_home(a), 1);
    EXPECT_EQ(ttl[a].pos[0].x, 0.0);
    EXPECT_EQ(ttl[a].heading, 0.0);
    EXPECT_EQ(ttl[a].team, 0);

    // still an obstacle to others
    EXPECT_EQ(turtle_step_forward(b, 15), -1);
    EXPECT_EQ(turtle_get_and_reset_eventcode(b), EV_BUMP_TURTLE);
}

TEST_F(Lifecycle, ResetByOwnerRestoresEverything) {
    int t = place_turtle(50, 60, 45, 4);
    turtle_set_team(t, 3);
    turtle_name(t, "abc");
    turtle_disable_event(t, EV_HIT);
    turtle_pen_down(t);
    turtle_set_brush(t);
    ttl[t].score = 7;
    EXPECT_EQ(turtle_reset(t, 4), 0);
    EXPECT_EQ(ttl[t].pos[0].x, 0.0);
    EXPECT_EQ(ttl[t].pos[3].y, 0.0);
    EXPECT_EQ(ttl[t].heading, 0.0);
    EXPECT_EQ(ttl[t].team, 0);
    EXPECT_EQ(ttl[t].score, 100);
    EXPECT_EQ(ttl[t].name[0], 0);
    EXPECT_EQ(ttl[t].eventmask, 0xffffffffu);
    EXPECT_EQ(ttl[t].status, ST_ALIVE);
    EXPECT_EQ(ttl[t].cid, 4);
}

TEST_F(Lifecycle, ResetByAnotherClientChangesNothing) {
    int t = place_turtle(50, 60, 45, 4);
    turtle before = ttl[t];
    EXPECT_EQ(turtle_reset(t, 5), 0);
    EXPECT_EQ(std::memcmp(&before, &ttl[t], sizeof(turtle)), 0);
}

TEST_F(Lifecycle, ResetAndHomeRefusedInBattleMode) {
    int t = place_turtle(50, 60, 45, 4);
    battle_mode = 1;
    turtle before = ttl[t];
    EXPECT_EQ(turtle_reset(t, 4), 1);
    EXPECT_EQ(turtle_home(t), 1);
    EXPECT_EQ(std::memcmp(&before, &ttl[t], sizeof(turtle)), 0);
}

TEST_F(Lifecycle, HomeMovesSixSlotsAndKeepsPenState) {
    int t = place_turtle(50, 60, 45);
    turtle_set_color(t, 0, 1, 0);
    turtle_pen_down(t);
    ttl[t].pos[6] = {9, 9};
    EXPECT_EQ(turtle_home(t), 0);
    for (int k = 0; k < HISTORY - 1; k++) {
        EXPECT_EQ(ttl[t].pos[k].x, 0.0);
        EXPECT_EQ(ttl[t].pos[k].y, 0.0);
    }
    EXPECT_EQ(ttl[t].pos[6].x, 9.0);
    EXPECT_EQ(ttl[t].heading, 0.0);
    EXPECT_EQ(ttl[t].col[0].g, 1.0);
    EXPECT_TRUE(ttl[t].status & ST_PEN_DOWN);
}

// ------------------------------------------------------- team and name

TEST_F(Lifecycle, TeamOutsideOneToFourIsIgnored) {
    int t = place_turtle(0, 0, 0);
    EXPECT_EQ(turtle_set_team(t, 2), 0);
    EXPECT_EQ(turtle_set_team(t, 0), 0);
    EXPECT_EQ(qt_my_team(t), 2);
    EXPECT_EQ(turtle_set_team(t, 5), 0);
    EXPECT_EQ(turtle_set_team(t, -1), 0);
    EXPECT_EQ(qt_my_team(t), 2);
    EXPECT_EQ(turtle_set_team(t, 4), 0);
    EXPECT_EQ(qt_my_team(t), 4);
}

TEST_F(Lifecycle, NameIsCutAt128Bytes) {
    int t = place_turtle(0, 0, 0);
    EXPECT_EQ(turtle_name(t, "Ada"), 0);
    EXPECT_STREQ(ttl[t].name, "Ada");
    std::string longname(300, 'n');
    EXPECT_EQ(turtle_name(t, longname.c_str()), 0);
    EXPECT_EQ(std::strlen(ttl[t].name), 128u);
    EXPECT_EQ(ttl[t].name[NAME_LEN], 0);
}

// --------------------------------------------------------------- events

TEST_F(Lifecycle, DisabledEventIsPendingButNotReported) {
    int t = place_turtle(0, 0, 0);
    place_turtle(30, 0, 0);
    turtle_disable_event(t, EV_BUMP_TURTLE);
    EXPECT_EQ(ttl[t].eventmask, ~EV_BUMP_TURTLE);
    EXPECT_EQ(turtle_step_forward(t, 15), -1);
    EXPECT_EQ(ttl[t].event, EV_BUMP_TURTLE);
    EXPECT_EQ(turtle_get_and_reset_eventcode(t), 0u);
    EXPECT_EQ(ttl[t].event, 0u);

    // re-enabled before a read: the bump is reported
    turtle_turn(t, 1);
    turtle_turn(t, -1);
    EXPECT_EQ(turtle_step_forward(t, 15), -1);
    turtle_enable_event(t, EV_BUMP_TURTLE);
    EXPECT_EQ(turtle_get_and_reset_eventcode(t), EV_BUMP_TURTLE);
    EXPECT_EQ(turtle_get_and_reset_eventcode(t), 0u);
}

TEST_F(Lifecycle, DisableClearsPendingBitsToo) {
    int t = place_turtle(0, 0, 0);
    ttl[t].event = EV_HIT | EV_COIN;
    EXPECT_EQ(turtle_disable_event(t, EV_HIT), 0);
    EXPECT_EQ(ttl[t].event, EV_COIN);
    EXPECT_EQ(turtle_enable_event(t, EV_HIT), 0);
    EXPECT_EQ(ttl[t].eventmask, 0xffffffffu);
    EXPECT_EQ(turtle_get_and_reset_eventcode(t), EV_COIN);
}

// -------------------------------------------------------------- queries

TEST_F(Lifecycle, QueriesOfAFreeSlot) {
    int s = 9;
    double x = 5, y = 5, d = 5;
    ttl[4].score = 55;
    ttl[4].pos[0] = {3, 4};
    EXPECT_EQ(qt_alive(4, &s), 0);
    EXPECT_EQ(s, 0);
    EXPECT_EQ(qt_score(4, &s), 0);
    EXPECT_EQ(s, 0);
    EXPECT_EQ(qt_position(4, &x, &y), -1);
    EXPECT_EQ(x, 0.0);
    EXPECT_EQ(y, 0.0);
    EXPECT_EQ(qt_direction(4, &d), -1);
    EXPECT_EQ(d, 0.0);
}

TEST_F(Lifecycle, QueriesOfALiveTurtle) {
    int t = place_turtle(-7.5, 8.25, 123.0);
    int s;
    double x, y, d;
    EXPECT_EQ(qt_alive(t, &s), 0);
    EXPECT_EQ(s, 1);
    ttl[t].score = 42;
    EXPECT_EQ(qt_score(t, &s), 0);
    EXPECT_EQ(s, 42);
    EXPECT_EQ(qt_position(t, &x, &y), 0);
    EXPECT_EQ(x, -7.5);
    EXPECT_EQ(y, 8.25);
    EXPECT_EQ(qt_direction(t, &d), 0);
    EXPECT_EQ(d, 123.0);
}
