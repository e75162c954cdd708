#include "platform/posix/file_change_watch.h"

#include "platform/posix/json_file_user_defaults.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace velmora {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The watch's calls, counted, and waited for.
class Calls {
 public:
  void record() {
    std::lock_guard lock(countLock_);
    ++count_;
    counted_.notify_all();
  }
  bool waitForMoreThan(int count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(countLock_);
    return counted_.wait_for(lock, timeout, [&] { return count_ > count; });
  }
  int count() {
    std::lock_guard lock(countLock_);
    return count_;
  }

 private:
  std::mutex countLock_;
  std::condition_variable counted_;
  int count_ = 0;
};

void write(const fs::path& path) { std::ofstream(path) << "{}\n"; }

class FileChangeWatchTest : public ::testing::Test {
 protected:
  ~FileChangeWatchTest() override { fs::remove_all(root_); }

  std::unique_ptr<FileChangeWatch> start(const fs::path& file) {
    auto started = FileChangeWatch::start(file, [this] { calls_.record(); });
    EXPECT_TRUE(started.ok()) << started.error();
    return started.ok() ? std::move(started.value()) : nullptr;
  }
  void writeDefaults() { JsonFileUserDefaults(file_).setStringArray("trustedClientIdentifiers", {"A"}); }

  fs::path root_ = [] {
    std::string pattern = (fs::temp_directory_path() / "velmora-watch-XXXXXX").string();
    return fs::path(::mkdtemp(pattern.data()));
  }();
  fs::path folder_ = root_ / "config" / "velmora";
  fs::path file_ = folder_ / "user-defaults.json";
  Calls calls_;
};

TEST_F(FileChangeWatchTest, CallsForTheFilesOwnChangesOnly) {
  struct Case {
    const char* name;
    bool fileExists;
    std::function<void()> act;
    bool calls;
  };
  const Case cases[] = {
      {"written through the user defaults", false, [&] { writeDefaults(); }, true},
      {"replaced through the user defaults", true, [&] { writeDefaults(); }, true},
      {"written in place", false, [&] { write(file_); }, true},
      {"renamed into place", true, [&] {
         write(folder_ / "new.json");
         fs::rename(folder_ / "new.json", file_);
       }, true},
      {"removed", true, [&] { fs::remove(file_); }, true},
      {"renamed away", true, [&] { fs::rename(file_, folder_ / "old.json"); }, true},
      {"its folder removed", false, [&] { fs::remove_all(folder_); }, true},
      {"another file written", true, [&] { write(folder_ / "other.json"); }, false},
      {"the hidden temporary file written", true, [&] { write(folder_ / ".user-defaults.json.tmp"); }, false},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    fs::remove_all(root_ / "config");
    if (test.fileExists) {
      writeDefaults();
    }
    const auto watch = start(file_);
    const int before = calls_.count();
    test.act();
    // A call that must not come is waited for briefly: one that came later would go unseen, never fail wrongly.
    EXPECT_EQ(calls_.waitForMoreThan(before, test.calls ? 10s : 300ms), test.calls);
  }
}

TEST_F(FileChangeWatchTest, MakesAMissingFolderPrivatelyAndWatchesItAgainAfterItIsRemoved) {
  const auto watch = start(file_);
  struct stat status {};
  ASSERT_EQ(::stat(folder_.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0700u);
  EXPECT_EQ(::stat(folder_.parent_path().c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0700u);

  fs::remove(folder_);
  ASSERT_TRUE(calls_.waitForMoreThan(0, 10s));
  EXPECT_TRUE(fs::is_directory(folder_)) << "made again before the call";
  const int before = calls_.count();
  writeDefaults();
  EXPECT_TRUE(calls_.waitForMoreThan(before, 10s));
}

TEST_F(FileChangeWatchTest, AFolderThatCannotBeMadeIsAnError) {
  fs::create_directories(root_);
  write(root_ / "plain");
  const auto started = FileChangeWatch::start(root_ / "plain" / "velmora" / "user-defaults.json", [] {});
  ASSERT_FALSE(started.ok());
  EXPECT_NE(started.error().find("could not create folder " + (root_ / "plain" / "velmora").string()),
            std::string::npos)
      << started.error();
}

TEST_F(FileChangeWatchTest, NoCallRunsOnceTheWatchIsDestroyedWhileEventsFlow) {
  std::atomic<bool> writing = true;
  fs::create_directories(folder_);
  std::thread writer([&] {
    while (writing) {
      write(file_);
    }
  });
  std::atomic<int> lateCalls = 0;
  for (int round = 0; round < 20; ++round) {
    auto alive = std::make_shared<std::atomic<bool>>(true);
    auto watch = FileChangeWatch::start(file_, [this, alive, &lateCalls] {
      lateCalls += *alive ? 0 : 1;
      calls_.record();
    });
    if (!watch.ok()) {
      ADD_FAILURE() << watch.error();
      break;
    }
    const bool called = calls_.waitForMoreThan(calls_.count(), 10s);
    watch.value().reset();
    *alive = false;
    if (!called) {
      ADD_FAILURE() << "no call while the file is written";
      break;
    }
  }
  writing = false;
  writer.join();
  EXPECT_EQ(lateCalls, 0);
}

}  // namespace
}  // namespace velmora
