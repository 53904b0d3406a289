// test_coins.cpp -- coins in reach, drop and pick with their ranks, the bank,
// doughnuts made by turtles and objects placed at a point.

#include <cmath>
#include <string>

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

// Marks the first n coin slots as lying on the field, ranked in slot order.
static void fill_field(int n) {
    for (int i = 0; i < n; i++) {
        coins[i].status = COIN_ON_FIELD;
        coins[i].order = i;
    }
    ncoin = n;
}

// ------------------------------------------------------------------ reach

// One turtle and one coin; the coin map must find the coin across cells,
// at the grid's edges and outside the field.
TEST_F(Coins, ReachIsStrictlyBelow20WhereverTheCoinLies) {
    const struct {
        double tx, ty, cx, cy;
        int n;
    } cases[] = {
        {0, 0, 20, 0, 0},           {0, 0, 0, -19.999, 1},      // strictly below 20
        {31, 5, 33, 5, 1},          {-1, -1, 1, 1, 1},          // neighbouring cells
        {250, 250, 255.9, 255.9, 1}, {-256, -256, -250, -245, 1}, // grid edges
        {-256, 250, -246, 255, 1},                               //
        {300, 300, 300, 300, 1},    {310, 295, 300, 300, 1},    // outside the field
        {250, 250, 300, 300, 0},    {-2000, 1e6, 300, 300, 0},  //
    };
    for (const auto& c : cases) {
        reset_world_for_test();
        int t = place_turtle(0, 0, 0);
        drop_at(t, c.cx, c.cy);
        ttl[t].pos[0] = {c.tx, c.ty};
        EXPECT_EQ(in_reach(t), c.n) << "turtle " << c.tx << " " << c.ty << ", coin " << c.cx
                                    << " " << c.cy;
    }
    // the coin outside the field is picked like any other
    ttl[0].pos[0] = {305, 300};
    EXPECT_EQ(turtle_pick_coin(0), 0);
    EXPECT_EQ(ttl[0].ncoin, 1);
    EXPECT_EQ(coins[0].status & COIN_ON_FIELD, 0u);
    EXPECT_EQ(in_reach(0), 0);
}

TEST_F(Coins, PickTakesTheNearestInReachOnly) {
    int t = place_turtle(100, 100, 0);
    int far = drop_at(t, 118, 100);
    int near = drop_at(t, 100, 85);
    int away = drop_at(t, 150, 100);
    EXPECT_EQ(in_reach(t), 2);
    EXPECT_EQ(turtle_pick_coin(t), 0);
    EXPECT_EQ(coins[near].status & COIN_ON_FIELD, 0u);
    EXPECT_EQ(coins[near].order, -1);
    EXPECT_TRUE(coins[far].status & COIN_ON_FIELD);
    EXPECT_EQ(coins[far].order, 0);
    EXPECT_EQ(ttl[t].ncoin, 1);
    EXPECT_EQ(in_reach(t), 1);
    ttl[t].pos[0] = {0, 0}; // nothing in reach: fine, nothing taken
    EXPECT_EQ(turtle_pick_coin(t), 0);
    EXPECT_EQ(ttl[t].ncoin, 1);
    EXPECT_TRUE(coins[away].status & COIN_ON_FIELD);
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
    EXPECT_TRUE(coins[0].order == 0 && coins[1].order == -1 && coins[2].order == 1);
    EXPECT_EQ(ttl[t].ncoin, 8);

    // the freed slot is reused; the new coin ranks last
    ASSERT_EQ(turtle_jump(t, 50, 50), 0);
    ASSERT_EQ(turtle_drop_coin(t), 0);
    EXPECT_EQ(ncoin, 3);
    EXPECT_EQ(coins[1].order, 2);
    EXPECT_TRUE(coins[1].pos.x == 50.0 && coins[1].pos.y == 50.0);
}

TEST_F(Coins, DropRefusals) {
    int t = place_turtle(0, 0, 0);
    EXPECT_EQ(turtle_drop_coin(t), -1);
    ttl[t].ncoin = -3;
    EXPECT_EQ(turtle_drop_coin(t), -1);
    EXPECT_EQ(ncoin, 0);

    // one slot left: it is filled, then the table is full
    fill_field(MAX_COIN - 1);
    ttl[t].ncoin = 2;
    EXPECT_EQ(turtle_drop_coin(t), 0);
    EXPECT_EQ(ncoin, MAX_COIN);
    EXPECT_EQ(coins[MAX_COIN - 1].order, MAX_COIN - 1);
    EXPECT_EQ(turtle_drop_coin(t), -1);
    EXPECT_EQ(ttl[t].ncoin, 1);
    EXPECT_EQ(ncoin, MAX_COIN);
}

TEST_F(Coins, BankLendsInTensAndTakesNothingBack) {
    int t = place_turtle(0, 0, 0);
    field_scatter_coin(1);
    ASSERT_TRUE(coins[0].status & COIN_ON_FIELD);
    int stock = stock_of_coin;
    ASSERT_EQ(turtle_jump(t, coins[0].pos.x, coins[0].pos.y), 0);
    EXPECT_EQ(turtle_pick_coin(t), 0);
    EXPECT_EQ(stock_of_coin, stock) << "picked coins do not go back to the bank";
    int nc = -1;
    EXPECT_EQ(qt_my_coin(t, &nc), 0);
    EXPECT_EQ(nc, 1);

    stock_of_coin = 20;
    EXPECT_EQ(turtle_borrow_coin(t), 0);
    EXPECT_EQ(turtle_borrow_coin(t), 0);
    EXPECT_EQ(stock_of_coin, 0);
    EXPECT_EQ(ttl[t].ncoin, 21);
    EXPECT_EQ(turtle_borrow_coin(t), -1);
    stock_of_coin = 9;
    EXPECT_EQ(turtle_borrow_coin(t), -1);
    EXPECT_EQ(stock_of_coin, 9);
    EXPECT_EQ(ttl[t].ncoin, 21);
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

TEST_F(Coins, DoughnutIsNeverPutInTheMazeCorner) {
    maze_mode = 1;
    int t = place_turtle(0, 0, 0);
    srandom(808);
    double x = (drand() - 0.5) * 491, y = (drand() - 0.5) * 491;
    ASSERT_TRUE(std::fabs(x) < 236.0 && std::fabs(y) < 236.0 && std::hypot(x, y) > 20.0);
    srandom(808);
    ASSERT_EQ(turtle_generate_doughnut(t), 0);
    EXPECT_TRUE(ttl[1].pos[0].x == x && ttl[1].pos[0].y == y);
}

TEST_F(Coins, DoughnutAndObjectRefusedOnAFullTable) {
    for (int i = 0; i < MAX_TURTLE; i++) place_turtle(-200 + 80 * (i % 6), -160 + 80 * (i / 6), 0);
    turtle before[MAX_TURTLE];
    std::memcpy(before, ttl, sizeof(ttl));
    EXPECT_EQ(turtle_generate_doughnut(0), -1);
    EXPECT_EQ(set_object_at(230, 230, ST_STONE), -1);
    EXPECT_EQ(std::memcmp(before, ttl, sizeof(ttl)), 0);
}

// ---------------------------------------------------------- placed objects

TEST_F(Coins, ObjectPlacementWritesTheEntry) {
    std::memset(&ttl[0], 0x11, sizeof(ttl[0]));
    ttl[0].status = 0;
    ttl[0].heading = 77;
    ttl[0].width[0] = 6;
    ttl[0].frange = 3;
    ASSERT_EQ(set_object_at(10, -20, ST_STONE), 0);
    // grey, no score; heading, the newest width and the finder range are not written
    expect_fresh_entry(ttl[0], -1, 10, -20, {0.5, 0.5, 0.5}, 0, ST_ALIVE | ST_STONE, 1);
    EXPECT_TRUE(ttl[0].heading == 77.0 && ttl[0].width[0] == 6.0 && ttl[0].frange == 3.0);
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
