#pragma once

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

#include "platform/file_descriptor.h"

namespace velmora {

// An eventfd that wakes one waiting thread (its poll, its PipeWire or Wayland loop): any thread
// signals, the woken thread drains. Without a descriptor (descriptors exhausted) it is not open
// and a signal reaches the waiter only at its next timeout.
class WakeEvent {
 public:
  WakeEvent() : descriptor_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

  bool isOpen() const { return descriptor_.isOpen(); }
  int descriptor() const { return descriptor_.get(); }
  // Any thread.
  void signal() const {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(descriptor_.get(), &one, sizeof one);
  }
  // The waiting thread, once woken: the next wait blocks again.
  void drain() const {
    std::uint64_t count = 0;
    [[maybe_unused]] const auto read = ::read(descriptor_.get(), &count, sizeof count);
  }

 private:
  FileDescriptor descriptor_;
};

}  // namespace velmora
