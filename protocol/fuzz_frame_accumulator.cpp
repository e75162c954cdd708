// Arbitrary bytes through FrameAccumulator in chunks the input chooses, asking for either message type;
// whatever decodes must encode to a frame that decodes to the same message.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>

#include "protocol/control_message.h"
#include "protocol/frame_accumulator.h"
#include "protocol/handshake_message.h"

namespace {

template <class Message>
bool drain(velmora::FrameAccumulator& accumulator, bool dropOnlyBadFrames) {
  try {
    const auto message = accumulator.nextMessage<Message>();
    if (message) {
      const velmora::MessageCoder& coder = velmora::MessageCoder::shared();
      const auto again = coder.decode<Message>(coder.encode(*message));
      if (!again || !(again->message == *message)) {
        std::abort();
      }
    }
    return message.has_value();
  } catch (const velmora::DecodingError&) {
    // The owner either skips just the bad frame or empties the buffer.
    if (dropOnlyBadFrames && accumulator.discardFrontFrame()) {
      return true;
    }
    accumulator.reset();
    return false;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  FuzzedDataProvider data(bytes, size);
  const bool dropOnlyBadFrames = data.ConsumeBool();
  velmora::FrameAccumulator accumulator;
  while (data.remaining_bytes() > 0) {
    accumulator.append(data.ConsumeBytes<std::uint8_t>(data.ConsumeIntegralInRange<std::size_t>(1, 64)));
    while (data.ConsumeBool() ? drain<velmora::HandshakeMessage>(accumulator, dropOnlyBadFrames)
                              : drain<velmora::ControlMessage>(accumulator, dropOnlyBadFrames)) {
    }
  }
  return 0;
}
