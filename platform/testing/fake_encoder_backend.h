#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/video_encoder_backend.h"

namespace velmora::testing {

// Compression sessions that record what they are given and emit whatever output a test makes up.
// One FakeEncoderSessions stands for the platform encoder: it makes the sessions and reaches the
// latest one that is still alive.
class FakeEncoderSessions {
 public:
  struct SubmittedFrame {
    std::shared_ptr<const PixelBuffer> pixelBuffer;
    double presentationTime = 0;
    bool forceKeyframe = false;
  };

  FakeEncoderSessions() : state_(std::make_shared<State>()) {}

  VideoEncoderBackendFactory factory() const {
    return [state = state_](const EncoderSettings& settings,
                            VideoEncoderBackend::OutputCallback output) -> VideoEncoderBackendCreation {
      std::lock_guard lock(state->valuesLock);
      state->createdSettings.push_back(settings);
      if (auto failure = std::exchange(state->nextFailure, std::nullopt)) {
        return *failure;
      }
      return std::make_unique<Session>(state, ++state->sessionCount, std::move(output));
    };
  }

  void failNextCreation(EncoderStatus status, std::string description = "refused by the fake") {
    std::lock_guard lock(state_->valuesLock);
    state_->nextFailure = VideoEncoderBackendError{status, std::move(description)};
  }

  std::vector<EncoderSettings> createdSettings() const { return read(&State::createdSettings); }
  int liveSessions() const { return read(&State::liveSessions); }
  std::vector<SubmittedFrame> submittedFrames() const { return read(&State::submittedFrames); }
  std::vector<std::int64_t> bitRateChanges() const { return read(&State::bitRateChanges); }

  // Calls the latest live session's output callback on this thread; false when none is alive.
  bool emit(EncoderStatus status, const EncodedSample* sample) const {
    // Held across the callback, as a real session's thread is waited for when it is destroyed.
    std::lock_guard emitting(state_->emitLock);
    VideoEncoderBackend::OutputCallback output;
    {
      std::lock_guard lock(state_->valuesLock);
      output = state_->currentOutput;
    }
    if (!output) {
      return false;
    }
    output(status, sample);
    return true;
  }
  bool emit(const EncodedSample& sample) const { return emit(kEncoderStatusOK, &sample); }

 private:
  struct State {
    std::mutex emitLock;
    std::mutex valuesLock;
    std::vector<EncoderSettings> createdSettings;
    std::optional<VideoEncoderBackendError> nextFailure;
    int sessionCount = 0;
    int liveSessions = 0;
    int currentSession = 0;
    VideoEncoderBackend::OutputCallback currentOutput;
    std::vector<SubmittedFrame> submittedFrames;
    std::vector<std::int64_t> bitRateChanges;
  };

  class Session final : public VideoEncoderBackend {
   public:
    Session(std::shared_ptr<State> state, int number, OutputCallback output) : state_(std::move(state)), number_(number) {
      // Called with valuesLock held by the factory.
      ++state_->liveSessions;
      state_->currentSession = number_;
      state_->currentOutput = std::move(output);
    }
    ~Session() override {
      std::lock_guard emitting(state_->emitLock);
      std::lock_guard lock(state_->valuesLock);
      --state_->liveSessions;
      if (state_->currentSession == number_) {
        state_->currentSession = 0;
        state_->currentOutput = nullptr;
      }
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    void encodeFrame(std::shared_ptr<const PixelBuffer> pixelBuffer, double presentationTime, bool forceKeyframe,
                     NextFrameRequest requestNextFrame) override {
      {
        std::lock_guard lock(state_->valuesLock);
        state_->submittedFrames.push_back(SubmittedFrame{std::move(pixelBuffer), presentationTime, forceKeyframe});
      }
      if (requestNextFrame) {
        requestNextFrame(std::chrono::steady_clock::now());  // taken in at once
      }
    }
    bool setBitRate(std::int64_t bitsPerSecond) override {
      std::lock_guard lock(state_->valuesLock);
      state_->bitRateChanges.push_back(bitsPerSecond);
      return true;
    }
    VideoEncoderStatistics statistics() const override { return {}; }

   private:
    std::shared_ptr<State> state_;
    int number_;
  };

  template <typename Value>
  Value read(Value State::*field) const {
    std::lock_guard lock(state_->valuesLock);
    return (*state_).*field;
  }

  std::shared_ptr<State> state_;
};

}  // namespace velmora::testing
