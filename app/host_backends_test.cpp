#include "app/host_backends.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/testing/in_memory_user_defaults.h"

namespace velmora {
namespace {

TEST(HostBackendsTest, TheNamedFamilyMustOpenAndAutomaticTakesTheFirstThatDoes) {
  for (const char* variable : {"DISPLAY", "WAYLAND_DISPLAY", "XDG_SESSION_TYPE"}) {
    ::unsetenv(variable);
  }
  HostOptions options;
  options.backend = Backend::x11;
  testing::InMemoryUserDefaults userDefaults;
  const auto x11 = chooseHostBackends(options, userDefaults);
  ASSERT_FALSE(x11.ok());
  EXPECT_TRUE(x11.error().starts_with("cannot use the X11 display: ")) << x11.error();

  for (const Backend backend : {Backend::automatic, Backend::virtualDisplays}) {
    options.backend = backend;
    const auto chosen = chooseHostBackends(options, userDefaults);
    ASSERT_TRUE(chosen.ok()) << chosen.error();
    EXPECT_EQ(chosen.value().family, Backend::virtualDisplays) << "the family to open again is the one that opened";
    EXPECT_EQ(chosen.value().displays->activeDisplayIDs().size(), 1u);
    EXPECT_FALSE(chosen.value().watchScreenChanges) << "virtual displays change only when the host changes them";
  }
}

TEST(HostBackendsTest, AWaylandSessionIsNeverSharedThroughX11Silently) {
  struct Case {
    const char* name;
    bool waylandSession;
    Backend backend;
    bool virtualDisplaysGiven;
    bool wlrootsOpens;
    std::string tried;  // the families opened, in order; the last one is chosen on success
    std::string error;  // empty when a family was chosen
  };
  const std::string missing = "the compositor offers no zwlr_screencopy_manager_v1";
  const std::vector<Case> cases = {
      {"Wayland, wlroots works", true, Backend::automatic, false, true, "wlroots compositor;", ""},
      {"Wayland, nothing works", true, Backend::automatic, false, false, "wlroots compositor;",
       "this is a Wayland session and no Wayland backend works here (wlroots compositor: " + missing +
           "); --backend x11 would share only the windows of XWayland, --backend virtual displays of the host's own"},
      {"Wayland, virtual asked for", true, Backend::automatic, true, false, "wlroots compositor;virtual displays;", ""},
      {"Wayland, X11 forced", true, Backend::x11, false, false, "X11 display;", ""},
      {"X11 session", false, Backend::automatic, true, true, "X11 display;", ""},
      {"wlroots forced elsewhere", false, Backend::wlroots, false, false, "wlroots compositor;",
       "cannot use the wlroots compositor: " + missing},
  };
  for (const auto& testCase : cases) {
    std::string tried;
    const auto family = [&](Backend backend, const std::string& description, bool forWayland, bool opens) {
      return BackendFamily{backend, description, forWayland,
                           [&tried, description, opens, missing](const HostOptions&, UserDefaults&) {
                             tried += description + ";";
                             return opens ? Result<HostBackends>(HostBackends{})
                                          : Result<HostBackends>::failure(missing);
                           }};
    };
    HostOptions options;
    options.backend = testCase.backend;
    options.virtualDisplaysGiven = testCase.virtualDisplaysGiven;
    testing::InMemoryUserDefaults userDefaults;
    const auto chosen = chooseHostBackends(options, userDefaults, testCase.waylandSession,
                                           {family(Backend::wlroots, "wlroots compositor", true, testCase.wlrootsOpens),
                                            family(Backend::x11, "X11 display", false, true),
                                            family(Backend::virtualDisplays, "virtual displays", false, true)});
    EXPECT_EQ(tried, testCase.tried) << testCase.name;
    EXPECT_EQ(chosen.ok() ? "" : chosen.error(), testCase.error) << testCase.name;
  }

  EXPECT_TRUE(isWaylandSession("wayland-1", nullptr));
  EXPECT_TRUE(isWaylandSession("", "wayland"));
  EXPECT_FALSE(isWaylandSession("", "x11"));
  EXPECT_FALSE(isWaylandSession(nullptr, nullptr));
}

}  // namespace
}  // namespace velmora
