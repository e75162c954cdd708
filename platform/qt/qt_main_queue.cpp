#include "platform/qt/qt_main_queue.h"

#include "platform/log/log.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QTimer>

#include <exception>

namespace velmora {

QtMainQueue::QtMainQueue() : context_(std::make_unique<QObject>()), mainThread_(std::this_thread::get_id()) {}

QtMainQueue::~QtMainQueue() { shutdown(); }

void QtMainQueue::run() {
  if (isShutDown_) {
    return;
  }
  QCoreApplication::exec();
}

void QtMainQueue::post(Work work) {
  if (!work || isShutDown_) {
    return;
  }
  enqueue(std::move(work));
}

void QtMainQueue::postAfter(Duration delay, Work work) {
  if (!work || isShutDown_) {
    return;
  }
  if (isCurrentThread()) {
    startTimer(delay, std::move(work));
    return;
  }
  // Qt timers only start on a thread with an event loop: the timer is started from the main
  // thread, for what is left of the delay once it gets there.
  const auto due = std::chrono::steady_clock::now() + delay;
  enqueue([this, due, work = std::move(work)]() mutable {
    startTimer(due - std::chrono::steady_clock::now(), std::move(work));
  });
}

bool QtMainQueue::isCurrentThread() const { return mainThread_ == std::this_thread::get_id(); }

bool QtMainQueue::runSync(Work work) {
  return synchronousCalls_.run(work, isCurrentThread(), [this](Work step) { enqueue(std::move(step)); });
}

void QtMainQueue::shutdown() {
  if (isShutDown_.exchange(true)) {
    return;
  }
  synchronousCalls_.shutdown();
  if (auto* application = QCoreApplication::instance()) {
    // Queued, so that a shutdown before the loop runs, or from another thread, still ends it.
    QMetaObject::invokeMethod(application, [] { QCoreApplication::quit(); }, Qt::QueuedConnection);
  }
}

void QtMainQueue::enqueue(Work work) {
  QMetaObject::invokeMethod(
      context_.get(), [this, work = std::move(work)] { runUnlessShutDown(work); }, Qt::QueuedConnection);
}

void QtMainQueue::startTimer(Duration delay, Work work) {
  // Rounded up: the work must not run before its delay is over.
  const auto milliseconds = std::max(std::chrono::ceil<std::chrono::milliseconds>(delay), std::chrono::milliseconds(0));
  QTimer::singleShot(milliseconds, Qt::PreciseTimer, context_.get(),
                     [this, work = std::move(work)] { runUnlessShutDown(work); });
}

void QtMainQueue::runUnlessShutDown(const Work& work) const {
  if (isShutDown_) {
    return;
  }
  // An exception must not unwind through Qt's event loop.
  try {
    work();
  } catch (const std::exception& error) {
    log::Logger("App").error("Uncaught exception on the main queue: {}", error.what());
  } catch (...) {
    log::Logger("App").error("Uncaught exception on the main queue");
  }
}

}  // namespace velmora
