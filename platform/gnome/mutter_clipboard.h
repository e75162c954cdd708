#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/desktop/paste_writer.h"
#include "platform/gnome/mutter_remote_desktop.h"
#include "platform/log/log.h"

namespace velmora {

// The host's clipboard through the remote-desktop session's selection calls: the session offers
// plain text, and each paste (a SelectionTransfer signal) gets the text written into the pipe mutter
// hands over, from a thread of its own, so a reader that is slow or never reads holds up neither the
// bus thread nor other pastes. A session started afresh (after a monitor change) is enabled again at
// the next text. Any thread.
class MutterClipboard {
 public:
  explicit MutterClipboard(std::shared_ptr<MutterRemoteDesktop> session);
  ~MutterClipboard();
  MutterClipboard(const MutterClipboard&) = delete;
  MutterClipboard& operator=(const MutterClipboard&) = delete;

  void setText(std::string text);

 private:
  static int onSelectionTransfer(sd_bus_message* message, void* userdata, sd_bus_error* error);
  // On the bus thread.
  bool enableOnBusThread(sd_bus* bus, const std::string& sessionPath);
  void startWriterOnBusThread(sd_bus* bus, std::uint32_t serial);
  // On the writer's thread, once the pipe is closed.
  void finishPaste(std::uint32_t serial, const PasteWriteOutcome& outcome, std::size_t size);

  const log::Logger logger_{"Pasteboard"};
  const std::shared_ptr<MutterRemoteDesktop> session_;
  DBusSlot transferSlot_;      // bus thread only
  std::string enabledPath_;    // bus thread only: the session the selection calls are enabled on
  std::mutex textLock_;        // guards text_ and writers_
  std::string text_;
  PasteWriters writers_;
};

}  // namespace velmora
