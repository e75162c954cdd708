// avahi_advertise_probe NAME TYPE PORT: advertises one service until SIGINT or SIGTERM, logging
// like the host does. Used by the advertisement test.

#include "platform/avahi/avahi_service_advertiser.h"
#include "platform/log/log.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  char* end = nullptr;
  const long port = argc == 4 ? std::strtol(argv[3], &end, 10) : 0;
  if (port < 1 || port > 65535 || *end != '\0') {
    std::fprintf(stderr, "usage: %s NAME TYPE PORT (1 to 65535)\n", argv[0]);
    return 2;
  }

  // Blocked before Avahi's thread exists, so that only sigwait below sees these signals.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  auto made = velmora::makeAvahiServiceAdvertiser();
  if (!made) {
    std::fprintf(stderr, "%s: %s\n", argv[0], made.error().c_str());
    return 1;
  }
  made.value()->advertise(argv[1], argv[2], static_cast<std::uint16_t>(port));
  int signal = 0;
  sigwait(&stopSignals, &signal);
  return 0;
}
