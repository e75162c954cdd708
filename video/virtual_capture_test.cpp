#include <gtest/gtest.h>

#include <future>
#include <mutex>

#include "platform/dispatch/manual_main_queue.h"
#include "platform/virtual/frame_stamp.h"
#include "platform/virtual/virtual_capture_backend.h"
#include "video/screen_capture_service.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;

TEST(VirtualCaptureTest, TheServiceCapturesAVirtualDisplayAtItsConfiguredSize) {
  ManualMainQueue mainQueue;
  auto source = std::make_shared<VirtualDisplaySource>(VirtualDisplayLayout{{1920, 1080, 1}, {1280, 800, 1}});
  const auto service = ScreenCaptureService::create({mainQueue, std::make_shared<VirtualCaptureBackend>(source),
                                                     MacDisplayCatalog::currentSnapshots(*source), {}});
  std::mutex framesLock;
  std::vector<std::pair<int, int>> sizes;
  std::vector<std::uint32_t> stampedNumbers;
  std::vector<CaptureState> reported;
  service->setTargetDisplayID(2);
  service->setConfiguration(CaptureConfiguration{640, 400, 30, kPixelFormat420v});
  service->setOnCaptureStateChanged([&](CaptureState state) { reported.push_back(state); });
  service->setOnSampleBuffer([&](const SampleBuffer& sampleBuffer) {
    const PixelBuffer& picture = *sampleBuffer.pixelBuffer;
    const auto stamp = readFrameStamp(picture.luma(), picture.lumaStride(), picture.width(), picture.height());
    std::lock_guard lock(framesLock);
    sizes.emplace_back(picture.width(), picture.height());
    stampedNumbers.push_back(stamp ? stamp->frameNumber : 0xFFFFFFFF);
  });

  service->start();
  ASSERT_TRUE(mainQueue.runUntil(
      [&] {
        std::lock_guard lock(framesLock);
        return sizes.size() >= 5 && reported.size() >= 2;
      },
      10s));
  const auto stopTask = service->stop();
  ASSERT_NE(stopTask, nullptr);
  stopTask->wait();
  mainQueue.drain();

  std::lock_guard lock(framesLock);
  for (std::size_t index = 0; index < sizes.size(); ++index) {
    EXPECT_EQ(sizes[index], (std::pair<int, int>{640, 400}));
    EXPECT_NE(stampedNumbers[index], 0xFFFFFFFF) << "frame " << index << " has no readable stamp";
  }
  EXPECT_EQ(reported, (std::vector<CaptureState>{CaptureState::starting, CaptureState::running, CaptureState::idle}));
}

}  // namespace
}  // namespace velmora
