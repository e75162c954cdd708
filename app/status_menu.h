#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/log/log.h"
#include "platform/status_user_interface.h"

namespace velmora {

// The kinds of entry, as the menu and its submenus are built from them.
StatusMenuItem separator();
// A line of text that cannot be chosen.
StatusMenuItem textLine(std::optional<int> tag, std::string title);
StatusMenuItem actionItem(std::optional<int> tag, std::string title, std::function<void()> action,
                          std::string keyEquivalent = {});
StatusMenuItem submenuItem(std::optional<int> tag, std::string title, std::vector<StatusMenuItem> entries = {});

// The status menu's entries: the layout, the status line, the choosers' submenus and the
// permission warnings at the top. Tells the user interface whenever an entry changed. Main thread.
class StatusMenu {
 public:
  // Tags of the entries that are found again.
  static constexpr int kStatusTag = 100;
  static constexpr int kAccessibilityWarningTag = 102;
  static constexpr int kScreenRecordingWarningTag = 103;
  static constexpr int kVersionTag = 160;
  static constexpr int kFingerprintTag = 161;
  static constexpr int kDisplayMenuTag = 200;
  static constexpr int kBitRateMenuTag = 300;
  static constexpr int kTrustedDevicesMenuTag = 400;
  static constexpr int kAlwaysAskForCodeTag = 401;

  // What the entries do; each may be empty.
  struct Actions {
    std::function<void()> startServer;
    std::function<void()> stopServer;
    std::function<void()> showVerificationCode;
    std::function<void()> toggleAlwaysAskForCode;
    std::function<void()> quit;
    std::function<void()> openAccessibilitySettings;
    std::function<void()> openScreenRecordingSettings;
  };

  StatusMenu(std::shared_ptr<StatusUserInterface> userInterface, Actions actions);

  const std::vector<StatusMenuItem>& items() const { return items_; }

  void setStatus(const std::string& text);
  // The fingerprint line is shown only while Alt is held as the menu opens.
  void setFingerprintShown(bool shown);
  void setSubmenu(int tag, std::vector<StatusMenuItem> entries);
  // Disabled when the command line asked for the code whatever the menu says.
  void setAlwaysAskForCode(bool checked, bool enabled);
  // Each warning is inserted (or removed) once, whatever the number of calls that agree.
  void setAccessibilityMissing(bool missing);
  void setScreenRecordingMissing(bool missing);

  static StatusMenuItem checkedEntry(std::string title, bool checked, std::function<void()> action);

 private:
  StatusMenuItem* item(int tag);
  std::optional<std::size_t> position(int tag) const;
  void insertWarning(std::size_t position, int tag, const char* titleKey, const std::function<void()>& action);
  // Removes the entry and the separator right after it; false when there is no such entry.
  bool removeEntryAndItsSeparator(int tag);
  void changed() { userInterface_->menuChanged(); }

  const std::shared_ptr<StatusUserInterface> userInterface_;
  const Actions actions_;
  const log::Logger logger_{"App"};
  std::vector<StatusMenuItem> items_;
};

}  // namespace velmora
