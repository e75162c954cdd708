#include "platform/systemd/journal_log.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace velmora {
namespace {

class JournalStreamTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(file_, nullptr);
    descriptor_ = fileno(file_);
    struct stat status {};
    ASSERT_EQ(fstat(descriptor_, &status), 0);
    device_ = std::to_string(status.st_dev);
    inode_ = std::to_string(status.st_ino);
  }
  void TearDown() override {
    if (file_ != nullptr) {
      std::fclose(file_);
    }
  }

  std::FILE* file_ = std::tmpfile();
  int descriptor_ = -1;
  std::string device_;
  std::string inode_;
};

TEST_F(JournalStreamTest, MatchesOnlyTheDeviceAndInodeOfTheDescriptorWrittenAsTwoDecimals) {
  const std::string exact = device_ + ":" + inode_;
  EXPECT_TRUE(isJournalStream(descriptor_, exact.c_str()));

  std::FILE* other = std::tmpfile();
  EXPECT_FALSE(isJournalStream(fileno(other), exact.c_str()));
  std::fclose(other);
  EXPECT_FALSE(isJournalStream(-1, exact.c_str())) << "a closed descriptor has no device or inode";
  EXPECT_FALSE(isJournalStream(descriptor_, nullptr));
  for (const std::string& value : {std::string(), device_, exact + "1", device_ + "1:" + inode_, ":" + inode_,
                                   exact + ":0", " " + exact, "+" + exact, exact + "\n", device_ + ":0x" + inode_,
                                   "99999999999999999999999:" + inode_}) {
    EXPECT_FALSE(isJournalStream(descriptor_, value.c_str())) << '"' << value << '"';
  }
}

}  // namespace
}  // namespace velmora
