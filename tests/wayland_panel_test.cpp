// The tray application of the real velmora-host in a Wayland session on a headless sway: its
// windows as sway maps them, its item and menu as a StatusNotifierWatcher on a private bus sees
// them, and a second launch that shows the first one's status panel. Runs in a network namespace
// of its own (see CMakeLists.txt) because the host's ports are fixed.
#include <cstdlib>
#include <unistd.h>

#include "platform/wayland/testing/sway_compositor.h"
#include "tests/support/session_harness.h"

namespace velmora::testing {
namespace {

using namespace std::chrono_literals;
using Json = nlohmann::json;

struct MappedWindow {
  std::string title;
  int width = 0;  // of the window itself, without sway's decorations
  int height = 0;
};

// Every window sway shows, tiled or floating.
void collectWindows(const Json& node, std::vector<MappedWindow>& windows) {
  if (node.contains("pid") && node.value("visible", false)) {
    const Json& area = node["window_rect"];
    windows.push_back({node.value("name", ""), area.value("width", 0), area.value("height", 0)});
  }
  for (const char* children : {"nodes", "floating_nodes"}) {
    for (const auto& child : node.value(children, Json::array())) {
      collectWindows(child, windows);
    }
  }
}

class WaylandPanelTest : public SessionTest {
 protected:
  void SetUp() override {
    if (!sway_.available()) {
      GTEST_SKIP() << "sway cannot run here";
    }
    SessionTest::SetUp();
    environment_ = sway_.environment();
    environment_.push_back("DBUS_SESSION_BUS_ADDRESS=unix:path=" + home_.string() + "/bus");
    // Under the leak checker: full stacks, so that the suppression of Qt's Wayland plugin (which
    // leaves the compositor's globals allocated at exit) can see the plugin's frames.
    if (const char* leakOptions = std::getenv("LSAN_OPTIONS"); leakOptions != nullptr) {
      environment_.push_back(std::string("LSAN_OPTIONS=") + leakOptions + ":fast_unwind_on_malloc=0");
    }
  }

  // The first window whose title starts with `title` (Qt adds the application's name to others).
  std::optional<MappedWindow> window(const std::string& title) const {
    std::vector<MappedWindow> found;
    const Json tree = Json::parse(sway_.output("swaymsg -t get_tree"), nullptr, false);
    if (!tree.is_discarded()) {
      collectWindows(tree, found);
    }
    for (const auto& shown : found) {
      if (shown.title.starts_with(title)) {
        return shown;
      }
    }
    return std::nullopt;
  }

  bool showsWindow(const std::string& title) const {
    return eventually([&] { return window(title).has_value(); });
  }

  SwayCompositor sway_{{"output HEADLESS-1 resolution 1280x720"}};
  std::vector<std::string> environment_;
};

TEST_F(WaylandPanelTest, WithoutATrayTheCodePanelIsAWindowAndASecondLaunchShowsTheStatusPanel) {
  HostUnderTest host(home_, {"--backend", "virtual"}, environment_);
  ASSERT_TRUE(host.ready()) << host.process().output();
  EXPECT_EQ(host.code().size(), 4u);
  ASSERT_TRUE(showsWindow("Velmora")) << host.process().output();
  EXPECT_EQ(window("Velmora")->width, 460);
  EXPECT_EQ(window("Velmora")->height, 360);
  EXPECT_EQ(host.process().countLinesContaining("No system tray is available"), 1u) << host.process().output();

  auto environment = sessionEnvironment(home_);
  environment.insert(environment.end(), environment_.begin(), environment_.end());
  ChildProcess second(hostBinary(), {"--backend", "virtual"}, environment);
  const auto status = second.waitForExit(30s);
  ASSERT_TRUE(status) << second.output();
  EXPECT_EQ(*status, 0) << second.output();
  EXPECT_EQ(second.countLinesContaining("Another Velmora instance is already running"), 1u) << second.output();
  EXPECT_TRUE(showsWindow("Velmora status")) << host.process().output() << second.output();
}

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
