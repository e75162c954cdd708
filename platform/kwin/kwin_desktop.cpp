#include "platform/kwin/kwin_desktop.h"

#include <wayland-client.h>

#include <algorithm>

#include "platform/kwin/kwin_input_backend.h"
#include "platform/kwin/kwin_output_order.h"
#include "platform/kwin/kwin_screencast.h"
#include "platform/kwin/protocols/fake-input-client.h"
#include "platform/kwin/protocols/kde-output-order-v1-client.h"
#include "platform/kwin/protocols/zkde-screencast-unstable-v1-client.h"
#include "platform/pipewire/pipewire_capture_backend.h"

namespace velmora {
namespace {

std::string joined(const std::vector<std::string>& names) {
  std::string text;
  for (const auto& name : names) {
    text += (text.empty() ? "" : ", ") + name;
  }
  return text;
}

// KWin's own interfaces, whether it offers the restricted ones to this program or not.
bool isKwin(const WaylandConnection& connection) {
  return std::any_of(connection.globals().begin(), connection.globals().end(), [](const WaylandConnection::Global& global) {
    return global.interface.starts_with("org_kde_kwin_") || global.interface.starts_with("kde_");
  });
}

// KWin offers these only to a program whose installed desktop entry lists them.
const std::vector<std::string>& kwinInterfacesNeeded() {
  static const std::vector<std::string> interfaces{VELMORA_KWIN_INTERFACES};
  return interfaces;
}

}  // namespace

Result<KwinDesktop> openKwinDesktop(const std::string& socketName, WaylandSharedConnection::LossHandler onLost) {
  using Failure = Result<KwinDesktop>;
  auto opened = WaylandSharedConnection::open(socketName, std::move(onLost));
  if (!opened) {
    return Failure::failure(opened.error());
  }
  const std::shared_ptr<WaylandSharedConnection> connection = std::move(opened.value());
  WaylandConnection& wayland = connection->connection();
  std::vector<std::string> missing;
  for (const auto& interface : kwinInterfacesNeeded()) {
    if (!wayland.findGlobal(interface)) {
      missing.push_back(interface);
    }
  }
  if (!isKwin(wayland)) {
    return Failure::failure("the Wayland compositor is not KWin");
  }
  if (!missing.empty()) {
    // KWin withholds them from a program whose installed desktop entry does not list them.
    return Failure::failure("KWin does not offer " + joined(missing) +
                            " to this program; install it, or use --backend portal");
  }

  auto displays = WaylandDisplaySource::create(connection);
  if (auto* order = wayland.bind<kde_output_order_v1>(kde_output_order_v1_interface, 1)) {
    displays->keepPrimaryWatch(std::make_shared<KwinOutputOrder>(
        order, [source = displays.get()](const std::vector<std::string>& names) {
          source->preferMainOutput(names.empty() ? std::string() : names.front());
        }));
  }
  auto capture = std::make_shared<PipeWireCaptureBackend>(
      "KWin", std::make_shared<KwinScreencast>(connection, wayland.bind<zkde_screencast_unstable_v1>(
                                                               zkde_screencast_unstable_v1_interface, 1)));
  auto input = KwinInputBackend::create(connection, displays,
                                        wayland.bind<org_kde_kwin_fake_input>(org_kde_kwin_fake_input_interface, 4));
  if (!input) {
    return Failure::failure(input.error());
  }
  // KWin's first output order arrives with the next events.
  if (!wayland.roundtrip()) {
    return Failure::failure("KWin closed the connection: " + wayland.lostReason().value_or("unknown reason"));
  }
  connection->start();
  return KwinDesktop{std::move(displays), std::move(capture), std::move(input.value())};
}

}  // namespace velmora
