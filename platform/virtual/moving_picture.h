#pragma once

#include <cstdint>
#include <vector>

#include "platform/sample_buffer.h"

namespace velmora {

// The moving picture of a virtual display: slanted colour bars with fine texture that slide
// sideways while bands of two textures move down, so that every pixel changes every frame as in
// full-motion video, yet encoders find the motion. Rendering copies precomputed rows only.
class MovingPicture {
 public:
  // Width and height even and positive, as in every NV12 picture.
  MovingPicture(int width, int height);

  // Draws frame `frameNumber` of the animation into a picture of the pattern's size.
  void render(PixelBuffer& picture, std::uint32_t frameNumber) const;
  // A pointer shape moving in a circle, drawn over the picture.
  void drawCursor(PixelBuffer& picture, std::uint32_t frameNumber) const;

  int width() const { return width_; }
  int height() const { return height_; }

 private:
  int shiftOfRow(int y, std::uint32_t frameNumber) const;

  int width_;
  int height_;
  // Two periods of each row pattern, so that any shift below the width reads a whole row.
  std::vector<std::uint8_t> lumaRows_[2];
  std::vector<std::uint8_t> chromaRow_;
};

}  // namespace velmora
