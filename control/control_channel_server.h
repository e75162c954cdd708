#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "control/pairing_throttle.h"
#include "control/trusted_devices.h"
#include "displays/mac_display_catalog.h"
#include "platform/dispatch/serial_queue.h"
#include "platform/dispatch/timer.h"
#include "platform/log/log.h"
#include "platform/main_queue.h"
#include "platform/network.h"
#include "platform/result.h"
#include "platform/service_advertiser.h"
#include "protocol/control_message.h"
#include "protocol/frame_accumulator.h"
#include "protocol/handshake_message.h"

namespace velmora {

struct ControlChannelTiming {
  std::chrono::steady_clock::duration handshakeDeadline = std::chrono::seconds(5);
  // Parallel connections of one client (Happy Eyeballs) arrive within this time of its handshake.
  std::chrono::steady_clock::duration duplicateConnectionWindow = std::chrono::seconds(2);
  PairingThrottle::Settings pairingThrottle;
};

// The host's end of the TCP control channel: listens, advertises, admits one client session at a
// time, runs the handshake and dispatches control messages. Everything but the locked values
// lives on netQueue; callbacks are invoked there.
class ControlChannelServer : public std::enable_shared_from_this<ControlChannelServer> {
 public:
  using ListenerFactory = std::function<Result<std::shared_ptr<TcpListener>>(asio::io_context&, std::uint16_t port)>;

  struct Dependencies {
    MainQueue& mainQueue;
    std::shared_ptr<UserDefaults> userDefaults;
    std::shared_ptr<ServiceAdvertiser> advertiser;  // none: no advertisement
    std::function<std::string()> computerName;      // called on the main thread
    // The snapshots used when displaySnapshotProvider is not set; called on the main thread.
    std::function<std::vector<MacDisplaySnapshot>()> currentSnapshots;
    ListenerFactory makeListener;
    std::uint16_t port = 0;  // the control port; 0 picks a free one (tests)
    ControlChannelTiming timing;
    // How long a trusted device stays trusted without an admission; zero: for ever.
    std::chrono::hours trustDuration = std::chrono::hours(24 * 90);
    // Trusted identifiers are not enough for this run, whatever the stored choice says.
    bool alwaysAskForCode = false;
  };

  // What the server reports, given once at creation. Invoked on netQueue, except
  // displaySnapshotProvider, which is called on the main thread.
  struct Callbacks {
    std::function<void(const ControlMessage&)> onControlMessage;
    std::function<void(std::uint32_t displayID)> onDisplaySwitchRequested;
    std::function<void(bool enabled)> onMultiDisplayRequested;
    std::function<void(const ClientHello&, const std::shared_ptr<Connection>&, const std::optional<std::string>& host)>
        onClientConnected;
    std::function<void()> onClientDisconnected;
    std::function<void()> onPairingRequired;
    std::function<void()> onClientTrusted;
    std::function<void()> onKeyframeRequested;
    // The displays a ServerHello lists; none: Dependencies::currentSnapshots.
    std::function<std::vector<MacDisplaySnapshot>()> displaySnapshotProvider;
  };

  static std::shared_ptr<ControlChannelServer> create(Dependencies dependencies, Callbacks callbacks = {});
  ~ControlChannelServer();

  ControlChannelServer(const ControlChannelServer&) = delete;
  ControlChannelServer& operator=(const ControlChannelServer&) = delete;

  void start();
  void stop();
  void resendServerHello();
  // Stops netQueue and waits for the work running on it; the server then serves nothing more.
  void shutdownQueueAndWait();

  std::string requiredPairingCode() const;
  void setRequiredPairingCode(std::string code);
  std::optional<std::uint32_t> selectedDisplayID() const;
  void setSelectedDisplayID(std::optional<std::uint32_t> displayID);
  bool hasTrustedClients() const { return !trustedDevices_->empty(); }
  TrustedDevices& trustedDevices() const { return *trustedDevices_; }
  // The command line's choice or the stored one.
  bool alwaysAskForCode() const;
  // Ends the client's session if its device is no longer trusted (forgotten, in this process or
  // another). Any thread.
  void revalidateActiveClient();
  // Ends the client's session, as if it had left. Any thread.
  void disconnectActiveClient();
  // The port the listener is bound to while one exists (tests start on port 0).
  std::optional<std::uint16_t> listeningPort() const;

 private:
  ControlChannelServer(Dependencies dependencies, Callbacks callbacks);

  struct ScreenSize {
    double width = 0;
    double height = 0;
  };
  struct HostDescription {
    ScreenSize size;
    std::vector<DisplayInfo> displays;
    std::string hostName;
  };

  // How a client came in: by the code, or by trust with the device as stored.
  struct Admission {
    std::optional<std::string> identifier;
    std::optional<TrustedDevice> trustedDevice;  // none: by code
  };

  // Admission and lifecycle (control_channel_server.cpp).
  void startLocked();
  void stopLocked();
  void handleNewConnection(const std::shared_ptr<Connection>& candidate);
  void armPendingHandshakeTimeout(const std::shared_ptr<Connection>& connection);
  void handleConnectionState(const std::shared_ptr<Connection>& connection, const ConnectionStatus& state);
  void clearPendingConnection(const std::shared_ptr<Connection>& connection);
  void endActiveConnection(const std::shared_ptr<Connection>& connection, bool notifyDisconnect);
  // Ends the admitted client's session, with a notice saying why.
  void disconnectActiveLocked(std::string_view why);
  std::pair<bool, std::shared_ptr<Connection>> promotePendingConnection(const std::shared_ptr<Connection>& connection);
  bool isCurrent(const std::shared_ptr<Connection>& connection) const;

  // Handshake (control_handshake.cpp).
  void receiveHandshake(const std::shared_ptr<Connection>& connection, const std::shared_ptr<FrameAccumulator>& accumulator);
  void handleHandshakeBytes(const std::shared_ptr<Connection>& connection, const std::shared_ptr<FrameAccumulator>& accumulator,
                            const Bytes& bytes);
  void admitClient(const std::shared_ptr<Connection>& connection, const std::shared_ptr<FrameAccumulator>& accumulator,
                   const ClientHello& hello, const Admission& admission);
  std::optional<Admission> passesPairing(const std::shared_ptr<Connection>& connection, const ClientHello& hello);
  // False when the device was forgotten since its hello was checked: it is not admitted after all.
  bool recordAdmission(const Admission& admission, const ClientHello& hello, const std::optional<std::string>& clientHost);
  void rejectPendingConnection(const std::shared_ptr<Connection>& connection, RejectionReason reason);
  void sendLocked(const HandshakeMessage& message);
  std::optional<std::string> extractHost(const std::shared_ptr<Connection>& connection) const;
  std::optional<std::string> extractLocalHost(const std::shared_ptr<Connection>& connection) const;
  HostDescription describeHost() const;
  static ServerHello makeServerHello(const HostDescription& host, std::int64_t frameRate, std::optional<std::string> videoHost);
  std::vector<MacDisplaySnapshot> snapshots() const;
  ScreenSize getSelectedScreenSize(const std::vector<MacDisplaySnapshot>& snapshots) const;
  std::string hostName() const;

  // Control messages (control_messages.cpp).
  // One receive on the connection; its bytes go to `handler`, which arms the next receive.
  using BytesHandler = void (ControlChannelServer::*)(const std::shared_ptr<Connection>&,
                                                      const std::shared_ptr<FrameAccumulator>&, const Bytes&);
  void receiveData(const std::shared_ptr<Connection>& connection, const std::shared_ptr<FrameAccumulator>& accumulator,
                   BytesHandler handler);
  void receiveControlMessages(const std::shared_ptr<Connection>& connection, const std::shared_ptr<FrameAccumulator>& accumulator);
  void handleControlBytes(const std::shared_ptr<Connection>& connection, const std::shared_ptr<FrameAccumulator>& accumulator,
                          const Bytes& bytes);
  void dispatch(const ControlMessage& message);
  void closeEndedConnection(const std::shared_ptr<Connection>& connection);

  Dependencies dependencies_;
  const Callbacks callbacks_;
  log::Logger logger_{"ControlChannel"};
  SerialQueue netQueue_;

  // Touched on netQueue only.
  std::shared_ptr<TcpListener> listener_;
  std::shared_ptr<Connection> activeConnection_;
  std::shared_ptr<Connection> pendingConnection_;
  bool handshakeCompleted_ = false;
  std::optional<std::chrono::steady_clock::time_point> handshakeTimestamp_;
  std::shared_ptr<Timer> pendingHandshakeTimeout_;
  PairingThrottle pairingThrottle_;
  // The active client's identifier while its device is stored as trusted: forgetting the device
  // ends the session.
  std::optional<std::string> activeTrustedIdentifier_;
  std::string activeDeviceName_;

  std::atomic<int> listeningPort_{-1};

  mutable std::mutex displayIDLock_;
  std::optional<std::uint32_t> selectedDisplayID_;
  mutable std::mutex pairingCodeLock_;
  std::string requiredPairingCode_;
  const std::shared_ptr<TrustedDevices> trustedDevices_;
};

bool isUsableVideoHost(std::string text);

}  // namespace velmora
