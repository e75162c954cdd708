#include "platform/gnome/mutter_clipboard.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>


namespace velmora {
namespace {

constexpr const char* kService = "org.gnome.Mutter.RemoteDesktop";
constexpr const char* kSessionInterface = "org.gnome.Mutter.RemoteDesktop.Session";

}  // namespace

MutterClipboard::MutterClipboard(std::shared_ptr<MutterRemoteDesktop> session) : session_(std::move(session)) {}

MutterClipboard::~MutterClipboard() {
  // No new writer once the slot is gone; the running ones stop at their next poll slice.
  session_->bus().perform([this](sd_bus*) { transferSlot_.reset(); });
  PasteWriters writers;
  {
    std::lock_guard lock(textLock_);
    writers = std::move(writers_);
  }
}

void MutterClipboard::setText(std::string text) {
  {
    std::lock_guard lock(textLock_);
    text_ = std::move(text);
  }
  const std::string sessionPath = session_->remoteDesktopSessionPath();
  if (sessionPath.empty()) {
    logger_.error("Cannot set the clipboard: the GNOME remote desktop session is not running");
    return;
  }
  session_->bus().perform([this, &sessionPath](sd_bus* bus) {
    if (!enableOnBusThread(bus, sessionPath)) {
      return;
    }
    sd_bus_message* rawCall = nullptr;
    int result = sd_bus_message_new_method_call(bus, &rawCall, kService, sessionPath.c_str(), kSessionInterface,
                                                "SetSelection");
    const DBusMessage call(rawCall);
    if (result >= 0) {
      result = sd_bus_message_append(call.get(), "a{sv}", 1, "mime-types", "as", 5, "text/plain;charset=utf-8",
                                     "text/plain", "UTF8_STRING", "STRING", "TEXT");
    }
    DBusError error;
    if (result >= 0) {
      result = sd_bus_call(bus, call.get(), 0, error.get(), nullptr);
    }
    if (result < 0) {
      logger_.error("Cannot set the clipboard: SetSelection failed: {}", error.describe(result));
    }
  });
}

bool MutterClipboard::enableOnBusThread(sd_bus* bus, const std::string& sessionPath) {
  if (enabledPath_ == sessionPath) {
    return true;
  }
  transferSlot_.reset();
  DBusError error;
  int result = sd_bus_call_method(bus, kService, sessionPath.c_str(), kSessionInterface, "EnableClipboard",
                                  error.get(), nullptr, "a{sv}", 0);
  sd_bus_slot* slot = nullptr;
  if (result >= 0) {
    result = sd_bus_match_signal(bus, &slot, kService, sessionPath.c_str(), kSessionInterface, "SelectionTransfer",
                                 onSelectionTransfer, this);
  }
  if (result < 0) {
    logger_.error("Cannot set the clipboard: EnableClipboard failed: {}", error.describe(result));
    return false;
  }
  transferSlot_.reset(slot);
  enabledPath_ = sessionPath;
  return true;
}

int MutterClipboard::onSelectionTransfer(sd_bus_message* message, void* userdata, sd_bus_error*) {
  auto* clipboard = static_cast<MutterClipboard*>(userdata);
  const char* mimeType = nullptr;
  std::uint32_t serial = 0;
  if (sd_bus_message_read(message, "su", &mimeType, &serial) < 0) {
    clipboard->logger_.error("Ignored a clipboard request that names no serial");
    return 0;
  }
  clipboard->startWriterOnBusThread(sd_bus_message_get_bus(message), serial);
  return 0;
}

void MutterClipboard::startWriterOnBusThread(sd_bus* bus, std::uint32_t serial) {
  DBusError error;
  sd_bus_message* rawReply = nullptr;
  int result = sd_bus_call_method(bus, kService, enabledPath_.c_str(), kSessionInterface, "SelectionWrite",
                                  error.get(), &rawReply, "u", serial);
  const DBusMessage reply(rawReply);
  int received = -1;
  if (result >= 0) {
    result = sd_bus_message_read(reply.get(), "h", &received);
  }
  // The reply owns its descriptor: the writer takes a copy of its own.
  const int descriptor = result >= 0 ? fcntl(received, F_DUPFD_CLOEXEC, 3) : -1;
  if (descriptor < 0) {
    logger_.error("Cannot answer a paste: SelectionWrite failed: {}", error.describe(result < 0 ? result : -errno));
    return;
  }
  std::lock_guard lock(textLock_);
  writers_.start(FileDescriptor(descriptor), std::make_shared<const std::string>(text_),
                 [this, serial, size = text_.size()](const PasteWriteOutcome& outcome) {
                   finishPaste(serial, outcome, size);
                 });
}

void MutterClipboard::finishPaste(std::uint32_t serial, const PasteWriteOutcome& outcome, std::size_t size) {
  if (!outcome.complete) {
    logger_.error("A paste got {} of {} bytes of the clipboard", outcome.written, size);
  }
  session_->bus().perform([&](sd_bus* bus) {
    sd_bus_call_method(bus, kService, enabledPath_.c_str(), kSessionInterface, "SelectionWriteDone", nullptr, nullptr,
                       "ub", serial, static_cast<int>(outcome.complete));
  });
}

}  // namespace velmora
