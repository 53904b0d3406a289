// test_wakeup.cpp -- the command thread's wait and a spent budget: the frame's
// end wakes it; a missed wake-up shows as a wait that runs to its limit.

#include <atomic>
#include <chrono>
#include <thread>

#include "client_fixture.h"

using Wakeup = ClientSlot;

TEST_F(Wakeup, SpentBudgetIsLeftOutOfTheWaitUntilTheFrameEndsAndWakesIt) {
    server_wait(-1, 0); // takes any wake-up an earlier test left behind
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
    // wait and serve on a thread of their own, as the command thread does
    std::atomic<int> woke{-2};
    std::thread th([&] {
        woke = server_wait(-1, 20000);
        check_client_status();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(drain().empty()) << "nothing may end the wait before the frame does";
    end_of_frame();
    th.join();
    EXPECT_GT(woke, 0) << "the wait ran to its limit";
    ASSERT_EQ(drain().size(), 1u);
    EXPECT_DOUBLE_EQ(ttl[tid].pos[0].x, 5.0);
}
