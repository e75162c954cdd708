#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "protocol/velmora_constants.h"

namespace velmora {

// The 16 big-endian bytes in front of every video datagram.
struct FramePacketHeader {
  static constexpr std::uint16_t keyframeFlag = 1;

  std::uint32_t frameID = 0;
  std::uint16_t fragmentIndex = 0;
  std::uint16_t fragmentCount = 0;
  std::uint32_t totalSize = 0;
  std::uint16_t flags = 0;
  std::uint16_t displayID = 0;

  FramePacketHeader() = default;
  FramePacketHeader(std::uint32_t frame, std::uint16_t index, std::uint16_t count, std::uint32_t size, bool keyframe,
                    std::uint16_t display)
      : frameID(frame),
        fragmentIndex(index),
        fragmentCount(count),
        totalSize(size),
        flags(keyframe ? keyframeFlag : 0),
        displayID(display) {}

  bool isKeyframe() const { return (flags & keyframeFlag) != 0; }

  std::array<std::uint8_t, VelmoraConstants::framePacketHeaderSize> serialize() const;
  void serialize(std::span<std::uint8_t, VelmoraConstants::framePacketHeaderSize> out) const;
  // Nothing when fewer than 16 bytes are given; later bytes are not looked at. Only the keyframe
  // bit of the flags is kept.
  static std::optional<FramePacketHeader> deserialize(std::span<const std::uint8_t> bytes);

  bool operator==(const FramePacketHeader&) const = default;
};

}  // namespace velmora
