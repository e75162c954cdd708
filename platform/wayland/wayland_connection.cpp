#include "platform/wayland/wayland_connection.h"

#include <poll.h>
#include <wayland-client.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace velmora {

namespace {
constexpr std::chrono::seconds kFirstAnswerDeadline{5};
}  // namespace

Result<std::unique_ptr<WaylandConnection>> WaylandConnection::open(const std::string& socketName) {
  using Failure = Result<std::unique_ptr<WaylandConnection>>;
  const char* fromEnvironment = std::getenv("WAYLAND_DISPLAY");
  const std::string shownName = !socketName.empty() ? socketName : fromEnvironment != nullptr ? fromEnvironment : "wayland-0";
  wl_display* display = wl_display_connect(socketName.empty() ? nullptr : socketName.c_str());
  if (display == nullptr) {
    return Failure::failure("cannot connect to the Wayland compositor at " + shownName + ": " + std::strerror(errno));
  }
  auto connection = std::make_unique<WaylandConnection>(PrivateTag{}, display);
  // Not a plain round trip: a socket whose compositor hangs (or nobody serves) would block for ever.
  bool answered = false;
  static const wl_callback_listener answerListener = {[](void* data, wl_callback* callback, std::uint32_t) {
    *static_cast<bool*>(data) = true;
    wl_callback_destroy(callback);
  }};
  wl_callback_add_listener(wl_display_sync(display), &answerListener, &answered);
  const auto deadline = Clock::now() + kFirstAnswerDeadline;
  while (!answered && Clock::now() < deadline) {
    if (!connection->dispatch(deadline)) {
      return Failure::failure("the Wayland compositor at " + shownName + " did not answer: " +
                              connection->lostReason().value_or("connection lost"));
    }
  }
  if (!answered) {
    return Failure::failure("the Wayland compositor at " + shownName + " did not answer within " +
                            std::to_string(kFirstAnswerDeadline.count()) + " s");
  }
  connection->listed_ = true;
  return connection;
}

WaylandConnection::WaylandConnection(PrivateTag, wl_display* display) : display_(display) {
  static const wl_registry_listener listener = {&WaylandConnection::announce, &WaylandConnection::withdraw};
  registry_ = wl_display_get_registry(display_);
  wl_registry_add_listener(registry_, &listener, this);
}

WaylandConnection::~WaylandConnection() {
  if (registry_ != nullptr) {
    wl_registry_destroy(registry_);
  }
  wl_display_disconnect(display_);
}

void WaylandConnection::announce(void* data, wl_registry*, std::uint32_t name, const char* interface,
                                 std::uint32_t version) {
  auto* connection = static_cast<WaylandConnection*>(data);
  connection->globals_.push_back(Global{name, interface, version});
  if (connection->listed_ && connection->globalsHandler_) {
    connection->globalsHandler_(connection->globals_.back(), true);
  }
}

void WaylandConnection::withdraw(void* data, wl_registry*, std::uint32_t name) {
  auto* connection = static_cast<WaylandConnection*>(data);
  const auto found = std::find_if(connection->globals_.begin(), connection->globals_.end(),
                                  [name](const Global& global) { return global.name == name; });
  if (found == connection->globals_.end()) {
    return;
  }
  const Global removed = *found;
  connection->globals_.erase(found);
  if (connection->globalsHandler_) {
    connection->globalsHandler_(removed, false);
  }
}

std::optional<WaylandConnection::Global> WaylandConnection::findGlobal(std::string_view interface) const {
  const auto found = std::find_if(globals_.begin(), globals_.end(),
                                  [interface](const Global& global) { return global.interface == interface; });
  return found == globals_.end() ? std::nullopt : std::optional(*found);
}

void* WaylandConnection::bindFirst(const wl_interface& interface, std::uint32_t maxVersion) {
  const auto global = findGlobal(interface.name);
  return global ? bindGlobal(*global, interface, maxVersion) : nullptr;
}

void* WaylandConnection::bindGlobal(const Global& global, const wl_interface& interface, std::uint32_t maxVersion) {
  return wl_registry_bind(registry_, global.name, &interface, std::min(global.version, maxVersion));
}

bool WaylandConnection::roundtrip() { return wl_display_roundtrip(display_) >= 0; }

bool WaylandConnection::dispatch(std::optional<Clock::time_point> deadline, std::span<const int> wakeDescriptors,
                                 std::vector<bool>* woken) {
  if (woken != nullptr) {
    woken->assign(wakeDescriptors.size(), false);
  }
  // Events already read (by a round trip) are handled before waiting for more.
  while (wl_display_prepare_read(display_) != 0) {
    if (wl_display_dispatch_pending(display_) < 0) {
      return false;
    }
  }
  // A full socket buffer is retried at the next dispatch; only a real failure ends the connection.
  if (wl_display_flush(display_) < 0 && errno != EAGAIN) {
    wl_display_cancel_read(display_);
    return false;
  }
  std::vector<pollfd> descriptors{{wl_display_get_fd(display_), POLLIN, 0}};
  for (const int descriptor : wakeDescriptors) {
    descriptors.push_back({descriptor, POLLIN, 0});
  }
  int timeout = -1;
  if (deadline) {
    const auto remaining = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
    timeout = static_cast<int>(std::clamp<std::int64_t>(remaining.count(), 0, 60'000));
  }
  if (poll(descriptors.data(), descriptors.size(), timeout) < 0 && errno != EINTR) {
    wl_display_cancel_read(display_);
    return false;
  }
  if ((descriptors[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
    if (wl_display_read_events(display_) < 0) {
      return false;
    }
  } else {
    wl_display_cancel_read(display_);
  }
  for (std::size_t index = 0; woken != nullptr && index < wakeDescriptors.size(); ++index) {
    (*woken)[index] = descriptors[index + 1].revents != 0;
  }
  return wl_display_dispatch_pending(display_) >= 0;
}

std::optional<std::string> WaylandConnection::lostReason() const {
  const int error = wl_display_get_error(display_);
  if (error == 0) {
    return std::nullopt;
  }
  if (error == EPROTO) {
    const wl_interface* interface = nullptr;
    std::uint32_t objectID = 0;
    const std::uint32_t code = wl_display_get_protocol_error(display_, &interface, &objectID);
    return "protocol error " + std::to_string(code) + " on " + (interface != nullptr ? interface->name : "an object") +
           " " + std::to_string(objectID);
  }
  return std::string("connection lost: ") + std::strerror(error);
}

}  // namespace velmora
