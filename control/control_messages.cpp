// Reading control messages from the admitted session and handing them to the owner.
#include "control/control_channel_server.h"
#include "protocol/message_coder.h"

namespace velmora {
namespace {

constexpr std::size_t kMaximumReceiveLength = 65536;

}  // namespace

void ControlChannelServer::receiveData(const std::shared_ptr<Connection>& connection,
                                       const std::shared_ptr<FrameAccumulator>& accumulator, BytesHandler handler) {
  std::weak_ptr<ControlChannelServer> weak = weak_from_this();
  std::weak_ptr<Connection> weakConnection = connection;
  connection->receive(1, kMaximumReceiveLength,
                      [weak, weakConnection, accumulator, handler](Bytes bytes, bool isComplete,
                                                                           std::optional<NetworkError> error) {
                        auto self = weak.lock();
                        auto live = weakConnection.lock();
                        if (!self || !live) {
                          return;
                        }
                        if (!self->isCurrent(live)) {
                          self->logger_.info("Ignoring data from stale connection (new client has connected)");
                          return;
                        }
                        if (!bytes.empty()) {
                          (self.get()->*handler)(live, accumulator, bytes);
                        }
                        if (!isComplete && !error) {
                          return;
                        }
                        self->logger_.info("Client connection ended: isComplete={}, error={}", isComplete ? 1 : 0,
                                           error ? error->description : "nil");
                        // The handler may already have ended this connection (a bad frame).
                        if (!self->isCurrent(live)) {
                          return;
                        }
                        if (live == self->pendingConnection_) {
                          self->clearPendingConnection(live);
                        } else {
                          self->endActiveConnection(live, true);
                        }
                        self->closeEndedConnection(live);
                      });
}

void ControlChannelServer::receiveControlMessages(const std::shared_ptr<Connection>& connection,
                                                  const std::shared_ptr<FrameAccumulator>& accumulator) {
  receiveData(connection, accumulator, &ControlChannelServer::handleControlBytes);
}

void ControlChannelServer::handleControlBytes(const std::shared_ptr<Connection>& connection,
                                              const std::shared_ptr<FrameAccumulator>& accumulator, const Bytes& bytes) {
  accumulator->append(bytes);
  while (true) {
    std::optional<ControlMessage> message;
    try {
      message = accumulator->nextMessage<ControlMessage>();
    } catch (const DecodingError& error) {
      logger_.error("Control message decode error: {} — resetting accumulator", error.what());
      if (!accumulator->discardFrontFrame()) {
        // The declared length is over the limit: the byte stream cannot be resynchronised, so
        // the session ends as if the peer had closed it (the client reconnects).
        accumulator->reset();
        endActiveConnection(connection, true);
        closeEndedConnection(connection);
        return;
      }
      // Only the bad frame is dropped: a lost key release would leave a key held on the host.
      continue;
    }
    if (!message) {
      break;
    }
    dispatch(*message);
    // A callback may have stopped the server or replaced the session.
    if (activeConnection_ != connection) {
      return;
    }
  }
  receiveControlMessages(connection, accumulator);
}

void ControlChannelServer::dispatch(const ControlMessage& message) {
  std::visit(
      [this, &message](const auto& value) {
        using Case = std::decay_t<decltype(value)>;
        if constexpr (std::is_same_v<Case, ControlMessage::KeyDown>) {
          logger_.info("Received keyDown: keyCode={} modifiers={}", value.keyCode, value.modifiers.rawValue());
          if (callbacks_.onControlMessage) callbacks_.onControlMessage(message);
        } else if constexpr (std::is_same_v<Case, ControlMessage::KeyUp>) {
          logger_.info("Received keyUp: keyCode={} modifiers={}", value.keyCode, value.modifiers.rawValue());
          if (callbacks_.onControlMessage) callbacks_.onControlMessage(message);
        } else if constexpr (std::is_same_v<Case, ControlMessage::SwitchDisplay>) {
          logger_.info("Received switchDisplay request: displayID={}", value.displayID);
          if (callbacks_.onDisplaySwitchRequested) callbacks_.onDisplaySwitchRequested(value.displayID);
        } else if constexpr (std::is_same_v<Case, ControlMessage::SetMultiDisplay>) {
          logger_.info("Received setMultiDisplay: enabled={}", value.enabled ? 1 : 0);
          if (callbacks_.onMultiDisplayRequested) callbacks_.onMultiDisplayRequested(value.enabled);
        } else if constexpr (std::is_same_v<Case, ControlMessage::RequestKeyframe>) {
          if (callbacks_.onKeyframeRequested) callbacks_.onKeyframeRequested();
        } else if constexpr (std::is_same_v<Case, ControlMessage::Unknown>) {
          logger_.info("Received unknown control message — ignoring");
        } else {
          if (callbacks_.onControlMessage) callbacks_.onControlMessage(message);
        }
      },
      message.value());
}

void ControlChannelServer::closeEndedConnection(const std::shared_ptr<Connection>& connection) {
  // Its records are already cleared; closing releases the socket without a further report.
  connection->setStateHandler(nullptr);
  connection->cancel();
}

}  // namespace velmora
