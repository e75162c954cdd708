#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"

// libwayland's types, declared here so that this header pulls in no Wayland header.
struct wl_display;
struct wl_registry;
struct wl_interface;

namespace velmora {

// One connection to a Wayland compositor with the globals it announces, used by one component on
// one thread. Closed when dropped; every proxy made on it must be destroyed before.
class WaylandConnection {
  struct PrivateTag {};

 public:
  using Clock = std::chrono::steady_clock;

  struct Global {
    std::uint32_t name = 0;
    std::string interface;
    std::uint32_t version = 0;
  };
  // A global announced or withdrawn after open(); called while events are dispatched.
  using GlobalsHandler = std::function<void(const Global& global, bool added)>;

  // Connects to `socketName` ($WAYLAND_DISPLAY when empty) and waits for the first list of globals.
  static Result<std::unique_ptr<WaylandConnection>> open(const std::string& socketName = {});

  WaylandConnection(PrivateTag, wl_display* display);
  ~WaylandConnection();
  WaylandConnection(const WaylandConnection&) = delete;
  WaylandConnection& operator=(const WaylandConnection&) = delete;

  wl_display* display() const { return display_; }
  const std::vector<Global>& globals() const { return globals_; }
  std::optional<Global> findGlobal(std::string_view interface) const;
  // The interface's first global bound at its version or maxVersion, whichever is lower; null when
  // the compositor has none.
  template <typename Proxy>
  Proxy* bind(const wl_interface& interface, std::uint32_t maxVersion) {
    return static_cast<Proxy*>(bindFirst(interface, maxVersion));
  }
  void* bindGlobal(const Global& global, const wl_interface& interface, std::uint32_t maxVersion);
  void setGlobalsHandler(GlobalsHandler handler) { globalsHandler_ = std::move(handler); }

  // Sends every request and dispatches events until the compositor has handled them; false when
  // the connection is lost.
  bool roundtrip();
  // Sends every request, waits for events, a readable descriptor of `wakeDescriptors` or the
  // deadline, and dispatches the events that came. `woken` (when given) gets one entry per wake
  // descriptor. False when the connection is lost.
  bool dispatch(std::optional<Clock::time_point> deadline, std::span<const int> wakeDescriptors = {},
                std::vector<bool>* woken = nullptr);
  // Why the connection ended (a protocol error names the interface), or none while it works.
  std::optional<std::string> lostReason() const;

 private:
  void* bindFirst(const wl_interface& interface, std::uint32_t maxVersion);
  static void announce(void* data, wl_registry* registry, std::uint32_t name, const char* interface,
                       std::uint32_t version);
  static void withdraw(void* data, wl_registry* registry, std::uint32_t name);

  wl_display* display_;
  wl_registry* registry_ = nullptr;
  std::vector<Global> globals_;
  GlobalsHandler globalsHandler_;
  bool listed_ = false;  // the first round trip is over: later globals are news
};

}  // namespace velmora
