#pragma once

// Hosts for the client's tests, on loopback: the real control server in-process, and a fake that
// misbehaves on purpose.

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/write.hpp>

#include <algorithm>
#include <array>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "control/control_channel_server.h"
#include "platform/dispatch/manual_main_queue.h"
#include "platform/net/asio_tcp_listener.h"
#include "platform/testing/in_memory_user_defaults.h"
#include "protocol/frame_accumulator.h"
#include "protocol/handshake_message.h"
#include "protocol/message_coder.h"

namespace velmora::testing {

inline constexpr auto kHostWait = std::chrono::seconds(10);
inline constexpr const char* kHostPairingCode = "1234";

// The host's control server on a free loopback port, with two displays, code 1234, and every
// report it makes to its owner kept as a line of text. The test thread is its main thread and
// must keep `mainQueue` running (runUntil) while a client talks to it.
class InProcessHost {
 public:
  explicit InProcessHost(ManualMainQueue& mainQueue) : mainQueue_(mainQueue) {
    ControlChannelTiming timing;
    timing.handshakeDeadline = std::chrono::seconds(5);
    timing.duplicateConnectionWindow = std::chrono::milliseconds(0);
    ControlChannelServer::Dependencies dependencies{mainQueue,
                                                    std::make_shared<InMemoryUserDefaults>(),
                                                    nullptr,
                                                    [] { return std::string("Test Mac"); },
                                                    [] { return displays(); },
                                                    makeTcpListener,
                                                    0,
                                                    timing};
    ControlChannelServer::Callbacks callbacks;
    callbacks.onClientConnected = [this](const ClientHello& hello, const std::shared_ptr<Connection>&,
                                         const std::optional<std::string>&) { add("connected " + hello.deviceName); };
    callbacks.onClientDisconnected = [this] { add("disconnected"); };
    callbacks.onPairingRequired = [this] { add("pairing required"); };
    callbacks.onKeyframeRequested = [this] { add("keyframe"); };
    callbacks.onDisplaySwitchRequested = [this](std::uint32_t id) { add("switch " + std::to_string(id)); };
    callbacks.onControlMessage = [this](const ControlMessage& message) { add("control " + message.toJson().dump()); };
    server_ = ControlChannelServer::create(std::move(dependencies), std::move(callbacks));
    server_->setRequiredPairingCode(kHostPairingCode);
    server_->start();
    mainQueue_.runUntil([&] { return server_->listeningPort().value_or(0) != 0; }, kHostWait);
  }

  std::uint16_t port() const { return server_->listeningPort().value_or(0); }
  ControlChannelServer& server() { return *server_; }

  // Keeps the main queue running until the host made `report` (`count` times in all).
  bool waitForReport(const std::string& report, std::size_t count = 1) {
    return mainQueue_.runUntil([&] { return this->count(report) >= count; }, kHostWait);
  }
  std::size_t count(const std::string& report) const {
    std::lock_guard lock(reportsLock_);
    return static_cast<std::size_t>(std::count(reports_.begin(), reports_.end(), report));
  }
  std::vector<std::string> reports() const {
    std::lock_guard lock(reportsLock_);
    return reports_;
  }

 private:
  static std::vector<MacDisplaySnapshot> displays() {
    return {MacDisplaySnapshot{1, "Built-in", Rect{0, 0, 1512, 982}, 2, true},
            MacDisplaySnapshot{7, "Studio", Rect{1512, 0, 2560, 1440}, 2, false}};
  }
  void add(std::string report) {
    std::lock_guard lock(reportsLock_);
    reports_.push_back(std::move(report));
  }

  ManualMainQueue& mainQueue_;
  std::shared_ptr<ControlChannelServer> server_;
  mutable std::mutex reportsLock_;
  std::vector<std::string> reports_;
};

// A host that accepts one client, reads its hello (whole or not), then answers with `replies`
// and either closes or keeps the connection open without a word more.
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
  static ServerHello serverHello() {
    ServerHello hello;
    hello.protocolVersion = 2;
    hello.hostName = "Fake";
    hello.screenWidth = 1280;
    hello.screenHeight = 800;
    hello.videoPort = 5921;
    hello.frameRate = 60;
    return hello;
  }

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
      return;
    }
    readUntilClosed();
  }

  void readUntilClosed() {
    socket_.async_read_some(asio::buffer(chunk_), [this](const asio::error_code& error, std::size_t) {
      if (!error) {
        readUntilClosed();
      }
    });
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
