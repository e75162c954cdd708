#include "platform/systemd/logind_inhibitor.h"

#include "platform/log/log.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace velmora {
namespace {

constexpr const char* kReason = "Velmora companion server must keep running";

TEST(LogindIdleSleepInhibitionTest, WithoutSystemBusFailsWithADescriptionLogsOnceAndKeepsGoing) {
  setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/velmora-test-bus", 1);
  auto taken = LogindInhibitor::take(InhibitorRequest{.why = kReason});
  ASSERT_FALSE(taken.ok());
  EXPECT_NE(taken.error().find("no system bus"), std::string::npos) << taken.error();

  log::MemoryLogSink logs;
  LogindIdleSleepInhibition inhibition;

  inhibition.inhibitIdleSleep(kReason);
  inhibition.inhibitIdleSleep(kReason);

  EXPECT_FALSE(inhibition.holdsInhibitor());
  EXPECT_EQ(logs.countContaining("Cannot keep the system from idling or sleeping"), 1u);
}

}  // namespace
}  // namespace velmora
