#include "app/trust_command.h"

#include <string>

#include "control/trusted_devices.h"
#include "platform/log/printable.h"

namespace velmora {
namespace {

constexpr std::size_t kWholeField = 4096;

std::string field(const std::string& value) { return value.empty() ? "-" : printable(value, kWholeField); }

void printForgotten(const TrustedDevice& device, std::FILE* output) {
  std::fprintf(output, "Forgot \"%s\" (%s)\n", field(device.displayName()).c_str(), field(device.identifier).c_str());
}

}  // namespace

int runTrustCommand(const HostOptions& options, const std::shared_ptr<UserDefaults>& userDefaults, std::FILE* output,
                    std::FILE* errors) {
  TrustedDevices devices(userDefaults, std::chrono::hours(24 * options.trustDays));
  if (options.listTrusted) {
    const auto listed = devices.list();
    if (listed.empty()) {
      std::fputs("velmora-host: no trusted devices\n", errors);
    }
    for (const auto& device : listed) {
      std::fprintf(output, "%s\t%s\t%s\t%s\t%s\n", field(device.identifier).c_str(), field(device.deviceName).c_str(),
                   field(device.pairedAt).c_str(), field(device.lastAdmittedAt).c_str(), field(device.lastAddress).c_str());
    }
    return 0;
  }

  const std::string& identifier = *options.forgetTrusted;
  if (identifier == "all") {
    const auto forgotten = devices.forgetAll();
    if (!forgotten) {
      std::fputs("velmora-host: could not write the trusted devices (see the log above)\n", errors);
      return 1;
    }
    if (forgotten->empty()) {
      std::fputs("velmora-host: no trusted devices to forget\n", errors);
    }
    for (const auto& device : *forgotten) {
      printForgotten(device, output);
    }
    return 0;
  }
  if (!devices.contains(identifier)) {
    std::fprintf(errors, "velmora-host: no trusted device has the identifier '%s' (see --list-trusted)\n",
                 printable(identifier).c_str());
    return 1;
  }
  const auto forgotten = devices.forget(identifier);
  if (!forgotten) {
    std::fputs("velmora-host: could not write the trusted devices (see the log above)\n", errors);
    return 1;
  }
  printForgotten(*forgotten, output);
  return 0;
}

}  // namespace velmora
