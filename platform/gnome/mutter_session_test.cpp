// The GNOME family against a headless mutter with two virtual monitors.
#include <gtest/gtest.h>

#include "platform/gnome/mutter_remote_desktop.h"
#include "platform/testing/desktop_session.h"

namespace velmora {
namespace {

TEST(MutterSessionTest, RecordsEveryMonitorWithItsPipeWireNode) {
  testing::DesktopSession desktop({"1280x720", "800x600"});
  if (!desktop.available()) {
    GTEST_SKIP() << "headless mutter cannot run here";
  }
  auto bus = DBusConnection::open(DBusConnection::Bus::session, desktop.busAddress());
  ASSERT_TRUE(bus) << bus.error();
  auto session = MutterRemoteDesktop::start(std::move(bus.value()));
  ASSERT_TRUE(session) << session.error();
  const auto streams = session.value()->streams();
  ASSERT_EQ(streams.size(), 2u);
  EXPECT_EQ(streams[0].connector, "Meta-0");
  EXPECT_EQ(streams[1].width, 800);
  EXPECT_NE(streams[0].pipeWireNode, 0u);
  EXPECT_FALSE(session.value()->remoteDesktopSessionPath().empty());
}

}  // namespace
}  // namespace velmora
