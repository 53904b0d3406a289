// test_nonfinite.cpp -- NaN and infinite numbers, as strtod hands them over
// from a client, and finite numbers beyond MAX_COORD and MAX_HEADING are
// refused and leave every table as it was.

#include <cmath>
#include <functional>
#include <limits>

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
        {"step NaN", PLAIN, [&] { return turtle_step_forward(t, NaN); }},
        {"step inf", PLAIN, [&] { return turtle_step_forward(t, Inf); }},
        {"step -inf", PLAIN, [&] { return turtle_step_forward(t, -Inf); }},
        {"step 1e300", PLAIN, [&] { return turtle_step_forward(t, 1e300); }},
        {"battle step NaN, before the clamp", BATTLE, [&] { return turtle_step_forward(t, NaN); }},
        {"battle step inf", BATTLE, [&] { return turtle_step_forward(t, Inf); }},
        {"battle step -inf", BATTLE, [&] { return turtle_step_forward(t, -Inf); }},
        {"bounded battle step NaN", BATTLE_BOUNDED, [&] { return turtle_step_forward(t, NaN); }},
        {"step overflowing the position", AT_MAX_COORD, [&] { return turtle_step_forward(t, Huge); }},
        {"step beyond MAX_COORD", AT_MAX_COORD, [&] { return turtle_step_forward(t, 1); }},
        {"turn NaN", PLAIN, [&] { return turtle_turn(t, NaN); }},
        {"turn inf", PLAIN, [&] { return turtle_turn(t, Inf); }},
        {"turn -inf", PLAIN, [&] { return turtle_turn(t, -Inf); }},
        {"turn 1e308", PLAIN, [&] { return turtle_turn(t, 1e308); }},
        {"battle turn NaN", BATTLE, [&] { return turtle_turn(t, NaN); }},
        {"battle turn inf", BATTLE, [&] { return turtle_turn(t, Inf); }},
        {"battle turn -inf", BATTLE, [&] { return turtle_turn(t, -Inf); }},
        {"turn overflowing the heading", AT_MAX_HEADING, [&] { return turtle_turn(t, Huge); }},
        {"turn beyond MAX_HEADING", AT_MAX_HEADING, [&] { return turtle_turn(t, 1); }},
        {"jump to x NaN", ALONE, [&] { return turtle_jump(t, NaN, 0); }},
        {"jump to y NaN", ALONE, [&] { return turtle_jump(t, 0, NaN); }},
        {"jump to x inf", ALONE, [&] { return turtle_jump(t, Inf, 0); }},
        {"jump to y -inf", ALONE, [&] { return turtle_jump(t, 0, -Inf); }},
        {"jump to x 1e300", ALONE, [&] { return turtle_jump(t, 1e300, 0); }},
        {"jump to y -2 MAX_COORD", ALONE, [&] { return turtle_jump(t, 0, -2 * MAX_COORD); }},
        {"bounded jump to NaN", BOUNDED_ALONE, [&] { return turtle_jump(t, NaN, NaN); }},
        {"relative jump x NaN", ALONE, [&] { return turtle_rjump(t, NaN, 1); }},
        {"relative jump y inf", ALONE, [&] { return turtle_rjump(t, 1, Inf); }},
        {"relative jump 1e308", ALONE, [&] { return turtle_rjump(t, 1e308, 1e308); }},
        {"relative jump overflowing x", AT_CORNER, [&] { return turtle_rjump(t, Huge, 0); }},
        {"relative jump beyond MAX_COORD", AT_CORNER, [&] { return turtle_rjump(t, 1, 0); }},
        {"relative jump overflowing y", AT_CORNER, [&] { return turtle_rjump(t, 0, -Huge); }},
        {"colour r NaN", PLAIN, [&] { return turtle_set_color(t, NaN, 0, 0); }},
        {"colour g inf", PLAIN, [&] { return turtle_set_color(t, 0, Inf, 0); }},
        {"colour b -inf", PLAIN, [&] { return turtle_set_color(t, 0, 0, -Inf); }},
        {"width NaN", PLAIN, [&] { return turtle_line_width(t, NaN); }},
        {"width inf", PLAIN, [&] { return turtle_line_width(t, Inf); }},
        {"width -inf", PLAIN, [&] { return turtle_line_width(t, -Inf); }},
        {"finder range NaN", PLAIN, [&] { return turtle_finder_range(t, NaN); }},
        {"finder range inf", PLAIN, [&] { return turtle_finder_range(t, Inf); }},
        {"finder range -inf", PLAIN, [&] { return turtle_finder_range(t, -Inf); }},
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

// A bullet fired along an extreme heading stays finite or ends.
TEST_F(NonFinite, BulletNeverFliesAsNaN) {
    ttl[1].status = 0;
    ttl[t].heading = 1.7e308; // as if set directly: a clean guard still holds
    ttl[t].score = 10;
    ASSERT_EQ(turtle_fire(t), 0);
    struct position blast;
    update_bullet(t, &blast);
    EXPECT_FALSE((ttl[t].status & ST_BULLET) && !std::isfinite(ttl[t].bullet.x));
}
