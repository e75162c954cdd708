#pragma once

// What both screen animators (X11 and Wayland) draw, so that the benchmark compares the two
// desktops on the same pictures: the moving texture and the still wallpaper around it.

#include <cstdint>
#include <vector>

#include "platform/x11/x11_monitor_layout.h"

namespace velmora {

// The moving texture repeats every this many pixels both ways, so that a picture one period
// larger than the animated area holds every offset.
constexpr int kTexturePeriod = 256;
// Pixels the texture moves per frame: a pan that every frame of the area takes part in.
constexpr int kTextureStepX = 3;
constexpr int kTextureStepY = 2;

// The texture's pixel (0xRRGGBB) at (x, y).
std::uint32_t texel(int x, int y);

// The area that animates on `monitor`: the middle ninth, or all of it for full motion.
PixelRect animatedArea(const PixelRect& monitor, bool fullMotion);

struct FilledRect {
  PixelRect area;
  std::uint32_t rgb = 0;
};

// A gradient with two still windows of text-like lines, as rectangles painted in order: what
// the rest of a desktop in use shows.
std::vector<FilledRect> wallpaperRects(const PixelRect& monitor);

}  // namespace velmora
