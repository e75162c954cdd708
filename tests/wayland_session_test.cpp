// The real velmora-host in a Wayland session (no backend option) on a headless sway of the test's
// own, driven by the real velmora-client. Runs in a network namespace of its own (see
// CMakeLists.txt) because the host's ports are fixed.
#include <sys/socket.h>
#include <sys/un.h>
#include <wayland-server.h>

#include <set>
#include <thread>

#include "platform/testing/xvfb_server.h"
#include "platform/wayland/testing/sway_compositor.h"
#include "platform/desktop/display_identity.h"
#include "tests/support/session_harness.h"

namespace velmora::testing {
namespace {

using namespace std::chrono_literals;
using Json = nlohmann::json;

constexpr Rgb kRed{255, 0, 0};
constexpr Rgb kGreen{0, 255, 0};
constexpr Rgb kBlack{0, 0, 0};

// HEADLESS-1 is red, 1280x720 pixels at scale 1, with foot (dark) floating at (700, 400); HEADLESS-2
// is green, 1280x720 pixels at scale 2 right of it, with the pointer recorder (black) at (100, 50)
// of it, 320x180 points. Sway starts with HEADLESS-1: set-up creates HEADLESS-2, a test HEADLESS-3.
const std::vector<std::string> kSwayConfiguration = {
    "output HEADLESS-1 resolution 1280x720 position 0 0 bg #ff0000 solid_color",
    "output HEADLESS-2 resolution 1280x720 position 1280 0 scale 2 bg #00ff00 solid_color",
    "output HEADLESS-3 resolution 800x600 position 1920 0",
    "for_window [app_id=foot] floating enable, resize set 400 200, move absolute position 700 400",
    "for_window [app_id=velmora-pointer-recorder] floating enable, resize set 320 180, move absolute position 1380 50"};

class WaylandSessionTest : public SessionTest {
 protected:
  void SetUp() override {
    if (!sway_.available()) {
      GTEST_SKIP() << "sway cannot run here";
    }
    for (const char* tool : {"foot", "wl-paste", "ffmpeg"}) {
      if (std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) != 0) {
        GTEST_SKIP() << tool << " is not installed";
      }
    }
    ASSERT_EQ(sway_.run("swaymsg create_output >/dev/null"), 0);
    SessionTest::SetUp();
  }

  std::unique_ptr<HostUnderTest> startHost() {
    auto host = std::make_unique<HostUnderTest>(home_, std::vector<std::string>{"--headless"}, sway_.environment());
    EXPECT_TRUE(host->ready()) << host->process().output();
    EXPECT_TRUE(host->process().waitForLineContaining("Sharing the outputs of the Wayland compositor", 20s, 0));
    return host;
  }

  std::unique_ptr<ChildProcess> startClient(HostUnderTest& host, const std::vector<std::string>& scriptLines,
                                            const std::string& duration, std::vector<std::string> options = {}) {
    options.insert(options.end(), {"--code", host.code(), "--duration", duration});
    return testing::startClient(home_, "script", scriptLines, options);
  }

  SwayCompositor sway_{kSwayConfiguration};
};

TEST_F(WaylandSessionTest, BothOutputsAreAnnouncedShownAndDriven) {
  const auto typedFile = home_ / "typed";
  ChildProcess terminal("foot", {"-e", "sh", "-c", "cat > " + typedFile.string()}, sway_.environment());
  ChildProcess recorder(VELMORA_WAYLAND_POINTER_RECORDER, {}, sway_.environment());
  ASSERT_TRUE(recorder.waitForLineContaining("size 320 180")) << recorder.output();
  // Keys reach the window with the focus.
  ASSERT_TRUE(eventually([&] { return sway_.run("swaymsg '[app_id=foot] focus' >/dev/null 2>&1") == 0; }));
  const auto clipboards = home_ / "clipboards";
  std::filesystem::create_directory(clipboards);
  ChildProcess watcher("wl-paste", {"--watch", "sh", "-c", "cat > $(mktemp " + clipboards.string() + "/XXXXXX)"},
                       sway_.environment());
  auto host = startHost();

  const std::string typed = "Grüße Ωμέγα Привет 你好 😀\n";
  const std::string shortText = "short ünïcode 📋";
  std::string large;  // about as much as one control frame carries
  for (int line = 0; large.size() < 960'000; ++line) {
    large += "line " + std::to_string(line) + " äöü\n";
  }
  const auto second = std::to_string(displayIDForName("HEADLESS-2"));
  // Keys first: a click on the recorder takes the focus from foot. Coordinates are points from the
  // top-left corner of HEADLESS-2, switched to.
  auto client = startClient(
      *host,
      {waitForPicturesLine(1), Json{{"keyTyped", {{"text", typed}}}}.dump(),
       Json{{"clipboardSync", {{"content", shortText}}}}.dump(), R"({"sleep": 2})",
       Json{{"clipboardSync", {{"content", large}}}}.dump(), R"({"setMultiDisplay": {"enabled": true}})",
       waitForPicturesLine(1, 30s, 1), R"({"switchDisplay": {"displayID": )" + second + "}}",
       R"({"mouseDown": {"x": 150, "y": 100, "button": 0}})", R"({"mouseUp": {"x": 150, "y": 100, "button": 0}})",
       R"({"mouseDown": {"x": 110, "y": 60, "button": 0}})", R"({"mouseDrag": {"x": 300, "y": 200}})",
       R"({"mouseUp": {"x": 300, "y": 200, "button": 0}})"},
      "2", {"--save-streams", home_.string()});

  for (const char* event : {" 50 50", "button 272 1", "button 272 0", "motion 10 10", "button 272 1",
                            "motion 200 150", "button 272 0"}) {
    ASSERT_TRUE(recorder.waitForLineContaining(event, 30s)) << event << "\n" << recorder.output() << client->output();
  }
  const auto [status, report] = finishClient(*client);
  ASSERT_EQ(status, 0) << client->output();
  EXPECT_TRUE(eventually([&] { return readFile(typedFile) == typed; })) << readFile(typedFile);
  // Each text the desktop's clipboard held, as wl-paste read it.
  EXPECT_TRUE(eventually([&] {
    std::set<std::string> pasted;
    for (const auto& entry : std::filesystem::directory_iterator(clipboards)) {
      pasted.insert(readFile(entry.path()));
    }
    return pasted.contains(shortText) && pasted.contains(large);
  }));

  // In the order of the layout, in points: HEADLESS-2's pixels are halved.
  const auto displays = report.value("serverHello", Json::object()).value("displays", Json::array());
  ASSERT_EQ(displays.size(), 2u) << report.dump();
  expectDisplays(displays, {{"HEADLESS-1", displayIDForName("HEADLESS-1"), 1280, 720},
                            {"HEADLESS-2", displayIDForName("HEADLESS-2"), 640, 360}});

  // Each display's colours, and its window where sway placed it (pixels of a 1280x720 stream).
  struct Sample {
    int stream, x, y;
    Rgb colour;
  };
  for (const auto& [stream, x, y, colour] : {Sample{0, 300, 200, kRed}, Sample{0, 900, 500, kBlack},
                                             Sample{1, 1000, 600, kGreen}, Sample{1, 800, 140, kBlack}}) {
    const auto statistics = displayStatistics(report, stream);
    EXPECT_EQ(statistics.value("decodeErrors", -1), 0);
    const auto picture = lastPicture(home_ / ("display-" + std::to_string(stream) + ".hevc"), statistics);
    EXPECT_TRUE(shows(picture, 1280, x, y, colour)) << "display " << stream << " at " << x << "," << y;
  }
  EXPECT_EQ(host->terminate(), 0);
}

TEST_F(WaylandSessionTest, AStillScreenSendsOneFrameAndOutputChangesAreAnnouncedAtOnce) {
  auto host = startHost();
  {
    auto still = startClient(*host, {waitForPicturesLine(1)}, "3");
    const auto [status, report] = finishClient(*still);
    ASSERT_EQ(status, 0) << still->output();
    EXPECT_EQ(displayStatistics(report, 0).value("framesCompleted", 0), 1) << report.dump();
  }

  auto client = startClient(*host, {waitForPicturesLine(1)}, "60");
  ASSERT_TRUE(client->waitForLineContaining("Receiving for", 30s)) << client->output();
  // Sway applies a change at once; the host announces it one debounce (300 ms) later, give or take
  // a busy machine.
  // One change may come as more than one batch of output events, each announced: the host is let
  // go quiet before the next change, so that the next announcement is that change's own.
  const auto settled = [&] {
    for (auto count = host->process().countLinesContaining("Resending ServerHello");;) {
      std::this_thread::sleep_for(1s);
      const auto now = host->process().countLinesContaining("Resending ServerHello");
      if (now == count) {
        return;
      }
      count = now;
    }
  };
  for (const char* change : {"create_output", "output HEADLESS-2 mode 1920x1080 scale 1.5"}) {
    settled();
    const auto from = host->process().lineCount();
    const auto started = ChildProcess::Clock::now();
    ASSERT_EQ(sway_.run(std::string("swaymsg ") + change + " >/dev/null"), 0);
    ASSERT_TRUE(host->process().waitForLineContaining("Resending ServerHello: 1280x720, 3 displays", 10s, from))
        << change << "\n" << host->process().output();
    EXPECT_LT(ChildProcess::Clock::now() - started, 1500ms) << change;
  }
  settled();

  const auto [status, report] = stopClient(*client);
  EXPECT_EQ(status, 0) << client->output();
  const auto displays = report.value("serverHello", Json::object()).value("displays", Json::array());
  ASSERT_EQ(displays.size(), 3u) << report.dump();
  EXPECT_EQ(displays[1].value("width", 0), 1280);
  EXPECT_EQ(displays[2].value("name", ""), "HEADLESS-3");
  EXPECT_EQ(displays[2].value("width", 0), 800);
  EXPECT_EQ(host->terminate(), 0);
}

// Sway dies under a streaming client: the client's session ends at once, and once sway runs again
// on the same socket the host serves again, still trusting the client.
TEST_F(WaylandSessionTest, ALostCompositorEndsTheSessionAndTheHostServesAgainOnceItIsBack) {
  auto host = startHost();
  auto client = startClient(*host, {waitForPicturesLine(1)}, "120", {"--identifier", "device-A"});
  ASSERT_TRUE(client->waitForLineContaining("Receiving for", 30s)) << client->output();
  const auto from = host->process().lineCount();

  sway_.kill();
  ASSERT_TRUE(testing::sessionEndedWithTheDesktop(*client));
  ASSERT_TRUE(host->process().waitForLineContaining("Status: Desktop lost", 10s, from)) << host->process().output();
  EXPECT_EQ(host->process().countLinesContaining("The desktop went away (lost the Wayland compositor"), 1u)
      << host->process().output();

  ASSERT_TRUE(sway_.restart());
  ASSERT_TRUE(host->process().waitForLineContaining("Control server listening", 30s, from)) << host->process().output();
  auto again = startClient(*host, {waitForPicturesLine(1)}, "1", {"--identifier", "device-A"});
  const auto [status, report] = finishClient(*again);
  EXPECT_EQ(status, 0) << again->output() << host->process().output();
  EXPECT_EQ(displayStatistics(report, 0).value("decodeErrors", -1), 0) << report.dump();
  EXPECT_EQ(host->terminate(), 0);
}

// A listening socket at `path`; with `serve`, a compositor on it that offers no globals at all, as
// one without any of the protocols the host needs would.
class SilentCompositor {
 public:
  SilentCompositor(const std::filesystem::path& path, bool serve) : display_(wl_display_create()) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.string().copy(address.sun_path, sizeof address.sun_path - 1);
    const int listening = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (bind(listening, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listening, 4) != 0) {
      ADD_FAILURE() << "cannot listen at " << path;
    }
    if (!serve) {
      unserved_ = listening;
      return;
    }
    wl_display_add_socket_fd(display_, listening);
    dispatcher_ = std::thread([this] {
      while (running_) {
        wl_event_loop_dispatch(wl_display_get_event_loop(display_), 50);
        wl_display_flush_clients(display_);
      }
    });
  }
  ~SilentCompositor() {
    running_ = false;
    if (dispatcher_.joinable()) {
      dispatcher_.join();
    }
    wl_display_destroy(display_);
    if (unserved_ >= 0) {
      close(unserved_);
    }
  }

 private:
  wl_display* display_;
  int unserved_ = -1;
  std::atomic<bool> running_{true};
  std::thread dispatcher_;
};

class WaylandRefusalTest : public SessionTest, public ::testing::WithParamInterface<bool> {};

TEST_P(WaylandRefusalTest, NoWaylandFamilyMeansAClearRefusalAndNoX11) {
  XvfbServer xserver(1280, 720);
  if (!xserver.available()) {
    GTEST_SKIP() << "Xvfb is not available";
  }
  const auto socket = home_ / "wayland-silent";
  SilentCompositor compositor(socket, GetParam());
  ChildProcess host(hostBinary(), {},
                    {"WAYLAND_DISPLAY=" + socket.string(), "DISPLAY=" + xserver.display(), "XDG_CONFIG_HOME=" + home_.string(),
                     "XDG_RUNTIME_DIR=" + home_.string()});
  const auto status = host.waitForExit(30s);
  ASSERT_TRUE(status) << "the host hung\n" << host.output();
  EXPECT_NE(*status, 0);
  EXPECT_EQ(host.countLinesContaining("this is a Wayland session and no Wayland backend works here"), 1u)
      << host.output();
  EXPECT_EQ(host.countLinesContaining("X11 display"), 0u) << host.output();
}

INSTANTIATE_TEST_SUITE_P(Compositors, WaylandRefusalTest, ::testing::Bool(),
                         [](const auto& serves) { return serves.param ? "WithoutTheProtocols" : "NotAnswering"; });

}  // namespace
}  // namespace velmora::testing
