// The real velmora-host on an Xvfb of the test's own, driven by the real velmora-client. Runs in a
// network namespace of its own (see CMakeLists.txt) because the host's ports are fixed.
#include <map>
#include <sstream>
#include <thread>

#include "platform/testing/xvfb_server.h"
#include "tests/support/session_harness.h"

namespace velmora::testing {
namespace {

using namespace std::chrono_literals;
using Json = nlohmann::json;

// Side by side on a 3200x1080 screen; at a requested height of 720 they stream as 1280x720 and 900x720.
constexpr const char* kLeftMonitor = "Left 1920/500x1080/300+0+0 screen";
constexpr const char* kRightMonitor = "Right 1280/340x1024/270+1920+0 none";
constexpr int kRightMonitorX = 1920;

class X11SessionTest : public SessionTest {
 protected:
  void SetUp() override {
    if (!server_.available()) {
      GTEST_SKIP() << "Xvfb is not available";
    }
    for (const char* tool : {"xrandr", "xdotool", "xclip"}) {
      if (std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) != 0) {
        GTEST_SKIP() << tool << " is not installed";
      }
    }
    SessionTest::SetUp();
  }

  std::vector<std::string> environment() const { return {"DISPLAY=" + server_.display()}; }

  // Moves the pointer across both monitors until it goes: a still monitor sends no pictures. By
  // XTest (mousemove_relative), as a user's mouse: the host does not follow a warp (mousemove).
  std::unique_ptr<ChildProcess> movePointer() const {
    return std::make_unique<ChildProcess>(
        "sh", std::vector<std::string>{"-c", "xdotool mousemove 500 500; while :; do xdotool mousemove_relative 2000 0; "
                                             "sleep 0.1; xdotool mousemove_relative -- -2000 0; sleep 0.1; done"},
        environment());
  }

  void xrandr(const std::string& arguments) {
    ASSERT_EQ(server_.run("xrandr " + arguments + " >/dev/null"), 0) << arguments;
  }
  void setBothMonitors() {
    xrandr(std::string("--setmonitor ") + kLeftMonitor);
    xrandr(std::string("--setmonitor ") + kRightMonitor);
  }

  // The monitors' IDs by name: the atoms of their names, which the host numbers displays by.
  std::map<std::string, std::string> monitorIDs() const {
    ChildProcess lister(VELMORA_X11_EVENT_RECORDER, {"--list-monitors"}, environment());
    EXPECT_EQ(lister.waitForExit(), 0) << lister.output();
    std::map<std::string, std::string> ids;
    for (const auto& line : lister.lines()) {
      std::istringstream fields(line);
      std::string kind;
      std::string name;
      std::string id;
      if (fields >> kind >> name >> id && kind == "monitor") {
        ids[name] = id;
      }
    }
    return ids;
  }

  std::unique_ptr<HostUnderTest> startHost(bool headless = true) {
    std::vector<std::string> arguments{"--backend", "x11"};
    if (headless) {
      arguments.push_back("--headless");
    }
    auto host = std::make_unique<HostUnderTest>(home_, arguments, environment());
    EXPECT_TRUE(host->ready()) << host->process().output();
    EXPECT_TRUE(host->process().waitForLineContaining("Sharing the displays of the X11 display " + server_.display(),
                                                      20s, 0));
    code_ = host->code();
    return host;
  }

  std::unique_ptr<ChildProcess> startClient(const std::vector<std::string>& scriptLines, const std::string& duration) {
    return testing::startClient(home_, "script", scriptLines, {"--code", code_, "--duration", duration}, environment());
  }

  // The displays of the latest ServerHello, by name.
  static std::map<std::string, Json> announcedDisplays(const Json& report) {
    std::map<std::string, Json> displays;
    for (const auto& each : report.value("serverHello", Json::object()).value("displays", Json::array())) {
      displays[each.value("name", "")] = each;
    }
    return displays;
  }

  // The CLIPBOARD as a client of the desktop reads it, or nothing when no owner answers.
  std::optional<std::string> clipboard() const {
    ChildProcess paste("timeout", {"5", "xclip", "-selection", "clipboard", "-o"}, environment());
    return paste.waitForExit() == 0 ? std::optional(paste.output()) : std::nullopt;
  }

  XvfbServer server_{3200, 1080};
  std::string code_;
};

// The characters of the key presses the recorder printed, in order: "U+0061 U+0048 ...".
std::string typedCharacters(const std::vector<std::string>& recorderLines) {
  std::string characters;
  for (const auto& line : recorderLines) {
    if (const auto at = line.find(" U+"); line.starts_with("keyPress ") && at != std::string::npos) {
      characters += line.substr(at);
    }
  }
  return characters;
}

TEST_F(X11SessionTest, PointerKeysAndClipboardOfTheClientReachTheDesktop) {
  setBothMonitors();
  const auto right = monitorIDs()["Right"];
  // A 400x300 window at (200, 100) of the Right monitor, holding the keyboard focus.
  ChildProcess recorder(VELMORA_X11_EVENT_RECORDER, {std::to_string(kRightMonitorX + 200), "100", "400", "300"},
                        environment());
  ASSERT_TRUE(recorder.waitForLineStartingWith("ready")) << recorder.output();
  auto host = startHost();

  // Coordinates are points from the top-left corner of the display switched to.
  auto client = startClient({waitForPicturesLine(1), R"({"switchDisplay": {"displayID": )" + right + "}}",
                             R"({"waitForServerHellos": {"count": 3, "timeout": 30}})",
                             R"({"mouseMove": {"x": 240, "y": 140}})",
                             R"({"mouseDown": {"x": 250, "y": 150, "button": 0}})",
                             R"({"mouseUp": {"x": 250, "y": 150, "button": 0}})",
                             R"({"mouseDown": {"x": 500, "y": 350, "button": 1}})",
                             R"({"mouseUp": {"x": 500, "y": 350, "button": 1}})",
                             R"({"clipboardSync": {"content": "from the client \u00e9"}})",
                             R"({"keyDown": {"keyCode": 0, "modifiers": 0}})",
                             R"({"keyUp": {"keyCode": 0, "modifiers": 0}})",
                             R"({"keyTyped": {"text": "Hi \u00e9!"}})"},
                            "0.5");

  for (const char* event : {"motion 40 40", "buttonPress 1 50 50", "buttonRelease 1 50 50", "buttonPress 3 300 250",
                            "buttonRelease 3 300 250"}) {
    EXPECT_TRUE(recorder.waitForLineStartingWith(event, 30s)) << event << "\n" << recorder.output();
  }
  // The last key of the text; everything before it has been read by then.
  EXPECT_TRUE(recorder.waitForLineContaining("U+0021")) << recorder.output();
  // "a" for key code 0, then "Hi é!".
  EXPECT_EQ(typedCharacters(recorder.lines()), " U+0061 U+0048 U+0069 U+0020 U+00E9 U+0021") << recorder.output();

  EXPECT_EQ(finishClient(*client).status, 0) << client->output();
  // The host may take the selection over on a thread of its own, after the keys: asked until then.
  std::optional<std::string> pasted;
  for (const auto deadline = ChildProcess::Clock::now() + 10s; ChildProcess::Clock::now() < deadline;) {
    pasted = clipboard();
    if (pasted == "from the client \u00e9\n") {
      break;
    }
    std::this_thread::sleep_for(100ms);
  }
  EXPECT_EQ(pasted, "from the client \u00e9\n");  // output() ends each line
  EXPECT_EQ(host->terminate(), 0);
}

// The X server dies under a streaming client: the client's session ends at once, and once a
// server runs again on the same display the host serves again, still trusting the client. Qt ends
// a tray host with its display: its parent process waits for the desktop instead.
TEST_F(X11SessionTest, ALostXServerEndsTheSessionAndTheHostServesAgainOnceItIsBack) {
  for (const bool headless : {true, false}) {
    SCOPED_TRACE(headless ? "headless" : "tray");
    std::filesystem::remove_all(home_ / "velmora");  // each pairs afresh, so that its code shows
    auto host = startHost(headless);
    const auto trustedClient = [&](const std::string& duration) {
      return testing::startClient(home_, "script", {waitForPicturesLine(1)},
                                  {"--code", code_, "--duration", duration, "--identifier", "device-A"}, environment());
    };
    auto client = trustedClient("120");
    ASSERT_TRUE(client->waitForLineContaining("Receiving for", 30s)) << client->output();
    const auto from = host->process().lineCount();

    server_.kill();
    ASSERT_TRUE(testing::sessionEndedWithTheDesktop(*client));
    ASSERT_TRUE(host->process().waitForLineContaining("The desktop went away", 10s, from)) << host->process().output();

    ASSERT_TRUE(server_.restart());
    ASSERT_TRUE(host->process().waitForLineContaining("Control server listening", 30s, from))
        << host->process().output();
    auto again = trustedClient("1");
    const auto [status, report] = finishClient(*again);
    EXPECT_EQ(status, 0) << again->output() << host->process().output();
    EXPECT_EQ(displayStatistics(report, 0).value("decodeErrors", -1), 0) << report.dump();
    EXPECT_EQ(host->terminate(), 0);
  }
}

TEST_F(X11SessionTest, AMonitorAddedDuringASessionIsAnnouncedAndAPrimaryOneIsStreamed) {
  xrandr(std::string("--setmonitor ") + kLeftMonitor);
  auto host = startHost();
  const auto mover = movePointer();
  auto client = startClient({waitForPicturesLine(1), R"({"waitForServerHellos": {"count": 3, "timeout": 60}})"}, "60");
  ASSERT_TRUE(host->process().waitForLineContaining("Resending ServerHello: 1920x1080, 1 displays"))
      << host->process().output();
  ASSERT_TRUE(client->waitForLineContaining("Display 0: decoding 1280x720 pictures", 30s)) << client->output();

  xrandr("--setmonitor '*Right' 1280/340x1024/270+1920+0 none");
  const auto right = monitorIDs()["Right"];
  const auto change = host->process().waitForLine([](const std::string& line) {
    return line.find("didChangeScreenParameters — scheduling debounced rebuild (displays now=2)") != std::string::npos;
  });
  ASSERT_TRUE(change) << host->process().output();
  EXPECT_TRUE(host->process().waitForLineContaining("startSingleDisplayStreaming: display=" + right + " 900x720@60fps",
                                                    20s, change->first));
  // The stream goes on, from the new main display.
  ASSERT_TRUE(client->waitForLineContaining("Display 0: decoding 900x720 pictures", 30s)) << client->output();

  const auto [status, report] = stopClient(*client);
  EXPECT_EQ(status, 0) << client->output();
  EXPECT_GE(report.value("serverHellosReceived", 0), 3);
  auto displays = announcedDisplays(report);
  ASSERT_EQ(displays.size(), 2u) << report.dump();
  EXPECT_TRUE(displays["Right"].value("isMain", false));
  EXPECT_FALSE(displays["Left"].value("isMain", true));
  EXPECT_EQ(displayStatistics(report, 0).value("width", 0), 900);
  EXPECT_EQ(displayStatistics(report, 0).value("decodeErrors", -1), 0);
  EXPECT_EQ(host->terminate(), 0);
}

// The Right monitor goes away during a session; the Left one must be streamed on, announced alone.
struct MonitorRemoval {
  const char* name;
  std::vector<std::string> scriptBeforeRemoval;  // after the first picture; {RIGHT} is its ID
  std::string streamingBeforeRemoval;  // a client line
  std::string reactionToRemoval;       // host lines, {LEFT} and {RIGHT} the IDs
  std::string streamingAfterRemoval;
};

const MonitorRemoval kMonitorRemovals[] = {
    // Its capture ends with an error before the screen change settles; the settled change must
    // still rebuild on the remaining monitor and tell the client.
    {"StreamedMonitorGivesWayToTheMainOne",
     {R"({"switchDisplay": {"displayID": {RIGHT}}})", R"({"waitForServerHellos": {"count": 3, "timeout": 30}})"},
     "Display 0: decoding 900x720 pictures",
     "Previously selected display {RIGHT} is gone — falling back to main",
     "startSingleDisplayStreaming: display={LEFT} 1280x720@60fps"},
    {"SecondStreamInMultiDisplayMode",
     {R"({"setMultiDisplay": {"enabled": true}})", R"({"waitForServerHellos": {"count": 3, "timeout": 30}})",
      R"({"waitForPictures": {"display": 1, "count": 1, "timeout": 30}})"},
     "Display 1: decoding 900x720 pictures",
     "Rebuilding multi-display pipelines after screen change",
     "Pipeline[0] display={LEFT} 1280x720@60fps"},
};

class X11MonitorRemovalTest : public X11SessionTest, public ::testing::WithParamInterface<MonitorRemoval> {};

TEST_P(X11MonitorRemovalTest, IsAnnouncedAndTheRemainingMonitorStreamsOn) {
  const auto& removal = GetParam();
  setBothMonitors();
  const auto ids = monitorIDs();
  const auto withIDs = [&](std::string text) {
    for (const auto& [placeholder, name] : {std::pair{"{LEFT}", "Left"}, std::pair{"{RIGHT}", "Right"}}) {
      if (const auto at = text.find(placeholder); at != std::string::npos) {
        text.replace(at, std::string(placeholder).size(), ids.at(name));
      }
    }
    return text;
  };
  auto host = startHost();
  // A still screen gives one picture per pipeline start: the last 20 are the rebuilt stream's.
  std::vector<std::string> script = {waitForPicturesLine(1)};
  for (const auto& line : removal.scriptBeforeRemoval) {
    script.push_back(withIDs(line));
  }
  script.push_back(R"({"waitForServerHellos": {"count": 4, "timeout": 60}})");
  script.push_back(waitForPicturesLine(20, 60s));
  auto client = startClient(script, "0.5");
  ASSERT_TRUE(client->waitForLineContaining(removal.streamingBeforeRemoval, 30s)) << client->output();

  xrandr("--delmonitor Right");
  const auto change = host->process().waitForLine([](const std::string& line) {
    return line.find("didChangeScreenParameters — scheduling debounced rebuild (displays now=1)") != std::string::npos;
  });
  ASSERT_TRUE(change) << host->process().output();
  for (const auto& line : {withIDs(removal.reactionToRemoval), std::string("Resending ServerHello: 1920x1080, 1 displays"),
                           withIDs(removal.streamingAfterRemoval)}) {
    EXPECT_TRUE(host->process().waitForLineContaining(line, 20s, change->first)) << line;
  }
  const auto mover = movePointer();

  const auto [status, report] = finishClient(*client);
  ASSERT_EQ(status, 0) << client->output();
  EXPECT_GE(report.value("serverHellosReceived", 0), 4);
  auto displays = announcedDisplays(report);
  ASSERT_EQ(displays.size(), 1u) << report.dump();
  EXPECT_TRUE(displays["Left"].value("isMain", false));
  const auto stream = displayStatistics(report, 0);
  EXPECT_GE(stream.value("picturesDecoded", 0), 20);
  EXPECT_EQ(stream.value("width", 0), 1280);
  EXPECT_EQ(stream.value("decodeErrors", -1), 0);
  EXPECT_EQ(host->terminate(), 0);
}

INSTANTIATE_TEST_SUITE_P(Removals, X11MonitorRemovalTest, ::testing::ValuesIn(kMonitorRemovals),
                         [](const auto& removal) { return std::string(removal.param.name); });

}  // namespace
}  // namespace velmora::testing
