#pragma once

// A fake host for the client's tests, on loopback, that misbehaves on purpose; the real control
// server in-process is control/test_control_client.h's InProcessHost.

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

#include "control/test_control_client.h"
#include "protocol/frame_accumulator.h"
#include "protocol/handshake_message.h"
#include "protocol/message_coder.h"

namespace velmora::testing {

inline constexpr auto kHostWait = kControlClientWait;
inline constexpr const char* kHostPairingCode = InProcessHost::kHostPairingCode;

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
