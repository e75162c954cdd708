#pragma once

#include <unistd.h>

#include <X11/Xlib.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/testing/xvfb_server.h"
#include "platform/x11/x11_connection.h"
#include "platform/desktop/mac_key_map.h"

namespace velmora::testing {

enum class Toolkit { tk, gtk, qt };

// One of this folder's entries started on a display, once it holds the input focus, and the text it
// shows. The paths come from the build (VELMORA_*_ENTRY; empty where a client was not built).
class ToolkitEntry {
 public:
  ToolkitEntry(const XvfbServer& server, Toolkit toolkit, std::vector<std::string> environment = {}) {
    const char* path = toolkit == Toolkit::tk ? VELMORA_TK_ENTRY : toolkit == Toolkit::gtk ? VELMORA_GTK_ENTRY : VELMORA_QT_ENTRY;
    if (!*path || (toolkit == Toolkit::tk && access("/usr/bin/wish", X_OK) != 0)) {
      return;
    }
    std::vector<std::string> arguments;
    if (toolkit == Toolkit::tk) {
      arguments.emplace_back(std::exchange(path, "/usr/bin/wish"));
    }
    environment.push_back("DISPLAY=" + server.display());
    client_ = std::make_unique<ChildProcess>(path, arguments, environment);
    const auto observer = openX11Connection(server.display());
    // The client sets the focus on its window itself: no window manager does it on this server.
    for (const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
         observer.ok() && !focused_ && std::chrono::steady_clock::now() < deadline;
         std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
      Window focus = None;
      int revertTo = 0;
      XGetInputFocus(observer.value().get(), &focus, &revertTo);
      focused_ = focus != None && focus != PointerRoot && focus != DefaultRootWindow(observer.value().get());
    }
  }

  bool built() const { return client_ != nullptr; }
  bool focused() const { return focused_; }
  std::string output() const { return client_ ? client_->output() : ""; }
  bool ended() { return client_->waitForEndOfOutput(std::chrono::milliseconds(0)); }

  // The entry's text once it holds at least `length` characters, or as it stands when time ran out.
  // A wrong character shows at once; only a lost one waits out the time.
  std::string waitForText(std::size_t length, std::chrono::milliseconds timeout) {
    client_->waitForLine(
        [&](const std::string& line) {
          text_ = line.starts_with("text ") ? line.substr(5) : text_;
          return codePointsOf(text_).size() >= length;
        },
        timeout);
    return text_;
  }

 private:
  std::unique_ptr<ChildProcess> client_;
  bool focused_ = false;
  std::string text_;
};

}  // namespace velmora::testing
