#include "platform/posix/json_file_user_defaults.h"

#include "platform/file_descriptor.h"
#include "platform/log/log.h"

#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace velmora {
namespace {

// Far beyond any real settings file; a larger one is treated as corrupt rather than read whole.
constexpr off_t kLargestUserDefaultsFile = 16 * 1024 * 1024;
// How many set-aside copies of corrupt files are kept before writes are refused.
constexpr int kMaximumCorruptCopies = 10;

const log::Logger& logger() {
  static const log::Logger appLogger("App");
  return appLogger;
}

std::string describeErrno(int error) { return std::strerror(error); }

bool isAbsolute(const char* value) { return value != nullptr && value[0] == '/'; }

std::string passwordDatabaseHome() {
  long bufferSize = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(bufferSize > 0 ? static_cast<std::size_t>(bufferSize) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
      !isAbsolute(found->pw_dir)) {
    return {};
  }
  return found->pw_dir;
}

enum class FileState { missing, object, corrupt, unreadable };

struct FileContents {
  FileState state = FileState::missing;
  nlohmann::json object;
};

FileContents readContents(const std::filesystem::path& path) {
  FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) {
    if (errno == ENOENT || errno == ENOTDIR) {
      return {};
    }
    logger().error("Could not read user defaults file {}: {}", path.string(), describeErrno(errno));
    return {FileState::unreadable, {}};
  }
  struct stat status {};
  if (::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
    logger().error("User defaults file {} is not a regular file", path.string());
    return {FileState::unreadable, {}};
  }
  if (status.st_size > kLargestUserDefaultsFile) {
    logger().error("User defaults file {} is too large ({} bytes); treating it as empty", path.string(), status.st_size);
    return {FileState::corrupt, {}};
  }

  std::string text;
  char chunk[8192];
  for (;;) {
    const ssize_t count = ::read(file.get(), chunk, sizeof chunk);
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count < 0) {
      logger().error("Could not read user defaults file {}: {}", path.string(), describeErrno(errno));
      return {FileState::unreadable, {}};
    }
    if (count == 0) {
      break;
    }
    text.append(chunk, static_cast<std::size_t>(count));
    if (text.size() > static_cast<std::size_t>(kLargestUserDefaultsFile)) {
      logger().error("User defaults file {} is too large; treating it as empty", path.string());
      return {FileState::corrupt, {}};
    }
  }

  if (text.find_first_not_of(" \t\r\n") == std::string::npos) {
    return {FileState::object, nlohmann::json::object()};  // nothing in it to keep
  }
  auto object = nlohmann::json::parse(text, nullptr, false);
  if (object.is_discarded() || !object.is_object()) {
    logger().error("User defaults file {} is not a JSON object; treating it as empty", path.string());
    return {FileState::corrupt, {}};
  }
  return {FileState::object, std::move(object)};
}

// Creates the missing folders of `folder`, private to the user as the base directory rules ask.
bool makeFolder(const std::filesystem::path& folder) {
  std::filesystem::path partial;
  for (const auto& component : folder) {
    partial /= component;
    if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) {
      logger().error("Could not create folder {} for the user defaults: {}", partial.string(), describeErrno(errno));
      return false;
    }
  }
  return true;
}

// The one temporary file every write goes through. A write killed half-way leaves this file
// behind, never a new one each time, and the next write starts it afresh.
std::filesystem::path temporaryPathFor(const std::filesystem::path& path) {
  return path.parent_path() / ("." + path.filename().string() + ".tmp");
}

// Opens the temporary file and locks it; writers in every process take turns on that lock, so
// one never overwrites the temporary file another is about to rename. A writer that waited may
// have locked a file that has since been renamed into place or removed: it then opens the name
// afresh.
FileDescriptor lockTemporaryFile(const std::filesystem::path& temporaryPath, const std::filesystem::path& path) {
  for (;;) {
    // O_NONBLOCK: a FIFO planted under the name must not stall the writer in open.
    FileDescriptor file(::open(temporaryPath.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    if (file.get() < 0) {
      logger().error("Could not write user defaults to {}: {}", path.string(), describeErrno(errno));
      return {};
    }
    struct stat locked {};
    if (::fstat(file.get(), &locked) != 0 || !S_ISREG(locked.st_mode)) {
      logger().error("Could not write user defaults to {}: {} is not a regular file", path.string(),
                     temporaryPath.string());
      return {};
    }
    if (::flock(file.get(), LOCK_EX) != 0) {
      if (errno == EINTR) {
        continue;
      }
      logger().error("Could not write user defaults to {}: {}", path.string(), describeErrno(errno));
      return {};
    }
    struct stat named {};
    if (::lstat(temporaryPath.c_str(), &named) == 0 && named.st_dev == locked.st_dev && named.st_ino == locked.st_ino) {
      return file;
    }
  }
}

// Replaces the contents of the locked temporary file with `text` and syncs it. The file stays
// open: closing it would give up the lock before the rename.
bool writeTemporaryFile(int file, const std::filesystem::path& path, const std::string& text) {
  if (::ftruncate(file, 0) != 0) {
    logger().error("Could not write user defaults to {}: {}", path.string(), describeErrno(errno));
    return false;
  }
  std::size_t written = 0;
  while (written < text.size()) {
    const ssize_t count = ::pwrite(file, text.data() + written, text.size() - written, static_cast<off_t>(written));
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count < 0) {
      break;
    }
    written += static_cast<std::size_t>(count);
  }
  // fsync also reports the delayed write errors (NFS, quotas) that close would.
  if (written < text.size() || ::fsync(file) != 0) {
    logger().error("Could not write user defaults to {}: {}", path.string(), describeErrno(errno));
    return false;
  }
  return true;
}

// Keeps a corrupt file as path.corrupt (or path.corrupt.N), never replacing an earlier copy.
bool moveAside(const std::filesystem::path& path) {
  for (int copy = 0; copy < kMaximumCorruptCopies; ++copy) {
    std::string aside = path.string() + ".corrupt";
    if (copy > 0) {
      aside += "." + std::to_string(copy);
    }
    if (::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, aside.c_str(), RENAME_NOREPLACE) == 0) {
      logger().notice("Moved corrupt user defaults file {} aside to {}", path.string(), aside);
      return true;
    }
    if (errno != EEXIST) {
      logger().error("Could not move corrupt user defaults file {} aside: {}", path.string(), describeErrno(errno));
      return false;
    }
  }
  logger().error("Could not move corrupt user defaults file {} aside: {} earlier copies exist", path.string(),
                 kMaximumCorruptCopies);
  return false;
}

void syncFolder(const std::filesystem::path& folder) {
  FileDescriptor directory(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (directory.get() < 0 || ::fsync(directory.get()) != 0) {
    // The new file is in place; only its survival of a power loss is in doubt.
    logger().error("Could not sync folder {} after writing the user defaults: {}", folder.string(), describeErrno(errno));
  }
}

// Applies `change` to the file at `path` by way of the locked temporary file.
bool replaceContents(const std::filesystem::path& path, int temporary, const std::filesystem::path& temporaryPath,
                     const std::function<void(nlohmann::json&)>& change) {
  // Read under the lock of the temporary file, so that a key another process writes meanwhile is
  // not lost.
  FileContents contents = readContents(path);
  if (contents.state == FileState::unreadable) {
    logger().error("Not writing user defaults to {}: the existing file could not be read", path.string());
    return false;
  }
  nlohmann::json object = contents.state == FileState::object ? std::move(contents.object) : nlohmann::json::object();
  change(object);
  std::string text;
  try {
    text = object.dump(2) + "\n";
  } catch (const nlohmann::json::exception& error) {
    logger().error("Could not encode user defaults for {}: {}", path.string(), error.what());
    return false;
  }

  if (!writeTemporaryFile(temporary, path, text)) {
    return false;
  }
  if (contents.state == FileState::corrupt && !moveAside(path)) {
    return false;
  }
  if (::rename(temporaryPath.c_str(), path.c_str()) != 0) {
    logger().error("Could not write user defaults to {}: {}", path.string(), describeErrno(errno));
    return false;
  }
  syncFolder(path.has_parent_path() ? path.parent_path() : std::filesystem::path("."));
  return true;
}

}  // namespace

std::filesystem::path userDefaultsPath(const char* xdgConfigHome, const char* home) {
  if (isAbsolute(xdgConfigHome)) {
    return std::filesystem::path(xdgConfigHome) / "velmora" / "user-defaults.json";
  }
  if (isAbsolute(home)) {
    return std::filesystem::path(home) / ".config" / "velmora" / "user-defaults.json";
  }
  return {};
}

std::filesystem::path defaultUserDefaultsPath() {
  const char* home = std::getenv("HOME");
  const std::string fallbackHome = isAbsolute(home) ? std::string() : passwordDatabaseHome();
  return userDefaultsPath(std::getenv("XDG_CONFIG_HOME"), isAbsolute(home) ? home : fallbackHome.c_str());
}

JsonFileUserDefaults::JsonFileUserDefaults(std::filesystem::path path) : path_(std::move(path)) {}

nlohmann::json JsonFileUserDefaults::object() const {
  FileContents contents;
  {
    std::lock_guard lock(fileLock_);
    contents = readContents(path_);
  }
  return contents.state == FileState::object ? std::move(contents.object) : nlohmann::json::object();
}

bool JsonFileUserDefaults::update(const std::function<void(nlohmann::json& object)>& change) {
  if (path_.empty()) {
    logger().error("Could not write user defaults: no location for the file (neither XDG_CONFIG_HOME nor HOME is set)");
    return false;
  }
  std::lock_guard lock(fileLock_);
  if (!makeFolder(path_.parent_path())) {
    return false;
  }
  const auto temporaryPath = temporaryPathFor(path_);
  const FileDescriptor temporary = lockTemporaryFile(temporaryPath, path_);
  if (!temporary.isOpen()) {
    return false;
  }
  // Still under the lock: a failed write leaves no temporary file behind.
  if (!replaceContents(path_, temporary.get(), temporaryPath, change)) {
    ::unlink(temporaryPath.c_str());
    return false;
  }
  return true;
}

}  // namespace velmora
