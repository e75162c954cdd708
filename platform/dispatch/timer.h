#pragma once

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace velmora {

// A cancellable one-shot or repeating timer whose work runs on an io_context's thread. A timer
// keeps itself alive until it has fired (one-shot) or was cancelled, so the caller may drop it.
class Timer : public std::enable_shared_from_this<Timer> {
  struct PrivateTag {};

 public:
  using Duration = std::chrono::steady_clock::duration;
  using Work = std::function<void()>;

  static std::shared_ptr<Timer> once(asio::io_context& context, Duration delay, Work work);
  // First run one interval from now; a run that comes late does not cause catch-up runs.
  static std::shared_ptr<Timer> repeating(asio::io_context& context, Duration interval, Work work);

  Timer(PrivateTag, asio::io_context& context, std::optional<Duration> interval, Work work);
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;

  // Once this returns, the work never starts again; a run already under way on the context's
  // thread may finish. Any thread, also from inside the work; idempotent.
  void cancel();
  // False once cancelled or, for a one-shot timer, once it fired.
  bool isActive() const;

 private:
  void arm(std::chrono::steady_clock::time_point deadline);
  void fire();

  asio::steady_timer timer_;  // touched only on the context's thread
  const std::optional<Duration> interval_;
  mutable std::mutex workLock_;
  // Shared so that a run in progress keeps its function alive while another thread cancels.
  std::shared_ptr<Work> work_;
};

}  // namespace velmora
