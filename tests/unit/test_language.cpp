// test_language.cpp -- the command language as a client sees it: the reply
// line, the first-letter rule, every command's effect and refusal, the
// sub-options, the queries, the budget, the hexadecimal text coding, and
// hostile numbers in every numeric argument.

#include <climits>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "client_fixture.h"

using Language = ClientSlot;

// ------------------------------------------------------------ reply line

TEST_F(Language, ReplyLineShape) {
    elapsed_time = 120;
    EXPECT_EQ(run("."), "OK @ 120 0") << "an empty payload has no leading blank";
    EXPECT_EQ(run("Z"), "ERR @ 120 0");
    ttl[tid].pos[0] = {10.0, -20.5};
    elapsed_time = 7;
    EXPECT_EQ(run("Q P"), "10.000000 -20.500000 OK @ 7 0");
    ttl[tid].status = 0; // not in use: zeros, then ERR
    elapsed_time = 0;
    EXPECT_EQ(run("Q P"), "0.000000 0.000000 ERR @ 0 0");
    elapsed_time = 4000000000ul;
    EXPECT_EQ(ask(".").ticks, 4000000000ul);
}

TEST_F(Language, EventsTravelWithTheNextReplyOnlyOnce) {
    place_turtle(30.0, 0.0, 180.0, -1);
    Reply r = ask("F 15");
    EXPECT_EQ(r.status, "ERR");
    EXPECT_EQ(r.events, EV_BUMP_TURTLE) << "its own event in the same reply";
    EXPECT_EQ(ask(".").events, 0u);
    EXPECT_EQ(ask("F 15").events, 0u) << "the contact latch keeps the event from repeating";
    ttl[tid].event = EV_HIT | EV_TEAM_MSG; // raised by others
    EXPECT_EQ(ask("Q S").events, EV_HIT | EV_TEAM_MSG);
    EXPECT_EQ(ttl[tid].event, 0u);
}

// ------------------------------------------- first-letter rule and motion

// One client's commands in order, with the place and heading after each.
TEST_F(Language, MotionCommandsAndTheirSubOptions) {
    const struct {
        const char* cmd;
        double x, y, heading;
    } steps[] = {
        {"forward 10", 10, 0, 0}, {"f 10", 20, 0, 0},         {"back 5", 15, 0, 0},
        {"B 4", 11, 0, 0},        {"turn left 90", 11, 0, 90}, {"T r 45", 11, 0, 45},
        {"T left -5", 11, 0, 40}, {"T N", 11, 0, 90},          {"T w", 11, 0, 180},
        {"T S", 11, 0, -90},      {"T east", 11, 0, 0},        {"J 100 -50", 100, -50, 0},
        {"G -10 5", 90, -45, 0},  {"J 7", 7, 0, 0} /* a missing y reads as 0 */,
        {"F10", 7, 0, 0} /* the number glued to the letter is part of the command */,
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.cmd);
        EXPECT_EQ(ask(s.cmd).status, "OK");
        EXPECT_DOUBLE_EQ(ttl[tid].pos[0].x, s.x);
        EXPECT_DOUBLE_EQ(ttl[tid].pos[0].y, s.y);
        EXPECT_DOUBLE_EQ(ttl[tid].heading, s.heading);
    }
    EXPECT_DOUBLE_EQ(ttl[tid].pos[1].x, 7.0) << "a step of 0 still shifts the history";
}

TEST_F(Language, UnknownCommandsAreErr) {
    for (const char* t : {"QP", "Q", "Q Z", "z 1", "~", "{", "Z", "A", "M 1", "V", "0", "\x7f", ""})
        EXPECT_EQ(run(t), "ERR @ 0 0") << "'" << t << "'";
    EXPECT_EQ(ask("q p").status, "OK");
    client_tab[0].tid = -1; // a slot without a turtle runs nothing
    EXPECT_EQ(run("F 10"), "ERR @ 0 0");
    EXPECT_EQ(run("Q P"), "ERR @ 0 0");
    EXPECT_DOUBLE_EQ(ttl[tid].pos[0].x, 0.0);
}

TEST_F(Language, TurnRefusals) {
    ttl[tid].heading = 30.0;
    EXPECT_EQ(run("T X 90"), "ERR @ 0 0");
    EXPECT_EQ(run("T"), "ERR @ 0 0");
    EXPECT_DOUBLE_EQ(ttl[tid].heading, 30.0);
    EXPECT_EQ(client_tab[0].nup, 2) << "an unknown sub-option is budgeted all the same";
    // turtle_head refuses with 1 in battle mode; 1 is also the code of 'Q P',
    // so the refusal is answered with the position
    ttl[tid].heading = 0.0;
    battle_mode = 1;
    ttl[tid].pos[0] = {3.0, 4.0};
    EXPECT_EQ(run("T N"), "3.000000 4.000000 OK @ 0 0");
    EXPECT_DOUBLE_EQ(ttl[tid].heading, 0.0);
}

TEST_F(Language, BlockedStepAndJumpAreErrAndLeaveThePosition) {
    battle_mode = 1;
    EXPECT_EQ(ask("J 50 50").status, "ERR");
    battle_mode = 0;
    int other = place_turtle(25.0, 0.0, 0.0, -1);
    EXPECT_EQ(ask("F 10").status, "ERR");
    ttl[other].pos[0].x = 15.0;
    EXPECT_EQ(ask("G 100 100").status, "ERR") << "jumps are refused near others";
    EXPECT_DOUBLE_EQ(ttl[tid].pos[0].x, 0.0);
    EXPECT_EQ(ask("B 10").status, "OK");
    EXPECT_DOUBLE_EQ(ttl[tid].pos[0].x, -10.0);
}

// --------------------------------------------------------- pen and paint

TEST_F(Language, PenAndLineSubOptions) {
    const unsigned pen = ST_PEN_DOWN | ST_PEN_LIFTED, modes = ST_FILL | ST_POINT | ST_BRUSH;
    const struct {
        const char* cmd;
        unsigned mask, want;
    } steps[] = {
        {"P D", ST_PEN_DOWN, ST_PEN_DOWN}, {"P -", pen, ST_PEN_LIFTED},
        {"P +", ST_PEN_DOWN, ST_PEN_DOWN}, {"P up", ST_PEN_DOWN, 0},
        {"P d", ST_PEN_DOWN, ST_PEN_DOWN}, {"L S", modes, ST_FILL},
        {"L B", modes, ST_BRUSH},          {"L p", modes, ST_POINT},
        {"L +", modes, ST_FILL},           {"L", modes, 0},
    };
    for (const auto& s : steps) {
        EXPECT_EQ(ask(s.cmd).status, "OK") << s.cmd;
        EXPECT_EQ(ttl[tid].status & s.mask, s.want) << s.cmd;
    }
    ttl[tid].status |= modes | ST_PEN_DOWN;
    unsigned before = ttl[tid].status;
    EXPECT_EQ(ask("P X").status, "OK");
    EXPECT_EQ(ask("P").status, "OK");
    EXPECT_EQ(ttl[tid].status, before) << "an unknown or missing pen option changes nothing";
    EXPECT_EQ(ask("L line").status, "OK");
    EXPECT_EQ(ttl[tid].status & modes, 0u) << "every mode is cleared first";
}

TEST_F(Language, ColourAndWidth) {
    EXPECT_EQ(ask("K 0.25 0.5 0.75").status, "OK");
    EXPECT_DOUBLE_EQ(ttl[tid].col[0].r, 0.25);
    EXPECT_DOUBLE_EQ(ttl[tid].col[0].g, 0.5);
    EXPECT_DOUBLE_EQ(ttl[tid].col[0].b, 0.75);
    EXPECT_EQ(ask("K 1").status, "OK") << "missing components read as 0";
    EXPECT_DOUBLE_EQ(ttl[tid].col[0].g, 0.0);
    EXPECT_EQ(ask("W 3.5").status, "OK");
    EXPECT_DOUBLE_EQ(ttl[tid].width[0], 3.5);
    ttl[tid].status |= ST_ZOMBIE;
    EXPECT_EQ(ask("K 0 1 0").status, "ERR");
}

TEST_F(Language, PrintTakesHexText) {
    EXPECT_EQ(ask("S 48656c6c6f").status, "OK");
    EXPECT_STREQ(ttl[tid].msg, "Hello");
    EXPECT_EQ(ask("S 41 42 43").status, "OK");
    EXPECT_STREQ(ttl[tid].msg, "ABC");
    std::string t127 = "S ";
    for (int i = 0; i < 127; i++) t127 += "61";
    EXPECT_EQ(ask(t127).status, "OK");
    EXPECT_EQ(std::string(ttl[tid].msg), std::string(127, 'a'));
    // the blank after the letter is a decoding step too, so 128 pairs after
    // it decode to 127 bytes: the wire cannot carry a text the print refuses
    EXPECT_EQ(ask(t127 + "62").status, "OK");
    EXPECT_EQ(std::string(ttl[tid].msg), std::string(127, 'a'));
}

TEST_F(Language, NameTakesHexTextAndZombieRefusalLooksLikeAPosition) {
    for (auto [cmd, name] : {std::pair{"N 414243", "ABC"}, {"N 41 42 43 44", "ABCD"}, {"N", ""}}) {
        EXPECT_EQ(ask(cmd).status, "OK") << cmd;
        EXPECT_STREQ(ttl[tid].name, name) << cmd;
    }
    ttl[tid].status |= ST_ZOMBIE;
    ttl[tid].pos[0] = {1.5, 2.0};
    EXPECT_EQ(run("N 41"), "1.500000 2.000000 OK @ 0 0");
    EXPECT_STREQ(ttl[tid].name, "");
}

// ----------------------------------------------------- team and messages

TEST_F(Language, BroadcastKeepsTheTextAfterTheLetterAndItsBlanks) {
    int mate = place_turtle(100.0, 100.0, 0.0, -1);
    elapsed_time = 77;
    EXPECT_EQ(ask("U    hi  there ").status, "OK");
    EXPECT_STREQ(teams[0].msg, "hi  there ");
    EXPECT_TRUE(ttl[mate].event & EV_TEAM_MSG);
    EXPECT_EQ(run("Q B"), "77 hi  there  OK @ 77 0");
    EXPECT_EQ(ask("U").status, "OK");
    EXPECT_STREQ(teams[0].msg, "");
    // a board of full length is sent whole
    std::string text(NAME_LEN, 'x');
    EXPECT_EQ(ask("U " + text + "yyyy").status, "OK");
    EXPECT_EQ(run("Q B"), "77 " + text + " OK @ 77 0");
}

TEST_F(Language, TeamNumbersOutsideOneToFourAreIgnored) {
    EXPECT_EQ(run("I 4"), "OK @ 0 0");
    EXPECT_EQ(run("Q M"), "4 OK @ 0 0");
    EXPECT_EQ(run("I 2"), "OK @ 0 0");
    for (const char* t : {"I 0", "I 5", "I -1", "I 99999999999999999999999", "I -99999999999999999999",
                          "I x", "I", "I 4294967298" /* no wrap into 1..4 */}) {
        EXPECT_EQ(run(t), "OK @ 0 0") << t;
        EXPECT_EQ(ttl[tid].team, 2) << t;
    }
    ttl[tid].status |= ST_ZOMBIE;
    EXPECT_EQ(run("I 3"), "OK @ 0 0") << "the result is 0 whatever the operation says";
    EXPECT_EQ(ttl[tid].team, 2);
}

// ----------------------------------------------------- reset, home, field

// Each case starts from (50, 60) facing north in team 3.
TEST_F(Language, ClearAndItsSubOptions) {
    const struct {
        int battle;
        const char* cmd;
        double x, y, heading;
        int team;
    } cases[] = {
        {0, "C", 0, 0, 0, 0},        {0, "C 5", 5, 0, 0, 0},          // reset, then step
        {0, "C H", 0, 0, 0, 3},      {0, "C F", 50, 60, 90, 3},       // home; field only
        {1, "C", 50, 60, 90, 3},     {1, "C 9", 50, 62, 90, 3},       // battle: step of 2 at most
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.cmd) + (c.battle ? " in battle mode" : ""));
        battle_mode = c.battle;
        turtle_field_is_cleared = 1;
        client_tab[0].nup = 0;
        ttl[tid].pos[0] = {50.0, 60.0};
        ttl[tid].heading = 90.0;
        ttl[tid].team = 3;
        EXPECT_EQ(ask(c.cmd).status, "OK");
        EXPECT_DOUBLE_EQ(ttl[tid].pos[0].x, c.x);
        EXPECT_DOUBLE_EQ(ttl[tid].pos[0].y, c.y);
        EXPECT_DOUBLE_EQ(ttl[tid].heading, c.heading);
        EXPECT_EQ(ttl[tid].team, c.team);
        EXPECT_EQ(client_tab[0].nup, 1);
        EXPECT_EQ(turtle_field_is_cleared, std::string(c.cmd) == "C F" ? 0 : 1);
    }
    battle_mode = 0;
    int z = place_turtle(-100.0, -100.0, 0.0, 5);
    make_zombie(z);
    EXPECT_EQ(ask("C A").status, "OK");
    EXPECT_EQ(ttl[z].status, 0u);
    EXPECT_TRUE(ttl[tid].status & ST_ALIVE);
}

TEST_F(Language, FieldColourClearsTheField) {
    turtle_field_is_cleared = 1;
    EXPECT_EQ(ask("H 0.1 0.2 0.3").status, "OK");
    EXPECT_DOUBLE_EQ(bgcol.r, 0.1);
    EXPECT_DOUBLE_EQ(bgcol.g, 0.2);
    EXPECT_DOUBLE_EQ(bgcol.b, 0.3);
    EXPECT_EQ(turtle_field_is_cleared, 0);
    EXPECT_EQ(client_tab[0].nup, 1);
}

TEST_F(Language, BattleModeSwitch) {
    testing::internal::CaptureStderr();
    for (auto [cmd, on] : {std::pair{"!", 1}, {"! -", 0}, {"! on", 1}, {"! u", 0}, {"! X", 1},
                           {"! Unset", 0}}) {
        EXPECT_EQ(ask(cmd).status, "OK") << cmd;
        EXPECT_EQ(battle_mode, on) << cmd;
    }
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("entering battle mode...\n"), std::string::npos);
    EXPECT_NE(log.find("entering turtle graphics mode...\n"), std::string::npos);
}

// ------------------------------------------------------- coins and objects

TEST_F(Language, CoinCommands) {
    EXPECT_EQ(ask("O +").status, "ERR") << "nothing to drop";
    EXPECT_EQ(ask("O B").status, "OK");
    EXPECT_EQ(ttl[tid].ncoin, COIN_LOAN);
    EXPECT_EQ(stock_of_coin, MAX_COIN - COIN_LOAN);
    EXPECT_EQ(ask("O S").status, "OK");
    EXPECT_EQ(ttl[tid].ncoin, COIN_LOAN - 1);
    EXPECT_EQ(run("Q C"), "1 OK @ 0 0");
    EXPECT_EQ(run("Q O"), "9 OK @ 0 0");
    EXPECT_EQ(ask("O").status, "OK");
    EXPECT_EQ(ttl[tid].ncoin, COIN_LOAN);
    EXPECT_EQ(run("Q C"), "0 OK @ 0 0");
    EXPECT_EQ(ask("O pick").status, "OK") << "picking with nothing in reach is fine";
    EXPECT_EQ(ask("O X").status, "OK");
    EXPECT_EQ(stock_of_coin, MAX_COIN - COIN_LOAN - 1);
    stock_of_coin = COIN_LOAN - 1;
    EXPECT_EQ(ask("O B").status, "ERR");
    stock_of_coin = 0;
    EXPECT_EQ(ask("O X").status, "ERR");
}

TEST_F(Language, FireFinderRangeAndDoughnut) {
    EXPECT_EQ(ask("X").status, "OK");
    EXPECT_TRUE(ttl[tid].status & ST_BULLET);
    EXPECT_EQ(ttl[tid].score, START_SCORE - 1);
    EXPECT_EQ(ask("E 55.5").status, "OK");
    EXPECT_DOUBLE_EQ(ttl[tid].frange, 55.5);
    EXPECT_EQ(ask("D").status, "OK");
    EXPECT_EQ(ttl[tid].ndonut, 1);
    ttl[tid].ndonut = MAX_DOUGHNUT;
    EXPECT_EQ(ask("D").status, "ERR");
}

TEST_F(Language, ZombieRefusals) {
    ttl[tid].status |= ST_ZOMBIE;
    ttl[tid].pos[0] = {1.0, 1.0};
    for (const char* cmd : {"X", "F 5", "T L 5", "J 9 9", "S 41"})
        EXPECT_EQ(ask(cmd).status, "ERR") << cmd;
    EXPECT_EQ(run("E 30"), "1.000000 1.000000 OK @ 0 0") << "finder range refuses with 1";
    EXPECT_DOUBLE_EQ(ttl[tid].frange, START_FRANGE);
}

TEST_F(Language, EventMaskSubOptions) {
    EXPECT_EQ(ask("Y - -1").status, "OK");
    EXPECT_EQ(ttl[tid].eventmask, 0u);
    EXPECT_EQ(ask("Y + 3").status, "OK");
    EXPECT_EQ(ttl[tid].eventmask, EV_HIT | EV_BUMP_TURTLE);
    EXPECT_EQ(ask("Y 3").status, "OK");
    EXPECT_EQ(ask("Y x 4").status, "OK");
    EXPECT_EQ(ttl[tid].eventmask, EV_HIT | EV_BUMP_TURTLE);
    EXPECT_EQ(ask("Y - 2").status, "OK");
    place_turtle(25.0, 0.0, 0.0, -1);
    Reply r = ask("F 10");
    EXPECT_EQ(r.status, "ERR");
    EXPECT_EQ(r.events, 0u) << "a masked bump is not reported";
    EXPECT_EQ(ask("Y + 99999999999999999999").status, "OK");
    EXPECT_EQ(ttl[tid].eventmask, EV_ALL) << "huge values clamp to every bit";
}

TEST_F(Language, RobotIsAnsweredWithTheQueryOfItsSlot) {
    // the robot takes slot 1, which is also the code of 'Q P'
    ttl[tid].pos[0] = {2.0, 3.0};
    EXPECT_EQ(run("R"), "2.000000 3.000000 OK @ 0 0");
    EXPECT_EQ(ttl[1].status, ST_ALIVE | ST_ROBOT);
    EXPECT_EQ(ttl[1].cid, -1);
    // beyond the query codes a robot's slot gives a plain OK
    for (int i = 2; i < 20; i++) place_turtle(-240.0 + 25.0 * i, 240.0, 0.0, -1);
    EXPECT_EQ(run("R"), "OK @ 0 0");
    EXPECT_EQ(ttl[20].status, ST_ALIVE | ST_ROBOT);
    // on a full table it is ERR
    for (int i = 21; i < MAX_TURTLE; i++) place_turtle(-240.0 + 16.0 * i, 200.0, 0.0, -1);
    EXPECT_EQ(run("R"), "ERR @ 0 0");
}

// ------------------------------------------------------------------ queries

TEST_F(Language, EveryQueryLetter) {
    elapsed_time = 42;
    ttl[tid].heading = -12.5;
    ttl[tid].team = 2;
    const std::pair<const char*, const char*> cases[] = {
        {"Q D", "-12.500000 OK @ 42 0"}, {"Q M", "2 OK @ 42 0"},   {"Q F", "0 0 OK @ 42 0"},
        {"Q W", "0 0 0 OK @ 42 0"},      {"Q A", "1 OK @ 42 0"},   {"Q S", "100 OK @ 42 0"},
        {"Q T", "42 OK @ 42 0"},         {"Q N", "1 OK @ 42 0"},   {"Q C", "0 OK @ 42 0"},
        {"Q O", "0 OK @ 42 0"},          {"Q alive", "1 OK @ 42 0"},
        {"Q B", "0  OK @ 42 0"}, // time, a blank, then the (empty) board
    };
    for (auto [cmd, reply] : cases) EXPECT_EQ(run(cmd), reply) << cmd;
    int other = place_turtle(25.0, 0.0, 0.0, -1); // the finder sees it and marks it
    ttl[other].team = 3;
    EXPECT_EQ(run("Q F"), "1 3 OK @ 42 0");
    EXPECT_TRUE(ttl[other].event & EV_FINDER);
}

TEST_F(Language, RadarRanks) {
    Reply r = ask("Q R");
    EXPECT_EQ(r.status, "ERR") << "nothing to find";
    EXPECT_NE(r.payload.find(" 0"), std::string::npos);
    for (int i = 1; i <= 5; i++) {
        int t = place_turtle(30.0 * i, 0.0, 0.0, -1);
        ttl[t].team = i % 5;
    }
    for (int rank = 1; rank <= 5; rank++) {
        Reply q = ask("Q R " + std::to_string(rank));
        EXPECT_EQ(q.status, "OK") << rank;
        double dir;
        int team;
        ASSERT_EQ(std::sscanf(q.payload.c_str(), "%lf %d", &dir, &team), 2) << q.payload;
        EXPECT_EQ(team, rank % 5) << rank;
        EXPECT_LE(std::fabs(dir), 20.0) << "all of them lie straight ahead";
    }
    std::string first = ask("Q R").payload;
    EXPECT_EQ(first.substr(first.size() - 2), " 1") << "'Q R' is rank 1";
    for (const char* bad : {"Q R 0", "Q R 6", "Q R -1", "Q R x", "Q R 99999999999999999999"}) {
        EXPECT_EQ(run(bad), "ERR @ 0 0") << bad;
    }
}

// -------------------------------------------------------------------- budget

TEST_F(Language, BudgetedCommandsAddOneEach) {
    const std::pair<const char*, int> table[] = {
        {"F 1", 1},  {"B 1", 1},     {"T L 1", 1}, {"T X 1", 1}, {"J 0 0", 1}, {"G 0 0", 1},
        {"P D", 1},  {"P X", 1},     {"L", 1},     {"L B", 1},   {"S 41", 1},  {"C 0", 1},
        {"C F", 1},  {"H 0 0 0", 1}, {"O", 1},     {"O X", 1},   {"O S", 1},   {"K 1 1 1", 0},
        {"W 2", 0},  {"N 41", 0},    {"U hi", 0},  {"I 1", 0},   {"O B", 0},   {"X", 0},
        {"E 20", 0}, {"D", 0},       {"Y + 1", 0}, {"R", 0},     {".", 0},     {"Z", 0},
        {"QP", 0},   {"Q P", 0},     {"Q D", 0},   {"Q M", 0},   {"Q F", 0},   {"Q R", 0},
        {"Q R 3", 0}, {"Q W", 0},    {"Q A", 0},   {"Q S", 0},   {"Q T", 0},   {"Q N", 0},
        {"Q C", 0},  {"Q O", 0},     {"Q B", 0},   {"!", 0},     {"! -", 0},
    };
    testing::internal::CaptureStderr();
    for (auto& [cmd, cost] : table) {
        client_tab[0].nup = 0;
        run(cmd);
        EXPECT_EQ(client_tab[0].nup, cost) << cmd;
    }
    testing::internal::GetCapturedStderr();
}

TEST_F(Language, TheFrameZeroesEveryBudget) {
    for (auto& c : client_tab) c.nup = 3;
    end_of_frame();
    for (auto& c : client_tab) EXPECT_EQ(c.nup, 0);
}

// ------------------------------------------------------- hexadecimal text

static std::string hex2str(const std::string& hex) {
    char out[NAME_LEN + 1 + 16];
    std::memset(out, 0x7f, sizeof(out));
    convert_hex2str(hex.c_str(), out);
    EXPECT_EQ(out[NAME_LEN + 1], 0x7f) << "wrote past the 129-byte result";
    return out;
}

TEST(HexText, Decoding) {
    const std::pair<const char*, const char*> cases[] = {
        {"414243", "ABC"}, {"41 42  43", "ABC"}, {"  6162", "ab"}, {"4a4B", "JK"}, {"", ""},
        {"e3", "\xe3"},
        {"4", "@"}, {"414", "A@"}, {"41 4", "A@"}, // a lone last digit pairs with the end
        {"00410042", "AB"}, {"0", ""},              // zero bytes are dropped
        {"zz41", "A"}, {"g1", "\x01"},              // non-digits count as 0
    };
    for (auto [hex, text] : cases) EXPECT_EQ(hex2str(hex), text) << "'" << hex << "'";
}

TEST(HexText, AtMost128Steps) {
    std::string pairs, spaced;
    for (int i = 0; i < 300; i++) pairs += "41", spaced += "41 ";
    EXPECT_EQ(hex2str(pairs), std::string(NAME_LEN, 'A'));
    EXPECT_EQ(hex2str(spaced), std::string(NAME_LEN / 2, 'A')) << "a blank is a step too";
}

TEST(HexText, EncodesLowerCaseUpTo128Bytes) {
    char hex[2 * NAME_LEN + 1 + 16];
    for (auto [text, want] : {std::pair{"ABC", "414243"}, {"\xe3\x81\x82 z", "e38182207a"}, {"", ""}}) {
        convert_str2hex(text, hex);
        EXPECT_STREQ(hex, want);
    }
    std::string longer(200, 'a');
    std::memset(hex, 0x7f, sizeof(hex));
    convert_str2hex(longer.c_str(), hex);
    EXPECT_EQ(std::strlen(hex), 2u * NAME_LEN);
    EXPECT_EQ(hex[2 * NAME_LEN + 1], 0x7f);
}

TEST(HexText, RoundTripOfEveryByte) {
    char text[NAME_LEN + 1], hex[2 * NAME_LEN + 1], back[NAME_LEN + 1];
    for (int start = 1; start < 256; start += NAME_LEN) {
        int n = 0;
        for (int b = start; b < 256 && n < NAME_LEN; b++) text[n++] = (char)b;
        text[n] = '\0';
        convert_str2hex(text, hex);
        convert_hex2str(hex, back);
        EXPECT_STREQ(back, text);
    }
}

TEST(HexText, DigitValues) {
    for (auto [c, v] : {std::pair{'0', 0}, {'9', 9}, {'a', 10}, {'F', 15}, {'g', 0}, {'G', 0},
                        {' ', 0}, {'\0', 0}, {'/', 0}, {':', 0}, {'@', 0}, {'`', 0}, {'\x80', 0}})
        EXPECT_EQ(char2int(c), v) << (int)c;
}

// ------------------------------------------------------- hostile numbers

TEST_F(Language, NonFiniteAndHugeNumbersNeverBreakTheTurtle) {
    const char* values[] = {"nan", "-nan", "NAN(0x1)", "inf", "-inf", "infinity", "1e308", "-1e308",
                            "1e999", "-1e999", "0x1p1023", "4.9e-324", "99999999999999999999999",
                            "-9223372036854775809"};
    const char* templates[] = {"F %s", "B %s", "T L %s", "T R %s", "J %s 0", "J 0 %s", "G %s 0",
                               "G 0 %s", "K %s 0 0", "K 0 %s 0", "K 0 0 %s", "W %s", "C %s",
                               "E %s", "Y + %s", "Y - %s", "I %s", "Q R %s", "O %s", "P %s", "L %s",
                               "T %s %s", "H %s 0 0"};
    for (const char* v : values) {
        for (const char* t : templates) {
            char cmd[128];
            std::snprintf(cmd, sizeof(cmd), t, v, v);
            Reply r = ask(cmd);
            EXPECT_TRUE(r.well_formed) << cmd;
            ASSERT_TRUE(position_finite(tid)) << cmd;
            EXPECT_TRUE(std::isfinite(ttl[tid].width[0])) << cmd;
            EXPECT_TRUE(std::isfinite(ttl[tid].frange)) << cmd;
            EXPECT_TRUE(std::isfinite(ttl[tid].col[0].r)) << cmd;
            Reply p = ask("Q P");
            EXPECT_EQ(p.status, "OK") << cmd;
            EXPECT_TRUE(ask("Q D").well_formed) << cmd;
        }
    }
}

TEST_F(Language, HugeCoordinatesStillFitTheReply) {
    EXPECT_EQ(ask("J -1.7e308 -1.7e308").status, "ERR") << "beyond the farthest position";
    // the reply line still holds the largest doubles, should a record carry them
    ttl[tid].pos[0] = {-1.7e308, -1.7e308};
    ttl[tid].heading = -1.7e308;
    Reply p = ask("Q P");
    EXPECT_EQ(p.status, "OK");
    EXPECT_GT(p.payload.size(), 600u);
    double x, y;
    ASSERT_EQ(std::sscanf(p.payload.c_str(), "%lf %lf", &x, &y), 2);
    EXPECT_DOUBLE_EQ(x, -1.7e308);
    EXPECT_EQ(ask("Q D").status, "OK");
    EXPECT_EQ(ask("G -1.7e308 0").status, "ERR") << "the sum overflows and is refused";
    EXPECT_TRUE(position_finite(tid));
}
