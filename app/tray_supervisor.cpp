#include "app/tray_supervisor.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/log/log.h"

namespace velmora {
namespace {

const log::Logger logger("AppDelegate");

bool isQuitSignal(int signal) { return signal == SIGINT || signal == SIGTERM || signal == SIGHUP; }

// As a shell reports it: the exit status, or 128 and the signal that ended the process.
int statusOf(int waitStatus) { return WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : 128 + WTERMSIG(waitStatus); }

// Waits for the child, passing quit signals on; true in `quitting` once one came.
int waitForChild(pid_t child, const sigset_t& signals, bool& quitting) {
  for (;;) {
    int waitStatus = 0;
    const pid_t ended = waitpid(child, &waitStatus, WNOHANG);
    if (ended == child) {
      return statusOf(waitStatus);
    }
    if (ended < 0 && errno != EINTR) {
      logger.error("Lost track of the tray host's process: {}", std::strerror(errno));
      return EXIT_FAILURE;
    }
    // SIGCHLD is blocked like the others, so one that came since waitpid is still pending here.
    if (const int signal = sigwaitinfo(&signals, nullptr); isQuitSignal(signal)) {
      quitting = true;
      kill(child, signal);
    }
  }
}

}  // namespace

DesktopReturnTiming DesktopReturnTiming::fromEnvironment() {
  DesktopReturnTiming timing;
  if (const char* seconds = std::getenv("VELMORA_TEST_DESKTOP_RETURN_SECONDS"); seconds != nullptr) {
    timing.giveUpAfter = std::chrono::seconds(std::max(1, std::atoi(seconds)));
  }
  return timing;
}

std::optional<int> superviseTrayHost(const DesktopReturnTiming& timing,
                                     const std::function<Result<bool>()>& desktopReachable, TrayHostStatuses statuses) {
  sigset_t signals;
  sigemptyset(&signals);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGCHLD}) {
    sigaddset(&signals, signal);
  }
  // An inherited "ignore" would reap the child unseen.
  ::signal(SIGCHLD, SIG_DFL);
  sigset_t previous;
  sigprocmask(SIG_BLOCK, &signals, &previous);
  const pid_t parent = getpid();
  bool quitting = false;
  for (;;) {
    const pid_t child = fork();
    if (child == 0) {
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      sigprocmask(SIG_SETMASK, &previous, nullptr);
      return getppid() == parent ? std::nullopt : std::optional(0);
    }
    if (child < 0) {
      logger.error("The tray host runs without a process of its own ({}): it ends with its desktop",
                   std::strerror(errno));
      sigprocmask(SIG_SETMASK, &previous, nullptr);
      return std::nullopt;
    }
    const int status = waitForChild(child, signals, quitting);
    if (quitting || status == 0) {
      return status;
    }
    auto reachable = desktopReachable();
    const bool displayBroke = status == statuses.displayBroke;
    if (reachable && !displayBroke) {
      return status;  // the host failed, not its desktop
    }
    // The desktop may be back already when the host ended with its display.
    logger.error("The desktop went away ({}); waiting up to {} s for it to come back",
                 displayBroke ? "the tray's display connection broke" : reachable.error(),
                 std::chrono::duration_cast<std::chrono::seconds>(timing.giveUpAfter).count());
    const auto giveUpAt = std::chrono::steady_clock::now() + timing.giveUpAfter;
    while (!reachable) {
      if (std::chrono::steady_clock::now() >= giveUpAt) {
        logger.error("The desktop did not come back: {}", reachable.error());
        return statuses.desktopGone;
      }
      const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(timing.retryInterval);
      const timespec pause{static_cast<time_t>(seconds.count()),
                           static_cast<long>(std::chrono::nanoseconds(timing.retryInterval - seconds).count())};
      if (isQuitSignal(sigtimedwait(&signals, nullptr, &pause))) {
        return 0;
      }
      reachable = desktopReachable();
    }
    logger.notice("The desktop is back; serving again");
  }
}

}  // namespace velmora
