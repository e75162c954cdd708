#include "platform/x11/x11_monitor_layout.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>

namespace velmora {
namespace {

constexpr double kReferenceDpi = 96;
// Outside this range an Xft.dpi value is a typo, not a screen.
constexpr double kSmallestScale = 0.5;
constexpr double kLargestScale = 8;

constexpr std::size_t kEdidBlockSize = 128;
constexpr std::array<std::uint8_t, 8> kEdidHeader = {0x00, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x00};
constexpr std::array<std::size_t, 4> kEdidDescriptorOffsets = {54, 72, 90, 108};
constexpr std::uint8_t kEdidProductNameTag = 0xfc;
constexpr std::size_t kEdidDescriptorTextOffset = 5;
constexpr std::size_t kEdidDescriptorTextLength = 13;

std::string_view trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) {
    return {};
  }
  const auto last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

}  // namespace

std::uint32_t mainMonitorID(const std::vector<X11Monitor>& monitors) {
  const auto primary = std::find_if(monitors.begin(), monitors.end(), [](const X11Monitor& monitor) { return monitor.isPrimary; });
  if (primary != monitors.end()) {
    return primary->displayID;
  }
  return monitors.empty() ? 0 : monitors.front().displayID;
}

std::optional<PixelRect> monitorArea(const std::vector<X11Monitor>& monitors, std::uint32_t displayID) {
  for (const auto& monitor : monitors) {
    if (monitor.displayID == displayID) {
      return monitor.area;
    }
  }
  return std::nullopt;
}

std::uint32_t mirroredMonitorID(const std::vector<X11Monitor>& monitors, std::uint32_t displayID) {
  for (auto monitor = monitors.begin(); monitor != monitors.end(); ++monitor) {
    if (monitor->displayID != displayID) {
      continue;
    }
    const auto original = std::find_if(monitors.begin(), monitor, [&](const X11Monitor& earlier) {
      return earlier.area == monitor->area && earlier.displayID != displayID;
    });
    return original == monitor ? 0 : original->displayID;
  }
  return 0;
}

std::vector<ScreenDescription> screenDescriptions(const std::vector<X11Monitor>& monitors, double scale) {
  const auto mainArea = monitorArea(monitors, mainMonitorID(monitors));
  if (!mainArea) {
    return {};
  }
  const auto asRect = [](const PixelRect& area) {
    return Rect{static_cast<double>(area.x), static_cast<double>(area.y), static_cast<double>(area.width),
                static_cast<double>(area.height)};
  };
  std::vector<ScreenDescription> descriptions;
  descriptions.reserve(monitors.size());
  for (const auto& monitor : monitors) {
    // Flipped in pixels, then scaled: whole pixels keep the arithmetic exact.
    const Rect frame = flippedAboutMainDisplay(asRect(monitor.area), asRect(*mainArea));
    descriptions.push_back(ScreenDescription{monitor.displayID, monitor.name,
                                             Rect{frame.x / scale, frame.y / scale, frame.width / scale, frame.height / scale},
                                             scale});
  }
  return descriptions;
}

double scaleFromResources(std::string_view resources) {
  std::optional<double> dpi;
  while (!resources.empty()) {
    const auto end = resources.find('\n');
    const std::string_view line = resources.substr(0, end);
    resources = end == std::string_view::npos ? std::string_view{} : resources.substr(end + 1);
    const auto colon = line.find(':');
    if (colon == std::string_view::npos || trimmed(line.substr(0, colon)) != "Xft.dpi") {
      continue;
    }
    const std::string_view text = trimmed(line.substr(colon + 1));
    double value = 0;
    const auto [rest, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    // Later entries override earlier ones, as in the resource manager.
    dpi = error == std::errc{} && rest == text.data() + text.size() ? std::optional(value) : std::nullopt;
  }
  if (!dpi || !std::isfinite(*dpi)) {
    return 1;
  }
  const double scale = *dpi / kReferenceDpi;
  return scale >= kSmallestScale && scale <= kLargestScale ? scale : 1;
}

std::optional<std::string> edidProductName(std::span<const std::uint8_t> edid) {
  if (edid.size() < kEdidBlockSize || !std::equal(kEdidHeader.begin(), kEdidHeader.end(), edid.begin())) {
    return std::nullopt;
  }
  for (const std::size_t offset : kEdidDescriptorOffsets) {
    const auto descriptor = edid.subspan(offset, 18);
    // A display descriptor starts with a zero pixel clock where a timing descriptor has its own.
    if (descriptor[0] != 0 || descriptor[1] != 0 || descriptor[2] != 0 || descriptor[3] != kEdidProductNameTag) {
      continue;
    }
    std::string name;
    for (const std::uint8_t byte : descriptor.subspan(kEdidDescriptorTextOffset, kEdidDescriptorTextLength)) {
      if (byte == '\n') {
        break;
      }
      if (byte >= 0x20 && byte < 0x7f) {
        name.push_back(static_cast<char>(byte));
      }
    }
    const auto kept = trimmed(name);
    if (!kept.empty()) {
      return std::string(kept);
    }
  }
  return std::nullopt;
}

}  // namespace velmora
