#include "platform/posix/json_file_user_defaults.h"

#include "platform/log/log.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <random>
#include <thread>

namespace velmora {
namespace {

const std::string kKey = "trustedClientIdentifiers";

std::string readFile(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

void writeFile(const std::filesystem::path& path, const std::string& contents) {
  std::ofstream(path, std::ios::binary) << contents;
}

std::vector<std::string> folderEntries(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

class JsonFileUserDefaultsTest : public ::testing::Test {
 protected:
  ~JsonFileUserDefaultsTest() override { std::filesystem::remove_all(root_); }

  std::filesystem::path root_ = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "velmora-defaults-XXXXXX").string();
    return std::filesystem::path(::mkdtemp(pattern.data()));
  }();
  std::filesystem::path folder_ = root_ / "config" / "velmora";
  std::filesystem::path file_ = folder_ / "user-defaults.json";
  log::MemoryLogSink logs_;
};

TEST_F(JsonFileUserDefaultsTest, RoundTripCreatesPrivateFolderAndKeepsOtherKeys) {
  JsonFileUserDefaults defaults(file_);
  EXPECT_EQ(defaults.stringArray(kKey), std::nullopt) << "a missing file reads as empty";

  ASSERT_TRUE(defaults.setStringArray(kKey, {"alpha", "b\xC3\xA9ta"}));
  EXPECT_EQ(std::filesystem::status(folder_).permissions() & std::filesystem::perms::all, std::filesystem::perms::owner_all);
  auto onDisk = nlohmann::json::parse(readFile(file_));
  onDisk["windowPosition"] = {{"x", 3}};
  writeFile(file_, onDisk.dump());  // as another process would

  ASSERT_TRUE(defaults.setStringArray(kKey, {"alpha", "b\xC3\xA9ta", "gamma"}));
  EXPECT_EQ(defaults.stringArray(kKey), (std::vector<std::string>{"alpha", "b\xC3\xA9ta", "gamma"}));
  EXPECT_EQ(nlohmann::json::parse(readFile(file_))["windowPosition"]["x"], 3);
  ASSERT_TRUE(defaults.setStringArray(kKey, {}));
  EXPECT_EQ(defaults.stringArray(kKey), std::vector<std::string>{}) << "empty, not absent";
  EXPECT_EQ(folderEntries(folder_), std::vector<std::string>{"user-defaults.json"});
  EXPECT_EQ(logs_.lines().size(), 0u);
}

// A value of another type reads as absent; a file that is not a JSON object is also logged and
// set aside, without overwriting an earlier copy, before the first write replaces it.
TEST_F(JsonFileUserDefaultsTest, UnusableContentsReadAsAbsentAndCorruptFilesAreSetAside) {
  const std::pair<std::string, bool> cases[] = {
      {R"({"other": ["x"]})", false},
      {R"({"trustedClientIdentifiers": ["x", 2]})", false},
      {"not json", true},
      {"[\"a\", \"b\"]", true},
      {"{\"bad\": \"\xFF\"}", true},
  };
  std::filesystem::create_directories(folder_);
  for (const auto& [contents, corrupt] : cases) {
    SCOPED_TRACE(contents);
    std::filesystem::remove(file_.string() + ".corrupt.1");
    writeFile(file_.string() + ".corrupt", "earlier");
    writeFile(file_, contents);
    JsonFileUserDefaults defaults(file_);
    logs_.clear();

    EXPECT_EQ(defaults.stringArray(kKey), std::nullopt);
    EXPECT_EQ(logs_.countContaining("is not a JSON object; treating it as empty"), corrupt ? 1u : 0u);
    ASSERT_TRUE(defaults.setStringArray(kKey, {"fresh"}));
    EXPECT_EQ(readFile(file_.string() + ".corrupt"), "earlier");
    EXPECT_EQ(readFile(file_.string() + ".corrupt.1"), corrupt ? contents : "");
    EXPECT_EQ(defaults.stringArray(kKey), std::vector<std::string>{"fresh"});
  }
}

TEST_F(JsonFileUserDefaultsTest, FailedWritesReturnFalseLogAndKeepTheOldFileWhole) {
  std::filesystem::create_directories(folder_);
  const std::string original = R"({"trustedClientIdentifiers": ["kept"]})";
  writeFile(file_, original);

  // A string that is not UTF-8 cannot be stored as JSON.
  JsonFileUserDefaults defaults(file_);
  EXPECT_FALSE(defaults.setStringArray(kKey, {"bad \xFF"}));
  EXPECT_EQ(logs_.countContaining("Could not encode user defaults"), 1u);

  // In a child process, files may not grow past 1 KiB: the write fails as on a full disk.
  const auto writeWithFileSizeLimit = [&] {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{1024, 1024};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    return defaults.setStringArray(kKey, std::vector<std::string>(100, "a-long-client-identifier"));
  };
  EXPECT_EXIT(std::exit(writeWithFileSizeLimit() ? 1 : 0), ::testing::ExitedWithCode(0),
              "Could not write user defaults to .*: File too large");

  EXPECT_EQ(readFile(file_), original);
  EXPECT_EQ(folderEntries(folder_), std::vector<std::string>{"user-defaults.json"});
}

TEST_F(JsonFileUserDefaultsTest, WriterKilledAtRandomMomentsLeavesOneWholeVersionAndAtMostTheOneTemporaryFile) {
  // Two versions large enough that a write takes a few milliseconds.
  std::vector<std::string> versions[2];
  for (int each = 0; each < 20000; ++each) {
    versions[0].push_back("first-client-" + std::to_string(each));
    versions[1].push_back("second-client-" + std::to_string(each));
  }
  JsonFileUserDefaults defaults(file_);
  const auto writeStart = std::chrono::steady_clock::now();
  ASSERT_TRUE(defaults.setStringArray(kKey, versions[0]));
  std::uniform_int_distribution<std::int64_t> delay(0, 3 * (std::chrono::steady_clock::now() - writeStart).count());
  std::mt19937 random{std::random_device{}()};

  for (int kill = 0; kill < 30; ++kill) {
    const pid_t writer = ::fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      for (int write = 1; defaults.setStringArray(kKey, versions[write % 2]); ++write) {
      }
      ::_exit(1);
    }
    std::this_thread::sleep_for(std::chrono::steady_clock::duration(delay(random)));
    ::kill(writer, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(writer, &status, 0), writer);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer failed before it was killed";
    const auto stored = JsonFileUserDefaults(file_).stringArray(kKey);
    ASSERT_TRUE(stored == versions[0] || stored == versions[1]) << "torn or mixed file after kill " << kill;
    const auto entries = folderEntries(folder_);
    ASSERT_TRUE(entries.size() == 1 ||
                entries == (std::vector<std::string>{".user-defaults.json.tmp", "user-defaults.json"}))
        << ::testing::PrintToString(entries);
  }

  // The next write takes the left-over temporary file as its own.
  ASSERT_TRUE(defaults.setStringArray(kKey, {"after"}));
  EXPECT_EQ(folderEntries(folder_), std::vector<std::string>{"user-defaults.json"});
  EXPECT_EQ(logs_.lines().size(), 0u);
}

TEST(UserDefaultsPathTest, FollowsTheBaseDirectoryRules) {
  EXPECT_EQ(userDefaultsPath("/xdg", "/home/ann"), std::filesystem::path("/xdg/velmora/user-defaults.json"));
  EXPECT_EQ(userDefaultsPath("relative/config", "/home/ann"), "/home/ann/.config/velmora/user-defaults.json");
  EXPECT_EQ(userDefaultsPath(nullptr, "relative"), std::filesystem::path());
}

}  // namespace
}  // namespace velmora
