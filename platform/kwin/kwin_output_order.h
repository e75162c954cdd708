#pragma once

#include <functional>
#include <string>
#include <vector>

struct kde_output_order_v1;

namespace velmora {

// KWin's order of its outputs by name, the first being the primary, from kde_output_order_v1.
// Used on the connection's thread.
class KwinOutputOrder {
 public:
  // `order` is bound on the connection and taken over; `onChange` hears each complete new order.
  KwinOutputOrder(kde_output_order_v1* order, std::function<void(const std::vector<std::string>& names)> onChange);
  ~KwinOutputOrder();
  KwinOutputOrder(const KwinOutputOrder&) = delete;
  KwinOutputOrder& operator=(const KwinOutputOrder&) = delete;

  // The last complete order; empty before KWin sent one.
  const std::vector<std::string>& names() const { return names_; }

 private:
  static void output(void* data, kde_output_order_v1* order, const char* name);
  static void done(void* data, kde_output_order_v1* order);

  kde_output_order_v1* const order_;
  std::function<void(const std::vector<std::string>& names)> onChange_;
  std::vector<std::string> pending_;
  std::vector<std::string> names_;
};

}  // namespace velmora
