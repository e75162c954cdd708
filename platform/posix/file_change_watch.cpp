#include "platform/posix/file_change_watch.h"

#include "platform/log/log.h"

#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>

namespace velmora {
namespace {

// The file's own events, and the folder's end (removed, renamed, unmounted), after which the
// watch has to be made afresh.
constexpr std::uint32_t kWatchedEvents =
    IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
constexpr std::uint32_t kFolderGone = IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT;

const log::Logger& logger() {
  static const log::Logger appLogger("App");
  return appLogger;
}

std::string describeInotifyErrno(int error) {
  if (error == EMFILE) {
    return "the limit of inotify instances is reached (fs.inotify.max_user_instances)";
  }
  if (error == ENOSPC) {
    return "the limit of inotify watches is reached (fs.inotify.max_user_watches)";
  }
  return std::strerror(error);
}

// The folder and its missing parents, private to the user as the base directory rules ask.
Result<bool> makeFolder(const std::filesystem::path& folder) {
  std::filesystem::path partial;
  for (const auto& component : folder) {
    partial /= component;
    if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) {
      return Result<bool>::failure("could not create folder " + partial.string() + ": " + std::strerror(errno));
    }
  }
  return true;
}

// The folder made if need be, then watched; the watch descriptor.
Result<int> watchFolder(int inotify, const std::filesystem::path& folder) {
  if (auto made = makeFolder(folder); !made) {
    return Result<int>::failure(made.error());
  }
  const int watch = ::inotify_add_watch(inotify, folder.c_str(), kWatchedEvents);
  if (watch < 0) {
    return Result<int>::failure("could not watch folder " + folder.string() + ": " + describeInotifyErrno(errno));
  }
  return watch;
}

}  // namespace

Result<std::unique_ptr<FileChangeWatch>> FileChangeWatch::start(std::filesystem::path file,
                                                                std::function<void()> onChange) {
  using Failure = Result<std::unique_ptr<FileChangeWatch>>;
  if (!file.has_filename()) {
    return Failure::failure("cannot watch " + file.string() + ": it names no file");
  }
  FileDescriptor inotify(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!inotify.isOpen()) {
    return Failure::failure("cannot watch " + file.string() + ": " + describeInotifyErrno(errno));
  }
  WakeEvent stopEvent;
  if (!stopEvent.isOpen()) {
    return Failure::failure(std::string("cannot watch " + file.string() + ": eventfd failed: ") + std::strerror(errno));
  }
  auto watch = std::make_unique<FileChangeWatch>(PrivateTag{}, std::move(file), std::move(inotify),
                                                 std::move(stopEvent), std::move(onChange));
  auto watched = watchFolder(watch->inotify_.get(), watch->folder_);
  if (!watched) {
    return Failure::failure(watched.error());
  }
  watch->folderWatch_ = watched.value();
  watch->watchThread_ = std::thread([raw = watch.get()] { raw->run(); });
  return watch;
}

FileChangeWatch::FileChangeWatch(PrivateTag, std::filesystem::path file, FileDescriptor inotify, WakeEvent stopEvent,
                                 std::function<void()> onChange)
    : folder_(file.has_parent_path() ? file.parent_path() : std::filesystem::path(".")),
      fileName_(file.filename().string()),
      inotify_(std::move(inotify)),
      stopEvent_(std::move(stopEvent)),
      onChange_(std::move(onChange)) {}

FileChangeWatch::~FileChangeWatch() {
  stopEvent_.signal();
  if (watchThread_.joinable()) {
    watchThread_.join();
  }
}

void FileChangeWatch::run() {
  for (;;) {
    pollfd descriptors[] = {{stopEvent_.descriptor(), POLLIN, 0}, {inotify_.get(), POLLIN, 0}};
    // Without a watched folder only the stop event is left to wait for.
    const nfds_t count = folderWatch_ >= 0 ? 2 : 1;
    if (::poll(descriptors, count, -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      logger().error("The watch on {} ends: poll failed: {}", (folder_ / fileName_).string(), std::strerror(errno));
      return;
    }
    if (descriptors[0].revents != 0) {
      return;
    }
    if (descriptors[1].revents != 0 && takeEvents() && onChange_) {
      onChange_();
    }
  }
}

bool FileChangeWatch::takeEvents() {
  alignas(inotify_event) char buffer[16 * (sizeof(inotify_event) + NAME_MAX + 1)];
  bool changed = false;
  bool folderGone = false;
  for (;;) {
    const ssize_t length = ::read(inotify_.get(), buffer, sizeof buffer);
    if (length < 0 && errno == EINTR) {
      continue;
    }
    if (length < 0 && errno == EAGAIN) {
      break;
    }
    if (length <= 0) {
      logger().error("The watch on {} ends: reading its events failed: {}", (folder_ / fileName_).string(),
                     length < 0 ? std::strerror(errno) : "end of file");
      folderWatch_ = -1;
      return changed;
    }
    for (ssize_t offset = 0; offset < length;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
      offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      // Dropped events may have been the file's.
      if ((event->mask & IN_Q_OVERFLOW) != 0) {
        changed = true;
      } else if (event->wd != folderWatch_) {
        continue;  // the end of a folder watched before
      } else if ((event->mask & kFolderGone) != 0) {
        changed = true;
        folderGone = true;
      } else if (event->len > 0 && std::string_view(event->name) == fileName_) {
        changed = true;
      }
    }
  }
  if (folderGone) {
    watchFolderAgain();
  }
  return changed;
}

void FileChangeWatch::watchFolderAgain() {
  // A folder renamed away is still watched under its new name: that watch is of no use.
  ::inotify_rm_watch(inotify_.get(), folderWatch_);
  auto watched = watchFolder(inotify_.get(), folder_);
  if (!watched) {
    logger().error("The watch on {} ends: {}", (folder_ / fileName_).string(), watched.error());
    folderWatch_ = -1;
    return;
  }
  folderWatch_ = watched.value();
}

}  // namespace velmora
