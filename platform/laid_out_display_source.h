#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/display_source.h"
#include "platform/main_queue.h"

namespace velmora {

// A display as a compositor lays it out: in points, origin at the layout's top-left, y down.
struct LaidOutDisplay {
  std::uint32_t displayID = 0;
  std::string name;
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
  double scale = 1;  // pixels per point
};

// The displays of a desktop that describes them as a layout, kept as a snapshot that the owner
// replaces when the desktop changes: screens in points with the origin at the main display's
// lower-left corner and y up; a display at the same place and size as an earlier one mirrors it.
// Every call may come from any thread.
class LaidOutDisplaySource : public DisplaySource {
 public:
  std::vector<ScreenDescription> screens() const override;
  std::uint32_t mainDisplayID() const override;
  std::vector<std::uint32_t> activeDisplayIDs() const override;
  std::uint32_t mirroredDisplayID(std::uint32_t displayID) const override;

  // Posts `onChange` onto `mainQueue` after each later replacement until the returned watch is
  // dropped; a call posted but not yet run then is dropped too. The main queue must outlive the watch.
  std::shared_ptr<void> watchChanges(MainQueue& mainQueue, std::function<void()> onChange);

 protected:
  // `mainDisplayID` names the main display; the first one is main when it names none of them.
  void replaceDisplays(std::vector<LaidOutDisplay> displays, std::uint32_t mainDisplayID);

 private:
  struct Watcher {
    MainQueue& mainQueue;
    std::function<void()> onChange;
  };
  struct Snapshot {
    std::vector<LaidOutDisplay> displays;
    std::uint32_t mainDisplayID = 0;
  };
  Snapshot snapshot() const;

  mutable std::mutex snapshotLock_;
  Snapshot snapshot_;
  mutable std::mutex watchersLock_;
  std::vector<std::weak_ptr<Watcher>> watchers_;
};

}  // namespace velmora
