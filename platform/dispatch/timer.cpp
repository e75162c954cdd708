#include "platform/dispatch/timer.h"

#include "platform/log/log.h"

#include <asio/dispatch.hpp>

namespace velmora {
namespace {

constexpr Timer::Duration kShortestRepeatInterval = std::chrono::milliseconds(1);

}  // namespace

std::shared_ptr<Timer> Timer::once(asio::io_context& context, Duration delay, Work work) {
  auto timer = std::make_shared<Timer>(PrivateTag{}, context, std::nullopt, std::move(work));
  const auto deadline = std::chrono::steady_clock::now() + delay;
  asio::dispatch(context, [timer, deadline] { timer->arm(deadline); });
  return timer;
}

std::shared_ptr<Timer> Timer::repeating(asio::io_context& context, Duration interval, Work work) {
  if (interval < kShortestRepeatInterval) {
    log::Logger("App").error("Repeating timer interval {} ns is too short; using 1 ms", interval.count());
    interval = kShortestRepeatInterval;
  }
  auto timer = std::make_shared<Timer>(PrivateTag{}, context, interval, std::move(work));
  const auto deadline = std::chrono::steady_clock::now() + interval;
  asio::dispatch(context, [timer, deadline] { timer->arm(deadline); });
  return timer;
}

Timer::Timer(PrivateTag, asio::io_context& context, std::optional<Duration> interval, Work work)
    : timer_(context), interval_(interval), work_(work ? std::make_shared<Work>(std::move(work)) : nullptr) {}

void Timer::cancel() {
  std::shared_ptr<Work> cancelledWork;
  {
    std::lock_guard lock(workLock_);
    cancelledWork = std::move(work_);
  }
  if (!cancelledWork) {
    return;
  }
  // The Asio timer may only be touched on its context's thread; the wait it ends finds no work.
  asio::dispatch(timer_.get_executor(), [self = shared_from_this()] { self->timer_.cancel(); });
}

bool Timer::isActive() const {
  std::lock_guard lock(workLock_);
  return work_ != nullptr;
}

void Timer::arm(std::chrono::steady_clock::time_point deadline) {
  if (!isActive()) {
    return;
  }
  timer_.expires_at(deadline);
  timer_.async_wait([self = shared_from_this()](const std::error_code& error) {
    if (!error) {
      self->fire();
    }
  });
}

void Timer::fire() {
  std::shared_ptr<Work> work;
  {
    std::lock_guard lock(workLock_);
    work = interval_ ? work_ : std::move(work_);
  }
  if (!work) {
    return;
  }
  (*work)();
  if (!interval_) {
    return;
  }
  const auto now = std::chrono::steady_clock::now();
  auto next = timer_.expiry() + *interval_;
  if (next <= now) {
    next = now + *interval_;
  }
  arm(next);
}

}  // namespace velmora
