// The operation queue starts a waiting operation only when the queue has room and the
// operation is ready or cancelled, and exactly once: with one operation waiting as with many.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "networking/operation_queue.h"

namespace {

using namespace std::chrono_literals;

TEST(OperationQueue, StartsWhatWaitsOnlyWithRoomAndWhenReady) {
  enum class Hold { Room, Dependency, RoomThenCancel };
  struct Case { const char* name; Hold hold; int waiting; } cases[] = {
      {"one waits for room", Hold::Room, 1},
      {"three wait for room", Hold::Room, 3},
      {"one waits for its dependency", Hold::Dependency, 1},
      {"two wait for their dependency", Hold::Dependency, 2},
      {"one cancelled while waiting for room", Hold::RoomThenCancel, 1},
      {"two cancelled while waiting for room", Hold::RoomThenCancel, 2},
  };
  for (const auto& c : cases) {
    auto queue = MCOperationQueue::create();
    std::promise<void> gate;
    std::shared_future<void> open = gate.get_future().share();
    std::mutex mutex;
    std::string order;
    auto note = [&](char what) {
      std::lock_guard<std::mutex> lock(mutex);
      order += what;
    };
    std::atomic<int> finished{0};
    // The first holds the others back until the gate opens: by filling the queue's one slot,
    // or as their dependency.
    auto first = MCBlockOperation::blockOperationWithBlock([&] {
      open.wait();
      note('a');
    });
    first->setCompletionBlock([&] { ++finished; });
    std::vector<std::shared_ptr<MCBlockOperation>> later;
    for (int i = 0; i < c.waiting; ++i) {
      auto op = MCBlockOperation::blockOperationWithBlock([&] { note('b'); });
      op->setCompletionBlock([&] { ++finished; });
      if (c.hold == Hold::Dependency) op->addDependency(first);
      later.push_back(op);
    }
    if (c.hold == Hold::Dependency) {
      // Added before what they depend on, so they wait in the queue whatever its room.
      for (auto& op : later) queue->addOperation(op);
      queue->addOperation(first);
    } else {
      queue->maxConcurrentOperationCount = 1;
      queue->addOperation(first);
      for (auto& op : later) queue->addOperation(op);
    }
    if (c.hold == Hold::RoomThenCancel)
      for (auto& op : later) op->cancel();
    std::this_thread::sleep_for(20ms);  // room for a wrong start to happen
    for (auto& op : later) EXPECT_FALSE(op->isFinished()) << c.name;
    gate.set_value();
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (finished.load() < 1 + c.waiting && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
    EXPECT_EQ(finished.load(), 1 + c.waiting) << c.name;
    for (auto& op : later) EXPECT_TRUE(op->isFinished()) << c.name;
    std::lock_guard<std::mutex> lock(mutex);
    // A cancelled operation finishes without running its block; the rest run after the first.
    const std::string expected = c.hold == Hold::RoomThenCancel ? "a" : "a" + std::string(size_t(c.waiting), 'b');
    EXPECT_EQ(order, expected) << c.name;
  }
}

}  // namespace
