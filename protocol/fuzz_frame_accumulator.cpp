// Feeds arbitrary bytes to FrameAccumulator in arbitrary chunks, asking for both message types.
// Input byte 0: bit 0 set = the rest is one JSON payload, decoded as both types; otherwise the
// rest is a control-connection byte stream and byte 0 seeds the chunk sizes, the type asked for and
// (bit 1) how failures are cleared.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "protocol/control_message.h"
#include "protocol/frame_accumulator.h"
#include "protocol/handshake_message.h"
#include "protocol/message_coder.h"

namespace {

using velmora::DecodingError;
using velmora::MessageCoder;

// Whatever decodes must encode, and decode again to the same message and the same bytes.
template <class Message>
void checkRoundTrip(const Message& message) {
  const std::vector<std::uint8_t> frame = MessageCoder::shared().encode(message);
  const auto decoded = MessageCoder::shared().decode<Message>(frame);
  if (!decoded || !(decoded->message == message) || decoded->frameLength != frame.size() ||
      MessageCoder::shared().encode(decoded->message) != frame) {
    std::abort();
  }
}

template <class Message>
void decodePayload(std::span<const std::uint8_t> payload) {
  const std::vector<std::uint8_t> frame =
      velmora::detail::frameJsonText(std::string(payload.begin(), payload.end()), MessageCoder::maxFramePayloadSize);
  try {
    if (auto decoded = MessageCoder::shared().decode<Message>(frame)) {
      checkRoundTrip(decoded->message);
    }
  } catch (const DecodingError&) {
  }
}

// After a failure the owner either drops just the bad frame or empties the buffer.
template <class Message>
bool drain(velmora::FrameAccumulator& accumulator, bool dropOnlyBadFrames) {
  try {
    auto message = accumulator.template nextMessage<Message>();
    if (!message) {
      return false;
    }
    checkRoundTrip(*message);
    return true;
  } catch (const DecodingError&) {
    // The bad frame must stay at the front until reset.
    try {
      accumulator.template nextMessage<Message>();
      std::abort();
    } catch (const DecodingError&) {
    }
    if (dropOnlyBadFrames && accumulator.discardFrontFrame()) {
      return true;
    }
    accumulator.reset();
    return false;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) {
    return 0;
  }
  const std::span<const std::uint8_t> input(data + 1, size - 1);
  if ((data[0] & 1) != 0) {
    decodePayload<velmora::HandshakeMessage>(input);
    decodePayload<velmora::ControlMessage>(input);
    return 0;
  }

  velmora::FrameAccumulator accumulator;
  std::uint32_t random = data[0];
  std::size_t offset = 0;
  std::size_t calls = 0;
  while (offset < input.size()) {
    random = random * 1103515245u + 12345u;
    const std::size_t chunk = std::min<std::size_t>(input.size() - offset, 1 + (random >> 16) % 64);
    accumulator.append(input.subspan(offset, chunk));
    offset += chunk;
    for (bool more = true; more; ++calls) {
      const bool dropOnlyBadFrames = (data[0] & 2) != 0;
      more = (calls + data[0] / 4) % 3 == 0 ? drain<velmora::HandshakeMessage>(accumulator, dropOnlyBadFrames)
                                            : drain<velmora::ControlMessage>(accumulator, dropOnlyBadFrames);
    }
  }
  return 0;
}
