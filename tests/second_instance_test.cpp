// A second velmora-host quits before it opens any backend: in a GNOME session it asks mutter for
// no remote-desktop session (no sharing indicator), and with the desktop portal it opens no portal
// session (no approval dialog). The test holds the first instance's lock itself.
#include <unistd.h>

#include "platform/portal/testing/portal_stand_in_configuration.h"
#include "platform/posix/single_instance_lock.h"
#include "platform/testing/desktop_session.h"
#include "tests/support/session_harness.h"

namespace velmora::testing {
namespace {

using namespace std::chrono_literals;

class SecondInstanceTest : public SessionTest {
 protected:
  // As the host takes it with the test's home as its runtime folder.
  void holdTheLock() {
    lock_ = SingleInstanceLock::acquire(singleInstanceLockPath(home_.c_str(), getuid()));
    ASSERT_EQ(lock_.outcome, SingleInstanceLock::Outcome::acquired) << lock_.errorDescription;
  }

  // Runs a host in `desktop` that must quit as the second instance.
  void expectQuitsAsSecond(const DesktopSession& desktop, const std::vector<std::string>& arguments,
                           const std::vector<std::string>& moreEnvironment = {}) {
    auto environment = sessionEnvironment(home_);
    for (const auto& list : {desktop.environment(), moreEnvironment}) {
      environment.insert(environment.end(), list.begin(), list.end());
    }
    ChildProcess host(hostBinary(), arguments, environment);
    const auto status = host.waitForExit(30s);
    ASSERT_TRUE(status) << "the second instance did not quit\n" << host.output();
    EXPECT_EQ(*status, 0) << host.output();
    EXPECT_EQ(host.countLinesContaining("Another Velmora instance is already running"), 1u) << host.output();
  }

  SingleInstanceLock::Acquisition lock_;
};

TEST_F(SecondInstanceTest, InAGnomeSessionItAsksMutterForNoRemoteDesktopSession) {
  DesktopSession desktop({"1280x720"});
  if (!desktop.available()) {
    GTEST_SKIP() << "headless mutter cannot run here";
  }
  holdTheLock();
  // Every call to mutter's remote desktop as the bus delivers it; a property read marks a point in it.
  ChildProcess monitor("dbus-monitor", {"--session", "interface='org.gnome.Mutter.RemoteDesktop'",
                                        "destination='org.gnome.Mutter.RemoteDesktop'"},
                       desktop.environment());
  const auto markSeen = [&](std::chrono::seconds wait) {
    const auto from = monitor.lineCount();
    return desktop.run("busctl --user get-property org.gnome.Mutter.RemoteDesktop /org/gnome/Mutter/RemoteDesktop "
                       "org.gnome.Mutter.RemoteDesktop Version >/dev/null") == 0 &&
           monitor.waitForLineContaining("member=Get", wait, from);
  };
  // Marks made before the monitor is attached are never seen: mark again until one is.
  ASSERT_TRUE(eventually([&] { return markSeen(1s); })) << monitor.output();

  expectQuitsAsSecond(desktop, {"--headless"});
  ASSERT_TRUE(markSeen(10s)) << monitor.output();
  EXPECT_EQ(monitor.countLinesContaining("member=CreateSession"), 0u) << monitor.output();
}

TEST_F(SecondInstanceTest, WithTheDesktopPortalItOpensNoPortalSession) {
  DesktopSession desktop;
  if (!desktop.available() || access("/usr/libexec/xdg-desktop-portal", X_OK) != 0 ||
      desktop.run("/usr/bin/python3 -c 'import dbus' 2>/dev/null") != 0) {
    GTEST_SKIP() << "needs PipeWire, xdg-desktop-portal and python3-dbus";
  }
  // The real portal in front of a backend that logs each call and approves at once.
  const auto standIn = configurePortalStandIn(desktop.runtimeDirectory());
  const std::string& backendName = standIn.backendName;
  const std::vector<std::string>& portalEnvironment = standIn.environment;
  auto environment = desktop.environment();
  environment.insert(environment.end(), portalEnvironment.begin(), portalEnvironment.end());
  const std::string calls = desktop.runtimeDirectory() + "/calls";
  ChildProcess backend("/usr/bin/python3", {VELMORA_PORTAL_BACKEND_STAND_IN, backendName, calls, "allow"}, environment);
  ChildProcess portal("/usr/libexec/xdg-desktop-portal", {}, environment);
  ASSERT_TRUE(desktop.waitForBusName(backendName) && desktop.waitForBusName("org.freedesktop.portal.Desktop"))
      << backend.output() << portal.output();
  holdTheLock();

  expectQuitsAsSecond(desktop, {"--headless", "--backend", "portal"}, portalEnvironment);
  EXPECT_EQ(readFile(calls).find("CreateSession"), std::string::npos) << readFile(calls);
}

}  // namespace
}  // namespace velmora::testing
