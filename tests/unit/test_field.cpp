// Field-wide operations: coins on the field, kill-all, zombies, modes and
// their log lines, the field queries.
#include <cmath>
#include <string>

#include "tcpserver.h"
#include "world_fixture.h"

using Field = World;

// Scattered coins go after those on the field, into freed slots first; a
// count of 0 still places one; the bank is asked only at the start.
TEST_F(Field, ScatterAppendsAfterTheCoinsOnTheField) {
    field_scatter_coin(2);
    field_scatter_coin(0);
    EXPECT_EQ(ncoin, 3);
    EXPECT_EQ(stock_of_coin, 297);
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(coins[i].order, i);
        EXPECT_LE(std::fmax(std::abs(coins[i].pos.x), std::abs(coins[i].pos.y)), 246);
    }
    coins[1].status = 0; // picked up
    coins[1].order = -1;
    coins[2].order = 1;
    field_scatter_coin(1);
    EXPECT_EQ(coins[1].order, 2);
    EXPECT_EQ(ncoin, 3);
    stock_of_coin = 0;
    EXPECT_EQ(field_scatter_coin(1), -1);
    stock_of_coin = 1;
    EXPECT_EQ(field_scatter_coin(3), 0);
    EXPECT_EQ(ncoin, 6);
}

TEST_F(Field, KillAllFreesEverythingAndSendsClientsAway) {
    field_kill_all_turtles(); // the start-up call has been made
    client_tab[3].tid = 0;
    client_tab[3].to_be_disconnected = 0;
    client_tab[4].tid = 7; // owns another turtle: untouched
    client_tab[4].to_be_disconnected = 0;
    place_turtle(50, 50, 0, 3);
    place_turtle(-50, 50, 0, -1);
    field_scatter_coin(4);
    field_kill_all_turtles();
    EXPECT_EQ(ntmax, 0);
    for (int t = 0; t < MAX_TURTLE; t++) EXPECT_TRUE(ttl[t].status == 0 && ttl[t].cid == -1);
    EXPECT_EQ(client_tab[3].to_be_disconnected, 1);
    EXPECT_EQ(client_tab[4].to_be_disconnected, 0);
    EXPECT_EQ(ncoin, 0);
    EXPECT_EQ(stock_of_coin, 300);
    EXPECT_EQ(nwall, 8) << "the boundary stays";
    client_tab[3].tid = client_tab[4].tid = -1;
    client_tab[3].to_be_disconnected = 0;
}

// Q N counts turtles, doughnuts and zombies but not stones; the moving
// count (which sets the timer's pace) leaves out zombies and doughnuts.
TEST_F(Field, QueriesCountKindsAndZombiesStayUntilCleared) {
    int b = place_turtle(0, 0, 0, 1);
    set_object_at(100, 100, ST_STONE);
    set_object_at(-100, 100, ST_DOUGHNUT);
    ASSERT_GE(generate_turtle(-1, ST_ROBOT), 0);
    int a = place_turtle(-100, -100, 0, 2);
    make_zombie(a);
    int n, m;
    qf_n_turtle(&n);
    qf_n_moving_obj(&m);
    EXPECT_EQ(n, 4);
    EXPECT_EQ(m, 2);
    turtle_field_is_cleared = 1;
    EXPECT_EQ(field_clear_all_turtles(), 0);
    EXPECT_EQ(ttl[a].status, 0u);
    EXPECT_TRUE(ttl[b].status & ST_ALIVE);
    EXPECT_EQ(turtle_field_is_cleared, 0);
}

// Battle mode brings a clean canvas along; the maze takes its walls and
// doughnuts away again. (What else each brings: test_console.cpp's toggles.)
TEST_F(Field, ModesSwitchTheirCompanionsAndLog) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(field_set_battle_mode(), 0);
    EXPECT_EQ(turtle_field_is_cleared, 0);
    field_toggle_battle_mode();
    place_turtle(0, 0, 0, -1);
    field_toggle_maze_mode();
    EXPECT_GT(nwall, 8);
    field_toggle_maze_mode();
    EXPECT_EQ(maze_mode, 0);
    EXPECT_EQ(battle_mode, 1) << "left as it was";
    EXPECT_EQ(nwall, 8);
    EXPECT_EQ(ntmax, 0);
    field_toggle_private_mode();
    field_toggle_private_mode();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "entering battle mode...\nentering turtle graphics mode...\n"
              "entering battle mode...\nentering maze mode...\nexited from maze mode...\n"
              "entering public mode...\nentering private mode...\n");
    menuitem_need_to_change = 0;
}
