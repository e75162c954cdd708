#pragma once

#include <chrono>
#include <cstddef>
#include <stop_token>
#include <string_view>

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

}  // namespace velmora
