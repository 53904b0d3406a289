// The per-frame world update: bullets and hits with scoring, dying and
// blasts, robots, and the coin watch -- run as the frame runs them.
#include <cmath>

#include "frame.h"
#include "tcpserver.h"
#include "world_fixture.h"

using Frame = World;

static void frames(int n) {
    for (int i = 0; i < n; i++) world_update_frame(nullptr);
}

TEST_F(Frame, BulletFliesTwoUnitsAFrameAndOutlivesItsShooter) {
    int s = place_turtle(0, 0, 90);
    ASSERT_EQ(turtle_fire(s), 0);
    EXPECT_EQ(ttl[s].score, START_SCORE - 1);
    frames(3);
    EXPECT_TRUE(ttl[s].status & ST_BULLET);
    EXPECT_NEAR(ttl[s].bullet.x, 0, 1e-9);
    EXPECT_NEAR(ttl[s].bullet.y, 6, 1e-9);
    ttl[s].status &= ~ST_ALIVE;
    frames(5);
    EXPECT_NEAR(ttl[s].bullet.y, 16, 1e-9);
}

TEST_F(Frame, BulletEndsOnTheWallWithABlast) {
    int s = place_turtle(0, 250, 90);
    turtle_fire(s);
    struct position blast{};
    // 250 + 2 = 252: within 5 of the boundary at 256
    EXPECT_EQ(update_bullet(s, &blast), 1);
    EXPECT_NEAR(blast.y, 252, 1e-9);
    EXPECT_FALSE(ttl[s].status & ST_BULLET);
    EXPECT_EQ(ttl[s].bttf, BLAST_FRAMES);
    EXPECT_EQ(turtle_fire(s), 0); // refused silently while the blast shows
    EXPECT_FALSE(ttl[s].status & ST_BULLET);
    frames(BLAST_FRAMES);
    EXPECT_EQ(ttl[s].bttf, 0);
}

// One shot east from the origin at one entry; the frames run until the
// bullet is gone, then the score, the victim and the blast are read.
TEST_F(Frame, ShotsAndWhatTheyEarn) {
    const int miss = START_SCORE - 1, hit = START_SCORE - 1 + HIT_REWARD;
    const struct {
        const char* what;
        unsigned kind;
        double x;
        int vscore;
        int shooter, victim; // scores after; victim -1: not checked
        bool dying, blast;
    } cases[] = {
        {"turtle survives", 0, 30, 100, hit, 100 - HIT_LOSS, false, true},
        {"turtle killed: no blast", 0, 30, 20, hit, 0, true, false},
        {"stone soaks up the shot", ST_STONE, 30, 0, miss, -1, false, true},
        {"doughnut from close by", ST_DOUGHNUT, 30, 0, hit, -1, true, false},
        {"doughnut from afar: no reward", ST_DOUGHNUT, 50, 0, miss, -1, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        reset_world_for_test();
        int s = place_turtle(0, 0, 0);
        int v = c.kind ? (set_object_at(c.x, 0, c.kind), ntmax - 1) : place_turtle(c.x, 0, 180);
        if (!c.kind) ttl[v].score = c.vscore;
        ASSERT_EQ(turtle_fire(s), 0);
        int n = 0;
        while ((ttl[s].status & ST_BULLET) && n++ < 100) world_update_frame(nullptr);
        EXPECT_EQ(ttl[s].score, c.shooter);
        if (c.victim >= 0) {
            EXPECT_EQ(ttl[v].score, c.victim);
            EXPECT_TRUE(ttl[v].event & EV_HIT);
        }
        EXPECT_EQ(ttl[v].ttl > 0, c.dying);
        EXPECT_EQ(ttl[s].bttf > 0, c.blast);
        // the bullet stopped where it first came within 10 of the entry
        EXPECT_NEAR(ttl[s].bullet.x, c.x - 10, 2.0);
    }
}

TEST_F(Frame, WallAndTurtleInTheSameStepBothCount) {
    int s = place_turtle(0, 0, 90);
    int v = place_turtle(0, 250, 0);
    turtle_fire(s);
    ttl[s].bullet = {0, 249.5}; // next point 251.5: within 5 of the wall and of v
    struct position blast;
    EXPECT_EQ(update_bullet(s, &blast), 1);
    EXPECT_FALSE(ttl[s].status & ST_BULLET);
    EXPECT_EQ(ttl[s].score, START_SCORE - 1 + HIT_REWARD);
    EXPECT_EQ(ttl[v].score, START_SCORE - HIT_LOSS);
    EXPECT_TRUE(ttl[v].event & EV_HIT);
    EXPECT_EQ(ttl[s].bttf, BLAST_FRAMES);
}

TEST_F(Frame, DyingTurtleIsNotHitAgainAndFreesItsSlot) {
    field_kill_all_turtles(); // consume the start-up call
    client_tab[2].tid = 0;
    client_tab[2].to_be_disconnected = 0;
    int v = place_turtle(0, 0, 0, 2);
    ASSERT_EQ(v, 0);
    start_to_kill(v);
    EXPECT_EQ(ttl[v].ttl, DYING_FRAMES);
    EXPECT_EQ(is_hit_by_bullet(v, 0, 0), 0);
    frames(10);
    start_to_kill(v); // a second kill does not restart the count
    EXPECT_EQ(ttl[v].ttl, DYING_FRAMES - 10);
    frames(DYING_FRAMES - 11);
    EXPECT_TRUE(ttl[v].status & ST_ALIVE);
    EXPECT_EQ(client_tab[2].to_be_disconnected, 0);
    frames(1);
    EXPECT_FALSE(ttl[v].status & ST_ALIVE);
    EXPECT_EQ(client_tab[2].to_be_disconnected, 1);
    EXPECT_EQ(place_turtle(10, 10, 0), 0); // the slot is free again
    client_tab[2].tid = -1;
    client_tab[2].to_be_disconnected = 0;
}

TEST_F(Frame, OnlyTheFirstVictimInSlotOrderCounts) {
    int s = place_turtle(0, 0, 0);
    int a = place_turtle(22, 5, 0);
    int b = place_turtle(22, -5, 0);
    turtle_fire(s);
    frames(10);
    EXPECT_TRUE(ttl[a].event & EV_HIT);
    EXPECT_FALSE(ttl[b].event & EV_HIT);
}

TEST_F(Frame, RobotAtTheBorderTurnsInsteadOfMoving) {
    int r = generate_turtle(-1, ST_ROBOT);
    ASSERT_GE(r, 0);
    ttl[r].pos[0] = {250, 0};
    ttl[r].heading = 0;
    for (int i = 0; i < 50; i++) {
        double h = ttl[r].heading;
        struct position p = ttl[r].pos[0];
        update_robot(r);
        if (p.x + 0.15 * std::cos(h * M_PI / 180) > 246) {
            EXPECT_EQ(ttl[r].pos[0].x, p.x);
            EXPECT_LE(std::fabs(ttl[r].heading - h), 50.0);
        }
    }
}

TEST_F(Frame, BlockedRobotBacksOffAndTurnsAbout) {
    int r = generate_turtle(-1, ST_ROBOT);
    ttl[r].pos[0] = {0, 0};
    ttl[r].heading = 0;
    set_object_at(20.1, 0, ST_STONE);
    srandom(3);
    update_robot(r);
    EXPECT_NEAR(ttl[r].pos[0].x, -0.15, 1e-9);
    EXPECT_NEAR(ttl[r].heading, 180, 5.0);
}

TEST_F(Frame, RobotsFireNowAndThen) {
    int r = generate_turtle(-1, ST_ROBOT);
    int shots = 0;
    for (int i = 0; i < 20000; i++) {
        ttl[r].pos[0] = {0, 0};
        ttl[r].status &= ~ST_BULLET;
        ttl[r].bttf = 0;
        ttl[r].score = 100;
        update_robot(r);
        if (ttl[r].status & ST_BULLET) shots++;
    }
    EXPECT_GT(shots, 10);  // about 40 expected
    EXPECT_LT(shots, 100);
}

TEST_F(Frame, CoinEventOncePerApproach) {
    int t = place_turtle(0, 0, 0);
    coins[0].pos = {15, 0};
    coins[0].status = COIN_ON_FIELD;
    coins[0].order = 0;
    add_coin_to_map(0);
    ncoin = 1;
    frames(1);
    EXPECT_EQ(turtle_get_and_reset_eventcode(t), EV_COIN);
    frames(3);
    EXPECT_EQ(turtle_get_and_reset_eventcode(t), 0u);
    ttl[t].pos[0] = {100, 0};
    frames(1);
    EXPECT_FALSE(ttl[t].status & ST_COIN_NEAR);
    ttl[t].pos[0] = {0, 0};
    frames(1);
    EXPECT_EQ(turtle_get_and_reset_eventcode(t), EV_COIN);
    // robots do not watch coins
    int r = generate_turtle(-1, ST_ROBOT);
    ttl[r].pos[0] = {15, 10};
    update_coin_event();
    EXPECT_EQ(ttl[r].event & EV_COIN, 0u);
}

// A field at rest is not redrawn; everything that still changes the picture
// from frame to frame keeps it from resting until it is over.
TEST_F(Frame, FieldRestsOnlyWhenNothingOnItChangesWithTheFrames) {
    EXPECT_EQ(field_is_at_rest(), 1);
    set_object_at(0, 0, ST_STONE);
    set_object_at(100, 0, ST_DOUGHNUT);
    EXPECT_EQ(field_is_at_rest(), 1) << "stones and doughnuts stand still";

    int z = place_turtle(-100, 0, 0, 1);
    make_zombie(z);
    EXPECT_EQ(field_is_at_rest(), 0) << "a zombie still swings its legs";
    field_clear_zombie();
    EXPECT_EQ(field_is_at_rest(), 1);

    // a bullet fired by a turtle that died at once flies on to the wall
    int s = place_turtle(0, -200, 90);
    turtle_fire(s);
    ttl[s].status &= ~ST_ALIVE;
    int n = 0;
    while (!field_is_at_rest() && n < 1000) {
        world_update_frame(nullptr);
        n++;
    }
    EXPECT_GT(n, 10) << "the flight is drawn to its end";
    EXPECT_LT(n, 1000);
    EXPECT_FALSE(ttl[s].status & ST_BULLET);
    // a living turtle's blast is drawn to its end too
    int b = place_turtle(0, -200, 90);
    turtle_fire(b);
    n = 0;
    while (ttl[b].status & ST_BULLET) {
        world_update_frame(nullptr);
        n++;
        ASSERT_LT(n, 1000);
    }
    EXPECT_GT(ttl[b].bttf, 0);
    EXPECT_EQ(field_is_at_rest(), 0);

    int r = generate_turtle(-1, ST_ROBOT);
    ASSERT_GE(r, 0);
    EXPECT_EQ(field_is_at_rest(), 0);
}
