#include "app/host_backends.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace velmora {
namespace {

TEST(HostBackendsTest, TheNamedFamilyMustOpenAndAutomaticTakesTheFirstThatDoes) {
  ::unsetenv("DISPLAY");
  HostOptions options;
  options.backend = Backend::x11;
  const auto x11 = chooseHostBackends(options);
  ASSERT_FALSE(x11.ok());
  EXPECT_TRUE(x11.error().starts_with("cannot use the X11 display: ")) << x11.error();

  for (const Backend backend : {Backend::automatic, Backend::virtualDisplays}) {
    options.backend = backend;
    const auto chosen = chooseHostBackends(options);
    ASSERT_TRUE(chosen.ok()) << chosen.error();
    EXPECT_EQ(chosen.value().displays->activeDisplayIDs().size(), 1u);
    EXPECT_FALSE(chosen.value().watchScreenChanges) << "virtual displays change only when the host changes them";
  }
}

}  // namespace
}  // namespace velmora
