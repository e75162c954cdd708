// The real velmora-host in a Wayland session (no backend option) on a headless mutter with two
// virtual monitors, driven by the real velmora-client. Runs in a network namespace of its own (see
// CMakeLists.txt) because the host's ports are fixed.
#include "platform/gnome/testing/mutter_layout_testing.h"
#include "platform/testing/desktop_session.h"
#include "platform/desktop/display_identity.h"
#include "tests/support/session_harness.h"

namespace velmora::testing {
namespace {

using namespace std::chrono_literals;
using Json = nlohmann::json;

constexpr Rgb kBlack{0, 0, 0};

// Meta-0 (1280x720) is the primary monitor, Meta-1 (800x600) stands right of it.
class GnomeSessionTest : public SessionTest {
 protected:
  void SetUp() override {
    if (!desktop_.available()) {
      GTEST_SKIP() << "headless mutter cannot run here";
    }
    for (const char* tool : {"foot", "wl-paste", "ffmpeg"}) {
      if (std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) != 0) {
        GTEST_SKIP() << tool << " is not installed";
      }
    }
    SessionTest::SetUp();
  }

  // The host's own XDG_RUNTIME_DIR is its home: PipeWire's socket is found through its own variable.
  std::unique_ptr<HostUnderTest> startHost(const std::vector<std::string>& moreEnvironment = {}) {
    auto environment = desktop_.environment();
    environment.push_back("PIPEWIRE_RUNTIME_DIR=" + desktop_.runtimeDirectory());
    environment.insert(environment.end(), moreEnvironment.begin(), moreEnvironment.end());
    auto host = std::make_unique<HostUnderTest>(home_, std::vector<std::string>{"--headless"}, environment);
    EXPECT_TRUE(host->ready()) << host->process().output();
    EXPECT_TRUE(host->process().waitForLineContaining("Sharing the monitors of GNOME's mutter", 20s, 0))
        << host->process().output();
    return host;
  }

  std::unique_ptr<ChildProcess> startClient(HostUnderTest& host, const std::vector<std::string>& scriptLines,
                                            const std::string& duration, std::vector<std::string> options = {}) {
    options.insert(options.end(), {"--code", host.code(), "--duration", duration});
    return testing::startClient(home_, "script", scriptLines, options);
  }

  // A recorder fullscreen on the monitor mutter announces `index`-th, once it is shown.
  std::unique_ptr<ChildProcess> startRecorder(int index, const std::string& size) {
    auto recorder = std::make_unique<ChildProcess>(VELMORA_WAYLAND_POINTER_RECORDER,
                                                   std::vector<std::string>{std::to_string(index)},
                                                   desktop_.environment());
    EXPECT_TRUE(recorder->waitForLineContaining("size " + size)) << recorder->output();
    return recorder;
  }

  void applyMonitors(const std::string& logicalMonitors) const {
    ASSERT_TRUE(applyMutterMonitors(desktop_, logicalMonitors)) << logicalMonitors;
  }

  DesktopSession desktop_{{"1280x720", "800x600"}};
};

TEST_F(GnomeSessionTest, BothMonitorsAreAnnouncedShownAndDriven) {
  // Meta-1 is the recorder's, whole; foot takes the focus and stands on Meta-0 over mutter's background.
  auto second = startRecorder(1, "800 600");
  const auto typedFile = home_ / "typed";
  ChildProcess terminal("foot", {"-e", "sh", "-c", "cat > " + typedFile.string()}, desktop_.environment());
  ASSERT_TRUE(eventually([&] { return std::filesystem::exists(typedFile); }));
  auto host = startHost();

  // Mutter 43 types only what the layout holds: the rest is left out (and logged once).
  const std::string shortText = "short ünïcode 📋";
  auto client = startClient(*host,
                            {waitForPicturesLine(1), Json{{"keyTyped", {{"text", "Hi, wörld ✓!\n"}}}}.dump(),
                             Json{{"clipboardSync", {{"content", shortText}}}}.dump(),
                             R"({"setMultiDisplay": {"enabled": true}})", waitForPicturesLine(1, 30s, 1),
                             R"({"sleep": 2})"},
                            "1", {"--save-streams", home_.string()});
  const auto [status, report] = finishClient(*client);
  ASSERT_EQ(status, 0) << client->output() << host->process().output();
  EXPECT_TRUE(eventually([&] { return readFile(typedFile) == "Hi, wrld !\n"; })) << readFile(typedFile);
  EXPECT_EQ(desktop_.output("timeout 5 wl-paste --no-newline"), shortText);

  const auto displays = report.value("serverHello", Json::object()).value("displays", Json::array());
  ASSERT_EQ(displays.size(), 2u) << report.dump();
  expectDisplays(displays, {{"Meta-0", displayIDForName("Meta-0"), 1280, 720},
                            {"Meta-1", displayIDForName("Meta-1"), 800, 600}});

  // In eighths of each stream's picture: foot dark in the middle of Meta-0, its corner not; the
  // recorder dark all over Meta-1.
  struct Sample {
    int stream, x, y;
    bool dark;
  };
  for (const auto& [stream, x, y, dark] : {Sample{0, 4, 4, true}, Sample{0, 0, 7, false}, Sample{1, 1, 1, true},
                                           Sample{1, 7, 7, true}}) {
    const auto statistics = displayStatistics(report, stream);
    EXPECT_EQ(statistics.value("decodeErrors", -1), 0);
    const int width = statistics.value("width", 0);
    const int height = statistics.value("height", 0);
    const auto picture = lastPicture(home_ / ("display-" + std::to_string(stream) + ".hevc"), statistics);
    ASSERT_FALSE(picture.empty()) << "display " << stream;
    EXPECT_EQ(shows(picture, width, width * x / 8, height * y / 8, kBlack), dark)
        << "display " << stream << " at " << x << "/8, " << y << "/8";
  }

  // A click with no motion before it, on each monitor, in points from its top-left corner, lands
  // there in its recorder (once mutter's animation of the window being shown is over).
  auto first = startRecorder(0, "1280 720");
  std::vector<std::string> clicks = {waitForPicturesLine(1), R"({"sleep": 1})"};
  for (const auto& [display, x, y] : {std::tuple{"Meta-0", 300, 200}, std::tuple{"Meta-1", 100, 50}}) {
    const auto at = R"({"x": )" + std::to_string(x) + R"(, "y": )" + std::to_string(y);
    clicks.insert(clicks.end(), {R"({"switchDisplay": {"displayID": )" + std::to_string(displayIDForName(display)) + "}}",
                                 R"({"mouseDown": )" + at + R"(, "button": 0}})",
                                 R"({"mouseUp": )" + at + R"(, "button": 0}})"});
  }
  client = startClient(*host, clicks, "1");
  for (const auto& [recorder, at] : {std::pair{first.get(), " 300 200"}, std::pair{second.get(), " 100 50"}}) {
    for (const std::string event : {at, "button 272 1", "button 272 0"}) {
      EXPECT_TRUE(recorder->waitForLineContaining(event, 30s)) << event << "\n" << recorder->output();
    }
  }
  EXPECT_EQ(finishClient(*client).status, 0) << client->output();
  EXPECT_EQ(host->terminate(), 0);
}

TEST_F(GnomeSessionTest, AMonitorRemovedOrAddedIsAnnounced) {
  auto host = startHost();
  auto client = startClient(*host, {waitForPicturesLine(1)}, "60");
  ASSERT_TRUE(client->waitForLineContaining("Receiving for", 30s)) << client->output();
  // As the client hears it: the host's own log line may come before the client has it.
  const auto announced = [&](const std::string& layout, const std::string& displays) {
    const auto from = client->lineCount();
    applyMonitors(layout);
    EXPECT_TRUE(client->waitForLineContaining("ServerHello again: screen 1280x720, " + displays, 10s, from))
        << host->process().output() << client->output();
  };
  announced("(0, 0, 1.0, 0, true, [('Meta-0', '1280x720@60.000', @a{sv} {})])", "1 display(s)");
  announced("(0, 0, 1.0, 0, true, [('Meta-0', '1280x720@60.000', @a{sv} {})]), "
            "(1280, 0, 1.0, 0, false, [('Meta-1', '800x600@60.000', @a{sv} {})])",
            "2 display(s)");

  const auto [status, report] = stopClient(*client);
  EXPECT_EQ(status, 0) << client->output();
  const auto displays = report.value("serverHello", Json::object()).value("displays", Json::array());
  ASSERT_EQ(displays.size(), 2u) << report.dump();
  EXPECT_EQ(displays[1].value("width", 0), 800);
  EXPECT_EQ(host->terminate(), 0);
}

// Mutter dies under a streaming client: the client's session ends at once, and without a mutter
// back in time the host quits with a failure.
TEST_F(GnomeSessionTest, ALostMutterEndsTheSessionAndTheHostQuitsWhenItStaysAway) {
  auto host = startHost({"VELMORA_TEST_DESKTOP_RETURN_SECONDS=2"});
  auto client = startClient(*host, {waitForPicturesLine(1)}, "120");
  ASSERT_TRUE(client->waitForLineContaining("Receiving for", 30s)) << client->output();

  desktop_.mutter()->signal(SIGKILL);
  ASSERT_TRUE(testing::sessionEndedWithTheDesktop(*client));
  const auto status = host->process().waitForExit(30s);
  ASSERT_TRUE(status) << "the host kept running without a desktop\n" << host->process().output();
  EXPECT_EQ(*status, 3);
  EXPECT_EQ(host->process().countLinesContaining("The desktop went away (mutter left the session bus)"), 1u)
      << host->process().output();
}

}  // namespace
}  // namespace velmora::testing
