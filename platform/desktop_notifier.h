#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace velmora {

struct DesktopNoticeAction {
  std::string key;
  std::string label;
};

struct DesktopNotice {
  std::string summary;
  std::string body;
  std::vector<DesktopNoticeAction> actions;  // offered only where the server supports actions
};

// Shows notices on the desktop. Never blocks the caller on the desktop's answer.
class DesktopNotifier {
 public:
  virtual ~DesktopNotifier() = default;
  // Returns a handle for withdraw(). `onAction` gets the key of the action the user chose, on the
  // notifier's own thread, at most once per notice.
  virtual std::uint64_t show(const DesktopNotice& notice, std::function<void(const std::string& key)> onAction) = 0;
  // Closes the notice if it is still shown; unknown or finished handles are ignored.
  virtual void withdraw(std::uint64_t handle) = 0;
};

}  // namespace velmora
