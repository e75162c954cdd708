#include "platform/x11/x11_display_source.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

#include "platform/testing/xvfb_server.h"
#include "platform/x11/x11_connection.h"

#include <X11/Xlib.h>

namespace velmora {
namespace {

class X11DisplaySourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!server_.available()) {
      GTEST_SKIP() << "Xvfb is not available";
    }
    auto source = X11DisplaySource::open(server_.display());
    ASSERT_TRUE(source.ok()) << source.error();
    source_ = source.value();
  }

  void xrandr(const std::string& arguments) { ASSERT_EQ(server_.run("xrandr " + arguments + " >/dev/null"), 0) << arguments; }

  std::map<std::string, ScreenDescription> screensByName() const {
    std::map<std::string, ScreenDescription> screens;
    for (const auto& screen : source_->screens()) {
      screens.emplace(screen.name, screen);
    }
    return screens;
  }

  // The first monitor given the "screen" output replaces the automatic one; Right is the primary.
  void makeThreeMonitors() {
    xrandr("--setmonitor Left 1920/500x1080/300+0+1080 screen");
    xrandr("--setmonitor '*Right' 1920/500x1080/300+1920+1080 none");
    xrandr("--setmonitor Above 1280/330x1024/270+320+56 none");
  }

  velmora::testing::XvfbServer server_{3840, 2160};
  std::shared_ptr<X11DisplaySource> source_;
};

TEST_F(X11DisplaySourceTest, DisplayNumbersAreNonZeroDistinctAndStableAcrossCallsAndChanges) {
  makeThreeMonitors();
  const auto before = screensByName();
  std::set<std::uint32_t> numbers = {0};
  for (const auto& [name, screen] : before) {
    EXPECT_TRUE(numbers.insert(screen.displayID).second) << name << " has 0 or another's number";
  }
  numbers.erase(0);

  EXPECT_EQ(screensByName().at("Right").displayID, before.at("Right").displayID);
  xrandr("--delmonitor Above");
  xrandr("--delmonitor Right");
  xrandr("--setmonitor Right 1280/330x1024/270+1920+0 none");
  xrandr("--setmonitor Above 1280/330x1024/270+320+56 none");
  const auto after = screensByName();
  EXPECT_EQ(after.at("Right").displayID, before.at("Right").displayID) << "moved and resized";
  EXPECT_EQ(after.at("Above").displayID, before.at("Above").displayID) << "removed and made again";

  const auto active = source_->activeDisplayIDs();
  EXPECT_EQ(std::set<std::uint32_t>(active.begin(), active.end()), numbers);
}

TEST(X11DisplaySourceOpenTest, ADisplayThatCannotBeOpenedIsAnError) {
  const auto source = X11DisplaySource::open(":987");
  ASSERT_FALSE(source.ok());
  EXPECT_EQ(source.error(), "cannot open X display \":987\"");
}

// Xlib often places a new connection where a closed one was: a connection that was lost must not
// leave that address marked lost for the next one.
TEST(X11ConnectionTest, AConnectionOpenedAfterALostOneWasClosedIsUsable) {
  velmora::testing::XvfbServer alive(640, 480);
  if (!alive.available()) {
    GTEST_SKIP() << "Xvfb is not available";
  }
  for (int round = 0; round < 3; ++round) {
    auto doomedServer = std::make_unique<velmora::testing::XvfbServer>(640, 480);
    auto doomed = openX11Connection(doomedServer->display());
    ASSERT_TRUE(doomed.ok()) << doomed.error();
    doomedServer.reset();
    // Closing is what finds the loss here, as when the server goes while nobody is reading.
    doomed.value().reset();
    auto next = openX11Connection(alive.display());
    ASSERT_TRUE(next.ok()) << next.error();
    EXPECT_FALSE(x11ConnectionLost(next.value().get())) << "round " << round;
  }
}

}  // namespace
}  // namespace velmora
