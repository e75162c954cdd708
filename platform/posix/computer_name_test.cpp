#include "platform/posix/computer_name.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <fstream>

namespace velmora {
namespace {

class ComputerNameTest : public ::testing::Test {
 protected:
  ~ComputerNameTest() override { std::filesystem::remove(machineInfo_); }
  std::filesystem::path writeMachineInfo(const std::string& contents) {
    std::ofstream(machineInfo_, std::ios::binary) << contents;
    return machineInfo_;
  }
  const std::filesystem::path machineInfo_ =
      std::filesystem::temp_directory_path() / ("velmora-machine-info-" + std::to_string(::getpid()));
};

TEST_F(ComputerNameTest, ReadsThePrettyHostNameWithShellQuotingUndoneOrFallsBackToTheHostName) {
  struct Case {
    const char* contents;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {"PRETTY_HOSTNAME=Build\\ Box\n", "Build Box"},
      {"PRETTY_HOSTNAME=\"Say \\\"hi\\\" \\\\ \\$HOME \\n\"", "Say \"hi\" \\ $HOME \\n"},
      {"# PRETTY_HOSTNAME=Old\nCHASSIS=laptop\n  PRETTY_HOSTNAME = Workbench  \r\n", "Workbench"},
      {"PRETTY_HOSTNAME=\"Zo\xC3\xAB\xE2\x80\x99s Mac\"\n", "Zo\xC3\xAB\xE2\x80\x99s Mac"},
      {"PRETTY_HOSTNAME=\"Half", "Half"},
      {"PRETTY_HOSTNAME=Named\nPRETTY_HOSTNAME=\n", std::nullopt},
      {"PRETTY_HOSTNAME=\"Overlong \xC0\xAF\"\n", std::nullopt},
  };
  for (const Case& testCase : cases) {
    SCOPED_TRACE(testCase.contents);
    EXPECT_EQ(prettyHostName(writeMachineInfo(testCase.contents)), testCase.expected);
  }

  char hostName[HOST_NAME_MAX + 1] = {};
  ASSERT_EQ(::gethostname(hostName, sizeof hostName - 1), 0);
  const std::string expected = hostName[0] != '\0' ? hostName : "Mac";
  EXPECT_EQ(computerNameFrom("/nonexistent/machine-info"), expected);
  EXPECT_EQ(computerNameFrom(writeMachineInfo("PRETTY_HOSTNAME=\n")), expected);
  EXPECT_EQ(computerNameFrom(writeMachineInfo("PRETTY_HOSTNAME=Atelier\n")), "Atelier");
}

}  // namespace
}  // namespace velmora
