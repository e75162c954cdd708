#include "platform/gnome/mutter_display_config.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <string_view>

#include "platform/dbus/dbus_connection.h"
#include "platform/desktop/display_identity.h"

namespace velmora {
namespace {

struct PhysicalMonitor {
  int width = 0;
  int height = 0;
};

// Reads an a{sv}, handing each key to `readValue` positioned before the variant; a handler that
// does not read the variant leaves it to be skipped.
template <typename ReadValue>
int readProperties(sd_bus_message* message, ReadValue readValue) {
  int result = sd_bus_message_enter_container(message, SD_BUS_TYPE_ARRAY, "{sv}");
  while (result >= 0 && (result = sd_bus_message_enter_container(message, SD_BUS_TYPE_DICT_ENTRY, "sv")) > 0) {
    const char* key = nullptr;
    result = sd_bus_message_read(message, "s", &key);
    if (result >= 0 && !readValue(std::string_view(key))) {
      result = sd_bus_message_skip(message, "v");
    }
    if (result >= 0) {
      result = sd_bus_message_exit_container(message);
    }
  }
  return result < 0 ? result : sd_bus_message_exit_container(message);
}

// a((ssss)a(siiddada{sv})a{sv}): each connector's current mode.
int readPhysicalMonitors(sd_bus_message* message, std::map<std::string, PhysicalMonitor>& monitors) {
  int result = sd_bus_message_enter_container(message, SD_BUS_TYPE_ARRAY, "((ssss)a(siiddada{sv})a{sv})");
  while (result >= 0 &&
         (result = sd_bus_message_enter_container(message, SD_BUS_TYPE_STRUCT, "(ssss)a(siiddada{sv})a{sv}")) > 0) {
    const char* connector = nullptr;
    result = sd_bus_message_read(message, "(ssss)", &connector, nullptr, nullptr, nullptr);
    if (result < 0) {
      break;
    }
    PhysicalMonitor& monitor = monitors[connector];
    result = sd_bus_message_enter_container(message, SD_BUS_TYPE_ARRAY, "(siiddada{sv})");
    while (result >= 0 && (result = sd_bus_message_enter_container(message, SD_BUS_TYPE_STRUCT, "siiddada{sv}")) > 0) {
      int width = 0;
      int height = 0;
      result = sd_bus_message_read(message, "siidd", nullptr, &width, &height, nullptr, nullptr);
      if (result >= 0) {
        result = sd_bus_message_skip(message, "ad");
      }
      bool current = false;
      if (result >= 0) {
        result = readProperties(message, [&](std::string_view key) {
          int isCurrent = 0;
          if (key != "is-current" || sd_bus_message_read(message, "v", "b", &isCurrent) < 0) {
            return false;
          }
          current = isCurrent != 0;
          return true;
        });
      }
      if (current) {
        monitor.width = width;
        monitor.height = height;
      }
      if (result >= 0) {
        result = sd_bus_message_exit_container(message);
      }
    }
    if (result >= 0) {
      result = sd_bus_message_exit_container(message);
    }
    if (result >= 0) {
      result = sd_bus_message_skip(message, "a{sv}");
    }
    if (result >= 0) {
      result = sd_bus_message_exit_container(message);
    }
  }
  return result < 0 ? result : sd_bus_message_exit_container(message);
}

// a(iiduba(ssss)a{sv}): where each shown monitor is; monitors of one logical monitor mirror each other.
int readLogicalMonitors(sd_bus_message* message, const std::map<std::string, PhysicalMonitor>& physical,
                        std::vector<MutterMonitor>& monitors) {
  int result = sd_bus_message_enter_container(message, SD_BUS_TYPE_ARRAY, "(iiduba(ssss)a{sv})");
  while (result >= 0 &&
         (result = sd_bus_message_enter_container(message, SD_BUS_TYPE_STRUCT, "iiduba(ssss)a{sv}")) > 0) {
    int x = 0;
    int y = 0;
    double scale = 1;
    std::uint32_t transform = 0;
    int primary = 0;
    result = sd_bus_message_read(message, "iidub", &x, &y, &scale, &transform, &primary);
    if (result >= 0) {
      result = sd_bus_message_enter_container(message, SD_BUS_TYPE_ARRAY, "(ssss)");
    }
    const char* connector = nullptr;
    while (result >= 0 &&
           (result = sd_bus_message_read(message, "(ssss)", &connector, nullptr, nullptr, nullptr)) > 0) {
      const auto found = physical.find(connector);
      if (found == physical.end() || found->second.width <= 0) {
        continue;
      }
      // Odd transforms turn the monitor by a quarter.
      const bool turned = (transform % 2) == 1;
      MutterMonitor monitor;
      monitor.displayID = displayIDForName(connector);
      monitor.connector = connector;
      monitor.logicalX = x;
      monitor.logicalY = y;
      monitor.pixelWidth = turned ? found->second.height : found->second.width;
      monitor.pixelHeight = turned ? found->second.width : found->second.height;
      monitor.scale = scale > 0 ? scale : 1;
      monitor.primary = primary != 0;
      monitors.push_back(std::move(monitor));
    }
    if (result >= 0) {
      result = sd_bus_message_exit_container(message);
    }
    if (result >= 0) {
      result = sd_bus_message_skip(message, "a{sv}");
    }
    if (result >= 0) {
      result = sd_bus_message_exit_container(message);
    }
  }
  return result < 0 ? result : sd_bus_message_exit_container(message);
}

}  // namespace

Result<std::vector<MutterMonitor>> readMutterMonitors(sd_bus* bus) {
  DBusError error;
  sd_bus_message* rawReply = nullptr;
  const int result = sd_bus_call_method(bus, kDisplayConfigService, kDisplayConfigPath, kDisplayConfigInterface,
                                        "GetCurrentState", error.get(), &rawReply, "");
  DBusMessage reply(rawReply);
  if (result < 0) {
    return Result<std::vector<MutterMonitor>>::failure("mutter's DisplayConfig does not answer: " +
                                                       error.describe(result));
  }
  return parseMutterMonitors(reply.get());
}

Result<std::vector<MutterMonitor>> parseMutterMonitors(sd_bus_message* reply) {
  using Failure = Result<std::vector<MutterMonitor>>;
  std::map<std::string, PhysicalMonitor> physical;
  std::vector<MutterMonitor> monitors;
  int result = sd_bus_message_read(reply, "u", nullptr);
  if (result >= 0) {
    result = readPhysicalMonitors(reply, physical);
  }
  if (result >= 0) {
    result = readLogicalMonitors(reply, physical, monitors);
  }
  if (result < 0) {
    return Failure::failure(std::string("mutter's display state cannot be read: ") + std::strerror(-result));
  }
  // Positions are points in the logical layout mode and pixels in the physical one (mutter's default
  // without fractional scaling); taking those pixels as points leaves gaps beside a scaled monitor
  // but never overlaps. Mutter rounds a monitor's size in points to whole points: its fractional
  // scales are floats that leave the quotient just short of them (2560 / 1.4953271 = 1711.99999).
  for (auto& monitor : monitors) {
    monitor.logicalWidth = std::round(monitor.pixelWidth / monitor.scale);
    monitor.logicalHeight = std::round(monitor.pixelHeight / monitor.scale);
  }
  return monitors;
}

const MutterMonitor* primaryMonitor(const std::vector<MutterMonitor>& monitors) {
  const auto primary =
      std::find_if(monitors.begin(), monitors.end(), [](const MutterMonitor& monitor) { return monitor.primary; });
  if (primary != monitors.end()) {
    return &*primary;
  }
  return monitors.empty() ? nullptr : &monitors.front();
}

}  // namespace velmora
