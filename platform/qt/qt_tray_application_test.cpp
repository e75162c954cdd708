#include "platform/qt/qt_tray_application.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <optional>
#include <string>

namespace velmora {
namespace {

// Each test of this program sets every variable it depends on, so none is put back.
void setEnvironment(const char* name, const std::optional<std::string>& value) {
  if (value) {
    setenv(name, value->c_str(), 1);
  } else {
    unsetenv(name);
  }
}

TEST(GraphicalSessionTest, APlatformTheUserChoseIsTakenAsItIsElseSaysWhyThereIsNone) {
  struct Case {
    std::optional<std::string> platform;
    std::optional<std::string> x11Display;
    std::optional<std::string> waylandDisplay;
    bool found;
    std::string expected;  // the platform to start when found, else the reason
  };
  const Case cases[] = {
      {std::nullopt, std::nullopt, std::nullopt, false, "neither $DISPLAY nor $WAYLAND_DISPLAY is set"},
      {std::nullopt, ":1999", std::nullopt, false, "the X display :1999 does not open"},
      {"xcb", std::nullopt, std::nullopt, false, "QT_QPA_PLATFORM is xcb but neither $DISPLAY nor $WAYLAND_DISPLAY is set"},
      {"offscreen", std::nullopt, std::nullopt, true, ""},
      // Needs qt6-wayland, which running the host needs in a Wayland session; a compositor that
      // answers is taken in the Wayland panel test.
      {std::nullopt, ":1999", "/nonexistent/wayland-1999", false,
       "the X display :1999 does not open and cannot connect to the Wayland compositor at "
       "/nonexistent/wayland-1999: No such file or directory"},
      {"wayland", std::nullopt, "/nonexistent/wayland-1999", false,
       "QT_QPA_PLATFORM is wayland but cannot connect to the Wayland compositor at /nonexistent/wayland-1999: No "
       "such file or directory"},
  };
  for (const auto& testCase : cases) {
    setEnvironment("QT_QPA_PLATFORM", testCase.platform);
    setEnvironment("DISPLAY", testCase.x11Display);
    setEnvironment("WAYLAND_DISPLAY", testCase.waylandDisplay);
    const auto session = findGraphicalSession();
    ASSERT_EQ(session.ok(), testCase.found) << testCase.expected;
    EXPECT_EQ(session.ok() ? session.value().platform : session.error(), testCase.expected);
  }
}

TEST(QtTrayApplicationTest, RunsUntilAQuitSignalShutsItsQueueDown) {
  setEnvironment("QT_QPA_PLATFORM", "offscreen");
  char name[] = "velmora-host";
  char* argv[] = {name, nullptr};
  auto application =
      QtTrayApplication::open(1, argv, {"/no/such/icon.png", "/no/such/app-icon.png", "/no/such/help.html"});
  ASSERT_TRUE(application.ok()) << application.error();
  auto& tray = *application.value();

  int received = 0;
  bool onMainThread = false;
  tray.onQuitSignal([&](int signal) {
    received = signal;
    onMainThread = tray.mainQueue().isCurrentThread();
    tray.mainQueue().shutdown();
  });
  tray.mainQueue().post([] { std::raise(SIGTERM); });
  tray.run();

  EXPECT_EQ(received, SIGTERM);
  EXPECT_TRUE(onMainThread);
}

}  // namespace
}  // namespace velmora
