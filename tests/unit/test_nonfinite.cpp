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
    ASSERT_EQ(turtle_jump(t, MAX_COORD, 0), 0);
    ttl[t].heading = 0;
    snapshot();
    EXPECT_EQ(turtle_step_forward(t, Huge), -1);
    EXPECT_EQ(turtle_step_forward(t, 1), -1); // beyond the bound
    expect_unchanged();
    // a result within the bounds is still allowed
    EXPECT_EQ(turtle_step_forward(t, -MAX_COORD), 0);
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
    ttl[t].heading = MAX_HEADING;
    ttl[t].status |= ST_TOUCH_ALL;
    snapshot();
    EXPECT_EQ(turtle_turn(t, Huge), -1);
    EXPECT_EQ(turtle_turn(t, 1), -1); // beyond the bound
    expect_unchanged(); // latches kept too
    EXPECT_EQ(turtle_turn(t, -MAX_HEADING), 0);
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
    ASSERT_EQ(turtle_jump(t, MAX_COORD, -MAX_COORD), 0);
    snapshot();
    EXPECT_EQ(turtle_rjump(t, Huge, 0), -1);
    EXPECT_EQ(turtle_rjump(t, 1, 0), -1); // beyond the bound
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
    ASSERT_EQ(turtle_jump(t, MAX_COORD, -MAX_COORD), 0);
    int l, f, r, yn, team;
    double dir;
    EXPECT_EQ(qt_sonar(t, &l, &f, &r), 0);
    EXPECT_EQ(qt_finder(t, &yn, &team), 0);
    EXPECT_EQ(qt_angular_rader(t, 0, &dir, &team), 0); // the stone, far away
    EXPECT_TRUE(std::isfinite(dir));
}

// Finite but absurd numbers: a position beyond MAX_COORD or a heading beyond
// MAX_HEADING would print hundreds of digits into the feeds or overflow the
// conversion to radians; they are refused like non-finite ones.
TEST_F(NonFinite, AbsurdPositionsAndHeadingsRefused) {
    EXPECT_EQ(turtle_jump(t, 1e300, 0), -1);
    EXPECT_EQ(turtle_jump(t, 0, -2 * MAX_COORD), -1);
    EXPECT_EQ(turtle_rjump(t, 1e308, 1e308), -1);
    EXPECT_EQ(turtle_turn(t, 1e308), -1);
    EXPECT_EQ(turtle_step_forward(t, 1e300), -1);
    expect_unchanged();
    // right at the bounds still works
    ttl[1].status = 0;
    EXPECT_EQ(turtle_turn(t, MAX_HEADING - ttl[t].heading), 0);
    EXPECT_EQ(turtle_turn(t, 1), -1);
    EXPECT_EQ(turtle_step_forward(t, 10), 0); // heading 1e12 deg: a finite direction
    EXPECT_TRUE(std::isfinite(ttl[t].pos[0].x));
    EXPECT_EQ(turtle_jump(t, MAX_COORD, 0), 0);
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
