#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/file_descriptor.h"

namespace velmora {

// A reader that takes nothing for this long has gone away without closing its end.
inline constexpr std::chrono::milliseconds kStalledPasteReaderLimit{10'000};

struct PasteWriteOutcome {
  std::size_t written = 0;
  bool complete = false;
};

// Writes a paste's text into the pipe a desktop handed over for it, and closes the pipe. It never
// blocks for longer than a stop check takes, and a reader that closes its end early costs an
// error, not the process: SIGPIPE is blocked on the calling thread (meant to be a writer thread of
// its own). Gives up when `stop` is requested or the reader takes nothing for `stalledReaderLimit`.
PasteWriteOutcome writePaste(FileDescriptor pipe, std::string_view text, std::stop_token stop = {},
                             std::chrono::milliseconds stalledReaderLimit = kStalledPasteReaderLimit);

// The pastes under way, each written by writePaste on a thread of its own, so that a slow reader
// holds up neither the desktop's connection nor other pastes. Finished threads are let go when the
// next paste starts; the others are stopped and joined when this goes. Used on one thread at a
// time.
class PasteWriters {
 public:
  using Finished = std::function<void(const PasteWriteOutcome&)>;

  // `finished` (optional) is called on the writer's thread once the pipe is closed.
  void start(FileDescriptor pipe, std::shared_ptr<const std::string> text, Finished finished = {});

 private:
  struct Writer {
    std::shared_ptr<std::atomic<bool>> done;
    std::jthread thread;
  };
  std::vector<Writer> writers_;
};

}  // namespace velmora
