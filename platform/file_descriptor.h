#pragma once

#include <unistd.h>

#include <utility>

namespace velmora {

// Owns one file descriptor; closes it on destruction.
class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int descriptor) : descriptor_(descriptor) {}
  ~FileDescriptor() {
    if (descriptor_ >= 0) {
      ::close(descriptor_);
    }
  }
  FileDescriptor(FileDescriptor&& other) noexcept : descriptor_(std::exchange(other.descriptor_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
      FileDescriptor closing(std::exchange(descriptor_, std::exchange(other.descriptor_, -1)));
    }
    return *this;
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;

  int get() const { return descriptor_; }
  bool isOpen() const { return descriptor_ >= 0; }
  // Gives the descriptor up without closing it.
  int release() { return std::exchange(descriptor_, -1); }
  // Closing reports delayed write errors (NFS, quotas); false with errno set when it fails.
  bool close() { return ::close(release()) == 0; }

 private:
  int descriptor_ = -1;
};

}  // namespace velmora
