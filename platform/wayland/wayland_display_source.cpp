#include "platform/wayland/wayland_display_source.h"

#include <algorithm>

#include "platform/log/log.h"

namespace velmora {
namespace {

const log::Logger logger("App");

}  // namespace

Result<std::shared_ptr<WaylandDisplaySource>> WaylandDisplaySource::open(
    const std::string& socketName, WaylandSharedConnection::LossHandler onConnectionLost) {
  auto connection = WaylandSharedConnection::open(socketName, std::move(onConnectionLost));
  if (!connection) {
    return Result<std::shared_ptr<WaylandDisplaySource>>::failure(connection.error());
  }
  auto source = create(connection.value());
  connection.value()->start();
  return source;
}

std::shared_ptr<WaylandDisplaySource> WaylandDisplaySource::create(std::shared_ptr<WaylandSharedConnection> connection) {
  return std::make_shared<WaylandDisplaySource>(PrivateTag{}, std::move(connection));
}

WaylandDisplaySource::WaylandDisplaySource(PrivateTag, std::shared_ptr<WaylandSharedConnection> connection)
    : connection_(std::move(connection)) {
  publishOutputs();
  outputsWatch_ = connection_->watchOutputs([this] { publishOutputs(); });
}

WaylandDisplaySource::~WaylandDisplaySource() {
  connection_->performOrRunHere([this] {
    connection_->stopWatchingOutputs(outputsWatch_);
    primaryWatch_.reset();
  });
}

// On the connection's thread, or before it starts.
void WaylandDisplaySource::publishOutputs() {
  const auto outputs = connection_->outputs().outputs();
  std::vector<LaidOutDisplay> displays;
  for (const auto& output : outputs) {
    displays.push_back(LaidOutDisplay{output.displayID, output.name, static_cast<double>(output.logicalX),
                                      static_cast<double>(output.logicalY), static_cast<double>(output.logicalWidth),
                                      static_cast<double>(output.logicalHeight), output.scale()});
  }
  logger.info("Wayland outputs: {} output(s)", displays.size());
  const auto preferred = std::find_if(outputs.begin(), outputs.end(), [this](const WaylandOutput& output) {
    return !preferredMainOutput_.empty() && output.name == preferredMainOutput_;
  });
  const WaylandOutput* main = preferred != outputs.end() ? &*preferred : mainOutput(outputs);
  replaceDisplays(std::move(displays), main != nullptr ? main->displayID : 0);
}

void WaylandDisplaySource::preferMainOutput(std::string name) {
  if (name == preferredMainOutput_) {
    return;
  }
  preferredMainOutput_ = std::move(name);
  publishOutputs();
}

}  // namespace velmora
