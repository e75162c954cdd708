#include "protocol/frame_accumulator.h"

namespace velmora {

void FrameAccumulator::append(std::span<const std::uint8_t> bytes) {
  std::lock_guard lock(bufferLock_);
  if (buffer_.consumed > 0) {
    buffer_.bytes.erase(buffer_.bytes.begin(), buffer_.bytes.begin() + static_cast<std::ptrdiff_t>(buffer_.consumed));
    buffer_.consumed = 0;
  }
  buffer_.bytes.insert(buffer_.bytes.end(), bytes.begin(), bytes.end());
}

bool FrameAccumulator::discardFrontFrame() {
  std::lock_guard lock(bufferLock_);
  std::optional<std::size_t> frameLength;
  try {
    frameLength = MessageCoder::shared().completeFrameLength(
        std::span<const std::uint8_t>(buffer_.bytes).subspan(buffer_.consumed));
  } catch (const DecodingError&) {
    return false;
  }
  if (!frameLength) {
    return false;
  }
  buffer_.consume(*frameLength);
  return true;
}

void FrameAccumulator::reset() {
  std::lock_guard lock(bufferLock_);
  buffer_ = Buffer{};
}

void FrameAccumulator::Buffer::consume(std::size_t count) {
  consumed += count;
  if (consumed == bytes.size()) {
    bytes.clear();
    consumed = 0;
  }
}

}  // namespace velmora
