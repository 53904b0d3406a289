// test_coins.cpp -- coins in reach, drop and pick with their ranks, the bank,
// doughnuts made by turtles and objects placed at a point.

#include <cmath>

#include "world_fixture.h"

using Coins = World;

// Puts one coin on the field at (x, y) the way a turtle drop does.
static int drop_at(int t, double x, double y) {
    struct position keep = ttl[t].pos[0];
    ttl[t].pos[0] = {x, y};
    ttl[t].ncoin += 1;
    int rc = turtle_drop_coin(t);
    ttl[t].pos[0] = keep;
    EXPECT_EQ(rc, 0);
    for (int i = 0; i < ncoin; i++)
        if ((coins[i].status & COIN_ON_FIELD) && coins[i].pos.x == x && coins[i].pos.y == y) return i;
    return -1;
}

static int in_reach(int t) {
    int n = -1;
    EXPECT_EQ(qt_n_coin(t, &n), 0);
    return n;
}

// ------------------------------------------------------------------ reach

TEST_F(Coins, TwoInReachPickTakesTheNearest) {
    int t = place_turtle(100, 100, 0);
    int far = drop_at(t, 118, 100);
    int near = drop_at(t, 100, 85);
    EXPECT_EQ(in_reach(t), 2);
    EXPECT_EQ(turtle_pick_coin(t), 0);
    EXPECT_EQ(coins[near].status & COIN_ON_FIELD, 0u);
    EXPECT_EQ(coins[near].order, -1);
    EXPECT_TRUE(coins[far].status & COIN_ON_FIELD);
    EXPECT_EQ(coins[far].order, 0);
    EXPECT_EQ(ttl[t].ncoin, 1);
    EXPECT_EQ(in_reach(t), 1);
}

TEST_F(Coins, ReachIsStrictlyBelow20) {
    int t = place_turtle(0, 0, 0);
    drop_at(t, 20, 0);
    EXPECT_EQ(in_reach(t), 0);
    drop_at(t, 0, -19.999);
    EXPECT_EQ(in_reach(t), 1);
}

TEST_F(Coins, CoinInTheNeighbouringCellIsFound) {
    int t = place_turtle(31, 5, 0);
    drop_at(t, 33, 5);
    EXPECT_EQ(in_reach(t), 1);
    ttl[t].pos[0] = {-1, -1};
    drop_at(t, 1, 1);
    EXPECT_EQ(in_reach(t), 1);
}

TEST_F(Coins, CoinsAtTheGridEdges) {
    int t = place_turtle(250, 250, 0);
    drop_at(t, 255.9, 255.9);
    EXPECT_EQ(in_reach(t), 1);
    ttl[t].pos[0] = {-256, -256};
    drop_at(t, -250, -245);
    EXPECT_EQ(in_reach(t), 1);
    ttl[t].pos[0] = {-256, 250};
    drop_at(t, -246, 255);
    EXPECT_EQ(in_reach(t), 1);
}

TEST_F(Coins, CoinOutsideTheFieldIsStillFoundAndPicked) {
    int t = place_turtle(0, 0, 0);
    ASSERT_EQ(turtle_jump(t, 300, 300), 0);
    ttl[t].ncoin = 1;
    ASSERT_EQ(turtle_drop_coin(t), 0);
    EXPECT_EQ(in_reach(t), 1);
    ASSERT_EQ(turtle_jump(t, 310, 295), 0);
    EXPECT_EQ(in_reach(t), 1);
    // from the field's corner it is 71 away: out of reach
    ASSERT_EQ(turtle_jump(t, 250, 250), 0);
    EXPECT_EQ(in_reach(t), 0);
    ASSERT_EQ(turtle_jump(t, -2000, 1e6), 0);
    EXPECT_EQ(in_reach(t), 0);
    ASSERT_EQ(turtle_jump(t, 305, 300), 0);
    EXPECT_EQ(turtle_pick_coin(t), 0);
    EXPECT_EQ(ttl[t].ncoin, 1);
    EXPECT_EQ(coins[0].status & COIN_ON_FIELD, 0u);
    EXPECT_EQ(in_reach(t), 0);
}

// ------------------------------------------------------------ drop and pick

TEST_F(Coins, DropPicksSlotsAndRanks) {
    int t = place_turtle(0, 0, 0);
    ASSERT_EQ(turtle_borrow_coin(t), 0);
    EXPECT_EQ(stock_of_coin, 290);
    for (int i = 0; i < 3; i++) {
        ASSERT_EQ(turtle_drop_coin(t), 0);
        EXPECT_EQ(coins[i].order, i);
        EXPECT_EQ(coins[i].pos.x, 100.0 * i);
        EXPECT_TRUE(coins[i].status & COIN_ON_FIELD);
        ASSERT_EQ(turtle_jump(t, 100.0 * (i + 1), 0), 0);
    }
    EXPECT_EQ(ncoin, 3);
    EXPECT_EQ(ttl[t].ncoin, 7);
    EXPECT_EQ(stock_of_coin, 290); // the bank is not involved

    ASSERT_EQ(turtle_jump(t, 100, 0), 0);
    EXPECT_EQ(turtle_pick_coin(t), 0);
    EXPECT_EQ(coins[0].order, 0);
    EXPECT_EQ(coins[1].order, -1);
    EXPECT_EQ(coins[2].order, 1);
    EXPECT_EQ(ttl[t].ncoin, 8);

    // the freed slot is reused; the new coin ranks last
    ASSERT_EQ(turtle_jump(t, 50, 50), 0);
    ASSERT_EQ(turtle_drop_coin(t), 0);
    EXPECT_EQ(ncoin, 3);
    EXPECT_EQ(coins[1].order, 2);
    EXPECT_EQ(coins[1].pos.x, 50.0);
    EXPECT_EQ(coins[1].pos.y, 50.0);
}

TEST_F(Coins, DropRefusals) {
    int t = place_turtle(0, 0, 0);
    EXPECT_EQ(turtle_drop_coin(t), -1);
    ttl[t].ncoin = -3;
    EXPECT_EQ(turtle_drop_coin(t), -1);
    EXPECT_EQ(ncoin, 0);

    // all 300 slots on the field
    for (int i = 0; i < MAX_COIN; i++) {
        coins[i].status = COIN_ON_FIELD;
        coins[i].order = i;
    }
    ncoin = MAX_COIN;
    ttl[t].ncoin = 2;
    EXPECT_EQ(turtle_drop_coin(t), -1);
    EXPECT_EQ(ttl[t].ncoin, 2);
    EXPECT_EQ(ncoin, MAX_COIN);
}

TEST_F(Coins, DropFillsTheLastSlotThenStops) {
    int t = place_turtle(0, 0, 0);
    for (int i = 0; i < MAX_COIN - 1; i++) {
        coins[i].status = COIN_ON_FIELD;
        coins[i].order = i;
    }
    ncoin = MAX_COIN - 1;
    ttl[t].ncoin = 2;
    EXPECT_EQ(turtle_drop_coin(t), 0);
    EXPECT_EQ(ncoin, MAX_COIN);
    EXPECT_EQ(coins[MAX_COIN - 1].order, MAX_COIN - 1);
    EXPECT_EQ(turtle_drop_coin(t), -1);
    EXPECT_EQ(ttl[t].ncoin, 1);
}

TEST_F(Coins, PickWithNothingInReach) {
    int t = place_turtle(0, 0, 0);
    drop_at(t, 50, 0);
    ttl[t].ncoin = 4;
    EXPECT_EQ(turtle_pick_coin(t), 0);
    EXPECT_EQ(ttl[t].ncoin, 4);
    EXPECT_TRUE(coins[0].status & COIN_ON_FIELD);
}

TEST_F(Coins, PickedCoinsDoNotGoBackToTheBank) {
    int t = place_turtle(0, 0, 0);
    field_scatter_coin(1);
    ASSERT_TRUE(coins[0].status & COIN_ON_FIELD);
    int stock = stock_of_coin;
    ASSERT_EQ(turtle_jump(t, coins[0].pos.x, coins[0].pos.y), 0);
    EXPECT_EQ(turtle_pick_coin(t), 0);
    EXPECT_EQ(stock_of_coin, stock);
    int nc = -1;
    EXPECT_EQ(qt_my_coin(t, &nc), 0);
    EXPECT_EQ(nc, 1);
}

// -------------------------------------------------------------------- bank

TEST_F(Coins, BorrowDrainsTheBankInTens) {
    int t = place_turtle(0, 0, 0);
    stock_of_coin = 20;
    EXPECT_EQ(turtle_borrow_coin(t), 0);
    EXPECT_EQ(turtle_borrow_coin(t), 0);
    EXPECT_EQ(stock_of_coin, 0);
    EXPECT_EQ(ttl[t].ncoin, 20);
    EXPECT_EQ(turtle_borrow_coin(t), -1);
    stock_of_coin = 9;
    EXPECT_EQ(turtle_borrow_coin(t), -1);
    EXPECT_EQ(stock_of_coin, 9);
    EXPECT_EQ(ttl[t].ncoin, 20);
}

// --------------------------------------------------------------- doughnuts

TEST_F(Coins, TenDoughnutsPerTurtle) {
    int t = place_turtle(0, 0, 0);
    for (int i = 0; i < MAX_DOUGHNUT; i++) ASSERT_EQ(turtle_generate_doughnut(t), 0) << i;
    EXPECT_EQ(ttl[t].ndonut, 10);
    EXPECT_EQ(ntmax, 11);
    for (int d = 1; d <= 10; d++) {
        EXPECT_EQ(ttl[d].status, ST_ALIVE | ST_ROBOT | ST_DOUGHNUT);
        EXPECT_EQ(ttl[d].cid, -1);
        EXPECT_EQ(ttl[d].score, 100);
        EXPECT_GE(dist_to_nn(d), 20.0);
    }
    EXPECT_EQ(turtle_generate_doughnut(t), -1);
    EXPECT_EQ(ttl[t].ndonut, 10);
    EXPECT_EQ(ntmax, 11);
}

TEST_F(Coins, DoughnutRefusedOnAFullTable) {
    for (int i = 0; i < MAX_TURTLE; i++) place_turtle(-200 + 80 * (i % 6), -160 + 80 * (i / 6), 0);
    EXPECT_EQ(turtle_generate_doughnut(0), -1);
    EXPECT_EQ(ttl[0].ndonut, 0);
}

TEST_F(Coins, DoughnutIsNeverPutInTheMazeCorner) {
    maze_mode = 1;
    int t = place_turtle(0, 0, 0);
    srandom(808);
    double x = (drand() - 0.5) * 491, y = (drand() - 0.5) * 491;
    ASSERT_LT(std::fabs(x), 236.0);
    ASSERT_LT(std::fabs(y), 236.0);
    ASSERT_GT(std::hypot(x, y), 20.0);
    srandom(808);
    ASSERT_EQ(turtle_generate_doughnut(t), 0);
    EXPECT_EQ(ttl[1].pos[0].x, x);
    EXPECT_EQ(ttl[1].pos[0].y, y);
}

// ---------------------------------------------------------- placed objects

TEST_F(Coins, ObjectPlacementWritesTheEntry) {
    std::memset(&ttl[0], 0x11, sizeof(ttl[0]));
    ttl[0].status = 0;
    ttl[0].heading = 77;
    ttl[0].width[0] = 6;
    ttl[0].frange = 3;
    ASSERT_EQ(set_object_at(10, -20, ST_STONE), 0);
    const turtle& s = ttl[0];
    EXPECT_EQ(s.cid, -1);
    EXPECT_EQ(s.status, ST_ALIVE | ST_STONE);
    for (int k = 0; k < HISTORY; k++) {
        EXPECT_EQ(s.pos[k].x, 10.0);
        EXPECT_EQ(s.pos[k].y, -20.0);
        EXPECT_EQ(s.col[k].r, 0.5);
        EXPECT_EQ(s.col[k].g, 0.5);
        EXPECT_EQ(s.col[k].b, 0.5);
    }
    for (int k = 1; k < HISTORY; k++) EXPECT_EQ(s.width[k], 1.0);
    EXPECT_EQ(s.heading, 77.0);  // not written
    EXPECT_EQ(s.width[0], 6.0);  // not written
    EXPECT_EQ(s.frange, 3.0);    // not written
    EXPECT_EQ(s.score, 0);
    EXPECT_EQ(s.team, 0);
    EXPECT_EQ(s.ttl, 0);
    EXPECT_EQ(s.bttf, 0);
    EXPECT_EQ(s.ncoin, 0);
    EXPECT_EQ(s.ndonut, 0);
    EXPECT_EQ(s.nstroke, 0);
    EXPECT_EQ(s.msg[0], 0);
    EXPECT_EQ(s.name[0], 0);
    EXPECT_EQ(s.name[NAME_LEN], 0);
    EXPECT_EQ(s.event, 0u);
    EXPECT_EQ(s.eventmask, 0xffffffffu);
    EXPECT_EQ(s.target_of_finder, -1);
    EXPECT_EQ(s.target_of_rader, -1);
    EXPECT_EQ(ntmax, 1);

    ASSERT_EQ(set_object_at(100, 0, ST_DOUGHNUT), 0);
    EXPECT_EQ(ttl[1].status, ST_ALIVE | ST_DOUGHNUT); // no robot bit
}

TEST_F(Coins, ObjectPlacementRefusals) {
    place_turtle(0, 0, 0);
    EXPECT_EQ(set_object_at(20, 0, ST_STONE), -1); // exactly 20 is too close
    EXPECT_EQ(set_object_at(12, 12, ST_STONE), -1);
    EXPECT_EQ(ttl[1].status, 0u);
    EXPECT_EQ(ntmax, 1);
    EXPECT_EQ(set_object_at(20.001, 0, ST_STONE), 0);
    EXPECT_EQ(ntmax, 2);

    // takes the lowest free slot, below ntmax
    place_turtle(100, 100, 0);
    ttl[1].status = 0;
    EXPECT_EQ(set_object_at(-100, -100, ST_DOUGHNUT), 0);
    EXPECT_EQ(ttl[1].status, ST_ALIVE | ST_DOUGHNUT);
    EXPECT_EQ(ntmax, 3);
}

TEST_F(Coins, ObjectPlacementOnAFullTable) {
    for (int i = 0; i < MAX_TURTLE; i++) place_turtle(-200 + 80 * (i % 6), -160 + 80 * (i / 6), 0);
    turtle before[MAX_TURTLE];
    std::memcpy(before, ttl, sizeof(ttl));
    EXPECT_EQ(set_object_at(230, 230, ST_STONE), -1);
    EXPECT_EQ(std::memcmp(before, ttl, sizeof(ttl)), 0);
}
