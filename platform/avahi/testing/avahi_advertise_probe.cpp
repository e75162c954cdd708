// avahi_advertise_probe NAME TYPE PORT: advertises one service until SIGINT or SIGTERM, logging
// like the host does. Used by the advertisement test.

#include "platform/avahi/avahi_service_advertiser.h"
#include "platform/log/log.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s NAME TYPE PORT\n", argv[0]);
    return 2;
  }
  char* end = nullptr;
  long port = std::strtol(argv[3], &end, 10);
  if (*argv[3] == '\0' || *end != '\0' || port < 1 || port > 65535) {
    std::fprintf(stderr, "%s: invalid port \"%s\" (1 to 65535)\n", argv[0], argv[3]);
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
