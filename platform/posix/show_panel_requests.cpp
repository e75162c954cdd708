#include "platform/posix/show_panel_requests.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

#include "platform/log/log.h"

namespace velmora {
namespace {

const log::Logger logger("App");

// Longer than any request; a longer datagram is cut short but reports its whole length.
constexpr std::size_t kLargestDatagram = 64;
// A sender that never stops must not hold the main thread: the rest waits for the next wake-up.
constexpr int kMostDatagramsPerCall = 64;

bool makeAddress(const std::filesystem::path& path, sockaddr_un& address) {
  address = {};
  address.sun_family = AF_UNIX;
  const std::string& text = path.native();
  if (text.size() >= sizeof(address.sun_path)) {
    return false;
  }
  std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
  return true;
}

std::string describe(const std::string& what, const std::filesystem::path& path, int error) {
  return what + " " + path.string() + ": " + std::strerror(error);
}

}  // namespace

std::filesystem::path showPanelSocketPath(const std::filesystem::path& singleInstanceLockPath) {
  return singleInstanceLockPath.parent_path() / "host.socket";
}

Result<bool> sendShowPanelRequest(const std::filesystem::path& socketPath) {
  sockaddr_un address{};
  if (!makeAddress(socketPath, address)) {
    return Result<bool>::failure("the socket path " + socketPath.string() + " is too long");
  }
  const FileDescriptor socket(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!socket.isOpen()) {
    return Result<bool>::failure(describe("Could not make a socket for", socketPath, errno));
  }
  if (::sendto(socket.get(), kShowPanelRequest.data(), kShowPanelRequest.size(), MSG_DONTWAIT,
               reinterpret_cast<const sockaddr*>(&address), sizeof(address)) < 0) {
    return Result<bool>::failure(describe("Could not reach", socketPath, errno));
  }
  return true;
}

Result<std::unique_ptr<ShowPanelRequests>> ShowPanelRequests::listen(const std::filesystem::path& socketPath) {
  using Made = Result<std::unique_ptr<ShowPanelRequests>>;
  sockaddr_un address{};
  if (!makeAddress(socketPath, address)) {
    return Made::failure("the socket path " + socketPath.string() + " is too long");
  }
  FileDescriptor socket(::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!socket.isOpen()) {
    return Made::failure(describe("Could not make a socket for", socketPath, errno));
  }
  ::unlink(socketPath.c_str());
  if (::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    return Made::failure(describe("Could not listen on", socketPath, errno));
  }
  ::chmod(socketPath.c_str(), 0600);
  return std::make_unique<ShowPanelRequests>(Key{}, socketPath, std::move(socket));
}

ShowPanelRequests::ShowPanelRequests(Key, std::filesystem::path path, FileDescriptor socket)
    : path_(std::move(path)), socket_(std::move(socket)) {}

ShowPanelRequests::~ShowPanelRequests() { ::unlink(path_.c_str()); }

bool ShowPanelRequests::takeRequests() {
  bool asked = false;
  std::array<char, kLargestDatagram> datagram{};
  for (int taken = 0; taken < kMostDatagramsPerCall; ++taken) {
    const auto received = ::recv(socket_.get(), datagram.data(), datagram.size(), MSG_DONTWAIT | MSG_TRUNC);
    if (received < 0 && errno == EINTR) {
      continue;
    }
    if (received < 0) {
      if (errno != EAGAIN && errno != EWOULDBLOCK) {
        logger.error("Could not read a request to show the panel: {}", std::strerror(errno));
      }
      return asked;
    }
    const auto length = static_cast<std::size_t>(received);
    if (length <= datagram.size() && std::string_view(datagram.data(), length) == kShowPanelRequest) {
      asked = true;
    } else {
      logger.notice("Refused a request of {} bytes on {}: not a request to show the panel", received, path_.string());
    }
  }
  return asked;
}

}  // namespace velmora
