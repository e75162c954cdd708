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

TEST_F(JournalStreamTest, MatchesOnlyTheDeviceAndInodeOfTheDescriptor) {
  EXPECT_TRUE(isJournalStream(descriptor_, (device_ + ":" + inode_).c_str()));

  std::FILE* other = std::tmpfile();
  EXPECT_FALSE(isJournalStream(fileno(other), (device_ + ":" + inode_).c_str()));
  std::fclose(other);
  EXPECT_FALSE(isJournalStream(descriptor_, (device_ + "1:" + inode_).c_str()));
  EXPECT_FALSE(isJournalStream(descriptor_, (device_ + ":" + inode_ + "1").c_str()));
  EXPECT_FALSE(isJournalStream(descriptor_, nullptr));
  // A closed descriptor has no device or inode to compare.
  EXPECT_FALSE(isJournalStream(-1, (device_ + ":" + inode_).c_str()));
}

TEST_F(JournalStreamTest, RefusesValuesThatAreNotTwoDecimalNumbers) {
  for (const std::string& value : {std::string(), device_, device_ + ":", ":" + inode_, device_ + ":" + inode_ + ":0",
                                   " " + device_ + ":" + inode_, "+" + device_ + ":" + inode_,
                                   device_ + ":" + inode_ + "\n", device_ + ":0x" + inode_,
                                   "99999999999999999999999:" + inode_}) {
    EXPECT_FALSE(isJournalStream(descriptor_, value.c_str())) << '"' << value << '"';
  }
}

}  // namespace
}  // namespace velmora
