// test_nonfinite.cpp -- the world's own bounds: a step, turn or jump that
// would take a position beyond MAX_COORD or a heading beyond MAX_HEADING is
// refused and leaves every table as it was. (Non-finite numbers never get
// this far: the command language refuses them.)

#include <cmath>
#include <functional>
#include <limits>

#include "frame.h"
#include "world_fixture.h"

namespace {

const double NaN = std::numeric_limits<double>::quiet_NaN();
const double Inf = std::numeric_limits<double>::infinity();
const double Huge = std::numeric_limits<double>::max();

struct NonFinite : World {
    turtle ttl_before[MAX_TURTLE];
    coin coins_before[MAX_COIN];
    teaminfo teams_before[MAX_TEAM];
    int ntmax_before = 0;

    int t = -1;

    void SetUp() override {
        World::SetUp();
        t = place_turtle(0, 0, 30);
        place_turtle(15, 0, 0); // within 20: a bump is possible
        set_object_at(-40, 0, ST_STONE);
        snapshot();
    }
    void snapshot() {
        std::memcpy(ttl_before, ttl, sizeof(ttl));
        std::memcpy(coins_before, coins, sizeof(coins));
        std::memcpy(teams_before, teams, sizeof(teams));
        ntmax_before = ntmax;
    }
    void expect_unchanged() {
        EXPECT_EQ(std::memcmp(ttl_before, ttl, sizeof(ttl)), 0);
        EXPECT_EQ(std::memcmp(coins_before, coins, sizeof(coins)), 0);
        EXPECT_EQ(std::memcmp(teams_before, teams, sizeof(teams)), 0);
        EXPECT_EQ(ntmax, ntmax_before);
    }
};

} // namespace

// Each case starts from the fixture's world, optionally without the near
// neighbour (so that only the number can refuse a jump), in battle or
// bounded-area mode, or with the turtle moved to the edge of what is allowed.
TEST_F(NonFinite, EveryOperationRefusesAndChangesNothing) {
    enum {
        PLAIN, ALONE, BATTLE, BATTLE_BOUNDED, BOUNDED_ALONE, AT_MAX_COORD, AT_CORNER, AT_MAX_HEADING
    };
    const struct {
        const char* what;
        int setup;
        std::function<int()> op;
    } cases[] = {
        {"step overflowing the position", AT_MAX_COORD, [&] { return turtle_step_forward(t, Huge); }},
        {"step beyond MAX_COORD", AT_MAX_COORD, [&] { return turtle_step_forward(t, 1); }},
        {"turn overflowing the heading", AT_MAX_HEADING, [&] { return turtle_turn(t, Huge); }},
        {"turn beyond MAX_HEADING", AT_MAX_HEADING, [&] { return turtle_turn(t, 1); }},
        {"jump to y -2 MAX_COORD", ALONE, [&] { return turtle_jump(t, 0, -2 * MAX_COORD); }},
        {"relative jump overflowing x", AT_CORNER, [&] { return turtle_rjump(t, Huge, 0); }},
        {"relative jump beyond MAX_COORD", AT_CORNER, [&] { return turtle_rjump(t, 1, 0); }},
        {"relative jump overflowing y", AT_CORNER, [&] { return turtle_rjump(t, 0, -Huge); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        if (c.setup == ALONE || c.setup == BOUNDED_ALONE || c.setup == AT_MAX_COORD ||
            c.setup == AT_CORNER)
            ttl[1].status = 0;
        battle_mode = c.setup == BATTLE || c.setup == BATTLE_BOUNDED;
        bounded_area_mode = c.setup == BATTLE_BOUNDED || c.setup == BOUNDED_ALONE;
        if (c.setup == AT_MAX_COORD || c.setup == AT_CORNER) {
            ttl[t].heading = 0;
            ASSERT_EQ(turtle_jump(t, MAX_COORD, c.setup == AT_CORNER ? -MAX_COORD : 0), 0);
        }
        if (c.setup == AT_MAX_HEADING) {
            ttl[t].heading = MAX_HEADING;
            ttl[t].status |= ST_TOUCH_ALL; // the latches are kept too
        }
        snapshot();
        EXPECT_EQ(c.op(), -1);
        expect_unchanged();
    }
}

TEST_F(NonFinite, NumbersUpToTheBoundsAreStillTaken) {
    ttl[1].status = 0;
    EXPECT_EQ(turtle_set_color(t, 1e300, 0, -1e300), 0); // finite: stored unchecked
    EXPECT_EQ(ttl[t].col[0].r, 1e300);
    EXPECT_EQ(turtle_line_width(t, Huge), 0);
    EXPECT_EQ(ttl[t].width[0], Huge);
    int yn, team;
    EXPECT_EQ(qt_finder(t, &yn, &team), 0);

    EXPECT_EQ(turtle_turn(t, MAX_HEADING - ttl[t].heading), 0);
    EXPECT_EQ(turtle_step_forward(t, 10), 0); // heading 1e12 deg: a finite direction
    EXPECT_TRUE(std::isfinite(ttl[t].pos[0].x));
    EXPECT_EQ(turtle_turn(t, -MAX_HEADING), 0);
    EXPECT_EQ(ttl[t].heading, 0.0);
    ASSERT_EQ(turtle_jump(t, MAX_COORD, 0), 0);
    EXPECT_EQ(turtle_step_forward(t, -MAX_COORD), 0);
    EXPECT_EQ(ttl[t].pos[0].x, 0.0);
}

TEST_F(NonFinite, SensorsStayFiniteFarOutside) {
    ttl[1].status = 0;
    ASSERT_EQ(turtle_jump(t, MAX_COORD, -MAX_COORD), 0);
    int l, f, r, yn, team;
    double dir;
    EXPECT_EQ(qt_sonar(t, &l, &f, &r), 0);
    EXPECT_EQ(qt_finder(t, &yn, &team), 0);
    EXPECT_EQ(qt_angular_rader(t, 0, &dir, &team), 0); // the stone, far away
    EXPECT_TRUE(std::isfinite(dir));
}
