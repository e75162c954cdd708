// Desktop notices against python3-dbusmock's notification daemon on a private session bus.
#include "platform/dbus/freedesktop_notifier.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "platform/log/log.h"
#include "platform/testing/child_process.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;

constexpr const char* kNotShown = "A desktop notice could not be shown";

class FreedesktopNotifierTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access("/usr/bin/dbus-daemon", X_OK) != 0 || access("/usr/lib/python3/dist-packages/dbusmock", R_OK) != 0) {
      GTEST_SKIP() << "needs dbus-daemon and python3-dbusmock";
    }
    char folder[] = "/tmp/velmora-notices-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    folder_ = folder;
    busAddress_ = "unix:path=" + folder_ + "/bus";
    bus_ = std::make_unique<ChildProcess>("/usr/bin/dbus-daemon", std::vector<std::string>{"--session", "--nofork", "--nosyslog",
                                                                                           "--address=" + busAddress_});
    ASSERT_TRUE(testing::eventually([&] { return std::filesystem::exists(folder_ + "/bus"); }));
  }

  void TearDown() override {
    server_.reset();
    bus_.reset();
    if (!folder_.empty()) {
      std::filesystem::remove_all(folder_);
    }
  }

  void startServer(const std::string& capabilities) {
    server_.reset();
    std::filesystem::remove(calls());
    server_ = std::make_unique<ChildProcess>(
        "/usr/bin/python3",
        std::vector<std::string>{"-m", "dbusmock", "--template", "notification_daemon", "-l", calls(), "-p",
                                 R"({"capabilities": ")" + capabilities + R"("})"},
        std::vector<std::string>{"DBUS_SESSION_BUS_ADDRESS=" + busAddress_});
    ASSERT_EQ(busctl("status org.freedesktop.Notifications", true), 0) << server_->output();
  }

  int busctl(const std::string& arguments, bool retry = false) const {
    const std::string command = "busctl --address='" + busAddress_ + "' " + arguments + " >/dev/null 2>&1";
    return std::system((retry ? "for i in $(seq 100); do " + command + " && exit 0; sleep 0.1; done; exit 1" : command).c_str());
  }

  void emitSignal(const std::string& name, const std::string& arguments) const {
    ASSERT_EQ(busctl("call org.freedesktop.Notifications /org/freedesktop/Notifications org.freedesktop.DBus.Mock "
                     "EmitSignal sssav org.freedesktop.Notifications " + name + " " + arguments),
              0);
  }

  std::string calls() const { return folder_ + "/calls"; }
  std::string callLog() const {
    std::stringstream text;
    text << std::ifstream(calls()).rdbuf();
    return text.str();
  }
  bool callLogged(const std::string& fragment, std::size_t times = 1) const {
    return testing::eventually([&] {
      const std::string log = callLog();
      std::size_t found = 0;
      for (auto at = log.find(fragment); at != std::string::npos; at = log.find(fragment, at + 1)) {
        ++found;
      }
      return found >= times;
    });
  }

  std::string folder_;
  std::string busAddress_;
  std::unique_ptr<ChildProcess> bus_;
  std::unique_ptr<ChildProcess> server_;
};

const DesktopNotice kNotice{"Ada's tablet is viewing and controlling this computer",
                            "From 192.0.2.7 <lab>",
                            {{"disconnect", "Disconnect"}, {"forget", "Forget This Device"}}};

TEST_F(FreedesktopNotifierTest, NoticeReachesTheServerAndItsActionComesBackOnce) {
  struct Case {
    const char* name;
    const char* capabilities;
    const char* sentBody;
    const char* sentActions;
  };
  const Case cases[] = {
      {"actions and markup", "actions body body-markup", "From 192.0.2.7 &lt;lab&gt;",
       R"(["disconnect", "Disconnect", "forget", "Forget This Device"])"},
      {"plain server", "body", "From 192.0.2.7 <lab>", "[]"},
  };
  for (const auto& testCase : cases) {
    SCOPED_TRACE(testCase.name);
    startServer(testCase.capabilities);
    std::mutex chosenLock;
    std::vector<std::string> chosen;
    auto notifier = makeFreedesktopNotifier(busAddress_);

    const auto record = [&](const std::string& key) {
      std::lock_guard lock(chosenLock);
      chosen.push_back(key);
    };
    const auto handle = notifier->show(kNotice, record);

    ASSERT_TRUE(callLogged("Notify \"Velmora\" 0 \"\" \"Ada's tablet is viewing and controlling this computer\" \"" +
                           std::string(testCase.sentBody) + "\" " + testCase.sentActions +
                           R"( {"urgency": 1, "desktop-entry": "velmora-host"} -1)"))
        << callLog();
    // The second notice's action comes after the first one's second: once it is in, both were heard.
    notifier->show(kNotice, record);
    ASSERT_TRUE(callLogged("Notify \"Velmora\" 0 \"\" \"Ada's tablet", 2)) << callLog();
    emitSignal("ActionInvoked", "us 2 u 1 s forget");
    emitSignal("ActionInvoked", "us 2 u 1 s disconnect");
    emitSignal("ActionInvoked", "us 2 u 2 s later");
    ASSERT_TRUE(testing::eventually([&] {
      std::lock_guard lock(chosenLock);
      return !chosen.empty() && chosen.back() == "later";
    }));
    notifier->withdraw(handle);
    EXPECT_TRUE(callLogged("CloseNotification 1")) << callLog();
    std::lock_guard lock(chosenLock);
    EXPECT_EQ(chosen, (std::vector<std::string>{"forget", "later"}));
  }
}

TEST_F(FreedesktopNotifierTest, WithdrawnBeforeTheServerAnsweredIsClosedOnceItsIdIsKnown) {
  startServer("actions");
  auto notifier = makeFreedesktopNotifier(busAddress_);
  notifier->show(kNotice, {});
  ASSERT_TRUE(callLogged("Notify \"Velmora\""));

  notifier->withdraw(notifier->show(kNotice, {}));

  EXPECT_TRUE(callLogged("CloseNotification 2")) << callLog();
}

// A new server numbers its notices from 1 again: an action on its id 1 is the new notice's.
TEST_F(FreedesktopNotifierTest, ActionOfARestartedServerReachesItsOwnNotice) {
  std::atomic<int> firstChosen = 0;
  std::atomic<int> secondChosen = 0;
  auto notifier = makeFreedesktopNotifier(busAddress_);
  startServer("actions");
  notifier->show(kNotice, [&](const std::string&) { ++firstChosen; });
  ASSERT_TRUE(callLogged("Notify \"Velmora\""));
  startServer("actions");
  notifier->show(kNotice, [&](const std::string&) { ++secondChosen; });
  ASSERT_TRUE(callLogged("Notify \"Velmora\""));

  emitSignal("ActionInvoked", "us 2 u 1 s disconnect");

  EXPECT_TRUE(testing::eventually([&] { return secondChosen == 1; }));
  EXPECT_EQ(firstChosen, 0);
}

// Whatever stands in the notice's way, show() returns at once and the notice costs one log line.
TEST_F(FreedesktopNotifierTest, UnreachableServerCostsOneLogLineAndNoWait) {
  enum class Obstacle { noBus, noServer, stoppedServer };
  const std::pair<const char*, Obstacle> cases[] = {
      {"no bus", Obstacle::noBus}, {"no server", Obstacle::noServer}, {"server stopped", Obstacle::stoppedServer}};
  for (const auto& [name, obstacle] : cases) {
    SCOPED_TRACE(name);
    if (obstacle == Obstacle::stoppedServer) {
      startServer("actions");
    }
    auto notifier = makeFreedesktopNotifier(obstacle == Obstacle::noBus ? "unix:path=" + folder_ + "/none" : busAddress_);
    if (obstacle == Obstacle::stoppedServer) {
      notifier->show(kNotice, {});
      ASSERT_TRUE(callLogged("Notify \"Velmora\""));
      server_->signal(SIGSTOP);
    }
    log::MemoryLogSink logs;

    const auto started = std::chrono::steady_clock::now();
    notifier->show(kNotice, {});
    const auto took = std::chrono::steady_clock::now() - started;

    EXPECT_LT(took, 200ms);
    EXPECT_TRUE(testing::eventually([&] { return logs.countContaining(kNotShown) > 0; }, 5s));
    std::this_thread::sleep_for(1500ms);  // a second line would come from a second timeout
    EXPECT_EQ(logs.countContaining(kNotShown), 1u);
    notifier.reset();
    server_.reset();
  }
}

}  // namespace
}  // namespace velmora
