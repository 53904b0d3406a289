// test_coins.cpp -- coins in reach, drop and pick with their ranks, the bank,
// doughnuts made by turtles and objects placed at a point.

#include <cmath>
#include <string>

#include "world_fixture.h"

using Coins = World;

static int in_reach(int t) {
    int n = -1;
    EXPECT_EQ(qt_n_coin(t, &n), 0);
    return n;
}

// One turtle and one coin dropped elsewhere: in reach strictly below 20,
// across the coin map's cells (the rows above and below included), at the
// grid's edges and outside the field.
TEST_F(Coins, ReachIsStrictlyBelow20WhereverTheCoinLies) {
    const struct { double tx, ty, cx, cy; int n; } cases[] = {
        {0, 0, 20, 0, 0},            {0, 0, 0, -19.999, 1},       {0, 0, 0, 19.999, 1},
        {31, 5, 33, 5, 1},           {-1, -1, 1, 1, 1},           {5, 30, 5, 34, 1},
        {5, 34, 5, 30, 1},           {250, 250, 255.9, 255.9, 1}, {-256, -256, -250, -245, 1},
        {300, 300, 300, 300, 1},     {250, 250, 300, 300, 0},     {-2000, 1e6, 300, 300, 0},
    };
    for (const auto& c : cases) {
        reset_world_for_test();
        int t = place_turtle(c.cx, c.cy, 0);
        ttl[t].ncoin = 1;
        ASSERT_EQ(turtle_drop_coin(t), 0);
        ttl[t].pos[0] = {c.tx, c.ty};
        EXPECT_EQ(in_reach(t), c.n) << "turtle " << c.tx << " " << c.ty << ", coin " << c.cx
                                    << " " << c.cy;
    }
    EXPECT_EQ(turtle_pick_coin(0), 0) << "nothing in reach: fine, nothing taken";
    EXPECT_EQ(ttl[0].ncoin, 0);
}

// A loan gives 10 coins from the bank's 300; drops take slots in order and
// rank last; a pick takes the nearest coin in reach and closes the ranks.
TEST_F(Coins, LoanDropAndPick) {
    int t = place_turtle(0, 0, 0);
    ASSERT_EQ(turtle_borrow_coin(t), 0);
    EXPECT_EQ(stock_of_coin, 290);
    for (int i = 0; i < 3; i++) {
        ASSERT_EQ(turtle_jump(t, 100.0 * i, 0), 0);
        ASSERT_EQ(turtle_drop_coin(t), 0);
        EXPECT_EQ(coins[i].order, i);
    }
    EXPECT_EQ(ttl[t].ncoin, 7);
    EXPECT_EQ(stock_of_coin, 290) << "the bank is not involved";
    ASSERT_EQ(turtle_jump(t, 105, 10), 0);
    EXPECT_EQ(turtle_pick_coin(t), 0);
    EXPECT_TRUE(coins[0].order == 0 && coins[1].order == -1 && coins[2].order == 1);
    EXPECT_EQ(ttl[t].ncoin, 8);
    // the freed slot is reused; the new coin ranks last
    ASSERT_EQ(turtle_jump(t, 50, 50), 0);
    ASSERT_EQ(turtle_drop_coin(t), 0);
    EXPECT_EQ(coins[1].order, 2);
    EXPECT_TRUE(coins[1].pos.x == 50.0 && coins[1].pos.y == 50.0);
    // the nearer of two in reach is picked
    ASSERT_EQ(turtle_jump(t, 66, 50), 0);
    ASSERT_EQ(turtle_drop_coin(t), 0);
    ttl[t].pos[0] = {60, 50};
    EXPECT_EQ(in_reach(t), 2);
    EXPECT_EQ(turtle_pick_coin(t), 0);
    EXPECT_EQ(coins[3].status & COIN_ON_FIELD, 0u);
    EXPECT_TRUE(coins[1].status & COIN_ON_FIELD);
}

TEST_F(Coins, RefusalsOfDropAndLoan) {
    int t = place_turtle(0, 0, 0);
    EXPECT_EQ(turtle_drop_coin(t), -1) << "carrying none";
    ttl[t].ncoin = -3;
    EXPECT_EQ(turtle_drop_coin(t), -1);
    EXPECT_EQ(ncoin, 0);
    for (int i = 0; i < 299; i++) coins[i].status = COIN_ON_FIELD, coins[i].order = i;
    ncoin = 299; // 300 coins on the field at most
    ttl[t].ncoin = 2;
    EXPECT_EQ(turtle_drop_coin(t), 0) << "the last free slot";
    EXPECT_EQ(turtle_drop_coin(t), -1) << "a full table";
    EXPECT_EQ(ttl[t].ncoin, 1);
    stock_of_coin = 9;
    EXPECT_EQ(turtle_borrow_coin(t), -1) << "fewer than 10 in the bank";
    EXPECT_EQ(stock_of_coin, 9);
}

TEST_F(Coins, TenDoughnutsPerTurtle) {
    int t = place_turtle(0, 0, 0);
    for (int i = 0; i < 10; i++) ASSERT_EQ(turtle_generate_doughnut(t), 0) << i;
    for (int d = 1; d <= 10; d++) {
        EXPECT_EQ(ttl[d].status, ST_ALIVE | ST_ROBOT | ST_DOUGHNUT);
        EXPECT_EQ(ttl[d].score, 100);
        EXPECT_GE(dist_to_nn(d), 20.0);
    }
    EXPECT_EQ(turtle_generate_doughnut(t), -1);
    EXPECT_EQ(ntmax, 11);
}

// Stones and doughnuts placed at a point: never within 20 of another entry,
// in the lowest free slot, written afresh.
TEST_F(Coins, ObjectPlacement) {
    std::memset(&ttl[0], 0x11, sizeof(ttl[0]));
    ttl[0].status = 0;
    ASSERT_EQ(set_object_at(10, -20, ST_STONE), 0);
    expect_fresh_entry(ttl[0], -1, 10, -20, {0.5, 0.5, 0.5}, 0, ST_ALIVE | ST_STONE, 1);
    ASSERT_EQ(set_object_at(-100, 0, ST_DOUGHNUT), 0);
    EXPECT_EQ(ttl[1].status, ST_ALIVE | ST_DOUGHNUT); // no robot bit
    EXPECT_EQ(set_object_at(30, -20, ST_STONE), -1) << "exactly 20 is too close";
    EXPECT_EQ(set_object_at(30.001, -20, ST_STONE), 0);
    EXPECT_EQ(ntmax, 3);
    ttl[1].status = 0;
    EXPECT_EQ(set_object_at(100, 100, ST_STONE), 0);
    EXPECT_EQ(ttl[1].status, ST_ALIVE | ST_STONE);
    for (int i = 3; i < MAX_TURTLE; i++) place_turtle(-200 + 80 * (i % 6), -160 + 80 * (i / 6), 0);
    EXPECT_EQ(set_object_at(230, 230, ST_STONE), -1) << "a full table";
}
