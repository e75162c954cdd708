#include "platform/avahi/avahi_service_browser.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

namespace velmora {
namespace {

// Without a daemon to ask, discovery fails with the reason instead of waiting out its timeout.
TEST(AvahiServiceBrowserTest, WithoutSystemBusFailsAtOnceAndSaysWhy) {
  setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/velmora-test-bus", 1);
  auto browser = makeAvahiServiceBrowser();
  ASSERT_TRUE(browser.ok()) << browser.error();

  const auto found = browser.value()->findFirst("_velmora._tcp", std::chrono::hours(1));
  ASSERT_FALSE(found.ok());
  EXPECT_NE(found.error().find("DNS-SD discovery needs the Avahi daemon: "), std::string::npos) << found.error();
}

}  // namespace
}  // namespace velmora
