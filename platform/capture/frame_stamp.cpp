#include "platform/capture/frame_stamp.h"

#include <array>
#include <bit>
#include <cstring>

namespace velmora {
namespace {

// Layout, row by row: a start pattern (16 blocks), the frame number and the capture time (96
// bits, most significant first) and a CRC-16 over those 12 bytes. Blocks this large in the two
// extremes of video range survive HEVC at low bit rates, and the checksum turns a misread into
// no stamp rather than a wrong one.
constexpr int kBlockSize = 16;
constexpr int kColumns = kFrameStampWidth / kBlockSize;
constexpr int kRows = kFrameStampHeight / kBlockSize;
constexpr int kBitCount = kColumns * kRows;
constexpr int kPayloadBytes = 12;
constexpr std::uint16_t kStartPattern = 0b1011001011100010;
constexpr std::uint8_t kBlack = 16;
constexpr std::uint8_t kWhite = 235;
constexpr std::uint8_t kNeutralChroma = 128;
// Only the middle of a block is read: its edges blur into the neighbours under compression.
constexpr int kSampleMargin = 4;
// A start pattern with less contrast than this between its white and black blocks is no stamp.
constexpr int kMinimumContrast = 64;

using Bits = std::array<bool, kBitCount>;
using Payload = std::array<std::uint8_t, kPayloadBytes>;

static_assert(kBitCount == 16 + kPayloadBytes * 8 + 16);

std::uint16_t crc16(const Payload& bytes) {
  std::uint16_t crc = 0xFFFF;  // CRC-16/CCITT-FALSE
  for (const std::uint8_t byte : bytes) {
    crc = static_cast<std::uint16_t>(crc ^ (byte << 8));
    for (int bit = 0; bit < 8; ++bit) {
      crc = static_cast<std::uint16_t>((crc & 0x8000) != 0 ? (crc << 1) ^ 0x1021 : crc << 1);
    }
  }
  return crc;
}

Payload encodePayload(const FrameStamp& stamp) {
  Payload bytes{};
  for (int index = 0; index < 4; ++index) {
    bytes[static_cast<std::size_t>(index)] = static_cast<std::uint8_t>(stamp.frameNumber >> (24 - 8 * index));
  }
  for (int index = 0; index < 8; ++index) {
    bytes[static_cast<std::size_t>(4 + index)] = static_cast<std::uint8_t>(stamp.captureTimeMicroseconds >> (56 - 8 * index));
  }
  return bytes;
}

FrameStamp decodePayload(const Payload& bytes) {
  FrameStamp stamp;
  for (int index = 0; index < 4; ++index) {
    stamp.frameNumber = (stamp.frameNumber << 8) | bytes[static_cast<std::size_t>(index)];
  }
  for (int index = 0; index < 8; ++index) {
    stamp.captureTimeMicroseconds = (stamp.captureTimeMicroseconds << 8) | bytes[static_cast<std::size_t>(4 + index)];
  }
  return stamp;
}

void putBits(Bits& bits, int& position, std::uint32_t value, int count) {
  for (int bit = count - 1; bit >= 0; --bit) {
    bits[static_cast<std::size_t>(position++)] = ((value >> bit) & 1) != 0;
  }
}

std::uint32_t getBits(const Bits& bits, int& position, int count) {
  std::uint32_t value = 0;
  for (int bit = 0; bit < count; ++bit) {
    value = (value << 1) | (bits[static_cast<std::size_t>(position++)] ? 1U : 0U);
  }
  return value;
}

bool fits(int stride, int width, int height) {
  return width >= kFrameStampWidth && height >= kFrameStampHeight && stride >= width;
}

int blockAverage(const std::uint8_t* luma, int lumaStride, int block) {
  const int left = (block % kColumns) * kBlockSize + kSampleMargin;
  const int top = (block / kColumns) * kBlockSize + kSampleMargin;
  const int side = kBlockSize - 2 * kSampleMargin;
  int sum = 0;
  for (int y = top; y < top + side; ++y) {
    const std::uint8_t* row = luma + static_cast<std::ptrdiff_t>(y) * lumaStride;
    for (int x = left; x < left + side; ++x) {
      sum += row[x];
    }
  }
  return sum / (side * side);
}

}  // namespace

void drawFrameStamp(std::uint8_t* luma, int lumaStride, std::uint8_t* chroma, int chromaStride, int width, int height,
                    const FrameStamp& stamp) {
  if (luma == nullptr || !fits(lumaStride, width, height)) {
    return;
  }
  const Payload payload = encodePayload(stamp);
  Bits bits{};
  int position = 0;
  putBits(bits, position, kStartPattern, 16);
  for (const std::uint8_t byte : payload) {
    putBits(bits, position, byte, 8);
  }
  putBits(bits, position, crc16(payload), 16);

  for (int y = 0; y < kFrameStampHeight; ++y) {
    std::uint8_t* row = luma + static_cast<std::ptrdiff_t>(y) * lumaStride;
    const int firstBlock = (y / kBlockSize) * kColumns;
    for (int column = 0; column < kColumns; ++column) {
      std::memset(row + column * kBlockSize, bits[static_cast<std::size_t>(firstBlock + column)] ? kWhite : kBlack,
                  kBlockSize);
    }
  }
  if (chroma != nullptr && chromaStride >= width) {
    for (int y = 0; y < kFrameStampHeight / 2; ++y) {
      std::memset(chroma + static_cast<std::ptrdiff_t>(y) * chromaStride, kNeutralChroma, kFrameStampWidth);
    }
  }
}

std::optional<FrameStamp> readFrameStamp(const std::uint8_t* luma, int lumaStride, int width, int height) {
  if (luma == nullptr || !fits(lumaStride, width, height)) {
    return std::nullopt;
  }
  std::array<int, kBitCount> levels{};
  for (int block = 0; block < kBitCount; ++block) {
    levels[static_cast<std::size_t>(block)] = blockAverage(luma, lumaStride, block);
  }

  // The threshold comes from the start pattern itself, so that a picture made darker or
  // brighter as a whole still reads.
  int whiteSum = 0;
  int blackSum = 0;
  for (int bit = 0; bit < 16; ++bit) {
    const bool white = ((kStartPattern >> (15 - bit)) & 1) != 0;
    (white ? whiteSum : blackSum) += levels[static_cast<std::size_t>(bit)];
  }
  constexpr int whiteCount = std::popcount(kStartPattern);
  const int whiteMean = whiteSum / whiteCount;
  const int blackMean = blackSum / (16 - whiteCount);
  if (whiteMean - blackMean < kMinimumContrast) {
    return std::nullopt;
  }
  const int threshold = (whiteMean + blackMean) / 2;

  Bits bits{};
  for (int block = 0; block < kBitCount; ++block) {
    bits[static_cast<std::size_t>(block)] = levels[static_cast<std::size_t>(block)] > threshold;
  }
  int position = 0;
  if (getBits(bits, position, 16) != kStartPattern) {
    return std::nullopt;
  }
  Payload payload{};
  for (auto& byte : payload) {
    byte = static_cast<std::uint8_t>(getBits(bits, position, 8));
  }
  if (getBits(bits, position, 16) != crc16(payload)) {
    return std::nullopt;
  }
  return decodePayload(payload);
}

}  // namespace velmora
