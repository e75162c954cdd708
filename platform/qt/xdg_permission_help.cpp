#include "platform/qt/xdg_permission_help.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>

extern char** environ;

namespace velmora {

struct XdgPermissionHelp::Opener {
  enum class State { running, succeeded, failed };
  std::atomic<State> state{State::running};
};

namespace {

std::string percentEncoded(const std::string& path) {
  static constexpr char kHexDigits[] = "0123456789ABCDEF";
  std::string encoded;
  for (const unsigned char character : path) {
    const bool unreserved = (character >= 'a' && character <= 'z') || (character >= 'A' && character <= 'Z') ||
                            (character >= '0' && character <= '9') || std::strchr("-._~/", character) != nullptr;
    if (unreserved && character != '\0') {
      encoded += static_cast<char>(character);
    } else {
      encoded += '%';
      encoded += kHexDigits[character >> 4];
      encoded += kHexDigits[character & 0x0F];
    }
  }
  return encoded;
}

const char* anchorOf(PermissionKind permission) {
  switch (permission) {
    case PermissionKind::accessibility: return "accessibility";
    case PermissionKind::screenRecording: return "screen-recording";
  }
  return "";
}

}  // namespace

XdgPermissionHelp::XdgPermissionHelp(std::filesystem::path helpPage, std::vector<std::string> opener)
    : helpPage_(std::move(helpPage)), opener_(std::move(opener)) {}

XdgPermissionHelp::~XdgPermissionHelp() = default;

std::string XdgPermissionHelp::helpAddress(const std::filesystem::path& helpPage, PermissionKind permission) {
  std::error_code error;
  auto absolute = std::filesystem::absolute(helpPage, error);
  if (error) {
    absolute = helpPage;
  }
  return "file://" + percentEncoded(absolute.lexically_normal().string()) + "#" + anchorOf(permission);
}

void XdgPermissionHelp::open(PermissionKind permission) {
  auto opener = std::make_shared<Opener>();
  lastOpener_ = opener;
  if (opener_.empty()) {
    logger_.error("No program is configured to open the permission help");
    opener->state = Opener::State::failed;
    return;
  }

  std::vector<std::string> arguments = opener_;
  arguments.push_back(helpAddress(helpPage_, permission));
  std::vector<char*> argv;
  for (auto& argument : arguments) {
    argv.push_back(argument.data());
  }
  argv.push_back(nullptr);

  // The host's standard output carries its status lines: the opener's chatter goes elsewhere.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t child = -1;
  const int failed = posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0) {
    logger_.error("Could not start {} to open the permission help: {}", opener_.front(), std::strerror(failed));
    opener->state = Opener::State::failed;
    return;
  }
  logger_.info("Opening the permission help {}", arguments.back());

  // Reaped as soon as it ends, however long that takes (a browser started in the foreground may
  // outlive this object): detached, the waiting thread owns nothing but the shared state.
  std::thread([child, opener] {
    int status = 0;
    pid_t reaped = -1;
    do {
      reaped = ::waitpid(child, &status, 0);
    } while (reaped < 0 && errno == EINTR);
    const bool succeeded = reaped == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    opener->state = succeeded ? Opener::State::succeeded : Opener::State::failed;
  }).detach();
}

bool XdgPermissionHelp::lastOpenCameToFront() {
  return lastOpener_ != nullptr && lastOpener_->state != Opener::State::failed;
}

}  // namespace velmora
