#include "platform/posix/show_panel_requests.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace velmora {
namespace {

class ShowPanelRequestsTest : public ::testing::Test {
 protected:
  ~ShowPanelRequestsTest() override { std::filesystem::remove_all(root_); }

  // What a sender other than our own may put on the socket.
  void sendRaw(const std::string& bytes) const {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, socketPath_.c_str());
    const int sender = ::socket(AF_UNIX, SOCK_DGRAM, 0);
    ASSERT_EQ(::sendto(sender, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&address), sizeof(address)),
              static_cast<ssize_t>(bytes.size()));
    ::close(sender);
  }

  std::filesystem::path root_ = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "velmora-panel-XXXXXX").string();
    return std::filesystem::path(::mkdtemp(pattern.data()));
  }();
  std::filesystem::path socketPath_ = showPanelSocketPath(root_ / "host.lock");
};

TEST_F(ShowPanelRequestsTest, OnlyTheExactRequestAsksForThePanelAndGarbageIsDropped) {
  struct Case {
    const char* name;
    std::vector<std::string> datagrams;
    bool asked;
  };
  const Case cases[] = {
      {"the request", {"show-panel"}, true},
      {"nothing waiting", {}, false},
      {"an empty datagram", {""}, false},
      {"with a line end", {"show-panel\n"}, false},
      {"cut short", {"show-pane"}, false},
      {"longer than the buffer, the request first", {"show-panel" + std::string(100'000, 'x')}, false},
      {"binary bytes", {std::string("\0\xff\x01show-panel", 13)}, false},
      {"garbage, then the request", {"hello", "show-panel", "show-panel"}, true},
  };
  std::filesystem::create_directories(root_);
  std::ofstream(socketPath_) << "a dead instance's leftover";
  auto listening = ShowPanelRequests::listen(socketPath_);
  ASSERT_TRUE(listening) << listening.error();
  auto& requests = *listening.value();
  for (const auto& testCase : cases) {
    for (const auto& datagram : testCase.datagrams) {
      sendRaw(datagram);
    }
    EXPECT_EQ(requests.takeRequests(), testCase.asked) << testCase.name;
    EXPECT_FALSE(requests.takeRequests()) << testCase.name << ": every datagram is taken at once";
  }

  ASSERT_TRUE(sendShowPanelRequest(socketPath_));
  EXPECT_TRUE(requests.takeRequests());
  listening.value().reset();
  EXPECT_FALSE(std::filesystem::exists(socketPath_));
  EXPECT_FALSE(sendShowPanelRequest(socketPath_)) << "nobody listens any more";
}

}  // namespace
}  // namespace velmora
