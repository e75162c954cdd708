#include "app/input_queue.h"

namespace velmora {

InputQueue::InputQueue(std::shared_ptr<InputBackend> backend, EventInjectorTiming timing)
    : backend_(std::move(backend)),
      injector_(std::make_shared<EventInjectorService>(EventInjectorService::Dependencies{backend_, timing})) {}

InputQueue::~InputQueue() { queue_.shutdownAndWait(); }

void InputQueue::handle(ControlMessage message) {
  queue_.post([injector = injector_, message = std::move(message)] { injector->handle(message); });
}

void InputQueue::setTargetDisplayID(std::optional<std::uint32_t> displayID) {
  queue_.post([injector = injector_, displayID] { injector->setTargetDisplayID(displayID); });
}

void InputQueue::setOnAccessibilityPermissionLost(std::function<void()> notice) {
  injector_->onAccessibilityPermissionLost = std::move(notice);
}

void InputQueue::checkProcessTrusted(MainQueue& mainQueue, std::function<void(bool trusted)> answer) {
  queue_.post([backend = backend_, &mainQueue, answer = std::move(answer)] {
    mainQueue.post([answer, trusted = backend->isProcessTrusted()] { answer(trusted); });
  });
}

}  // namespace velmora
