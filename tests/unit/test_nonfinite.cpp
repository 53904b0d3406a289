// test_nonfinite.cpp -- NaN and infinite numbers, as strtod hands them over
// from a client, are refused and leave every table as it was.

#include <cmath>
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

TEST_F(NonFinite, StepRefused) {
    for (double v : {NaN, Inf, -Inf}) EXPECT_EQ(turtle_step_forward(t, v), -1) << v;
    expect_unchanged();
}

TEST_F(NonFinite, StepRefusedInBattleModeBeforeTheClamp) {
    battle_mode = 1;
    for (double v : {NaN, Inf, -Inf}) EXPECT_EQ(turtle_step_forward(t, v), -1) << v;
    expect_unchanged();
    bounded_area_mode = 1;
    EXPECT_EQ(turtle_step_forward(t, NaN), -1);
    expect_unchanged();
}

TEST_F(NonFinite, StepThatWouldOverflowThePositionRefused) {
    ttl[1].status = 0;
    ttl[2].status = 0;
    ASSERT_EQ(turtle_jump(t, Huge, 0), 0);
    ttl[t].heading = 0;
    snapshot();
    EXPECT_EQ(turtle_step_forward(t, Huge), -1);
    expect_unchanged();
    // a finite result is still allowed
    EXPECT_EQ(turtle_step_forward(t, -Huge), 0);
    EXPECT_EQ(ttl[t].pos[0].x, 0.0);
}

TEST_F(NonFinite, TurnRefused) {
    for (double v : {NaN, Inf, -Inf}) EXPECT_EQ(turtle_turn(t, v), -1) << v;
    expect_unchanged();
    battle_mode = 1;
    for (double v : {NaN, Inf, -Inf}) EXPECT_EQ(turtle_turn(t, v), -1) << v;
    expect_unchanged();
}

TEST_F(NonFinite, TurnThatWouldOverflowTheHeadingRefused) {
    ttl[t].heading = Huge;
    ttl[t].status |= ST_TOUCH_ALL;
    snapshot();
    EXPECT_EQ(turtle_turn(t, Huge), -1);
    expect_unchanged(); // latches kept too
    EXPECT_EQ(turtle_turn(t, -Huge), 0);
    EXPECT_EQ(ttl[t].heading, 0.0);
}

TEST_F(NonFinite, JumpRefused) {
    ttl[1].status = 0; // nothing within 20, so only the target can refuse
    snapshot();
    EXPECT_EQ(turtle_jump(t, NaN, 0), -1);
    EXPECT_EQ(turtle_jump(t, 0, NaN), -1);
    EXPECT_EQ(turtle_jump(t, Inf, 0), -1);
    EXPECT_EQ(turtle_jump(t, 0, -Inf), -1);
    EXPECT_EQ(turtle_rjump(t, NaN, 1), -1);
    EXPECT_EQ(turtle_rjump(t, 1, Inf), -1);
    bounded_area_mode = 1;
    EXPECT_EQ(turtle_jump(t, NaN, NaN), -1);
    expect_unchanged();
}

TEST_F(NonFinite, RelativeJumpThatWouldOverflowRefused) {
    ttl[1].status = 0;
    ASSERT_EQ(turtle_jump(t, Huge, -Huge), 0);
    snapshot();
    EXPECT_EQ(turtle_rjump(t, Huge, 0), -1);
    EXPECT_EQ(turtle_rjump(t, 0, -Huge), -1);
    expect_unchanged();
}

TEST_F(NonFinite, ColourRefused) {
    EXPECT_EQ(turtle_set_color(t, NaN, 0, 0), -1);
    EXPECT_EQ(turtle_set_color(t, 0, Inf, 0), -1);
    EXPECT_EQ(turtle_set_color(t, 0, 0, -Inf), -1);
    expect_unchanged();
    EXPECT_EQ(turtle_set_color(t, 1e300, 0, -1e300), 0); // finite: stored unchecked
    EXPECT_EQ(ttl[t].col[0].r, 1e300);
}

TEST_F(NonFinite, LineWidthRefused) {
    for (double v : {NaN, Inf, -Inf}) EXPECT_EQ(turtle_line_width(t, v), -1) << v;
    expect_unchanged();
    EXPECT_EQ(turtle_line_width(t, Huge), 0);
    EXPECT_EQ(ttl[t].width[0], Huge);
}

TEST_F(NonFinite, FinderRangeRefused) {
    for (double v : {NaN, Inf, -Inf}) EXPECT_EQ(turtle_finder_range(t, v), -1) << v;
    expect_unchanged();
    int yn, team;
    EXPECT_EQ(qt_finder(t, &yn, &team), 0); // the finder still works afterwards
}

TEST_F(NonFinite, SensorsStayFiniteFarOutside) {
    ttl[1].status = 0;
    ASSERT_EQ(turtle_jump(t, 1e300, -1e300), 0);
    int l, f, r, yn, team;
    double dir;
    EXPECT_EQ(qt_sonar(t, &l, &f, &r), 0);
    EXPECT_EQ(qt_finder(t, &yn, &team), 0);
    EXPECT_EQ(qt_angular_rader(t, 0, &dir, &team), -1); // the stone is too far to rank
    EXPECT_TRUE(std::isfinite(dir));
}
