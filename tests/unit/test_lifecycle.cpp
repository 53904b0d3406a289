// test_lifecycle.cpp -- creation, slots and ntmax, zombies, reset and home,
// names, the event mask and the identity queries of turtle entries.

#include <cmath>
#include <string>

#include "world_fixture.h"

using Lifecycle = World;

// A new turtle: a red pen of width 1, a full score and the finder's range.
static void expect_fresh(const turtle& t, int cid, double x, double y, double heading,
                         unsigned status) {
    expect_fresh_entry(t, cid, x, y, {1.0, 0.0, 0.0}, START_SCORE, status, 0);
    EXPECT_EQ(t.heading, heading);
    EXPECT_EQ(t.frange, START_FRANGE);
}

// ------------------------------------------------------------ creation

TEST_F(Lifecycle, InitTurtleWritesEveryInitialValueAndIgnoresBadSlots) {
    std::memset(&ttl[3], 0x5a, sizeof(ttl[3]));
    init_turtle(3, 7, 12.5, -4.0, 33.0);
    expect_fresh(ttl[3], 7, 12.5, -4.0, 33.0, ST_ALIVE);
    init_turtle(0, -1, 0, 0, 0);
    EXPECT_EQ(ttl[0].status, ST_ALIVE | ST_ROBOT) << "no client: a robot";

    turtle before[MAX_TURTLE];
    std::memcpy(before, ttl, sizeof(ttl));
    init_turtle(-1, 0, 1, 1, 1);
    init_turtle(MAX_TURTLE, 0, 1, 1, 1);
    EXPECT_EQ(std::memcmp(before, ttl, sizeof(ttl)), 0);
}

TEST_F(Lifecycle, GenerateTakesTheLowestFreeSlotWithItsType) {
    EXPECT_EQ(generate_turtle(0, 0), 0);
    EXPECT_EQ(generate_turtle(1, ST_ROBOT), 1);
    EXPECT_EQ(generate_turtle(-1, ST_DOUGHNUT), 2);
    EXPECT_EQ(ntmax, 3);
    EXPECT_EQ(ttl[1].cid, 1);
    EXPECT_EQ(ttl[1].status, ST_ALIVE | ST_ROBOT);
    EXPECT_EQ(ttl[2].status, ST_ALIVE | ST_ROBOT | ST_DOUGHNUT);

    ttl[1].status = 0; // slot 1 dies
    EXPECT_EQ(generate_turtle(5, 0), 1);
    EXPECT_EQ(ttl[1].cid, 5);
    EXPECT_EQ(ntmax, 3);

    // A 6 x 5 grid 80 apart fills every slot without crowding the draws out.
    reset_world_for_test();
    for (int i = 0; i < MAX_TURTLE; i++) place_turtle(-200 + 80 * (i % 6), -160 + 80 * (i / 6), 0);
    EXPECT_EQ(generate_turtle(0, 0), -1) << "full table";
    ttl[17].status = 0;
    EXPECT_EQ(generate_turtle(3, 0), 17);
}

TEST_F(Lifecycle, PlacementFollowsTheDrawsAndARejectedTrialDrawsNoHeading) {
    srandom(4242);
    double x = (drand() - 0.5) * 491, y = (drand() - 0.5) * 491, h = (drand() - 0.5) * 180;
    ASSERT_TRUE(std::fabs(x) < 236.0 && std::fabs(y) < 236.0); // a good first trial
    srandom(4242);
    int t = generate_turtle(0, 0);
    ASSERT_EQ(t, 0);
    EXPECT_TRUE(ttl[t].pos[0].x == x && ttl[t].pos[0].y == y && ttl[t].heading == h);
    EXPECT_EQ(ttl[t].pos[6].x, x);

    reset_world_for_test();
    srandom(99);
    double x1 = (drand() - 0.5) * 491, y1 = (drand() - 0.5) * 491;
    double x2 = (drand() - 0.5) * 491, y2 = (drand() - 0.5) * 491, h2 = (drand() - 0.5) * 180;
    ASSERT_GT(std::hypot(x2 - x1, y2 - y1), 20.0);
    ASSERT_TRUE(std::fabs(x2) < 236.0 && std::fabs(y2) < 236.0);
    place_turtle(x1, y1, 0); // blocks the first trial
    srandom(99);
    t = generate_turtle(1, 0);
    ASSERT_EQ(t, 1);
    EXPECT_TRUE(ttl[t].pos[0].x == x2 && ttl[t].pos[0].y == y2 && ttl[t].heading == h2);
}

TEST_F(Lifecycle, OpenFieldPlacementKeepsClearOfEntriesAndWalls) {
    for (int i = 0; i < 25; i++) {
        int t = generate_turtle(-1, ST_ROBOT);
        if (t < 0) continue;
        EXPECT_LE(std::fabs(ttl[t].pos[0].x), 236.0);
        EXPECT_LE(std::fabs(ttl[t].pos[0].y), 236.0);
        EXPECT_LE(std::fabs(ttl[t].heading), 90.0);
        EXPECT_GE(dist_to_nn(t), 20.0);
    }
}

TEST_F(Lifecycle, MazeModeStartsInTheCornerCellFacingEast) {
    maze_mode = 1;
    srandom(31);
    for (int i = 0; i < 3; i++) {
        int t = generate_turtle(i, 0);
        ASSERT_GE(t, 0);
        for (double c : {ttl[t].pos[0].x, ttl[t].pos[0].y}) {
            EXPECT_GE(c, -246.0);
            EXPECT_LE(c, -224.0);
        }
        EXPECT_EQ(ttl[t].heading, 0.0);
        EXPECT_GE(dist_to_nn(t), 10.0);
    }
    // Walls every 15 units across the corner cell: every point lies within
    // 10 of a wall, so there is no start point and the slot stays free.
    reset_world_for_test();
    maze_mode = 1;
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
    const turtle before = ttl[a];
    const struct {
        const char* op;
        int rc, want;
    } refusals[] = {
        {"step", turtle_step_forward(a, 5), -1},    {"turn", turtle_turn(a, 10), -1},
        {"head", turtle_head(a, 2), 1},             {"jump", turtle_jump(a, 100, 100), -1},
        {"fire", turtle_fire(a), -1},               {"name", turtle_name(a, "x"), 1},
        {"team", turtle_set_team(a, 2), -1},        {"print", turtle_print_string(a, "x"), -1},
        {"colour", turtle_set_color(a, 0, 1, 0), -1}, {"reset", turtle_reset(a, 0), 1},
        {"home", turtle_home(a), 1},
    };
    for (const auto& r : refusals) EXPECT_EQ(r.rc, r.want) << r.op;
    EXPECT_EQ(std::memcmp(&before, &ttl[a], sizeof(turtle)), 0) << "nothing changed";

    // still an obstacle to others
    EXPECT_EQ(turtle_step_forward(b, 15), -1);
    EXPECT_EQ(turtle_get_and_reset_eventcode(b), EV_BUMP_TURTLE);
}

TEST_F(Lifecycle, ResetByOwnerRestoresEverything) {
    int t = place_turtle(50, 60, 45, 4);
    turtle_set_team(t, 3);
    turtle_name(t, "abc");
    turtle_print_string(t, "hello");
    turtle_disable_event(t, EV_HIT);
    turtle_pen_down(t);
    turtle_set_brush(t);
    turtle_set_color(t, 0, 1, 0);
    turtle_finder_range(t, 50);
    ttl[t].score = 7;
    ttl[t].ncoin = 3;
    EXPECT_EQ(turtle_reset(t, 4), 0);
    expect_fresh(ttl[t], 4, 0, 0, 0, ST_ALIVE);
}

TEST_F(Lifecycle, ResetByAnotherClientOrInBattleModeChangesNothing) {
    int t = place_turtle(50, 60, 45, 4);
    turtle before = ttl[t];
    EXPECT_EQ(turtle_reset(t, 5), 0);
    battle_mode = 1;
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
    for (int k = 0; k < HISTORY - 1; k++) EXPECT_TRUE(ttl[t].pos[k].x == 0 && ttl[t].pos[k].y == 0);
    EXPECT_EQ(ttl[t].pos[6].x, 9.0);
    EXPECT_EQ(ttl[t].heading, 0.0);
    EXPECT_EQ(ttl[t].col[0].g, 1.0);
    EXPECT_TRUE(ttl[t].status & ST_PEN_DOWN);
}

TEST_F(Lifecycle, NameIsCutAt128Bytes) {
    int t = place_turtle(0, 0, 0);
    EXPECT_EQ(turtle_name(t, "Ada"), 0);
    EXPECT_STREQ(ttl[t].name, "Ada");
    std::string longname(300, 'n');
    EXPECT_EQ(turtle_name(t, longname.c_str()), 0);
    EXPECT_EQ(std::string(ttl[t].name), std::string(NAME_LEN, 'n'));
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

    // disabling drops pending bits of that kind too
    ttl[t].event = EV_HIT | EV_COIN;
    EXPECT_EQ(turtle_disable_event(t, EV_HIT), 0);
    EXPECT_EQ(ttl[t].event, EV_COIN);
    EXPECT_EQ(turtle_enable_event(t, EV_HIT), 0);
    EXPECT_EQ(ttl[t].eventmask, EV_ALL);
    EXPECT_EQ(turtle_get_and_reset_eventcode(t), EV_COIN);
}

// -------------------------------------------------------------- queries

// A free slot answers as empty, whatever its record still holds.
TEST_F(Lifecycle, QueriesOfAFreeSlot) {
    int s = 9;
    double x = 5, y = 5, d = 5;
    ttl[4].score = 55;
    ttl[4].pos[0] = {3, 4};
    ttl[4].heading = 7;
    EXPECT_EQ(qt_alive(4, &s), 0);
    EXPECT_EQ(s, 0);
    EXPECT_EQ(qt_score(4, &s), 0);
    EXPECT_EQ(s, 0);
    EXPECT_EQ(qt_position(4, &x, &y), -1);
    EXPECT_TRUE(x == 0 && y == 0);
    EXPECT_EQ(qt_direction(4, &d), -1);
    EXPECT_EQ(d, 0.0);
}
