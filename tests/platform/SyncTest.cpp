// Events, sleeping and calls into the main thread from workers.
#include "ovSync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

using namespace ov;
using Clock = std::chrono::steady_clock;

TEST(Sync, ManualAndAutoResetEvents) {
  TEvent manual(true, false);
  EXPECT_FALSE(manual.WaitFor(10));
  manual.SetEvent();
  EXPECT_TRUE(manual.WaitFor(0));
  EXPECT_TRUE(manual.WaitFor(0));
  manual.ResetEvent();
  EXPECT_FALSE(manual.WaitFor(0));

  TEvent autoEv(false, true);
  EXPECT_TRUE(autoEv.WaitFor(0));
  EXPECT_FALSE(autoEv.WaitFor(0));

  TEvent fromThread;
  std::thread t([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    fromThread.SetEvent();
  });
  EXPECT_TRUE(fromThread.WaitFor(5000));
  t.join();
}

TEST(Sync, TimeScaleShortensSleeps) {
  SetTimeScale(0.01);
  const auto t0 = Clock::now();
  Sleep(1000);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
  SetTimeScale(1.0);
  EXPECT_GE(ms, 9);
  EXPECT_LT(ms, 500);
}

TEST(Sync, WorkerCallsRunOnTheMainThread) {
  SetMainThread();
  const auto mainId = std::this_thread::get_id();
  std::atomic<int> done{0};
  int counter = 0;  // touched only on the main thread
  std::thread::id ranOn;
  std::thread worker([&] {
    EXPECT_FALSE(IsMainThread());
    for (int i = 0; i < 3; ++i)
      Synchronize([&] {
        ++counter;
        ranOn = std::this_thread::get_id();
      });
    done = 1;
  });
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (!done && Clock::now() < deadline)
    CheckSynchronize(10);
  worker.join();
  EXPECT_EQ(done.load(), 1);
  EXPECT_EQ(counter, 3);
  EXPECT_EQ(ranOn, mainId);
  // On the main thread the call runs at once, and an empty queue reports so.
  Synchronize([&] { ++counter; });
  EXPECT_EQ(counter, 4);
  EXPECT_FALSE(CheckSynchronize(0));
}

TEST(Sync, DispatcherReceivesTheCalls) {
  SetMainThread();
  std::atomic<int> posted{0};
  std::thread loop;
  SetSyncDispatcher([&](std::function<void()> fn) {
    ++posted;
    fn();  // a GUI would run it on its loop; here the caller is released at once
  });
  int value = 0;
  std::thread worker([&] { Synchronize([&] { value = 7; }); });
  worker.join();
  SetSyncDispatcher(nullptr);
  EXPECT_EQ(posted.load(), 1);
  EXPECT_EQ(value, 7);
}
