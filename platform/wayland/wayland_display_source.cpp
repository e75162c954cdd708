#include "platform/wayland/wayland_display_source.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/log/log.h"
#include "platform/wayland/wayland_connection.h"

namespace velmora {
namespace {

const log::Logger logger("App");

}  // namespace

Result<std::shared_ptr<WaylandDisplaySource>> WaylandDisplaySource::open(const std::string& socketName,
                                                                          LossHandler onConnectionLost) {
  using Failure = Result<std::shared_ptr<WaylandDisplaySource>>;
  auto connection = WaylandConnection::open(socketName);
  if (!connection) {
    return Failure::failure(connection.error());
  }
  const int stopDescriptor = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (stopDescriptor < 0) {
    return Failure::failure(std::string("eventfd failed: ") + std::strerror(errno));
  }
  return std::make_shared<WaylandDisplaySource>(PrivateTag{}, std::move(connection.value()), stopDescriptor,
                                                std::move(onConnectionLost));
}

WaylandDisplaySource::WaylandDisplaySource(PrivateTag, std::unique_ptr<WaylandConnection> connection,
                                           int stopDescriptor, LossHandler onConnectionLost)
    : connection_(std::move(connection)),
      waylandOutputs_(std::make_unique<WaylandOutputs>(*connection_)),
      stopDescriptor_(stopDescriptor),
      onConnectionLost_(std::move(onConnectionLost)) {
  outputsChanged_ = true;
  publishOutputs();
  // Set before the thread starts, which owns the outputs from then on.
  waylandOutputs_->setChangeHandler([this] { outputsChanged_ = true; });
  outputThread_ = std::thread([this] { runOnOutputThread(); });
}

WaylandDisplaySource::~WaylandDisplaySource() {
  const std::uint64_t one = 1;
  [[maybe_unused]] const auto written = write(stopDescriptor_, &one, sizeof one);
  outputThread_.join();
  // Every proxy goes before the connection closes.
  waylandOutputs_.reset();
  close(stopDescriptor_);
}

void WaylandDisplaySource::runOnOutputThread() {
  const int wakeDescriptors[] = {stopDescriptor_};
  std::vector<bool> woken;
  while (true) {
    if (!connection_->dispatch(std::nullopt, wakeDescriptors, &woken)) {
      const auto reason = connection_->lostReason().value_or("connection lost");
      logger.error("Screen change notifications end: the Wayland connection is gone ({})", reason);
      if (onConnectionLost_) {
        onConnectionLost_("lost the Wayland compositor: " + reason);
      }
      return;
    }
    if (woken[0]) {
      return;
    }
    publishOutputs();
  }
}

// Everything read in one dispatch is one batch: one call per watcher, after the snapshot is new.
void WaylandDisplaySource::publishOutputs() {
  if (!outputsChanged_) {
    return;
  }
  outputsChanged_ = false;
  const auto outputs = waylandOutputs_->outputs();
  std::vector<LaidOutDisplay> displays;
  for (const auto& output : outputs) {
    displays.push_back(LaidOutDisplay{output.displayID, output.name, static_cast<double>(output.logicalX),
                                      static_cast<double>(output.logicalY), static_cast<double>(output.logicalWidth),
                                      static_cast<double>(output.logicalHeight), output.scale()});
  }
  logger.info("Wayland outputs: {} output(s)", displays.size());
  const WaylandOutput* main = mainOutput(outputs);
  replaceDisplays(std::move(displays), main != nullptr ? main->displayID : 0);
}

}  // namespace velmora
