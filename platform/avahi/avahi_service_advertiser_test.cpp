#include "platform/avahi/avahi_service_advertiser.h"

#include "platform/log/log.h"
#include "platform/testing/child_process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace velmora {
namespace {

TEST(FitToDnsLabelTest, CutsLongNamesAtACharacterBoundary) {
  const std::string accented = "\xC3\xA9";  // é, two bytes
  struct Case {
    std::string name;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {std::string(70, 'a'), std::string(63, 'a')},
      {std::string(62, 'a') + accented, std::string(62, 'a')},  // é would straddle byte 63
      {std::string(61, 'a') + accented + "b", std::string(61, 'a') + accented},
  };
  for (const auto& [name, expected] : cases) {
    EXPECT_EQ(fitToDnsLabel(name), expected) << name.size();
  }
}

// Without a system bus it says so once, keeps trying, and no call nor its destruction waits.
TEST(AvahiServiceAdvertiserTest, WithoutSystemBusSaysSoAndKeepsGoing) {
  setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/velmora-test-bus", 1);
  log::MemoryLogSink sink;

  auto made = makeAvahiServiceAdvertiser();
  ASSERT_TRUE(made.ok()) << made.error();
  made.value()->advertise("Velmora Test", "_velmora._tcp", 45920);
  made.value()->withdraw();
  made.value()->advertise("Velmora Test", "_velmora._tcp", 45920);

  testing::eventually([&] { return sink.countContaining("DNS-SD advertisement unavailable: ") > 0; });
  made.value().reset();

  const auto lines = sink.lines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const log::LogLine& line) {
              return line.level == log::Level::error && line.category == "ControlChannel" &&
                     line.message.find("unavailable: ") != std::string::npos &&
                     line.message.find("; waiting for the daemon") != std::string::npos;
            }), 1);
}

}  // namespace
}  // namespace velmora
