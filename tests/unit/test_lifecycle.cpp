// test_lifecycle.cpp -- creation, slots and ntmax, start places, zombies,
// the pen's trail, the event mask and the team boards.

#include <cmath>
#include <string>

#include "world_fixture.h"

using Lifecycle = World;

// A new turtle, whatever its slot held: a red pen of width 1, 100 points and
// a finder range of 20.
TEST_F(Lifecycle, CreationWritesEveryInitialValueInTheLowestFreeSlot) {
    std::memset(&ttl[3], 0x5a, sizeof(ttl[3]));
    init_turtle(3, 7, 12.5, -4.0, 33.0);
    expect_fresh_entry(ttl[3], 7, 12.5, -4.0, {1.0, 0.0, 0.0}, 100, ST_ALIVE, 0);
    EXPECT_TRUE(ttl[3].heading == 33.0 && ttl[3].frange == 20.0);

    reset_world_for_test();
    EXPECT_EQ(generate_turtle(0, 0), 0);
    EXPECT_EQ(generate_turtle(-1, ST_DOUGHNUT), 1); // (what it is: test_coins.cpp)
    ttl[0].status = 0;
    EXPECT_EQ(generate_turtle(5, 0), 0);
    EXPECT_EQ(ttl[0].cid, 5);
    EXPECT_EQ(ntmax, 2);
    for (int i = 2; i < MAX_TURTLE; i++) place_turtle(-200 + 80 * (i % 6), -160 + 80 * (i / 6), 0);
    EXPECT_EQ(generate_turtle(0, 0), -1) << "a full table";
}

// In the open field a turtle starts 20 from every entry and 10 from the
// walls, heading within 90 of east; in the maze in the south-west corner
// cell facing east, or nowhere when that cell has no room.
TEST_F(Lifecycle, StartPlaces) {
    for (int i = 0; i < 25; i++) {
        int t = generate_turtle(-1, ST_ROBOT);
        if (t < 0) continue;
        EXPECT_LE(std::fmax(std::fabs(ttl[t].pos[0].x), std::fabs(ttl[t].pos[0].y)), 246.0);
        EXPECT_LE(std::fabs(ttl[t].heading), 90.0);
        EXPECT_GE(dist_to_nn(t), 20.0);
    }
    reset_world_for_test(31);
    maze_mode = 1;
    for (int i = 0; i < 3; i++) {
        int t = generate_turtle(i, 0);
        ASSERT_GE(t, 0);
        for (double c : {ttl[t].pos[0].x, ttl[t].pos[0].y}) EXPECT_TRUE(c >= -246 && c <= -224) << c;
        EXPECT_EQ(ttl[t].heading, 0.0);
    }
    // walls every 15 units across the corner cell: every point lies within 10 of one
    reset_world_for_test();
    maze_mode = 1;
    setup_wall(-256, -246, -224, -246, 0, 1, 0);
    setup_wall(-256, -231, -224, -231, 0, 1, 0);
    EXPECT_EQ(generate_turtle(2, 0), -1);
    EXPECT_EQ(ntmax, 0);
}

TEST_F(Lifecycle, ZombieKeepsItsSlotAndIsRefusedEverything) {
    int a = place_turtle(0, 0, 0);
    int b = place_turtle(-30, 0, 0);
    make_zombie(a);
    int s;
    qt_alive(a, &s);
    EXPECT_EQ(s, 1);
    const turtle before = ttl[a];
    const struct { const char* op; int rc, want; } refusals[] = {
        {"step", turtle_step_forward(a, 5), -1},      {"turn", turtle_turn(a, 10), -1},
        {"head", turtle_head(a, 2), 1},               {"jump", turtle_jump(a, 100, 100), -1},
        {"fire", turtle_fire(a), -1},                 {"name", turtle_name(a, "x"), 1},
        {"team", turtle_set_team(a, 2), -1},          {"print", turtle_print_string(a, "x"), -1},
        {"colour", turtle_set_color(a, 0, 1, 0), -1}, {"reset", turtle_reset(a, 0), 1},
        {"home", turtle_home(a), 1},
    };
    for (const auto& r : refusals) EXPECT_EQ(r.rc, r.want) << r.op;
    EXPECT_EQ(std::memcmp(&before, &ttl[a], sizeof(turtle)), 0) << "nothing changed";
    EXPECT_EQ(turtle_step_forward(b, 15), -1) << "still an obstacle to others";
}

TEST_F(Lifecycle, PenDownStartsAFreshTrailAndPenUpEndsIt) {
    int t = place_turtle(0, 0, 0);
    turtle_step_forward(t, 20);
    turtle_set_color(t, 0, 0.5, 1);
    turtle_line_width(t, 3);
    ttl[t].nstroke = 9;
    EXPECT_EQ(turtle_pen_down(t), 0);
    EXPECT_EQ(ttl[t].nstroke, 0);
    for (int k = 1; k < HISTORY; k++) {
        EXPECT_TRUE(ttl[t].pos[k].x == 20.0 && ttl[t].col[k].g == 0.5 && ttl[t].width[k] == 3.0)
            << k;
    }
    EXPECT_EQ(turtle_pen_up(t), 0);
    EXPECT_EQ(ttl[t].status & (ST_PEN_DOWN | ST_PEN_LIFTED), ST_PEN_LIFTED);
}

TEST_F(Lifecycle, DisabledEventIsPendingButNotReported) {
    int t = place_turtle(0, 0, 0);
    place_turtle(30, 0, 0);
    turtle_disable_event(t, EV_BUMP_TURTLE);
    EXPECT_EQ(turtle_step_forward(t, 15), -1);
    EXPECT_EQ(turtle_get_and_reset_eventcode(t), 0u);
    turtle_turn(t, 1);
    EXPECT_EQ(turtle_step_forward(t, 15), -1);
    turtle_enable_event(t, EV_BUMP_TURTLE);
    EXPECT_EQ(turtle_get_and_reset_eventcode(t), EV_BUMP_TURTLE) << "re-enabled before a read";
    ttl[t].event = EV_HIT | EV_COIN;
    turtle_disable_event(t, EV_HIT);
    EXPECT_EQ(ttl[t].event, EV_COIN) << "disabling drops pending bits of that kind";
}

TEST_F(Lifecycle, BroadcastReachesLivingMatesOnlyAndWaitsForALockedBoard) {
    int a = place_turtle(0, 0, 0), b = place_turtle(50, 0, 0), other = place_turtle(150, 0, 0);
    int dead = place_turtle(200, 0, 0);
    for (int t : {a, b, dead}) turtle_set_team(t, 2);
    turtle_set_team(other, 3);
    ttl[dead].status = 0;
    elapsed_time = 0x1234567890ul;
    EXPECT_EQ(turtle_broadcast_message(a, "first"), 0);
    for (auto [t, ev] : {std::pair{a, 0u}, {b, EV_TEAM_MSG}, {other, 0u}, {dead, 0u}})
        EXPECT_EQ(ttl[t].event, ev) << "slot " << t;
    EXPECT_EQ(teams[2].msg_time, 0x34567890u) << "the low 32 bits of the tick";
    ttl[b].event = 0;
    teams[2].status |= TEAM_NO_BROADCAST;
    EXPECT_EQ(turtle_broadcast_message(a, "new"), -1);
    EXPECT_STREQ(teams[2].msg, "first");
    EXPECT_EQ(ttl[b].event, 0u);
}
