// The portal family against a stand-in of the portal's remote-desktop interface (python3-dbusmock
// with a template of ours), and the real portal's screen casts on a headless sway, on private buses.
#include "platform/portal/portal_desktop.h"

#include <gtest/gtest.h>
#include <linux/input-event-codes.h>

#include <atomic>
#include <fstream>
#include <iterator>

#include "platform/portal/testing/portal_stand_in_configuration.h"
#include "platform/testing/capture_stream_testing.h"
#include "platform/testing/child_process.h"
#include "platform/testing/desktop_session.h"
#include "platform/testing/in_memory_user_defaults.h"
#include "platform/wayland/testing/sway_compositor.h"

namespace velmora {
namespace {

using testing::ChildProcess;
using testing::DesktopSession;
using testing::SwayCompositor;

std::string readFile(const std::string& path) {
  std::ifstream file(path);
  return {std::istreambuf_iterator<char>(file), {}};
}

// The stand-in's log of calls, once it holds `expected` (or after a few seconds).
std::string callsOnceThere(const std::string& path, const std::string& expected) {
  testing::eventually([&] { return readFile(path).find(expected) != std::string::npos; });
  return readFile(path);
}

// RemoteDesktop version 2 (persist_mode and the restore token), which Debian's real portal lacks.
TEST(PortalDesktopTest, RestorableSessionWithTheStandIn) {
  DesktopSession desktop;
  if (!desktop.available() || access("/usr/lib/python3/dist-packages/dbusmock", R_OK) != 0) {
    GTEST_SKIP() << "needs dbus-daemon, PipeWire and python3-dbusmock";
  }
  const std::string calls = desktop.runtimeDirectory() + "/calls";
  ChildProcess standIn("/usr/bin/python3",
                       {"-m", "dbusmock", "--template", VELMORA_PORTAL_STAND_IN, "-l", calls, "-p", R"({"token": "next"})"},
                       desktop.environment());
  ASSERT_TRUE(desktop.waitForBusName("org.freedesktop.portal.Desktop"));
  testing::InMemoryUserDefaults defaults;
  defaults.setStringArray(kPortalRestoreTokenKey, {"kept"});
  PortalSessionOptions options;
  options.busAddress = desktop.busAddress();
  auto opened = openPortalDesktop(defaults, options);
  ASSERT_TRUE(opened) << opened.error();
  EXPECT_EQ(defaults.stringArray(kPortalRestoreTokenKey), std::vector<std::string>{"next"});
  EXPECT_NE(readFile(calls).find("SelectDevices \"/org/freedesktop/portal/desktop/session/stand_in/velmora1\" "
                                 R"({"handle_token": "velmora2", "types": 3, "persist_mode": 2, "restore_token": "kept"})"),
            std::string::npos)
      << readFile(calls);

  // Two monitors side by side; IDs from the streams' ids, so the same at every session.
  const auto screens = opened.value().displays->screens();
  ASSERT_EQ(screens.size(), 2u);
  EXPECT_EQ(screens[1].frame, (Rect{1280, 120, 800, 600}));
  EXPECT_EQ(opened.value().displays->mainDisplayID(), screens[0].displayID);
  EXPECT_NE(screens[0].displayID, screens[1].displayID);

  // Input: a point on the right monitor goes to its stream in its own coordinates.
  InputBackend& input = *opened.value().input;
  EXPECT_TRUE(input.isProcessTrusted());
  PointerEvent press;
  press.type = PointerEventType::leftMouseDown;
  press.location = {1300, 10};
  input.postPointerEvent(press);
  input.postScrollWheelEvent({ScrollUnit::line, 2, 0, 0});
  EXPECT_TRUE(input.postKeyboardEvent({0, true, EventFlags::shift}));  // "a" with shift
  input.postUnicodeString("é");
  const std::string expected[] = {
      " {} 42 dbus.Double(20.0) dbus.Double(10.0)", " {} " + std::to_string(BTN_LEFT) + " 1", "NotifyPointerAxisDiscrete", " {} 0 -2",
      "NotifyKeyboardKeysym", " {} 65505 1", "NotifyKeyboardKeycode", " {} " + std::to_string(KEY_A) + " 1",
      " {} 65505 0", " {} 233 1", " {} 233 0"};
  const std::string log = callsOnceThere(calls, " {} 233 0");
  std::size_t from = 0;
  for (const auto& part : expected) {
    from = log.find(part, from);
    ASSERT_NE(from, std::string::npos) << part << " in order in\n" << log;
  }
}

// The real xdg-desktop-portal in front of a stand-in of the desktop's own backend, so that the
// portal's requests, sessions, restricted PipeWire remote and forwarding of input are its own.
TEST(PortalDesktopTest, RealPortalInFrontOfAStandInBackend) {
  DesktopSession desktop;
  if (!desktop.available() || access("/usr/libexec/xdg-desktop-portal", X_OK) != 0 ||
      desktop.run("gst-inspect-1.0 pipewiresink >/dev/null 2>&1 && /usr/bin/python3 -c 'import dbus' 2>/dev/null") != 0) {
    GTEST_SKIP() << "needs PipeWire, xdg-desktop-portal, GStreamer's pipewiresink and python3-dbus";
  }
  const auto standIn = testing::configurePortalStandIn(desktop.runtimeDirectory());
  const std::string& backendName = standIn.backendName;
  auto environment = desktop.environment();
  environment.insert(environment.end(), standIn.environment.begin(), standIn.environment.end());
  for (const bool refuse : {true, false}) {
    SCOPED_TRACE(refuse ? "refused" : "allowed");
    const std::string calls = desktop.runtimeDirectory() + (refuse ? "/refused-calls" : "/allowed-calls");
    ChildProcess backend("/usr/bin/python3", {VELMORA_PORTAL_BACKEND_STAND_IN, backendName, calls, refuse ? "refuse" : "allow"},
                         environment);
    ASSERT_TRUE(desktop.waitForBusName(backendName)) << backend.output();
    ChildProcess portal("/usr/libexec/xdg-desktop-portal", {}, environment);
    ASSERT_TRUE(desktop.waitForBusName("org.freedesktop.portal.Desktop")) << portal.output();

    testing::InMemoryUserDefaults defaults;
    defaults.setStringArray(kPortalRestoreTokenKey, {"kept"});
    bool waitedForUser = false;
    PortalSessionOptions options;
    options.busAddress = desktop.busAddress();
    options.waitingForUser = [&] { waitedForUser = true; };
    auto opened = openPortalDesktop(defaults, options);
    EXPECT_TRUE(waitedForUser);
    // This portal cannot restore remote-desktop sessions: the token stays as it was.
    EXPECT_EQ(defaults.stringArray(kPortalRestoreTokenKey), std::vector<std::string>{"kept"});
    if (refuse) {
      ASSERT_FALSE(opened);
      EXPECT_NE(opened.error().find("the user refused to share the screen"), std::string::npos) << opened.error();
      continue;
    }
    ASSERT_TRUE(opened) << opened.error() << portal.output();
    const auto screens = opened.value().displays->screens();
    ASSERT_EQ(screens.size(), 1u);
    EXPECT_EQ(screens[0].frame, (Rect{0, 0, 320, 240}));

    auto receiver = std::make_shared<testing::CaptureReceiver>();
    auto stream = testing::startedStream(*opened.value().capture, screens[0].displayID,
                                         testing::captureConfiguration(320, 240), receiver);
    ASSERT_TRUE(receiver->waitForFrames(2));
    EXPECT_TRUE(testing::isNear(receiver->lastFrame().at(160, 120), {145, 54, 34}, 4)) << "green in the middle";
    EXPECT_EQ(testing::stopCapture(*stream), std::nullopt);

    PointerEvent press;
    press.type = PointerEventType::leftMouseDown;
    press.location = {10, 20};
    opened.value().input->postPointerEvent(press);
    EXPECT_TRUE(opened.value().input->postKeyboardEvent({0, true, 0}));  // "a"
    stream.reset();
    opened = Result<PortalDesktop>::failure("closed");  // the host's side of the session ends
    const std::string expected[] = {"SelectDevices types=3", "SelectSources cursor_mode=2 multiple=1 types=1",
                                    " 10.0 20.0", "NotifyPointerButton " + std::to_string(BTN_LEFT) + " 1",
                                    "NotifyKeyboardKeycode " + std::to_string(KEY_A) + " 1", "Session.Close"};
    // Not in order: the portal handles each call on a thread of its own, and under load forwards
    // one it already answered after the next (the host sends one at a time, which narrows this).
    for (const auto& part : expected) {
      EXPECT_NE(callsOnceThere(calls, part).find(part), std::string::npos) << part << " in\n" << readFile(calls);
    }
  }
}

// xdg-desktop-portal with its wlroots backend, set to share HEADLESS-1 without asking: a screen
// cast only (that backend has no remote desktop), whose frames come over PipeWire.
TEST(PortalDesktopTest, RealPortalCastsTheSwayOutput) {
  DesktopSession desktop;
  SwayCompositor sway({"output HEADLESS-1 resolution 640x480"});
  if (!desktop.available() || !sway.available() || access("/usr/libexec/xdg-desktop-portal-wlr", X_OK) != 0) {
    GTEST_SKIP() << "needs PipeWire, sway and xdg-desktop-portal-wlr";
  }
  const std::string config = desktop.runtimeDirectory() + "/portal-wlr.conf";
  std::ofstream(config) << "[screencast]\nchooser_type=none\noutput_name=HEADLESS-1\n";
  std::vector<std::string> environment{"WAYLAND_DISPLAY=" + sway.socketPath(), "XDG_CURRENT_DESKTOP=sway"};
  for (const auto& variable : desktop.environment()) {
    if (variable.rfind("WAYLAND_DISPLAY=", 0) != 0) {
      environment.push_back(variable);
    }
  }
  std::atomic<bool> noDmabuf = false;
  const auto watch = [&](const std::string& line) {
    noDmabuf = noDmabuf || line.find("unable to receive a valid format") != std::string::npos;
  };
  // Started before the portal, which would otherwise start it itself, without sway's socket.
  ChildProcess backend("/usr/libexec/xdg-desktop-portal-wlr", {"-l", "INFO", "-c", config}, environment, watch);
  ASSERT_TRUE(desktop.waitForBusName("org.freedesktop.impl.portal.desktop.wlr"));
  ChildProcess portal("/usr/libexec/xdg-desktop-portal", {}, environment);
  ASSERT_TRUE(desktop.waitForBusName("org.freedesktop.portal.Desktop"));

  testing::InMemoryUserDefaults defaults;
  PortalSessionOptions options;
  options.busAddress = desktop.busAddress();
  auto opened = openPortalDesktop(defaults, options);
  // The backend's own line may come a little after the portal's answer.
  if (!opened && (noDmabuf || backend.waitForLineContaining("unable to receive a valid format", std::chrono::seconds(3)))) {
    // xdg-desktop-portal-wlr 0.7 casts only where the compositor offers dmabuf screen copies,
    // which a sway without a GPU (the pixman renderer) does not.
    GTEST_SKIP() << "xdg-desktop-portal-wlr needs a compositor with a GPU renderer: " << opened.error();
  }
  ASSERT_TRUE(opened) << opened.error();
  EXPECT_FALSE(opened.value().input->isProcessTrusted());
  const auto displayIDs = opened.value().displays->activeDisplayIDs();
  ASSERT_EQ(displayIDs.size(), 1u);

  auto receiver = std::make_shared<testing::CaptureReceiver>();
  auto stream = opened.value().capture->makeStream(displayIDs[0], testing::captureConfiguration(640, 480), receiver);
  ASSERT_FALSE(stream->addStreamOutput(receiver, SampleOutputType::screen));
  ASSERT_EQ(testing::startCapture(*stream), std::nullopt);
  EXPECT_TRUE(receiver->waitForFrames(2));
  EXPECT_EQ(testing::stopCapture(*stream), std::nullopt);
}

}  // namespace
}  // namespace velmora
