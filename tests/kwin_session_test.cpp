// The real velmora-host in a KDE session (no backend option) on a headless KWin with two virtual
// outputs, driven by the real velmora-client. Runs in a network namespace of its own (see
// CMakeLists.txt) because the host's ports are fixed. Headless KWin records no output picture
// (its virtual outputs never report a presented frame), so these tests check everything but the
// pictures.
#include "platform/desktop/display_identity.h"
#include "platform/kwin/testing/kwin_compositor.h"
#include "platform/portal/testing/portal_stand_in_configuration.h"
#include "tests/support/session_harness.h"

namespace velmora::testing {
namespace {

using namespace std::chrono_literals;
using Json = nlohmann::json;

// The host's desktop entry as the package installs it, naming this build's host: KWin offers its
// interfaces to the program an installed entry names and only those the entry lists.
std::string installedHostEntry() {
  std::istringstream built(readFile(VELMORA_HOST_DESKTOP_ENTRY));
  std::string entry;
  for (std::string line; std::getline(built, line);) {
    entry += (line.starts_with("Exec=") ? "Exec=" + hostBinary() : line) + "\n";
  }
  return entry;
}

class KwinSessionTest : public SessionTest {
 protected:
  explicit KwinSessionTest(KwinCompositor::Options options = {.trustEveryClient = false,
                                                              .installedEntry = installedHostEntry()})
      : kwin_(std::move(options)) {}

  void SetUp() override {
    if (!kwin_.available()) {
      GTEST_SKIP() << "headless KWin cannot run here: " << kwin_.unavailableReason();
    }
    SessionTest::SetUp();
  }

  // The host's own XDG_RUNTIME_DIR is its home: KWin's and PipeWire's sockets are named in full.
  // The first of two settings of a variable counts: `environment` comes before KWin's session's.
  std::unique_ptr<HostUnderTest> startHost(const std::string& sharing, std::vector<std::string> environment = {}) {
    // KWin's virtual outputs crash KWin when the pointer moves over a stream with the cursor drawn in.
    environment.insert(environment.begin(), {"WAYLAND_DISPLAY=" + kwin_.socketPath(),
                                             "PIPEWIRE_RUNTIME_DIR=" + kwin_.runtimeDirectory(),
                                             "VELMORA_TEST_KWIN_HIDDEN_CURSOR=1"});
    const auto kwinEnvironment = kwin_.environment();
    environment.insert(environment.end(), kwinEnvironment.begin(), kwinEnvironment.end());
    auto host = std::make_unique<HostUnderTest>(home_, std::vector<std::string>{"--headless"}, environment);
    EXPECT_TRUE(host->ready()) << host->process().output();
    EXPECT_TRUE(host->process().waitForLineContaining(sharing, 30s, 0)) << host->process().output();
    return host;
  }

  KwinCompositor kwin_;
};

TEST_F(KwinSessionTest, TheHostPicksKwinAndTakesInputAndTheClipboard) {
  ChildProcess recorder(VELMORA_WAYLAND_POINTER_RECORDER, {"1"}, kwin_.environment());
  ASSERT_TRUE(recorder.waitForLineContaining("size 1280 720", 30s)) << recorder.output();
  auto host = startHost("Sharing the outputs of KWin");

  std::string large;  // about as much as one control frame carries
  for (int line = 0; large.size() < 960'000; ++line) {
    large += "line " + std::to_string(line) + " äöü\n";
  }
  // Points from the top-left corner of Virtual-1, switched to; the click gives the recorder the
  // keyboard, and "Ω" is not on the "us" layout.
  const auto at = R"({"x": 100, "y": 50)";
  auto client = startClient(
      home_, "script",
      {R"({"sleep": 1})", R"({"switchDisplay": {"displayID": )" + std::to_string(displayIDForName("Virtual-1")) + "}}",
       R"({"mouseDown": )" + std::string(at) + R"(, "button": 0}})", R"({"mouseUp": )" + std::string(at) + R"(, "button": 0}})",
       R"({"sleep": 1})", Json{{"keyTyped", {{"text", "Hi Ω!"}}}}.dump(),
       Json{{"clipboardSync", {{"content", large}}}}.dump(), R"({"sleep": 2})"},
      {"--code", host->code(), "--duration", "5"});
  for (const char* event : {" 100 50", "button 272 1", "button 272 0", "text H", "text i", "text !"}) {
    ASSERT_TRUE(recorder.waitForLineContaining(event, 30s))
        << event << "\n" << recorder.output() << client->output() << host->process().output();
  }
  EXPECT_EQ(finishClient(*client).status, 0) << client->output();
  EXPECT_EQ(kwin_.output("timeout 5 wl-paste --no-newline"), large);
  EXPECT_TRUE(host->process().waitForLineContaining("Cannot type these characters", 5s, 0)) << host->process().output();

  EXPECT_EQ(host->terminate(), 0);
}

TEST_F(KwinSessionTest, BothOutputsAreAnnouncedAndAnOutputDisabledOrEnabledIsAnnouncedAgain) {
  auto host = startHost("Sharing the outputs of KWin");
  auto client = startClient(home_, "script", {}, {"--code", host->code(), "--duration", "60"});
  ASSERT_TRUE(client->waitForLineContaining("Receiving for", 30s)) << client->output();
  for (const auto& [change, displays] : {std::pair{"disable", "1 display(s)"}, std::pair{"enable", "2 display(s)"}}) {
    const auto from = client->lineCount();
    ASSERT_EQ(kwin_.run(std::string(VELMORA_KWIN_OUTPUT_SWITCH) + " Virtual-1 " + change), 0);
    EXPECT_TRUE(client->waitForLineContaining(std::string("ServerHello again: screen 1280x720, ") + displays, 10s, from))
        << host->process().output() << client->output();
  }
  // Both again, in KWin's order, in points, KWin's primary first.
  const auto [status, report] = stopClient(*client);
  EXPECT_EQ(status, 0) << client->output();
  const auto displays = report.value("serverHello", Json::object()).value("displays", Json::array());
  ASSERT_EQ(displays.size(), 2u) << report.dump();
  expectDisplays(displays, {{"Virtual-0", displayIDForName("Virtual-0"), 1280, 720},
                            {"Virtual-1", displayIDForName("Virtual-1"), 1280, 720}});
  EXPECT_EQ(host->terminate(), 0);
}

// Without an installed desktop entry (a host run from its build folder) KWin withholds its
// interfaces, and the host says so once and goes on to the portal: the real one (in the test set,
// as python3-dbus is), in front of a backend that approves at once and shares a test picture.
class KwinWithheldTest : public KwinSessionTest {
 protected:
  KwinWithheldTest() : KwinSessionTest({.trustEveryClient = false, .installedEntry = {}}) {}

  std::unique_ptr<HostUnderTest> startPortalHost(std::vector<std::string> hostEnvironment = {}) {
    const auto standIn = configurePortalStandIn(kwin_.runtimeDirectory());
    auto environment = standIn.environment;
    const auto kwinEnvironment = kwin_.environment();
    environment.insert(environment.end(), kwinEnvironment.begin(), kwinEnvironment.end());
    // The portal reads what the backend offers when it starts: the backend comes first.
    backend_ = std::make_unique<ChildProcess>(
        "/usr/bin/python3",
        std::vector<std::string>{VELMORA_PORTAL_BACKEND_STAND_IN, standIn.backendName,
                                 kwin_.runtimeDirectory() + "/calls", "allow"},
        environment);
    EXPECT_TRUE(kwin_.waitForBusName(standIn.backendName)) << backend_->output();
    portal_ = std::make_unique<ChildProcess>("/usr/libexec/xdg-desktop-portal", std::vector<std::string>{}, environment);
    EXPECT_TRUE(kwin_.waitForBusName("org.freedesktop.portal.Desktop")) << portal_->output();

    hostEnvironment.insert(hostEnvironment.end(), standIn.environment.begin(), standIn.environment.end());
    auto host = startHost("Sharing the monitors of the desktop portal's session", hostEnvironment);
    EXPECT_EQ(host->process().countLinesContaining(
                  "KWin does not offer org_kde_kwin_fake_input, zkde_screencast_unstable_v1 to this program; install "
                  "it, or use --backend portal"),
              1u)
        << host->process().output() << portal_->output() << backend_->output();
    return host;
  }

  std::unique_ptr<ChildProcess> backend_;
  std::unique_ptr<ChildProcess> portal_;
};

// The desktop's "stop sharing" ends the client's session and the host, which must not ask again
// (nor restore the approval unasked): it quits with the status that keeps systemd from restarting it.
TEST_F(KwinWithheldTest, TheDesktopEndingTheSharingEndsTheClientsSessionAndTheHost) {
  auto host = startPortalHost();
  auto client = startClient(home_, "script", {}, {"--code", host->code(), "--duration", "60"});
  ASSERT_TRUE(client->waitForLineContaining("Receiving for", 30s)) << client->output();
  backend_->signal(SIGUSR1);
  ASSERT_TRUE(client->waitForExit(15s)) << "the client's session outlived the sharing\n" << client->output();
  EXPECT_EQ(host->process().waitForExit(15s), 0) << host->process().output();
  EXPECT_EQ(host->process().countLinesContaining("The desktop ended the screen sharing (the desktop portal closed the"),
            1u) << host->process().output();
}

// The portal says nothing when KWin ends under its session; the host notices KWin itself.
TEST_F(KwinWithheldTest, KwinEndingUnderThePortalIsTheDesktopsLoss) {
  auto host = startPortalHost({"VELMORA_TEST_DESKTOP_RETURN_SECONDS=1"});
  kwin_.kwin()->signal(SIGKILL);
  EXPECT_EQ(host->process().waitForExit(30s), 3) << "the host must end when KWin stays away\n"
                                                 << host->process().output();
  EXPECT_EQ(host->process().countLinesContaining("The desktop went away (lost the Wayland compositor"), 1u)
      << host->process().output();
}

}  // namespace
}  // namespace velmora::testing
