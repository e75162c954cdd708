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

TEST(FrameAccumulatorTest, ByteAtATimeCompletesOnlyOnTheLastByte) {
  FrameAccumulator accumulator;
  const Bytes frame = frameOf(move);

  for (std::size_t index = 0; index + 1 < frame.size(); ++index) {
    accumulator.append(std::span(frame).subspan(index, 1));
    ASSERT_FALSE(accumulator.nextMessage<ControlMessage>()) << index;
  }
  accumulator.append(std::span(frame).last(1));

  EXPECT_EQ(accumulator.nextMessage<ControlMessage>(), move);
  EXPECT_FALSE(accumulator.nextMessage<ControlMessage>());
}

TEST(FrameAccumulatorTest, GluedFramesComeOutInOrderAndAPartialOneStaysBuffered) {
  FrameAccumulator accumulator;
  const HandshakeMessage hello = ClientHello{2, 0, 1080, 60, "Vision", std::nullopt, "0042"};
  const Bytes last = frameOf(key);
  accumulator.append(join(join(MessageCoder::shared().encode(hello), frameOf(move)), Bytes(last.begin(), last.begin() + 6)));

  EXPECT_EQ(accumulator.nextMessage<HandshakeMessage>(), hello);
  EXPECT_EQ(accumulator.nextMessage<ControlMessage>(), move);
  EXPECT_FALSE(accumulator.nextMessage<ControlMessage>());
  accumulator.append(Bytes(last.begin() + 6, last.end()));
  EXPECT_EQ(accumulator.nextMessage<ControlMessage>(), key);
}

TEST(FrameAccumulatorTest, BadFrameFailsUntilDiscardedOrReset) {
  FrameAccumulator accumulator;
  accumulator.append(join(detail::frameJsonText(R"({"mouseMove":{"x":1}})", 100), frameOf(move)));

  EXPECT_THROW(accumulator.nextMessage<ControlMessage>(), DecodingError);
  EXPECT_THROW(accumulator.nextMessage<ControlMessage>(), DecodingError);
  EXPECT_TRUE(accumulator.discardFrontFrame());
  EXPECT_EQ(accumulator.nextMessage<ControlMessage>(), move);
  EXPECT_FALSE(accumulator.discardFrontFrame());

  accumulator.append(Bytes{0x00, 0x10, 0x00, 0x01, '{', '}'});
  EXPECT_FALSE(accumulator.discardFrontFrame()) << "an oversized frame cannot be skipped";
  EXPECT_THROW(accumulator.nextMessage<ControlMessage>(), DecodingError);
  accumulator.reset();
  EXPECT_FALSE(accumulator.nextMessage<ControlMessage>());
  accumulator.append(frameOf(key));
  EXPECT_EQ(accumulator.nextMessage<ControlMessage>(), key);
}

TEST(FrameAccumulatorTest, OversizedPrefixFailsBeforeItsPayloadArrives) {
  FrameAccumulator accumulator;
  accumulator.append(Bytes{0x00, 0x10, 0x00, 0x01});

  try {
    accumulator.nextMessage<HandshakeMessage>();
    FAIL() << "no error";
  } catch (const DecodingError& error) {
    EXPECT_EQ(error.kind(), DecodingError::Kind::dataCorrupted);
  }
}

}  // namespace
}  // namespace velmora
