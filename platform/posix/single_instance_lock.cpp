#include "platform/posix/single_instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "platform/file_descriptor.h"

namespace velmora {
namespace {

using Acquisition = SingleInstanceLock::Acquisition;
using Outcome = SingleInstanceLock::Outcome;

Acquisition failure(std::string description) { return {Outcome::failed, nullptr, std::move(description)}; }

std::string describe(const std::string& what, const std::filesystem::path& path, int error) {
  return what + " " + path.string() + ": " + std::strerror(error);
}

// Opens the lock's folder, creating it when missing; -1 and `error` set when it cannot be used.
// O_NOFOLLOW and the checks on the opened folder (not on its name) leave no gap for someone to
// swap the folder for a link in between.
int openFolder(const std::filesystem::path& folder, std::string& error) {
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    error = describe("Could not create the lock folder", folder, errno);
    return -1;
  }
  FileDescriptor opened(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (opened.get() < 0) {
    error = errno == ELOOP || errno == ENOTDIR
                ? "Refusing the lock folder " + folder.string() + ": it is a symbolic link or not a folder"
                : describe("Could not open the lock folder", folder, errno);
    return -1;
  }
  struct stat status {};
  if (::fstat(opened.get(), &status) != 0) {
    error = describe("Could not inspect the lock folder", folder, errno);
    return -1;
  }
  if (status.st_uid != ::geteuid()) {
    error = "Refusing the lock folder " + folder.string() + ": it belongs to user " + std::to_string(status.st_uid) +
            ", not to this user";
    return -1;
  }
  if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    error = "Refusing the lock folder " + folder.string() + ": group or others may write to it";
    return -1;
  }
  return opened.release();
}

}  // namespace

std::filesystem::path singleInstanceLockPath(const char* xdgRuntimeDir, uid_t uid) {
  if (xdgRuntimeDir != nullptr && xdgRuntimeDir[0] == '/') {
    return std::filesystem::path(xdgRuntimeDir) / "velmora" / "host.lock";
  }
  return std::filesystem::path("/tmp") / ("velmora-" + std::to_string(uid)) / "host.lock";
}

std::filesystem::path defaultSingleInstanceLockPath() {
  return singleInstanceLockPath(std::getenv("XDG_RUNTIME_DIR"), ::getuid());
}

SingleInstanceLock::Acquisition SingleInstanceLock::acquire(const std::filesystem::path& path) {
  if (!path.has_filename() || !path.has_parent_path()) {
    return failure("Not a usable lock file path: \"" + path.string() + "\"");
  }
  std::string error;
  FileDescriptor folder(openFolder(path.parent_path(), error));
  if (folder.get() < 0) {
    return failure(error);
  }

  FileDescriptor file(
      ::openat(folder.get(), path.filename().c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
  if (file.get() < 0) {
    return failure(describe("Could not open the lock file", path, errno));
  }
  struct stat status {};
  if (::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
    return failure("Refusing the lock file " + path.string() + ": it is not a regular file");
  }

  // flock belongs to the open file description: another descriptor for the same file, in this
  // process or another, sees the lock as held.
  int result = 0;
  do {
    result = ::flock(file.get(), LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    if (errno == EWOULDBLOCK) {
      return {Outcome::heldByAnotherProcess, nullptr, {}};
    }
    return failure(describe("Could not lock", path, errno));
  }
  return {Outcome::acquired, std::make_unique<SingleInstanceLock>(Key{}, path, file.release()), {}};
}

SingleInstanceLock::SingleInstanceLock(Key /*key*/, std::filesystem::path path, int descriptor)
    : path_(std::move(path)), descriptor_(descriptor) {}

SingleInstanceLock::~SingleInstanceLock() { ::close(descriptor_); }

}  // namespace velmora
