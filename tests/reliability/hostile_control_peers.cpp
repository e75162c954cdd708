#include "tests/reliability/hostile_control_peers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>
#include <utility>

namespace velmora::reliability {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

std::chrono::milliseconds since(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
}

int openNonBlocking(std::uint16_t port) {
  const int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (socket < 0) {
    return -1;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 && errno != EINPROGRESS) {
    close(socket);
    return -1;
  }
  return socket;
}

bool connectionSucceeded(int socket) {
  int error = 0;
  socklen_t length = sizeof error;
  return getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
}

// What came back so far on one connection; the replies are scanned as text,
// which is enough to tell the two handshake answers apart.
struct Received {
  std::string bytes;
  bool ended = false;

  // Reads what is there without blocking.
  void drain(int socket) {
    char buffer[4096];
    while (true) {
      const auto count = recv(socket, buffer, sizeof buffer, MSG_DONTWAIT);
      if (count > 0) {
        bytes.append(buffer, static_cast<std::size_t>(count));
        continue;
      }
      if (count == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        ended = true;
      }
      return;
    }
  }
  bool serverHello() const { return bytes.find("\"serverHello\"") != std::string::npos; }
  bool serverRejected() const { return bytes.find("\"serverRejected\"") != std::string::npos; }
};

bool waitWritable(int socket, Clock::time_point deadline) {
  while (Clock::now() < deadline) {
    pollfd descriptor{socket, POLLOUT, 0};
    const auto remaining =
        std::max<long>(1, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
    const int ready = poll(&descriptor, 1, static_cast<int>(std::min<long>(remaining, 100)));
    if (ready > 0) {
      return (descriptor.revents & (POLLERR | POLLHUP)) == 0 || connectionSucceeded(socket);
    }
  }
  return false;
}

}  // namespace

Bytes frame(const std::string& text) {
  const auto length = static_cast<std::uint32_t>(text.size());
  Bytes bytes(4 + text.size());
  bytes[0] = static_cast<std::uint8_t>(length >> 24);
  bytes[1] = static_cast<std::uint8_t>(length >> 16);
  bytes[2] = static_cast<std::uint8_t>(length >> 8);
  bytes[3] = static_cast<std::uint8_t>(length);
  std::copy(text.begin(), text.end(), bytes.begin() + 4);
  return bytes;
}

std::string clientHelloText(const std::string& code, std::size_t padding) {
  const nlohmann::json hello = {{"clientHello",
                                 {{"_0",
                                   {{"protocolVersion", 2},
                                    {"preferredWidth", 1280},
                                    {"preferredHeight", 720},
                                    {"preferredFrameRate", 60},
                                    {"deviceName", "hostile-" + std::string(padding, 'x')},
                                    {"pairingCode", code}}}}}};
  return hello.dump();
}

PeerOutcome runPeer(std::uint16_t port, const PeerScript& script) {
  PeerOutcome outcome;
  const auto start = Clock::now();
  const auto deadline = start + script.giveUpAfter;
  const int socket = openNonBlocking(port);
  if (socket < 0) {
    return outcome;
  }
  if (!waitWritable(socket, start + 5s) || !connectionSucceeded(socket)) {
    close(socket);
    return outcome;
  }
  outcome.connected = true;
  Received received;

  std::size_t offset = 0;
  const std::size_t chunk = script.pausePerByte.count() > 0 ? 1 : script.bytes.size();
  while (offset < script.bytes.size() && !received.ended && Clock::now() < deadline) {
    if (!waitWritable(socket, deadline)) {
      break;
    }
    const auto count = send(socket, script.bytes.data() + offset, std::min(chunk, script.bytes.size() - offset),
                            MSG_NOSIGNAL | MSG_DONTWAIT);
    if (count < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
        continue;
      }
      received.ended = true;  // the host closed the connection under our writes
      break;
    }
    offset += static_cast<std::size_t>(count);
    received.drain(socket);
    if (script.pausePerByte.count() > 0 && offset < script.bytes.size()) {
      // Waits the pause out, or less when the host closes the connection first.
      pollfd descriptor{socket, POLLIN, 0};
      if (poll(&descriptor, 1, static_cast<int>(script.pausePerByte.count())) > 0) {
        received.drain(socket);
      }
    }
  }
  outcome.bytesSent = offset;
  if (script.halfCloseAfterSending && !received.ended) {
    shutdown(socket, SHUT_WR);
  }
  while (!received.ended && Clock::now() < deadline) {
    pollfd descriptor{socket, POLLIN, 0};
    const auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (poll(&descriptor, 1, static_cast<int>(std::max<long>(1, std::min<long>(remaining, 200)))) > 0) {
      received.drain(socket);
    }
  }
  close(socket);
  outcome.lifetime = since(start);
  outcome.closedByHost = received.ended;
  outcome.answered = !received.bytes.empty();
  outcome.receivedServerHello = received.serverHello();
  outcome.receivedServerRejected = received.serverRejected();
  return outcome;
}

std::vector<PeerOutcome> flood(std::uint16_t port, std::chrono::milliseconds duration, int perSecond, int workers,
                               const std::function<std::string()>& wrongCode) {
  std::mutex outcomesLock;
  std::vector<PeerOutcome> outcomes;
  const auto start = Clock::now();
  const auto interval = std::chrono::milliseconds(1000 * workers / perSecond);
  const auto run = [&](bool silent) {
    const auto outcome =
        runPeer(port, PeerScript{silent ? Bytes{} : frame(clientHelloText(wrongCode())), 0ms, false, 20s});
    std::lock_guard lock(outcomesLock);
    outcomes.push_back(outcome);
  };
  std::vector<std::thread> threads;
  std::mutex silentPeersLock;
  std::vector<std::thread> silentPeers;
  for (int worker = 0; worker < workers; ++worker) {
    threads.emplace_back([&, worker] {
      for (int each = 0; Clock::now() < start + duration; ++each) {
        std::this_thread::sleep_until(start + each * interval + interval * worker / workers);
        if ((each + worker) % 10 != 0) {
          run(false);
          continue;
        }
        // A silent peer holds its connection until the host closes it: on a thread of its own, so
        // that it does not hold up the flood.
        std::lock_guard lock(silentPeersLock);
        silentPeers.emplace_back(run, true);
      }
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  for (auto& thread : silentPeers) {
    thread.join();
  }
  return outcomes;
}

}  // namespace velmora::reliability
