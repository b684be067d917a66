// The user-interface thread's queue, loop and timers, on both systems.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/message_queue.h"
#include "platform/quit_request.h"
#include "platform/ui_loop.h"
#include "platform/ui_timer.h"

namespace {

TEST(MessageQueueTest, KeepsPostingOrderPerThreadAndLosesNothing) {
  platform::MessageQueue queue;
  constexpr int kThreads = 4, kPerThread = 2000;
  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t) {
    posters.emplace_back([&queue, t] {
      for (int i = 0; i < kPerThread; ++i) queue.Post(2000 + t, static_cast<uintptr_t>(i), t);
    });
  }
  std::vector<int> next(kThreads, 0);
  int received = 0;
  bool inOrder = true;
  platform::Message message;
  while (received < kThreads * kPerThread && queue.WaitTake(&message, 10000)) {
    const int t = static_cast<int>(message.lParam);
    inOrder =
        inOrder && message.id == static_cast<uint32_t>(2000 + t) && message.wParam == static_cast<uintptr_t>(next[t]);
    ++next[t];
    ++received;
  }
  for (auto& p : posters) p.join();
  EXPECT_TRUE(inOrder);
  EXPECT_EQ(received, kThreads * kPerThread);
  EXPECT_FALSE(queue.TryTake(&message));
  EXPECT_FALSE(queue.WaitTake(&message, 20));
  // Ids below the application range (WM_CLOSE) travel like any other.
  queue.Post(16, 7, -7);
  ASSERT_TRUE(queue.TryTake(&message));
  EXPECT_EQ(message.id, 16u);
  EXPECT_EQ(message.wParam, 7u);
  EXPECT_EQ(message.lParam, -7);
}

// One run of the loop: what the receiver and the timers saw, in order.
struct LoopRun {
  std::vector<std::string> seen;
  int quitAfter = 0;  // quit once this many messages have arrived
};

void Receive(const platform::Message& message, void* context) {
  auto* run = static_cast<LoopRun*>(context);
  run->seen.push_back("message " + std::to_string(message.id) + " " + std::to_string(message.wParam));
  if (static_cast<int>(run->seen.size()) == run->quitAfter) platform::QuitUiLoop();
}

TEST(UiLoopTest, DeliversWorkersMessagesInOrderAndRunsTimersOnceUntilQuit) {
  LoopRun run;
  platform::UiQueue();  // the queue belongs to the thread that runs the loop
  std::thread poster([] {
    for (unsigned i = 0; i < 500; ++i) platform::UiQueue().Post(2005, i, 0);
  });
  poster.join();
  // Timers fire once each, shortest first; a cancelled one never does, and a
  // timer may start another.
  const unsigned cancelled = platform::StartUiTimer(30, [&] { run.seen.push_back("cancelled fired"); });
  ASSERT_NE(cancelled, 0u);
  ASSERT_NE(platform::StartUiTimer(120,
                                   [&] {
                                     run.seen.push_back("timer 120");
                                     platform::StartUiTimer(10, [&] {
                                       run.seen.push_back("timer nested");
                                       run.quitAfter = static_cast<int>(run.seen.size()) + 1;
                                       platform::UiQueue().Post(2001, 0, 0);  // then quit on the next message
                                       platform::UiQueue().Post(2002, 0, 0);  // not delivered: the loop has ended
                                     });
                                   }),
            0u);
  ASSERT_NE(platform::StartUiTimer(60, [&] { run.seen.push_back("timer 60"); }), 0u);
  platform::CancelUiTimer(cancelled);

  platform::RunUiLoop(&Receive, &run);

  ASSERT_EQ(run.seen.size(), 500u + 4u);
  for (unsigned i = 0; i < 500; ++i) ASSERT_EQ(run.seen[i], "message 2005 " + std::to_string(i));
  EXPECT_EQ(run.seen[500], "timer 60");
  EXPECT_EQ(run.seen[501], "timer 120");
  EXPECT_EQ(run.seen[502], "timer nested");
  EXPECT_EQ(run.seen[503], "message 2001 0");

  // What the ended loop left behind waits for the next run.
  platform::Message left;
  ASSERT_TRUE(platform::UiQueue().TryTake(&left));
  EXPECT_EQ(left.id, 2002u);
}

// A quit request from outside (a signal, the console's ^C) reaches the loop
// through a waiting thread, as the front end wires it.
TEST(UiLoopTest, AQuitRequestFromAnotherThreadEndsTheLoop) {
  ASSERT_TRUE(platform::InitQuitRequest());
  platform::UiQueue();
  std::thread waiter([] {
    if (platform::WaitQuitRequest()) platform::UiQueue().Post(2003, 1, 0);
  });
  LoopRun run;
  run.quitAfter = 1;
  ASSERT_NE(platform::StartUiTimer(20, [] { platform::RequestQuit(); }), 0u);
  platform::RunUiLoop(&Receive, &run);
  waiter.join();
  EXPECT_EQ(run.seen, std::vector<std::string>{"message 2003 1"});
}

}  // namespace
