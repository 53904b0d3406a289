// test_wakeup.cpp -- how the command thread waits: one poll on the listener,
// the clients with budget left and the wake-up of the frame's end. A client
// whose budget is spent is left out until the frame ends, and then the
// waiting thread is woken for it; a mark, a readable client and a new
// connection wake it too. Nothing here measures time: a missed wake-up shows
// as a wait that runs to its (long) limit and returns 0.

#include <netinet/in.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "client_fixture.h"

namespace {

constexpr int LONG_WAIT_MS = 20000; // far beyond any wake-up; only a failure waits it out
constexpr int PEER_WAIT_MS = 5000;

// Lets a thread that was just started reach its poll; the assertions hold
// whether or not it got there, only which path the wake-up took differs.
void settle() { std::this_thread::sleep_for(std::chrono::milliseconds(50)); }

void one_frame() {
    int wake;
    {
        frame_guard g;
        elapsed_time++;
        wake = reset_budgets();
    }
    if (wake) wake_server_thread();
}

struct Wakeup : ClientSlot {
    void SetUp() override {
        ClientSlot::SetUp();
        server_wait(-1, 0); // takes any wake-up an earlier test left behind
    }

    // Waits for one reply line from client cl's end; "" when none came.
    std::string next_reply(int cl = 0) {
        std::string line;
        for (;;) {
            struct pollfd p = {peer[cl], POLLIN, 0};
            if (poll(&p, 1, PEER_WAIT_MS) <= 0) return "";
            char ch;
            ssize_t n = recv(peer[cl], &ch, 1, 0);
            if (n <= 0) return "";
            if (ch == '\n') return line;
            line += ch;
        }
    }
};

// A server thread of the test's own: the same wait and pass as the real
// loop, until stopped.
struct ServerLoop {
    std::atomic<bool> stop{false};
    std::atomic<int> passes{0};
    std::thread th;
    void start() {
        th = std::thread([this] {
            while (!stop) {
                server_wait(-1, 50); // NOTE: short, so that stop is seen
                check_client_status();
                passes++;
            }
        });
    }
    void join() {
        stop = true;
        th.join();
    }
};

} // namespace

// ------------------------------------------------------- left out, woken

TEST_F(Wakeup, SpentBudgetIsLeftOutOfTheWaitUntilTheFrameEnds) {
    client_tab[0].nup = 1;
    send(peer[0], "F 5\n", 4, MSG_NOSIGNAL);
    EXPECT_EQ(server_wait(-1, 0), 0) << "its pending input must not end the wait (no busy loop)";
    EXPECT_EQ(server_wait(-1, 0), 0);
    check_client_status();
    EXPECT_TRUE(drain().empty());
    one_frame();
    EXPECT_GT(server_wait(-1, 0), 0);
    check_client_status();
    ASSERT_EQ(drain().size(), 1u);
    EXPECT_DOUBLE_EQ(ttl[tid].pos[0].x, 5.0);
}

TEST_F(Wakeup, FrameEndWakesTheThreadWaitingForASpentBudget) {
    client_tab[0].nup = 1;
    send(peer[0], "F 5\n", 4, MSG_NOSIGNAL);
    std::atomic<int> woke{-2};
    std::atomic<bool> served{false};
    std::thread th([&] {
        woke = server_wait(-1, LONG_WAIT_MS);
        check_client_status();
        served = true;
    });
    settle();
    EXPECT_FALSE(served) << "nothing may end the wait before the frame does";
    EXPECT_TRUE(drain().empty());
    one_frame();
    th.join();
    EXPECT_GT(woke, 0) << "the wait ran to its limit: the frame's end did not wake it";
    ASSERT_EQ(drain().size(), 1u);
    EXPECT_DOUBLE_EQ(ttl[tid].pos[0].x, 5.0);
}

TEST_F(Wakeup, IdleFramesLeaveNoWakeUpBehind) {
    for (int i = 0; i < 5; i++) one_frame();
    EXPECT_EQ(server_wait(-1, 0), 0) << "a frame wakes the thread only when a budget was spent";
    client_tab[0].nup = 1;
    EXPECT_EQ(server_wait(-1, 0), 0);
    one_frame();
    EXPECT_GT(server_wait(-1, 0), 0) << "now one was awaited";
    EXPECT_EQ(server_wait(-1, 0), 0) << "and the wake-up is taken once";
}

// ------------------------------------------------ other events that wake it

TEST_F(Wakeup, MarkWakesTheWaitingThreadAndThePassDropsTheClient) {
    std::atomic<int> woke{-2};
    testing::internal::CaptureStderr();
    std::thread th([&] {
        woke = server_wait(-1, LONG_WAIT_MS);
        check_client_status();
    });
    settle();
    {
        frame_guard lk; // as the frame cycle does
        disconnect_client_for(tid, 0);
    }
    th.join();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "closing connection from 127.0.0.1 4000\n");
    EXPECT_GT(woke, 0);
    EXPECT_EQ(client_tab[0].socket, -1);
    EXPECT_FALSE(ttl[tid].status & ST_ZOMBIE);
}

TEST_F(Wakeup, MarkMadeBeforeTheWaitDoesNotLetItSleep) {
    disconnect_client_for(tid, 0);
    EXPECT_GT(server_wait(-1, LONG_WAIT_MS), 0);
    testing::internal::CaptureStderr();
    check_client_status();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(client_tab[0].socket, -1);
    EXPECT_EQ(server_wait(-1, 0), 0) << "the dropped client is not waited on";
}

TEST_F(Wakeup, ReadableClientWakesTheThreadAndOnlyItIsServed) {
    int t1 = place_turtle(100.0, 0.0, 0.0, 1);
    attach(1, t1);
    std::atomic<int> woke{-2};
    std::thread th([&] {
        woke = server_wait(-1, LONG_WAIT_MS);
        check_client_status();
    });
    settle();
    send(peer[1], "Q P\n", 4, MSG_NOSIGNAL);
    th.join();
    EXPECT_GT(woke, 0);
    auto lines = drain(1);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "100.000000 0.000000 OK @ 0 0");
    EXPECT_TRUE(drain(0).empty());
}

TEST_F(Wakeup, PendingConnectionWakesTheThreadAndIsAccepted) {
    free_all_client_slots();
    int listener = init_socket(0);
    ASSERT_GE(listener, 0);
    struct sockaddr_in a;
    socklen_t alen = sizeof(a);
    getsockname(listener, (struct sockaddr*)&a, &alen);
    std::atomic<int> woke{-2};
    testing::internal::CaptureStderr();
    std::thread th([&] {
        woke = server_wait(listener, LONG_WAIT_MS);
        check_connection(listener);
    });
    settle();
    int s = socket(AF_INET, SOCK_STREAM, 0);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(s, (struct sockaddr*)&a, sizeof(a)), 0);
    th.join();
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_GT(woke, 0);
    EXPECT_EQ(log.rfind("handling client from 127.0.0.1 ", 0), 0u) << log;
    EXPECT_EQ(nclient, 1);
    EXPECT_GE(client_tab[0].socket, 0);
    EXPECT_EQ(check_connection(listener), 0) << "nothing pending: no wait, no accept";
    EXPECT_EQ(nclient, 1);
    close(s);
    close(listener);
}

// ------------------------------------------- the loop against a frame cycle

TEST_F(Wakeup, StepsSentOneAfterAnotherLandInDifferentFramesQueriesDoNot) {
    ServerLoop loop;
    loop.start();
    std::atomic<bool> frames_stop{false};
    std::thread frames([&] {
        while (!frames_stop) {
            one_frame();
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    // A student's loop: one command, its reply, the next command.
    std::vector<unsigned long> step_ticks;
    for (int i = 0; i < 4; i++) {
        send(peer[0], "F 1\n", 4, MSG_NOSIGNAL);
        Reply r = parse_reply(next_reply());
        ASSERT_TRUE(r.well_formed) << "no reply to step " << i;
        step_ticks.push_back(r.ticks);
    }
    int queries = 0;
    for (int i = 0; i < 20; i++) {
        send(peer[0], "Q P\n", 4, MSG_NOSIGNAL);
        if (parse_reply(next_reply()).well_formed) queries++;
    }
    frames_stop = true;
    frames.join();
    loop.join();
    for (size_t i = 1; i < step_ticks.size(); i++)
        EXPECT_GT(step_ticks[i], step_ticks[i - 1]) << "two budgeted steps in one frame";
    EXPECT_EQ(queries, 20);
    EXPECT_DOUBLE_EQ(ttl[tid].pos[0].x, 4.0);
}
