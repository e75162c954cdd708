#include "platform/posix/single_instance_lock.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velmora {
namespace {

using Outcome = SingleInstanceLock::Outcome;

class SingleInstanceLockTest : public ::testing::Test {
 protected:
  ~SingleInstanceLockTest() override { std::filesystem::remove_all(root_); }

  std::filesystem::path root_ = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "velmora-lock-XXXXXX").string();
    return std::filesystem::path(::mkdtemp(pattern.data()));
  }();
  std::filesystem::path lockPath_ = root_ / "velmora" / "host.lock";
};

TEST(SingleInstanceLockPathTest, PrefersAnAbsoluteRuntimeFolder) {
  EXPECT_EQ(singleInstanceLockPath("/run/user/1000", 1000), "/run/user/1000/velmora/host.lock");
  EXPECT_EQ(singleInstanceLockPath(nullptr, 1000), "/tmp/velmora-1000/host.lock");
  EXPECT_EQ(singleInstanceLockPath("run/user/1000", 42), "/tmp/velmora-42/host.lock");
}

// flock belongs to the open file description, so a second acquisition in this process stands
// for a second instance.
TEST_F(SingleInstanceLockTest, SecondAcquisitionSeesTheLockHeldUntilTheFirstIsReleased) {
  auto first = SingleInstanceLock::acquire(lockPath_);
  ASSERT_TRUE(first.outcome == Outcome::acquired && first.lock) << first.errorDescription;
  struct stat folder {};
  ASSERT_EQ(::stat(lockPath_.parent_path().c_str(), &folder), 0);
  EXPECT_EQ(folder.st_mode & 0777, 0700u);

  auto second = SingleInstanceLock::acquire(lockPath_);
  EXPECT_TRUE(second.outcome == Outcome::heldByAnotherProcess && !second.lock);
  first.lock.reset();
  EXPECT_EQ(SingleInstanceLock::acquire(lockPath_).outcome, Outcome::acquired);
}

TEST_F(SingleInstanceLockTest, UnusableOrForeignFoldersAndFilesGiveAnError) {
  const auto writable = root_ / "writable";
  std::filesystem::create_directory(writable);
  ::chmod(writable.c_str(), 0777);
  const auto link = root_ / "link";
  std::filesystem::create_directory_symlink(root_, link);
  // As root a folder is given away; otherwise "/" is root's, and refused before it is written to.
  std::filesystem::path foreign = "/";
  if (::geteuid() == 0) {
    foreign = root_ / "foreign";
    std::filesystem::create_directory(foreign);
    ASSERT_EQ(::chown(foreign.c_str(), 65534, 65534), 0);
    ::chmod(foreign.c_str(), 0700);
  }

  struct Case {
    std::filesystem::path path;
    std::string expectedFragment;
  };
  const Case cases[] = {
      {writable / "host.lock", "group or others may write"},
      {link / "host.lock", "symbolic link"},
      {"host.lock", "Not a usable lock file path"},
      {foreign / "host.lock", "not to this user"},
  };
  for (const auto& [path, expectedFragment] : cases) {
    auto result = SingleInstanceLock::acquire(path);
    EXPECT_EQ(result.outcome, Outcome::failed) << path;
    EXPECT_EQ(result.lock, nullptr) << path;
    EXPECT_NE(result.errorDescription.find(expectedFragment), std::string::npos) << result.errorDescription;
  }
  EXPECT_FALSE(std::filesystem::exists(writable / "host.lock")) << "nothing is created in a refused folder";
}

}  // namespace
}  // namespace velmora
