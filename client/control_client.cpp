#include "client/control_client.h"

#include <fmt/format.h>

#include <asio/post.hpp>

#include <utility>

#include "platform/net/asio_connection.h"
#include "protocol/message_coder.h"

namespace velmora {
namespace {

// A caller of close() never waits longer than this, even if the client's thread were stuck.
constexpr auto kCloseWaitLimit = ControlClient::closeTimeout + std::chrono::seconds(3);

std::string secondsText(std::chrono::milliseconds duration) {
  return fmt::format("{:g} s", static_cast<double>(duration.count()) / 1000.0);
}

}  // namespace

ControlClient::ControlClient(Handlers handlers)
    : handlers_(std::move(handlers)),
      keepRunning_(asio::make_work_guard(context_)),
      handshakeDeadline_(context_),
      closeDeadline_(context_),
      thread_([this] { context_.run(); }) {}

ControlClient::~ControlClient() {
  asio::post(context_, [this] {
    phase_ = Phase::ended;
    handshakeDeadline_.cancel();
    closeDeadline_.cancel();
    if (connection_) {
      connection_->cancel();
    }
    // Work still queued (the connection's own reports) is dropped with the context, unrun.
    context_.stop();
  });
  thread_.join();
}

void ControlClient::start(std::string host, std::uint16_t port, const ClientHello& hello, Clock::duration handshakeTimeout) {
  Bytes helloFrame;
  std::optional<std::string> encodingFailure;
  try {
    helloFrame = MessageCoder::shared().encode(HandshakeMessage(hello));
  } catch (const EncodingError& error) {
    encodingFailure = std::string("cannot encode the ClientHello: ") + error.what();
  }
  asio::post(context_, [this, host = std::move(host), port, helloFrame = std::move(helloFrame), encodingFailure,
                        handshakeTimeout]() mutable {
    if (phase_ != Phase::idle) {
      return;
    }
    if (encodingFailure) {
      phase_ = Phase::connecting;
      fail(*encodingFailure);
      return;
    }
    begin(std::move(host), port, std::move(helloFrame), handshakeTimeout);
  });
}

void ControlClient::send(const ControlMessage& message) {
  Bytes frame;
  try {
    frame = MessageCoder::shared().encode(message);
  } catch (const EncodingError& error) {
    logger_.error("Cannot encode {}: {}", message.caseName(), error.what());
    return;
  }
  asio::post(context_, [this, frame = std::move(frame), what = std::string(message.caseName())]() mutable {
    if (phase_ != Phase::admitted) {
      logger_.info("Not sending {}: {}", what, phase_ == Phase::closing || phase_ == Phase::ended ? "the connection is over"
                                                                                               : "not admitted yet");
      return;
    }
    sendFrame(std::move(frame), std::move(what));
  });
}

void ControlClient::close() {
  auto closed = std::make_shared<std::promise<void>>();
  auto done = closed->get_future();
  asio::post(context_, [this, closed] { beginClose(closed); });
  if (done.wait_for(kCloseWaitLimit) != std::future_status::ready) {
    logger_.error("Closing the control connection did not finish in time");
  }
}

void ControlClient::begin(std::string host, std::uint16_t port, Bytes helloFrame, Clock::duration handshakeTimeout) {
  phase_ = Phase::connecting;
  target_ = fmt::format("{} port {}", host, port);
  handshakeTimeout_ = std::chrono::ceil<std::chrono::milliseconds>(handshakeTimeout);
  logger_.info("Connecting to {}", target_);

  handshakeDeadline_.expires_after(handshakeTimeout);
  handshakeDeadline_.async_wait([this](const asio::error_code& error) {
    if (!error) {
      handleHandshakeDeadline();
    }
  });

  connection_ = makeTcpConnection(context_, std::move(host), port);
  // The hello waits in the connection until it is established.
  sendFrame(std::move(helloFrame), "ClientHello");
  connection_->setStateHandler([this](const ConnectionStatus& state) { handleConnectionState(state); });
  connection_->start();
}

void ControlClient::handleConnectionState(const ConnectionStatus& state) {
  if (state.kind == ConnectionStateKind::ready && phase_ == Phase::connecting) {
    peerAddress_ = connection_->remoteEndpoint().value_or(Endpoint{}).host;
    logger_.info("Connected to {}; waiting for the host's answer", log::privateValue(peerAddress_));
    phase_ = Phase::awaitingAnswer;
    armReceive();
  } else if (state.kind == ConnectionStateKind::failed) {
    const std::string why = state.error.value_or(NetworkError{"unknown error"}).description;
    fail(phase_ == Phase::connecting ? fmt::format("cannot connect to {}: {}", target_, why)
                                     : fmt::format("the control connection failed: {}", why));
  }
}

void ControlClient::sendFrame(Bytes frame, std::string what) {
  ++sendsInFlight_;
  connection_->send(std::move(frame), [this, what = std::move(what)](std::optional<NetworkError> error) {
    --sendsInFlight_;
    if (error && isReading()) {
      fail(fmt::format("sending {} to the host failed: {}", what, error->description));
      return;
    }
    if (phase_ == Phase::closing && sendsInFlight_ == 0) {
      finishClose();
    }
  });
}

void ControlClient::armReceive() {
  connection_->receive(1, AsioConnection::kMaximumReceiveLength,
                       [this](Bytes bytes, bool peerClosed, std::optional<NetworkError> error) {
                         handleReceived(bytes, peerClosed, error);
                       });
}

void ControlClient::handleReceived(const Bytes& bytes, bool peerClosed, const std::optional<NetworkError>& error) {
  if (!isReading()) {
    return;
  }
  accumulator_.append(bytes);
  try {
    while (isReading()) {
      auto message = accumulator_.nextMessage<HandshakeMessage>();
      if (!message) {
        break;
      }
      handleMessage(*message);
    }
  } catch (const DecodingError& decodingError) {
    fail(fmt::format("the host sent an undecodable message: {}", decodingError.what()));
    return;
  }
  if (!isReading()) {
    return;
  }
  if (error) {
    fail(fmt::format("reading from the host failed: {}", error->description));
  } else if (peerClosed) {
    fail(phase_ == Phase::awaitingAnswer ? "the host closed the connection without answering the ClientHello"
                                         : "the host closed the control connection");
  } else {
    armReceive();
  }
}

void ControlClient::handleMessage(const HandshakeMessage& message) {
  if (phase_ == Phase::closing) {
    return;  // the client is ending; nobody waits for news any more
  }
  if (const ServerHello* hello = message.get<ServerHello>()) {
    if (phase_ == Phase::awaitingAnswer) {
      handshakeDeadline_.cancel();
      phase_ = Phase::admitted;
      logger_.info("Admitted by {}: screen {}x{}, {} display(s), video port {}", hello->hostName, hello->screenWidth,
                   hello->screenHeight, hello->displays ? hello->displays->size() : 0, hello->videoPort);
    } else {
      logger_.info("ServerHello again: screen {}x{}, {} display(s)", hello->screenWidth, hello->screenHeight,
                   hello->displays ? hello->displays->size() : 0);
    }
    if (handlers_.onServerHello) {
      handlers_.onServerHello(*hello, peerAddress_);
    }
    return;
  }
  const ServerRejected* rejected = message.get<ServerRejected>();
  if (rejected && phase_ == Phase::awaitingAnswer) {
    logger_.error("The host rejected the client: {}", toString(rejected->reason));
    phase_ = Phase::ended;
    handshakeDeadline_.cancel();
    connection_->cancel();
    if (handlers_.onRejected) {
      handlers_.onRejected(rejected->reason);
    }
    return;
  }
  fail(fmt::format("the host sent an unexpected {}", message.caseName()));
}

void ControlClient::handleHandshakeDeadline() {
  if (phase_ == Phase::connecting) {
    fail(fmt::format("no connection to {} within {}", target_, secondsText(handshakeTimeout_)));
  } else if (phase_ == Phase::awaitingAnswer) {
    fail(fmt::format("the host did not answer the ClientHello within {}", secondsText(handshakeTimeout_)));
  }
}

void ControlClient::fail(const std::string& why) {
  if (phase_ == Phase::closing) {
    finishClose();  // whatever goes wrong while closing is part of closing
    return;
  }
  if (phase_ == Phase::idle || phase_ == Phase::ended) {
    return;
  }
  phase_ = Phase::ended;
  handshakeDeadline_.cancel();
  if (connection_) {
    connection_->cancel();
  }
  logger_.notice("Control connection ends: {}", why);
  if (handlers_.onFailure) {
    handlers_.onFailure(why);
  }
}

void ControlClient::beginClose(std::shared_ptr<std::promise<void>> closed) {
  closeWaiters_.push_back(std::move(closed));
  if (phase_ == Phase::closing) {
    return;  // a second close() waits for the first one's end
  }
  if (phase_ != Phase::admitted) {
    if (phase_ != Phase::ended) {
      phase_ = Phase::ended;
      handshakeDeadline_.cancel();
      if (connection_) {
        connection_->cancel();
      }
    }
    releaseCloseWaiters();
    return;
  }
  phase_ = Phase::closing;
  if (sendsInFlight_ == 0) {
    finishClose();
    return;
  }
  logger_.debug("Closing once {} queued message(s) went out", sendsInFlight_);
  closeDeadline_.expires_after(closeTimeout);
  closeDeadline_.async_wait([this](const asio::error_code& error) {
    if (!error) {
      logger_.notice("Closing the control connection with messages still queued");
      finishClose();
    }
  });
}

void ControlClient::finishClose() {
  if (phase_ != Phase::closing) {
    return;
  }
  phase_ = Phase::ended;
  closeDeadline_.cancel();
  connection_->cancel();
  logger_.info("Control connection closed");
  releaseCloseWaiters();
}

void ControlClient::releaseCloseWaiters() {
  for (const auto& waiter : closeWaiters_) {
    waiter->set_value();
  }
  closeWaiters_.clear();
}

bool ControlClient::isReading() const {
  return phase_ == Phase::awaitingAnswer || phase_ == Phase::admitted || phase_ == Phase::closing;
}

}  // namespace velmora
