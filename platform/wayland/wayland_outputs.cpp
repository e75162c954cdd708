#include "platform/wayland/wayland_outputs.h"

#include <wayland-client.h>

#include <algorithm>

#include "platform/wayland/protocols/xdg-output-unstable-v1-client.h"
#include "platform/wayland/wayland_connection.h"

namespace velmora {

const WaylandOutput* mainOutput(const std::vector<WaylandOutput>& outputs) {
  const auto atOrigin = std::find_if(outputs.begin(), outputs.end(), [](const WaylandOutput& output) {
    return output.logicalX == 0 && output.logicalY == 0;
  });
  return atOrigin != outputs.end() ? &*atOrigin : outputs.empty() ? nullptr : &outputs.front();
}

struct WaylandOutputs::XdgManager {
  zxdg_output_manager_v1* proxy = nullptr;
  ~XdgManager() {
    if (proxy != nullptr) {
      zxdg_output_manager_v1_destroy(proxy);
    }
  }
};

struct WaylandOutputs::Entry {
  WaylandOutputs* owner = nullptr;
  std::uint32_t globalName = 0;
  wl_output* output = nullptr;
  zxdg_output_v1* xdgOutput = nullptr;
  WaylandOutput description;
  int modeWidth = 0;
  int modeHeight = 0;
  bool turned = false;  // a transform of 90 or 270 degrees
  bool hasLogicalSize = false;
  bool complete = false;

  ~Entry() {
    if (xdgOutput != nullptr) {
      zxdg_output_v1_destroy(xdgOutput);
    }
    if (output != nullptr) {
      if (wl_output_get_version(output) >= WL_OUTPUT_RELEASE_SINCE_VERSION) {
        wl_output_release(output);
      } else {
        wl_output_destroy(output);
      }
    }
  }

  void finish() {
    description.pixelWidth = turned ? modeHeight : modeWidth;
    description.pixelHeight = turned ? modeWidth : modeHeight;
    if (!hasLogicalSize && description.integerScale > 0) {
      // No xdg-output: the layout is in pixels over the integer scale.
      description.logicalWidth = description.pixelWidth / description.integerScale;
      description.logicalHeight = description.pixelHeight / description.integerScale;
    }
    if (description.name.empty()) {
      description.name = "output-" + std::to_string(globalName);  // wl_output before version 4, no xdg-output
    }
    description.displayID = displayIDForName(description.name);
    description.proxy = output;
    complete = owner->xdgManager_->proxy == nullptr || hasLogicalSize;
    if (complete && owner->changeHandler_) {
      owner->changeHandler_();
    }
  }

  static Entry& of(void* data) { return *static_cast<Entry*>(data); }

  // Defined below, where Entry is complete: their functions reach into it.
  static const wl_output_listener kOutputListener;
  static const zxdg_output_v1_listener kXdgListener;
};

const wl_output_listener WaylandOutputs::Entry::kOutputListener = {
    .geometry = [](void* data, wl_output*, std::int32_t x, std::int32_t y, std::int32_t, std::int32_t, std::int32_t,
                   const char*, const char*, std::int32_t transform) {
      Entry& entry = of(data);
      entry.turned = transform % 2 == 1;  // 90, 270 and their flipped forms
      if (entry.xdgOutput == nullptr) {  // xdg-output gives the logical position where there is one
        entry.description.logicalX = x;
        entry.description.logicalY = y;
      }
    },
    .mode = [](void* data, wl_output*, std::uint32_t flags, std::int32_t width, std::int32_t height, std::int32_t) {
      if ((flags & WL_OUTPUT_MODE_CURRENT) != 0) {
        of(data).modeWidth = width;
        of(data).modeHeight = height;
      }
    },
    .done = [](void* data, wl_output*) { of(data).finish(); },
    .scale = [](void* data, wl_output*, std::int32_t factor) { of(data).description.integerScale = std::max(1, factor); },
    .name = [](void* data, wl_output*, const char* name) { of(data).description.name = name; },
    .description = [](void* data, wl_output*, const char* text) { of(data).description.description = text; },
};

const zxdg_output_v1_listener WaylandOutputs::Entry::kXdgListener = {
    .logical_position =
        [](void* data, zxdg_output_v1*, std::int32_t x, std::int32_t y) {
          of(data).description.logicalX = x;
          of(data).description.logicalY = y;
        },
    .logical_size =
        [](void* data, zxdg_output_v1*, std::int32_t width, std::int32_t height) {
          Entry& entry = of(data);
          entry.description.logicalWidth = width;
          entry.description.logicalHeight = height;
          entry.hasLogicalSize = true;
        },
    // Before version 3 xdg-output ends its own batches; from 3 on wl_output.done ends both.
    .done =
        [](void* data, zxdg_output_v1* proxy) {
          if (zxdg_output_v1_get_version(proxy) < 3) {
            of(data).finish();
          }
        },
    .name = [](void* data, zxdg_output_v1*, const char* name) { of(data).description.name = name; },
    .description = [](void* data, zxdg_output_v1*, const char* text) { of(data).description.description = text; },
};

WaylandOutputs::WaylandOutputs(WaylandConnection& connection)
    : connection_(connection), xdgManager_(std::make_unique<XdgManager>()) {
  xdgManager_->proxy = connection_.bind<zxdg_output_manager_v1>(zxdg_output_manager_v1_interface, 3);
  for (const auto& global : connection_.globals()) {
    if (global.interface == wl_output_interface.name) {
      add(global.name, global.version);
    }
  }
  connection_.setGlobalsHandler([this](const WaylandConnection::Global& global, bool added) {
    if (global.interface != wl_output_interface.name) {
      return;
    }
    if (added) {
      add(global.name, global.version);
    } else {
      remove(global.name);
    }
  });
  connection_.roundtrip();
  connection_.roundtrip();
}

WaylandOutputs::~WaylandOutputs() { connection_.setGlobalsHandler(nullptr); }

void WaylandOutputs::add(std::uint32_t globalName, std::uint32_t version) {
  auto entry = std::make_unique<Entry>();
  entry->owner = this;
  entry->globalName = globalName;
  entry->output = static_cast<wl_output*>(
      connection_.bindGlobal(WaylandConnection::Global{globalName, wl_output_interface.name, version},
                             wl_output_interface, 4));
  wl_output_add_listener(entry->output, &Entry::kOutputListener, entry.get());
  if (xdgManager_->proxy != nullptr) {
    entry->xdgOutput = zxdg_output_manager_v1_get_xdg_output(xdgManager_->proxy, entry->output);
    zxdg_output_v1_add_listener(entry->xdgOutput, &Entry::kXdgListener, entry.get());
  }
  entries_.push_back(std::move(entry));
}

void WaylandOutputs::remove(std::uint32_t globalName) {
  const auto found = std::find_if(entries_.begin(), entries_.end(),
                                  [globalName](const auto& entry) { return entry->globalName == globalName; });
  if (found == entries_.end()) {
    return;
  }
  const bool wasComplete = (*found)->complete;
  entries_.erase(found);
  if (wasComplete && changeHandler_) {
    changeHandler_();
  }
}

std::vector<WaylandOutput> WaylandOutputs::outputs() const {
  std::vector<WaylandOutput> complete;
  for (const auto& entry : entries_) {
    if (entry->complete) {
      complete.push_back(entry->description);
    }
  }
  return complete;
}

void WaylandOutputs::setChangeHandler(std::function<void()> handler) { changeHandler_ = std::move(handler); }

}  // namespace velmora
