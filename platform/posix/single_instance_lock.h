#pragma once

#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <string>

namespace velmora {

// $XDG_RUNTIME_DIR/velmora/host.lock when that variable is an absolute path (null: unset), else
// /tmp/velmora-UID/host.lock.
std::filesystem::path singleInstanceLockPath(const char* xdgRuntimeDir, uid_t uid);
// From the environment and the real user id.
std::filesystem::path defaultSingleInstanceLockPath();

// An exclusive flock on a file, held until the object is destroyed: whoever holds it is the one
// running instance. The lock dies with the process, so a crash never leaves a stale lock behind.
class SingleInstanceLock {
 public:
  enum class Outcome { acquired, heldByAnotherProcess, failed };

  struct Acquisition {
    Outcome outcome = Outcome::failed;
    std::unique_ptr<SingleInstanceLock> lock;  // only when acquired
    std::string errorDescription;              // only when failed
  };

  // Creates the lock's folder (mode 0700) when it is missing, and refuses a folder that is a
  // symbolic link, belongs to someone else or is writable by group or others: in a shared /tmp,
  // anyone could otherwise hold the lock and keep every instance from starting. Never blocks.
  static Acquisition acquire(const std::filesystem::path& path);

  struct Key {  // only acquire() makes a lock
   private:
    friend class SingleInstanceLock;
    Key() = default;
  };
  SingleInstanceLock(Key key, std::filesystem::path path, int descriptor);
  ~SingleInstanceLock();
  SingleInstanceLock(const SingleInstanceLock&) = delete;
  SingleInstanceLock& operator=(const SingleInstanceLock&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  const std::filesystem::path path_;
  const int descriptor_;
};

}  // namespace velmora
