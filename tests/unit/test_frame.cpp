// The per-frame world update: bullets and hits with scoring, dying and
// blasts, robots, brush strokes and the coin watch.
#include <cmath>

#include "frame.h"
#include "tcpserver.h"
#include "world_fixture.h"

using Frame = World;

static void frames(int n) {
    for (int i = 0; i < n; i++) world_update_frame(nullptr);
}

// A bullet flies 2 a frame; of two turtles it reaches at once, the first in
// slot order is hit.
TEST_F(Frame, BulletFliesTwoUnitsAFrameAndHitsOneTurtle) {
    int s = place_turtle(0, 0, 0), a = place_turtle(22, 5, 0), b = place_turtle(22, -5, 0);
    ASSERT_EQ(turtle_fire(s), 0);
    frames(3);
    EXPECT_NEAR(ttl[s].bullet.x, 6, 1e-9);
    frames(7);
    EXPECT_TRUE((ttl[a].event & EV_HIT) && !(ttl[b].event & EV_HIT));
}

// One shot east from the origin at one entry; the frames run until the
// bullet is gone, then the scores, the victim and the blast are read. A
// hit gives the shooter 11 and costs the victim 30; a victim below 0 dies.
TEST_F(Frame, ShotsAndWhatTheyEarn) {
    const struct {
        const char* what; unsigned kind; double x, y; int vscore;
        int shooter, victim; bool dying, blast; // scores after (victim -1: not checked)
    } cases[] = {
        {"turtle survives", 0, 30, 0, 100, 110, 70, false, true},
        {"turtle left with 0 lives", 0, 30, 0, 30, 110, 0, false, true},
        {"turtle below 0 dies: no blast", 0, 30, 0, 29, 110, 0, true, false},
        {"9.5 off the bullet's line: hit", 0, 40, 9.5, 100, 110, 70, false, true},
        {"10.5 off the bullet's line: missed", 0, 40, 10.5, 100, 99, 100, false, true},
        {"stone soaks up the shot", ST_STONE, 30, 0, 0, 99, -1, false, true},
        {"doughnut from within 40", ST_DOUGHNUT, 38, 0, 0, 110, -1, true, false},
        {"doughnut from beyond 40: no reward", ST_DOUGHNUT, 42, 0, 0, 99, -1, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        reset_world_for_test();
        int s = place_turtle(0, 0, 0);
        int v = c.kind ? (set_object_at(c.x, c.y, c.kind), ntmax - 1) : place_turtle(c.x, c.y, 180);
        if (!c.kind) ttl[v].score = c.vscore;
        ASSERT_EQ(turtle_fire(s), 0);
        int n = 0;
        while ((ttl[s].status & ST_BULLET) && n++ < 200) world_update_frame(nullptr);
        EXPECT_EQ(ttl[s].score, c.shooter);
        if (c.victim >= 0) {
            EXPECT_EQ(ttl[v].score, c.victim);
            EXPECT_EQ((ttl[v].event & EV_HIT) != 0, c.victim != c.vscore);
        }
        EXPECT_EQ(ttl[v].ttl > 0, c.dying);
        EXPECT_EQ(ttl[s].bttf > 0, c.blast);
    }
}

// The blast shows 25 frames, whether the bullet ends on a wall or a turtle;
// no shot is fired while it shows.
TEST_F(Frame, BlastLasts25Frames) {
    int s = place_turtle(0, 0, 90);
    int v = place_turtle(0, 250, 0);
    turtle_fire(s);
    ttl[s].bullet = {0, 249.5}; // next point 251.5: within 5 of the wall and of v
    struct position blast;
    EXPECT_EQ(update_bullet(s, &blast), 1);
    EXPECT_EQ(ttl[s].score, 110) << "the wall does not take the hit away";
    EXPECT_EQ(ttl[v].score, 70);
    EXPECT_EQ(ttl[s].bttf, 25);
    EXPECT_EQ(turtle_fire(s), 0);
    EXPECT_FALSE(ttl[s].status & ST_BULLET);
    frames(24);
    EXPECT_EQ(ttl[s].bttf, 1);
    frames(1);
    EXPECT_EQ(ttl[s].bttf, 0);
}

// A killed turtle goes 50 frames after the hit, is not hit again meanwhile,
// and its program is sent away with it.
TEST_F(Frame, DyingTurtleIsNotHitAgainAndFreesItsSlot) {
    field_kill_all_turtles(); // consume the start-up call
    client_tab[2].tid = 0;
    client_tab[2].to_be_disconnected = 0;
    int v = place_turtle(0, 0, 0, 2);
    ASSERT_EQ(v, 0);
    start_to_kill(v);
    EXPECT_EQ(is_hit_by_bullet(v, 0, 0), 0);
    frames(10);
    start_to_kill(v); // a second kill does not restart the count
    frames(39);
    EXPECT_TRUE(ttl[v].status & ST_ALIVE);
    EXPECT_EQ(client_tab[2].to_be_disconnected, 0);
    frames(1);
    EXPECT_FALSE(ttl[v].status & ST_ALIVE);
    EXPECT_EQ(client_tab[2].to_be_disconnected, 1);
    EXPECT_EQ(place_turtle(10, 10, 0), 0); // the slot is free again
    client_tab[2].tid = -1;
    client_tab[2].to_be_disconnected = 0;
}

// A robot walks 0.15 a frame; at the border it turns instead, and when
// blocked it backs off and turns about.
TEST_F(Frame, RobotsWalkTurnAndFire) {
    int r = generate_turtle(-1, ST_ROBOT);
    ASSERT_GE(r, 0);
    const struct { double x, heading; bool stone; double ex, eh, tol; } cases[] = {
        {0, 0, false, 0.15, 0, 0}, {245.9, 0, false, 245.9, 0, 50}, {0, 0, true, -0.15, 180, 5}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.x);
        for (int t = 1; t < MAX_TURTLE; t++) ttl[t].status = 0;
        if (c.stone) set_object_at(20.1, 0, ST_STONE);
        ttl[r].pos[0] = {c.x, 0};
        ttl[r].heading = c.heading;
        srandom(3);
        update_robot(r);
        EXPECT_NEAR(ttl[r].pos[0].x, c.ex, 1e-9);
        EXPECT_NEAR(ttl[r].heading, c.eh, c.tol);
    }
    int shots = 0;
    for (int i = 0; i < 20000; i++) {
        ttl[r].pos[0] = {0, 0};
        ttl[r].status &= ~ST_BULLET;
        ttl[r].bttf = 0;
        ttl[r].score = 100;
        update_robot(r);
        if (ttl[r].status & ST_BULLET) shots++;
    }
    EXPECT_GT(shots, 10); // about 40 expected
    EXPECT_LT(shots, 100);
}

// With the brush, the frame paints a stroke from its fourth frame with the
// pen down on (three points are needed to shape a segment); the pen going
// up paints the tail once.
TEST_F(Frame, BrushStrokePaintsFromItsFourthPoint) {
    static struct frame_snapshot s;
    int t = place_turtle(0, 0, 0);
    turtle_set_brush(t);
    turtle_pen_down(t);
    const int want[] = {PAINT_NONE, PAINT_NONE, PAINT_NONE, PAINT_BRUSH, PAINT_BRUSH};
    for (int k = 0; k < 5; k++) {
        if (k) turtle_step_forward(t, 10);
        world_update_frame(&s);
        EXPECT_EQ(s.slot[t].paint, want[k]) << "frame " << k;
    }
    turtle_pen_up(t);
    world_update_frame(&s);
    EXPECT_EQ(s.slot[t].paint, PAINT_BRUSH_TAIL);
    world_update_frame(&s);
    EXPECT_EQ(s.slot[t].paint, PAINT_NONE);
}

TEST_F(Frame, CoinEventOncePerApproach) {
    int t = place_turtle(0, 0, 0);
    coins[0].pos = {15, 0};
    coins[0].status = COIN_ON_FIELD;
    coins[0].order = 0;
    add_coin_to_map(0);
    ncoin = 1;
    const struct { double x; unsigned ev; } steps[] = {
        {0, EV_COIN}, {0, 0}, {100, 0}, {0, EV_COIN}};
    for (const auto& st : steps) {
        ttl[t].pos[0] = {st.x, 0};
        frames(2);
        EXPECT_EQ(turtle_get_and_reset_eventcode(t), st.ev) << st.x;
    }
    int r = generate_turtle(-1, ST_ROBOT); // robots do not watch coins
    ttl[r].pos[0] = {15, 10};
    update_coin_event();
    EXPECT_EQ(ttl[r].event & EV_COIN, 0u);
}

// A field at rest is not redrawn; everything that still changes the picture
// from frame to frame keeps it from resting until it is over.
TEST_F(Frame, FieldRestsOnlyWhenNothingOnItChangesWithTheFrames) {
    set_object_at(0, 0, ST_STONE);
    set_object_at(100, 0, ST_DOUGHNUT);
    EXPECT_EQ(field_is_at_rest(), 1) << "stones and doughnuts stand still";
    int z = place_turtle(-100, 0, 0, 1);
    make_zombie(z);
    EXPECT_EQ(field_is_at_rest(), 0) << "a zombie still swings its legs";
    field_clear_zombie();
    EXPECT_EQ(field_is_at_rest(), 1);
    // a bullet fired by a turtle that died at once flies on, then its blast shows
    int s = place_turtle(0, -200, 90);
    turtle_fire(s);
    ttl[s].status &= ~ST_ALIVE;
    int n = 0;
    while (!field_is_at_rest() && n < 1000) world_update_frame(nullptr), n++;
    EXPECT_TRUE(n > 50 && n < 1000) << n << ": the flight and the blast are drawn to their end";
    EXPECT_GE(generate_turtle(-1, ST_ROBOT), 0);
    EXPECT_EQ(field_is_at_rest(), 0);
}
