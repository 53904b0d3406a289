// test_wakeup.cpp -- what wakes the command thread's wait: the frame's end
// after a spent budget, a client marked for leaving. (Readable sockets are
// the poll's own.) A missed wake-up shows as a wait that runs to its limit.

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
    int woken_by(const std::function<void()>& wake) {
        std::atomic<int> woke{-2};
        std::thread th([&] {
            woke = server_wait(-1, 20000);
            check_client_status();
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        wake();
        th.join();
        return woke;
    }
};

} // namespace

TEST_F(Wakeup, SpentBudgetIsLeftOutOfTheWaitUntilTheFrameEndsAndWakesIt) {
    for (int i = 0; i < 3; i++) end_of_frame();
    EXPECT_EQ(server_wait(-1, 0), 0) << "a frame wakes the thread only when a budget was spent";
    client_tab[0].nup = 1;
    EXPECT_EQ(server_wait(-1, 0), 0);
    end_of_frame();
    EXPECT_GT(server_wait(-1, 0), 0) << "now one was awaited";
    EXPECT_EQ(server_wait(-1, 0), 0) << "the wake-up is taken once";
    client_tab[0].nup = 1;
    send(peer[0], "F 5\n", 4, MSG_NOSIGNAL);
    EXPECT_EQ(server_wait(-1, 0), 0) << "its pending input must not end the wait (no busy loop)";
    EXPECT_GT(woken_by([&] {
                  EXPECT_TRUE(drain().empty()) << "nothing may end the wait before the frame does";
                  end_of_frame();
              }),
              0);
    ASSERT_EQ(drain().size(), 1u);
    EXPECT_DOUBLE_EQ(ttl[tid].pos[0].x, 5.0);
}

// A client marked for leaving by the frame (its turtle died) is closed at once.
TEST_F(Wakeup, AMarkFromTheFrameWakesTheThread) {
    testing::internal::CaptureStderr();
    EXPECT_GT(woken_by([&] {
                  frame_guard lk; // as the frame cycle does
                  disconnect_client_for(tid, 0);
              }),
              0);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(client_tab[0].socket, -1);
}
