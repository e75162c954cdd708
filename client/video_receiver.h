#pragma once

#include <atomic>
#include <chrono>
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
// decodes every display's stream on a thread of its own until stopped.
class VideoReceiver {
  struct Token {};

 public:
  static constexpr int receiveBufferBytes = 8 * 1024 * 1024;
  static constexpr std::uint8_t helloBytes[] = {'h', 'e', 'l', 'l', 'o'};

  // Opens the socket and starts the receive thread, which sends the first hello at once.
  static Result<std::unique_ptr<VideoReceiver>> start(VideoReceiverOptions options);

  VideoReceiver(Token, VideoReceiverOptions options, std::unique_ptr<ConnectedDatagramSocket> socket,
                FileDescriptor wakeEvent);
  ~VideoReceiver();
  VideoReceiver(const VideoReceiver&) = delete;
  VideoReceiver& operator=(const VideoReceiver&) = delete;

  // Ends the receive thread and waits for it; idempotent. From the receiver's own callbacks it only
  // asks the thread to end (a later call from elsewhere waits for it).
  void stop();
  VideoReceiverStatistics statistics() const { return statistics_.snapshot(); }
  std::uint16_t localPort() const { return socket_->localPort(); }

 private:
  void run();
  void sendHello();
  void receiveWaitingDatagrams();
  void publishTransportCounters();

  const std::string host_;
  const std::uint16_t videoPort_;
  const std::chrono::milliseconds helloInterval_;
  std::unique_ptr<ConnectedDatagramSocket> socket_;
  FileDescriptor wakeEvent_;
  ReceiveStatisticsRecorder statistics_;
  std::atomic<bool> stopRequested_{false};
  std::once_flag joined_;

  // Touched by the receive thread only.
  VideoDatagramProcessor processor_;
  ReceiveStatisticsRecorder::TransportCounters transport_;
  bool videoFlowing_ = false;
  std::uint64_t sendErrors_ = 0;

  std::thread thread_;  // last: starts once everything above exists
};

}  // namespace velmora
