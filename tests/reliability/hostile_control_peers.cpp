#include "tests/reliability/hostile_control_peers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
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

FloodFigures flood(std::uint16_t port, std::chrono::milliseconds duration, int perSecond, std::size_t maximumOpen,
                   const std::function<std::string()>& wrongCode, std::chrono::milliseconds grace) {
  struct Open {
    Clock::time_point openedAt;
    bool connected = false;
    bool silent = false;
    Received received;
  };
  FloodFigures figures;
  std::map<int, Open> open;
  const auto start = Clock::now();
  const auto floodEnd = start + duration;
  const auto graceEnd = floodEnd + grace;

  const auto finish = [&](std::map<int, Open>::iterator each) {
    auto& state = each->second;
    if (!state.connected) {
      ++figures.connectFailed;
    } else if (state.received.bytes.empty()) {
      ++figures.refused;
    } else {
      ++figures.served;
    }
    figures.serverHellos += state.received.serverHello() ? 1 : 0;
    close(each->first);
    return open.erase(each);
  };

  while (Clock::now() < graceEnd && (Clock::now() < floodEnd || !open.empty())) {
    const auto now = Clock::now();
    if (now < floodEnd) {
      const auto due = static_cast<std::uint64_t>(since(start).count() * perSecond / 1000);
      while (figures.attempted < due && open.size() < maximumOpen) {
        ++figures.attempted;
        const int socket = openNonBlocking(port);
        if (socket < 0) {
          ++figures.connectFailed;
          continue;
        }
        open.emplace(socket, Open{now, false, figures.attempted % 10 == 0, {}});
      }
    }

    std::vector<pollfd> descriptors;
    descriptors.reserve(open.size());
    for (const auto& [socket, state] : open) {
      descriptors.push_back({socket, static_cast<short>(state.connected ? POLLIN : POLLOUT), 0});
    }
    if (descriptors.empty()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1000 / std::max(1, perSecond)));
      continue;
    }
    poll(descriptors.data(), descriptors.size(), 5);
    for (const auto& descriptor : descriptors) {
      auto each = open.find(descriptor.fd);
      auto& state = each->second;
      if (!state.connected) {
        if (descriptor.revents == 0) {
          // The kernel drops SYNs while the backlog is full; such a connection
          // is given up.
          if (Clock::now() - state.openedAt > 3s) {
            finish(each);
          }
          continue;
        }
        if (!connectionSucceeded(descriptor.fd)) {
          finish(each);
          continue;
        }
        state.connected = true;
        if (!state.silent) {
          const auto hello = frame(clientHelloText(wrongCode()));
          // A short frame on a fresh connection fits the send buffer; a failure
          // means the host already closed it.
          send(descriptor.fd, hello.data(), hello.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        }
        continue;
      }
      if (descriptor.revents != 0) {
        state.received.drain(descriptor.fd);
        if (state.received.ended) {
          finish(each);
        }
      }
    }
  }
  figures.leftOpen = open.size();
  for (auto each = open.begin(); each != open.end();) {
    each = finish(each);
  }
  return figures;
}

std::vector<std::string> wronglyTypedMessages(const std::string& wrongCode) {
  using nlohmann::json;
  // Values of every JSON type but the right one are tried for each field;
  // numbers of the wrong kind (fractions, negatives, out of range) too.
  const std::vector<json> wrongForNumber = {"7", nullptr, true, json::array(), json::object(), 1e300};
  const std::vector<json> wrongForInteger = {
      "7", nullptr, true, json::array(), json::object(), 1.5, -1, json::parse("18446744073709551616")};
  const std::vector<json> wrongForString = {7, nullptr, true, json::array({"a"}), json::object()};
  const std::vector<json> wrongForBoolean = {"true", 1, nullptr, json::array(), json::object()};
  enum class Kind { number, integer, string, boolean };
  struct Case {
    std::string name;
    bool wrapped;  // handshake messages keep their record under "_0"
    std::vector<std::pair<std::string, Kind>> fields;
  };
  const std::vector<Case> cases = {
      {"clientHello",
       true,
       {{"protocolVersion", Kind::integer},
        {"preferredWidth", Kind::integer},
        {"preferredHeight", Kind::integer},
        {"preferredFrameRate", Kind::integer},
        {"deviceName", Kind::string},
        {"clientIdentifier", Kind::string},
        {"pairingCode", Kind::string}}},
      {"serverHello",
       true,
       {{"protocolVersion", Kind::integer},
        {"hostName", Kind::string},
        {"screenWidth", Kind::integer},
        {"screenHeight", Kind::integer},
        {"videoPort", Kind::integer},
        {"frameRate", Kind::integer}}},
      {"serverRejected", true, {{"reason", Kind::string}}},
      {"mouseMove", false, {{"x", Kind::number}, {"y", Kind::number}}},
      {"mouseDown", false, {{"x", Kind::number}, {"y", Kind::number}, {"button", Kind::integer}}},
      {"mouseUp", false, {{"x", Kind::number}, {"y", Kind::number}, {"button", Kind::integer}}},
      {"mouseDrag", false, {{"x", Kind::number}, {"y", Kind::number}}},
      {"mouseMoveRelative", false, {{"deltaX", Kind::number}, {"deltaY", Kind::number}}},
      {"mouseDragRelative", false, {{"deltaX", Kind::number}, {"deltaY", Kind::number}}},
      {"mouseDownAtCurrent", false, {{"button", Kind::integer}}},
      {"mouseUpAtCurrent", false, {{"button", Kind::integer}}},
      {"doubleClickAtCurrent", false, {}},
      {"scroll", false, {{"deltaX", Kind::number}, {"deltaY", Kind::number}}},
      {"keyDown", false, {{"keyCode", Kind::integer}, {"modifiers", Kind::integer}}},
      {"keyUp", false, {{"keyCode", Kind::integer}, {"modifiers", Kind::integer}}},
      {"keyTyped", false, {{"text", Kind::string}}},
      {"requestKeyframe", false, {}},
      {"clipboardSync", false, {{"content", Kind::string}}},
      {"doubleClick", false, {{"x", Kind::number}, {"y", Kind::number}}},
      {"switchDisplay", false, {{"displayID", Kind::integer}}},
      {"setMultiDisplay", false, {{"enabled", Kind::boolean}}},
  };
  const auto rightValue = [](Kind kind) -> json {
    switch (kind) {
      case Kind::number:
        return 10.5;
      case Kind::integer:
        return 1;
      case Kind::string:
        return "text";
      case Kind::boolean:
        return true;
    }
    return nullptr;
  };
  const auto wrongValues = [&](Kind kind) -> const std::vector<json>& {
    switch (kind) {
      case Kind::number:
        return wrongForNumber;
      case Kind::integer:
        return wrongForInteger;
      case Kind::string:
        return wrongForString;
      case Kind::boolean:
        return wrongForBoolean;
    }
    return wrongForNumber;
  };
  const auto wrap = [](const Case& each, json record) {
    return each.wrapped ? json{{each.name, {{"_0", std::move(record)}}}} : json{{each.name, std::move(record)}};
  };

  std::vector<std::string> texts;
  for (const auto& each : cases) {
    json valid = json::object();
    for (const auto& [field, kind] : each.fields) {
      valid[field] = rightValue(kind);
    }
    if (each.name == "clientHello") {
      // A hello that decodes after all must still carry a code that cannot
      // admit it.
      valid["pairingCode"] = wrongCode;
    }
    for (const auto& [field, kind] : each.fields) {
      for (const auto& wrong : wrongValues(kind)) {
        json record = valid;
        record[field] = wrong;
        texts.push_back(wrap(each, record).dump());
      }
    }
    for (const json& notARecord : {json(5), json("record"), json::array({valid}), json(nullptr)}) {
      texts.push_back(wrap(each, notARecord).dump());
    }
  }
  return texts;
}

}  // namespace velmora::reliability
