// `kwin_output_switch NAME enable|disable|primary`: changes one of KWin's outputs through its output
// management, as the display settings do; exits 0 once KWin applied it, 1 with the reason.
#include <wayland-client.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "platform/kwin/protocols/kde-output-device-v2-client.h"
#include "platform/kwin/protocols/kde-output-management-v2-client.h"

namespace {

struct Device {
  kde_output_device_v2* proxy;
  std::string name;
};
kde_output_management_v2* management = nullptr;
std::vector<Device> devices;
std::optional<bool> applied;

// Every event of a device comes here: only its name is read.
int deviceEvent(const void*, void* proxy, std::uint32_t, const wl_message* event, wl_argument* arguments) {
  if (std::strcmp(event->name, "name") == 0) {
    std::ranges::find(devices, static_cast<kde_output_device_v2*>(proxy), &Device::proxy)->name = arguments[0].s;
  }
  return 0;
}

void global(void*, wl_registry* registry, std::uint32_t name, const char* interface, std::uint32_t version) {
  if (std::strcmp(interface, kde_output_management_v2_interface.name) == 0) {
    management = static_cast<kde_output_management_v2*>(
        wl_registry_bind(registry, name, &kde_output_management_v2_interface, std::min(version, 3u)));
  } else if (std::strcmp(interface, kde_output_device_v2_interface.name) == 0 && version >= 2) {
    auto* device =
        static_cast<kde_output_device_v2*>(wl_registry_bind(registry, name, &kde_output_device_v2_interface, 2));
    wl_proxy_add_dispatcher(reinterpret_cast<wl_proxy*>(device), deviceEvent, nullptr, nullptr);
    devices.push_back({device, {}});
  }
}
void globalRemoved(void*, wl_registry*, std::uint32_t) {}

}  // namespace

int main(int argc, char** argv) {
  const std::string change = argc == 3 ? argv[2] : "";
  wl_display* display = wl_display_connect(nullptr);
  if (display == nullptr || (change != "enable" && change != "disable" && change != "primary")) {
    std::fprintf(stderr, "usage: kwin_output_switch NAME enable|disable|primary, in a KWin session\n");
    return 1;
  }
  static const wl_registry_listener registryListener = {global, globalRemoved};
  wl_registry_add_listener(wl_display_get_registry(display), &registryListener, nullptr);
  wl_display_roundtrip(display);  // the globals, then each device's description
  wl_display_roundtrip(display);
  const auto device = std::ranges::find(devices, std::string(argv[1]), &Device::name);
  if (management == nullptr || device == devices.end() ||
      (change == "primary" && kde_output_management_v2_get_version(management) < 3)) {
    std::fprintf(stderr, "KWin cannot %s an output named %s\n", argv[2], argv[1]);
    return 1;
  }
  kde_output_configuration_v2* configuration = kde_output_management_v2_create_configuration(management);
  static const kde_output_configuration_v2_listener configurationListener = {
      [](void*, kde_output_configuration_v2*) { applied = true; },
      [](void*, kde_output_configuration_v2*) { applied = false; }};
  kde_output_configuration_v2_add_listener(configuration, &configurationListener, nullptr);
  if (change != "primary") {
    kde_output_configuration_v2_enable(configuration, device->proxy, change == "enable" ? 1 : 0);
  } else {
    // KWin takes only a whole order: 1 for the primary, the others after it.
    std::uint32_t next = 2;
    for (const auto& other : devices) {
      kde_output_configuration_v2_set_priority(configuration, other.proxy, other.proxy == device->proxy ? 1 : next++);
    }
  }
  kde_output_configuration_v2_apply(configuration);
  while (!applied && wl_display_dispatch(display) >= 0) {
  }
  std::printf("%s %s: %s\n", argv[1], argv[2], applied.value_or(false) ? "applied" : "failed");
  return applied.value_or(false) ? 0 : 1;
}
