// test_console.cpp -- the teacher's console and the request reader's paths
// around it: the key, every action and its effect, refusals that change
// nothing, and over a socketpair through handle_request the key header,
// the canvas's ETag and 304, methods the viewer server refuses, and a
// console request that fills the whole read.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
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
[[maybe_unused]] std::ostream& operator<<(std::ostream& o, const Field& f) {
    return o << f.battle << f.maze << f.priv << f.walls << f.names << f.scores << " turtles "
             << f.turtles << " quit " << f.quit;
}
Field field_now() {
    int n;
    qf_n_turtle(&n);
    return {battle_mode, maze_mode, private_mode.load(),  bounded_area_mode, disp_name,
            disp_score,  n,         quit_requested.load()};
}

struct Console : World {
    void SetUp() override {
        World::SetUp();
        private_mode = 1;
        quit_requested = 0;
        nclient = 0;
        auto dir = std::filesystem::temp_directory_path() / ("qm-key-" + std::to_string(getpid()));
        std::filesystem::create_directories(dir);
        std::ofstream(dir / "key") << "  " << KEY << " \n";
        char why[256] = "";
        std::string err = stderr_of(
            [&] { ASSERT_EQ(console_init((dir / "key").c_str(), why, sizeof(why)), 0) << why; });
        EXPECT_EQ(err, "control: http://localhost:2280/?key=" + KEY + "\n");
        std::filesystem::remove_all(dir);
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

std::string state_request(const std::string& key_line) {
    return "GET /control/state HTTP/1.1\r\nHost: t\r\n" + key_line + "\r\n\r\n";
}

} // namespace

// ------------------------------------------------------------- the key

TEST(ConsoleKey, EqualOnlyForTheSameBytesAndLength) {
    const struct {
        const char *a, *b;
        size_t alen, blen;
        int equal;
    } cases[] = {
        {"secret", "secret", 6, 6, 1},
        {"secret", "secreT", 6, 6, 0},
        {"secret", "Secret", 6, 6, 0},
        {"secret", "secre", 6, 5, 0},
        {"secre", "secret", 5, 6, 0},
        {"", "", 0, 0, 1},
        {"", "s", 0, 1, 0},
        {"ab\0", "ab", 3, 2, 0}, // a NUL is not an end
    };
    for (const auto& c : cases)
        EXPECT_EQ(console_key_equal(c.a, c.alen, c.b, c.blen), c.equal) << c.a << " / " << c.b;
}

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
    for (std::string text :
         {std::string(""), std::string(" \n"), std::string("two words\n"), std::string(129, 'k')}) {
        std::ofstream(path) << text;
        EXPECT_EQ(console_init(path.c_str(), why, sizeof(why)), -1) << text;
        EXPECT_NE(std::string(why).find(path.string()), std::string::npos) << why;
    }
    std::filesystem::remove(path);
    EXPECT_EQ(console_init("/nonexistent/qm-key", why, sizeof(why)), -1);
}

// ----------------------------------------------------------- the actions

TEST_F(Console, StateIsOneLineOfTheFieldsModesAndCounts) {
    elapsed_time = 812;
    for (int i = 0; i < 3; i++)
        place_turtle(-100.0 + 50 * i, 0, 0);
    scatter_stone(1); // a stone is not a turtle
    nclient = 2;
    field_set_disp_name(1);
    console_answer a = ask("GET", "state");
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(a.body, "{\"battle\":false,\"maze\":false,\"private\":true,\"walls\":false,"
                      "\"names\":true,\"scores\":false,\"ticks\":812,\"turtles\":3,\"clients\":2}");
    EXPECT_EQ(ask("HEAD", "state").status, 200);
}

TEST_F(Console, EveryToggleFlipsWhatItsKeyFlipsAndBackAgain) {
    // battle, maze, private, walls, names, scores, turtles, quit
    const struct {
        const char* action;
        Field after; // from a fresh private field with one turtle
    } toggles[] = {
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
        EXPECT_EQ(a.body, "");
        EXPECT_EQ(field_now(), t.after);
        ask("POST", t.action);
        if (std::string(t.action) != "maze") { // the maze's turtles are its four doughnuts
            EXPECT_EQ(field_now(), before);
        }
    }
}

TEST_F(Console, TheOtherActionsDoWhatTheirKeysDo) {
    const struct {
        const char* action;
        std::function<void()> arrange;
        std::function<void()> check;
    } cases[] = {
        {"clear", [] { turtle_field_is_cleared = 1; },
         [] { EXPECT_EQ(turtle_field_is_cleared, 0) << "the next frame clears the canvas"; }},
        {"zombies", [] { ttl[place_turtle(0, 0, 0)].status |= ST_ZOMBIE; },
         [] { EXPECT_EQ(field_now().turtles, 0); }},
        {"stone", [] {},
         [] {
             int stones = 0;
             for (int t = 0; t < ntmax; t++)
                 stones += (ttl[t].status & ST_STONE) != 0;
             EXPECT_EQ(stones, 1);
         }},
        {"killall", [] { place_turtle(0, 0, 0), place_turtle(50, 0, 0); },
         [] { EXPECT_EQ(field_now().turtles, 0); }},
        {"capture", [] {},
         [] {
             static frame_snapshot s;
             world_update_frame(&s);
             EXPECT_NE(s.capture[0], '\0') << "the next frame writes a capture";
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.action);
        reset_world_for_test();
        c.arrange();
        EXPECT_EQ(ask("POST", c.action).status, 204);
        c.check();
    }
    // quit ends the program only once the answer has gone
    console_answer a = ask("POST", "quit");
    EXPECT_EQ(a.status, 204);
    EXPECT_EQ(a.quit_after, 1);
    EXPECT_EQ(quit_requested.load(), 0);
}

TEST_F(Console, RefusalsChangeNothing) {
    const std::string longer = KEY + "x", shorter = KEY.substr(0, KEY.size() - 1);
    std::string upper = KEY;
    for (char& ch : upper)
        ch = (char)toupper(ch);
    const struct {
        const char* method;
        const char* action;
        const char* key; // null: no key header
        int status;
        const char* allow;
    } cases[] = {
        {"POST", "battle", nullptr, 403, nullptr},
        {"POST", "battle", "", 403, nullptr},
        {"POST", "battle", shorter.c_str(), 403, nullptr},
        {"POST", "battle", longer.c_str(), 403, nullptr},
        {"POST", "quit", upper.c_str(), 403, nullptr},
        {"GET", "state", "wrong", 403, nullptr},
        {"PUT", "nothing", nullptr, 403, nullptr}, // the key is looked at first
        {"POST", "nothing", KEY.c_str(), 404, nullptr},
        {"POST", "", KEY.c_str(), 404, nullptr},
        {"POST", "Battle", KEY.c_str(), 404, nullptr},
        {"POST", "battle/", KEY.c_str(), 404, nullptr},
        {"POST", "state", KEY.c_str(), 405, "GET, HEAD"},
        {"DELETE", "state", KEY.c_str(), 405, "GET, HEAD"},
        {"GET", "battle", KEY.c_str(), 405, "POST"},
        {"HEAD", "quit", KEY.c_str(), 405, "POST"},
        {"PUT", "maze", KEY.c_str(), 405, "POST"},
        {"OPTIONS", "killall", KEY.c_str(), 405, "POST"},
    };
    place_turtle(0, 0, 0);
    const Field before = field_now();
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.action + " " + (c.key ? c.key : "(none)"));
        console_answer a = ask(c.method, c.action, c.key);
        EXPECT_EQ(a.status, c.status);
        EXPECT_STREQ(a.allow, c.allow);
        EXPECT_EQ(a.quit_after, 0);
        EXPECT_EQ(field_now(), before);
    }
}

// ------------------------------------------------ through the request reader

TEST_F(Console, TheKeyHeaderIsFoundInAnyCaseAndWithBlanks) {
    const struct {
        std::string line;
        const char* status;
    } cases[] = {
        {"X-Quillmere-Key: " + KEY, "HTTP/1.1 200 OK"},
        {"x-quillmere-key: " + KEY, "HTTP/1.1 200 OK"},
        {"X-QUILLMERE-KEY:" + KEY, "HTTP/1.1 200 OK"},
        {"X-Quillmere-Key: \t" + KEY + " \t", "HTTP/1.1 200 OK"},
        {"X-Quillmere-Key: wrong\r\nX-Quillmere-Key: " + KEY, "HTTP/1.1 200 OK"}, // the last one
        {"X-Quillmere-Key: " + KEY + "\r\nX-Quillmere-Key: wrong", "HTTP/1.1 403 Forbidden"},
        {"X-Quillmere-Key-2: " + KEY, "HTTP/1.1 403 Forbidden"},
        {"X-Quillmere-Key " + KEY, "HTTP/1.1 403 Forbidden"},
        {"Key: " + KEY, "HTTP/1.1 403 Forbidden"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        Reply r = serve(state_request(c.line));
        EXPECT_EQ(r.status, c.status);
        EXPECT_GT(r.rc, 0) << "the connection stays open";
        EXPECT_EQ(r.header.count("Access-Control-Allow-Origin"), 0u);
    }
    // the state in its one line; GET /control/state?key=... is no way in
    Reply r = serve(state_request("X-Quillmere-Key: " + KEY));
    EXPECT_EQ(r.header["Content-Type"], "application/json");
    EXPECT_EQ(r.header["Content-Length"], std::to_string(r.body.size()));
    EXPECT_EQ(r.body.find('\n'), std::string::npos);
    EXPECT_EQ(serve("GET /control/state?key=" + KEY + " HTTP/1.1\r\n\r\n").status,
              "HTTP/1.1 403 Forbidden");
}

TEST_F(Console, ActionsAndRefusalsOverTheWire) {
    const std::string key = "X-Quillmere-Key: " + KEY + "\r\n";
    Reply done = serve("POST /control/battle HTTP/1.1\r\n" + key + "\r\n");
    EXPECT_EQ(done.raw, "HTTP/1.1 204 No Content\r\nConnection: Keep-Alive\r\n"
                        "Server: Quillmere/0.1\r\n\r\n");
    EXPECT_EQ(battle_mode, 1);

    Reply put = serve("PUT /control/battle HTTP/1.1\r\n" + key + "\r\n");
    EXPECT_EQ(put.status, "HTTP/1.1 405 Method Not Allowed");
    EXPECT_EQ(put.header["Allow"], "POST");
    EXPECT_EQ(battle_mode, 1);

    // quit: the answer first, then the program is asked to end
    Reply quit = serve("POST /control/quit HTTP/1.1\r\n" + key + "\r\n");
    EXPECT_EQ(quit.status, "HTTP/1.1 204 No Content");
    EXPECT_EQ(quit_requested.load(), 1);

    // anywhere else a POST still ends the connection without a word
    for (const char* req : {"POST / HTTP/1.1\r\n", "POST /turtle HTTP/1.1\r\n",
                            "POST /controls/battle HTTP/1.1\r\n", "POST control/battle\r\n"}) {
        Reply r = serve(req + key + "\r\n");
        EXPECT_EQ(r.raw, "") << req;
        EXPECT_LE(r.rc, 0) << req;
    }
}

TEST_F(Console, AKeyInsideTheReadCountsAndOneCutByItDoesNot) {
    const std::string head = "GET /control/state HTTP/1.1\r\nX-Pad: ";
    const std::string tail = "\r\nX-Quillmere-Key: " + KEY + "\r\n\r\n";
    const std::string whole =
        head + std::string(HTTP_REQ_MAX - head.size() - tail.size(), 'p') + tail;
    ASSERT_EQ(whole.size(), 2048u);
    EXPECT_EQ(serve(whole).status, "HTTP/1.1 200 OK");
    // five more pad bytes: the read ends before the key's last character
    const std::string over =
        head + std::string(HTTP_REQ_MAX - head.size() - tail.size() + 5, 'p') + tail;
    EXPECT_EQ(serve(over).status, "HTTP/1.1 403 Forbidden");
}

TEST_F(Console, TheCanvasAnswers304ToItsOwnTag) {
    std::vector<unsigned char> rgb((size_t)CANVAS_SIDE * CANVAS_SIDE * 3, 90);
    canvas_feed_drawn(7);
    canvas_feed_offer(rgb.data(), 7);
    std::string tag;
    for (int i = 0; i < 40 && tag.empty(); i++)
        if (auto c = canvas_feed_latest()) tag = c->etag;
    ASSERT_FALSE(tag.empty());

    Reply full = serve("GET /canvas.png HTTP/1.1\r\n\r\n");
    EXPECT_EQ(full.status, "HTTP/1.1 200 OK");
    EXPECT_EQ(full.header["ETag"], tag);
    EXPECT_EQ(full.header["Content-Type"], "image/png");
    EXPECT_EQ(full.body.substr(0, 4), "\x89PNG");
    EXPECT_EQ(full.header["Content-Length"], std::to_string(full.body.size()));

    const struct {
        std::string line;
        const char* status;
    } cases[] = {
        {"If-None-Match: " + tag, "HTTP/1.1 304 Not Modified"},
        {"if-none-match:" + tag, "HTTP/1.1 304 Not Modified"},
        {"If-None-Match: \"00000000-7\"", "HTTP/1.1 200 OK"},
        {"If-None-Match: " + tag.substr(1, tag.size() - 2), "HTTP/1.1 200 OK"}, // unquoted
        {"If-None-Match: ", "HTTP/1.1 200 OK"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        Reply r = serve("GET /canvas.png HTTP/1.1\r\n" + c.line + "\r\n\r\n");
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.header["ETag"], tag);
        EXPECT_GT(r.rc, 0);
        if (r.status == "HTTP/1.1 304 Not Modified") {
            EXPECT_EQ(r.body, "");
            EXPECT_EQ(r.header.count("Content-Length"), 0u);
        } else {
            EXPECT_EQ(r.body, full.body);
        }
    }
    // a tag on another path changes nothing there
    EXPECT_EQ(serve("GET /wall HTTP/1.1\r\nIf-None-Match: " + tag + "\r\n\r\n").status,
              "HTTP/1.1 200 OK");
}
