#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/screen_capture_backend.h"

namespace velmora::testing {

// What a fake backend and its streams share: plans, counters, held answers and an event log.
class FakeCaptureRecord {
 public:
  using Clock = std::chrono::steady_clock;

  void record(std::string what) {
    {
      std::lock_guard lock(recordLock_);
      events_.push_back(std::move(what));
    }
    recordChanged_.notify_all();
  }

  std::vector<std::string> events() const {
    std::lock_guard lock(recordLock_);
    return events_;
  }

  std::size_t count(const std::string& event) const {
    std::lock_guard lock(recordLock_);
    return static_cast<std::size_t>(std::count(events_.begin(), events_.end(), event));
  }

  bool waitForEvent(const std::string& event, Clock::duration timeout = std::chrono::seconds(10)) const {
    std::unique_lock lock(recordLock_);
    return recordChanged_.wait_for(lock, timeout, [&] { return std::find(events_.begin(), events_.end(), event) != events_.end(); });
  }

 private:
  mutable std::mutex recordLock_;
  mutable std::condition_variable recordChanged_;
  std::vector<std::string> events_;
};

// Answers that the test holds back and releases one at a time, oldest first.
class HeldAnswers {
 public:
  void setHolding(bool holding) {
    std::lock_guard lock(answersLock_);
    holding_ = holding;
  }

  // Runs the answer now, or keeps it while answers are held.
  void answer(std::function<void()> deliver) {
    {
      std::lock_guard lock(answersLock_);
      if (holding_) {
        held_.push_back(std::move(deliver));
        answersChanged_.notify_all();
        return;
      }
    }
    deliver();
  }

  // Waits until at least `count` answers are held.
  bool waitForHeld(std::size_t count, std::chrono::steady_clock::duration timeout = std::chrono::seconds(10)) {
    std::unique_lock lock(answersLock_);
    return answersChanged_.wait_for(lock, timeout, [&] { return held_.size() >= count; });
  }

  // Delivers the oldest held answer on the calling thread; false when none is held.
  bool releaseOne() {
    std::function<void()> deliver;
    {
      std::lock_guard lock(answersLock_);
      if (held_.empty()) {
        return false;
      }
      deliver = std::move(held_.front());
      held_.pop_front();
    }
    deliver();
    return true;
  }

  std::size_t heldCount() const {
    std::lock_guard lock(answersLock_);
    return held_.size();
  }

 private:
  mutable std::mutex answersLock_;
  std::condition_variable answersChanged_;
  bool holding_ = false;
  std::deque<std::function<void()>> held_;
};

// How many of the next requests of one kind fail, and with what.
class FailurePlan {
 public:
  void failNext(int count, std::string errorDescription) {
    std::lock_guard lock(planLock_);
    remaining_ = count;
    errorDescription_ = std::move(errorDescription);
  }

  // The error for this request, consuming one planned failure.
  std::optional<std::string> take() {
    std::lock_guard lock(planLock_);
    return remaining_-- > 0 ? std::optional(errorDescription_) : std::nullopt;
  }

 private:
  std::mutex planLock_;
  int remaining_ = 0;
  std::string errorDescription_;
};

struct FakeCapturePlans {
  FakeCaptureRecord record;
  FailurePlan contentFailures;
  FailurePlan outputFailures;
  FailurePlan startFailures;
  HeldAnswers contentAnswers;
  HeldAnswers startAnswers;
  HeldAnswers stopAnswers;
};

// A stream whose frames and failures the test produces, on the test's own thread.
class FakeCaptureStream : public ScreenCaptureStream, public std::enable_shared_from_this<FakeCaptureStream> {
 public:
  FakeCaptureStream(std::shared_ptr<FakeCapturePlans> plans, int number, std::uint32_t displayID,
                    ScreenCaptureStreamConfiguration configuration, std::weak_ptr<ScreenCaptureStreamDelegate> delegate)
      : plans_(std::move(plans)), number_(number), displayID_(displayID), configuration_(configuration),
        delegate_(std::move(delegate)) {}

  std::optional<std::string> addStreamOutput(std::weak_ptr<ScreenCaptureStreamOutput> output, SampleOutputType type) override {
    plans_->record.record(event("output"));
    if (auto error = plans_->outputFailures.take()) {
      return error;
    }
    std::lock_guard lock(streamLock_);
    output_ = std::move(output);
    outputType_ = type;
    return std::nullopt;
  }

  void startCapture(Completion completion) override {
    plans_->record.record(event("start"));
    auto error = plans_->startFailures.take();
    plans_->startAnswers.answer([this, self = shared_from_this(), completion = std::move(completion), error] {
      {
        std::lock_guard lock(streamLock_);
        running_ = !error;
      }
      plans_->record.record(event(error ? "start failed" : "started"));
      completion(error);
    });
  }

  void stopCapture(Completion completion) override {
    plans_->record.record(event("stop"));
    plans_->stopAnswers.answer([this, self = shared_from_this(), completion = std::move(completion)] {
      {
        std::lock_guard lock(streamLock_);
        running_ = false;
      }
      plans_->record.record(event("stopped"));
      completion(std::nullopt);
    });
  }

  // Hands a frame to the registered output, as the platform's delivery thread would.
  void deliver(const SampleBuffer& sampleBuffer, SampleOutputType type = SampleOutputType::screen) {
    std::shared_ptr<ScreenCaptureStreamOutput> output;
    {
      std::lock_guard lock(streamLock_);
      output = output_.lock();
    }
    if (output) {
      output->streamDidOutputSampleBuffer(sampleBuffer, type);
    }
  }

  void reportStoppedWithError(const std::string& errorDescription) {
    {
      std::lock_guard lock(streamLock_);
      running_ = false;
    }
    if (auto delegate = delegate_.lock()) {
      delegate->streamDidStopWithError(errorDescription);
    }
  }

  int number() const { return number_; }
  std::uint32_t displayID() const { return displayID_; }
  const ScreenCaptureStreamConfiguration& configuration() const { return configuration_; }
  bool isRunning() const {
    std::lock_guard lock(streamLock_);
    return running_;
  }
  bool hasOutput() const {
    std::lock_guard lock(streamLock_);
    return !output_.expired() && outputType_ == SampleOutputType::screen;
  }

 private:
  std::string event(const std::string& what) const { return what + " " + std::to_string(number_); }

  const std::shared_ptr<FakeCapturePlans> plans_;
  const int number_;
  const std::uint32_t displayID_;
  const ScreenCaptureStreamConfiguration configuration_;
  const std::weak_ptr<ScreenCaptureStreamDelegate> delegate_;

  mutable std::mutex streamLock_;  // guards the output and the running flag
  std::weak_ptr<ScreenCaptureStreamOutput> output_;
  SampleOutputType outputType_ = SampleOutputType::screen;
  bool running_ = false;
};

// A capture backend for unit tests. Events in record(): "content", "make N", "output N",
// "start N", "started N" / "start failed N", "stop N", "stopped N" (streams numbered from 1).
class FakeCaptureBackend : public ScreenCaptureBackend {
 public:
  explicit FakeCaptureBackend(std::vector<std::uint32_t> displayIDs = {1}) : displayIDs_(std::move(displayIDs)) {}

  bool hasScreenCaptureAccess() override { return locked([this] { return accessGranted_; }); }
  bool requestScreenCaptureAccess() override {
    plans_->record.record("request access");
    return hasScreenCaptureAccess();
  }

  void listCapturableDisplays(CapturableDisplaysCompletion completion) override {
    plans_->record.record("content");
    std::optional<Result<CapturableDisplays>> answer;
    if (auto error = plans_->contentFailures.take()) {
      answer.emplace(Result<CapturableDisplays>::failure(*error));
    } else {
      std::lock_guard lock(backendLock_);
      answer.emplace(CapturableDisplays{displayIDs_});
    }
    plans_->contentAnswers.answer([completion = std::move(completion), answer = std::move(*answer)] { completion(answer); });
  }

  std::shared_ptr<ScreenCaptureStream> makeStream(std::uint32_t displayID, const ScreenCaptureStreamConfiguration& configuration,
                                                  std::weak_ptr<ScreenCaptureStreamDelegate> delegate) override {
    std::shared_ptr<FakeCaptureStream> stream;
    {
      std::lock_guard lock(backendLock_);
      const int number = static_cast<int>(streams_.size()) + 1;
      stream = std::make_shared<FakeCaptureStream>(plans_, number, displayID, configuration, std::move(delegate));
      streams_.push_back(stream);
    }
    plans_->record.record("make " + std::to_string(stream->number()));
    return stream;
  }

  void setAccessGranted(bool granted) {
    std::lock_guard lock(backendLock_);
    accessGranted_ = granted;
  }

  void failContentQueries(int count, std::string error = "content unavailable") {
    plans_->contentFailures.failNext(count, std::move(error));
  }
  void failOutputRegistrations(int count, std::string error = "output rejected") {
    plans_->outputFailures.failNext(count, std::move(error));
  }
  void failStarts(int count, std::string error = "stream did not start") {
    plans_->startFailures.failNext(count, std::move(error));
  }

  HeldAnswers& contentAnswers() { return plans_->contentAnswers; }
  HeldAnswers& startAnswers() { return plans_->startAnswers; }
  HeldAnswers& stopAnswers() { return plans_->stopAnswers; }
  const FakeCaptureRecord& record() const { return plans_->record; }

  // Streams made so far, by number from 1; none for a number not made yet.
  std::shared_ptr<FakeCaptureStream> stream(int number) const {
    std::lock_guard lock(backendLock_);
    const bool made = number >= 1 && number <= static_cast<int>(streams_.size());
    return made ? streams_[static_cast<std::size_t>(number - 1)] : nullptr;
  }
  int streamCount() const { return locked([this] { return static_cast<int>(streams_.size()); }); }

 private:
  template <typename Read>
  std::invoke_result_t<Read> locked(Read read) const {
    std::lock_guard lock(backendLock_);
    return read();
  }

  const std::shared_ptr<FakeCapturePlans> plans_ = std::make_shared<FakeCapturePlans>();
  mutable std::mutex backendLock_;  // guards the fields below
  std::vector<std::uint32_t> displayIDs_;
  bool accessGranted_ = true;
  std::vector<std::shared_ptr<FakeCaptureStream>> streams_;
};

}  // namespace velmora::testing
