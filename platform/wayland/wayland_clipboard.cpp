#include "platform/wayland/wayland_clipboard.h"

#include <wayland-client.h>

#include <algorithm>
#include <array>

#include "platform/wayland/protocols/wlr-data-control-unstable-v1-client.h"

namespace velmora {
namespace {

constexpr std::array<const char*, 3> kTextTypes = {"text/plain;charset=utf-8", "UTF8_STRING", "TEXT"};

void ignoreOffer(void*, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1*) {}
// Every offer of another client's copy is announced and then named as the selection (or the
// primary selection); we read neither, so each is let go there.
void dropOffer(void*, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* offer) {
  if (offer != nullptr) {
    zwlr_data_control_offer_v1_destroy(offer);
  }
}
void deviceFinished(void*, zwlr_data_control_device_v1*) {}
const zwlr_data_control_device_v1_listener kDeviceListener = {ignoreOffer, dropOffer, deviceFinished, dropOffer};

}  // namespace

struct WaylandClipboard::Source {
  WaylandClipboard* owner;
  zwlr_data_control_source_v1* proxy;
  std::shared_ptr<const std::string> text;

  static void send(void* data, zwlr_data_control_source_v1*, const char*, std::int32_t descriptor) {
    auto* source = static_cast<Source*>(data);
    source->owner->serve(source->text, descriptor);
  }
  static void cancelled(void* data, zwlr_data_control_source_v1* proxy) {
    static_cast<Source*>(data)->owner->sourceCancelled(proxy);
  }
};

Result<std::unique_ptr<WaylandClipboard>> WaylandClipboard::open(std::shared_ptr<WaylandSharedConnection> connection) {
  using Failure = Result<std::unique_ptr<WaylandClipboard>>;
  WaylandConnection& wayland = connection->connection();
  auto* manager = wayland.bind<zwlr_data_control_manager_v1>(zwlr_data_control_manager_v1_interface, 1);
  if (manager == nullptr) {
    return Failure::failure("the Wayland compositor has no clipboard control (zwlr_data_control_manager_v1)");
  }
  auto* seat = wayland.bind<wl_seat>(wl_seat_interface, 1);
  if (seat == nullptr) {
    zwlr_data_control_manager_v1_destroy(manager);
    return Failure::failure("the Wayland compositor has no seat");
  }
  return std::make_unique<WaylandClipboard>(PrivateTag{}, std::move(connection), seat, manager);
}

WaylandClipboard::WaylandClipboard(PrivateTag, std::shared_ptr<WaylandSharedConnection> connection, wl_seat* seat,
                                   zwlr_data_control_manager_v1* manager)
    : connection_(std::move(connection)), seat_(seat), manager_(manager) {
  device_ = zwlr_data_control_manager_v1_get_data_device(manager_, seat_);
  zwlr_data_control_device_v1_add_listener(device_, &kDeviceListener, this);
}

WaylandClipboard::~WaylandClipboard() {
  // No offer is served from here on; each paste under way is asked to stop and joined.
  connection_->performOrRunHere([this] {
    for (const auto& source : sources_) {
      zwlr_data_control_source_v1_destroy(source->proxy);
    }
    sources_.clear();
    zwlr_data_control_device_v1_destroy(device_);
    zwlr_data_control_manager_v1_destroy(manager_);
    wl_seat_destroy(seat_);
    wl_display_flush(connection_->connection().display());
  });
  writers_ = PasteWriters();
}

bool WaylandClipboard::setText(std::string text) {
  auto shared = std::make_shared<const std::string>(std::move(text));
  const bool offered = connection_->perform([this, shared] {
    static const zwlr_data_control_source_v1_listener listener = {&Source::send, &Source::cancelled};
    auto source =
        std::make_unique<Source>(Source{this, zwlr_data_control_manager_v1_create_data_source(manager_), shared});
    for (const char* type : kTextTypes) {
      zwlr_data_control_source_v1_offer(source->proxy, type);
    }
    zwlr_data_control_source_v1_add_listener(source->proxy, &listener, source.get());
    zwlr_data_control_device_v1_set_selection(device_, source->proxy);
    sources_.push_back(std::move(source));
  });
  if (!offered) {
    logger_.error("Cannot set the clipboard: the Wayland compositor is gone");
  }
  return offered;
}

void WaylandClipboard::serve(const std::shared_ptr<const std::string>& text, int descriptor) {
  writers_.start(FileDescriptor(descriptor), text);
}

void WaylandClipboard::sourceCancelled(zwlr_data_control_source_v1* proxy) {
  // A replaced offer is cancelled too; its pastes already under way go on from their own copy.
  zwlr_data_control_source_v1_destroy(proxy);
  std::erase_if(sources_, [proxy](const auto& source) { return source->proxy == proxy; });
}

}  // namespace velmora
