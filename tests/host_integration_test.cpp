// Starts the real velmora-host and pairs with it over TCP. Runs in a network namespace of its own
// (see CMakeLists.txt), so the host's fixed ports never meet anything else on the machine.
#include <fstream>
#include <iterator>

#include "control/test_control_client.h"
#include "protocol/velmora_constants.h"
#include "tests/support/session_harness.h"

namespace velmora::testing {
namespace {

class HostIntegrationTest : public SessionTest {
 protected:
  std::unique_ptr<HostUnderTest> startHost() {
    auto host = std::make_unique<HostUnderTest>(home_, virtualHostArguments("1920x1080,1280x800@2"));
    EXPECT_TRUE(host->ready()) << host->process().output();
    EXPECT_EQ(host->process().waitForLineStartingWith("Status: "), "Waiting for a client");
    return host;
  }

  std::unique_ptr<TestClient> connect() {
    return std::make_unique<TestClient>(mainQueue_, VelmoraConstants::defaultControlPort);
  }

  ManualMainQueue mainQueue_;
};

ClientHello hello(const std::string& code) { return helloWithCode(code, "integration-client", "Integration"); }

TEST_F(HostIntegrationTest, PairsWithTheShownCodeAndStoresTheClient) {
  auto host = startHost();
  auto client = connect();
  client->sendHello(hello(host->code()));
  const auto serverHello = client->readServerHello();
  EXPECT_EQ(serverHello.screenWidth, 1920);
  ASSERT_TRUE(serverHello.displays.has_value());
  ASSERT_EQ(serverHello.displays->size(), 2u);
  EXPECT_EQ((*serverHello.displays)[1].width, 1280);
  EXPECT_EQ(host->process().waitForLineStartingWith("Status: "), "Connected to Integration");

  client.reset();
  EXPECT_EQ(host->terminate(), 0);
  std::ifstream file(home_ / "velmora" / "user-defaults.json");
  EXPECT_NE(std::string(std::istreambuf_iterator<char>(file), {}).find("\"integration-client\""), std::string::npos);
}

TEST_F(HostIntegrationTest, WrongCodeIsRefusedAndTheCodeShownAgain) {
  auto host = startHost();
  const auto code = host->process().waitForLineStartingWith("Verification code: ");
  ASSERT_TRUE(code.has_value());

  auto client = connect();
  client->sendHello(hello(host->wrongCode()));
  const auto reply = client->readHandshake();
  ASSERT_TRUE(reply.has_value());
  ASSERT_NE(reply->get<ServerRejected>(), nullptr);
  EXPECT_EQ(reply->get<ServerRejected>()->reason, RejectionReason::invalidPairingCode);
  EXPECT_EQ(host->process().waitForLineStartingWith("Verification code: "), code);
  EXPECT_EQ(host->terminate(), 0);
}

TEST_F(HostIntegrationTest, CommandLineMistakesAreUsageErrors) {
  ChildProcess help(hostBinary(), {"--help"});
  EXPECT_TRUE(help.waitForLineStartingWith("Usage: velmora-host").has_value());
  EXPECT_EQ(help.waitForExit(), 0);

  ChildProcess wrong(hostBinary(), {"--virtual-displays", "0x0"});
  EXPECT_EQ(wrong.waitForExit(), 2);
}

}  // namespace
}  // namespace velmora::testing
