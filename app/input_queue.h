#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "input/event_injector_service.h"
#include "platform/dispatch/serial_queue.h"
#include "platform/input_backend.h"
#include "platform/main_queue.h"
#include "protocol/control_message.h"

namespace velmora {

// The client's input, injected on a serial queue of its own, so that a desktop's waits in its
// input path (a ping, a pointer focus, a portal's answer) never hold the tray or a pipeline event.
// Once it exists, every call on the input backend goes through this queue: a backend sees one
// thread at a time and needs no lock of its own for its connection.
class InputQueue {
 public:
  InputQueue(std::shared_ptr<InputBackend> backend, EventInjectorTiming timing);
  // Waits for the injection in progress; what is still queued is dropped.
  ~InputQueue();
  InputQueue(const InputQueue&) = delete;
  InputQueue& operator=(const InputQueue&) = delete;

  // Any thread. Messages reach the injector in the order of these calls: they are posted to one
  // serial queue, which runs them one at a time, first posted first. The control server calls
  // this from its one network thread, in the order the messages arrived.
  void handle(ControlMessage message);
  // Called on the input queue; set before the first message, and not changed afterwards.
  void setOnAccessibilityPermissionLost(std::function<void()> notice);

  // Any thread: the injector keeps the target under its own lock.
  std::optional<std::uint32_t> targetDisplayID() const { return injector_->targetDisplayID(); }
  // Any thread. Queued like a message: input posted before it still lands on the old target.
  void setTargetDisplayID(std::optional<std::uint32_t> displayID);

  // Asks the backend on the input queue, after the messages queued before; the answer is posted
  // to `mainQueue`.
  void checkProcessTrusted(MainQueue& mainQueue, std::function<void(bool trusted)> answer);

 private:
  const std::shared_ptr<InputBackend> backend_;
  const std::shared_ptr<EventInjectorService> injector_;
  // Declared last: destroyed first, so no queued work outlives the injector it calls.
  SerialQueue queue_{"velmora.input"};
};

}  // namespace velmora
