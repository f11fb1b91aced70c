#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/DispatchQueue.hpp"
#include "support/LogCapture.hpp"

namespace kelvor {
namespace {

using namespace std::chrono_literals;

// A task that throws is logged and the ones after it still run, in order, on one thread.
TEST(DispatchQueueTest, TasksRunInSubmissionOrderOnOneThreadPastAThrowingOne) {
  testing::LogCapture log;
  DispatchQueue queue("test.order");
  std::vector<int> order;
  std::set<std::thread::id> threads;
  for (int i = 0; i < 200; ++i) {
    auto add = [&, i] {
      order.push_back(i);
      threads.insert(std::this_thread::get_id());
    };
    if (i == 100) queue.async([] { throw std::runtime_error("boom"); });
    i % 2 ? queue.asyncBarrier(add) : queue.async(add);
  }
  queue.drain();
  ASSERT_EQ(order.size(), 200u);
  for (int i = 0; i < 200; ++i) EXPECT_EQ(order[static_cast<size_t>(i)], i);
  EXPECT_EQ(threads.size(), 1u);
  EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u);
  EXPECT_TRUE(log.contains(LogLevel::error, "boom"));
}

// A sync from the queue's own thread runs inline instead of waiting for itself.
TEST(DispatchQueueTest, SyncFromSeveralThreadsAndFromTheQueueItselfWaitsForItsTask) {
  DispatchQueue queue("test.sync");
  int counter = 0;  // only touched on the queue
  std::vector<std::thread> callers;
  for (int t = 0; t < 4; ++t) {
    callers.emplace_back([&] {
      for (int i = 0; i < 100; ++i) {
        int seen = -1;
        queue.sync([&] { seen = ++counter; });
        EXPECT_GT(seen, 0);  // the task ran before sync returned
      }
    });
  }
  for (auto& c : callers) c.join();
  int total = 0;
  bool inner = false;
  queue.sync([&] {
    queue.sync([&] { inner = queue.isCurrent(); });
    total = counter;
  });
  EXPECT_EQ(total, 400);
  EXPECT_TRUE(inner);
}

TEST(DispatchQueueTest, DelayedTasksRunByDeadlineAfterReadyWork) {
  DispatchQueue queue("test.after");
  std::mutex m;
  std::vector<std::string> order;
  auto note = [&](std::string s) {
    std::lock_guard lock(m);
    order.push_back(std::move(s));
  };
  std::promise<void> done;
  std::promise<void> open;
  auto gate = open.get_future();
  queue.async([&] { gate.wait(); });  // hold the worker until everything is queued
  queue.asyncAfter(60ms, [&] {
    note("late");
    done.set_value();
  });
  queue.asyncAfter(20ms, [&] { note("early"); });
  queue.asyncAfter(20ms, [&] { note("early-second"); });
  queue.async([&] { note("now"); });
  open.set_value();
  done.get_future().wait();
  std::lock_guard lock(m);
  EXPECT_EQ(order, (std::vector<std::string>{"now", "early", "early-second", "late"}));
}

// Destroyed from outside, a queue finishes its ready tasks; from its own task (its last
// reference dropped on its thread), it does not deadlock.
TEST(DispatchQueueTest, DestroyingFinishesReadyTasksAndDropsDelayedOnes) {
  std::atomic<int> ran{0};
  {
    DispatchQueue queue("test.destroy");
    queue.async([&] {
      std::this_thread::sleep_for(5ms);
      ++ran;
    });
    queue.async([&] { ++ran; });
    queue.asyncAfter(1h, [&] { ran += 100; });
  }
  EXPECT_EQ(ran.load(), 2);
  auto queue = std::make_shared<DispatchQueue>("test.self");
  std::promise<void> done;
  DispatchQueue* raw = queue.get();
  raw->async([q = std::move(queue), &done]() mutable {
    q.reset();
    done.set_value();
  });
  done.get_future().wait();
}

}  // namespace
}  // namespace kelvor
