#pragma once

#include <memory>

namespace velmora {

// Sole owner of a C library's object, handed back to the library's own `release` function.
template <class T, auto release>
struct Releaser {
  void operator()(T* pointer) const { release(pointer); }
};
template <class T, auto release>
using ReleasedPointer = std::unique_ptr<T, Releaser<T, release>>;

}  // namespace velmora
