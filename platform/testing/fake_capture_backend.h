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
#include <utility>
#include <vector>

#include "platform/screen_capture_backend.h"

namespace velmora::testing {

// What a fake backend and its streams did, in order, for tests to count and wait on.
class FakeCaptureRecord {
 public:
  void record(std::string what) {
    std::lock_guard lock(eventsLock_);
    events_.push_back(std::move(what));
    changed_.notify_all();
  }
  std::size_t count(const std::string& event) const {
    std::lock_guard lock(eventsLock_);
    return static_cast<std::size_t>(std::ranges::count(events_, event));
  }
  bool waitForEvent(const std::string& event, std::chrono::seconds timeout = std::chrono::seconds(10)) const {
    std::unique_lock lock(eventsLock_);
    return changed_.wait_for(lock, timeout, [&] { return std::ranges::find(events_, event) != events_.end(); });
  }

 private:
  mutable std::mutex eventsLock_;
  mutable std::condition_variable changed_;
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
    std::unique_lock lock(answersLock_);
    if (!holding_) {
      lock.unlock();
      deliver();
      return;
    }
    held_.push_back(std::move(deliver));
    changed_.notify_all();
  }
  bool waitForHeld(std::size_t count, std::chrono::seconds timeout = std::chrono::seconds(10)) {
    std::unique_lock lock(answersLock_);
    return changed_.wait_for(lock, timeout, [&] { return held_.size() >= count; });
  }
  // Delivers the oldest held answer on the calling thread; false when none is held.
  bool releaseOne() {
    std::unique_lock lock(answersLock_);
    if (held_.empty()) {
      return false;
    }
    auto deliver = std::move(held_.front());
    held_.pop_front();
    lock.unlock();
    deliver();
    return true;
  }
  std::size_t heldCount() const {
    std::lock_guard lock(answersLock_);
    return held_.size();
  }

 private:
  mutable std::mutex answersLock_;
  std::condition_variable changed_;
  bool holding_ = false;
  std::deque<std::function<void()>> held_;
};

struct FakeCapturePlans {
  struct Failures {
    int remaining = 0;
    std::string error;
  };
  // The error planned for this request of one kind, consuming it.
  std::optional<std::string> take(Failures& failures) {
    std::lock_guard lock(failuresLock);
    return failures.remaining-- > 0 ? std::optional(failures.error) : std::nullopt;
  }

  FakeCaptureRecord record;
  std::mutex failuresLock;
  Failures contentFailures, outputFailures, startFailures;
  HeldAnswers contentAnswers, startAnswers, stopAnswers;
};

// A stream whose frames and failures the test produces, on the test's own thread.
class FakeCaptureStream : public ScreenCaptureStream, public std::enable_shared_from_this<FakeCaptureStream> {
 public:
  FakeCaptureStream(std::shared_ptr<FakeCapturePlans> plans, int number, std::uint32_t displayID,
                    ScreenCaptureStreamConfiguration configuration, std::weak_ptr<ScreenCaptureStreamDelegate> delegate)
      : plans_(std::move(plans)), number_(number), displayID_(displayID), configuration_(configuration),
        delegate_(std::move(delegate)) {}

  std::optional<std::string> addStreamOutput(std::weak_ptr<ScreenCaptureStreamOutput> output,
                                             SampleOutputType type) override {
    plans_->record.record(event("output"));
    auto error = plans_->take(plans_->outputFailures);
    if (!error) {
      std::lock_guard lock(streamLock_);
      output_ = std::move(output);
      outputType_ = type;
    }
    return error;
  }

  void startCapture(Completion completion) override {
    plans_->record.record(event("start"));
    auto error = plans_->take(plans_->startFailures);
    plans_->startAnswers.answer([this, self = shared_from_this(), completion = std::move(completion), error] {
      setRunning(!error);
      plans_->record.record(event(error ? "start failed" : "started"));
      completion(error);
    });
  }

  void stopCapture(Completion completion) override {
    plans_->record.record(event("stop"));
    plans_->stopAnswers.answer([this, self = shared_from_this(), completion = std::move(completion)] {
      setRunning(false);
      plans_->record.record(event("stopped"));
      completion(std::nullopt);
    });
  }

  // Hands a frame to the registered output, as the platform's delivery thread would.
  void deliver(const SampleBuffer& sampleBuffer, SampleOutputType type = SampleOutputType::screen) {
    std::unique_lock lock(streamLock_);
    auto output = output_.lock();
    lock.unlock();
    if (output) {
      output->streamDidOutputSampleBuffer(sampleBuffer, type);
    }
  }

  void reportStoppedWithError(const std::string& errorDescription) {
    setRunning(false);
    if (auto delegate = delegate_.lock()) {
      delegate->streamDidStopWithError(errorDescription);
    }
  }

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
  void setRunning(bool running) {
    std::lock_guard lock(streamLock_);
    running_ = running;
  }

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

  bool hasScreenCaptureAccess() override {
    std::lock_guard lock(backendLock_);
    return accessGranted_;
  }
  bool requestScreenCaptureAccess() override { return hasScreenCaptureAccess(); }

  void listCapturableDisplays(CapturableDisplaysCompletion completion) override {
    plans_->record.record("content");
    auto error = plans_->take(plans_->contentFailures);
    std::unique_lock lock(backendLock_);
    auto answer = error ? Result<CapturableDisplays>::failure(*error) : Result<CapturableDisplays>(CapturableDisplays{displayIDs_});
    lock.unlock();
    plans_->contentAnswers.answer([completion = std::move(completion), answer] { completion(answer); });
  }

  std::shared_ptr<ScreenCaptureStream> makeStream(std::uint32_t displayID,
                                                  const ScreenCaptureStreamConfiguration& configuration,
                                                  std::weak_ptr<ScreenCaptureStreamDelegate> delegate) override {
    std::unique_lock lock(backendLock_);
    const int number = static_cast<int>(streams_.size()) + 1;
    streams_.push_back(std::make_shared<FakeCaptureStream>(plans_, number, displayID, configuration, std::move(delegate)));
    auto stream = streams_.back();
    lock.unlock();
    plans_->record.record("make " + std::to_string(number));
    return stream;
  }

  void setAccessGranted(bool granted) {
    std::lock_guard lock(backendLock_);
    accessGranted_ = granted;
  }
  void failContentQueries(int count, std::string why = "no content") { fail(plans_->contentFailures, count, why); }
  void failOutputRegistrations(int count, std::string why = "no output") { fail(plans_->outputFailures, count, why); }
  void failStarts(int count, std::string why = "did not start") { fail(plans_->startFailures, count, why); }

  HeldAnswers& contentAnswers() { return plans_->contentAnswers; }
  HeldAnswers& startAnswers() { return plans_->startAnswers; }
  HeldAnswers& stopAnswers() { return plans_->stopAnswers; }
  const FakeCaptureRecord& record() const { return plans_->record; }

  // Streams made so far, by number from 1; none for a number not made yet.
  std::shared_ptr<FakeCaptureStream> stream(int number) const {
    std::lock_guard lock(backendLock_);
    return number >= 1 && number <= static_cast<int>(streams_.size()) ? streams_[static_cast<std::size_t>(number - 1)] : nullptr;
  }
  int streamCount() const {
    std::lock_guard lock(backendLock_);
    return static_cast<int>(streams_.size());
  }

 private:
  void fail(FakeCapturePlans::Failures& failures, int count, std::string error) {
    std::lock_guard lock(plans_->failuresLock);
    failures = {count, std::move(error)};
  }

  const std::shared_ptr<FakeCapturePlans> plans_ = std::make_shared<FakeCapturePlans>();
  mutable std::mutex backendLock_;  // guards the fields below
  std::vector<std::uint32_t> displayIDs_;
  bool accessGranted_ = true;
  std::vector<std::shared_ptr<FakeCaptureStream>> streams_;
};

}  // namespace velmora::testing
