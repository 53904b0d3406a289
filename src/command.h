// command.h -- the command language: one text command of a client runs one
// turtle or field operation, and one reply line answers it. Numbers are
// checked here, where they enter: the world sees only finite ones.
#pragma once
#include <cstddef>

constexpr int CMD_BUF = 512; // bytes of each parsed token buffer

// Query codes: the result of 'Q x', and of any command whose result falls in
// 1..17, selects the payload of the reply.
enum query_code {
    Q_POSITION = 1,
    Q_DIRECTION = 2,
    Q_TEAM = 3,
    Q_FINDER = 4,
    Q_RADAR = 5, // 'Q R' and 'Q R 1' .. 'Q R 5' are 5 .. 9
    Q_SONAR = 10,
    Q_ALIVE = 11,
    Q_SCORE = 12,
    Q_TICKS = 13,
    Q_TURTLES = 14,
    Q_COINS_NEAR = 15,
    Q_COINS_CARRIED = 16,
    Q_BOARD = 17,
};
constexpr int RADAR_RANKS = 5;

// Numbers a command may carry beyond what the world's own rules bound:
// colours are kept within 0..1 (a lit colour saturates there anyway), widths
// within a million and ranges within 1e12.
constexpr double MAX_WIDTH = 1e6;
constexpr double MAX_RANGE = 1e12;

// Runs one command text of client slot cl (no terminator, no control bytes,
// no leading blank) on its turtle and counts a budgeted one in the client's
// nup. Returns the operation's result, a query code or -1.
int parse_message_for(int cl, char* msg);

// The reply to result `ans` for turtle tid, "payload OK @ ticks events\n"
// (payload and its blank only for a query code), into line[0..n-1]. Takes
// and clears the turtle's pending events. Returns the length.
int format_reply(int tid, int ans, char* line, size_t n);

// Hexadecimal text of names and printed strings: two digits a byte, blanks
// between pairs skipped, at most 128 steps; str has room for 129 bytes.
void convert_hex2str(const char* hex, char* str);
void convert_str2hex(const char* str, char* hex); // hex: room for 257 bytes
int char2int(char c);
