#include "platform/x11/x11_display_source.h"

#include "platform/log/log.h"
#include "platform/x11/x11_monitors.h"

namespace velmora {

Result<std::shared_ptr<X11DisplaySource>> X11DisplaySource::open(const std::string& displayName) {
  auto connection = openX11Connection(displayName);
  if (!connection) {
    return Result<std::shared_ptr<X11DisplaySource>>::failure(connection.error());
  }
  if (const auto monitors = readX11Monitors(connection.value().get()); !monitors) {
    return Result<std::shared_ptr<X11DisplaySource>>::failure(monitors.error());
  }
  return std::make_shared<X11DisplaySource>(PrivateTag{}, std::move(connection.value()));
}

X11DisplaySource::X11DisplaySource(PrivateTag, X11Connection connection) : connection_(std::move(connection)) {}

std::vector<ScreenDescription> X11DisplaySource::screens() const {
  return screenDescriptions(readMonitors(false), readXftScale(connection_.get()));
}

std::uint32_t X11DisplaySource::mainDisplayID() const { return mainMonitorID(readMonitors(false)); }

std::vector<std::uint32_t> X11DisplaySource::activeDisplayIDs() const {
  std::vector<std::uint32_t> displayIDs;
  for (const auto& monitor : readMonitors(true)) {
    displayIDs.push_back(monitor.displayID);
  }
  return displayIDs;
}

std::uint32_t X11DisplaySource::mirroredDisplayID(std::uint32_t displayID) const {
  return mirroredMonitorID(readMonitors(false), displayID);
}

std::vector<X11Monitor> X11DisplaySource::monitors() const { return readMonitors(true); }

std::vector<X11Monitor> X11DisplaySource::readMonitors(bool activeOnly) const {
  auto monitors = readX11Monitors(connection_.get(), activeOnly);
  if (!monitors) {
    log::Logger("App").error("Cannot read the X monitors: {}", monitors.error());
    return {};
  }
  return std::move(monitors.value());
}

}  // namespace velmora
