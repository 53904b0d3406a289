// test_framing.cpp -- the byte stream of a client: cutting commands at ';'
// and line feed, dropped bytes, split reads, the full-buffer rule, the
// per-frame budget of a pass, departures and marked clients, admission on a
// real listening socket, and random garbage.

#include <netinet/in.h>
#include <poll.h>

#include <cerrno>

#include <random>
#include <string>
#include <vector>

#include "client_fixture.h"

using Framing = ClientSlot;

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

// ---------------------------------------------------------------- cutting

TEST_F(Framing, SemicolonAndLineFeedEndCommands) {
    auto lines = feed("F 10;B 5\n");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "OK @ 0 0");
    EXPECT_EQ(lines[1], "OK @ 0 0");
    EXPECT_DOUBLE_EQ(ttl[tid].pos[0].x, 5.0);
    EXPECT_EQ(client_tab[0].len, 0);
    EXPECT_EQ(client_tab[0].buffer[0], '\0');
}

TEST_F(Framing, LeadingBlanksAndCarriageReturns) {
    auto lines = feed("  F 10\r\n");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_DOUBLE_EQ(ttl[tid].pos[0].x, 10.0);
}

TEST_F(Framing, EmptyCommandsSendNothing) {
    EXPECT_TRUE(feed(";;\n").empty());
    EXPECT_TRUE(feed("   ;\r\n\t;").empty());
    EXPECT_EQ(client_tab[0].len, 0) << "empty commands are consumed";
    EXPECT_EQ(client_tab[0].nup, 0);
}

TEST_F(Framing, TabDisappearsAndTheBytesAroundItJoin) {
    ASSERT_EQ(feed("F 1\t0\n").size(), 1u);
    EXPECT_DOUBLE_EQ(ttl[tid].pos[0].x, 10.0);
}

TEST_F(Framing, HighBytesAndControlBytesAreDropped) {
    ASSERT_EQ(feed(std::string("F \xff" "1\x80" "0\x01\x7f\n")).size(), 1u);
    // "F 10\x7f": DEL is kept, strtod stops before it
    EXPECT_DOUBLE_EQ(ttl[tid].pos[0].x, 10.0);
    ASSERT_EQ(feed(std::string("\x90\xe3\x81\x82Q P\n")).size(), 1u);
}

TEST_F(Framing, NulInsideAReadIsDroppedNotAnEnd) {
    ASSERT_EQ(feed(std::string("F 1\0" "0;", 6)).size(), 1u);
    EXPECT_DOUBLE_EQ(ttl[tid].pos[0].x, 10.0);
}

TEST_F(Framing, CommandSplitAcrossReadsRunsWhenTheTerminatorArrives) {
    EXPECT_TRUE(feed("F 1").empty());
    EXPECT_EQ(client_tab[0].len, 3);
    EXPECT_STREQ(client_tab[0].buffer, "F 1");
    EXPECT_DOUBLE_EQ(ttl[tid].pos[0].x, 0.0);
    EXPECT_TRUE(feed("0").empty());
    auto lines = feed("\nF");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_DOUBLE_EQ(ttl[tid].pos[0].x, 10.0);
    EXPECT_STREQ(client_tab[0].buffer, "F") << "the raw tail is kept";
}

TEST_F(Framing, RawTailKeepsItsBlanksAndControlBytes) {
    feed("Q P;  \r");
    EXPECT_EQ(client_tab[0].len, 3);
    EXPECT_STREQ(client_tab[0].buffer, "  \r");
    ASSERT_EQ(feed("F 2\n").size(), 1u);
    EXPECT_DOUBLE_EQ(ttl[tid].pos[0].x, 2.0);
}

TEST_F(Framing, EveryCommandOfOneReadRunsInOrderWithItsReply) {
    auto lines = feed("F 1;F 1;F 1;Q P;Z;.\n");
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[3], "3.000000 0.000000 OK @ 0 0");
    EXPECT_EQ(lines[4], "ERR @ 0 0");
    EXPECT_EQ(lines[5], "OK @ 0 0");
    EXPECT_EQ(client_tab[0].nup, 3);
}

// ------------------------------------------------------- the serving pass

TEST_F(Framing, PassServesOnlyClientsWithoutBudgetUntilTheFrameEnds) {
    client_tab[0].nup = 1;
    send(peer[0], "F 5\n", 4, MSG_NOSIGNAL);
    check_client_status();
    EXPECT_TRUE(drain().empty()) << "a spent budget keeps the input in the socket";
    EXPECT_DOUBLE_EQ(ttl[tid].pos[0].x, 0.0);
    rendering_started();
    rendering_is_done();
    check_client_status();
    ASSERT_EQ(drain().size(), 1u);
    EXPECT_DOUBLE_EQ(ttl[tid].pos[0].x, 5.0);
    EXPECT_EQ(client_tab[0].nup, 1);
}

TEST_F(Framing, QueriesLeaveTheClientReadableInTheNextPass) {
    send(peer[0], "Q P\n", 4, MSG_NOSIGNAL);
    check_client_status();
    ASSERT_EQ(drain().size(), 1u);
    send(peer[0], "Q P\n", 4, MSG_NOSIGNAL);
    check_client_status();
    EXPECT_EQ(drain().size(), 1u);
}

TEST_F(Framing, DepartedClientLeavesAZombieAndEndsThePass) {
    int t1 = place_turtle(100.0, 0.0, 0.0, 1);
    attach(1, t1);
    send(peer[1], "Q P\n", 4, MSG_NOSIGNAL);
    close(peer[0]);
    peer[0] = -1;
    testing::internal::CaptureStderr();
    check_client_status();
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(log, "closing connection from 127.0.0.1 4000\n");
    EXPECT_EQ(client_tab[0].socket, -1);
    EXPECT_EQ(client_tab[0].tid, -1);
    EXPECT_EQ(nclient, 1);
    EXPECT_TRUE(ttl[tid].status & ST_ZOMBIE);
    EXPECT_TRUE(ttl[tid].status & ST_ALIVE);
    EXPECT_TRUE(drain(1).empty()) << "later ready slots wait for the next pass";
    check_client_status();
    EXPECT_EQ(drain(1).size(), 1u);
}

TEST_F(Framing, MarkedClientIsDroppedWithoutZombie) {
    disconnect_client_for(tid + 1, 0);
    EXPECT_EQ(client_tab[0].to_be_disconnected, 0) << "another tid does not mark the client";
    disconnect_client_for(tid, -1);
    disconnect_client_for(tid, MAX_CLIENT);
    disconnect_client_for(tid, 0);
    EXPECT_EQ(client_tab[0].to_be_disconnected, 1);
    send(peer[0], "F 5\n", 4, MSG_NOSIGNAL);
    testing::internal::CaptureStderr();
    check_client_status();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "closing connection from 127.0.0.1 4000\n");
    EXPECT_EQ(client_tab[0].socket, -1);
    EXPECT_FALSE(ttl[tid].status & ST_ZOMBIE);
    EXPECT_DOUBLE_EQ(ttl[tid].pos[0].x, 0.0) << "its pending input is not run";
    EXPECT_TRUE(peer_sees_close(peer[0]));
    EXPECT_EQ(nclient, 0);
}

TEST_F(Framing, DisconnectOfFreeOrInvalidSlotDoesNothing) {
    testing::internal::CaptureStderr();
    disconnect_client(-1);
    disconnect_client(MAX_CLIENT);
    disconnect_client(5);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(nclient, 1);
}

// --------------------------------------------------------- full buffer rule

TEST_F(Framing, LongestUnterminatedTextStaysThenRuns) {
    std::string text(CLIENT_BUF - 2, 'A');
    send(peer[0], text.data(), text.size(), MSG_NOSIGNAL);
    check_client_status();
    EXPECT_EQ(client_tab[0].socket >= 0, true);
    EXPECT_EQ(client_tab[0].len, CLIENT_BUF - 2);
    send(peer[0], "\n", 1, MSG_NOSIGNAL);
    check_client_status();
    auto lines = drain();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "ERR @ 0 0");
    EXPECT_EQ(client_tab[0].len, 0);
}

TEST_F(Framing, UnterminatedTextFillingTheBufferClosesTheClient) {
    std::string text(300, 'F');
    send(peer[0], text.data(), text.size(), MSG_NOSIGNAL);
    check_client_status();
    ASSERT_GE(client_tab[0].socket, 0);
    send(peer[0], text.data(), text.size(), MSG_NOSIGNAL);
    testing::internal::CaptureStderr();
    check_client_status();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "closing connection from 127.0.0.1 4000: command too long\n");
    EXPECT_EQ(client_tab[0].socket, -1);
    EXPECT_EQ(client_tab[0].len, 0);
    EXPECT_TRUE(ttl[tid].status & ST_ZOMBIE);
    EXPECT_TRUE(peer_sees_close(peer[0]));
    EXPECT_EQ(nclient, 0);
}

TEST_F(Framing, BlanksAndControlBytesCountTowardsTheBuffer) {
    std::string text(CLIENT_BUF, '\r');
    send(peer[0], text.data(), text.size(), MSG_NOSIGNAL);
    testing::internal::CaptureStderr();
    check_client_status();
    EXPECT_NE(testing::internal::GetCapturedStderr().find("command too long"), std::string::npos);
    EXPECT_EQ(client_tab[0].socket, -1);
}

TEST_F(Framing, StreamOfEmptyCommandsNeverFillsTheBuffer) {
    std::string semis(4000, ';');
    send(peer[0], semis.data(), semis.size(), MSG_NOSIGNAL);
    for (int i = 0; i < 20; i++) check_client_status();
    EXPECT_GE(client_tab[0].socket, 0);
    EXPECT_EQ(client_tab[0].len, 0);
    EXPECT_TRUE(drain().empty());
}

TEST_F(Framing, ReceiveNeverReadsBeyondTheFreeSpace) {
    std::string text(2000, 'x');
    send(peer[0], text.data(), text.size(), MSG_NOSIGNAL);
    EXPECT_EQ(receive_client_packet(0), CLIENT_BUF - 1);
    EXPECT_EQ(client_tab[0].len, CLIENT_BUF - 1);
    EXPECT_EQ(client_tab[0].buffer[CLIENT_BUF - 1], '\0');
    EXPECT_LT(receive_client_packet(0), 0) << "a full buffer reads as a failed read";
    EXPECT_EQ(client_tab[0].len, CLIENT_BUF - 1);
}

// ------------------------------------------------------------ garbage

TEST_F(Framing, RandomGarbageNeverBreaksTheSlotOrTheTurtle) {
    std::mt19937 rng(2024);
    const char* pieces[] = {"F ", "B ", "J ", "G ", "T L ", "T ", "Q R ", "Q P", "S ", "N ", "U ",
                            "C ", "K ", "W ", "Y + ", "E ", "O ", "L ", "P ", "I ", "nan", "inf",
                            "1e308", "-1e308", "4142", "-", " ", ";", "\n", "\r", "\t", "9", ".5"};
    testing::internal::CaptureStderr();
    for (int round = 0; round < 3000; round++) {
        if (client_tab[0].socket < 0) {
            close(peer[0]);
            reset_world_for_test(round);
            tid = place_turtle(0.0, 0.0, 0.0, 0);
            attach(0, tid);
        }
        std::string chunk;
        int n = 1 + (int)(rng() % 12);
        for (int i = 0; i < n; i++) {
            if (rng() % 3 == 0)
                chunk += (char)(rng() % 256);
            else
                chunk += pieces[rng() % (sizeof(pieces) / sizeof(pieces[0]))];
        }
        send(peer[0], chunk.data(), chunk.size(), MSG_NOSIGNAL);
        check_client_status();
        rendering_started();
        rendering_is_done();
        for (const std::string& line : drain()) {
            ASSERT_TRUE(parse_reply(line).well_formed) << line;
        }
        if (client_tab[0].socket >= 0) {
            ASSERT_GE(client_tab[0].len, 0);
            ASSERT_LT(client_tab[0].len, CLIENT_BUF - 1);
            ASSERT_EQ(client_tab[0].buffer[client_tab[0].len], '\0');
        }
        ASSERT_TRUE(position_finite(tid)) << round;
    }
    testing::internal::GetCapturedStderr();
}

// ------------------------------------------------------------- admission

struct Admission : World {
    int listener = -1;
    int port = 0;
    std::vector<int> peers;

    void SetUp() override {
        World::SetUp();
        free_all_client_slots();
        listener = init_socket(0);
        ASSERT_GE(listener, 0);
        struct sockaddr_in a;
        socklen_t alen = sizeof(a);
        getsockname(listener, (struct sockaddr*)&a, &alen);
        port = ntohs(a.sin_port);
    }
    void TearDown() override {
        free_all_client_slots();
        for (int p : peers) close(p);
        if (listener >= 0) close(listener);
        accept_only_localhost = 1;
    }
    // A connected client socket, optionally bound to a source address first.
    int dial(const char* from = nullptr) {
        int s = socket(AF_INET, SOCK_STREAM, 0);
        if (from) {
            struct sockaddr_in b = {};
            b.sin_family = AF_INET;
            inet_pton(AF_INET, from, &b.sin_addr);
            EXPECT_EQ(bind(s, (struct sockaddr*)&b, sizeof(b)), 0);
        }
        struct sockaddr_in a = {};
        a.sin_family = AF_INET;
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
};

TEST_F(Admission, InitSocketEmptiesTheTable) {
    for (int cl = 0; cl < MAX_CLIENT; cl++) {
        EXPECT_EQ(client_tab[cl].socket, -1);
        EXPECT_EQ(client_tab[cl].tid, -1);
    }
    EXPECT_EQ(nclient, 0);
}

TEST_F(Admission, TenClientsGetTurtlesTheEleventhIsClosed) {
    testing::internal::CaptureStderr();
    for (int i = 0; i < MAX_CLIENT; i++) {
        int s = dial();
        EXPECT_GE(accept_connection(listener), 0);
        EXPECT_EQ(client_tab[i].tid, i);
        EXPECT_EQ(ttl[i].cid, i);
        EXPECT_EQ(ntohs(client_tab[i].addr.sin_port), local_port(s));
    }
    EXPECT_EQ(nclient, MAX_CLIENT);
    int s11 = dial();
    EXPECT_EQ(accept_connection(listener), -1);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("handling client from 127.0.0.1 " + std::to_string(local_port(peers[0])) + "\n"),
              std::string::npos);
    EXPECT_TRUE(log.size() > 40 && log.substr(log.size() - 40) == "accept_connection(): reaches MAX_CLIENT\n")
        << log;
    EXPECT_TRUE(peer_sees_close(s11));
    EXPECT_EQ(nclient, MAX_CLIENT);
}

TEST_F(Admission, ForeignPeerRejectedInPrivateModeAdmittedAfterToggle) {
    int s = dial("127.0.0.2");
    testing::internal::CaptureStderr();
    EXPECT_EQ(accept_connection(listener), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "accept_connection(): reject connection from 127.0.0.2 " + std::to_string(local_port(s)) + "\n");
    EXPECT_TRUE(peer_sees_close(s));
    EXPECT_EQ(toggle_localhost_mode(), 0);
    int s2 = dial("127.0.0.2");
    testing::internal::CaptureStderr();
    EXPECT_GE(accept_connection(listener), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "handling client from 127.0.0.2 " + std::to_string(local_port(s2)) + "\n");
    EXPECT_EQ(toggle_localhost_mode(), 1);
    EXPECT_EQ(nclient, 1);
}

TEST_F(Admission, NoTurtleForTheClientClosesItAfterTheHandlingLine) {
    for (int i = 0; i < MAX_TURTLE; i++) place_turtle(-240.0 + 16.0 * i, 0.0, 0.0, -1);
    int s = dial();
    testing::internal::CaptureStderr();
    EXPECT_EQ(accept_connection(listener), -1);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(log, "handling client from 127.0.0.1 " + std::to_string(local_port(s)) + "\n");
    EXPECT_TRUE(peer_sees_close(s));
    EXPECT_EQ(nclient, 0);
    EXPECT_EQ(client_tab[0].socket, -1);
}

TEST_F(Admission, FreedSlotIsTakenAgainWithANewTurtle) {
    testing::internal::CaptureStderr();
    dial();
    accept_connection(listener);
    dial();
    accept_connection(listener);
    int t0 = client_tab[0].tid;
    make_zombie(t0);
    disconnect_client(0);
    dial();
    EXPECT_GE(accept_connection(listener), 0);
    testing::internal::GetCapturedStderr();
    EXPECT_GE(client_tab[0].socket, 0);
    EXPECT_NE(client_tab[0].tid, t0) << "the zombie keeps its slot";
    EXPECT_TRUE(ttl[t0].status & ST_ZOMBIE);
    EXPECT_EQ(nclient, 2);
}

TEST_F(Admission, EchoSendsOneReadBack) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    send(fds[1], "hello", 5, 0);
    EXPECT_EQ(read_and_write_back(fds[0]), 5);
    char buf[8] = {};
    EXPECT_EQ(recv(fds[1], buf, sizeof(buf), 0), 5);
    EXPECT_STREQ(buf, "hello");
    close(fds[0]);
    close(fds[1]);
}
