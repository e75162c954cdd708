#pragma once

// Loopback test helpers for the network layer and the servers built on it.

#include "platform/dispatch/serial_queue.h"
#include "platform/net/asio_tcp_listener.h"
#include "platform/network.h"

#include <asio/ip/tcp.hpp>
#include <asio/read.hpp>
#include <asio/write.hpp>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <future>
#include <memory>
#include <mutex>
#include <numeric>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>

namespace velmora::testing {

// Generous: only a broken implementation ever waits this long.
inline constexpr std::chrono::seconds kEventTimeout{10};

// For events no callback reports.
template <class Condition>
bool waitUntil(Condition condition) {
  const auto deadline = std::chrono::steady_clock::now() + kEventTimeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// The queue the network objects run on in the host, with a way to wait until it is idle.
struct QueueThread : SerialQueue {
  QueueThread() : SerialQueue("com.velmora.test.net") {}

  void drain() {
    std::promise<void> done;
    post([&done] { done.set_value(); });
    done.get_future().wait();
  }
};

// Collects values handed over by callbacks on the queue thread; the test thread waits for them.
template <class T>
class Inbox {
 public:
  void push(T value) {
    std::lock_guard lock(itemsLock_);
    items_.push_back(std::move(value));
    itemsChanged_.notify_all();
  }

  std::optional<T> next() {
    std::unique_lock lock(itemsLock_);
    if (!itemsChanged_.wait_for(lock, kEventTimeout, [this] { return !items_.empty(); })) {
      return std::nullopt;
    }
    T value = std::move(items_.front());
    items_.pop_front();
    return value;
  }

  std::size_t size() const {
    std::lock_guard lock(itemsLock_);
    return items_.size();
  }

 private:
  mutable std::mutex itemsLock_;
  std::condition_variable itemsChanged_;
  std::deque<T> items_;
};

// Inboxes are shared with the callbacks, which may run after a failed test has returned.
template <class T>
using SharedInbox = std::shared_ptr<Inbox<T>>;

template <class T>
SharedInbox<T> makeInbox() { return std::make_shared<Inbox<T>>(); }

struct Received {
  Bytes bytes;
  bool isComplete = false;
  std::optional<NetworkError> error;
};

inline Bytes toBytes(std::string_view text) { return Bytes(text.begin(), text.end()); }
inline Bytes countingBytes(std::size_t size, std::uint8_t start = 0) {
  Bytes bytes(size);
  std::iota(bytes.begin(), bytes.end(), start);
  return bytes;
}
inline std::string toText(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

template <class Transport>
SharedInbox<ConnectionStateKind> recordStates(Transport& transport) {
  auto states = makeInbox<ConnectionStateKind>();
  transport.setStateHandler([states](const ConnectionStatus& state) { states->push(state.kind); });
  return states;
}

inline SharedInbox<Received> receiveInto(Connection& connection, std::size_t minimum, std::size_t maximum) {
  auto inbox = makeInbox<Received>();
  connection.receive(minimum, maximum, [inbox](Bytes bytes, bool isComplete, std::optional<NetworkError> error) {
    inbox->push(Received{std::move(bytes), isComplete, std::move(error)});
  });
  return inbox;
}

inline Received receiveOnce(Connection& connection, std::size_t minimum, std::size_t maximum) {
  return receiveInto(connection, minimum, maximum)->next().value();
}

// A started listener on a free port that hands over what it accepts.
class ListeningHost {
 public:
  explicit ListeningHost(asio::io_context& queue) {
    auto made = makeTcpListener(queue, 0);
    if (!made) {
      throw std::runtime_error(made.error());
    }
    listener = made.value();
    listener->setStateHandler([states = states](TcpListener::StateKind state, std::optional<NetworkError>) {
      states->push(state);
    });
    listener->setNewConnectionHandler([accepted = accepted](std::shared_ptr<Connection> connection) {
      accepted->push(std::move(connection));
    });
    listener->start();
  }
  ~ListeningHost() { listener->cancel(); }

  std::uint16_t port() const { return listener->port(); }

  // The next accepted connection, handed over unstarted, then started until it reported ready.
  std::shared_ptr<Connection> acceptReady() {
    auto connection = accepted->next().value();
    auto connectionStates = recordStates(*connection);
    const bool wasUnstarted = connection->state().kind == ConnectionStateKind::setup;
    connection->start();
    if (!wasUnstarted || connectionStates->next() != ConnectionStateKind::preparing ||
        connectionStates->next() != ConnectionStateKind::ready) {
      throw std::runtime_error("the accepted connection was not handed over unstarted or did not become ready");
    }
    return connection;
  }

  std::shared_ptr<TcpListener> listener;
  SharedInbox<TcpListener::StateKind> states = makeInbox<TcpListener::StateKind>();
  SharedInbox<std::shared_ptr<Connection>> accepted = makeInbox<std::shared_ptr<Connection>>();
};

// A plain blocking client socket, the kind of peer a real client is.
class RawPeer {
 public:
  RawPeer(const std::string& address, std::uint16_t port) {
    socket_.connect(asio::ip::tcp::endpoint(asio::ip::make_address(address), port));
  }

  void write(std::string_view text) { asio::write(socket_, asio::buffer(text.data(), text.size())); }

  Bytes readExactly(std::size_t length) {
    Bytes bytes(length);
    asio::read(socket_, asio::buffer(bytes));
    return bytes;
  }

  // True when the host closed its side: the next read sees the end of the stream.
  bool readsEndOfStream() {
    std::uint8_t byte = 0;
    asio::error_code error;
    socket_.read_some(asio::buffer(&byte, 1), error);
    return error == asio::error::eof;
  }

  void close() { socket_.close(); }

  // Closes with a reset instead of an orderly shutdown.
  void reset() {
    socket_.set_option(asio::socket_base::linger(true, 0));
    socket_.close();
  }

 private:
  asio::io_context context_;
  asio::ip::tcp::socket socket_{context_};
};

inline std::size_t openDescriptorCount() {
  const std::filesystem::directory_iterator descriptors("/proc/self/fd");
  return static_cast<std::size_t>(std::distance(begin(descriptors), end(descriptors)));
}

}  // namespace velmora::testing
