// Where the host's backend family is chosen. A new family is one factory below and one line in
// kBackendFamilies (and its --backend name in command_line.cpp).
#include "app/host_backends.h"

#include <cstdlib>
#include <string>

#include "platform/log/log.h"
#include "platform/virtual/virtual_capture_backend.h"
#include "platform/virtual/virtual_display_source.h"
#include "platform/virtual/virtual_input_backend.h"
#include "platform/x11/screen_change_notifier.h"
#include "platform/x11/x11_capture_backend.h"
#include "platform/x11/x11_display_source.h"
#include "platform/x11/x11_input_backend.h"
#include "platform/x265/x265_encoder_backend.h"

namespace velmora {
namespace {

const log::Logger logger("AppDelegate");

// The X11 desktop of $DISPLAY.
Result<HostBackends> openX11Backends(const HostOptions&) {
  auto displays = X11DisplaySource::open();
  if (!displays) {
    return Result<HostBackends>::failure(displays.error());
  }
  auto capture = X11CaptureBackend::open();
  if (!capture) {
    return Result<HostBackends>::failure(capture.error());
  }
  HostBackends backends{displays.value(), capture.value(), nullptr, makeX265EncoderBackend,
                        [](MainQueue& mainQueue, std::function<void()> onChange) -> Result<ScreenChangeWatch> {
                          auto notifier = ScreenChangeNotifier::start(mainQueue, std::move(onChange));
                          if (!notifier) {
                            return Result<ScreenChangeWatch>::failure(notifier.error());
                          }
                          return ScreenChangeWatch(std::move(notifier.value()));
                        }};
  if (auto input = makeX11InputBackend()) {
    backends.input = input.value();
  } else {
    // Streaming still works; input is refused as it would be without the permission.
    logger.error("Input cannot be posted to the X11 display: {}", input.error());
    auto refused = std::make_shared<VirtualInputBackend>(backends.displays);
    refused->setTrusted(false);
    backends.input = refused;
  }
  const char* display = std::getenv("DISPLAY");
  logger.info("Sharing the displays of the X11 display {}", display != nullptr ? display : "");
  return backends;
}

// Displays of this process only, laid out by --virtual-displays; always opens.
Result<HostBackends> openVirtualBackends(const HostOptions& options) {
  auto displays = std::make_shared<VirtualDisplaySource>(options.virtualDisplays);
  return HostBackends{displays, std::make_shared<VirtualCaptureBackend>(displays),
                      std::make_shared<VirtualInputBackend>(displays), makeX265EncoderBackend, nullptr};
}

struct BackendFamily {
  Backend backend;
  const char* description;
  Result<HostBackends> (*open)(const HostOptions& options);
};

// In the order "automatic" tries them; the last one must always open.
constexpr BackendFamily kBackendFamilies[] = {
    {Backend::x11, "X11 display", openX11Backends},
    {Backend::virtualDisplays, "virtual displays", openVirtualBackends},
};

}  // namespace

Result<HostBackends> chooseHostBackends(const HostOptions& options) {
  for (const auto& family : kBackendFamilies) {
    if (options.backend != Backend::automatic && options.backend != family.backend) {
      continue;
    }
    auto backends = family.open(options);
    if (backends || options.backend != Backend::automatic) {
      if (!backends) {
        return Result<HostBackends>::failure(std::string("cannot use the ") + family.description + ": " + backends.error());
      }
      return backends;
    }
    logger.info("No usable {} ({}) — trying the next backend", family.description, backends.error());
  }
  return Result<HostBackends>::failure("no backend family opens");
}

}  // namespace velmora
