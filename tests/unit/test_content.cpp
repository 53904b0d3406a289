// test_content.cpp -- the viewer server's content: routing of paths, the page
// with its script list, the JSON feeds byte for byte, and the built-in images.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>

#include "frame.h"
#include "webcontent.h"
#include "world_fixture.h"

extern int n_jscript;
extern char* msg_jscript_srcp[MAX_JSCRIPT];
extern char msg_html_template1[361];
extern char msg_html_template2[856];

namespace {

struct Body {
    int mimetype = -1;
    int malloced = -1;
    const unsigned char* data = nullptr; // only for built-in data
    std::string text;
};

// Takes the container apart.
Body take(struct container c) {
    Body b;
    EXPECT_NE(c.data, nullptr);
    b.mimetype = c.mimetype;
    b.malloced = c.keep ? 1 : 0;
    b.text.assign(reinterpret_cast<const char*>(c.data), c.length);
    if (!c.keep) b.data = c.data;
    return b;
}

// The feeds show the world as the last frame published it: publishes the
// tables as they are now, then asks.
struct frame_snapshot snap;
template <class F> Body fresh(F f) {
    take_world_state(&snap);
    publish_feeds(&snap);
    return take(f());
}

Body route(const std::string& path) {
    return fresh([&] { return generate_content(path.c_str()); });
}

void reset_scripts() {
    for (int i = 0; i < n_jscript; i++) {
        free(msg_jscript_srcp[i]);
        msg_jscript_srcp[i] = nullptr;
    }
    n_jscript = 0;
}

int count(const std::string& s, const std::string& what) {
    int n = 0;
    for (size_t p = s.find(what); p != std::string::npos; p = s.find(what, p + 1)) n++;
    return n;
}

std::string script_line(const std::string& url) {
    return "<script type=\"text/javascript\" src=\"" + url + "\"></script>\r\n";
}

const std::string OVERVIEW =
    "{\"x0\":0.000000,\"y0\":0.000000,\"z0\":450.000000,"
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
        ttl[t].status |= ST_ALIVE;
        snprintf(ttl[t].name, sizeof(ttl[t].name), "%s", name);
        if (ntmax <= t) ntmax = t + 1;
    }
};

// ------------------------------------------------------------ feeds

TEST_F(Content, EmptyTablesGiveEmptyArrays) {
    nwall = 0;
    for (auto feed : {generate_json_for_turtle, generate_json_for_wall, generate_json_for_coin}) {
        Body b = take(feed());
        EXPECT_EQ(b.text, "[]");
        EXPECT_TRUE(b.mimetype == 4 && b.malloced == 1) << b.mimetype << " " << b.malloced;
    }
}

TEST_F(Content, WallFeedListsFrontFacesOnlyWithBareCommas) {
    // a fresh world has the boundary: four segments, eight records
    std::string boundary = fresh([&] { return generate_json_for_wall(); }).text;
    EXPECT_EQ(count(boundary, "{\"x1\":"), 4);
    EXPECT_EQ(count(boundary, ",{"), 3);
    EXPECT_EQ(count(boundary, ", {"), 0);

    nwall = 0;
    setup_wall(0, 0, 10, 0, 0, 1, 0);
    setup_wall(10, 0, 0, 0, 0, -1, WALL_BACK);
    setup_wall(-1.5, 2, -1.5, 7.25, -1, 0, 0);
    EXPECT_EQ(fresh([&] { return generate_json_for_wall(); }).text,
              "[{\"x1\":0.000000,\"y1\":0.000000,\"x2\":10.000000,\"y2\":0.000000,"
              "\"nx\":0.000000,\"ny\":1.000000},"
              "{\"x1\":-1.500000,\"y1\":2.000000,\"x2\":-1.500000,\"y2\":7.250000,"
              "\"nx\":-1.000000,\"ny\":0.000000}]");
}

TEST_F(Content, CoinFeedListsCoinsOnTheField) {
    coins[0].pos = {1, 2};
    coins[0].order = 1;
    coins[0].status = COIN_ON_FIELD;
    coins[1].pos = {9, 9}; // in the bank
    coins[2].pos = {-3.5, 4};
    coins[2].order = 0;
    coins[2].status = COIN_ON_FIELD;
    ncoin = 3;
    EXPECT_EQ(fresh([&] { return generate_json_for_coin(); }).text,
              "[{\"x\":1.000000,\"y\":2.000000,\"ord\":1},"
              "{\"x\":-3.500000,\"y\":4.000000,\"ord\":0}]");
}

TEST_F(Content, TurtleFeedEntryIsExact) {
    put(0, "bob", 1.5, -2.25, 450.0);
    ttl[0].team = 2;
    ttl[0].ttl = 7;
    ttl[0].bullet = {3, 4};
    ttl[0].bttf = 12;
    ttl[0].score = 95;
    ttl[0].ncoin = 2;
    ttl[0].status |= ST_BULLET;
    ttl[0].event = EV_HIT | EV_BUMP_WALL | EV_RADAR;
    elapsed_time = 0x100000005UL; // only the low 32 bits are shown
    EXPECT_EQ(fresh([&] { return generate_json_for_turtle(); }).text,
              "[{\"tid\":0,\"time\":5,\"type\":1,\"name\":\"bob\",\"team\":2,"
              "\"x\":1.500000,\"y\":-2.250000,\"head\":90.000000,\"ttl\":7,"
              "\"bx\":3.000000,\"by\":4.000000,\"bttf\":12,\"score\":95,\"ncoin\":2,"
              "\"alive\":true,\"firing\":true,\"got_hit\":true,\"collide\":true,"
              "\"detected\":true,\"got_msg\":false}]");
}

TEST_F(Content, TurtleFeedListsEverySlotBelowTheMark) {
    put(0, "a", 0, 0, -370.0);
    put(2, "c\"q", 0, 0, 0);           // names go out unescaped
    ttl[2].status |= ST_DOUGHNUT;      // doughnut wins over stone
    ttl[2].status |= ST_STONE;
    ttl[2].event = EV_TEAM_MSG | EV_BUMP_TURTLE;
    std::string feed = fresh([&] { return generate_json_for_turtle(); }).text;
    EXPECT_EQ(count(feed, "\"tid\":"), 3);
    EXPECT_EQ(count(feed, "}, {"), 2);
    EXPECT_NE(feed.find("\"head\":-10.000000"), std::string::npos);
    EXPECT_NE(feed.find("{\"tid\":1,\"time\":0,\"type\":1,\"name\":\"\""), std::string::npos);
    EXPECT_NE(feed.find("\"name\":\"c\"q\""), std::string::npos);
    EXPECT_NE(feed.find("\"tid\":2,\"time\":0,\"type\":2,"), std::string::npos);
    EXPECT_NE(feed.find("\"alive\":false,\"firing\":false"), std::string::npos); // slot 1
    EXPECT_NE(feed.find("\"collide\":true,\"detected\":false,\"got_msg\":true}]"),
              std::string::npos);

    ttl[2].status = ST_ALIVE | ST_STONE;
    EXPECT_NE(fresh([&] { return generate_json_for_turtle(); }).text.find("\"tid\":2,\"time\":0,\"type\":3,"),
              std::string::npos);
}

// Browsers poll faster than the world changes, so the feed reuses its last
// text while nothing it shows has changed; every change shows at once.
TEST_F(Content, TurtleFeedShowsEveryChangeAtTheNextRequest) {
    put(0, "a", 0, 0, 0);
    put(1, "b", 5, 5, 0);
    const std::pair<const char*, std::function<void()>> changes[] = {
        {"x", [] { ttl[0].pos[0].x = 1; }},
        {"y", [] { ttl[1].pos[0].y = -1; }},
        {"heading", [] { ttl[0].heading = 45; }},
        {"name", [] { ttl[1].name[0] = 'z'; }},
        {"team", [] { ttl[0].team = 3; }},
        {"score", [] { ttl[1].score = 7; }},
        {"coins", [] { ttl[0].ncoin = 1; }},
        {"dying", [] { ttl[0].ttl = 9; }},
        {"bullet", [] { ttl[1].bullet.x = 3; }},
        {"blast", [] { ttl[1].bttf = 2; }},
        {"firing", [] { ttl[0].status |= ST_BULLET; }},
        {"event", [] { ttl[1].event |= EV_TEAM_MSG; }},
        {"tick", [] { elapsed_time++; }},
        {"new slot", [] { ntmax = 3; }},
    };
    std::string before = fresh([&] { return generate_json_for_turtle(); }).text;
    EXPECT_EQ(fresh([&] { return generate_json_for_turtle(); }).text, before) << "nothing changed";
    for (const auto& [what, change] : changes) {
        change();
        std::string after = fresh([&] { return generate_json_for_turtle(); }).text;
        EXPECT_NE(after, before) << what << " did not show";
        before = after;
    }
}

TEST_F(Content, ThirtySlotsWithLongNamesAndHugeNumbersFit) {
    std::string name(NAME_LEN, 'n');
    for (int t = 0; t < MAX_TURTLE; t++) put(t, name.c_str(), t, -t, t * 10.0);
    std::string feed = fresh([&] { return generate_json_for_turtle(); }).text;
    EXPECT_EQ(count(feed, "\"tid\":"), MAX_TURTLE);
    EXPECT_EQ(count(feed, "\"name\":\"" + name + "\""), MAX_TURTLE);
    EXPECT_EQ(feed.substr(feed.size() - 17), "\"got_msg\":false}]");

    // numbers hundreds of digits long are cut with their piece; the array
    // still closes and nothing runs past the buffer
    for (int t = 0; t < MAX_TURTLE; t++) {
        ttl[t].pos[0] = {1e300, -1e300};
        ttl[t].bullet = {-1e300, 1e300};
    }
    feed = fresh([&] { return generate_json_for_turtle(); }).text;
    EXPECT_EQ(feed.front(), '[');
    EXPECT_EQ(feed.back(), ']');
    EXPECT_EQ(count(feed, "\"alive\":true"), MAX_TURTLE);
    EXPECT_EQ(feed.size(), strlen(feed.c_str()));
}

TEST_F(Content, CameraFollowsASlotOrShowsTheOverview) {
    put(0, "a", 10, 20, 450.0);
    EXPECT_EQ(fresh([&] { return generate_json_for_camera(0); }).text,
              "{\"x0\":10.000000,\"y0\":20.000000,\"z0\":10.000000,"
              "\"x1\":10.000000,\"y1\":120.000000,\"z1\":10.000000}");
    EXPECT_EQ(fresh([&] { return generate_json_for_camera(-1); }).text, OVERVIEW);
    EXPECT_EQ(fresh([&] { return generate_json_for_camera(1); }).text, OVERVIEW); // not below ntmax
    EXPECT_EQ(fresh([&] { return generate_json_for_camera(MAX_TURTLE); }).text, OVERVIEW);
    ttl[0].status = 0; // a slot below the mark is followed even when free
    EXPECT_NE(fresh([&] { return generate_json_for_camera(0); }).text, OVERVIEW);

    ttl[0].pos[0] = {1e300, 1e300}; // cut at its piece, still closed
    std::string cam = fresh([&] { return generate_json_for_camera(0); }).text;
    EXPECT_EQ(cam.size(), 129u);
    EXPECT_EQ(cam.back(), '}');
}

// ------------------------------------------------------------ routing

// Every path a browser may ask for, against the body it must get: a feed
// by its last segment in any case, a camera by the first segment naming a
// turtle, a picture by number, a script at its full path only, and the page
// for anything else, however long or many-segmented.
TEST_F(Content, Routing) {
    put(0, "Bob", 1, 2, 0);
    put(3, "eve", 7, 8, 0);
    std::map<std::string, Body> want = {
        {"turtle", fresh([&] { return generate_json_for_turtle(); })}, {"wall", fresh([&] { return generate_json_for_wall(); })},
        {"coin", fresh([&] { return generate_json_for_coin(); })},     {"cam0", fresh([&] { return generate_json_for_camera(0); })},
        {"cam3", fresh([&] { return generate_json_for_camera(3); })},  {"page", route("")},
        {"viewer", route("mizzen/qmere/script/quillmere.js")},
        {"three", route("mizzen/qmere/script/three.min.js")}};
    want["overview"] = want["cam0"];
    want["overview"].text = OVERVIEW;
    for (int id = 0; id < 8; id++) want["png" + std::to_string(id)] = fresh([&] { return generate_png(id); });
    std::string seg32;
    for (int i = 0; i < 31; i++) seg32 += "a/";
    seg32 += "turtle";
    std::string forty;
    for (int i = 0; i < 39; i++) forty += "x/";
    const std::pair<std::string, const char*> cases[] = {
        {"turtle", "turtle"}, {"TURTLE", "turtle"}, {"turtle/", "turtle"}, {"a/b/turtle", "turtle"},
        {"//turtle//", "turtle"}, {"~0/turtle", "turtle"}, {"Wall", "wall"}, {"x/coin", "coin"},
        {"turtle?x=1", "page"}, {"turtles", "page"}, {"turtle.json", "page"}, {"index.html", "page"},
        {"favicon.ico", "page"}, {"img", "page"}, {"///", "page"}, {"camera/x", "page"},
        {"camera", "overview"}, {"~3/camera", "cam3"}, {"$3/camera", "cam3"},
        {"~3/x/y/CAMERA", "cam3"}, {"bob/camera", "cam0"}, {"BOB/camera", "cam0"},
        {"EvE/camera", "cam3"}, {"~2/camera", "overview"}, {"~30/camera", "overview"},
        {"~/camera", "overview"}, {"~-1/camera", "overview"}, {"~3x/camera", "overview"},
        {"~99999999999999999999999/camera", "overview"}, {"nobody/camera", "overview"},
        {"bo/camera", "overview"}, {"img/0", "png0"}, {"img/5", "png5"}, {"IMG/6", "png6"},
        {"a/img/3", "png3"}, {"img/x", "png0"}, {"img/2x", "png2"}, {"img/7", "png7"},
        {"img/9", "png7"}, {"img/-1", "png7"}, {"img/99999999999999999999", "png7"},
        {"img//4/", "png4"}, {"mizzen/qmere/script/three.min.js/", "page"},
        {"MIZZEN/qmere/script/three.min.js", "page"}, {"mizzen//qmere/script/quillmere.js", "page"},
        {"script/quillmere.js", "page"}, {"mizzen/qmere/script/other.js", "page"},
        {seg32, "turtle"} /* 32 segments: still a feed */, {"a/" + seg32, "page"} /* 33 */,
        {forty + "turtle", "page"}, {forty + "img/3", "page"}, {std::string(2000, '/'), "page"},
        {std::string(2000, '/') + "turtle", "page"} /* cut before the name */,
        {std::string(5000, 'a'), "page"}, {std::string(300, '\x01'), "page"},
    };
    for (const auto& [path, label] : cases) {
        Body got = route(path), w = want.at(label);
        EXPECT_EQ(got.mimetype, w.mimetype) << path.substr(0, 80) << " -> " << label;
        EXPECT_EQ(got.text, w.text) << path.substr(0, 80) << " -> " << label;
        if (w.malloced == 0) {
            EXPECT_EQ(got.data, w.data) << path.substr(0, 80) << ": the built-in bytes";
        }
    }
    EXPECT_EQ(want["page"].text.rfind("<html>", 0), 0u);
    EXPECT_NE(want["viewer"].text.find("webGLStart"), std::string::npos);
    EXPECT_TRUE(want["viewer"].mimetype == 5 && want["viewer"].malloced == 0);
    EXPECT_GT(want["three"].text.size(), 0u);
    EXPECT_EQ(fresh([&] { return generate_content(nullptr); }).mimetype, 1);
    EXPECT_EQ(fresh([&] { return generate_png(-5); }).data, want["png7"].data);
    EXPECT_EQ(fresh([&] { return generate_png(1000); }).data, want["png7"].data);

    ttl[3].status = 0; // gone: no longer designated
    EXPECT_EQ(route("~3/camera").text, OVERVIEW);
    EXPECT_EQ(route("eve/camera").text, OVERVIEW);
    // a turtle named "camera" turns the plain camera path into its camera
    put(5, "camera", 30, 40, 0);
    EXPECT_EQ(route("camera").text, fresh([&] { return generate_json_for_camera(5); }).text);
}

TEST(IsDecNumber, DigitsOnly) {
    EXPECT_EQ(is_dec_number(nullptr), 0);
    for (auto [text, yes] : {std::pair{"0", 1}, {"0123456789", 1}, {"", 0}, {"-1", 0}, {"+1", 0},
                             {" 1", 0}, {"1a", 0}})
        EXPECT_EQ(is_dec_number(text), yes) << "'" << text << "'";
}

// ---------------------------------------------------- page and scripts

TEST_F(Content, DefaultPageIsTemplatesAroundTheTwoScripts) {
    Body page = route("");
    EXPECT_EQ(page.mimetype, 1);
    EXPECT_EQ(page.malloced, 1);
    EXPECT_EQ(page.text, std::string(msg_html_template1) +
                             script_line("/mizzen/qmere/script/quillmere.js") +
                             script_line("/mizzen/qmere/script/three.min.js") +
                             std::string(msg_html_template2));
    EXPECT_EQ(page.text.rfind("<html><head><title>Quill Mere</title>", 0), 0u);
    EXPECT_NE(page.text.find("text/html; charset=utf-8"), std::string::npos);
    EXPECT_NE(page.text.find("onload=\"webGLStart();\""), std::string::npos);
    for (int i = 0; i < MAX_TURTLE; i++)
        EXPECT_EQ(count(page.text, "id=\"score" + std::to_string(i) + "\""), 1) << i;
    EXPECT_EQ(count(page.text, "id=\"result\""), 1);
    EXPECT_EQ(page.text.substr(page.text.size() - 17), "\r\n</body></html>\n");
}

TEST_F(Content, ScriptOptionReplacesTheDefaultsWithTenUrlsAtMost) {
    set_jscript_src("a.js;b.js");
    EXPECT_EQ(n_jscript, 2);
    std::string page = route("").text;
    EXPECT_NE(page.find(script_line("a.js") + script_line("b.js")), std::string::npos);
    EXPECT_EQ(page.find("/mizzen/"), std::string::npos);

    set_jscript_src(" \"x.js\" ;;  y.js\"z.js ");
    EXPECT_EQ(n_jscript, 3);
    EXPECT_EQ(std::string(msg_jscript_srcp[0]) + msg_jscript_srcp[1] + msg_jscript_srcp[2],
              "x.jsy.jsz.js");

    std::string opt;
    for (int i = 1; i <= 11; i++) opt.append("u").append(std::to_string(i)).append(".js;");
    set_jscript_src(opt.c_str());
    EXPECT_EQ(n_jscript, MAX_JSCRIPT);
    page = route("").text;
    EXPECT_NE(page.find(script_line("u10.js")), std::string::npos);
    EXPECT_EQ(page.find("u11.js"), std::string::npos);
    EXPECT_LT(page.find("u1.js"), page.find("u2.js"));
}

TEST_F(Content, EmptyScriptOptionKeepsTheList) {
    const std::string defaults = route("").text;
    for (const char* s : {"", " ", ";;;", "\" ; \"", static_cast<const char*>(nullptr)}) {
        set_jscript_src(s);
        EXPECT_EQ(n_jscript, 0);
        EXPECT_EQ(route("").text, defaults);
    }
    set_jscript_src("k.js");
    set_jscript_src(";");
    EXPECT_EQ(n_jscript, 1);
    EXPECT_STREQ(msg_jscript_srcp[0], "k.js");
}

TEST_F(Content, PageEndIsLeftOutWhenItDoesNotFit) {
    const size_t fixed = strlen(msg_html_template1) + script_line("").size() +
                         strlen(msg_html_template2);
    ASSERT_LT(fixed, 3265u);
    const size_t fits = 3265 - fixed; // a URL this long fills the page exactly
    ASSERT_LE(fits, 2048u);
    std::string url(fits, 'u');
    set_jscript_src(url.c_str());
    std::string page = route("").text;
    EXPECT_EQ(page.size(), 3265u);
    EXPECT_NE(page.find("</body></html>"), std::string::npos);

    url += 'u';
    set_jscript_src(url.c_str());
    page = route("").text;
    EXPECT_EQ(page, std::string(msg_html_template1) + script_line(url));

    // the option is cut at 2048 characters
    set_jscript_src(std::string(5000, 'v').c_str());
    EXPECT_EQ(strlen(msg_jscript_srcp[0]), 2048u);
    EXPECT_LE(route("").text.size(), 3265u);
}

// ---------------------------------------------------------------- images

uint32_t be32(const std::string& s, size_t at) {
    return (static_cast<uint32_t>(static_cast<unsigned char>(s[at])) << 24) |
           (static_cast<uint32_t>(static_cast<unsigned char>(s[at + 1])) << 16) |
           (static_cast<uint32_t>(static_cast<unsigned char>(s[at + 2])) << 8) |
           static_cast<uint32_t>(static_cast<unsigned char>(s[at + 3]));
}

TEST(Images, EightRgbaPngsWithBackgroundChunk) {
    const uint32_t side[8] = {64, 64, 64, 64, 64, 32, 32, 64};
    for (int id = 0; id < 8; id++) {
        Body b = fresh([&] { return generate_png(id); });
        const std::string& png = b.text;
        EXPECT_EQ(b.mimetype, 2);
        EXPECT_EQ(b.malloced, 0);
        ASSERT_GT(png.size(), 33u) << id;
        EXPECT_EQ(png.substr(0, 8), "\x89PNG\r\n\x1a\n") << id;
        EXPECT_EQ(png.substr(12, 4), "IHDR") << id;
        EXPECT_EQ(be32(png, 16), side[id]) << id;
        EXPECT_EQ(be32(png, 20), side[id]) << id;
        EXPECT_EQ(png[24], 8) << id; // bit depth
        EXPECT_EQ(png[25], 6) << id; // RGBA
        // walk the chunks: bKGD before IDAT, IEND last and exactly at the end
        size_t at = 8;
        bool bkgd = false, idat = false, iend = false;
        while (at + 12 <= png.size()) {
            uint32_t len = be32(png, at);
            std::string type = png.substr(at + 4, 4);
            if (type == "bKGD") bkgd = !idat;
            if (type == "IDAT") idat = true;
            at += 12 + len;
            if (type == "IEND") {
                iend = at == png.size();
                break;
            }
        }
        EXPECT_TRUE(bkgd) << id;
        EXPECT_TRUE(idat) << id;
        EXPECT_TRUE(iend) << id;
    }
}

} // namespace
