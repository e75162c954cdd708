#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/desktop/display_identity.h"

struct wl_output;

namespace velmora {

class WaylandConnection;

// One compositor output as its events describe it.
struct WaylandOutput {
  std::uint32_t displayID = 0;  // from the name: the same across unplug and replug
  std::string name;             // the connector, e.g. "DP-1" or "HEADLESS-1"
  std::string description;
  // In the compositor's logical layout (points, origin at the top-left of the layout, y down).
  int logicalX = 0;
  int logicalY = 0;
  int logicalWidth = 0;
  int logicalHeight = 0;
  // The current mode in pixels, as the output is shown (turned by its transform).
  int pixelWidth = 0;
  int pixelHeight = 0;
  std::int32_t integerScale = 1;  // wl_output.scale: what buffers of clients are drawn at
  wl_output* proxy = nullptr;     // on the connection the outputs were read from

  // Pixels per point: fractional where the compositor scales so (logical size against the mode).
  double scale() const {
    return logicalWidth > 0 && pixelWidth > 0 ? static_cast<double>(pixelWidth) / logicalWidth : integerScale;
  }
};

// No Wayland protocol names a primary output: the main one is at the layout's origin, or the
// first announced where none is. Null without outputs.
const WaylandOutput* mainOutput(const std::vector<WaylandOutput>& outputs);

// The outputs of one connection, kept current as the compositor announces, changes and withdraws
// them. Takes the connection's globals handler; used on the connection's thread.
class WaylandOutputs {
 public:
  // Binds every output (and xdg-output for names and logical geometry, where the compositor has
  // it) and waits until each has described itself.
  explicit WaylandOutputs(WaylandConnection& connection);
  ~WaylandOutputs();
  WaylandOutputs(const WaylandOutputs&) = delete;
  WaylandOutputs& operator=(const WaylandOutputs&) = delete;

  // The outputs that have described themselves fully, in the order the compositor announced them.
  std::vector<WaylandOutput> outputs() const;
  // Called after an output came, went or changed (mode, scale, position, name), once its
  // description is complete; during dispatch on the connection's thread.
  void setChangeHandler(std::function<void()> handler);

  struct Entry;

 private:
  void add(std::uint32_t globalName, std::uint32_t version);
  void remove(std::uint32_t globalName);

  WaylandConnection& connection_;
  struct XdgManager;
  std::unique_ptr<XdgManager> xdgManager_;
  std::vector<std::unique_ptr<Entry>> entries_;
  std::function<void()> changeHandler_;
};

}  // namespace velmora
