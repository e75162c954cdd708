#include "platform/desktop/paste_writer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>

#include <cerrno>
#include <ctime>

namespace velmora {
namespace {

constexpr int kStopCheckMilliseconds = 100;

// A write to a pipe without a reader raises SIGPIPE on the writing thread, which ends the process
// unless blocked; blocked, the write fails with EPIPE instead. The signal left pending is taken
// before the thread's mask is restored, so that it is not delivered then.
class PipeSignalBlock {
 public:
  PipeSignalBlock() {
    sigemptyset(&pipeSignal_);
    sigaddset(&pipeSignal_, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal_, &previous_);
  }
  ~PipeSignalBlock() {
    const timespec noWait{};
    while (sigtimedwait(&pipeSignal_, nullptr, &noWait) == SIGPIPE) {
    }
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  }
  PipeSignalBlock(const PipeSignalBlock&) = delete;
  PipeSignalBlock& operator=(const PipeSignalBlock&) = delete;

 private:
  sigset_t pipeSignal_{};
  sigset_t previous_{};
};

}  // namespace

PasteWriteOutcome writePaste(FileDescriptor pipe, std::string_view text, std::stop_token stop,
                             std::chrono::milliseconds stalledReaderLimit) {
  const PipeSignalBlock block;
  const int descriptor = pipe.get();
  fcntl(descriptor, F_SETFL, fcntl(descriptor, F_GETFL) | O_NONBLOCK);
  PasteWriteOutcome outcome;
  auto lastProgress = std::chrono::steady_clock::now();
  while (outcome.written < text.size() && !stop.stop_requested() &&
         std::chrono::steady_clock::now() - lastProgress < stalledReaderLimit) {
    pollfd writable{descriptor, POLLOUT, 0};
    if (poll(&writable, 1, kStopCheckMilliseconds) <= 0) {
      continue;
    }
    const ssize_t count = write(descriptor, text.data() + outcome.written, text.size() - outcome.written);
    if (count < 0 && errno != EAGAIN && errno != EINTR) {
      break;
    }
    if (count > 0) {
      outcome.written += static_cast<std::size_t>(count);
      lastProgress = std::chrono::steady_clock::now();
    }
  }
  outcome.complete = outcome.written == text.size();
  return outcome;
}

void PasteWriters::start(FileDescriptor pipe, std::shared_ptr<const std::string> text, Finished finished) {
  std::erase_if(writers_, [](const Writer& writer) { return writer.done->load(); });
  auto done = std::make_shared<std::atomic<bool>>(false);
  writers_.push_back(Writer{
      done, std::jthread([pipe = std::move(pipe), text = std::move(text), finished = std::move(finished),
                          done](std::stop_token stop) mutable {
        const auto outcome = writePaste(std::move(pipe), *text, stop);
        if (finished) {
          finished(outcome);
        }
        done->store(true);
      })});
}

}  // namespace velmora
