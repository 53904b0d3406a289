// world_fixture.h -- puts the world tables back to a fresh start between tests.
#pragma once
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

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

struct World : ::testing::Test {
    void SetUp() override { reset_world_for_test(); }
};
