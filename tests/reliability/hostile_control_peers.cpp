#include "tests/reliability/hostile_control_peers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "protocol/message_coder.h"

namespace velmora::reliability {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

Bytes frame(const std::string& text) { return detail::frameJsonText(text, 0xFFFFFFFFu); }

std::string clientHelloText(const std::string& code, std::size_t padding) {
  return nlohmann::json{{"clientHello",
                         {{"_0",
                           {{"protocolVersion", 2}, {"preferredWidth", 1280}, {"preferredHeight", 720},
                            {"preferredFrameRate", 60}, {"deviceName", "hostile-" + std::string(padding, 'x')},
                            {"pairingCode", code}}}}}}
      .dump();
}

PeerOutcome runPeer(std::uint16_t port, const PeerScript& script) {
  PeerOutcome outcome;
  const auto start = Clock::now();
  const auto deadline = start + script.giveUpAfter;
  const int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  // Bounds the connect too: the kernel drops SYNs while the host's backlog is full.
  const timeval sendTimeout{5, 0};
  setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout);
  const sockaddr_in address{
      .sin_family = AF_INET, .sin_port = htons(port), .sin_addr = {htonl(INADDR_LOOPBACK)}, .sin_zero = {}};
  if (connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    close(socket);
    return outcome;
  }
  outcome.connected = true;

  // What comes back within `wait` and right after; the replies are scanned as text, which is
  // enough to tell the two handshake answers apart.
  std::string received;
  bool ended = false;
  const auto readFor = [&](std::chrono::milliseconds wait) {
    pollfd descriptor{socket, POLLIN, 0};
    while (!ended && poll(&descriptor, 1, static_cast<int>(wait.count())) > 0) {
      char buffer[4096];
      const auto count = recv(socket, buffer, sizeof buffer, 0);
      ended = count <= 0;  // the end of the stream, or a reset
      received.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(count, 0)));
      wait = 0ms;
    }
  };
  const std::size_t chunk = script.pausePerByte.count() > 0 ? 1 : script.bytes.size();
  std::size_t offset = 0;
  while (offset < script.bytes.size() && !ended && Clock::now() < deadline) {
    const auto count =
        send(socket, script.bytes.data() + offset, std::min(chunk, script.bytes.size() - offset), MSG_NOSIGNAL);
    if (count < 0 && errno != EAGAIN && errno != EINTR) {
      ended = true;  // the host closed the connection under our writes
    }
    offset += static_cast<std::size_t>(std::max<ssize_t>(count, 0));
    readFor(offset < script.bytes.size() ? script.pausePerByte : 0ms);
  }
  if (script.halfCloseAfterSending && !ended) {
    shutdown(socket, SHUT_WR);
  }
  while (!ended && Clock::now() < deadline) {
    readFor(200ms);
  }
  close(socket);
  outcome.lifetime = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  outcome.closedByHost = ended;
  outcome.answered = !received.empty();
  outcome.receivedServerHello = received.find("\"serverHello\"") != std::string::npos;
  outcome.receivedServerRejected = received.find("\"serverRejected\"") != std::string::npos;
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
  std::vector<std::jthread> threads;
  std::mutex silentPeersLock;
  std::vector<std::jthread> silentPeers;
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
  threads.clear();  // joins the workers first: they start the silent peers
  silentPeers.clear();
  return outcomes;
}

}  // namespace velmora::reliability
