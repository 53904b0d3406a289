// Field-wide operations: coins on the field, kill-all, zombies, modes and
// their log lines, the field queries.
#include <cmath>
#include <string>

#include "tcpserver.h"
#include "world_fixture.h"

using Field = World;

TEST_F(Field, ScatterAppendsAfterTheCoinsOnTheField) {
    field_scatter_coin(2);
    ASSERT_EQ(ncoin, 2);
    field_scatter_coin(3);
    EXPECT_EQ(ncoin, 5);
    for (int i = 0; i < 5; i++) {
        EXPECT_TRUE(coins[i].status & COIN_ON_FIELD);
        EXPECT_EQ(coins[i].order, i);
        EXPECT_LE(std::abs(coins[i].pos.x), 246);
    }
    EXPECT_EQ(stock_of_coin, MAX_COIN - 5);
    // a count of 0 or below still places one coin
    field_scatter_coin(0);
    EXPECT_EQ(ncoin, 6);
    EXPECT_EQ(coins[5].order, 5);
}

TEST_F(Field, ScatterFillsFreedSlotsFirstAndTestsTheBankOnlyAtTheStart) {
    field_scatter_coin(3);
    coins[1].status = 0; // picked up
    coins[1].order = -1;
    coins[2].order = 1;
    field_scatter_coin(1);
    EXPECT_TRUE(coins[1].status & COIN_ON_FIELD);
    EXPECT_EQ(coins[1].order, 2);
    EXPECT_EQ(ncoin, 3);

    reset_coin();
    stock_of_coin = 0;
    EXPECT_EQ(field_scatter_coin(1), -1);
    EXPECT_EQ(ncoin, 0);
    stock_of_coin = 1;
    EXPECT_EQ(field_scatter_coin(3), 0);
    EXPECT_EQ(ncoin, 3);
    EXPECT_EQ(stock_of_coin, -2);
}

TEST_F(Field, KillAllFreesEverythingAndSendsClientsAway) {
    field_kill_all_turtles(); // the start-up call has been made
    client_tab[3].tid = 0;
    client_tab[3].to_be_disconnected = 0;
    client_tab[4].tid = 7; // owns another turtle: untouched
    client_tab[4].to_be_disconnected = 0;
    place_turtle(50, 50, 0, 3);
    place_turtle(-50, 50, 0, -1);
    ttl[0].ncoin = 5;
    field_scatter_coin(4);
    field_kill_all_turtles();
    EXPECT_EQ(ntmax, 0);
    for (int t = 0; t < MAX_TURTLE; t++) {
        EXPECT_EQ(ttl[t].status, 0u);
        EXPECT_EQ(ttl[t].cid, -1);
        EXPECT_EQ(ttl[t].ncoin, 0);
    }
    EXPECT_EQ(client_tab[3].to_be_disconnected, 1);
    EXPECT_EQ(client_tab[4].to_be_disconnected, 0);
    EXPECT_EQ(ncoin, 0);
    EXPECT_EQ(stock_of_coin, MAX_COIN);
    EXPECT_EQ(nwall, 8); // walls untouched
    client_tab[3].tid = client_tab[4].tid = -1;
    client_tab[3].to_be_disconnected = 0;
}

// The moving count sets the timer's pace: zombies, stones and doughnuts
// stand still.
TEST_F(Field, QueriesCountKindsAndZombiesStayUntilCleared) {
    int b = place_turtle(0, 0, 0, 1);          // client turtle
    set_object_at(100, 100, ST_STONE);         // not a turtle
    set_object_at(-100, 100, ST_DOUGHNUT);     // counted, not moving
    ASSERT_GE(generate_turtle(-1, ST_ROBOT), 0);
    int a = place_turtle(-100, -100, 0, 2);
    make_zombie(a);                            // counted, not moving
    int n, m;
    qf_n_turtle(&n);
    qf_n_moving_obj(&m);
    EXPECT_EQ(n, 4);
    EXPECT_EQ(m, 2);
    elapsed_time = 1234;
    long t;
    qf_elapsed_time(&t);
    EXPECT_EQ(t, 1234);

    turtle_field_is_cleared = 1;
    EXPECT_EQ(field_clear_all_turtles(), 0);
    EXPECT_EQ(ttl[a].status, 0u);
    EXPECT_TRUE(ttl[b].status & ST_ALIVE);
    EXPECT_EQ(turtle_field_is_cleared, 0);
    EXPECT_EQ(ntmax, 5);
}

TEST_F(Field, BattleModeSwitchesItsCompanionsAndLogs) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(field_set_battle_mode(), 0);
    EXPECT_EQ(battle_mode, 1);
    EXPECT_EQ(bounded_area_mode, 1);
    EXPECT_EQ(disp_name, 1);
    EXPECT_EQ(disp_score, 1);
    EXPECT_EQ(turtle_field_is_cleared, 0);
    EXPECT_EQ(menuitem_need_to_change, 1);
    // again: the companions are already set, the log and the clear repeat
    EXPECT_EQ(field_set_boundary_mode(1), 1);
    EXPECT_EQ(field_set_disp_name(1), 1);
    turtle_field_is_cleared = 1;
    field_set_battle_mode();
    EXPECT_EQ(turtle_field_is_cleared, 0);
    field_toggle_battle_mode();
    EXPECT_EQ(battle_mode, 0);
    EXPECT_EQ(bounded_area_mode, 0);
    EXPECT_EQ(disp_score, 0);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(log, "entering battle mode...\nentering battle mode...\n"
                   "entering turtle graphics mode...\n");
    menuitem_need_to_change = 0;
}

TEST_F(Field, MazeOnAndOff) {
    place_turtle(0, 0, 0, -1);
    testing::internal::CaptureStderr();
    field_toggle_maze_mode();
    EXPECT_EQ(maze_mode, 1);
    EXPECT_EQ(battle_mode, 1);
    EXPECT_GT(nwall, 8);
    EXPECT_EQ(ntmax, 4); // only the maze's doughnuts
    // new turtles start in the south-west corner cell, facing east
    int t = generate_turtle(-1, 0);
    ASSERT_GE(t, 0);
    EXPECT_LT(ttl[t].pos[0].x, -224);
    EXPECT_LT(ttl[t].pos[0].y, -224);
    EXPECT_EQ(ttl[t].heading, 0);
    field_toggle_maze_mode();
    EXPECT_EQ(maze_mode, 0);
    EXPECT_EQ(battle_mode, 1); // left unchanged
    EXPECT_EQ(nwall, 8);
    EXPECT_EQ(ntmax, 0);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(log, "entering battle mode...\nentering maze mode...\nexited from maze mode...\n");
    menuitem_need_to_change = 0;
}

TEST_F(Field, PrivateModeFollowsTheCommandServerFlag) {
    ASSERT_EQ(private_mode, 1);
    for (auto [on, log] :
         {std::pair{0, "entering public mode...\n"}, {1, "entering private mode...\n"}}) {
        EXPECT_EQ(stderr_of([] { field_toggle_private_mode(); }), log);
        EXPECT_EQ(private_mode, on);
    }
    menuitem_need_to_change = 0;
}

TEST_F(Field, ColourAndClearAskForACleanCanvas) {
    turtle_field_is_cleared = 1;
    field_set_color(0.1, 0.2, 0.3);
    EXPECT_EQ(turtle_field_is_cleared, 0);
    EXPECT_EQ(bgcol.g, 0.2);
    turtle_field_is_cleared = 1;
    field_clear();
    EXPECT_EQ(turtle_field_is_cleared, 0);
}

TEST_F(Field, TeamBoardsResetAndRefresh) {
    teams[2].status = TEAM_NO_BROADCAST;
    refresh_teaminfo();
    for (int i = 0; i < MAX_TEAM; i++) {
        EXPECT_EQ(teams[i].id, i);
        EXPECT_EQ(teams[i].status, 0u);
    }
}
