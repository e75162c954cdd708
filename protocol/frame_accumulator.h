#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "protocol/message_coder.h"

namespace velmora {

// Collects the bytes of one control connection and hands out whole messages as they complete.
// A bad frame stays at the front, so its error repeats on every call until reset().
class FrameAccumulator {
 public:
  void append(std::span<const std::uint8_t> bytes);

  // Throws DecodingError for a bad frame at the front; nothing is consumed then.
  template <WireMessage Message>
  std::optional<Message> nextMessage() {
    std::lock_guard lock(bufferLock_);
    std::optional<DecodedMessage<Message>> decoded = MessageCoder::shared().decode<Message>(
        std::span<const std::uint8_t>(buffer_.bytes).subspan(buffer_.consumed));
    if (!decoded) {
      return std::nullopt;
    }
    buffer_.consume(decoded->frameLength);
    return std::move(decoded->message);
  }

  // After a decoding failure: drops only the bad frame, keeping the bytes behind it. False, with
  // nothing dropped, when the front holds no whole frame of an acceptable length (then only reset()
  // gets past it).
  bool discardFrontFrame();

  void reset();

 private:
  // Consumed frames are only skipped over and dropped on the next append, so a chunk holding many
  // small frames is not moved once per frame.
  struct Buffer {
    std::vector<std::uint8_t> bytes;
    std::size_t consumed = 0;

    void consume(std::size_t count);
  };

  std::mutex bufferLock_;
  Buffer buffer_;
};

}  // namespace velmora
