#include "tests/reliability/foreign_video_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>
#include <vector>

#include "protocol/velmora_constants.h"

namespace velmora::reliability {

int runForeignVideoPeer(const std::string& interfaceName, std::chrono::milliseconds duration) {
  sigset_t go;
  sigemptyset(&go);
  sigaddset(&go, SIGUSR1);
  sigprocmask(SIG_BLOCK, &go, nullptr);
  if (unshare(CLONE_NEWNET) != 0) {
    std::printf("cannot create a network namespace\n");
    return 2;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  int received = 0;
  sigwait(&go, &received);

  const std::string configure = "ip link set lo up && ip addr add " + std::string(foreignSideAddress) + "/24 dev " +
                                interfaceName + " && ip link set " + interfaceName + " up";
  if (std::system(configure.c_str()) != 0) {
    std::printf("cannot configure %s\n", interfaceName.c_str());
    return 2;
  }

  sockaddr_in host{};
  host.sin_family = AF_INET;
  host.sin_port = htons(VelmoraConstants::defaultVideoPort);
  inet_pton(AF_INET, hostSideAddress, &host.sin_addr);

  // Many source ports: each is a new flow the host must turn away.
  std::vector<int> sockets;
  for (int each = 0; each < 16; ++each) {
    const int socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (socket >= 0) {
      sockets.push_back(socket);
    }
  }
  std::mt19937 random{7};
  std::vector<std::uint8_t> garbage(1400);
  const std::string hello = "hello";
  unsigned long long sent = 0;
  unsigned long long answered = 0;
  const auto end = std::chrono::steady_clock::now() + duration;
  for (unsigned long long round = 0; std::chrono::steady_clock::now() < end; ++round) {
    for (const int socket : sockets) {
      // Hellos, full-size garbage and empty datagrams in turn.
      const auto kind = (round + static_cast<unsigned long long>(socket)) % 3;
      for (auto& byte : garbage) {
        byte = static_cast<std::uint8_t>(random());
      }
      const void* data = kind == 0 ? static_cast<const void*>(hello.data()) : garbage.data();
      const std::size_t size = kind == 0 ? hello.size() : (kind == 1 ? garbage.size() : 0);
      if (sendto(socket, data, size, MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&host), sizeof host) >= 0) {
        ++sent;
      }
    }
    // 50 rounds a second; whatever the host sent back in between is counted.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    for (const int socket : sockets) {
      char buffer[2048];
      while (recv(socket, buffer, sizeof buffer, MSG_DONTWAIT) >= 0) {
        ++answered;
      }
    }
  }
  for (const int socket : sockets) {
    close(socket);
  }
  std::printf("sent %llu received %llu\n", sent, answered);
  std::fflush(stdout);
  sigwait(&go, &received);
  return 0;
}

}  // namespace velmora::reliability
