// test_framing.cpp -- a client's byte stream (cuts, dropped bytes, split reads,
// the full buffer, the budget, departures) and admission on a real socket.

#include <netinet/in.h>
#include <poll.h>

#include <cerrno>

#include <string>
#include <vector>

#include "client_fixture.h"

using Framing = ClientSlot;
using Lines = std::vector<std::string>;

// True when the peer end sees the connection closed (EOF or reset).
static bool peer_sees_close(int fd) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 1000) <= 0) return false;
    char buf[1024];
    for (;;) {
        ssize_t n = recv(fd, buf, sizeof(buf), MSG_DONTWAIT);
        if (n == 0) return true;
        if (n < 0) return errno != EAGAIN && errno != EWOULDBLOCK;
    }
}

static const std::string CLOSING = "closing connection from 127.0.0.1 4000";


// Each case is one read from a turtle at the origin; every command it holds
// is answered in order and nothing is left in the buffer.
TEST_F(Framing, CommandsAreCutAtSemicolonAndLineFeed) {
    const std::string ok = "OK @ 0 0";
    const struct {
        const char* what; std::string bytes; Lines replies; double x; int nup;
    } cases[] = {
        {"';' and line feed end commands", "F 10;B 5\n", {ok, ok}, 5, 2},
        {"leading blanks, carriage return", "  F 10\r\n", {ok}, 10, 1},
        {"empty commands send nothing", ";;\n", {}, 0, 0},
        {"a tab disappears, the bytes around it join", "F 1\t0\n", {ok}, 10, 1},
        // "F 10\x7f": DEL is kept, strtod stops before it
        {"high and control bytes are dropped", "F \xff" "1\x80" "0\x01\x7f\n", {ok}, 10, 1},
        {"NUL inside a read is dropped, not an end", std::string("F 1\0" "0;", 6), {ok}, 10, 1},
        {"every command of one read, in order",
         "F 1;F 1;F 1;Q P;Z;.\n",
         {ok, ok, ok, "3.000000 0.000000 OK @ 0 0", "ERR @ 0 0", ok}, 3, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ttl[tid].pos[0] = {0, 0};
        client_tab[0].nup = 0;
        EXPECT_EQ(feed(c.bytes), c.replies);
        EXPECT_DOUBLE_EQ(ttl[tid].pos[0].x, c.x);
        EXPECT_EQ(client_tab[0].nup, c.nup);
        EXPECT_EQ(client_tab[0].len, 0);
        EXPECT_EQ(client_tab[0].buffer[0], '\0');
    }
}

TEST_F(Framing, CommandSplitAcrossReadsRunsWhenTheTerminatorArrives) {
    EXPECT_TRUE(feed("F 1").empty());
    EXPECT_TRUE(feed("0").empty());
    EXPECT_DOUBLE_EQ(ttl[tid].pos[0].x, 0.0);
    EXPECT_EQ(feed("\nF").size(), 1u);
    EXPECT_DOUBLE_EQ(ttl[tid].pos[0].x, 10.0);
    EXPECT_STREQ(client_tab[0].buffer, "F") << "the raw tail is kept";
    // the raw tail keeps its blanks and control bytes
    feed(";Q P;  \r");
    EXPECT_EQ(client_tab[0].len, 3);
    EXPECT_STREQ(client_tab[0].buffer, "  \r");
    ASSERT_EQ(feed("F 2\n").size(), 1u);
    EXPECT_DOUBLE_EQ(ttl[tid].pos[0].x, 12.0);
}


TEST_F(Framing, PassServesOnlyClientsWithoutBudgetUntilTheFrameEnds) {
    client_tab[0].nup = 1;
    push("F 5\n");
    check_client_status();
    EXPECT_TRUE(drain().empty()) << "a spent budget keeps the input in the socket";
    EXPECT_DOUBLE_EQ(ttl[tid].pos[0].x, 0.0);
    end_of_frame();
    check_client_status();
    ASSERT_EQ(drain().size(), 1u);
    EXPECT_DOUBLE_EQ(ttl[tid].pos[0].x, 5.0);
    EXPECT_EQ(client_tab[0].nup, 1);
}

TEST_F(Framing, DepartedClientLeavesAZombieAndEndsThePass) {
    int t1 = place_turtle(100.0, 0.0, 0.0, 1);
    attach(1, t1);
    push("Q P\n", 1);
    close(peer[0]);
    peer[0] = -1;
    EXPECT_EQ(stderr_of([] { check_client_status(); }), CLOSING + "\n");
    EXPECT_EQ(client_tab[0].socket, -1);
    EXPECT_EQ(client_tab[0].tid, -1);
    EXPECT_EQ(nclient, 1);
    EXPECT_EQ(ttl[tid].status & (ST_ZOMBIE | ST_ALIVE), ST_ZOMBIE | ST_ALIVE);
    EXPECT_TRUE(drain(1).empty()) << "later ready slots wait for the next pass";
    check_client_status();
    EXPECT_EQ(drain(1).size(), 1u);
}


// The buffer holds the longest unterminated text and then runs it; a read
// never goes beyond the free space; a stream of empty commands never fills it.
TEST_F(Framing, LongestUnterminatedTextStaysThenRuns) {
    push(std::string(1012, 'A'));
    EXPECT_EQ(receive_client_packet(0), 511);
    EXPECT_EQ(client_tab[0].buffer[511], '\0');
    EXPECT_LT(receive_client_packet(0), 0) << "a full buffer reads as a failed read";
    free_all_client_slots();
    attach(0, tid);
    push(std::string(510, 'A')); // the longest text still waiting for its end
    check_client_status();
    EXPECT_EQ(client_tab[0].len, 510);
    push("\n" + std::string(4000, ';'));
    for (int i = 0; i < 20; i++) check_client_status();
    EXPECT_EQ(drain(), Lines{"ERR @ 0 0"});
    EXPECT_GE(client_tab[0].socket, 0);
    EXPECT_EQ(client_tab[0].len, 0);
}

// Text without a terminator that fills the buffer over two reads closes
// the client; blanks count like letters.
TEST_F(Framing, UnterminatedTextFillingTheBufferClosesTheClient) {
    push(std::string(300, 'F'));
    check_client_status();
    ASSERT_GE(client_tab[0].socket, 0);
    push(std::string(300, '\r'));
    EXPECT_EQ(stderr_of([] { check_client_status(); }), CLOSING + ": command too long\n");
    EXPECT_EQ(client_tab[0].socket, -1);
    EXPECT_EQ(client_tab[0].len, 0);
    EXPECT_TRUE(ttl[tid].status & ST_ZOMBIE);
    EXPECT_TRUE(peer_sees_close(peer[0]));
    EXPECT_EQ(nclient, 0);
}



struct Admission : World {
    int listener = -1;
    int port = 0;
    std::vector<int> peers;

    void SetUp() override {
        World::SetUp();
        free_all_client_slots();
        listener = init_socket(0);
        ASSERT_GE(listener, 0);
        port = local_port(listener);
    }
    void TearDown() override {
        free_all_client_slots();
        for (int p : peers) close(p);
        if (listener >= 0) close(listener);
        private_mode = 1;
    }
    // A connected client socket, optionally bound to a source address first.
    int dial(const char* from = nullptr) {
        int s = socket(AF_INET, SOCK_STREAM, 0);
        struct sockaddr_in a = {};
        a.sin_family = AF_INET;
        if (from) {
            inet_pton(AF_INET, from, &a.sin_addr);
            EXPECT_EQ(bind(s, (struct sockaddr*)&a, sizeof(a)), 0);
        }
        a.sin_port = htons((unsigned short)port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(connect(s, (struct sockaddr*)&a, sizeof(a)), 0);
        peers.push_back(s);
        return s;
    }
    static int local_port(int s) {
        struct sockaddr_in a;
        socklen_t alen = sizeof(a);
        getsockname(s, (struct sockaddr*)&a, &alen);
        return ntohs(a.sin_port);
    }
    static std::string handling(const char* addr, int s) {
        return "handling client from " + std::string(addr) + " " +
               std::to_string(local_port(s)) + "\n";
    }
};

// Ten clients get turtles, the eleventh is closed; a freed client slot is
// taken again with a new turtle, the zombie keeping its own.
TEST_F(Admission, TenClientsGetTurtlesTheEleventhIsClosed) {
    testing::internal::CaptureStderr();
    for (int i = 0; i < 10; i++) {
        int s = dial();
        EXPECT_GE(accept_connection(listener), 0);
        EXPECT_EQ(client_tab[i].tid, i);
        EXPECT_EQ(ttl[i].cid, i);
        EXPECT_EQ(ntohs(client_tab[i].addr.sin_port), local_port(s));
    }
    EXPECT_EQ(nclient, 10);
    int s11 = dial();
    EXPECT_EQ(accept_connection(listener), -1);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(log.rfind(handling("127.0.0.1", peers[0]), 0), 0u) << log;
    const std::string full = "accept_connection(): reaches MAX_CLIENT\n";
    EXPECT_EQ(log.substr(log.size() - full.size()), full) << log;
    EXPECT_TRUE(peer_sees_close(s11));
    EXPECT_EQ(nclient, 10);
    make_zombie(0);
    EXPECT_EQ(stderr_of([] { disconnect_client(0); }).rfind("closing connection from 127.0.0.1 ", 0), 0u);
    dial();
    EXPECT_EQ(stderr_of([&] { EXPECT_GE(accept_connection(listener), 0); }).rfind("handling", 0), 0u);
    EXPECT_EQ(client_tab[0].tid, 10) << "the zombie keeps its slot";
    EXPECT_TRUE(ttl[0].status & ST_ZOMBIE);
}

TEST_F(Admission, ForeignPeerRejectedInPrivateModeAdmittedAfterToggle) {
    int s = dial("127.0.0.2");
    EXPECT_EQ(stderr_of([&] { EXPECT_EQ(accept_connection(listener), -1); }),
              "accept_connection(): reject connection from 127.0.0.2 " +
                  std::to_string(local_port(s)) + "\n");
    EXPECT_TRUE(peer_sees_close(s));
    EXPECT_EQ(toggle_localhost_mode(), 0);
    int s2 = dial("127.0.0.2");
    EXPECT_EQ(stderr_of([&] { EXPECT_GE(accept_connection(listener), 0); }), handling("127.0.0.2", s2));
    EXPECT_EQ(toggle_localhost_mode(), 1);
    EXPECT_EQ(nclient, 1);
}

TEST_F(Admission, NoTurtleForTheClientClosesItAfterTheHandlingLine) {
    for (int i = 0; i < MAX_TURTLE; i++) place_turtle(-240.0 + 16.0 * i, 0.0, 0.0, -1);
    int s = dial();
    EXPECT_EQ(stderr_of([&] { EXPECT_EQ(accept_connection(listener), -1); }), handling("127.0.0.1", s));
    EXPECT_TRUE(peer_sees_close(s));
    EXPECT_EQ(nclient, 0);
    EXPECT_EQ(client_tab[0].socket, -1);
}

// A client that sends commands but never reads its replies must not stop
// the server (which answers under the frame lock): once its replies no
// longer fit, it is closed and leaves a zombie, and the others are served.
TEST_F(Framing, ClientThatNeverReadsItsRepliesIsClosedNotWaitedFor) {
    int small = 4096;
    ASSERT_EQ(setsockopt(client_tab[0].socket, SOL_SOCKET, SO_SNDBUF, &small, sizeof(small)), 0);
    ASSERT_EQ(setsockopt(peer[0], SOL_SOCKET, SO_RCVBUF, &small, sizeof(small)), 0);
    int other = place_turtle(100.0, 100.0, 0.0, 1);
    attach(1, other);
    std::string queries;
    while (queries.size() + 4 < 511) queries += "Q T;";
    std::string log;
    for (int round = 0; round < 2000 && client_tab[0].socket >= 0; round++) {
        push(queries + "\n");
        log += stderr_of([] { check_client_status(); });
    }
    EXPECT_EQ(client_tab[0].socket, -1) << "the server went on answering into a full socket";
    EXPECT_NE(log.find(CLOSING + ": replies not read\n"), std::string::npos) << log;
    EXPECT_TRUE(ttl[tid].status & ST_ZOMBIE);
    push("Q T\n", 1);
    check_client_status();
    EXPECT_EQ(drain(1).size(), 1u) << "the other client is still served";
}
