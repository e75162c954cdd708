#include "platform/lingering_threads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <future>

namespace velmora {
namespace {

using namespace std::chrono_literals;

// A thread that lets go of its own owner and still has work to finish.
std::thread startLingering(const std::shared_ptr<LingeringThreads::EndMark>& mark, std::atomic<bool>& finished,
                           std::promise<void>& letGo, std::function<void()> lastStep = [] {}) {
  return std::thread([&finished, future = letGo.get_future(), mark, lastStep = std::move(lastStep)] {
    future.wait();
    std::this_thread::sleep_for(50ms);
    finished = true;
    lastStep();
    mark->ended();
  });
}

TEST(LingeringThreadsTest, GoingAwayWaitsForAdoptedThreadsStillEnding) {
  std::atomic<bool> finished = false;
  std::promise<void> letGo;
  auto mark = std::make_shared<LingeringThreads::EndMark>();
  {
    LingeringThreads threads;
    threads.adopt(startLingering(mark, finished, letGo), mark);
    letGo.set_value();
  }
  EXPECT_TRUE(finished);  // and the thread was joined: no std::terminate for a joinable one
}

TEST(LingeringThreadsTest, TheLastOwnerLetGoOnAnAdoptedThreadDoesNotWaitForItself) {
  std::atomic<bool> finished = false;
  std::promise<void> letGo;
  std::promise<void> done;
  auto threads = std::make_shared<LingeringThreads>();
  auto mark = std::make_shared<LingeringThreads::EndMark>();
  std::shared_ptr<LingeringThreads> lastOwner = threads;
  threads->adopt(startLingering(mark, finished, letGo, [&] {
                   lastOwner.reset();  // runs the destructor here, on the adopted thread
                   done.set_value();
                 }),
                 mark);
  threads.reset();
  letGo.set_value();
  EXPECT_EQ(done.get_future().wait_for(LingeringThreads::kEndWait / 2), std::future_status::ready);
  EXPECT_TRUE(finished);
}

}  // namespace
}  // namespace velmora
