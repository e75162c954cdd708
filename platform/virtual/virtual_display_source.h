#pragma once

#include <mutex>
#include <string_view>
#include <vector>

#include "platform/display_source.h"
#include "platform/result.h"

namespace velmora {

struct VirtualDisplayLayoutEntry {
  double width = 0;   // points
  double height = 0;  // points
  double scale = 1;   // pixels per point

  bool operator==(const VirtualDisplayLayoutEntry&) const = default;
};

using VirtualDisplayLayout = std::vector<VirtualDisplayLayoutEntry>;

// Parses "1920x1080,1280x800@2": sizes in points with an optional scale, left to right.
Result<VirtualDisplayLayout> parseVirtualDisplayLayout(std::string_view text);

// Displays that exist only in this process: placed left to right along their bottom edges, the
// first one main, numbered 1, 2, 3 ... in layout order. The layout can be changed at run time to
// stand for displays being plugged in or removed.
class VirtualDisplaySource : public DisplaySource {
 public:
  explicit VirtualDisplaySource(VirtualDisplayLayout layout);

  void setLayout(VirtualDisplayLayout layout);

  std::vector<ScreenDescription> screens() const override;
  std::uint32_t mainDisplayID() const override;
  std::vector<std::uint32_t> activeDisplayIDs() const override;
  std::uint32_t mirroredDisplayID(std::uint32_t displayID) const override;

 private:
  mutable std::mutex layoutLock_;
  VirtualDisplayLayout layout_;
};

}  // namespace velmora
