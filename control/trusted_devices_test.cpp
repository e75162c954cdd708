#include "control/trusted_devices.h"

#include <gtest/gtest.h>

#include "control/control_channel_server.h"
#include "control/test_control_client.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using testing::helloWithCode;
using testing::InProcessHost;
using testing::TestClient;

constexpr auto kDay = std::chrono::hours(24);

std::string daysAgo(int days) { return formatUtcTime(WallClock::now() - days * kDay); }

json details(const std::string& name, const std::string& lastAdmittedAt) {
  return {{"deviceName", name}, {"pairedAt", "2026-01-02T03:04:05Z"}, {"lastAdmittedAt", lastAdmittedAt},
          {"lastAddress", "192.0.2.7"}};
}

TEST(UtcTimeTest, OnlyTheExactFormRoundTrips) {
  const auto time = parseUtcTime("2026-12-07T12:00:00Z");
  ASSERT_TRUE(time.has_value());
  EXPECT_EQ(formatUtcTime(*time), "2026-12-07T12:00:00Z");
  for (const char* bad : {"", "2026-12-07 12:00:00Z", "2026-02-31T12:00:00Z", "2026-12-07T12:00:00", "2026-12-07T25:00:00Z",
                          "2026-12-07T12:00:00+01", "-026-12-07T12:00:00Z", "2026-12-07T12:00:00Zx", "9999-12-07T12:00:00Z", "1969-12-31T23:59:59Z"}) {
    EXPECT_FALSE(parseUtcTime(bad).has_value()) << bad;
  }
  const std::vector<std::pair<WallClock::duration, std::string>> ages = {
      {-5s, "moments ago"}, {59s, "moments ago"}, {60s, "1 minute ago"}, {125min, "2 hours ago"}, {kDay, "1 day ago"},
      {kDay * 3 + 5h, "3 days ago"}};
  for (const auto& [age, text] : ages) {
    EXPECT_EQ(describeAge(age), text);
  }
}

class TrustedDevicesTest : public ::testing::Test {
 protected:
  void startHost(std::chrono::hours trustDuration = 90 * kDay) {
    host_.reset();
    sessions_ = 0;
    host_ = std::make_unique<InProcessHost>(mainQueue_, ControlChannelTiming{.duplicateConnectionWindow = {}, .pairingThrottle = {}},
                                            defaults_, trustDuration);
  }

  // Whether a hello with `code` and `identifier` is admitted; the session is ended again.
  bool admits(const std::string& identifier, const std::string& code = "") {
    TestClient client(mainQueue_, host_->port());
    client.sendHello(helloWithCode(code, identifier));
    const auto reply = client.readHandshake();
    const bool admitted = reply && reply->get<ServerHello>() != nullptr;
    client.close();
    if (admitted) {
      EXPECT_TRUE(host_->waitForReport("disconnected", ++sessions_));
    }
    return admitted;
  }

  json stored(const std::string& key) { return defaults_->value(key).value_or(json()); }

  ManualMainQueue mainQueue_;
  log::MemoryLogSink logs_;
  std::shared_ptr<testing::InMemoryUserDefaults> defaults_ = std::make_shared<testing::InMemoryUserDefaults>();
  std::unique_ptr<InProcessHost> host_;
  std::size_t sessions_ = 0;
};

TEST_F(TrustedDevicesTest, OldAndDamagedFilesStillAdmitTheirDevicesAndGainDetails) {
  const std::vector<std::pair<std::string, json>> cases = {
      {"no details at all", json()},
      {"details not an object", json::array({"device-A"})},
      {"wrong types", {{"device-A", {{"deviceName", 7}, {"pairedAt", true}}}}},
      {"entry not an object", {{"device-A", "Vision"}}},
      {"a huge value", {{"device-A", details(std::string(10 * 1024 * 1024, 'x'), daysAgo(1))}}},
      {"a bad time", {{"device-A", details("Vision", "yesterday")}}},
  };
  for (const auto& testCase : cases) {
    SCOPED_TRACE(testCase.first);
    const json& storedDetails = testCase.second;
    defaults_ = std::make_shared<testing::InMemoryUserDefaults>();
    defaults_->setStringArray("trustedClientIdentifiers", {"device-A"});
    if (!storedDetails.is_null()) {
      defaults_->update([&](json& object) { object["trustedClientDetails"] = storedDetails; });
    }
    logs_.clear();
    startHost();
    EXPECT_TRUE(admits("device-A"));
    EXPECT_EQ(stored("trustedClientIdentifiers"), json::array({"device-A"}));
    const auto kept = stored("trustedClientDetails")["device-A"];
    EXPECT_EQ(kept["deviceName"], "Vision");
    EXPECT_EQ(kept["lastAddress"], "127.0.0.1");
    EXPECT_TRUE(parseUtcTime(kept["lastAdmittedAt"].get<std::string>()).has_value());
    EXPECT_EQ(logs_.countContaining("as a trusted device, last admitted at an unknown time"), 1u) << "no age is trusted";
    EXPECT_EQ(logs_.countContaining("Ignoring the stored details"), storedDetails.is_null() ? 0u : 1u) << "once a run";
  }
}

TEST_F(TrustedDevicesTest, TrustLapsesAfterTheTrustDaysUnlessTheyAreZero) {
  const auto seed = [&] {
    defaults_->update([&](json& object) {
      object["trustedClientIdentifiers"] = {"device-A", "device-B", "device-C"};
      object["trustedClientDetails"] = {{"device-A", details("Old Vision", daysAgo(91))},
                                        {"device-B", details("Recent Vision", daysAgo(89))},
                                        {"device-Z", details("Not Trusted", daysAgo(1))}};
    });
  };
  seed();
  startHost(0h);
  EXPECT_TRUE(admits("device-A")) << "0 days: trusted for ever";
  EXPECT_FALSE(admits("device-Z")) << "details alone do not trust";
  EXPECT_FALSE(stored("trustedClientDetails").contains("device-Z")) << "dropped at the next write";

  seed();
  startHost();  // 90 days
  EXPECT_EQ(stored("trustedClientIdentifiers"), json::array({"device-B", "device-C"})) << "expired at start-up";
  EXPECT_FALSE(stored("trustedClientDetails").contains("device-A"));
  EXPECT_EQ(logs_.countContaining("Trust in \"Old Vision\" expired: last admitted " + daysAgo(91).substr(0, 10)), 1u);
  EXPECT_FALSE(admits("device-A"));
  EXPECT_TRUE(admits("device-B"));
  EXPECT_TRUE(admits("device-C")) << "no details: its age is unknown";
  EXPECT_EQ(logs_.countContaining("as a trusted device, last admitted 89 days ago"), 1u);

  // A device that lapses while the host runs is refused at its next attempt.
  defaults_->update([&](json& object) { object["trustedClientDetails"]["device-B"] = details("Recent Vision", daysAgo(95)); });
  EXPECT_FALSE(admits("device-B"));
  EXPECT_EQ(stored("trustedClientIdentifiers"), json::array({"device-C"}));
  EXPECT_TRUE(admits("device-A", testing::kHostPairingCode)) << "the code trusts it again";
  EXPECT_EQ(logs_.countContaining("from 127.0.0.1 with the verification code"), 1u);
}

TEST_F(TrustedDevicesTest, AlwaysAskingRefusesTrustedIdentifiersButTheCodeStillRecords) {
  defaults_->setStringArray("trustedClientIdentifiers", {"device-A"});
  startHost();
  defaults_->update([](json& object) { object["alwaysAskForCode"] = true; });
  EXPECT_FALSE(admits("device-A"));
  EXPECT_EQ(host_->count("pairing required"), 1u);
  EXPECT_TRUE(admits("device-A", testing::kHostPairingCode));
  EXPECT_EQ(stored("trustedClientDetails")["device-A"]["deviceName"], "Vision");
  defaults_->update([](json& object) { object["alwaysAskForCode"] = "yes"; });  // not a boolean: off
  EXPECT_TRUE(admits("device-A"));
}

TEST_F(TrustedDevicesTest, ForgettingAConnectedDeviceEndsItsSessionAndItsTrust) {
  defaults_->setStringArray("trustedClientIdentifiers", {"device-A", "device-B"});
  startHost();
  TestClient client(mainQueue_, host_->port());
  client.sendHello(helloWithCode("", "device-A"));
  client.readServerHello();

  // Another device's removal changes nothing for this one.
  ASSERT_TRUE(host_->server().trustedDevices().forget("device-B").has_value());
  EXPECT_FALSE(host_->server().trustedDevices().forget("device-B").has_value()) << "already gone";
  EXPECT_EQ(host_->server().trustedDevices().recordAdmission("device-B", "Late", "192.0.2.9", true),
            TrustedDevices::Recorded::gone) << "a hello checked before the forget must not bring it back";
  EXPECT_FALSE(host_->server().trustedDevices().contains("device-B"));
  host_->server().revalidateActiveClient();
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(host_->count("disconnected"), 0u);

  // As another process would: straight in the file.
  defaults_->update([](json& object) { object["trustedClientIdentifiers"] = json::array(); });
  host_->server().revalidateActiveClient();
  EXPECT_TRUE(client.waitUntilClosed());
  EXPECT_TRUE(host_->waitForReport("disconnected"));
  EXPECT_EQ(logs_.countContaining("Disconnecting \"Vision\": its device is no longer trusted"), 1u);
  sessions_ = 1;
  EXPECT_FALSE(admits("device-A"));
}

}  // namespace
}  // namespace velmora
