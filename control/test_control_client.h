#pragma once

#include <asio.hpp>

#include <algorithm>
#include <array>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "control/control_channel_server.h"
#include "platform/dispatch/manual_main_queue.h"
#include "platform/net/asio_tcp_listener.h"
#include "platform/network.h"
#include "platform/testing/in_memory_user_defaults.h"
#include "protocol/frame_accumulator.h"
#include "protocol/handshake_message.h"
#include "protocol/control_message.h"
#include "protocol/message_coder.h"

#include <gtest/gtest.h>

namespace velmora::testing {

using namespace std::chrono_literals;

inline constexpr auto kControlClientWait = std::chrono::seconds(10);
inline constexpr const char* kHostPairingCode = "1234";

// A version-2 hello asking for 1920x1080 at 120 fps, as a client would send it.
inline ClientHello helloWithCode(std::string code, std::optional<std::string> identifier = std::nullopt,
                                 std::string deviceName = "Vision") {
  return ClientHello{2, 1920, 1080, 120, std::move(deviceName), std::move(identifier), std::move(code)};
}

// A client over a plain non-blocking socket, driven from the test thread, which keeps the
// manual main queue running while it waits.
class TestClient {
 public:
  TestClient(ManualMainQueue& mainQueue, std::uint16_t port, const std::string& host = "127.0.0.1")
      : mainQueue_(mainQueue), socket_(context_) {
    socket_.connect(asio::ip::tcp::endpoint(asio::ip::make_address(host), port));
    socket_.non_blocking(true);
  }

  void send(const Bytes& bytes) { asio::write(socket_, asio::buffer(bytes)); }

  void sendInPieces(const Bytes& bytes, std::size_t pieceSize) {
    for (std::size_t offset = 0; offset < bytes.size(); offset += pieceSize) {
      const auto length = std::min(pieceSize, bytes.size() - offset);
      asio::write(socket_, asio::buffer(bytes.data() + offset, length));
      std::this_thread::sleep_for(5ms);  // separate segments
    }
  }

  void sendHello(const ClientHello& hello) { send(MessageCoder::shared().encode(HandshakeMessage(hello))); }

  // The next handshake message, or nothing when the connection closed or nothing came in time.
  std::optional<HandshakeMessage> readHandshake() {
    std::optional<HandshakeMessage> message;
    waitUntil([&] { return (message = accumulator_.nextMessage<HandshakeMessage>()).has_value() || closed_; });
    return message;
  }

  ServerHello readServerHello() {
    const auto message = readHandshake();
    const ServerHello* hello = message ? message->get<ServerHello>() : nullptr;
    EXPECT_NE(hello, nullptr) << "expected a ServerHello";
    return hello ? *hello : ServerHello{};
  }

  // True once the host closed the connection.
  bool waitUntilClosed() { return waitUntil([&] { return closed_; }); }

  void close() { socket_.close(); }

 private:
  // Reads what has arrived before each check of `condition`.
  bool waitUntil(const std::function<bool()>& condition) {
    return mainQueue_.runUntil(
        [&] {
          pump();
          return condition();
        },
        kControlClientWait);
  }

  void pump() {
    std::array<std::uint8_t, 4096> buffer{};
    asio::error_code error;
    const auto count = socket_.read_some(asio::buffer(buffer), error);
    if (error == asio::error::would_block) {
      std::this_thread::sleep_for(1ms);
      return;
    }
    if (error) {
      closed_ = true;
      return;
    }
    accumulator_.append(Bytes(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(count)));
  }

  ManualMainQueue& mainQueue_;
  asio::io_context context_;
  asio::ip::tcp::socket socket_;
  FrameAccumulator accumulator_;
  bool closed_ = false;
};

// The host's control server on a free loopback port, with two displays (those of `displays`, read
// at each hello), code 1234, and every report it makes to its owner kept as a line of text. The test
// thread is its main thread and must keep `mainQueue` running (runUntil) while a client talks to it.
class InProcessHost {
 public:
  // No duplicate window by default: a test's next connection is never taken for the last one's twin.
  explicit InProcessHost(ManualMainQueue& mainQueue,
                         ControlChannelTiming timing = {.duplicateConnectionWindow = {}, .pairingThrottle = {}},
                         std::shared_ptr<InMemoryUserDefaults> defaults = std::make_shared<InMemoryUserDefaults>(),
                         std::chrono::hours trustDuration = std::chrono::hours(24 * 90))
      : mainQueue_(mainQueue), defaults_(std::move(defaults)) {
    ControlChannelServer::Callbacks callbacks;
    callbacks.onClientConnected = [this](const ClientHello& hello, const std::shared_ptr<Connection>&,
                                         const std::optional<std::string>& host) {
      add("connected " + hello.deviceName, host);
    };
    callbacks.onClientDisconnected = [this] { add("disconnected"); };
    callbacks.onPairingRequired = [this] { add("pairing required"); };
    callbacks.onClientTrusted = [this] { add("trusted"); };
    callbacks.onKeyframeRequested = [this] { add("keyframe"); };
    callbacks.onDisplaySwitchRequested = [this](std::uint32_t id) { add("switch " + std::to_string(id)); };
    callbacks.onMultiDisplayRequested = [this](bool enabled) { add(enabled ? "multi on" : "multi off"); };
    callbacks.onControlMessage = [this](const ControlMessage& message) { add("control " + message.toJson().dump()); };
    server_ = ControlChannelServer::create({mainQueue, defaults_, nullptr, [] { return std::string("Test Mac"); },
                                            [this] { return displays; }, makeTcpListener, 0, timing, trustDuration},
                                           std::move(callbacks));
    server_->setRequiredPairingCode(kHostPairingCode);
    server_->start();
    mainQueue_.runUntil([&] { return port() != 0; }, kControlClientWait);
  }

  // The server's queue reports into this object: it stops before the reports go.
  ~InProcessHost() { server_->shutdownQueueAndWait(); }
  InProcessHost(const InProcessHost&) = delete;
  InProcessHost& operator=(const InProcessHost&) = delete;

  std::uint16_t port() const { return server_->listeningPort().value_or(0); }
  ControlChannelServer& server() { return *server_; }

  // Keeps the main queue running until the host made `report` (`count` times in all).
  bool waitForReport(const std::string& report, std::size_t count = 1) {
    return mainQueue_.runUntil([&] { return this->count(report) >= count; }, kControlClientWait);
  }
  std::size_t count(const std::string& report) const { return std::ranges::count(reports(), report); }
  std::vector<std::string> reports() const {
    std::lock_guard lock(reportsLock_);
    return reports_;
  }
  // The address the last admitted client came from.
  std::optional<std::string> clientHost() const {
    std::lock_guard lock(reportsLock_);
    return clientHost_;
  }

  std::vector<MacDisplaySnapshot> displays = {MacDisplaySnapshot{1, "Built-in", Rect{0, 0, 1512, 982}, 2, true},
                                              MacDisplaySnapshot{7, "Studio", Rect{1512, 0, 2560, 1440}, 2, false}};

 private:
  void add(std::string report, std::optional<std::string> host = std::nullopt) {
    std::lock_guard lock(reportsLock_);
    reports_.push_back(std::move(report));
    clientHost_ = host ? host : clientHost_;
  }

  ManualMainQueue& mainQueue_;
  std::shared_ptr<InMemoryUserDefaults> defaults_;
  std::shared_ptr<ControlChannelServer> server_;
  mutable std::mutex reportsLock_;
  std::vector<std::string> reports_;
  std::optional<std::string> clientHost_;
};

inline constexpr auto kHostWait = kControlClientWait;

// For the client's tests, a host that misbehaves on purpose: it accepts one client, reads its hello
// (whole or not), then answers with `replies` and either closes or keeps the connection open silently.
class FakeHost {
 public:
  struct Plan {
    std::vector<Bytes> replies;
    bool closeAfterReplies = false;
  };

  explicit FakeHost(Plan plan)
      : plan_(std::move(plan)),
        acceptor_(context_, asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), 0)),
        socket_(context_) {
    acceptor_.async_accept(socket_, [this](const asio::error_code& error) {
      if (!error) {
        readHello();
      }
    });
    thread_ = std::thread([this] { context_.run(); });
  }
  ~FakeHost() {
    context_.stop();
    thread_.join();
  }
  FakeHost(const FakeHost&) = delete;
  FakeHost& operator=(const FakeHost&) = delete;

  std::uint16_t port() const { return acceptor_.local_endpoint().port(); }

  static Bytes frame(const HandshakeMessage& message) { return MessageCoder::shared().encode(message); }
  static ServerHello serverHello() { return ServerHello{2, "Fake", 1280, 800, 5921, 60, std::nullopt, std::nullopt}; }

 private:
  void readHello() {
    socket_.async_read_some(asio::buffer(chunk_), [this](const asio::error_code& error, std::size_t count) {
      if (error) {
        return;
      }
      accumulator_.append(std::span<const std::uint8_t>(chunk_.data(), count));
      if (accumulator_.nextMessage<HandshakeMessage>()) {
        reply();
      } else {
        readHello();
      }
    });
  }

  void reply() {
    asio::error_code error;
    for (const Bytes& bytes : plan_.replies) {
      asio::write(socket_, asio::buffer(bytes), error);
    }
    if (plan_.closeAfterReplies) {
      socket_.close(error);
    }
  }

  const Plan plan_;
  asio::io_context context_;
  asio::ip::tcp::acceptor acceptor_;
  asio::ip::tcp::socket socket_;
  std::array<std::uint8_t, 4096> chunk_{};
  FrameAccumulator accumulator_;
  std::thread thread_;
};

}  // namespace velmora::testing
