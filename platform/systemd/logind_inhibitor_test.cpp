#include "platform/systemd/logind_inhibitor.h"

#include "platform/log/log.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

extern char** environ;

namespace velmora {
namespace {

constexpr const char* kReason = "Velmora companion server must keep running";

void pointSystemBusAtNothing() {
  setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/velmora-test-bus", 1);
}

// A message bus of the test's own, on which no logind runs; stopped with the test.
class PrivateBus {
 public:
  PrivateBus() {
    std::string pattern = (std::filesystem::temp_directory_path() / "velmora-bus-XXXXXX").string();
    folder_ = ::mkdtemp(pattern.data());
    int addressPipe[2];
    if (::pipe(addressPipe) != 0) {
      return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, addressPipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, addressPipe[0]);
    const std::string listen = "--address=unix:path=" + (folder_ / "bus").string();
    const char* arguments[] = {"dbus-daemon", "--session", "--nofork", "--print-address", listen.c_str(), nullptr};
    if (posix_spawnp(&daemon_, "dbus-daemon", &actions, nullptr, const_cast<char**>(arguments), environ) != 0) {
      daemon_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(addressPipe[1]);

    // The daemon prints its address once it listens; end of file means it did not start.
    char character = 0;
    while (::read(addressPipe[0], &character, 1) == 1 && character != '\n') {
      address_ += character;
    }
    ::close(addressPipe[0]);
  }
  ~PrivateBus() {
    if (daemon_ > 0) {
      ::kill(daemon_, SIGTERM);
      ::waitpid(daemon_, nullptr, 0);
    }
    std::filesystem::remove_all(folder_);
  }
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  const std::string& address() const { return address_; }

 private:
  std::filesystem::path folder_;
  pid_t daemon_ = -1;
  std::string address_;
};

TEST(LogindInhibitorTest, WithoutSystemBusFailsWithADescription) {
  pointSystemBusAtNothing();
  auto taken = LogindInhibitor::take(InhibitorRequest{.why = kReason});
  ASSERT_FALSE(taken.ok());
  EXPECT_NE(taken.error().find("no system bus"), std::string::npos) << taken.error();
}

TEST(LogindInhibitorTest, OnABusWithoutLogindFailsWithTheBusError) {
  PrivateBus bus;
  if (bus.address().empty()) {
    GTEST_SKIP() << "dbus-daemon could not be started";
  }
  setenv("DBUS_SYSTEM_BUS_ADDRESS", bus.address().c_str(), 1);

  auto taken = LogindInhibitor::take(InhibitorRequest{.why = kReason});
  ASSERT_FALSE(taken.ok());
  EXPECT_NE(taken.error().find("logind refused the inhibitor lock: org.freedesktop.DBus.Error"), std::string::npos)
      << taken.error();
}

TEST(LogindTerminationControllerTest, WithoutLogindLogsOnceAndKeepsGoing) {
  pointSystemBusAtNothing();
  log::MemoryLogSink logs;
  LogindTerminationController controller(kReason);

  EXPECT_TRUE(controller.automaticTerminationSupportEnabled());
  controller.setAutomaticTerminationSupportEnabled(false);
  controller.disableAutomaticTermination(kReason);
  controller.disableSuddenTermination();

  EXPECT_FALSE(controller.automaticTerminationSupportEnabled());
  EXPECT_FALSE(controller.holdsInhibitor());
  ASSERT_EQ(logs.countContaining("Cannot keep the system from idling or sleeping — no system bus"), 1u);
  for (const auto& line : logs.lines()) {
    EXPECT_EQ(line.category, "AppDelegate");
    EXPECT_EQ(line.level, log::Level::notice);
  }
}

}  // namespace
}  // namespace velmora
