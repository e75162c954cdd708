#include "client/session_progress.h"

#include <utility>

namespace velmora {

template <class Update>
void SessionProgress::update(Update&& change) {
  {
    std::lock_guard lock(stateLock_);
    change(state_);
  }
  stateChanged_.notify_all();
}

void SessionProgress::requestStop() {
  update([](State& state) { state.stopRequested = true; });
}

void SessionProgress::fail(std::string why) {
  update([&](State& state) {
    if (!state.failure) {
      state.failure = std::move(why);
    }
  });
}

void SessionProgress::reject(RejectionReason reason) {
  update([&](State& state) { state.rejection = reason; });
}

void SessionProgress::recordServerHello(const ServerHello& hello, const std::string& peerAddress) {
  update([&](State& state) {
    if (!state.admittingServerHello) {
      state.admittingServerHello = hello;
      state.peerAddress = peerAddress;
    }
    state.latestServerHello = hello;
    ++state.serverHellosReceived;
  });
}

void SessionProgress::recordPicture(std::uint16_t displayID) {
  update([&](State& state) { ++state.picturesDecoded[displayID]; });
}

SessionProgress::WaitResult SessionProgress::waitUntil(const std::function<bool(const State&)>& condition,
                                                       Clock::time_point deadline) {
  std::unique_lock lock(stateLock_);
  while (true) {
    if (state_.failure) {
      return WaitResult::failed;
    }
    if (condition(state_)) {
      return WaitResult::satisfied;
    }
    if (state_.stopRequested) {
      return WaitResult::stopped;
    }
    if (Clock::now() >= deadline) {
      return WaitResult::timedOut;
    }
    stateChanged_.wait_until(lock, deadline);
  }
}

SessionProgress::State SessionProgress::snapshot() const {
  std::lock_guard lock(stateLock_);
  return state_;
}

}  // namespace velmora
