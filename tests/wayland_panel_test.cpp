// The tray application of the real velmora-host in a Wayland session on a headless sway: its item
// and menu as a StatusNotifierWatcher on a private bus sees them. Runs in a network namespace
// of its own (see CMakeLists.txt) because the host's ports are fixed.
#include <unistd.h>

#include "platform/wayland/testing/sway_compositor.h"
#include "tests/support/session_harness.h"

namespace velmora::testing {
namespace {

using namespace std::chrono_literals;

class WaylandPanelTest : public SessionTest {
 protected:
  void SetUp() override {
    if (!sway_.available()) {
      GTEST_SKIP() << "sway cannot run here";
    }
    SessionTest::SetUp();
    environment_ = sway_.environment();
    environment_.push_back("DBUS_SESSION_BUS_ADDRESS=unix:path=" + home_.string() + "/bus");
  }

  SwayCompositor sway_{{"output HEADLESS-1 resolution 1280x720"}};
  std::vector<std::string> environment_;
};

TEST_F(WaylandPanelTest, AStatusNotifierWatcherReceivesTheItemAndItsMenu) {
  if (access("/usr/bin/dbus-daemon", X_OK) != 0 || std::system("/usr/bin/python3 -c 'import gi' 2>/dev/null") != 0) {
    GTEST_SKIP() << "needs dbus-daemon and python3-gi";
  }
  ChildProcess bus("/usr/bin/dbus-daemon", {"--session", "--nofork", "--nosyslog", "--address=unix:path=" + home_.string() + "/bus"});
  ASSERT_TRUE(eventually([&] { return std::filesystem::exists(home_ / "bus"); }));
  ChildProcess watcher("/usr/bin/python3", {VELMORA_STATUS_NOTIFIER_WATCHER}, environment_);
  ASSERT_TRUE(watcher.waitForLineContaining("watcher ready")) << watcher.output();

  HostUnderTest host(home_, {"--backend", "virtual"}, environment_);
  ASSERT_TRUE(host.ready()) << host.process().output();
  ASSERT_TRUE(watcher.waitForLineContaining("menu done", 30s)) << watcher.output() << host.process().output();
  EXPECT_EQ(watcher.countLinesContaining("item "), 1u) << watcher.output();
  const auto lines = watcher.lines();
  for (const char* entry : {"menu Status: Waiting for a client", "menu Start Server", "menu Display", "menu Bit Rate",
                            "menu 20 Mbps", "menu Quit Velmora"}) {
    EXPECT_EQ(std::count(lines.begin(), lines.end(), entry), 1) << entry << "\n" << watcher.output();
  }
  EXPECT_EQ(host.process().countLinesContaining("No system tray is available"), 0u) << host.process().output();
}

}  // namespace
}  // namespace velmora::testing
