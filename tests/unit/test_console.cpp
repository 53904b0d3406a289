// test_console.cpp -- the teacher's console (key, actions, refusals) and, over
// a socketpair, the request reader: key header, answer head, HEAD, close, ETag.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "canvas_feed.h"
#include "console.h"
#include "frame.h"
#include "httpd.h"
#include "tcpserver.h"
#include "world_fixture.h"

namespace {

const std::string KEY = "k3y-0f-the-teacher";

// The field as GET /control/state and a watching class see it.
struct Field {
    int battle, maze, priv, walls, names, scores, turtles, quit;
    bool operator==(const Field&) const = default;
};
Field field_now() {
    int n;
    qf_n_turtle(&n);
    return {battle_mode, maze_mode, private_mode.load(),  bounded_area_mode, disp_name,
            disp_score,  n,         quit_requested.load()};
}

struct Console : World {
    void SetUp() override {
        World::SetUp();
        TearDown(); // a private field, no clients, no quit asked
        auto path = std::filesystem::temp_directory_path() / ("qm-key-" + std::to_string(getpid()));
        std::ofstream(path) << "  " << KEY << " \n";
        char why[256] = "";
        std::string err = stderr_of(
            [&] { ASSERT_EQ(console_init(path.c_str(), why, sizeof(why)), 0) << why; });
        EXPECT_EQ(err, "control: http://localhost:2280/?key=" + KEY + "\n");
        std::filesystem::remove(path);
    }
    void TearDown() override {
        private_mode = 1;
        quit_requested = 0;
        nclient = 0;
    }
    console_answer ask(const char* method, const char* action, const char* key = KEY.c_str()) {
        console_answer a;
        console_request(method, action, key, &a);
        return a;
    }
};

// One exchange through handle_request: what went back, and its result.
struct Reply {
    int rc = 0;
    std::string status;                        // the status line
    std::map<std::string, std::string> header; // name -> value
    std::string body;                          // what followed the blank line
    std::string raw;
};

Reply serve(const std::string& request) {
    Reply r;
    int sv[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    EXPECT_EQ(send(sv[1], request.data(), request.size(), 0), (ssize_t)request.size());
    r.rc = handle_request(sv[0]);
    close(sv[0]);
    char buf[65536];
    for (ssize_t n; (n = recv(sv[1], buf, sizeof(buf), 0)) > 0;)
        r.raw.append(buf, (size_t)n);
    close(sv[1]);
    size_t end = r.raw.find("\r\n\r\n");
    if (end == std::string::npos) return r;
    r.body = r.raw.substr(end + 4);
    size_t at = 0;
    for (size_t eol; at < end; at = eol + 2) {
        eol = r.raw.find("\r\n", at);
        std::string line = r.raw.substr(at, eol - at);
        if (r.status.empty())
            r.status = line;
        else if (size_t colon = line.find(": "); colon != std::string::npos)
            r.header[line.substr(0, colon)] = line.substr(colon + 2);
    }
    return r;
}


} // namespace

TEST(ConsoleKey, AMadeKeyIs128RandomBitsAndABadKeyFileIsRefused) {
    char why[256] = "";
    std::string line = stderr_of([&] { ASSERT_EQ(console_init(nullptr, why, sizeof(why)), 0); });
    const std::string head = "control: http://localhost:2280/?key=";
    ASSERT_EQ(line.substr(0, head.size()), head);
    const std::string key = line.substr(head.size(), line.size() - head.size() - 1);
    EXPECT_EQ(key.size(), 32u) << key;
    EXPECT_EQ(key.find_first_not_of("0123456789abcdef"), std::string::npos) << key;
    EXPECT_NE(line, stderr_of([&] { console_init(nullptr, why, sizeof(why)); }));
    auto path = std::filesystem::temp_directory_path() / ("qm-badkey-" + std::to_string(getpid()));
    for (std::string text : {std::string(" \n"), std::string("two words\n"), std::string(129, 'k')}) {
        std::ofstream(path) << text;
        EXPECT_EQ(console_init(path.c_str(), why, sizeof(why)), -1) << text;
        EXPECT_NE(std::string(why).find(path.string()), std::string::npos) << why;
    }
    std::filesystem::remove(path);
}

TEST_F(Console, StateIsOneLineOfTheFieldsModesAndCounts) {
    elapsed_time = 812;
    for (int i = 0; i < 3; i++) place_turtle(-100.0 + 50 * i, 0, 0);
    scatter_stone(1); // a stone is not a turtle
    nclient = 2;
    battle_mode = 1;
    field_set_disp_name(1);
    console_answer a = ask("GET", "state");
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(a.body, "{\"battle\":true,\"maze\":false,\"private\":true,\"walls\":false,"
                      "\"names\":true,\"scores\":false,\"ticks\":812,\"turtles\":3,\"clients\":2}");
}

TEST_F(Console, EveryToggleFlipsWhatItsKeyFlipsAndBackAgain) {
    // battle, maze, private, walls, names, scores, turtles, quit after the action,
    // from a fresh private field with one turtle
    const struct { const char* action; Field after; } toggles[] = {
        {"battle", {1, 0, 1, 1, 1, 1, 1, 0}},  {"maze", {1, 1, 1, 1, 1, 1, 4, 0}},
        {"private", {0, 0, 0, 0, 0, 0, 1, 0}}, {"walls", {0, 0, 1, 1, 0, 0, 1, 0}},
        {"names", {0, 0, 1, 0, 1, 0, 1, 0}},   {"scores", {0, 0, 1, 0, 0, 1, 1, 0}},
    };
    for (const auto& t : toggles) {
        SCOPED_TRACE(t.action);
        reset_world_for_test();
        place_turtle(0, 0, 0);
        const Field before = field_now();
        console_answer a = ask("POST", t.action);
        EXPECT_EQ(a.status, 204);
        EXPECT_EQ(field_now(), t.after);
        ask("POST", t.action);
        if (std::string(t.action) != "maze") { // the maze's turtles are its four doughnuts
            EXPECT_EQ(field_now(), before);
        }
    }
}

TEST_F(Console, TheOtherActionsDoWhatTheirKeysDo) {
    turtle_field_is_cleared = 1;
    ttl[place_turtle(0, 0, 0)].status |= ST_ZOMBIE;
    for (const char* action : {"clear", "zombies", "stone", "capture"})
        EXPECT_EQ(ask("POST", action).status, 204) << action;
    EXPECT_EQ(turtle_field_is_cleared, 0) << "the next frame clears the canvas";
    EXPECT_EQ(ttl[0].status, ST_ALIVE | ST_STONE) << "the zombie went, a stone took its slot";
    static frame_snapshot s;
    world_update_frame(&s);
    EXPECT_NE(s.capture[0], '\0') << "the next frame writes a capture";
    place_turtle(50, 0, 0);
    EXPECT_EQ(ask("POST", "killall").status, 204);
    EXPECT_EQ(ntmax, 0);
}

TEST_F(Console, RefusalsChangeNothing) {
    std::string last = KEY, upper = KEY;
    last.back() = 'X';
    for (char& ch : upper) ch = (char)toupper(ch);
    const struct {
        const char* method; const char* action; std::string key; // "-": no key header
        int status; const char* allow;
    } cases[] = {
        {"POST", "battle", "-", 403, nullptr}, {"POST", "battle", "", 403, nullptr},
        {"POST", "battle", KEY.substr(0, KEY.size() - 1), 403, nullptr},
        {"POST", "battle", KEY + "x", 403, nullptr}, {"POST", "battle", last, 403, nullptr},
        {"POST", "quit", upper, 403, nullptr},       {"GET", "state", "wrong", 403, nullptr},
        {"PUT", "nothing", "-", 403, nullptr}, // the key is looked at first
        {"POST", "nothing", KEY, 404, nullptr},      {"POST", "Battle", KEY, 404, nullptr},
        {"POST", "battle/", KEY, 404, nullptr},      {"POST", "state", KEY, 405, "GET, HEAD"},
        {"GET", "battle", KEY, 405, "POST"},         {"HEAD", "quit", KEY, 405, "POST"},
    };
    place_turtle(0, 0, 0);
    const Field before = field_now();
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.action + " " + c.key);
        console_answer a = ask(c.method, c.action, c.key == "-" ? nullptr : c.key.c_str());
        EXPECT_EQ(a.status, c.status);
        EXPECT_STREQ(a.allow, c.allow);
        EXPECT_EQ(a.quit_after, 0);
        EXPECT_EQ(field_now(), before);
    }
}

// Header names in any case, values without their blanks; the last key line counts.
TEST_F(Console, TheKeyHeaderIsFoundInAnyCaseAndWithBlanks) {
    for (const std::string& line : {"x-quillmere-key: " + KEY, "X-QUILLMERE-KEY:\t" + KEY + " \t",
                                    "X-Quillmere-Key: wrong\r\nX-Quillmere-Key: " + KEY}) {
        Reply r = serve("GET /control/state HTTP/1.1\r\nHost: t\r\n" + line + "\r\n\r\n");
        EXPECT_EQ(r.status, "HTTP/1.1 200 OK") << line;
        EXPECT_GT(r.rc, 0) << "the connection stays open";
        EXPECT_EQ(r.header["Content-Length"], std::to_string(r.body.size()));
    }
    EXPECT_EQ(serve("GET /control/state?key=" + KEY + " HTTP/1.1\r\n\r\n").status,
              "HTTP/1.1 403 Forbidden");
}

TEST_F(Console, ActionsAndRefusalsOverTheWire) {
    const std::string key = "X-Quillmere-Key: " + KEY + "\r\n";
    Reply done = serve("POST /control/battle HTTP/1.1\r\n" + key + "\r\n");
    EXPECT_EQ(done.raw, "HTTP/1.1 204 No Content\r\nConnection: Keep-Alive\r\n"
                        "Server: Quillmere/0.1\r\n\r\n");
    EXPECT_EQ(battle_mode, 1);
    Reply quit = serve("POST /control/quit HTTP/1.1\r\n" + key + "\r\n");
    EXPECT_EQ(quit.status, "HTTP/1.1 204 No Content");
    EXPECT_EQ(quit_requested.load(), 1) << "the answer first, then the program is asked to end";
    // anywhere else a POST still ends the connection without a word
    for (const char* req : {"POST / HTTP/1.1\r\n", "POST /controls/battle HTTP/1.1\r\n"}) {
        Reply r = serve(req + key + "\r\n");
        EXPECT_EQ(r.raw, "") << req;
        EXPECT_LE(r.rc, 0) << req;
    }
}

// Any content: its length exactly, no body for HEAD, and the connection
// closed when the browser asks for it.
TEST_F(Console, ContentAnswersHeadAndClose) {
    Reply get = serve("GET /wall HTTP/1.1\r\n\r\n");
    EXPECT_EQ(get.status, "HTTP/1.1 200 OK");
    EXPECT_EQ(get.header["Content-Length"], std::to_string(get.body.size()));
    EXPECT_EQ(get.body.front(), '[');
    EXPECT_GT(get.rc, 0);
    Reply head = serve("HEAD /wall HTTP/1.1\r\n\r\n");
    EXPECT_EQ(head.status, "HTTP/1.1 200 OK");
    EXPECT_EQ(head.body, "");
    Reply close = serve("GET /wall HTTP/1.1\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(close.body, get.body);
    EXPECT_LE(close.rc, 0) << "the connection is closed after the answer";
}

// The canvas carries a quoted ETag; the current tag gets 304 and no body,
// any other 200 and the picture.
TEST_F(Console, TheCanvasAnswers304ToItsOwnTag) {
    std::vector<unsigned char> rgb((size_t)CANVAS_SIDE * CANVAS_SIDE * 3, 90);
    canvas_feed_drawn(7);
    canvas_feed_offer(rgb.data(), 7);
    std::string tag;
    for (int i = 0; i < 40 && tag.empty(); i++)
        if (auto c = canvas_feed_latest()) tag = c->etag;
    ASSERT_GT(tag.size(), 2u);
    EXPECT_TRUE(tag.front() == '"' && tag.back() == '"') << tag;
    EXPECT_EQ(tag.find('"', 1), tag.size() - 1) << tag;

    Reply full = serve("GET /canvas.png HTTP/1.1\r\n\r\n");
    EXPECT_EQ(full.status, "HTTP/1.1 200 OK");
    EXPECT_EQ(full.header["ETag"], tag);
    EXPECT_EQ(full.body.substr(0, 4), "\x89PNG");
    EXPECT_EQ(full.header["Content-Length"], std::to_string(full.body.size()));
    Reply same = serve("GET /canvas.png HTTP/1.1\r\nIf-None-Match: " + tag + "\r\n\r\n");
    EXPECT_EQ(same.status, "HTTP/1.1 304 Not Modified");
    EXPECT_EQ(same.header["ETag"], tag);
    EXPECT_EQ(same.body, "");
    Reply other = serve("GET /canvas.png HTTP/1.1\r\nIf-None-Match: " +
                        tag.substr(1, tag.size() - 2) + "\r\n\r\n"); // unquoted
    EXPECT_EQ(other.status, "HTTP/1.1 200 OK");
    EXPECT_EQ(other.body, full.body);
}
