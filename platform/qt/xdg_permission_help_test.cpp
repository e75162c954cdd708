#include "platform/qt/xdg_permission_help.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/testing/child_process.h"

namespace velmora {
namespace {

using testing::eventually;

std::string contents(const std::filesystem::path& file) {
  std::ifstream stream(file);
  return std::string(std::istreambuf_iterator<char>(stream), {});
}

class XdgPermissionHelpTest : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::create_directories(folder); }
  void TearDown() override { std::filesystem::remove_all(folder); }
  static std::vector<std::string> shellOpener(const std::string& script) { return {"/bin/sh", "-c", script}; }

  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("velmora-help-test-" + std::to_string(getpid()));
};

TEST_F(XdgPermissionHelpTest, AddressIsTheAbsolutePageWithThePermissionsAnchor) {
  EXPECT_EQ(XdgPermissionHelp::helpAddress("/usr/share/velmora/help page#1.html", PermissionKind::accessibility),
            "file:///usr/share/velmora/help%20page%231.html#accessibility");
  EXPECT_EQ(XdgPermissionHelp::helpAddress("help.html", PermissionKind::accessibility),
            "file://" + (std::filesystem::current_path() / "help.html").string() + "#accessibility");
}

TEST_F(XdgPermissionHelpTest, TheOpenerGetsTheAddressAndOnlyASuccessOrARunningOpenerCountsAsComingToTheFront) {
  const auto received = folder / "received";
  XdgPermissionHelp help("/srv/help.html", shellOpener("printf '%s' \"$0\" > " + received.string()));
  EXPECT_FALSE(help.lastOpenCameToFront()) << "nothing was opened yet";
  help.open(PermissionKind::screenRecording);
  ASSERT_TRUE(eventually([&] { return contents(received) == "file:///srv/help.html#screen-recording"; }));
  EXPECT_TRUE(help.lastOpenCameToFront());

  XdgPermissionHelp failing("/srv/help.html", shellOpener("exit 3"));
  failing.open(PermissionKind::accessibility);
  EXPECT_TRUE(eventually([&] { return !failing.lastOpenCameToFront(); }));
  XdgPermissionHelp missing("/srv/help.html", {(folder / "no-such-opener").string()});
  missing.open(PermissionKind::accessibility);
  EXPECT_FALSE(missing.lastOpenCameToFront());

  // An opener still running counts as in front; ended by a signal it is reaped and a failure.
  const auto pidFile = folder / "pid";
  XdgPermissionHelp running("/srv/help.html", shellOpener("echo $$ > " + pidFile.string() + "; exec sleep 60"));
  running.open(PermissionKind::accessibility);
  ASSERT_TRUE(eventually([&] { return contents(pidFile).find('\n') != std::string::npos; }));
  const pid_t opener = std::stoi(contents(pidFile));
  EXPECT_TRUE(running.lastOpenCameToFront());
  ::kill(opener, SIGTERM);
  // An ended process that nobody reaped (a zombie) keeps its /proc entry.
  EXPECT_TRUE(eventually([&] { return !std::filesystem::exists("/proc/" + std::to_string(opener)); }));
  EXPECT_TRUE(eventually([&] { return !running.lastOpenCameToFront(); }));
}

}  // namespace
}  // namespace velmora
