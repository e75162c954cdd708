#include "protocol/frame_accumulator.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/control_message.h"
#include "protocol/handshake_message.h"

namespace velmora {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes frameOf(const ControlMessage& message) {
  return MessageCoder::shared().encode(message);
}

Bytes join(Bytes first, const Bytes& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

const ControlMessage move{ControlMessage::MouseMove{10, 20}};
const ControlMessage key{ControlMessage::KeyDown{36, ControlMessage::KeyModifiers::command}};

TEST(FrameAccumulatorTest, GluedFramesFedByteByByteComeOutInOrderEachOnItsLastByte) {
  FrameAccumulator accumulator;
  const HandshakeMessage hello = ClientHello{2, 0, 1080, 60, "Vision", std::nullopt, "0042"};
  const Bytes first = MessageCoder::shared().encode(hello);
  const Bytes stream = join(join(first, frameOf(move)), frameOf(key));

  for (std::size_t index = 0; index < stream.size(); ++index) {
    accumulator.append(std::span(stream).subspan(index, 1));
    if (index + 1 == first.size()) {
      EXPECT_EQ(accumulator.nextMessage<HandshakeMessage>(), hello);
    } else if (index + 1 == stream.size()) {
      EXPECT_EQ(accumulator.nextMessage<ControlMessage>(), key);
    } else if (index + 1 == first.size() + frameOf(move).size()) {
      EXPECT_EQ(accumulator.nextMessage<ControlMessage>(), move);
    }
    ASSERT_FALSE(accumulator.nextMessage<ControlMessage>()) << index;
  }
}

TEST(FrameAccumulatorTest, BadFrameFailsUntilDiscardedOrReset) {
  FrameAccumulator accumulator;
  accumulator.append(join(detail::frameJsonText(R"({"mouseMove":{"x":1}})", 100), frameOf(move)));

  EXPECT_THROW(accumulator.nextMessage<ControlMessage>(), DecodingError);
  EXPECT_THROW(accumulator.nextMessage<ControlMessage>(), DecodingError);
  EXPECT_TRUE(accumulator.discardFrontFrame());
  EXPECT_EQ(accumulator.nextMessage<ControlMessage>(), move);

  // An oversized prefix fails before its payload arrives, and cannot be skipped.
  accumulator.append(Bytes{0x00, 0x10, 0x00, 0x01});
  EXPECT_THROW(accumulator.nextMessage<ControlMessage>(), DecodingError);
  EXPECT_FALSE(accumulator.discardFrontFrame());
  accumulator.reset();
  accumulator.append(frameOf(key));
  EXPECT_EQ(accumulator.nextMessage<ControlMessage>(), key);
}

}  // namespace
}  // namespace velmora
