#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "client/datagram_socket.h"
#include "client/receive_statistics.h"
#include "client/received_picture.h"
#include "client/video_datagram_processor.h"
#include "platform/result.h"
#include "platform/wake_event.h"
#include "protocol/velmora_constants.h"

namespace velmora {

struct VideoReceiverOptions {
  std::string host;  // the address the host gave for video, or a name
  std::uint16_t videoPort = VelmoraConstants::defaultVideoPort;
  // The hello is repeated this often until video flows: UDP may lose it.
  std::chrono::milliseconds helloInterval{1000};
  // Frames of further displays are counted and dropped, so a hostile host cannot multiply decoders.
  std::size_t maxDisplays = FrameReassembler::defaultMaxDisplays;
  HevcDecoder::Limits decoderLimits;
  std::optional<std::filesystem::path> saveStreamDirectory;
  PictureHandler onPicture;
  KeyframeNeededHandler onKeyframeNeeded;
};

// The receiving half of the client: says hello to the host's video port, then reassembles and
// decodes every display's stream on a thread of its own until stopped. Reception can move to a
// new local port; decoding state and statistics carry over.
class VideoReceiver {
  struct Token {};

 public:
  static constexpr int receiveBufferBytes = 8 * 1024 * 1024;
  static constexpr std::uint8_t helloBytes[] = {'h', 'e', 'l', 'l', 'o'};

  // Opens the socket and starts the receive thread, which sends the first hello at once.
  static Result<std::unique_ptr<VideoReceiver>> start(VideoReceiverOptions options);

  VideoReceiver(Token, VideoReceiverOptions options, std::unique_ptr<ConnectedDatagramSocket> socket,
                WakeEvent wakeEvent);
  ~VideoReceiver();
  VideoReceiver(const VideoReceiver&) = delete;
  VideoReceiver& operator=(const VideoReceiver&) = delete;

  // Ends the receive thread and waits for it; idempotent. From the receiver's own callbacks it only
  // asks the thread to end (a later call from elsewhere waits for it).
  void stop();
  VideoReceiverStatistics statistics() const { return statistics_.snapshot(); }
  std::uint16_t localPort() const { return localPort_.load(); }

  // Opens a socket on a new ephemeral port towards the same host port and waits until the receive
  // thread moved to it: the old socket is read empty and closed, and hellos go out from the new
  // one until video arrives there. The new port, or why not (also when the receiver has stopped).
  // Not from the receiver's own callbacks.
  Result<std::uint16_t> changeLocalPort();

 private:
  using Clock = std::chrono::steady_clock;

  void run();
  void receiveUntilStopped();
  void wakeReceiveThread();
  void moveToNextSocket(Clock::time_point& nextHello);
  void sendHello();
  void receiveWaitingDatagrams();
  void publishTransportCounters();

  const std::string host_;
  const std::uint16_t videoPort_;
  const std::chrono::milliseconds helloInterval_;
  std::unique_ptr<ConnectedDatagramSocket> socket_;  // the receive thread's alone once it runs
  WakeEvent wakeEvent_;
  ReceiveStatisticsRecorder statistics_;
  std::atomic<bool> stopRequested_{false};
  std::once_flag joined_;
  std::atomic<std::uint16_t> localPort_;

  // A socket handed to the receive thread, until it takes it.
  std::mutex nextSocketLock_;
  std::condition_variable nextSocketTaken_;
  std::unique_ptr<ConnectedDatagramSocket> nextSocket_;
  bool receiveThreadRunning_ = true;

  // Touched by the receive thread only.
  VideoDatagramProcessor processor_;
  ReceiveStatisticsRecorder::TransportCounters transport_;
  bool videoFlowing_ = false;  // on the current socket
  std::uint64_t sendErrors_ = 0;

  std::thread thread_;  // last: starts once everything above exists
};

}  // namespace velmora
