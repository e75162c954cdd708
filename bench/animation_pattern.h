#pragma once

// What both screen animators (X11 and Wayland) draw, so that the benchmark compares the two
// desktops on the same pictures: the moving texture and the still wallpaper around it.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>
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

enum class Content { window, motion, still };

// "window", "motion" or "still"; none for anything else.
std::optional<Content> parseContent(std::string_view text);
// Frames per second from 1 to 1000; none for anything else.
std::optional<int> parseFrameRate(std::string_view text);

// The process's CPU time so far, user and system, in seconds.
double processCpuSeconds();
// Writes an animator's closing JSON line: frames, seconds, framesPerSecond, lateFrames (drawn more
// than one interval after they were due), cpuMillisecondsPerFrame (CPU since `startCpuSeconds`).
void printAnimationReport(std::uint32_t frames, std::chrono::steady_clock::time_point start, std::uint64_t lateFrames,
                          double startCpuSeconds);

}  // namespace velmora
