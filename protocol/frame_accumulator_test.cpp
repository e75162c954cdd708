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

TEST(FrameAccumulatorTest, GluedFramesComeOutInOrder) {
  FrameAccumulator accumulator;
  accumulator.append(join(frameOf(move), frameOf(key)));

  EXPECT_EQ(accumulator.nextMessage<ControlMessage>(), move);
  EXPECT_EQ(accumulator.nextMessage<ControlMessage>(), key);
  EXPECT_FALSE(accumulator.nextMessage<ControlMessage>());
}

TEST(FrameAccumulatorTest, StartOfTheNextFrameStaysBuffered) {
  FrameAccumulator accumulator;
  const Bytes second = frameOf(key);
  accumulator.append(join(frameOf(move), Bytes(second.begin(), second.begin() + 6)));

  EXPECT_EQ(accumulator.nextMessage<ControlMessage>(), move);
  EXPECT_FALSE(accumulator.nextMessage<ControlMessage>());
  accumulator.append(Bytes(second.begin() + 6, second.end()));
  EXPECT_EQ(accumulator.nextMessage<ControlMessage>(), key);
}

TEST(FrameAccumulatorTest, BadFrameFailsUntilReset) {
  FrameAccumulator accumulator;
  accumulator.append(join(detail::frameJsonText("{broken", 100), frameOf(move)));

  EXPECT_THROW(accumulator.nextMessage<ControlMessage>(), DecodingError);
  EXPECT_THROW(accumulator.nextMessage<ControlMessage>(), DecodingError);
  accumulator.reset();
  EXPECT_FALSE(accumulator.nextMessage<ControlMessage>());
  accumulator.append(frameOf(key));
  EXPECT_EQ(accumulator.nextMessage<ControlMessage>(), key);
}

TEST(FrameAccumulatorTest, DiscardingTheBadFrameKeepsTheFramesBehindIt) {
  FrameAccumulator accumulator;
  accumulator.append(join(detail::frameJsonText(R"({"mouseMove":{"x":1}})", 100), frameOf(move)));

  EXPECT_THROW(accumulator.nextMessage<ControlMessage>(), DecodingError);
  EXPECT_TRUE(accumulator.discardFrontFrame());
  EXPECT_EQ(accumulator.nextMessage<ControlMessage>(), move);
  EXPECT_FALSE(accumulator.discardFrontFrame());

  accumulator.append(Bytes{0x00, 0x10, 0x00, 0x01, '{', '}'});
  EXPECT_FALSE(accumulator.discardFrontFrame());
  EXPECT_THROW(accumulator.nextMessage<ControlMessage>(), DecodingError);
}

TEST(FrameAccumulatorTest, OversizedPrefixFailsBeforeItsPayloadArrives) {
  FrameAccumulator accumulator;
  accumulator.append(Bytes{0x00, 0x10, 0x00, 0x01});

  try {
    accumulator.nextMessage<HandshakeMessage>();
    FAIL() << "no error";
  } catch (const DecodingError& error) {
    EXPECT_STREQ(error.what(), "dataCorrupted: Frame payload size 1048577 exceeds maximum 1048576");
  }
  EXPECT_THROW(accumulator.nextMessage<HandshakeMessage>(), DecodingError);
}

TEST(FrameAccumulatorTest, HandshakeFollowedByControlMessageInOneChunk) {
  FrameAccumulator accumulator;
  const HandshakeMessage hello = ClientHello{2, 0, 1080, 60, "Vision", std::nullopt, "0042"};
  accumulator.append(join(MessageCoder::shared().encode(hello), frameOf(move)));

  EXPECT_EQ(accumulator.nextMessage<HandshakeMessage>(), hello);
  EXPECT_EQ(accumulator.nextMessage<ControlMessage>(), move);
}

}  // namespace
}  // namespace velmora
