#include "control/control_channel_server.h"

#include <gtest/gtest.h>

#include <thread>

#include "control/test_control_client.h"
#include "protocol/message_coder.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;

constexpr auto kWait = testing::kControlClientWait;

using testing::helloWithCode;
using testing::InProcessHost;
using testing::TestClient;

std::string jsonText(const ControlMessage& message) { return message.toJson().dump(); }

class ControlChannelServerTest : public ::testing::Test {
 protected:
  // The handshake deadline and the duplicate window short enough to wait for.
  static ControlChannelTiming shortTiming() {
    return {.handshakeDeadline = 2s, .duplicateConnectionWindow = 1s, .pairingThrottle = {}};
  }

  std::unique_ptr<TestClient> connect() { return std::make_unique<TestClient>(mainQueue_, host_->port()); }

  std::unique_ptr<TestClient> admittedClient(const std::string& name = "Vision") {
    auto client = connect();
    client->sendHello(helloWithCode("1234", std::nullopt, name));
    client->readServerHello();
    return client;
  }

  // Why the host refused `hello`; nothing when it admitted it or left the connection open.
  std::optional<RejectionReason> refusal(const ClientHello& hello) {
    auto client = connect();
    client->sendHello(hello);
    const auto reply = client->readHandshake();
    const auto* rejected = reply ? reply->get<ServerRejected>() : nullptr;
    return rejected && client->waitUntilClosed() ? std::optional(rejected->reason) : std::nullopt;
  }

  bool waitFor(const std::function<bool()>& condition) { return mainQueue_.runUntil(condition, kWait); }
  bool waitForReport(const std::string& report, std::size_t count = 1) { return host_->waitForReport(report, count); }

  ManualMainQueue mainQueue_;
  log::MemoryLogSink logs_;
  std::shared_ptr<testing::InMemoryUserDefaults> defaults_ = std::make_shared<testing::InMemoryUserDefaults>();
  std::unique_ptr<InProcessHost> host_ = std::make_unique<InProcessHost>(mainQueue_, shortTiming(), defaults_);
};

TEST_F(ControlChannelServerTest, AdmitsTheRightCodeAndTrustsItsIdentifierAcrossRestarts) {
  host_->server().setSelectedDisplayID(7u);
  auto client = connect();
  client->sendHello(helloWithCode("1234", "  device-A\n"));

  const auto hello = client->readServerHello();
  EXPECT_EQ(hello.hostName, "Test Mac");
  EXPECT_EQ(hello.screenWidth, 2560);  // the selected display's
  EXPECT_EQ(hello.screenHeight, 1440);
  EXPECT_EQ(hello.videoHost, std::optional<std::string>("127.0.0.1"));
  ASSERT_TRUE(hello.displays.has_value());
  ASSERT_EQ(hello.displays->size(), 2u);
  EXPECT_EQ((*hello.displays)[1].id, 7u);

  ASSERT_TRUE(waitForReport("connected Vision"));
  EXPECT_EQ(host_->clientHost(), "127.0.0.1");
  EXPECT_EQ(host_->count("trusted"), 1u);
  EXPECT_EQ(defaults_->stringArray("trustedClientIdentifiers"), (std::vector<std::string>{"device-A"}));

  // The right code without an identifier admits the client but trusts nobody new.
  client->close();
  ASSERT_TRUE(waitForReport("disconnected"));
  std::this_thread::sleep_for(shortTiming().duplicateConnectionWindow);
  admittedClient();
  EXPECT_EQ(host_->count("trusted"), 1u);

  // After a restart the trusted identifier, trimmed, needs no code; another spelling does not.
  host_.reset();
  host_ = std::make_unique<InProcessHost>(mainQueue_, shortTiming(), defaults_);
  std::size_t sessions = 0;  // of the restarted host
  for (const auto& [identifier, admitted] :
       std::vector<std::pair<std::string, bool>>{{"device-A", true}, {" device-A\r\n", true}, {"DEVICE-A", false}}) {
    auto returning = connect();
    returning->sendHello(helloWithCode("", identifier));
    const auto reply = returning->readHandshake();
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->get<ServerHello>() != nullptr, admitted) << identifier;
    // End the session, or the next connection would count as its Happy Eyeballs duplicate.
    returning->close();
    if (admitted) {
      ASSERT_TRUE(waitForReport("disconnected", ++sessions));
    }
  }
  EXPECT_EQ(host_->count("trusted"), 0u);
  const auto details = defaults_->value("trustedClientDetails");
  ASSERT_TRUE(details && details->contains("device-A"));
  EXPECT_EQ((*details)["device-A"]["deviceName"], "Vision");
  EXPECT_EQ((*details)["device-A"]["lastAddress"], "127.0.0.1");
}

TEST(ControlChannelTimingTest, HandshakeDeadlineIsFiveSecondsAndTheDuplicateWindowTwo) {
  EXPECT_EQ(ControlChannelTiming{}.handshakeDeadline, 5s);
  EXPECT_EQ(ControlChannelTiming{}.duplicateConnectionWindow, 2s);
}

TEST_F(ControlChannelServerTest, HelloFieldsFollowTheClientAndTheDisplays) {
  host_->displays.clear();
  auto client = connect();
  auto hello = helloWithCode("1234");
  hello.preferredFrameRate = 30;
  client->sendInPieces(MessageCoder::shared().encode(HandshakeMessage(hello)), 7);

  // No displays: the client's own size, and an empty list.
  EXPECT_EQ(client->readServerHello(),
            (ServerHello{2, "Test Mac", 1920, 1080, 5921, 30, "127.0.0.1", std::vector<DisplayInfo>{}}));

  host_->displays = {MacDisplaySnapshot{3, "Other", Rect{0, 0, 1024.9, 768.5}, 2, true}};
  mainQueue_.post([this] { host_->server().resendServerHello(); });
  EXPECT_EQ(client->readServerHello(), (ServerHello{2, "Test Mac", 1024, 768, 5921, 60, std::nullopt,
                                                    std::vector<DisplayInfo>{{3, "Other", 1024, 768, true}}}));
}

TEST_F(ControlChannelServerTest, WrongVersionsAndCodesAreRefusedAndRepeatedWrongCodesLockPairing) {
  for (std::uint32_t version : {1u, 3u}) {
    auto hello = helloWithCode("1234");
    hello.protocolVersion = version;
    EXPECT_EQ(refusal(hello), RejectionReason::versionMismatch) << version;
  }
  EXPECT_EQ(host_->reports(), std::vector<std::string>{});  // nor do they count as guesses
  for (int attempt = 0; attempt < 5; ++attempt) {
    EXPECT_EQ(refusal(helloWithCode("0000", "device-E")), RejectionReason::invalidPairingCode) << attempt;
  }
  EXPECT_EQ(host_->reports().front(), "pairing required");
  EXPECT_EQ(logs_.countContaining("Too many wrong pairing codes"), 1u);

  EXPECT_EQ(refusal(helloWithCode("1234", "device-E")), RejectionReason::invalidPairingCode);
  EXPECT_EQ(logs_.countContaining("without checking its code"), 1u);
  EXPECT_EQ(host_->count("trusted"), 0u);
}

TEST_F(ControlChannelServerTest, OneHandshakeAtATimeAndSilentOrGarbledCandidatesAreClosed) {
  auto silent = connect();
  ASSERT_TRUE(waitFor([&] { return logs_.count("Client TCP ready — starting handshake") == 1; }));
  auto second = connect();
  EXPECT_TRUE(second->waitUntilClosed());
  EXPECT_EQ(logs_.countContaining("while a handshake is already in progress"), 1u);

  EXPECT_TRUE(silent->waitUntilClosed());
  EXPECT_EQ(logs_.count(log::Level::error, "Pending control handshake timed out"), 1u);

  // Bytes that are no hello close the candidate too; the listener takes the next client.
  auto garbage = connect();
  garbage->send(Bytes{0, 0, 0, 3, 'a', 'b', 'c'});
  EXPECT_TRUE(garbage->waitUntilClosed());
  EXPECT_EQ(logs_.countContaining("Handshake decode error: "), 1u);
  admittedClient();
}

TEST_F(ControlChannelServerTest, DuplicateRightAfterTheHandshakeIsRefusedLaterOnesMayReplace) {
  auto session = admittedClient("First");
  auto duplicate = connect();
  EXPECT_TRUE(duplicate->waitUntilClosed());
  EXPECT_EQ(logs_.countContaining("Rejecting duplicate connection (Happy Eyeballs, "), 1u);

  std::this_thread::sleep_for(shortTiming().duplicateConnectionWindow);
  auto replacement = connect();
  ASSERT_TRUE(waitFor([&] { return logs_.countContaining("Keeping existing control session active") == 1; }));
  // The first session still works while the candidate authenticates.
  session->send(MessageCoder::shared().encode(ControlMessage(ControlMessage::RequestKeyframe{})));
  ASSERT_TRUE(waitForReport("keyframe"));

  replacement->sendHello(helloWithCode("1234", std::nullopt, "Second"));
  replacement->readServerHello();
  EXPECT_TRUE(session->waitUntilClosed());
  ASSERT_TRUE(waitForReport("connected Second"));
  EXPECT_EQ(host_->count("disconnected"), 0u);
}

TEST_F(ControlChannelServerTest, RoutesEveryMessageInArrivalOrderAndEndsSessionsOnCloseAndStop) {
  auto client = admittedClient();
  Bytes glued;
  for (const auto& message :
       {ControlMessage(ControlMessage::KeyDown{36, ControlMessage::KeyModifiers(9)}),
        ControlMessage(ControlMessage::SwitchDisplay{5}),
        ControlMessage(ControlMessage::SetMultiDisplay{true}), ControlMessage(ControlMessage::RequestKeyframe{}),
        ControlMessage(ControlMessage::Unknown{}), ControlMessage(ControlMessage::MouseMove{10.5, 20})}) {
    const auto frame = MessageCoder::shared().encode(message);
    glued.insert(glued.end(), frame.begin(), frame.end());
  }
  client->send(glued);
  const auto mouseMove = "control " + jsonText(ControlMessage::MouseMove{10.5, 20});
  ASSERT_TRUE(waitForReport(mouseMove));

  const auto keyDown = "control " + jsonText(ControlMessage::KeyDown{36, ControlMessage::KeyModifiers(9)});
  const std::vector<std::string> expected = {"connected Vision", keyDown, "switch 5", "multi on", "keyframe",
                                             mouseMove};
  EXPECT_EQ(host_->reports(), expected);

  // The peer's close ends the session once; a stop ends the next one silently.
  client->close();
  ASSERT_TRUE(waitForReport("disconnected"));
  auto second = admittedClient();
  host_->server().stop();
  EXPECT_TRUE(second->waitUntilClosed());
  ASSERT_TRUE(waitFor([&] { return host_->port() == 0; }));
  EXPECT_EQ(host_->count("disconnected"), 1u);
}

TEST_F(ControlChannelServerTest, BadFrameIsDroppedAloneAndOversizedPrefixEndsTheSession) {
  defaults_->failWrites(true);  // failing to keep the trusted identifier must not end the session
  auto client = connect();
  client->sendHello(helloWithCode("1234", "device-D"));
  client->readServerHello();
  Bytes bytes = {0, 0, 0, 9, '{', '"', 'k', 'e', 'y', 'U', 'p', '"', ':'};  // broken JSON
  const auto keyframe = MessageCoder::shared().encode(ControlMessage(ControlMessage::RequestKeyframe{}));
  bytes.insert(bytes.end(), keyframe.begin(), keyframe.end());
  client->send(bytes);
  ASSERT_TRUE(waitForReport("keyframe"));
  EXPECT_EQ(logs_.countContaining("Control message decode error: "), 1u);

  client->send(Bytes{0x00, 0x10, 0x00, 0x01});
  EXPECT_TRUE(client->waitUntilClosed());
  ASSERT_TRUE(waitForReport("disconnected"));
  EXPECT_EQ(logs_.countContaining("exceeds maximum 1048576"), 1u);
}

TEST(VideoHostTest, LinkLocalAndScopedAddressesAreNotUsable) {
  EXPECT_TRUE(isUsableVideoHost("2001:db8::1"));
  EXPECT_FALSE(isUsableVideoHost("fe80::1%en0") || isUsableVideoHost("FE80::1") || isUsableVideoHost("169.254.3.4"));
}

}  // namespace
}  // namespace velmora
