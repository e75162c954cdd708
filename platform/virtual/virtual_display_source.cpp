#include "platform/virtual/virtual_display_source.h"

#include <charconv>
#include <cmath>
#include <string>

namespace velmora {
namespace {

constexpr std::size_t kMaximumDisplays = 16;
constexpr double kMaximumPoints = 16384;
constexpr double kMaximumScale = 4;

bool parseNumber(std::string_view text, double& value) {
  if (text.empty()) {
    return false;
  }
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size() && std::isfinite(value);
}

}  // namespace

Result<VirtualDisplayLayout> parseVirtualDisplayLayout(std::string_view text) {
  VirtualDisplayLayout layout;
  while (true) {
    const auto comma = text.find(',');
    const std::string_view item = text.substr(0, comma);
    const auto invalid = [&](std::string_view why) {
      return Result<VirtualDisplayLayout>::failure("invalid virtual display '" + std::string(item) + "': " + std::string(why));
    };

    const auto cross = item.find('x');
    const auto at = item.find('@');
    if (cross == std::string_view::npos) {
      return invalid("expected WIDTHxHEIGHT[@SCALE]");
    }
    VirtualDisplayLayoutEntry entry;
    if (!parseNumber(item.substr(0, cross), entry.width) ||
        !parseNumber(item.substr(cross + 1, at == std::string_view::npos ? std::string_view::npos : at - cross - 1),
                     entry.height) ||
        (at != std::string_view::npos && !parseNumber(item.substr(at + 1), entry.scale))) {
      return invalid("expected WIDTHxHEIGHT[@SCALE] with numbers");
    }
    if (entry.width < 1 || entry.height < 1 || entry.width > kMaximumPoints || entry.height > kMaximumPoints) {
      return invalid("width and height must be between 1 and 16384 points");
    }
    if (entry.scale < 1 || entry.scale > kMaximumScale) {
      return invalid("scale must be between 1 and 4");
    }
    layout.push_back(entry);
    if (layout.size() > kMaximumDisplays) {
      return Result<VirtualDisplayLayout>::failure("at most 16 virtual displays are supported");
    }
    if (comma == std::string_view::npos) {
      return layout;
    }
    text.remove_prefix(comma + 1);
  }
}

VirtualDisplaySource::VirtualDisplaySource(VirtualDisplayLayout layout) : layout_(std::move(layout)) {}

void VirtualDisplaySource::setLayout(VirtualDisplayLayout layout) {
  std::lock_guard lock(layoutLock_);
  layout_ = std::move(layout);
}

std::vector<ScreenDescription> VirtualDisplaySource::screens() const {
  std::lock_guard lock(layoutLock_);
  std::vector<ScreenDescription> screens;
  double left = 0;
  for (std::size_t index = 0; index < layout_.size(); ++index) {
    const auto& entry = layout_[index];
    screens.push_back(ScreenDescription{static_cast<std::uint32_t>(index + 1), "Virtual Display " + std::to_string(index + 1),
                                        Rect{left, 0, entry.width, entry.height}, entry.scale});
    left += entry.width;
  }
  return screens;
}

std::uint32_t VirtualDisplaySource::mainDisplayID() const {
  std::lock_guard lock(layoutLock_);
  return layout_.empty() ? 0 : 1;
}

std::vector<std::uint32_t> VirtualDisplaySource::activeDisplayIDs() const {
  std::lock_guard lock(layoutLock_);
  std::vector<std::uint32_t> ids;
  for (std::size_t index = 0; index < layout_.size(); ++index) {
    ids.push_back(static_cast<std::uint32_t>(index + 1));
  }
  return ids;
}

std::uint32_t VirtualDisplaySource::mirroredDisplayID(std::uint32_t) const { return 0; }

}  // namespace velmora
