#include "platform/posix/computer_name.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <fstream>

namespace velmora {
namespace {

class ComputerNameTest : public ::testing::Test {
 protected:
  std::filesystem::path writeMachineInfo(const std::string& contents) {
    std::ofstream(machineInfo_, std::ios::binary) << contents;
    return machineInfo_;
  }
  ~ComputerNameTest() override { std::filesystem::remove_all(folder_); }

 private:
  std::filesystem::path folder_ = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "velmora-name-XXXXXX").string();
    return std::filesystem::path(::mkdtemp(pattern.data()));
  }();
  std::filesystem::path machineInfo_ = folder_ / "machine-info";
};

TEST_F(ComputerNameTest, ReadsThePrettyHostNameWithShellQuotingUndone) {
  struct Case {
    const char* contents;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {"PRETTY_HOSTNAME=\"Jane's Laptop\"\n", "Jane's Laptop"},
      {"PRETTY_HOSTNAME=Build\\ Box\n", "Build Box"},
      {"PRETTY_HOSTNAME=\"Say \\\"hi\\\" \\\\ \\$HOME \\n\"", "Say \"hi\" \\ $HOME \\n"},
      {"# PRETTY_HOSTNAME=Old\nCHASSIS=laptop\n  PRETTY_HOSTNAME = Workbench  \r\n", "Workbench"},
      {"PRETTY_HOSTNAME=\"Two\\\nLines\"\n", "TwoLines"},
      {"PRETTY_HOSTNAME=\"Zo\xC3\xAB\xE2\x80\x99s Mac\"\n", "Zo\xC3\xAB\xE2\x80\x99s Mac"},
      {"PRETTY_HOSTNAME=\"Half", "Half"},
      {"PRETTY_HOSTNAME=Named\nPRETTY_HOSTNAME=\n", std::nullopt},
      {"HOSTNAME_ONLY=yes\nno equals sign here\n", std::nullopt},
      {"PRETTY_HOSTNAME=\"Bad \xFF byte\"\n", std::nullopt},
      {"PRETTY_HOSTNAME=\"Overlong \xC0\xAF\"\n", std::nullopt},
  };
  for (const Case& testCase : cases) {
    SCOPED_TRACE(testCase.contents);
    EXPECT_EQ(prettyHostName(writeMachineInfo(testCase.contents)), testCase.expected);
  }
}

TEST_F(ComputerNameTest, FallsBackToTheHostNameWithoutAPrettyName) {
  char hostName[HOST_NAME_MAX + 1] = {};
  ASSERT_EQ(::gethostname(hostName, sizeof hostName - 1), 0);
  const std::string expected = hostName[0] != '\0' ? hostName : "Mac";

  EXPECT_EQ(computerNameFrom("/nonexistent/machine-info"), expected);
  EXPECT_EQ(computerNameFrom(writeMachineInfo("PRETTY_HOSTNAME=\n")), expected);
  EXPECT_EQ(computerNameFrom(writeMachineInfo("PRETTY_HOSTNAME=Atelier\n")), "Atelier");
}

}  // namespace
}  // namespace velmora
