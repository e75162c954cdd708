// The real velmora-host on the X11 desktop of an Xvfb of the test's own, driven by the real
// velmora-client: pictures of RandR monitors, input reaching a window and the clipboard, monitors
// coming and going during a session, multi-display streaming. Runs in a network namespace of its
// own (see CMakeLists.txt) because the host's ports are fixed.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "platform/testing/xvfb_server.h"
#include "tests/host_process.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using Json = nlohmann::json;
using testing::HostProcess;
using testing::XvfbServer;

// Side by side on a 3200x1080 screen; at a requested height of 720 they stream as 1280x720 and 900x720.
constexpr const char* kLeftMonitor = "Left 1920/500x1080/300+0+0 screen";
constexpr const char* kRightMonitor = "Right 1280/340x1024/270+1920+0 none";
constexpr int kRightMonitorX = 1920;

bool onPath(const std::string& tool) { return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0; }

// Moves the pointer back and forth across both monitors until it goes: the X11 capture sends a
// picture only when its monitor changes, and the cursor leaving or entering it is such a change.
class PointerMover {
 public:
  explicit PointerMover(const XvfbServer& server) : thread_([this, &server] { run(server); }) {}

  ~PointerMover() {
    {
      std::lock_guard lock(stoppingLock_);
      stopping_ = true;
    }
    stoppingChanged_.notify_all();
    thread_.join();
  }

  PointerMover(const PointerMover&) = delete;
  PointerMover& operator=(const PointerMover&) = delete;

 private:
  void run(const XvfbServer& server) {
    for (int step = 0;; ++step) {
      server.run(step % 2 == 0 ? "xdotool mousemove 500 500" : "xdotool mousemove 2500 500");
      std::unique_lock lock(stoppingLock_);
      if (stoppingChanged_.wait_for(lock, 100ms, [&] { return stopping_; })) {
        return;
      }
    }
  }

  std::mutex stoppingLock_;
  std::condition_variable stoppingChanged_;
  bool stopping_ = false;
  std::thread thread_;
};

// How the client ended, and its report: the one line of its output that is a JSON object.
struct ClientOutcome {
  int status = -1;
  Json report = Json::object();
};

class X11SessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!server_.available()) {
      GTEST_SKIP() << "Xvfb is not available";
    }
    for (const char* tool : {"xrandr", "xdotool", "xclip"}) {
      if (!onPath(tool)) {
        GTEST_SKIP() << tool << " is not installed";
      }
    }
    char pattern[] = "/tmp/velmora-x11-session-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    home_ = pattern;
  }

  void TearDown() override {
    if (!home_.empty()) {
      std::filesystem::remove_all(home_);
    }
  }

  std::vector<std::string> environment() const {
    return {"DISPLAY=" + server_.display(), "XDG_CONFIG_HOME=" + home_.string(), "XDG_RUNTIME_DIR=" + home_.string()};
  }

  void xrandr(const std::string& arguments) {
    ASSERT_EQ(server_.run("xrandr " + arguments + " >/dev/null"), 0) << arguments;
  }
  void setMonitor(const std::string& monitor) { xrandr("--setmonitor " + monitor); }

  // The monitors' IDs by name: the atoms of their names, which the host numbers displays by.
  std::map<std::string, std::uint32_t> monitorIDs() const {
    HostProcess lister(VELMORA_X11_EVENT_RECORDER, {"--list-monitors"}, environment());
    EXPECT_EQ(lister.readUntilExit(20s), 0) << lister.output();
    std::map<std::string, std::uint32_t> ids;
    for (const auto& line : lister.lines()) {
      std::istringstream fields(line);
      std::string kind;
      std::string name;
      std::uint32_t id = 0;
      if (fields >> kind >> name >> id && kind == "monitor") {
        ids[name] = id;
      }
    }
    return ids;
  }

  std::unique_ptr<HostProcess> startHost() {
    auto host = std::make_unique<HostProcess>(
        VELMORA_HOST_BINARY, std::vector<std::string>{"--headless", "--backend", "x11"}, environment(), true);
    EXPECT_TRUE(host->started());
    EXPECT_TRUE(host->waitForLineContaining("Sharing the displays of the X11 display " + server_.display()))
        << host->output();
    EXPECT_TRUE(host->waitForLineContaining("Control server listening")) << host->output();
    pairingCode_ = host->waitForLine("Verification code: ").value_or("");
    EXPECT_FALSE(pairingCode_.empty()) << host->output();
    return host;
  }

  // A client at a preferred height of 720 that runs `scriptLines` and then receives for
  // `duration` seconds more; its log is read along with its output.
  std::unique_ptr<HostProcess> startClient(const std::vector<std::string>& scriptLines, const std::string& duration) {
    const auto scriptPath = home_ / "script.jsonl";
    std::ofstream script(scriptPath);
    for (const auto& line : scriptLines) {
      script << line << "\n";
    }
    script.close();
    auto client = std::make_unique<HostProcess>(
        VELMORA_CLIENT_BINARY,
        std::vector<std::string>{"--host", "127.0.0.1", "--preferred-height", "720", "--script", scriptPath.string(),
                                 "--code", pairingCode_, "--duration", duration},
        environment(), true);
    EXPECT_TRUE(client->started());
    return client;
  }

  // Waits for the client to end.
  static ClientOutcome finish(HostProcess& client) {
    ClientOutcome outcome;
    const auto status = client.readUntilExit(60s);
    if (!status) {
      ADD_FAILURE() << "the client did not end";
      return outcome;
    }
    outcome.status = *status;
    for (const auto& line : client.lines()) {
      if (line.starts_with("{")) {
        outcome.report = Json::parse(line, nullptr, false);
      }
    }
    if (outcome.report.is_discarded()) {
      outcome.report = Json::object();
    }
    return outcome;
  }

  // Ends a client that would receive for longer, as its user would, and waits for its report.
  static ClientOutcome stop(HostProcess& client) {
    kill(client.pid(), SIGTERM);
    return finish(client);
  }

  // One stream's receive statistics from the report; empty when the report has none.
  static Json stream(const Json& report, int streamNumber) {
    for (const auto& each : report.value("video", Json::object()).value("displays", Json::array())) {
      if (each.value("displayID", -1) == streamNumber) {
        return each;
      }
    }
    return Json::object();
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
    const std::string command = "DISPLAY=" + server_.display() + " timeout 5 xclip -selection clipboard -o 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
      return std::nullopt;
    }
    std::string text;
    char buffer[4096];
    while (const auto count = std::fread(buffer, 1, sizeof buffer, pipe)) {
      text.append(buffer, count);
    }
    return pclose(pipe) == 0 ? std::optional(text) : std::nullopt;
  }

  XvfbServer server_{3200, 1080};
  std::filesystem::path home_;
  std::string pairingCode_;
};

// Whether every one of `texts` is in a line after the first `from` lines, in whatever order they
// come; waits for those not read yet.
bool sawEach(HostProcess& process, std::size_t from, const std::vector<std::string>& texts,
             std::chrono::seconds timeout = 20s) {
  for (const auto& text : texts) {
    const auto& lines = process.lines();
    const bool seen =
        std::any_of(lines.begin() + static_cast<std::ptrdiff_t>(std::min(from, lines.size())), lines.end(),
                    [&](const std::string& line) { return line.find(text) != std::string::npos; });
    if (!seen && !process.waitForLineContaining(text, timeout)) {
      return false;
    }
  }
  return true;
}

// The text that the key presses the recorder printed give, in order.
std::string typedText(const std::vector<std::string>& recorderLines) {
  std::string text;
  for (const auto& line : recorderLines) {
    const auto at = line.find(" U+");
    if (!line.starts_with("keyPress ") || at == std::string::npos) {
      continue;
    }
    const auto codePoint = static_cast<char32_t>(std::stoul(line.substr(at + 3), nullptr, 16));
    if (codePoint < 0x80) {
      text += static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
      text += static_cast<char>(0xC0 | (codePoint >> 6));
      text += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
      text += static_cast<char>(0xE0 | (codePoint >> 12));
      text += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
      text += static_cast<char>(0x80 | (codePoint & 0x3F));
    }
  }
  return text;
}

TEST_F(X11SessionTest, StreamsTheMainMonitorAtTheRequestedHeight) {
  setMonitor(kLeftMonitor);
  setMonitor(kRightMonitor);
  const auto ids = monitorIDs();
  ASSERT_EQ(ids.size(), 2u);
  auto host = startHost();
  PointerMover mover(server_);
  auto client = startClient({R"({"waitForPictures": {"display": 0, "count": 10, "timeout": 30}})"}, "0.5");
  const auto [status, report] = finish(*client);
  ASSERT_EQ(status, 0) << client->output();

  const auto primary = stream(report, 0);
  EXPECT_GE(primary.value("picturesDecoded", 0), 10);
  EXPECT_EQ(primary.value("width", 0), 1280);
  EXPECT_EQ(primary.value("height", 0), 720);
  EXPECT_EQ(primary.value("decodeErrors", -1), 0);

  auto displays = announcedDisplays(report);
  ASSERT_EQ(displays.size(), 2u) << report.dump();
  EXPECT_EQ(displays["Left"].value("id", 0u), ids.at("Left"));
  EXPECT_EQ(displays["Left"].value("width", 0), 1920);
  EXPECT_EQ(displays["Left"].value("height", 0), 1080);
  EXPECT_TRUE(displays["Left"].value("isMain", false));
  EXPECT_EQ(displays["Right"].value("id", 0u), ids.at("Right"));
  EXPECT_EQ(displays["Right"].value("width", 0), 1280);
  EXPECT_EQ(displays["Right"].value("height", 0), 1024);
  EXPECT_FALSE(displays["Right"].value("isMain", true));

  EXPECT_TRUE(host->waitForLineContaining("startSingleDisplayStreaming: display=" + std::to_string(ids.at("Left")) +
                                          " 1280x720@60fps"))
      << host->output();
  EXPECT_EQ(host->terminate(), 0);
}

TEST_F(X11SessionTest, PointerKeysAndClipboardOfTheClientReachTheDesktop) {
  setMonitor(kLeftMonitor);
  setMonitor(kRightMonitor);
  const auto right = std::to_string(monitorIDs()["Right"]);
  // A 400x300 window at (200, 100) of the Right monitor, holding the keyboard focus.
  HostProcess recorder(VELMORA_X11_EVENT_RECORDER, {std::to_string(kRightMonitorX + 200), "100", "400", "300"},
                       environment(), true);
  ASSERT_TRUE(recorder.waitForLine("ready")) << recorder.output();
  auto host = startHost();

  // Coordinates are points from the top-left corner of the display switched to.
  auto client = startClient({R"({"waitForPictures": {"display": 0, "count": 1, "timeout": 30}})",
                             R"({"switchDisplay": {"displayID": )" + right + "}}",
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

  EXPECT_TRUE(recorder.waitForLine("motion 40 40", 30s)) << recorder.output();
  EXPECT_TRUE(recorder.waitForLine("buttonPress 1 50 50")) << recorder.output();
  EXPECT_TRUE(recorder.waitForLine("buttonRelease 1 50 50")) << recorder.output();
  EXPECT_TRUE(recorder.waitForLine("buttonPress 3 300 250")) << recorder.output();
  EXPECT_TRUE(recorder.waitForLine("buttonRelease 3 300 250")) << recorder.output();
  // The last key of the text; everything before it has been read by then.
  EXPECT_TRUE(recorder.waitForLineContaining("U+0021")) << recorder.output();
  EXPECT_EQ(typedText(recorder.lines()), "aHi \u00e9!") << recorder.output();

  const auto [status, report] = finish(*client);
  EXPECT_EQ(status, 0) << client->output();
  // Sent before the keys, but the selection may be taken over on a thread of the host's own.
  std::optional<std::string> pasted;
  for (const auto deadline = std::chrono::steady_clock::now() + 10s; std::chrono::steady_clock::now() < deadline;) {
    pasted = clipboard();
    if (pasted == "from the client \u00e9") {
      break;
    }
    std::this_thread::sleep_for(100ms);
  }
  EXPECT_EQ(pasted, "from the client \u00e9");
  EXPECT_EQ(host->terminate(), 0);
}

TEST_F(X11SessionTest, AMonitorAddedDuringASessionIsAnnouncedAndAPrimaryOneIsStreamed) {
  setMonitor(kLeftMonitor);
  auto host = startHost();
  PointerMover mover(server_);
  auto client = startClient({R"({"waitForPictures": {"display": 0, "count": 1, "timeout": 30}})",
                             R"({"waitForServerHellos": {"count": 3, "timeout": 60}})"},
                            "60");
  ASSERT_TRUE(host->waitForLineContaining("Resending ServerHello: 1920x1080, 1 displays")) << host->output();
  ASSERT_TRUE(client->waitForLineContaining("Display 0: decoding 1280x720 pictures", 30s)) << client->output();

  setMonitor("'*Right' 1280/340x1024/270+1920+0 none");
  const auto right = std::to_string(monitorIDs()["Right"]);
  EXPECT_TRUE(host->waitForLineContaining("didChangeScreenParameters — scheduling debounced rebuild (displays now=2)"))
      << host->output();
  const auto rebuildAt = host->lines().size();
  EXPECT_TRUE(host->waitForLineContaining("Rebuilding single-display pipeline after screen change")) << host->output();
  EXPECT_TRUE(sawEach(*host, rebuildAt,
                      {"Resending ServerHello: 1280x1024, 2 displays",
                       "startSingleDisplayStreaming: display=" + right + " 900x720@60fps"}))
      << host->output();
  // The stream goes on, from the new main display.
  ASSERT_TRUE(client->waitForLineContaining("Display 0: decoding 900x720 pictures", 30s)) << client->output();

  const auto [status, report] = stop(*client);
  EXPECT_EQ(status, 0) << client->output();
  EXPECT_GE(report.value("serverHellosReceived", 0), 3);
  auto displays = announcedDisplays(report);
  ASSERT_EQ(displays.size(), 2u) << report.dump();
  EXPECT_TRUE(displays["Right"].value("isMain", false));
  EXPECT_EQ(displays["Right"].value("width", 0), 1280);
  EXPECT_EQ(displays["Right"].value("height", 0), 1024);
  EXPECT_FALSE(displays["Left"].value("isMain", true));
  EXPECT_EQ(stream(report, 0).value("width", 0), 900);
  EXPECT_EQ(stream(report, 0).value("decodeErrors", -1), 0);
  EXPECT_EQ(host->terminate(), 0);
}

TEST_F(X11SessionTest, AMonitorRemovedDuringASessionIsAnnouncedAndStreamingGoesOn) {
  setMonitor(kLeftMonitor);
  setMonitor(kRightMonitor);
  const auto left = std::to_string(monitorIDs()["Left"]);
  auto host = startHost();
  // With the pointer still, the screen gives a picture or two: the last 20 can only come once
  // the pointer moves, which it does only after the rebuild.
  auto client = startClient({R"({"waitForPictures": {"display": 0, "count": 1, "timeout": 30}})",
                             R"({"waitForServerHellos": {"count": 3, "timeout": 60}})",
                             R"({"waitForPictures": {"display": 0, "count": 20, "timeout": 60}})"},
                            "0.5");
  ASSERT_TRUE(host->waitForLineContaining("Resending ServerHello: 1920x1080, 2 displays")) << host->output();
  ASSERT_TRUE(client->waitForLineContaining("Display 0: decoding 1280x720 pictures", 30s)) << client->output();

  xrandr("--delmonitor Right");
  EXPECT_TRUE(host->waitForLineContaining("didChangeScreenParameters — scheduling debounced rebuild (displays now=1)"))
      << host->output();
  const auto rebuildAt = host->lines().size();
  EXPECT_TRUE(host->waitForLineContaining("Rebuilding single-display pipeline after screen change")) << host->output();
  EXPECT_TRUE(sawEach(*host, rebuildAt,
                      {"Resending ServerHello: 1920x1080, 1 displays",
                       "startSingleDisplayStreaming: display=" + left + " 1280x720@60fps"}))
      << host->output();
  PointerMover mover(server_);

  const auto [status, report] = finish(*client);
  ASSERT_EQ(status, 0) << client->output();
  EXPECT_GE(report.value("serverHellosReceived", 0), 3);
  auto displays = announcedDisplays(report);
  ASSERT_EQ(displays.size(), 1u) << report.dump();
  EXPECT_TRUE(displays["Left"].value("isMain", false));
  EXPECT_GE(stream(report, 0).value("picturesDecoded", 0), 20);
  EXPECT_EQ(stream(report, 0).value("width", 0), 1280);
  EXPECT_EQ(stream(report, 0).value("decodeErrors", -1), 0);
  EXPECT_EQ(host->terminate(), 0);
}

// The capture of a monitor that goes away ends with an error before the screen change settles;
// the settled change must still rebuild on the remaining monitor and tell the client.
TEST_F(X11SessionTest, TheStreamedMonitorRemovedDuringASessionGivesWayToTheMainOne) {
  setMonitor(kLeftMonitor);
  setMonitor(kRightMonitor);
  const auto ids = monitorIDs();
  const auto left = std::to_string(ids.at("Left"));
  const auto right = std::to_string(ids.at("Right"));
  auto host = startHost();
  PointerMover mover(server_);
  auto client = startClient({R"({"waitForPictures": {"display": 0, "count": 1, "timeout": 30}})",
                             R"({"switchDisplay": {"displayID": )" + right + "}}",
                             R"({"waitForServerHellos": {"count": 3, "timeout": 30}})",
                             R"({"waitForServerHellos": {"count": 4, "timeout": 60}})"},
                            "60");
  ASSERT_TRUE(host->waitForLineContaining("startSingleDisplayStreaming: display=" + right + " 900x720@60fps", 30s))
      << host->output();
  ASSERT_TRUE(client->waitForLineContaining("Display 0: decoding 900x720 pictures", 30s)) << client->output();

  xrandr("--delmonitor Right");
  EXPECT_TRUE(host->waitForLineContaining("didChangeScreenParameters — scheduling debounced rebuild (displays now=1)"))
      << host->output();
  const auto changeAt = host->lines().size();
  EXPECT_TRUE(host->waitForLineContaining("Previously selected display " + right + " is gone — falling back to main"))
      << host->output();
  EXPECT_TRUE(sawEach(*host, changeAt,
                      {"Resending ServerHello: 1920x1080, 1 displays",
                       "startSingleDisplayStreaming: display=" + left + " 1280x720@60fps"}))
      << host->output();
  ASSERT_TRUE(client->waitForLineContaining("Display 0: decoding 1280x720 pictures", 30s)) << client->output();

  const auto [status, report] = stop(*client);
  EXPECT_EQ(status, 0) << client->output();
  EXPECT_GE(report.value("serverHellosReceived", 0), 4);
  auto displays = announcedDisplays(report);
  ASSERT_EQ(displays.size(), 1u) << report.dump();
  EXPECT_TRUE(displays["Left"].value("isMain", false));
  EXPECT_EQ(stream(report, 0).value("width", 0), 1280);
  EXPECT_EQ(host->terminate(), 0);
}

TEST_F(X11SessionTest, MultiDisplayStreamsBothMonitorsWithTheSecondaryAtThirtyFramesPerSecond) {
  setMonitor(kLeftMonitor);
  setMonitor(kRightMonitor);
  const auto ids = monitorIDs();
  auto host = startHost();
  PointerMover mover(server_);
  auto client = startClient({R"({"waitForPictures": {"display": 0, "count": 3, "timeout": 30}})",
                             R"({"setMultiDisplay": {"enabled": true}})",
                             R"({"waitForServerHellos": {"count": 3, "timeout": 30}})",
                             R"({"waitForPictures": {"display": 1, "count": 5, "timeout": 30}})"},
                            "0.5");
  const auto [status, report] = finish(*client);
  ASSERT_EQ(status, 0) << client->output();

  EXPECT_EQ(stream(report, 0).value("width", 0), 1280);
  EXPECT_EQ(stream(report, 0).value("height", 0), 720);
  EXPECT_GE(stream(report, 1).value("picturesDecoded", 0), 5);
  EXPECT_EQ(stream(report, 1).value("width", 0), 900);
  EXPECT_EQ(stream(report, 1).value("height", 0), 720);
  EXPECT_EQ(stream(report, 1).value("decodeErrors", -1), 0);
  EXPECT_EQ(announcedDisplays(report).size(), 2u) << report.dump();

  EXPECT_TRUE(host->waitForLineContaining("startAllDisplayStreaming: 2 displays")) << host->output();
  EXPECT_TRUE(host->waitForLineContaining("Pipeline[0] display=" + std::to_string(ids.at("Left")) + " 1280x720@60fps"))
      << host->output();
  EXPECT_TRUE(host->waitForLineContaining("Pipeline[1] display=" + std::to_string(ids.at("Right")) + " 900x720@30fps"))
      << host->output();
  EXPECT_EQ(host->terminate(), 0);
}

TEST_F(X11SessionTest, AMonitorRemovedInMultiDisplayModeLeavesTheOtherStreaming) {
  setMonitor(kLeftMonitor);
  setMonitor(kRightMonitor);
  const auto left = std::to_string(monitorIDs()["Left"]);
  auto host = startHost();
  // A still screen gives a picture per pipeline start: the last 20 of the first stream come only
  // once the pointer moves, which it does only after the rebuild.
  auto client = startClient({R"({"waitForPictures": {"display": 0, "count": 1, "timeout": 30}})",
                             R"({"setMultiDisplay": {"enabled": true}})",
                             R"({"waitForServerHellos": {"count": 3, "timeout": 30}})",
                             R"({"waitForPictures": {"display": 1, "count": 1, "timeout": 30}})",
                             R"({"waitForServerHellos": {"count": 4, "timeout": 60}})",
                             R"({"waitForPictures": {"display": 0, "count": 20, "timeout": 60}})"},
                            "0.5");
  ASSERT_TRUE(client->waitForLineContaining("Display 1: decoding 900x720 pictures", 30s)) << client->output();

  xrandr("--delmonitor Right");
  EXPECT_TRUE(host->waitForLineContaining("didChangeScreenParameters — scheduling debounced rebuild (displays now=1)"))
      << host->output();
  const auto rebuildAt = host->lines().size();
  EXPECT_TRUE(host->waitForLineContaining("Rebuilding multi-display pipelines after screen change")) << host->output();
  EXPECT_TRUE(sawEach(*host, rebuildAt,
                      {"Resending ServerHello: 1920x1080, 1 displays", "Pipeline[0] display=" + left + " 1280x720@60fps"}))
      << host->output();
  PointerMover mover(server_);

  const auto [status, report] = finish(*client);
  ASSERT_EQ(status, 0) << client->output();
  const auto displays = announcedDisplays(report);
  ASSERT_EQ(displays.size(), 1u) << report.dump();
  EXPECT_TRUE(displays.contains("Left"));
  EXPECT_GE(stream(report, 0).value("picturesDecoded", 0), 20);
  EXPECT_EQ(stream(report, 0).value("width", 0), 1280);
  EXPECT_EQ(stream(report, 0).value("decodeErrors", -1), 0);
  EXPECT_EQ(host->terminate(), 0);
}

}  // namespace
}  // namespace velmora
