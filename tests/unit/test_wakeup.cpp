// test_wakeup.cpp -- what wakes the command thread's wait: the frame's end
// after a spent budget, a mark, a readable client, a new connection. A
// missed wake-up shows as a wait that runs to its (long) limit.

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "client_fixture.h"

namespace {

struct Wakeup : ClientSlot {
    void SetUp() override {
        ClientSlot::SetUp();
        server_wait(-1, 0); // takes any wake-up an earlier test left behind
    }
    // Runs wait-then-serve on a thread of its own, as the command thread
    // does, lets it reach its poll, does `wake` and returns what the wait
    // returned (0: it ran to its limit, nothing woke it).
    int woken_by(int listener, const std::function<void()>& wake) {
        std::atomic<int> woke{-2};
        std::thread th([&] {
            woke = server_wait(listener, 20000);
            if (listener >= 0) check_connection(listener);
            check_client_status();
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        wake();
        th.join();
        return woke;
    }
};

void one_frame() {
    int wake;
    {
        frame_guard g;
        elapsed_time++;
        wake = reset_budgets();
    }
    if (wake) wake_server_thread();
}

} // namespace

TEST_F(Wakeup, SpentBudgetIsLeftOutOfTheWaitUntilTheFrameEndsAndWakesIt) {
    for (int i = 0; i < 3; i++) one_frame();
    EXPECT_EQ(server_wait(-1, 0), 0) << "a frame wakes the thread only when a budget was spent";
    client_tab[0].nup = 1;
    EXPECT_EQ(server_wait(-1, 0), 0);
    one_frame();
    EXPECT_GT(server_wait(-1, 0), 0) << "now one was awaited";
    EXPECT_EQ(server_wait(-1, 0), 0) << "the wake-up is taken once";
    client_tab[0].nup = 1;
    send(peer[0], "F 5\n", 4, MSG_NOSIGNAL);
    EXPECT_EQ(server_wait(-1, 0), 0) << "its pending input must not end the wait (no busy loop)";
    EXPECT_GT(woken_by(-1, [&] {
                  EXPECT_TRUE(drain().empty()) << "nothing may end the wait before the frame does";
                  one_frame();
              }),
              0);
    ASSERT_EQ(drain().size(), 1u);
    EXPECT_DOUBLE_EQ(ttl[tid].pos[0].x, 5.0);
}

TEST_F(Wakeup, MarkReadableClientAndConnectionWakeTheThread) {
    int t1 = place_turtle(100.0, 0.0, 0.0, 1);
    attach(1, t1);
    EXPECT_GT(woken_by(-1, [&] { send(peer[1], "Q P\n", 4, MSG_NOSIGNAL); }), 0);
    EXPECT_EQ(drain(1), std::vector<std::string>{"100.000000 0.000000 OK @ 0 0"});
    testing::internal::CaptureStderr();
    EXPECT_GT(woken_by(-1, [&] {
                  frame_guard lk; // as the frame cycle does
                  disconnect_client_for(tid, 0);
              }),
              0);
    EXPECT_EQ(client_tab[0].socket, -1);
    free_all_client_slots();
    int listener = init_socket(0);
    ASSERT_GE(listener, 0);
    struct sockaddr_in a;
    socklen_t alen = sizeof(a);
    getsockname(listener, (struct sockaddr*)&a, &alen);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int s = socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_GT(woken_by(listener, [&] { connect(s, (struct sockaddr*)&a, sizeof(a)); }), 0);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(nclient, 1);
    close(s);
    close(listener);
}
