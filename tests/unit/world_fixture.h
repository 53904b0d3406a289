// world_fixture.h -- puts the world tables back to a fresh start between tests.
#pragma once
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "geofunc.h"
#include "globalv.h"
#include "turtle.h"

inline void reset_world_for_test(unsigned seed = 12345) {
    std::memset(ttl, 0, sizeof(ttl));
    for (auto& t : ttl) t.cid = -1;
    ntmax = 0;
    battle_mode = 0;
    maze_mode = 0;
    bounded_area_mode = 0;
    bird_view_mode = 0;
    disp_name = disp_score = disp_help = 0;
    turtle_field_is_cleared = 1;
    elapsed_time = 0;
    reset_wall();
    reset_coin();
    init_teaminfo();
    srandom(seed);
}

// Places a plain client-less turtle at (x, y) facing dir in the lowest free
// slot, as a client's turtle would be (no robot bit).
inline int place_turtle(double x, double y, double dir, int cid = 0) {
    for (int t = 0; t < MAX_TURTLE; t++) {
        if (!(ttl[t].status & ST_ALIVE)) {
            init_turtle(t, cid, x, y, dir);
            if (ntmax <= t) ntmax = t + 1;
            return t;
        }
    }
    return -1;
}

// Every value a freshly written entry holds, whatever the slot held before:
// its place and pen colour in every history slot, width 1 from history slot
// `first_width` on, no counters, texts, targets or pending events, all
// events enabled. What differs between kinds of entry the caller checks.
inline void expect_fresh_entry(const turtle& t, int cid, double x, double y, struct color pen,
                               int score, unsigned status, int first_width) {
    EXPECT_EQ(t.cid, cid);
    for (int k = 0; k < HISTORY; k++) {
        SCOPED_TRACE("history slot " + std::to_string(k));
        EXPECT_TRUE(t.pos[k].x == x && t.pos[k].y == y) << t.pos[k].x << " " << t.pos[k].y;
        EXPECT_TRUE(t.col[k].r == pen.r && t.col[k].g == pen.g && t.col[k].b == pen.b);
        EXPECT_TRUE(k < first_width || t.width[k] == 1.0) << "width " << t.width[k];
    }
    const struct { const char* field; int got, want; } ints[] = {
                {"ttl", t.ttl, 0},         {"bttf", t.bttf, 0},       {"score", t.score, score},
                {"team", t.team, 0},       {"ndonut", t.ndonut, 0},   {"ncoin", t.ncoin, 0},
                {"nstroke", t.nstroke, 0}, {"radar target", t.target_of_rader, -1},
                {"finder target", t.target_of_finder, -1}};
    for (const auto& f : ints) EXPECT_EQ(f.got, f.want) << f.field;
    for (int i = 0; i <= NAME_LEN; i++) ASSERT_TRUE(t.msg[i] == 0 && t.name[i] == 0) << "byte " << i;
    EXPECT_TRUE(t.status == status && t.event == 0u && t.eventmask == EV_ALL)
        << t.status << " " << t.event << " " << t.eventmask;
}

// What f writes to standard error.
template <class F> std::string stderr_of(F f) {
    testing::internal::CaptureStderr();
    f();
    return testing::internal::GetCapturedStderr();
}

struct World : ::testing::Test {
    void SetUp() override { reset_world_for_test(); }
};
