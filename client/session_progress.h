#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "protocol/handshake_message.h"

namespace velmora {

// What the session waits for. The control client's thread, the video receive thread and the
// signal thread report here; the session's thread waits for a condition over all of it at once,
// so that a failure or a stop request ends any wait.
class SessionProgress {
 public:
  using Clock = std::chrono::steady_clock;

  struct State {
    bool stopRequested = false;
    std::optional<std::string> failure;  // the first one
    std::optional<RejectionReason> rejection;
    std::optional<ServerHello> admittingServerHello;  // the first: only it names the video host
    std::optional<ServerHello> latestServerHello;
    std::uint64_t serverHellosReceived = 0;
    std::string peerAddress;  // the host's address on the control connection
    std::map<std::uint16_t, std::uint64_t> picturesDecoded;  // by display stream number
  };

  enum class WaitResult { satisfied, timedOut, stopped, failed };

  void requestStop();
  void fail(std::string why);
  void reject(RejectionReason reason);
  void recordServerHello(const ServerHello& hello, const std::string& peerAddress);
  void recordPicture(std::uint16_t displayID);

  // Waits until `condition` holds, the session failed or was asked to stop (checked in that
  // order), or `deadline` passed.
  WaitResult waitUntil(const std::function<bool(const State&)>& condition, Clock::time_point deadline);
  State snapshot() const;

 private:
  template <class Update>
  void update(Update&& change);

  mutable std::mutex stateLock_;
  std::condition_variable stateChanged_;
  State state_;
};

}  // namespace velmora
