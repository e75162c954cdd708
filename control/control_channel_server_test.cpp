#include "control/control_channel_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "platform/dispatch/manual_main_queue.h"
#include "platform/net/asio_tcp_listener.h"
#include "control/test_control_client.h"
#include "platform/testing/in_memory_user_defaults.h"
#include "protocol/message_coder.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;

constexpr auto kWait = testing::kControlClientWait;

using testing::helloWithCode;
using testing::TestClient;

// What the server reported to its owner, in order; written on the network queue.
class Reports {
 public:
  void add(std::string report) {
    std::lock_guard lock(reportsLock_);
    reports_.push_back(std::move(report));
  }
  std::vector<std::string> all() const {
    std::lock_guard lock(reportsLock_);
    return reports_;
  }
  std::size_t count(const std::string& report) const { return std::ranges::count(all(), report); }

 private:
  mutable std::mutex reportsLock_;
  std::vector<std::string> reports_;
};

std::string jsonText(const ControlMessage& message) { return message.toJson().dump(); }

MacDisplaySnapshot display(std::uint32_t id, double x, double width, double height, bool isMain) {
  return MacDisplaySnapshot{id, "Display " + std::to_string(id), Rect{x, 0, width, height}, 2, isMain};
}

class ControlChannelServerTest : public ::testing::Test {
 protected:
  void SetUp() override { makeServer(); }

  void TearDown() override { server_.reset(); }

  void makeServer(ControlChannelTiming timing = shortTiming()) {
    ControlChannelServer::Callbacks callbacks;
    callbacks.onClientConnected = [this](const ClientHello& hello, const std::shared_ptr<Connection>&,
                                         const std::optional<std::string>& host) {
      reports_.add("connected " + hello.deviceName + " from " + host.value_or("nil"));
    };
    callbacks.onClientDisconnected = [this] { reports_.add("disconnected"); };
    callbacks.onPairingRequired = [this] { reports_.add("pairing required"); };
    callbacks.onClientTrusted = [this] { reports_.add("trusted"); };
    callbacks.onKeyframeRequested = [this] { reports_.add("keyframe"); };
    callbacks.onDisplaySwitchRequested = [this](std::uint32_t id) { reports_.add("switch " + std::to_string(id)); };
    callbacks.onMultiDisplayRequested = [this](bool enabled) { reports_.add(enabled ? "multi on" : "multi off"); };
    callbacks.onControlMessage = [this](const ControlMessage& message) { reports_.add("control " + jsonText(message)); };
    server_ = ControlChannelServer::create({mainQueue_, defaults_, nullptr, [] { return std::string("Test Mac"); },
                                            [this] { return snapshots_; }, makeTcpListener, 0, timing},
                                           std::move(callbacks));
    server_->setRequiredPairingCode("1234");
    server_->start();
    ASSERT_TRUE(mainQueue_.runUntil([&] { return server_->listeningPort().has_value() && port() != 0; }, kWait));
  }

  static ControlChannelTiming shortTiming() {
    ControlChannelTiming timing;
    timing.handshakeDeadline = 2s;
    timing.duplicateConnectionWindow = 1s;
    return timing;
  }

  std::uint16_t port() const { return server_->listeningPort().value_or(0); }

  std::unique_ptr<TestClient> connect() { return std::make_unique<TestClient>(mainQueue_, port()); }

  std::unique_ptr<TestClient> admittedClient(const std::string& name = "Vision") {
    auto client = connect();
    client->sendHello(helloWithCode("1234", std::nullopt, name));
    client->readServerHello();
    return client;
  }

  bool waitFor(const std::function<bool()>& condition) { return mainQueue_.runUntil(condition, kWait); }
  bool waitForReport(const std::string& report, std::size_t count = 1) {
    return waitFor([&] { return reports_.count(report) >= count; });
  }

  ManualMainQueue mainQueue_;
  std::shared_ptr<testing::InMemoryUserDefaults> defaults_ = std::make_shared<testing::InMemoryUserDefaults>();
  std::vector<MacDisplaySnapshot> snapshots_ = {display(1, 0, 1512, 982, true), display(7, 1512, 2560, 1440, false)};
  std::shared_ptr<ControlChannelServer> server_;
  Reports reports_;
  log::MemoryLogSink logs_;
};

TEST_F(ControlChannelServerTest, AdmitsTheRightCodeAndDescribesTheHost) {
  server_->setSelectedDisplayID(7u);
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

  ASSERT_TRUE(waitForReport("connected Vision from 127.0.0.1"));
  EXPECT_EQ(reports_.count("trusted"), 1u);
  EXPECT_EQ(defaults_->stringArray("trustedClientIdentifiers"), (std::vector<std::string>{"device-A"}));

  // The right code without an identifier admits the client but trusts nobody new.
  client->close();
  ASSERT_TRUE(waitForReport("disconnected"));
  std::this_thread::sleep_for(shortTiming().duplicateConnectionWindow);
  admittedClient();
  EXPECT_EQ(reports_.count("trusted"), 1u);
  EXPECT_EQ(defaults_->writeCount(), 1);
}

TEST(ControlChannelTimingTest, HandshakeDeadlineIsFiveSecondsAndTheDuplicateWindowTwo) {
  EXPECT_EQ(ControlChannelTiming{}.handshakeDeadline, 5s);
  EXPECT_EQ(ControlChannelTiming{}.duplicateConnectionWindow, 2s);
}

TEST_F(ControlChannelServerTest, HelloFieldsFollowTheClientAndTheDisplays) {
  snapshots_.clear();
  auto client = connect();
  auto hello = helloWithCode("1234");
  hello.preferredFrameRate = 30;
  client->sendInPieces(MessageCoder::shared().encode(HandshakeMessage(hello)), 7);

  const auto serverHello = client->readServerHello();
  EXPECT_EQ(serverHello.frameRate, 30);
  EXPECT_EQ(serverHello.screenWidth, 1920);
  EXPECT_EQ(serverHello.screenHeight, 1080);
  EXPECT_EQ(serverHello.displays, std::optional<std::vector<DisplayInfo>>(std::vector<DisplayInfo>{}));

  snapshots_ = {display(3, 0, 1024.9, 768.5, true)};
  mainQueue_.post([this] { server_->resendServerHello(); });
  const auto resent = client->readServerHello();
  EXPECT_EQ(resent.frameRate, 60);
  EXPECT_EQ(resent.videoHost, std::nullopt);
  EXPECT_EQ(resent.screenWidth, 1024);
  EXPECT_EQ(resent.screenHeight, 768);
}

TEST_F(ControlChannelServerTest, RejectsWrongVersionsEvenWithTheRightCode) {
  for (std::uint32_t version : {1u, 3u}) {
    auto client = connect();
    auto hello = helloWithCode("1234");
    hello.protocolVersion = version;
    client->sendHello(hello);
    const auto reply = client->readHandshake();
    ASSERT_TRUE(reply && reply->get<ServerRejected>());
    EXPECT_EQ(reply->get<ServerRejected>()->reason, RejectionReason::versionMismatch);
    EXPECT_TRUE(client->waitUntilClosed());
  }
  EXPECT_EQ(reports_.all(), std::vector<std::string>{});
}

TEST_F(ControlChannelServerTest, TrustedIdentifiersSkipTheCodeAndSurviveARestart) {
  {
    auto first = connect();
    first->sendHello(helloWithCode("1234", "device-C"));
    first->readServerHello();
    ASSERT_TRUE(waitForReport("trusted"));
  }
  ASSERT_TRUE(waitForReport("disconnected"));
  server_.reset();
  makeServer();

  struct Case {
    std::optional<std::string> identifier;
    bool admitted;
  };
  std::size_t sessions = 1;
  for (const auto& [identifier, admitted] : std::vector<Case>{{"device-C", true}, {" device-C\r\n", true}, {"DEVICE-C", false}}) {
    auto client = connect();
    client->sendHello(helloWithCode("", identifier));
    const auto reply = client->readHandshake();
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->get<ServerHello>() != nullptr, admitted) << *identifier;
    // End the session, or the next connection would count as its Happy Eyeballs duplicate.
    client->close();
    if (admitted) {
      ASSERT_TRUE(waitForReport("disconnected", ++sessions));
    }
  }
  EXPECT_EQ(reports_.count("trusted"), 1u);
  EXPECT_EQ(defaults_->writeCount(), 1);
}

TEST_F(ControlChannelServerTest, FailingToPersistATrustedClientKeepsTheSession) {
  defaults_->failWrites(true);
  auto client = connect();
  client->sendHello(helloWithCode("1234", "device-D"));
  client->readServerHello();
  client->sendControl(ControlMessage(ControlMessage::RequestKeyframe{}));
  EXPECT_TRUE(waitForReport("keyframe"));
}

TEST_F(ControlChannelServerTest, WrongCodesAreRejectedAndClosedAndRepeatedOnesLockPairing) {
  for (int attempt = 0; attempt < 5; ++attempt) {
    auto client = connect();
    client->sendHello(helloWithCode("0000", "device-E"));
    const auto reply = client->readHandshake();
    ASSERT_TRUE(reply && reply->get<ServerRejected>());
    EXPECT_EQ(reply->get<ServerRejected>()->reason, RejectionReason::invalidPairingCode);
    EXPECT_TRUE(client->waitUntilClosed());
  }
  EXPECT_EQ(reports_.all().front(), "pairing required");
  EXPECT_EQ(logs_.countContaining("Too many wrong pairing codes"), 1u);

  auto guessed = connect();
  guessed->sendHello(helloWithCode("1234", "device-E"));
  const auto reply = guessed->readHandshake();
  ASSERT_TRUE(reply && reply->get<ServerRejected>());
  EXPECT_EQ(reply->get<ServerRejected>()->reason, RejectionReason::invalidPairingCode);
  EXPECT_EQ(logs_.countContaining("without checking its code"), 1u);
  EXPECT_EQ(reports_.count("trusted"), 0u);
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
  session->sendControl(ControlMessage(ControlMessage::RequestKeyframe{}));
  ASSERT_TRUE(waitForReport("keyframe"));

  replacement->sendHello(helloWithCode("1234", std::nullopt, "Second"));
  replacement->readServerHello();
  EXPECT_TRUE(session->waitUntilClosed());
  ASSERT_TRUE(waitForReport("connected Second from 127.0.0.1"));
  EXPECT_EQ(reports_.count("disconnected"), 0u);
}

TEST_F(ControlChannelServerTest, PeerCloseEndsTheSessionOnceAndStopEndsItSilently) {
  auto client = admittedClient();
  client->close();
  ASSERT_TRUE(waitForReport("disconnected"));

  auto second = admittedClient();
  server_->stop();
  EXPECT_TRUE(second->waitUntilClosed());
  ASSERT_TRUE(waitFor([&] { return !server_->listeningPort().has_value(); }));
  EXPECT_EQ(reports_.count("disconnected"), 1u);
}

TEST_F(ControlChannelServerTest, RoutesEveryMessageInArrivalOrder) {
  auto client = admittedClient();
  Bytes glued;
  for (const auto& message :
       {ControlMessage(ControlMessage::KeyDown{36, ControlMessage::KeyModifiers(9)}), ControlMessage(ControlMessage::SwitchDisplay{5}),
        ControlMessage(ControlMessage::SetMultiDisplay{true}), ControlMessage(ControlMessage::RequestKeyframe{}),
        ControlMessage(ControlMessage::Unknown{}), ControlMessage(ControlMessage::MouseMove{10.5, 20})}) {
    const auto frame = MessageCoder::shared().encode(message);
    glued.insert(glued.end(), frame.begin(), frame.end());
  }
  client->send(glued);
  const auto mouseMove = "control " + jsonText(ControlMessage::MouseMove{10.5, 20});
  ASSERT_TRUE(waitForReport(mouseMove));

  const auto keyDown = "control " + jsonText(ControlMessage::KeyDown{36, ControlMessage::KeyModifiers(9)});
  const std::vector<std::string> expected = {"connected Vision from 127.0.0.1", keyDown, "switch 5", "multi on", "keyframe",
                                             mouseMove};
  EXPECT_EQ(reports_.all(), expected);
}

TEST_F(ControlChannelServerTest, BadFrameIsDroppedAloneAndOversizedPrefixEndsTheSession) {
  auto client = admittedClient();
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
  for (const char* linkLocal : {"fe80::1%en0", "FE80::1", "169.254.3.4"}) {
    EXPECT_FALSE(isUsableVideoHost(linkLocal)) << linkLocal;
  }
}

}  // namespace
}  // namespace velmora
