#include "platform/kwin/kwin_output_order.h"

#include <utility>

#include "platform/kwin/protocols/kde-output-order-v1-client.h"

namespace velmora {

KwinOutputOrder::KwinOutputOrder(kde_output_order_v1* order,
                                 std::function<void(const std::vector<std::string>& names)> onChange)
    : order_(order), onChange_(std::move(onChange)) {
  static const kde_output_order_v1_listener listener = {output, done};
  kde_output_order_v1_add_listener(order_, &listener, this);
}

KwinOutputOrder::~KwinOutputOrder() { kde_output_order_v1_destroy(order_); }

void KwinOutputOrder::output(void* data, kde_output_order_v1*, const char* name) {
  static_cast<KwinOutputOrder*>(data)->pending_.emplace_back(name != nullptr ? name : "");
}

// The names come one by one between two "done" events: only a complete list is the order.
void KwinOutputOrder::done(void* data, kde_output_order_v1*) {
  auto* self = static_cast<KwinOutputOrder*>(data);
  self->names_ = std::exchange(self->pending_, {});
  if (self->onChange_) {
    self->onChange_(self->names_);
  }
}

}  // namespace velmora
