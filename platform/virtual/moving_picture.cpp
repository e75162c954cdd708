#include "platform/virtual/moving_picture.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <numbers>

namespace velmora {
namespace {

struct BarColour {
  int luma;
  std::uint8_t cb;
  std::uint8_t cr;
};

// 75% colour bars in BT.709 video range: white, yellow, cyan, green, magenta, red, blue, black.
constexpr std::array<BarColour, 8> kBars = {{
    {180, 128, 128},
    {168, 44, 136},
    {145, 147, 44},
    {133, 63, 52},
    {63, 193, 204},
    {51, 109, 212},
    {28, 212, 120},
    {16, 128, 128},
}};

constexpr int kHorizontalSpeed = 4;  // pixels per frame; even, so that chroma moves with luma
constexpr int kBandHeight = 32;
constexpr int kBandSpeed = 2;  // rows per frame
constexpr int kRowsPerSlantStep = 4;

std::uint8_t videoRange(int luma) { return static_cast<std::uint8_t>(std::clamp(luma, 16, 235)); }

}  // namespace

MovingPicture::MovingPicture(int width, int height) : width_(width), height_(height) {
  const auto length = static_cast<std::size_t>(2 * width_);
  lumaRows_[0].resize(length);
  lumaRows_[1].resize(length);
  chromaRow_.resize(length);
  for (int x = 0; x < 2 * width_; ++x) {
    const int inPeriod = x % width_;
    const auto& bar = kBars[static_cast<std::size_t>(inPeriod * static_cast<int>(kBars.size()) / width_)];
    const auto index = static_cast<std::size_t>(x);
    lumaRows_[0][index] = videoRange(bar.luma + ((inPeriod >> 1) & 15) - 8);
    lumaRows_[1][index] = videoRange(bar.luma + (((inPeriod * 5) >> 2) & 31) - 16);
    chromaRow_[index] = (x % 2 == 0) ? bar.cb : bar.cr;
  }
}

int MovingPicture::shiftOfRow(int y, std::uint32_t frameNumber) const {
  const auto base = static_cast<std::uint64_t>(frameNumber) * kHorizontalSpeed;
  const auto slant = static_cast<std::uint64_t>(2 * (y / kRowsPerSlantStep));
  // Both terms are even and so is the width: the shift is an even pixel offset, the same
  // offset in bytes of the interleaved chroma row.
  return static_cast<int>((base + slant) % static_cast<std::uint64_t>(width_));
}

void MovingPicture::render(PixelBuffer& picture, std::uint32_t frameNumber) const {
  if (picture.width() != width_ || picture.height() != height_) {
    return;
  }
  const auto rowBytes = static_cast<std::size_t>(width_);
  const auto bandOffset = static_cast<std::uint64_t>(frameNumber) * kBandSpeed;
  for (int y = 0; y < height_; ++y) {
    const auto band = ((static_cast<std::uint64_t>(y) + bandOffset) / kBandHeight) % 2;
    std::memcpy(picture.luma() + static_cast<std::ptrdiff_t>(y) * picture.lumaStride(),
                lumaRows_[band].data() + shiftOfRow(y, frameNumber), rowBytes);
  }
  for (int y = 0; y < height_ / 2; ++y) {
    std::memcpy(picture.chroma() + static_cast<std::ptrdiff_t>(y) * picture.chromaStride(),
                chromaRow_.data() + shiftOfRow(2 * y, frameNumber), rowBytes);
  }
}

void MovingPicture::drawCursor(PixelBuffer& picture, std::uint32_t frameNumber) const {
  constexpr int kCursorHeight = 16;
  if (picture.width() != width_ || picture.height() != height_ || width_ < kCursorHeight || height_ < kCursorHeight) {
    return;
  }
  const double angle = static_cast<double>(frameNumber % 720) * (2 * std::numbers::pi / 720);
  const double radius = std::min(width_, height_) / 4.0;
  const int left = std::clamp(static_cast<int>(width_ / 2.0 + radius * std::cos(angle)), 0, width_ - kCursorHeight);
  const int top = std::clamp(static_cast<int>(height_ / 2.0 + radius * std::sin(angle)), 0, height_ - kCursorHeight);
  for (int row = 0; row < kCursorHeight; ++row) {
    const int rowWidth = row * 3 / 4 + 1;
    std::uint8_t* luma = picture.luma() + static_cast<std::ptrdiff_t>(top + row) * picture.lumaStride() + left;
    for (int column = 0; column < rowWidth; ++column) {
      const bool edge = column == 0 || column == rowWidth - 1 || row == kCursorHeight - 1;
      luma[column] = edge ? 16 : 235;
    }
  }
}

}  // namespace velmora
