// Starts the real velmora-host and pairs with it over TCP. Runs in a network namespace of its own
// (see CMakeLists.txt), so the host's fixed ports never meet anything else on the machine.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "control/test_control_client.h"
#include "protocol/velmora_constants.h"
#include "tests/host_process.h"

namespace velmora {
namespace {

using testing::HostProcess;
using testing::TestClient;

class HostIntegrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/velmora-host-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    configHome_ = pattern;
  }

  void TearDown() override { std::filesystem::remove_all(configHome_); }

  std::unique_ptr<HostProcess> startHost(std::vector<std::string> arguments = {}) {
    arguments.insert(arguments.begin(), {"--headless", "--backend", "virtual", "--virtual-displays", "1920x1080,1280x800@2"});
    auto host = std::make_unique<HostProcess>(VELMORA_HOST_BINARY, arguments,
                                              std::vector<std::string>{"XDG_CONFIG_HOME=" + configHome_.string(),
                                                                       "XDG_RUNTIME_DIR=" + configHome_.string()});
    EXPECT_TRUE(host->started());
    EXPECT_EQ(host->waitForLine("Status: "), "Waiting for a client");
    return host;
  }

  static ClientHello hello(const std::string& code) {
    return testing::helloWithCode(code, "integration-client", "Integration");
  }

  std::string userDefaults() const {
    std::ifstream file(configHome_ / "velmora" / "user-defaults.json");
    std::stringstream contents;
    contents << file.rdbuf();
    return contents.str();
  }

  // The host listens once its port accepts; the status line comes before the listener is up.
  std::unique_ptr<TestClient> connect() {
    for (int attempt = 0; attempt < 200; ++attempt) {
      try {
        return std::make_unique<TestClient>(mainQueue_, VelmoraConstants::defaultControlPort);
      } catch (const std::system_error&) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
    }
    ADD_FAILURE() << "the host never listened on its control port";
    return nullptr;
  }

  ManualMainQueue mainQueue_;
  std::filesystem::path configHome_;
};

TEST_F(HostIntegrationTest, PairsWithTheShownCodeAndRemembersTheClientAcrossRestarts) {
  auto host = startHost();
  const auto code = host->waitForLine("Verification code: ");
  ASSERT_TRUE(code.has_value());
  ASSERT_EQ(code->size(), 4u);

  auto client = connect();
  ASSERT_TRUE(client);
  client->sendHello(hello(*code));
  const auto serverHello = client->readServerHello();
  EXPECT_EQ(serverHello.screenWidth, 1920);
  ASSERT_TRUE(serverHello.displays.has_value());
  ASSERT_EQ(serverHello.displays->size(), 2u);
  EXPECT_EQ((*serverHello.displays)[1].width, 1280);
  EXPECT_EQ(host->waitForLine("Status: "), "Connected to Integration");

  client.reset();
  EXPECT_EQ(host->terminate(), 0);
  EXPECT_NE(userDefaults().find("\"integration-client\""), std::string::npos) << userDefaults();

  auto restarted = startHost();
  auto returning = connect();
  ASSERT_TRUE(returning);
  returning->sendHello(hello("wrong"));
  const auto reply = returning->readHandshake();
  ASSERT_TRUE(reply.has_value());
  EXPECT_NE(reply->get<ServerHello>(), nullptr);
  EXPECT_EQ(restarted->terminate(), 0);
}

TEST_F(HostIntegrationTest, WrongCodeIsRefusedAndTheCodeShownAgain) {
  auto host = startHost();
  const auto code = host->waitForLine("Verification code: ");
  ASSERT_TRUE(code.has_value());

  auto client = connect();
  ASSERT_TRUE(client);
  client->sendHello(hello(*code == "0000" ? "1111" : "0000"));
  const auto reply = client->readHandshake();
  ASSERT_TRUE(reply.has_value());
  ASSERT_NE(reply->get<ServerRejected>(), nullptr);
  EXPECT_EQ(reply->get<ServerRejected>()->reason, RejectionReason::invalidPairingCode);
  EXPECT_EQ(host->waitForLine("Verification code: "), code);
  EXPECT_EQ(host->terminate(), 0);
}

TEST_F(HostIntegrationTest, CommandLineMistakesAreUsageErrors) {
  HostProcess help(VELMORA_HOST_BINARY, {"--help"}, {});
  EXPECT_TRUE(help.waitForLine("Usage: velmora-host").has_value());
  EXPECT_EQ(help.waitForExit(), 0);

  HostProcess wrong(VELMORA_HOST_BINARY, {"--virtual-displays", "0x0"}, {});
  EXPECT_EQ(wrong.waitForExit(), 2);
}

}  // namespace
}  // namespace velmora
