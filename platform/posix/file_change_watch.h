#pragma once

#include "platform/file_descriptor.h"
#include "platform/result.h"
#include "platform/wake_event.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace velmora {

// Tells when one file is created, written and closed, renamed into place, renamed away or removed,
// by watching its folder with inotify: a file replaced by an atomic rename is a new inode, which a
// watch on the file itself would lose. Other names in the folder are ignored.
class FileChangeWatch {
  struct PrivateTag {};

 public:
  // Creates the folder (and missing parents, mode 0700) when it does not exist yet. Watching has
  // begun when this returns. `onChange` runs on the watch's own thread, once for each batch of
  // events that arrive together, and also when the kernel dropped events (queue overflow).
  static Result<std::unique_ptr<FileChangeWatch>> start(std::filesystem::path file, std::function<void()> onChange);

  // Joins the watch thread: no call of onChange runs after it returns. Must not be called from
  // onChange.
  ~FileChangeWatch();
  FileChangeWatch(const FileChangeWatch&) = delete;
  FileChangeWatch& operator=(const FileChangeWatch&) = delete;

  FileChangeWatch(PrivateTag, std::filesystem::path file, FileDescriptor inotify, WakeEvent stopEvent,
                  std::function<void()> onChange);

 private:
  void run();
  // Reads every event queued so far; true when one of them concerns the file.
  bool takeEvents();
  void watchFolderAgain();

  const std::filesystem::path folder_;
  const std::string fileName_;
  const FileDescriptor inotify_;
  const WakeEvent stopEvent_;
  const std::function<void()> onChange_;
  int folderWatch_ = -1;  // inotify's watch descriptor, none once the watch ended; the watch thread's after start
  std::thread watchThread_;
};

}  // namespace velmora
