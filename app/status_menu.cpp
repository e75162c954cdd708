#include "app/status_menu.h"

#include <algorithm>

#include "app/app_build_info.h"
#include "app/localization.h"

namespace velmora {
StatusMenuItem separator() {
  StatusMenuItem item;
  item.kind = StatusMenuItem::Kind::separator;
  return item;
}

StatusMenuItem textLine(std::optional<int> tag, std::string title) {
  StatusMenuItem item;
  item.tag = tag;
  item.title = std::move(title);
  return item;
}

StatusMenuItem actionItem(std::optional<int> tag, std::string title, std::function<void()> action,
                          std::string keyEquivalent) {
  StatusMenuItem item = textLine(tag, std::move(title));
  item.action = std::move(action);
  item.keyEquivalent = std::move(keyEquivalent);
  return item;
}

StatusMenuItem submenuItem(std::optional<int> tag, std::string title, std::vector<StatusMenuItem> entries) {
  StatusMenuItem item = textLine(tag, std::move(title));
  item.hasSubmenu = true;
  item.submenu = std::move(entries);
  return item;
}

StatusMenuItem StatusMenu::checkedEntry(std::string title, bool checked, std::function<void()> action) {
  StatusMenuItem item = actionItem(std::nullopt, std::move(title), std::move(action));
  item.checked = checked;
  return item;
}

StatusMenu::StatusMenu(std::shared_ptr<StatusUserInterface> userInterface, Actions actions)
    : userInterface_(std::move(userInterface)), actions_(std::move(actions)) {
  const auto run = [](const std::function<void()>& action) {
    return [action] {
      if (action) {
        action();
      }
    };
  };
  StatusMenuItem header = textLine(std::nullopt, "Velmora");
  header.kind = StatusMenuItem::Kind::header;
  header.enabled = false;
  items_ = {
      header,
      textLine(kStatusTag, localizedFormat("mac.menu.status.format", {localized("mac.menu.status.waiting")})),
      textLine(kVersionTag, localizedFormat("mac.menu.versionBuild.format", {AppBuildInfo::version(), AppBuildInfo::build()})),
      textLine(kFingerprintTag, localizedFormat("mac.menu.fingerprint.format", {AppBuildInfo::fingerprint()})),
      separator(),
      actionItem(std::nullopt, localized("mac.menu.startServer"), run(actions_.startServer), "s"),
      actionItem(std::nullopt, localized("mac.menu.stopServer"), run(actions_.stopServer)),
      actionItem(std::nullopt, localized("mac.menu.showVerificationCode"), run(actions_.showVerificationCode)),
      separator(),
      submenuItem(kDisplayMenuTag, localized("mac.menu.display")),
      submenuItem(kBitRateMenuTag, localized("mac.menu.bitrate")),
      separator(),
      submenuItem(kTrustedDevicesMenuTag, localized("mac.menu.trustedDevices")),
      actionItem(kAlwaysAskForCodeTag, localized("mac.menu.alwaysAskForCode"), run(actions_.toggleAlwaysAskForCode)),
      separator(),
      actionItem(std::nullopt, localized("mac.menu.quit"), run(actions_.quit), "q"),
  };
  item(kFingerprintTag)->hidden = true;
}

StatusMenuItem* StatusMenu::item(int tag) {
  const auto found = position(tag);
  return found ? &items_[*found] : nullptr;
}

std::optional<std::size_t> StatusMenu::position(int tag) const {
  const auto found =
      std::find_if(items_.begin(), items_.end(), [tag](const StatusMenuItem& item) { return item.tag == tag; });
  if (found == items_.end()) {
    return std::nullopt;
  }
  return static_cast<std::size_t>(found - items_.begin());
}

void StatusMenu::setStatus(const std::string& text) {
  item(kStatusTag)->title = localizedFormat("mac.menu.status.format", {text});
  userInterface_->statusChanged(text);
  changed();
}

void StatusMenu::setFingerprintShown(bool shown) { item(kFingerprintTag)->hidden = !shown; }

void StatusMenu::setSubmenu(int tag, std::vector<StatusMenuItem> entries) { item(tag)->submenu = std::move(entries); }

void StatusMenu::setAlwaysAskForCode(bool checked, bool enabled) {
  auto* entry = item(kAlwaysAskForCodeTag);
  entry->checked = checked;
  entry->enabled = enabled;
  changed();
}

void StatusMenu::insertWarning(std::size_t at, int tag, const char* titleKey, const std::function<void()>& action) {
  const auto open = [action] {
    if (action) {
      action();
    }
  };
  items_.insert(items_.begin() + static_cast<std::ptrdiff_t>(at), {actionItem(tag, localized(titleKey), open), separator()});
}

void StatusMenu::setAccessibilityMissing(bool missing) {
  if (!missing) {
    userInterface_->setToolTip(std::nullopt);
    if (removeEntryAndItsSeparator(kAccessibilityWarningTag)) {
      logger_.info("Accessibility permission restored — cleared menu warning");
    }
    return;
  }
  if (position(kAccessibilityWarningTag)) {
    return;
  }
  insertWarning(0, kAccessibilityWarningTag, "mac.accessibility.menuWarning", actions_.openAccessibilitySettings);
  userInterface_->setToolTip(localized("mac.accessibility.tooltip"));
  logger_.error("Accessibility permission missing — inserted menu warning");
  changed();
}

void StatusMenu::setScreenRecordingMissing(bool missing) {
  if (!missing) {
    if (removeEntryAndItsSeparator(kScreenRecordingWarningTag)) {
      logger_.info("Screen Recording permission restored — cleared menu warning");
    }
    return;
  }
  if (position(kScreenRecordingWarningTag)) {
    return;
  }
  // Always below the accessibility warning and its separator.
  std::size_t at = 0;
  if (const auto accessibility = position(kAccessibilityWarningTag)) {
    at = *accessibility + 1;
    if (at < items_.size() && items_[at].kind == StatusMenuItem::Kind::separator) {
      ++at;
    }
  }
  insertWarning(at, kScreenRecordingWarningTag, "mac.screenRecording.menuWarning", actions_.openScreenRecordingSettings);
  logger_.error("Screen Recording permission missing — inserted menu warning");
  changed();
}

bool StatusMenu::removeEntryAndItsSeparator(int tag) {
  const auto found = position(tag);
  if (!found) {
    return false;
  }
  const auto at = items_.begin() + static_cast<std::ptrdiff_t>(*found);
  const bool separatorFollows = *found + 1 < items_.size() && items_[*found + 1].kind == StatusMenuItem::Kind::separator;
  items_.erase(at, at + (separatorFollows ? 2 : 1));
  changed();
  return true;
}

}  // namespace velmora
