#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dispatch/serial_queue.h"
#include "platform/log/log.h"
#include "platform/log/log_throttle.h"
#include "platform/net/udp_listener.h"
#include "protocol/velmora_constants.h"
#include "protocol/video_frame_metadata.h"

namespace velmora {

struct VideoStreamServerOptions {
  using Clock = std::chrono::steady_clock;

  std::uint16_t port = VelmoraConstants::defaultVideoPort;  // 0 picks a free port (tests)
  UdpSendMode sendMode = UdpSendMode::segmentationOffload;
  UdpListenerFactory makeListener;  // none: the Asio listener
  // Flows whose lines (state, hello, rejection) are logged per window; the rest are counted,
  // so that a flood of foreign hellos cannot fill the disk.
  std::size_t loggedFlowsPerWindow = 5;
  Clock::duration flowLogWindow = std::chrono::seconds(1);
  std::function<Clock::time_point()> now;  // none: Clock::now
};

// The host's UDP endpoint for video: admits the one flow that comes from the host verified on
// the control channel and sends every encoded frame to it as a train of datagrams.
class VideoStreamServer : public std::enable_shared_from_this<VideoStreamServer> {
 public:
  using Clock = VideoStreamServerOptions::Clock;
  using Options = VideoStreamServerOptions;

  // What the server reports, given once at creation; called on the video network queue.
  struct Callbacks {
    std::function<void()> onClientReady;  // the verified client's flow was adopted
  };

  static std::shared_ptr<VideoStreamServer> create(Options options = {}, Callbacks callbacks = {});

 private:
  // Only create() can make the key: the server is always owned by a shared_ptr.
  struct ConstructionKey {
    explicit ConstructionKey() = default;
  };

 public:
  VideoStreamServer(ConstructionKey key, Options options, Callbacks callbacks);
  ~VideoStreamServer();

  VideoStreamServer(const VideoStreamServer&) = delete;
  VideoStreamServer& operator=(const VideoStreamServer&) = delete;

  void start();
  void stopCompletely();
  // Stops the video network queue and waits for the work running on it.
  void shutdownQueueAndWait();
  void disconnectClient();
  void setAllowedClientHost(std::optional<std::string> host);
  std::optional<std::string> allowedClientHost() const;
  // Any thread, several at once; the frame goes wholly to the flow active when the call began.
  void send(std::span<const std::vector<std::uint8_t>> nalUnits, const VideoFrameMetadata& metadata);

  // The bound port while a listener exists (tests start on port 0).
  std::optional<std::uint16_t> listeningPort() const;

  // Text that two spellings of one host share: no "%interface" suffix, no IPv4-mapped prefix.
  static std::string canonicalHostString(std::string_view host);

 private:
  struct State {
    std::shared_ptr<UdpListener> listener;
    std::shared_ptr<UdpFlow> activeConnection;
    std::optional<std::string> allowedClientHost;
    std::int64_t sendCount = 0;
    // Per stream, the datagrams of its newest frame while no client was ready, when that frame is
    // a keyframe: a still screen encodes nothing more, so a client that comes after it gets it.
    std::map<std::uint16_t, std::vector<std::uint8_t>> heldKeyframes;
  };

  // What the handlers of one flow share: the flow (weakly) and whether its lines are logged.
  struct FlowContext {
    std::weak_ptr<UdpFlow> flow;
    bool isLogged = false;
  };

  void handleListenerState(UdpListener::StateKind state, const std::optional<NetworkError>& error, std::uint16_t port);
  void handleNewConnection(const std::shared_ptr<UdpFlow>& flow);
  void handleFlowState(const FlowContext& context, const ConnectionStatus& state);
  void admit(const FlowContext& context, const std::shared_ptr<UdpFlow>& flow);
  void reject(const FlowContext& context, UdpFlow& flow, const std::function<void()>& logRejection);
  void clearActiveConnectionIf(const std::shared_ptr<UdpFlow>& flow);

  Options options_;
  const Callbacks callbacks_;
  log::Logger logger_{"VideoStream"};
  SerialQueue networkQueue_;
  // A few new flows per window have their lines logged; the others' rejections are counted and
  // the count is logged before the next logged rejection.
  log::WindowThrottle flowLogThrottle_;

  mutable std::mutex stateLock_;
  State state_;
};

}  // namespace velmora
