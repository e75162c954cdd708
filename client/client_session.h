#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "client/input_script.h"
#include "client/session_progress.h"
#include "client/video_receiver.h"
#include "platform/log/log.h"
#include "platform/result.h"
#include "protocol/handshake_message.h"
#include "protocol/json.h"

namespace velmora {

class ControlClient;

namespace ClientExitStatus {
inline constexpr int success = 0;  // also when a signal ended the session early
inline constexpr int failure = 1;
inline constexpr int usage = 2;  // bad command line or script
inline constexpr int rejected = 3;
}  // namespace ClientExitStatus

struct ClientSessionSettings {
  ClientHello hello;
  std::chrono::milliseconds handshakeTimeout{10000};
  std::chrono::milliseconds duration{5000};  // of receiving after the script
  std::optional<std::filesystem::path> saveStreamDirectory;
  InputScript script;
};

struct ClientSessionResult {
  int exitStatus = ClientExitStatus::success;
  std::string error;  // one line, when exitStatus is not success
  // {"serverHello", "serverHellosReceived", "video"}; present once the host admitted the client.
  std::optional<Json> report;
};

// One run of the client against one host: handshake, video reception, the script, the time of
// receiving after it, and the report. Every wait has a deadline, and a failure or a stop request
// ends it.
class ClientSession {
 public:
  using VideoReceiverStarter = std::function<Result<std::unique_ptr<VideoReceiver>>(VideoReceiverOptions)>;

  explicit ClientSession(ClientSessionSettings settings, VideoReceiverStarter startReceiver = VideoReceiver::start);

  // From any thread (a signal's): ends the session early; run() still reports what it received.
  void requestStop() { progress_.requestStop(); }

  // Runs the session against the control port of `host`; call once.
  ClientSessionResult run(const std::string& host, std::uint16_t port);

 private:
  ClientSessionResult handshake(ControlClient& control, const std::string& host, std::uint16_t port);
  Result<std::unique_ptr<VideoReceiver>> startReceiver(ControlClient& control);
  // Nothing, or why the session fails.
  std::optional<std::string> runScript(ControlClient& control, VideoReceiver& receiver);
  std::optional<std::string> runStep(const ScriptStep& step, ControlClient& control, VideoReceiver& receiver);
  std::optional<std::string> receiveForDuration();
  Json report(const VideoReceiverStatistics& statistics) const;

  const ClientSessionSettings settings_;
  const VideoReceiverStarter startReceiver_;
  SessionProgress progress_;
  log::Logger logger_{"Client"};
};

}  // namespace velmora
