#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/display_source.h"
#include "platform/result.h"
#include "platform/x11/x11_connection.h"
#include "platform/x11/x11_monitor_layout.h"

namespace velmora {

// The RandR monitors of an X screen as displays, numbered by their name atoms. The primary monitor
// is main (the first when none is); frames are in points with the scale of Xft.dpi / 96. A monitor
// with the same area as an earlier one mirrors it. Every call reads the server afresh, on its
// own connection.
class X11DisplaySource : public DisplaySource {
  struct PrivateTag {};

 public:
  // Fails when the display cannot be opened or has no RandR 1.5.
  static Result<std::shared_ptr<X11DisplaySource>> open(const std::string& displayName = {});

  X11DisplaySource(PrivateTag, X11Connection connection);

  std::vector<ScreenDescription> screens() const override;
  std::uint32_t mainDisplayID() const override;
  std::vector<std::uint32_t> activeDisplayIDs() const override;
  std::uint32_t mirroredDisplayID(std::uint32_t displayID) const override;

  // The lit monitors as the server has them now, in root-window pixels; empty on failure.
  std::vector<X11Monitor> monitors() const;

 private:
  std::vector<X11Monitor> readMonitors(bool activeOnly) const;

  const X11Connection connection_;
};

}  // namespace velmora
