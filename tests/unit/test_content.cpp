// test_content.cpp -- the viewer server's content: routing of paths, the page
// with its script list, the JSON feeds byte for byte, and the built-in images.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "frame.h"
#include "webcontent.h"
#include "world_fixture.h"

extern int n_jscript;
extern char* msg_jscript_srcp[MAX_JSCRIPT];

namespace {

struct Body {
    int mimetype = -1;
    const unsigned char* data = nullptr; // only for built-in data
    std::string text;
};

// The feeds show the world as the last frame published it: publishes the
// tables as they are now, then asks.
struct frame_snapshot snap;
template <class F> Body fresh(F f) {
    take_world_state(&snap);
    publish_feeds(&snap);
    struct container c = f();
    Body b;
    EXPECT_NE(c.data, nullptr);
    b.mimetype = c.mimetype;
    b.text.assign(reinterpret_cast<const char*>(c.data), c.length);
    if (!c.keep) b.data = c.data;
    return b;
}
Body route(const std::string& path) {
    return fresh([&] { return generate_content(path.c_str()); });
}
std::string turtles() { return fresh([] { return generate_json_for_turtle(); }).text; }
std::string camera(int t) { return fresh([&] { return generate_json_for_camera(t); }).text; }

void reset_scripts() {
    for (int i = 0; i < n_jscript; i++) free(msg_jscript_srcp[i]), msg_jscript_srcp[i] = nullptr;
    n_jscript = 0;
}

int count(const std::string& s, const std::string& what) {
    int n = 0;
    for (size_t p = s.find(what); p != std::string::npos; p = s.find(what, p + 1)) n++;
    return n;
}

const std::string OVERVIEW = "{\"x0\":0.000000,\"y0\":0.000000,\"z0\":450.000000,"
                             "\"x1\":0.000000,\"y1\":0.000000,\"z1\":0.000000}";

struct Content : World {
    void SetUp() override {
        World::SetUp();
        reset_scripts();
    }
    void TearDown() override { reset_scripts(); }

    // A live client turtle in slot t, as the feeds see it.
    void put(int t, const char* name, double x, double y, double heading) {
        init_turtle(t, 0, x, y, heading);
        snprintf(ttl[t].name, sizeof(ttl[t].name), "%s", name);
        if (ntmax <= t) ntmax = t + 1;
    }
};

} // namespace

TEST_F(Content, TurtleFeedEntryIsExact) {
    put(0, "bob", 1.5, -2.25, 810.0);
    ttl[0].team = 2;
    ttl[0].ttl = 7;
    ttl[0].bullet = {3, 4};
    ttl[0].bttf = 12;
    ttl[0].score = 95;
    ttl[0].ncoin = 2;
    ttl[0].status |= ST_BULLET;
    ttl[0].event = EV_HIT | EV_BUMP_WALL | EV_RADAR;
    elapsed_time = 0x100000005UL; // only the low 32 bits are shown
    EXPECT_EQ(turtles(), "[{\"tid\":0,\"time\":5,\"type\":1,\"name\":\"bob\",\"team\":2,"
                         "\"x\":1.500000,\"y\":-2.250000,\"head\":90.000000,\"ttl\":7,"
                         "\"bx\":3.000000,\"by\":4.000000,\"bttf\":12,\"score\":95,\"ncoin\":2,"
                         "\"alive\":true,\"firing\":true,\"got_hit\":true,\"collide\":true,"
                         "\"detected\":true,\"got_msg\":false}]");
}

// Every slot below the mark, free ones too; type 1 turtle, 2 doughnut, 3 stone.
TEST_F(Content, TurtleFeedListsEverySlotBelowTheMark) {
    EXPECT_EQ(turtles(), "[]");
    put(0, "a", 0, 0, -370.0);
    put(2, "c\"q", 0, 0, 0); // names go out unescaped
    ttl[2].status |= ST_DOUGHNUT | ST_STONE; // doughnut wins over stone
    ttl[2].event = EV_TEAM_MSG | EV_BUMP_TURTLE;
    std::string feed = turtles();
    EXPECT_EQ(count(feed, "}, {"), 2);
    EXPECT_NE(feed.find("\"head\":-10.000000"), std::string::npos);
    EXPECT_NE(feed.find("{\"tid\":1,\"time\":0,\"type\":1,\"name\":\"\""), std::string::npos);
    EXPECT_NE(feed.find("\"tid\":2,\"time\":0,\"type\":2,\"name\":\"c\"q\""), std::string::npos);
    EXPECT_NE(feed.find("\"alive\":false,\"firing\":false"), std::string::npos); // slot 1
    EXPECT_NE(feed.find("\"got_hit\":false,\"collide\":true,\"detected\":false,\"got_msg\":true}]"),
              std::string::npos);
    ttl[2].status = ST_ALIVE | ST_STONE;
    EXPECT_NE(turtles().find("\"tid\":2,\"time\":0,\"type\":3,"), std::string::npos);
}

// The coin feed keeps its text while no coin moves, goes or changes rank;
// every such change shows at the next request.
TEST_F(Content, CoinFeedShowsEveryChangeAtTheNextRequest) {
    ncoin = 1;
    coins[0].status = COIN_ON_FIELD;
    auto feed = [] { return fresh([] { return generate_json_for_coin(); }).text; };
    std::string before = feed();
    EXPECT_EQ(feed(), before) << "nothing changed";
    for (auto change : {+[] { coins[0].pos.x = 1; }, +[] { coins[0].pos.y = 2; },
                        +[] { coins[0].order = 3; }, +[] { coins[0].status = 0; }}) {
        change();
        EXPECT_NE(feed(), before);
        before = feed();
    }
}

TEST_F(Content, WallAndCoinFeedsListFrontFacesAndCoinsOnTheField) {
    nwall = 0;
    setup_wall(0, 0, 10, 0, 0, 1, 0);
    setup_wall(10, 0, 0, 0, 0, -1, WALL_BACK);
    setup_wall(-1.5, 2, -1.5, 7.25, -1, 0, 0);
    const struct position at[3] = {{1, 2}, {9, 9}, {-3.5, 4}};
    const int ord[3] = {1, 5, 0};
    for (int i = 0; i < 3; i++) coins[i].pos = at[i], coins[i].order = ord[i];
    coins[0].status = coins[2].status = COIN_ON_FIELD; // coin 1 is in the bank
    ncoin = 3;
    EXPECT_EQ(fresh([] { return generate_json_for_wall(); }).text,
              "[{\"x1\":0.000000,\"y1\":0.000000,\"x2\":10.000000,\"y2\":0.000000,"
              "\"nx\":0.000000,\"ny\":1.000000},"
              "{\"x1\":-1.500000,\"y1\":2.000000,\"x2\":-1.500000,\"y2\":7.250000,"
              "\"nx\":-1.000000,\"ny\":0.000000}]");
    EXPECT_EQ(fresh([] { return generate_json_for_coin(); }).text,
              "[{\"x\":1.000000,\"y\":2.000000,\"ord\":1},{\"x\":-3.500000,\"y\":4.000000,\"ord\":0}]");
}

TEST_F(Content, CameraFollowsASlotOrShowsTheOverview) {
    put(0, "a", 10, 20, 450.0);
    EXPECT_EQ(camera(0), "{\"x0\":10.000000,\"y0\":20.000000,\"z0\":10.000000,"
                         "\"x1\":10.000000,\"y1\":120.000000,\"z1\":10.000000}");
    for (int t : {-1, 1 /* not below the mark */, MAX_TURTLE}) EXPECT_EQ(camera(t), OVERVIEW) << t;
}

// Every path a browser may ask for, against the body it must get: a feed
// by its last segment in any case, a camera by the first segment naming a
// turtle, a picture by number, a script at its full path only, and the page
// for anything else, however long or many-segmented.
TEST_F(Content, Routing) {
    put(0, "Bob", 1, 2, 0);
    put(3, "eve", 7, 8, 0);
    std::map<std::string, Body> want = {
        {"turtle", fresh([] { return generate_json_for_turtle(); })},
        {"coin", fresh([] { return generate_json_for_coin(); })},
        {"cam0", fresh([] { return generate_json_for_camera(0); })},
        {"cam3", fresh([] { return generate_json_for_camera(3); })},
        {"page", route("")}, {"three", route("mizzen/qmere/script/three.min.js")}};
    want["overview"] = want["cam0"];
    want["overview"].text = OVERVIEW;
    for (int id = 0; id < 8; id++) want["png" + std::to_string(id)] = fresh([&] { return generate_png(id); });
    std::string seg32;
    for (int i = 0; i < 31; i++) seg32 += "a/";
    seg32 += "turtle";
    const std::pair<std::string, const char*> cases[] = {
        {"TURTLE", "turtle"}, {"//a/turtle//", "turtle"}, {"x/coin", "coin"}, {"turtle?x=1", "page"},
        {"turtles", "page"}, {"camera", "overview"}, {"$3/x/y/CAMERA", "cam3"}, {"BOB/camera", "cam0"},
        {"~2/camera", "overview"}, {"~3x/camera", "overview"}, {"bo/camera", "overview"},
        {"img/0", "png0"}, {"IMG/6", "png6"}, {"img/x", "png0"}, {"img/9", "png7"}, {"img/-1", "png7"},
        {"MIZZEN/qmere/script/three.min.js", "page"}, {seg32, "turtle"} /* 32 segments: a feed */,
        {"a/" + seg32, "page"} /* 33 */, {std::string(2000, '/') + "turtle", "page"},
    };
    for (const auto& [path, label] : cases) {
        Body got = route(path), w = want.at(label);
        SCOPED_TRACE(path.substr(0, 80) + " -> " + label);
        EXPECT_EQ(got.mimetype, w.mimetype);
        EXPECT_EQ(got.text, w.text);
        EXPECT_EQ(got.data, w.data) << "the built-in bytes";
    }
    EXPECT_GT(want["three"].text.size(), 0u);
    ttl[3].status = 0; // gone: no longer designated
    EXPECT_EQ(route("eve/camera").text, OVERVIEW);
}

// The page is the templates around the script lines: the viewer's two, or
// up to ten given ones (a list too long for the page: fuzz_jscript).
TEST_F(Content, PageAndItsScripts) {
    auto line = [](const std::string& url) {
        return "<script type=\"text/javascript\" src=\"" + url + "\"></script>\r\n";
    };
    const std::string page = route("").text;
    EXPECT_EQ(page.rfind("<html><head><title>Quill Mere</title>", 0), 0u);
    EXPECT_NE(page.find(line("/mizzen/qmere/script/quillmere.js") +
                        line("/mizzen/qmere/script/three.min.js")),
              std::string::npos);
    for (int i = 0; i < MAX_TURTLE; i++) EXPECT_EQ(count(page, "id=\"score" + std::to_string(i) + "\""), 1);
    EXPECT_EQ(page.substr(page.size() - 17), "\r\n</body></html>\n");
    set_jscript_src(";;;");
    EXPECT_EQ(route("").text, page) << "an empty list keeps the defaults";
    set_jscript_src(" \"x.js\" ;;  y.js\"z.js ");
    EXPECT_NE(route("").text.find(line("x.js") + line("y.js") + line("z.js")), std::string::npos);
    std::string opt;
    for (int i = 1; i <= 11; i++) opt += "u" + std::to_string(i) + ".js;";
    set_jscript_src(opt.c_str());
    std::string p = route("").text;
    EXPECT_NE(p.find(line("u10.js")), std::string::npos);
    EXPECT_EQ(p.find("u11.js"), std::string::npos);
    EXPECT_EQ(p.find("/mizzen/"), std::string::npos);
}
