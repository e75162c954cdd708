#pragma once

#include <asio.hpp>

#include <array>
#include <chrono>
#include <optional>
#include <string>
#include <thread>

#include "platform/dispatch/manual_main_queue.h"
#include "platform/network.h"
#include "protocol/frame_accumulator.h"
#include "protocol/handshake_message.h"
#include "protocol/control_message.h"
#include "protocol/message_coder.h"

#include <gtest/gtest.h>

namespace velmora::testing {

using namespace std::chrono_literals;

inline constexpr auto kControlClientWait = std::chrono::seconds(10);

// A version-2 hello asking for 1920x1080 at 120 fps, as a client would send it.
inline ClientHello helloWithCode(std::string code, std::optional<std::string> identifier = std::nullopt,
                                 std::string deviceName = "Vision") {
  ClientHello hello;
  hello.protocolVersion = 2;
  hello.preferredWidth = 1920;
  hello.preferredHeight = 1080;
  hello.preferredFrameRate = 120;
  hello.deviceName = std::move(deviceName);
  hello.clientIdentifier = std::move(identifier);
  hello.pairingCode = std::move(code);
  return hello;
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
  void sendControl(const ControlMessage& message) { send(MessageCoder::shared().encode(message)); }

  // The next handshake message, or nothing when the connection closed or nothing came in time.
  std::optional<HandshakeMessage> readHandshake() {
    std::optional<HandshakeMessage> message;
    mainQueue_.runUntil(
        [&] {
          pump();
          message = accumulator_.nextMessage<HandshakeMessage>();
          return message.has_value() || closed_;
        },
        kControlClientWait);
    return message;
  }

  ServerHello readServerHello() {
    auto message = readHandshake();
    EXPECT_TRUE(message.has_value()) << "no ServerHello";
    if (!message || message->get<ServerHello>() == nullptr) {
      ADD_FAILURE() << "expected a ServerHello";
      return {};
    }
    return *message->get<ServerHello>();
  }

  // True once the host closed the connection.
  bool waitUntilClosed() {
    return mainQueue_.runUntil(
        [&] {
          pump();
          return closed_;
        },
        kControlClientWait);
  }

  void close() { socket_.close(); }

 private:
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

}  // namespace velmora::testing
