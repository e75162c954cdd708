#include "platform/systemd/journal_log.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <string>

namespace velmora {
namespace {

TEST(JournalStreamTest, MatchesOnlyTheDeviceAndInodeOfTheDescriptorWrittenAsTwoDecimals) {
  std::FILE* file = std::tmpfile();
  std::FILE* other = std::tmpfile();
  ASSERT_TRUE(file && other);
  struct stat status {};
  ASSERT_EQ(fstat(fileno(file), &status), 0);
  const std::string device = std::to_string(status.st_dev);
  const std::string inode = std::to_string(status.st_ino);
  const std::string exact = device + ":" + inode;

  EXPECT_TRUE(isJournalStream(fileno(file), exact.c_str()));
  EXPECT_FALSE(isJournalStream(fileno(other), exact.c_str()));
  EXPECT_FALSE(isJournalStream(-1, exact.c_str())) << "a closed descriptor has no device or inode";
  EXPECT_FALSE(isJournalStream(fileno(file), nullptr));
  for (const std::string& value : {std::string(), device, exact + "1", ":" + inode, exact + ":0", " " + exact,
                                   "+" + exact, device + ":0x" + inode, "99999999999999999999999:" + inode}) {
    EXPECT_FALSE(isJournalStream(fileno(file), value.c_str())) << '"' << value << '"';
  }
  std::fclose(other);
  std::fclose(file);
}

}  // namespace
}  // namespace velmora
