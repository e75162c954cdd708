#include "client/client_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace velmora {
namespace {

using Arguments = std::vector<std::string>;

TEST(ClientOptionsTest, DefaultsAskForFullHdAt60) {
  const auto parsed = parseClientOptions({"--host", "192.168.1.20"});
  ASSERT_TRUE(parsed.ok()) << parsed.error();
  const ClientOptions& options = parsed.value();
  EXPECT_EQ(options.host, "192.168.1.20");
  EXPECT_EQ(options.port, 5920);
  EXPECT_EQ(options.duration, std::chrono::seconds(5));

  EXPECT_EQ(makeClientHello(options), (ClientHello{2, 1920, 1080, 60, "velmora-client", std::nullopt, ""}));
  EXPECT_TRUE(parseClientOptions({"--help"}).value().showHelp) << "help needs no host";
}

TEST(ClientOptionsTest, ReadsEveryOptionInBothSpellings) {
  const auto parsed = parseClientOptions({"--host=[fe80::1%eth0]", "--port", "6000", "--code=0042", "--identifier",
                                          "tablet-1", "--device-name", "Test Tablet", "--preferred-width", "1280",
                                          "--preferred-height=800", "--preferred-frame-rate", "120",
                                          "--handshake-timeout", "0.25", "--log-level", "default"});
  ASSERT_TRUE(parsed.ok()) << parsed.error();
  const ClientOptions& options = parsed.value();
  EXPECT_EQ(options.host, "fe80::1%eth0");
  EXPECT_EQ(options.port, 6000);
  EXPECT_EQ(options.handshakeTimeout, std::chrono::milliseconds(250));
  EXPECT_EQ(options.logLevel, log::Level::notice);

  EXPECT_EQ(makeClientHello(options), (ClientHello{2, 1280, 800, 120, "Test Tablet", "tablet-1", "0042"}));

  const auto discovering = parseClientOptions({"--discover", "--discover-timeout", "1.5"});
  ASSERT_TRUE(discovering.ok()) << discovering.error();
  EXPECT_TRUE(discovering.value().discover);
  EXPECT_EQ(discovering.value().discoverTimeout, std::chrono::milliseconds(1500));
}

TEST(ClientOptionsTest, BadArgumentsAreNamed) {
  struct Case {
    Arguments arguments;
    std::string error;
  };
  const std::vector<Case> cases = {
      {{}, "give either --host ADDRESS or --discover"},
      {{"--host"}, "--host needs an address or host name"},
      {{"--discover", "--port", "5920"}, "--port goes with --host; --discover takes the port the service announces"},
      {{"--host", "a", "--port", "0"}, "--port takes a port number from 1 to 65535"},
      {{"--host", "a", "--code", "123"}, "--code takes the host's four-digit verification code"},
      {{"--host", "a", "--device-name", "Caf\xe9"}, "--device-name needs a name in UTF-8"},
      {{"--host", "a", "--preferred-width", "0"}, "--preferred-width takes a whole number from 1 to 16384"},
      {{"--host", "a", "--handshake-timeout", "0"}, "--handshake-timeout takes more than 0 seconds, at most 1000000"},
      {{"--host", "a", "--verbose"}, "unknown option '--verbose'"},
  };
  for (const auto& [arguments, error] : cases) {
    const auto parsed = parseClientOptions(arguments);
    ASSERT_FALSE(parsed.ok()) << testing::PrintToString(arguments);
    EXPECT_EQ(parsed.error(), error) << testing::PrintToString(arguments);
  }
}

}  // namespace
}  // namespace velmora
