#include "platform/qt/qt_tray_application.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>

namespace velmora {
namespace {

// Sets or unsets environment variables for one test and puts them back afterwards.
class ScopedEnvironment {
 public:
  ScopedEnvironment(std::initializer_list<std::pair<const char*, std::optional<std::string>>> values) {
    for (const auto& [name, value] : values) {
      const char* previous = std::getenv(name);
      previous_[name] = previous == nullptr ? std::nullopt : std::optional<std::string>(previous);
      set(name, value);
    }
  }
  ~ScopedEnvironment() {
    for (const auto& [name, value] : previous_) {
      set(name.c_str(), value);
    }
  }
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  static void set(const char* name, const std::optional<std::string>& value) {
    if (value) {
      setenv(name, value->c_str(), 1);
    } else {
      unsetenv(name);
    }
  }
  std::map<std::string, std::optional<std::string>> previous_;
};

TEST(GraphicalSessionTest, SaysWhyThereIsNone) {
  struct Case {
    std::optional<std::string> platform;
    std::optional<std::string> x11Display;
    std::string reason;
  };
  const Case cases[] = {
      {std::nullopt, std::nullopt, "neither $DISPLAY nor $WAYLAND_DISPLAY is set"},
      {std::nullopt, ":1999", "the X display :1999 does not open"},
      {"xcb", std::nullopt, "QT_QPA_PLATFORM is xcb but neither $DISPLAY nor $WAYLAND_DISPLAY is set"},
  };
  for (const auto& testCase : cases) {
    ScopedEnvironment environment{
        {"QT_QPA_PLATFORM", testCase.platform}, {"DISPLAY", testCase.x11Display}, {"WAYLAND_DISPLAY", std::nullopt}};
    const auto session = findGraphicalSession();
    ASSERT_FALSE(session.ok()) << testCase.reason;
    EXPECT_EQ(session.error(), testCase.reason);
  }
}

TEST(GraphicalSessionTest, APlatformTheUserChoseIsTakenAsItIs) {
  ScopedEnvironment environment{{"QT_QPA_PLATFORM", "offscreen"}, {"DISPLAY", std::nullopt}};
  const auto session = findGraphicalSession();
  ASSERT_TRUE(session.ok());
  EXPECT_EQ(session.value().platform, "");
}

TEST(QtTrayApplicationTest, RunsUntilAQuitSignalShutsItsQueueDown) {
  ScopedEnvironment environment{{"QT_QPA_PLATFORM", "offscreen"}};
  char name[] = "velmora-host";
  char* argv[] = {name, nullptr};
  auto application =
      QtTrayApplication::open(1, argv, {"/no/such/icon.png", "/no/such/app-icon.png", "/no/such/help.html"});
  ASSERT_TRUE(application.ok()) << application.error();
  auto& tray = *application.value();
  EXPECT_NE(tray.userInterface(), nullptr);
  EXPECT_NE(tray.permissionHelp(), nullptr);

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
