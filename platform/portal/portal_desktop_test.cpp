// The portal family against a stand-in of the portal's remote-desktop interface (python3-dbusmock
// with a template of ours), on a private bus.
#include "platform/portal/portal_desktop.h"

#include <gtest/gtest.h>
#include <linux/input-event-codes.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "platform/testing/child_process.h"
#include "platform/testing/desktop_session.h"
#include "platform/testing/in_memory_user_defaults.h"

namespace velmora {
namespace {

using testing::ChildProcess;
using testing::DesktopSession;

std::string readFile(const std::string& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// The stand-in's log of calls, once it holds `expected` (or after a few seconds).
std::string callsOnceThere(const std::string& path, const std::string& expected) {
  for (int attempt = 0; attempt < 100 && readFile(path).find(expected) == std::string::npos; ++attempt) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return readFile(path);
}

TEST(PortalDesktopTest, SessionWithTheStandIn) {
  struct Case {
    const char* name;
    std::string parameters;
    std::string expectedError;
    std::string selectDevices;   // the options SelectDevices carried
    std::string tokenAfterward;  // the token kept in the user defaults
  };
  const std::vector<Case> cases = {
      {"restorable", R"({"version": 2, "token": "next"})", "",
       R"({"handle_token": "velmora2", "types": 3, "persist_mode": 2, "restore_token": "kept"})", "next"},
      {"asks every time", R"({"version": 1})", "", R"({"handle_token": "velmora2", "types": 3})", "kept"},
      {"refused", R"({"version": 2, "refuse": true})", "the user refused to share the screen", "", "kept"},
  };
  DesktopSession desktop;
  if (!desktop.available() || access("/usr/lib/python3/dist-packages/dbusmock", R_OK) != 0) {
    GTEST_SKIP() << "needs dbus-daemon, PipeWire and python3-dbusmock";
  }
  std::uint32_t firstLeftID = 0;
  for (const auto& testCase : cases) {
    SCOPED_TRACE(testCase.name);
    const std::string calls = desktop.runtimeDirectory() + "/calls-" + std::to_string(&testCase - cases.data());
    ChildProcess standIn("/usr/bin/python3",
                         {"-m", "dbusmock", "--template", VELMORA_PORTAL_STAND_IN, "-l", calls, "-p", testCase.parameters},
                         desktop.environment());
    ASSERT_EQ(desktop.run("for i in $(seq 100); do busctl --user status org.freedesktop.portal.Desktop >/dev/null 2>&1 "
                          "&& exit 0; sleep 0.1; done; exit 1"),
              0);
    testing::InMemoryUserDefaults defaults;
    defaults.setStringArray(kPortalRestoreTokenKey, {"kept"});
    bool waitedForUser = false;
    PortalSessionOptions options;
    options.busAddress = desktop.busAddress();
    options.waitingForUser = [&] { waitedForUser = true; };
    auto opened = openPortalDesktop(defaults, options);

    EXPECT_TRUE(waitedForUser);
    EXPECT_EQ(defaults.stringArray(kPortalRestoreTokenKey), std::vector<std::string>{testCase.tokenAfterward});
    if (!testCase.expectedError.empty()) {
      ASSERT_FALSE(opened);
      EXPECT_NE(opened.error().find(testCase.expectedError), std::string::npos) << opened.error();
      continue;
    }
    ASSERT_TRUE(opened) << opened.error();
    EXPECT_NE(readFile(calls).find("SelectDevices \"/org/freedesktop/portal/desktop/session/stand_in/velmora1\" " +
                                   testCase.selectDevices),
              std::string::npos)
        << readFile(calls);

    // Two monitors side by side; IDs from the streams' ids, so the same at every session.
    const auto screens = opened.value().displays->screens();
    ASSERT_EQ(screens.size(), 2u);
    EXPECT_EQ(screens[1].frame, (Rect{1280, 0, 800, 600}));
    EXPECT_EQ(opened.value().displays->mainDisplayID(), screens[0].displayID);
    EXPECT_NE(screens[0].displayID, screens[1].displayID);
    EXPECT_TRUE(firstLeftID == 0 || firstLeftID == screens[0].displayID);
    firstLeftID = screens[0].displayID;

    // Input: a point on the right monitor goes to its stream in its own coordinates.
    InputBackend& input = *opened.value().input;
    EXPECT_TRUE(input.isProcessTrusted(false));
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
}

}  // namespace
}  // namespace velmora
