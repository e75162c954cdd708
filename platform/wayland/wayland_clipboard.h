#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/desktop/paste_writer.h"
#include "platform/log/log.h"
#include "platform/result.h"
#include "platform/wayland/wayland_shared_connection.h"

struct wl_seat;
struct zwlr_data_control_manager_v1;
struct zwlr_data_control_device_v1;
struct zwlr_data_control_source_v1;
struct zwlr_data_control_offer_v1;

namespace velmora {

// The seat's clipboard through the data-control protocol, on the family's shared connection.
// The text is offered as text/plain;charset=utf-8, UTF8_STRING and TEXT; each paste is written
// from a thread of its own, so a reader that is slow or never reads holds up nothing else. A new
// text replaces the old offer; another client's copy ends ours.
class WaylandClipboard {
  struct PrivateTag {};

 public:
  // On `connection`, before it starts. Fails when the compositor has no data-control manager.
  static Result<std::unique_ptr<WaylandClipboard>> open(std::shared_ptr<WaylandSharedConnection> connection);

  struct Source;
  WaylandClipboard(PrivateTag, std::shared_ptr<WaylandSharedConnection> connection, wl_seat* seat,
                   zwlr_data_control_manager_v1* manager);
  ~WaylandClipboard();
  WaylandClipboard(const WaylandClipboard&) = delete;
  WaylandClipboard& operator=(const WaylandClipboard&) = delete;

  // Offers `text` (UTF-8) once this returns true; false (logged) when the compositor is gone. Any
  // thread.
  bool setText(std::string text);

 private:
  // On the connection's thread.
  void serve(const std::shared_ptr<const std::string>& text, int descriptor);
  void sourceCancelled(zwlr_data_control_source_v1* source);

  const log::Logger logger_{"EventInjector"};
  const std::shared_ptr<WaylandSharedConnection> connection_;
  wl_seat* const seat_;
  zwlr_data_control_manager_v1* const manager_;
  zwlr_data_control_device_v1* device_ = nullptr;
  // Offers still open; the last one is the clipboard's. Used on the connection's thread.
  std::vector<std::unique_ptr<Source>> sources_;
  PasteWriters writers_;
};

}  // namespace velmora
