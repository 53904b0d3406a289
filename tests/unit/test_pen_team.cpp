// test_pen_team.cpp -- pen state and its history, painting-mode bits, colour
// and width, printed text, team boards and their events.

#include <string>

#include "world_fixture.h"

using PenTeam = World;

// -------------------------------------------------------------------- pen

TEST_F(PenTeam, PenDownStartsAFreshTrail) {
    int t = place_turtle(0, 0, 0);
    turtle_step_forward(t, 10);
    turtle_step_forward(t, 10);
    turtle_set_color(t, 0, 0.5, 1);
    turtle_line_width(t, 3);
    ttl[t].nstroke = 9;
    EXPECT_EQ(turtle_pen_down(t), 0);
    EXPECT_TRUE(ttl[t].status & ST_PEN_DOWN);
    EXPECT_EQ(ttl[t].nstroke, 0);
    for (int k = 1; k < HISTORY; k++) {
        EXPECT_TRUE(ttl[t].pos[k].x == 20.0 && ttl[t].pos[k].y == 0.0) << k;
        EXPECT_TRUE(ttl[t].col[k].g == 0.5 && ttl[t].col[k].b == 1.0) << k;
        EXPECT_EQ(ttl[t].width[k], 3.0) << k;
    }
}

TEST_F(PenTeam, PenDownStepsThenPenUp) {
    int t = place_turtle(0, 0, 0);
    unsigned before = ttl[t].status;
    EXPECT_EQ(turtle_pen_up(t), 0);
    EXPECT_EQ(ttl[t].status, before) << "pen up while up changes nothing";
    turtle_pen_down(t);
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(turtle_step_forward(t, 5), 0);
        EXPECT_EQ(ttl[t].status & ST_PAINTED, 0u); // the new segment is to be painted
        ttl[t].nstroke++;                           // as the frame's painting does
        ttl[t].status |= ST_PAINTED;
    }
    EXPECT_EQ(ttl[t].pos[3].x, 0.0);
    EXPECT_EQ(ttl[t].pos[2].x, 5.0);
    EXPECT_EQ(turtle_pen_up(t), 0);
    EXPECT_EQ(ttl[t].status & (ST_PEN_DOWN | ST_PEN_LIFTED), ST_PEN_LIFTED);
    EXPECT_EQ(ttl[t].nstroke, 3);
}

TEST_F(PenTeam, ModeBitsAreIndependent) {
    int t = place_turtle(0, 0, 0);
    EXPECT_EQ(turtle_set_fill_poly(t) | turtle_set_point_mode(t) | turtle_set_brush(t), 0);
    EXPECT_EQ(ttl[t].status, ST_ALIVE | ST_FILL | ST_POINT | ST_BRUSH);
    EXPECT_EQ(turtle_unset_point_mode(t), 0);
    EXPECT_EQ(ttl[t].status, ST_ALIVE | ST_FILL | ST_BRUSH);
    EXPECT_EQ(turtle_unset_fill_poly(t) | turtle_unset_brush(t) | turtle_unset_brush(t), 0);
    EXPECT_EQ(ttl[t].status, ST_ALIVE);
}

TEST_F(PenTeam, WidthAndColourAreUnbounded) {
    int t = place_turtle(0, 0, 0);
    for (double w : {-3.5, 1e6}) {
        EXPECT_EQ(turtle_line_width(t, w), 0);
        EXPECT_EQ(ttl[t].width[0], w);
    }
    EXPECT_EQ(ttl[t].width[1], 1.0);
    EXPECT_EQ(turtle_set_color(t, 2.0, -1.0, 0.25), 0);
    EXPECT_TRUE(ttl[t].col[0].r == 2.0 && ttl[t].col[0].g == -1.0 && ttl[t].col[0].b == 0.25);
    EXPECT_EQ(ttl[t].col[1].r, 1.0); // earlier segments keep their colour
}

// ---------------------------------------------------------- printed text

TEST_F(PenTeam, PrintAccepts127AndRefuses128) {
    int t = place_turtle(0, 0, 0);
    std::string s127(127, 'a'), s128(128, 'b');
    EXPECT_EQ(turtle_print_string(t, s127.c_str()), 0);
    EXPECT_EQ(std::string(ttl[t].msg), s127);
    EXPECT_EQ(turtle_print_string(t, s128.c_str()), -1);
    EXPECT_EQ(std::string(ttl[t].msg), s127);
    EXPECT_EQ(turtle_print_string(t, "hi"), 0);
    EXPECT_STREQ(ttl[t].msg, "hi");
    for (int i = 2; i <= NAME_LEN; i++) EXPECT_EQ(ttl[t].msg[i], 0) << i; // zero-filled
    EXPECT_EQ(turtle_print_string(t, nullptr), -1);
    make_zombie(t);
    EXPECT_EQ(turtle_print_string(t, "x"), -1);
    EXPECT_STREQ(ttl[t].msg, "hi");
}

// ------------------------------------------------------------ team boards

TEST_F(PenTeam, BroadcastReachesMatesOnly) {
    int a = place_turtle(0, 0, 0);
    int b = place_turtle(50, 0, 0);
    int c = place_turtle(100, 0, 0);
    int other = place_turtle(150, 0, 0);
    int dead = place_turtle(200, 0, 0);
    for (int t : {a, b, c, dead}) turtle_set_team(t, 2);
    turtle_set_team(other, 3);
    ttl[dead].status = 0;

    elapsed_time = 0x1234567890ul;
    EXPECT_EQ(turtle_broadcast_message(a, "first"), 0);
    for (auto [t, ev] : {std::pair{a, 0u}, {b, EV_TEAM_MSG}, {c, EV_TEAM_MSG}, {other, 0u}, {dead, 0u}})
        EXPECT_EQ(ttl[t].event, ev) << "slot " << t;
    EXPECT_STREQ(teams[2].msg, "first");
    EXPECT_EQ(teams[2].msg_time, 0x34567890u);

    elapsed_time = 500;
    EXPECT_EQ(turtle_broadcast_message(b, "second"), 0);
    EXPECT_EQ(ttl[a].event, EV_TEAM_MSG);
    EXPECT_STREQ(teams[2].msg, "second");
    EXPECT_EQ(teams[3].msg[0], 0);

    char buf[NAME_LEN + 1] = {};
    unsigned tm = 0;
    EXPECT_EQ(qt_team_msg(c, &tm, buf), 0);
    EXPECT_STREQ(buf, "second");
    EXPECT_EQ(tm, 500u);
    // reading clears neither the board nor the event
    EXPECT_STREQ(teams[2].msg, "second");
    EXPECT_EQ(ttl[c].event, EV_TEAM_MSG);

    // team 0 has a board too
    int d = place_turtle(-100, 0, 0), e = place_turtle(-150, 0, 0);
    elapsed_time = 9;
    EXPECT_EQ(turtle_broadcast_message(d, "no team"), 0);
    EXPECT_EQ(ttl[e].event, EV_TEAM_MSG);
    qt_team_msg(e, &tm, buf);
    EXPECT_STREQ(buf, "no team");
    EXPECT_EQ(tm, 9u);
}

TEST_F(PenTeam, LongBroadcastIsCutAndReadBackWithin128Bytes) {
    int a = place_turtle(0, 0, 0);
    std::string longmsg(200, 'q');
    EXPECT_EQ(turtle_broadcast_message(a, longmsg.c_str()), 0);
    EXPECT_EQ(std::strlen(teams[0].msg), 128u);
    for (int i = NAME_LEN; i < TEAM_MSG_SIZE; i++) EXPECT_EQ(teams[0].msg[i], 0) << i;

    char buf[200];
    std::memset(buf, 'Z', sizeof(buf));
    unsigned tm;
    EXPECT_EQ(qt_team_msg(a, &tm, buf), 0);
    EXPECT_EQ(std::string(buf, 128), std::string(128, 'q'));
    EXPECT_EQ(buf[128], 'Z'); // nothing written past 128 bytes

    // a shorter text replaces it, zero-filled
    EXPECT_EQ(turtle_broadcast_message(a, "hey"), 0);
    for (int i = 3; i < TEAM_MSG_SIZE; i++) EXPECT_EQ(teams[0].msg[i], 0) << i;
}

TEST_F(PenTeam, BroadcastRefusedWhileTheBoardIsLocked) {
    int a = place_turtle(0, 0, 0);
    int b = place_turtle(50, 0, 0);
    turtle_broadcast_message(a, "old");
    ttl[b].event = 0;
    teams[0].status |= TEAM_NO_BROADCAST;
    EXPECT_EQ(turtle_broadcast_message(a, "new"), -1);
    EXPECT_STREQ(teams[0].msg, "old");
    EXPECT_EQ(ttl[b].event, 0u);
    // another team's board is free
    turtle_set_team(a, 1);
    EXPECT_EQ(turtle_broadcast_message(a, "new"), 0);
    EXPECT_STREQ(teams[1].msg, "new");
}
