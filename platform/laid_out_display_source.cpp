#include "platform/laid_out_display_source.h"

#include <algorithm>

namespace velmora {

LaidOutDisplaySource::Snapshot LaidOutDisplaySource::snapshot() const {
  std::lock_guard lock(snapshotLock_);
  return snapshot_;
}

void LaidOutDisplaySource::replaceDisplays(std::vector<LaidOutDisplay> displays, std::uint32_t mainDisplayID) {
  const bool named = std::any_of(displays.begin(), displays.end(),
                                 [&](const LaidOutDisplay& display) { return display.displayID == mainDisplayID; });
  const std::uint32_t main = named ? mainDisplayID : displays.empty() ? 0 : displays.front().displayID;
  {
    std::lock_guard lock(snapshotLock_);
    snapshot_ = Snapshot{std::move(displays), main};
  }
  std::vector<std::shared_ptr<Watcher>> live;
  {
    std::lock_guard lock(watchersLock_);
    std::erase_if(watchers_, [](const std::weak_ptr<Watcher>& watcher) { return watcher.expired(); });
    for (const auto& watcher : watchers_) {
      if (auto watching = watcher.lock()) {
        live.push_back(std::move(watching));
      }
    }
  }
  for (const auto& watcher : live) {
    watcher->mainQueue.post([weakWatcher = std::weak_ptr(watcher)] {
      if (const auto stillWatching = weakWatcher.lock()) {
        stillWatching->onChange();
      }
    });
  }
}

std::shared_ptr<void> LaidOutDisplaySource::watchChanges(MainQueue& mainQueue, std::function<void()> onChange) {
  auto watcher = std::make_shared<Watcher>(Watcher{mainQueue, std::move(onChange)});
  std::lock_guard lock(watchersLock_);
  watchers_.push_back(watcher);
  return watcher;
}

std::vector<ScreenDescription> LaidOutDisplaySource::screens() const {
  const Snapshot current = snapshot();
  const auto main = std::find_if(current.displays.begin(), current.displays.end(),
                                 [&](const LaidOutDisplay& display) { return display.displayID == current.mainDisplayID; });
  if (main == current.displays.end()) {
    return {};
  }
  const Rect mainBounds{main->x, main->y, main->width, main->height};
  std::vector<ScreenDescription> screens;
  for (const auto& display : current.displays) {
    screens.push_back(ScreenDescription{
        display.displayID, display.name,
        flippedAboutMainDisplay(Rect{display.x, display.y, display.width, display.height}, mainBounds), display.scale});
  }
  return screens;
}

std::uint32_t LaidOutDisplaySource::mainDisplayID() const { return snapshot().mainDisplayID; }

std::vector<std::uint32_t> LaidOutDisplaySource::activeDisplayIDs() const {
  std::vector<std::uint32_t> displayIDs;
  for (const auto& display : snapshot().displays) {
    displayIDs.push_back(display.displayID);
  }
  return displayIDs;
}

std::uint32_t LaidOutDisplaySource::mirroredDisplayID(std::uint32_t displayID) const {
  const auto displays = snapshot().displays;
  const auto mirror = std::find_if(displays.begin(), displays.end(),
                                   [displayID](const LaidOutDisplay& display) { return display.displayID == displayID; });
  if (mirror == displays.end()) {
    return 0;
  }
  const auto original = std::find_if(displays.begin(), mirror, [&](const LaidOutDisplay& earlier) {
    return earlier.displayID != displayID && earlier.x == mirror->x && earlier.y == mirror->y &&
           earlier.width == mirror->width && earlier.height == mirror->height;
  });
  return original == mirror ? 0 : original->displayID;
}

}  // namespace velmora
