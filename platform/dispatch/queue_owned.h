#pragma once

#include <memory>
#include <utility>

namespace velmora {

// Hands an object that runs work on a queue of its own to its owners. That work holds the object
// through weak references only, yet the reference it locks for a moment could be the last one if
// the owners let go at that instant, and the object would then be destroyed on its own queue,
// whose thread could not be waited for (and might still run at process exit). The handle
// returned here keeps a separate count: when the owners' last handle goes, the object's queue is
// stopped and waited for on the owner's thread, and only then is the object released.
// T needs shutdownQueueAndWait().
template <class T>
std::shared_ptr<T> ownedOutsideItsQueue(std::shared_ptr<T> object) {
  struct Owners {
    explicit Owners(std::shared_ptr<T> owned) : object(std::move(owned)) {}
    ~Owners() { object->shutdownQueueAndWait(); }
    Owners(const Owners&) = delete;
    Owners& operator=(const Owners&) = delete;
    std::shared_ptr<T> object;
  };
  auto owners = std::make_shared<Owners>(std::move(object));
  T* raw = owners->object.get();
  return std::shared_ptr<T>(std::move(owners), raw);
}

}  // namespace velmora
