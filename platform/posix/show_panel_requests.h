#pragma once

#include <filesystem>
#include <memory>
#include <string_view>

#include "platform/file_descriptor.h"
#include "platform/result.h"

namespace velmora {

// How a later launch asks the running instance to show its panel: one Unix datagram to a socket
// beside the single-instance lock, in the lock's folder that only this user can reach. Datagrams
// need no connection, so neither side ever waits on the other, and a bus is not needed.
std::filesystem::path showPanelSocketPath(const std::filesystem::path& singleInstanceLockPath);

inline constexpr std::string_view kShowPanelRequest = "show-panel";

// Sends the request without blocking; fails with the reason when nobody listens.
Result<bool> sendShowPanelRequest(const std::filesystem::path& socketPath);

// The running instance's end. Made once the single-instance lock is held, which makes any socket
// already at the path a dead instance's leftover. Main thread.
class ShowPanelRequests {
 public:
  static Result<std::unique_ptr<ShowPanelRequests>> listen(const std::filesystem::path& socketPath);

  struct Key {  // only listen() makes one
   private:
    friend class ShowPanelRequests;
    Key() = default;
  };
  ShowPanelRequests(Key key, std::filesystem::path path, FileDescriptor socket);
  ~ShowPanelRequests();
  ShowPanelRequests(const ShowPanelRequests&) = delete;
  ShowPanelRequests& operator=(const ShowPanelRequests&) = delete;

  // Becomes readable when requests wait; never blocks.
  int descriptor() const { return socket_.get(); }
  // Reads the waiting datagrams (a bounded number per call; the descriptor stays readable while
  // more wait); true when one of them asked for the panel. Anything else is logged and dropped.
  bool takeRequests();

 private:
  const std::filesystem::path path_;
  FileDescriptor socket_;
};

}  // namespace velmora
