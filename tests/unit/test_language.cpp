// test_language.cpp -- the command language as a client sees it: replies,
// letters, effects and refusals, queries, budget, hex texts, hostile numbers.

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "client_fixture.h"

using Language = ClientSlot;

TEST_F(Language, EventsTravelWithTheNextReplyOnlyOnce) {
    place_turtle(30.0, 0.0, 180.0, -1);
    Reply r = ask("F 15");
    EXPECT_EQ(r.status, "ERR");
    EXPECT_EQ(r.events, EV_BUMP_TURTLE) << "its own bump in the same reply";
    EXPECT_EQ(ask(".").events, 0u);
    ttl[tid].event = EV_HIT | EV_TEAM_MSG; // raised by others
    EXPECT_EQ(ask("Q S").events, EV_HIT | EV_TEAM_MSG);
    EXPECT_EQ(ttl[tid].event, 0u);
}

// The first letter names the command in either case, from '!' to 'y'.
TEST_F(Language, LettersInEitherCase) {
    const std::pair<const char*, const char*> cases[] = {
        {"q p", "OK"}, {"y - 2", "OK"}, {"f 1", "OK"}, {"! u", "OK"}, {"QP", "ERR"}, {"Q", "ERR"},
        {"Q Z", "ERR"}, {"z 1", "ERR"}, {"~", "ERR"}, {"{", "ERR"}, {"A", "ERR"}, {"M 1", "ERR"},
        {"0", "ERR"}, {"\x7f", "ERR"}, {"", "ERR"},
    };
    for (auto [cmd, status] : cases) EXPECT_EQ(ask(cmd).status, status) << "'" << cmd << "'";
    EXPECT_EQ(ttl[tid].eventmask, ~EV_BUMP_TURTLE) << "'y - 2' masked the bump";
    client_tab[0].tid = -1; // a slot without a turtle runs nothing
    EXPECT_EQ(run("F 10"), "ERR @ 0 0");
    EXPECT_EQ(run("Q P"), "ERR @ 0 0");
}

// One client's commands in order, with the place and heading after each.
TEST_F(Language, MotionCommandsAndTheirSubOptions) {
    const struct { const char* cmd; const char* status; double x, y, heading; } steps[] = {
        {"forward 10", "OK", 10, 0, 0},   {"back 5", "OK", 5, 0, 0},
        {"turn left 90", "OK", 5, 0, 90}, {"T r 45", "OK", 5, 0, 45},
        {"T left -5", "OK", 5, 0, 40},    {"T N", "OK", 5, 0, 90},
        {"T w", "OK", 5, 0, 180},         {"T S", "OK", 5, 0, -90},
        {"T east", "OK", 5, 0, 0},        {"T X 90", "ERR", 5, 0, 0},
        {"T", "ERR", 5, 0, 0},            {"J 100 -50", "OK", 100, -50, 0},
        {"G -10 5", "OK", 90, -45, 0},    {"J 7", "OK", 7, 0, 0} /* a missing y reads as 0 */,
        {"F10", "OK", 7, 0, 0} /* the number glued to the letter is part of the command */,
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.cmd);
        EXPECT_EQ(ask(s.cmd).status, s.status);
        EXPECT_DOUBLE_EQ(ttl[tid].pos[0].x, s.x);
        EXPECT_DOUBLE_EQ(ttl[tid].pos[0].y, s.y);
        EXPECT_DOUBLE_EQ(ttl[tid].heading, s.heading);
    }
    // a refused compass heading (battle mode) answers like 'Q P'
    battle_mode = 1;
    EXPECT_EQ(run("T N"), "7.000000 0.000000 OK @ 0 0");
    EXPECT_DOUBLE_EQ(ttl[tid].heading, 0.0);
}

TEST_F(Language, PenColourAndWidth) {
    const unsigned pen = ST_PEN_DOWN | ST_PEN_LIFTED, modes = ST_FILL | ST_POINT | ST_BRUSH;
    const struct { const char* cmd; unsigned mask, want; } steps[] = {
        {"P D", ST_PEN_DOWN, ST_PEN_DOWN}, {"P -", pen, ST_PEN_LIFTED}, {"P +", ST_PEN_DOWN, ST_PEN_DOWN},
        {"P X", ST_PEN_DOWN, ST_PEN_DOWN}, {"P", ST_PEN_DOWN, ST_PEN_DOWN},     {"P up", ST_PEN_DOWN, 0},
        {"L S", modes, ST_FILL},           {"L B", modes, ST_BRUSH},    {"L p", modes, ST_POINT},
        {"L line", modes, 0},
    };
    for (const auto& s : steps) {
        EXPECT_EQ(ask(s.cmd).status, "OK") << s.cmd;
        EXPECT_EQ(ttl[tid].status & s.mask, s.want) << s.cmd;
    }
    EXPECT_EQ(ask("K 0.25 0.5").status, "OK");
    EXPECT_TRUE(ttl[tid].col[0].r == 0.25 && ttl[tid].col[0].g == 0.5 && ttl[tid].col[0].b == 0);
    EXPECT_EQ(ask("W 3.5").status, "OK");
    EXPECT_DOUBLE_EQ(ttl[tid].width[0], 3.5);
}

TEST_F(Language, TextsTakeHexAndTheBoardTakesPlainText) {
    EXPECT_EQ(ask("S 48656c6c6f").status, "OK");
    EXPECT_STREQ(ttl[tid].msg, "Hello");
    std::string t127 = "S ";
    for (int i = 0; i < 127; i++) t127 += "61";
    EXPECT_EQ(ask(t127).status, "OK");
    EXPECT_EQ(std::string(ttl[tid].msg), std::string(127, 'a'));
    // the blank after the letter is a decoding step too, so 128 pairs decode
    // to 127 bytes: the wire cannot carry a text the print refuses
    EXPECT_EQ(ask(t127 + "62").status, "OK");
    EXPECT_EQ(std::string(ttl[tid].msg), std::string(127, 'a'));
    EXPECT_EQ(ask("N 41 42 43 44").status, "OK");
    EXPECT_STREQ(ttl[tid].name, "ABCD");

    int mate = place_turtle(100.0, 100.0, 0.0, -1);
    elapsed_time = 77;
    EXPECT_EQ(ask("U    hi  there ").status, "OK");
    EXPECT_TRUE(ttl[mate].event & EV_TEAM_MSG);
    EXPECT_EQ(run("Q B"), "77 hi  there  OK @ 77 0");
    std::string text(128, 'x');
    EXPECT_EQ(ask("U " + text + "yyyy").status, "OK");
    EXPECT_EQ(run("Q B"), "77 " + text + " OK @ 77 0") << "128 bytes at most, sent whole";
}

TEST_F(Language, TeamNumbersOutsideOneToFourAreIgnored) {
    EXPECT_EQ(run("I 4"), "OK @ 0 0");
    EXPECT_EQ(run("Q M"), "4 OK @ 0 0");
    for (const char* t : {"I 0", "I 5", "I -1", "I 99999999999999999999999", "I x", "I",
                          "I 4294967298" /* no wrap into 1..4 */}) {
        EXPECT_EQ(run(t), "OK @ 0 0") << t;
        EXPECT_EQ(ttl[tid].team, 4) << t;
    }
}

// Each case starts from (50, 60) facing north in team 3.
TEST_F(Language, ClearAndItsSubOptions) {
    const struct { int battle; const char* cmd; double x, y, heading; int team; } cases[] = {
        {0, "C", 0, 0, 0, 0},    {0, "C 5", 5, 0, 0, 0},      // reset, then step
        {0, "C H", 0, 0, 0, 3},  {0, "C F", 50, 60, 90, 3},   // home; field only
        {1, "C", 50, 60, 90, 3}, {1, "C 9", 50, 62, 90, 3},   // battle: a step of 2 at most
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.cmd) + (c.battle ? " in battle mode" : ""));
        battle_mode = c.battle;
        turtle_field_is_cleared = 1;
        ttl[tid].pos[0] = {50.0, 60.0};
        ttl[tid].heading = 90.0;
        ttl[tid].team = 3;
        EXPECT_EQ(ask(c.cmd).status, "OK");
        EXPECT_DOUBLE_EQ(ttl[tid].pos[0].x, c.x);
        EXPECT_DOUBLE_EQ(ttl[tid].pos[0].y, c.y);
        EXPECT_DOUBLE_EQ(ttl[tid].heading, c.heading);
        EXPECT_EQ(ttl[tid].team, c.team);
        EXPECT_EQ(turtle_field_is_cleared, std::string(c.cmd) == "C F" ? 0 : 1);
    }
    battle_mode = 0;
    int z = place_turtle(-100.0, -100.0, 0.0, 5);
    make_zombie(z);
    EXPECT_EQ(ask("C A").status, "OK");
    EXPECT_EQ(ttl[z].status, 0u);
}

TEST_F(Language, ModesCoinsShotsAndRefusals) {
    testing::internal::CaptureStderr();
    for (auto [cmd, on] : {std::pair{"!", 1}, {"! -", 0}, {"! on", 1}, {"! Unset", 0}}) {
        EXPECT_EQ(ask(cmd).status, "OK") << cmd;
        EXPECT_EQ(battle_mode, on) << cmd;
    }
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(ask("O +").status, "ERR") << "nothing to drop";
    EXPECT_EQ(ask("O B").status, "OK");
    EXPECT_EQ(ask("O S").status, "OK");
    EXPECT_EQ(run("Q C"), "1 OK @ 0 0");
    EXPECT_EQ(run("Q O"), "9 OK @ 0 0");
    EXPECT_EQ(ask("O").status, "OK");
    EXPECT_EQ(run("Q O"), "10 OK @ 0 0");
    stock_of_coin = 0;
    EXPECT_EQ(ask("O B").status, "ERR");
    EXPECT_EQ(ask("O X").status, "ERR");

    EXPECT_EQ(ask("X").status, "OK");
    EXPECT_EQ(run("Q S"), "99 OK @ 0 0");
    EXPECT_EQ(ask("E 55.5").status, "OK");
    EXPECT_DOUBLE_EQ(ttl[tid].frange, 55.5);
    EXPECT_EQ(ask("D").status, "OK");
}

TEST_F(Language, EventMaskSubOptions) {
    const std::pair<const char*, unsigned> steps[] = {
        {"Y - -1", 0u}, {"Y + 3", 3u}, {"Y 3", 3u}, {"Y x 4", 3u}, {"Y + 99999999999999999999", EV_ALL},
    };
    for (auto [cmd, mask] : steps) {
        EXPECT_EQ(ask(cmd).status, "OK") << cmd;
        EXPECT_EQ(ttl[tid].eventmask, mask) << cmd;
    }
}

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
    // an entry ahead to the left: the sonar answers left, front, right
    int other = place_turtle(25.0 / std::sqrt(2.0), 25.0 / std::sqrt(2.0), 0.0, -1);
    ttl[other].team = 3;
    ttl[tid].heading = 0;
    EXPECT_EQ(run("Q W"), "1 1 0 OK @ 42 0");
    ttl[tid].heading = 45;
    EXPECT_EQ(run("Q F"), "1 3 OK @ 42 0");
    EXPECT_TRUE(ttl[other].event & EV_FINDER);
}

// Ranks 1 to 5 by distance ('Q R' is rank 1); the order itself is the radar's.
TEST_F(Language, RadarRanks) {
    EXPECT_EQ(ask("Q R").status, "ERR") << "nothing to find";
    for (int i = 1; i <= 5; i++) ttl[place_turtle(30.0 * i, 0.0, 0.0, -1)].team = i % 5;
    const std::pair<const char*, const char*> cases[] = {
        {"Q R", " 1"}, {"Q R 1", " 1"}, {"Q R 5", " 0"}, {"Q R 0", ""}, {"Q R 6", ""}, {"Q R x", ""},
        {"Q R 99999999999999999999", ""}};
    for (auto [cmd, team] : cases) {
        Reply r = ask(cmd);
        EXPECT_EQ(r.status, *team ? "OK" : "ERR") << cmd;
        EXPECT_TRUE(r.payload.ends_with(team)) << cmd << ": " << r.payload;
    }
}

// Steps, turns, jumps and painting cost one of the frame's budget; settings
// and queries nothing.
TEST_F(Language, BudgetedCommandsAddOneEach) {
    const std::pair<const char*, int> table[] = {
        {"F 1", 1},   {"B 1", 1},   {"T L 1", 1}, {"T X 1", 1}, {"J 0 0", 1}, {"G 0 0", 1},
        {"P D", 1},   {"P X", 1},   {"L B", 1},   {"S 41", 1},  {"C 0", 1},   {"C F", 1},
        {"H 0 0 0", 1}, {"O", 1},   {"O X", 1},   {"O S", 1},   {"K 1 1 1", 0}, {"W 2", 0},
        {"N 41", 0},  {"U hi", 0},  {"I 1", 0},   {"O B", 0},   {"X", 0},     {"E 20", 0},
        {"D", 0},     {"Y + 1", 0}, {"R", 0},     {".", 0},     {"Z", 0},     {"Q P", 0},
        {"Q R 3", 0}, {"Q W", 0},   {"Q B", 0},   {"!", 0},
    };
    testing::internal::CaptureStderr();
    for (auto& [cmd, cost] : table) {
        client_tab[0].nup = 0;
        run(cmd);
        EXPECT_EQ(client_tab[0].nup, cost) << cmd;
    }
    testing::internal::GetCapturedStderr();
}

static std::string hex2str(const std::string& hex) {
    char out[129 + 16];
    std::memset(out, 0x7f, sizeof(out));
    convert_hex2str(hex.c_str(), out);
    EXPECT_EQ(out[129], 0x7f) << "wrote past the 129-byte result";
    return out;
}

TEST(HexText, Decoding) {
    std::string pairs, spaced;
    for (int i = 0; i < 300; i++) pairs += "41", spaced += "41 ";
    const std::pair<std::string, std::string> cases[] = {
        {"414243", "ABC"}, {"41 42  43", "ABC"}, {"4a4B", "JK"}, {"4F7f", "O\x7f"}, {"e3", "\xe3"},
        {"", ""}, {"4", "@"}, {"414", "A@"}, // a lone last digit pairs with the end
        {"00410042", "AB"},                  // zero bytes are dropped
        {"zz41", "A"}, {"g1", "\x01"}, {"G:/1", "\x01"}, // non-digits count as 0
        {pairs, std::string(128, 'A')}, {spaced, std::string(64, 'A')} /* a blank is a step */,
    };
    for (const auto& [hex, text] : cases) EXPECT_EQ(hex2str(hex), text) << "'" << hex << "'";
}

// Every hostile number in every numeric argument: a well-formed reply, and
// the turtle stays finite and within the field's far bounds (positions up
// to 1e9, headings up to 1e12), refused moves leaving it where it was.
TEST_F(Language, HostileNumbers) {
    const char* values[] = {"nan", "-nan", "NAN(0x1)", "inf", "-inf", "infinity", "1e308",
                            "-1e308", "1e999", "0x1p1023", "4.9e-324", "99999999999999999999999",
                            "-9223372036854775809", "1.7e308"};
    const char* templates[] = {"F %s", "B %s", "T L %s", "T R %s", "J %s 0", "J 0 %s", "G %s 0",
                               "G 0 %s", "K %s 0 0", "K 0 0 %s", "W %s", "C %s", "E %s", "Y + %s",
                               "Y - %s", "I %s", "Q R %s", "O %s", "P %s", "L %s", "T %s %s",
                               "H %s 0 0"};
    for (const char* v : values) {
        for (const char* t : templates) {
            char cmd[128];
            std::snprintf(cmd, sizeof(cmd), t, v, v);
            ttl[tid].pos[0] = {3, 4};
            ttl[tid].heading = 30;
            EXPECT_TRUE(ask(cmd).well_formed) << cmd;
            EXPECT_TRUE(std::fabs(ttl[tid].pos[0].x) <= 1e9 && std::fabs(ttl[tid].pos[0].y) <= 1e9 &&
                        std::fabs(ttl[tid].heading) <= 1e12)
                << cmd;
            EXPECT_TRUE(std::isfinite(ttl[tid].width[0]) && std::isfinite(ttl[tid].frange) &&
                        std::isfinite(ttl[tid].col[0].r))
                << cmd;
            EXPECT_EQ(ask("Q P").status, "OK") << cmd;
        }
    }
    // the far bounds themselves: reached, never passed
    const std::pair<const char*, const char*> edge[] = {
        {"J 1000000000 -1000000000", "OK"}, {"F 1", "ERR"}, {"G 1 0", "ERR"}, {"G 0 -1", "ERR"},
        {"J 0 -2000000000", "ERR"}, {"J 0 0", "OK"}, {"T L 999999999970", "OK"}, {"T L 1", "ERR"},
        {"T R 2000000000000", "OK"}, {"F 10", "OK"},
    };
    ttl[tid].heading = 30;
    for (auto [cmd, status] : edge) EXPECT_EQ(ask(cmd).status, status) << cmd;
    EXPECT_TRUE(std::isfinite(ttl[tid].pos[0].x) && std::isfinite(ttl[tid].pos[0].y));
    EXPECT_DOUBLE_EQ(ttl[tid].heading, -1e12);
}
