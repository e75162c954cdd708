#include "platform/capture/capture_delivery.h"

#include <utility>

namespace velmora {

CaptureDelivery::CaptureDelivery(const CaptureLoopSettings& settings, std::weak_ptr<ScreenCaptureStreamOutput> output)
    : output_(std::move(output)),
      pool_(settings.width, settings.height, settings.pictureCount),
      pacer_(settings.pacedByConsumer ? FramePacer::create() : nullptr) {}

void CaptureDelivery::takeWakeUp() const {
  if (pacer_) {
    pacer_->takeWakeUp();
  }
}

CaptureDelivery::Clock::time_point CaptureDelivery::frameAllowedAt(Clock::duration leadTime) const {
  return pacer_ ? pacer_->nextFrameAllowedAt(leadTime + preparation_) : Clock::time_point{};
}

void CaptureDelivery::deliver(std::shared_ptr<PixelBuffer> picture, double presentationTime,
                              Clock::time_point preparedSince) {
  SampleBuffer sampleBuffer;
  sampleBuffer.pixelBuffer = std::move(picture);
  sampleBuffer.presentationTime = presentationTime;
  if (pacer_) {
    const auto now = Clock::now();
    preparation_ += (now - preparedSince - preparation_) / 4;
    sampleBuffer.requestNextFrame = pacer_->frameDelivered(now);
  }
  if (const auto receiver = output_.lock()) {
    receiver->streamDidOutputSampleBuffer(sampleBuffer, SampleOutputType::screen);
  }
}

}  // namespace velmora
