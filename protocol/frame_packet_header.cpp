#include "protocol/frame_packet_header.h"

namespace velmora {

namespace {

void put16(std::uint8_t* out, std::uint16_t value) {
  out[0] = static_cast<std::uint8_t>(value >> 8);
  out[1] = static_cast<std::uint8_t>(value);
}

void put32(std::uint8_t* out, std::uint32_t value) {
  out[0] = static_cast<std::uint8_t>(value >> 24);
  out[1] = static_cast<std::uint8_t>(value >> 16);
  out[2] = static_cast<std::uint8_t>(value >> 8);
  out[3] = static_cast<std::uint8_t>(value);
}

std::uint16_t get16(const std::uint8_t* in) {
  return static_cast<std::uint16_t>(in[0] << 8 | in[1]);
}

std::uint32_t get32(const std::uint8_t* in) {
  return static_cast<std::uint32_t>(in[0]) << 24 | static_cast<std::uint32_t>(in[1]) << 16 |
         static_cast<std::uint32_t>(in[2]) << 8 | in[3];
}

}  // namespace

std::array<std::uint8_t, VelmoraConstants::framePacketHeaderSize> FramePacketHeader::serialize() const {
  std::array<std::uint8_t, VelmoraConstants::framePacketHeaderSize> bytes{};
  serialize(bytes);
  return bytes;
}

void FramePacketHeader::serialize(std::span<std::uint8_t, VelmoraConstants::framePacketHeaderSize> out) const {
  put32(&out[0], frameID);
  put16(&out[4], fragmentIndex);
  put16(&out[6], fragmentCount);
  put32(&out[8], totalSize);
  put16(&out[12], flags);
  put16(&out[14], displayID);
}

std::optional<FramePacketHeader> FramePacketHeader::deserialize(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < VelmoraConstants::framePacketHeaderSize) {
    return std::nullopt;
  }
  const std::uint8_t* in = bytes.data();
  return FramePacketHeader(get32(in), get16(in + 4), get16(in + 6), get32(in + 8), (in[13] & keyframeFlag) != 0,
                           get16(in + 14));
}

}  // namespace velmora
