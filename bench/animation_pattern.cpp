#include "bench/animation_pattern.h"

#include <sys/resource.h>

#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <numbers>

#include <nlohmann/json.hpp>

namespace velmora {

// Soft colour waves with rings and fine diagonal lines over them: detail that an encoder has to
// follow as it moves.
std::uint32_t texel(int x, int y) {
  static const auto wave = [] {
    std::array<int, kTexturePeriod> values{};
    for (int index = 0; index < kTexturePeriod; ++index) {
      values[static_cast<std::size_t>(index)] =
          128 + static_cast<int>(std::lround(100 * std::sin(2 * std::numbers::pi * index / kTexturePeriod)));
    }
    return values;
  }();
  const int u = x % kTexturePeriod;
  const int v = y % kTexturePeriod;
  int red = wave[static_cast<std::size_t>(u)];
  int green = wave[static_cast<std::size_t>((v + 85) % kTexturePeriod)];
  int blue = wave[static_cast<std::size_t>((u + v + 170) % kTexturePeriod)];
  const int dx = u % 64 - 32;
  const int dy = v % 64 - 32;
  const int distanceSquared = dx * dx + dy * dy;
  if (distanceSquared > 18 * 18 && distanceSquared < 22 * 22) {
    red = green = blue = 245;
  } else if ((u + 2 * v) % 16 < 2) {
    red /= 2;
    green /= 2;
    blue /= 2;
  }
  return static_cast<std::uint32_t>(red << 16 | green << 8 | blue);
}

PixelRect animatedArea(const PixelRect& monitor, bool fullMotion) {
  if (fullMotion) {
    return monitor;
  }
  return {monitor.x + monitor.width / 3, monitor.y + monitor.height / 3, monitor.width / 3, monitor.height / 3};
}

std::vector<FilledRect> wallpaperRects(const PixelRect& monitor) {
  std::vector<FilledRect> rects;
  constexpr int kBand = 4;
  for (int y = 0; y < monitor.height; y += kBand) {
    const auto shade = static_cast<std::uint32_t>(40 + 80 * y / monitor.height);
    rects.push_back({{monitor.x, monitor.y + y, monitor.width, kBand}, shade << 8 | (shade + 60)});
  }
  std::uint32_t seed = 12345;
  const auto nextRandom = [&seed](int limit) {
    seed = seed * 1103515245U + 12345U;
    return static_cast<int>((seed >> 16) % static_cast<std::uint32_t>(limit));
  };
  const PixelRect windows[] = {
      {monitor.x + monitor.width / 20, monitor.y + monitor.height / 6, monitor.width / 4, monitor.height / 2},
      {monitor.x + monitor.width * 7 / 10, monitor.y + monitor.height / 8, monitor.width / 4, monitor.height * 2 / 3}};
  for (const PixelRect& window : windows) {
    rects.push_back({window, 0xF0F0F0});
    rects.push_back({{window.x, window.y, window.width, 24}, 0x3060A0});
    for (int y = window.y + 36; y + 10 < window.y + window.height; y += 16) {
      rects.push_back({{window.x + 12, y, 40 + nextRandom(window.width - 64), 9}, 0x303030});
    }
  }
  return rects;
}

std::optional<Content> parseContent(std::string_view text) {
  if (text == "window") {
    return Content::window;
  }
  if (text == "motion") {
    return Content::motion;
  }
  if (text == "still") {
    return Content::still;
  }
  return std::nullopt;
}

std::optional<int> parseFrameRate(std::string_view text) {
  int rate = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), rate);
  if (error != std::errc() || end != text.data() + text.size() || rate < 1 || rate > 1000) {
    return std::nullopt;
  }
  return rate;
}

double processCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void printAnimationReport(std::uint32_t frames, std::chrono::steady_clock::time_point start, std::uint64_t lateFrames,
                          double startCpuSeconds) {
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double cpu = processCpuSeconds() - startCpuSeconds;
  const nlohmann::json report = {{"frames", frames},
                                 {"seconds", seconds},
                                 {"framesPerSecond", seconds > 0 ? frames / seconds : 0.0},
                                 {"lateFrames", lateFrames},
                                 {"cpuMillisecondsPerFrame", frames > 0 ? cpu * 1000 / frames : 0.0}};
  std::printf("%s\n", report.dump().c_str());
}

}  // namespace velmora
