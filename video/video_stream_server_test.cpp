#include "video/video_stream_server.h"

#include <gtest/gtest.h>

#include <atomic>

#include "platform/net/asio_udp_listener.h"
#include "platform/net/testing/net_test_support.h"
#include "platform/net/testing/udp_test_peer.h"
#include "protocol/frame_packet_header.h"

namespace velmora {
namespace {

using testing::countingBytes;
using testing::UdpTestPeer;
using testing::waitUntil;

constexpr std::string_view kUnverifiedLine = "VideoServer: rejecting UDP connection before TCP host verification completed";

class VideoStreamServerTest : public ::testing::Test {
 protected:
  std::shared_ptr<VideoStreamServer> makeServer() {
    VideoStreamServer::Options options;
    options.port = 0;
    options.makeListener = [listeners = listeners_](asio::io_context& queue, const UdpListenerSettings& settings) {
      auto made = makeUdpListener(queue, settings);
      if (made) {
        listeners->push_back(made.value());
      }
      return made;
    };
    // Frozen unless a test moves it, so that which flows get log lines does not depend on speed.
    options.now = [elapsed = elapsed_] { return VideoStreamServer::Clock::time_point(std::chrono::hours(1)) + elapsed->load(); };
    return VideoStreamServer::create(std::move(options), {[ready = ready_] { ready->push(true); }});
  }

  // Starts `server`, verifies loopback and admits `client`'s flow.
  void connect(VideoStreamServer& server, UdpTestPeer& client) {
    server.start();
    server.setAllowedClientHost("127.0.0.1");
    client.hello(*server.listeningPort());
    ASSERT_EQ(ready_->next(), true);
  }

  // Only while the server that made it exists: a listener must not outlive the server's queue.
  std::size_t openFlows() const { return listeners_->at(0).lock()->openFlowCount(); }

  bool logged(std::string_view line) { return waitUntil([&] { return logs_.count(line) >= 1; }); }

  static std::vector<Bytes> receiveAll(UdpTestPeer& peer, std::size_t count) {
    std::vector<Bytes> datagrams;
    for (std::optional<Bytes> datagram; datagrams.size() < count && (datagram = peer.receive());) {
      datagrams.push_back(std::move(*datagram));
    }
    return datagrams;
  }

  log::MemoryLogSink logs_;
  testing::SharedInbox<bool> ready_ = testing::makeInbox<bool>();
  std::shared_ptr<std::atomic<VideoStreamServer::Clock::duration>> elapsed_ =
      std::make_shared<std::atomic<VideoStreamServer::Clock::duration>>(VideoStreamServer::Clock::duration::zero());
  std::shared_ptr<std::vector<std::weak_ptr<UdpListener>>> listeners_ =
      std::make_shared<std::vector<std::weak_ptr<UdpListener>>>();
};

TEST_F(VideoStreamServerTest, AdmitsOnlyAFlowFromTheVerifiedHost) {
  const struct {
    std::optional<std::string> allowedHost;
    std::string_view rejection;  // empty: admitted
  } cases[] = {
      {std::nullopt, kUnverifiedLine},
      {"127.0.0.2", "VideoServer: REJECTED UDP connection from <private> (expected <private>)"},
      {"::ffff:127.0.0.1", ""},
      {"127.0.0.1%lo", ""},
  };
  for (const auto& [allowedHost, rejection] : cases) {
    SCOPED_TRACE(allowedHost.value_or("no host"));
    logs_.clear();
    auto server = makeServer();
    server->start();
    server->setAllowedClientHost(allowedHost);
    UdpTestPeer client;

    client.hello(*server->listeningPort());

    if (rejection.empty()) {
      EXPECT_EQ(ready_->next(), true);
      server->send(std::vector<Bytes>{countingBytes(10)}, VideoFrameMetadata{});
      EXPECT_TRUE(client.receive());
    } else {
      ASSERT_TRUE(logged(rejection));
      EXPECT_TRUE(waitUntil([&] { return openFlows() == 0; }));
      server->send(std::vector<Bytes>{countingBytes(10)}, VideoFrameMetadata{});
      EXPECT_TRUE(client.hasNothingToRead());
      EXPECT_EQ(ready_->size(), 0u);
    }
    listeners_->clear();
  }
}

TEST_F(VideoStreamServerTest, FlowsAreAdoptedAfterVerificationAndTheNewestReplacesTheActiveOne) {
  auto server = makeServer();
  server->start();
  UdpTestPeer first;
  UdpTestPeer second;  // the same host from another source port, as after a client restart
  first.hello(*server->listeningPort());
  ASSERT_TRUE(logged(kUnverifiedLine));

  server->setAllowedClientHost("127.0.0.1");
  first.hello(*server->listeningPort());  // the rejected flow was forgotten: a new one
  ASSERT_EQ(ready_->next(), true);
  second.hello(*server->listeningPort());
  ASSERT_EQ(ready_->next(), true);
  ASSERT_TRUE(waitUntil([&] { return openFlows() == 1; }));  // the first was cancelled
  server->send(std::vector<Bytes>{countingBytes(10)}, VideoFrameMetadata{});

  EXPECT_TRUE(second.receive());
  EXPECT_TRUE(first.hasNothingToRead());
}

// Both send modes are the listener's, tested with it; here the server's cutting and addressing.
TEST_F(VideoStreamServerTest, FrameGoesOutAsItsTrainOfDatagrams) {
  auto server = makeServer();
  UdpTestPeer client;
  connect(*server, client);
  const std::vector<Bytes> nalUnits = {countingBytes(1000, 1), countingBytes(2000, 7)};
  const VideoFrameMetadata metadata{42, 0, true, 3000, 3};

  server->send(nalUnits, metadata);

  const auto datagrams = receiveAll(client, 3);
  ASSERT_EQ(datagrams.size(), 3u);
  Bytes received;
  for (std::uint16_t index = 0; index < 3; ++index) {
    EXPECT_EQ(datagrams[index].size(), index < 2 ? 1416u : 216u);
    EXPECT_EQ(FramePacketHeader::deserialize(datagrams[index]), FramePacketHeader(42, index, 3, 3000, true, 3));
    received.insert(received.end(), datagrams[index].begin() + 16, datagrams[index].end());
  }
  Bytes payload = nalUnits[0];
  payload.insert(payload.end(), nalUnits[1].begin(), nalUnits[1].end());
  EXPECT_EQ(received, payload);
  EXPECT_TRUE(client.hasNothingToRead());
}

// A still screen encodes nothing after its first frame: a keyframe that came before the client was
// ready reaches it once it is, unless a later frame of its stream made it stale.
TEST_F(VideoStreamServerTest, TheNewestFrameOfEachStreamReachesALateClientWhenItIsAKeyframe) {
  auto server = makeServer();
  server->send(std::vector<Bytes>{countingBytes(10)}, VideoFrameMetadata{1, 0, true, 10, 0});
  server->send(std::vector<Bytes>{countingBytes(10)}, VideoFrameMetadata{2, 0, false, 10, 0});
  server->send(std::vector<Bytes>{countingBytes(10)}, VideoFrameMetadata{7, 0, true, 10, 1});
  UdpTestPeer client;
  connect(*server, client);
  const auto datagrams = receiveAll(client, 1);
  ASSERT_EQ(datagrams.size(), 1u);
  EXPECT_EQ(FramePacketHeader::deserialize(datagrams[0]), FramePacketHeader(7, 0, 1, 10, true, 1));
  EXPECT_TRUE(client.hasNothingToRead());
}

TEST_F(VideoStreamServerTest, StartIsIdempotentAndDisconnectForgetsTheHost) {
  auto server = makeServer();
  UdpTestPeer client;
  connect(*server, client);
  server->start();
  EXPECT_EQ(listeners_->size(), 1u);
  server->disconnectClient();
  EXPECT_FALSE(server->allowedClientHost());
  server->send(std::vector<Bytes>{countingBytes(10)}, VideoFrameMetadata{});
  EXPECT_TRUE(client.hasNothingToRead());
  client.hello(*server->listeningPort());  // the host must be verified again
  EXPECT_TRUE(logged(kUnverifiedLine));
}

TEST_F(VideoStreamServerTest, ForeignFloodGetsNoDatagramKeepsNoFlowsAndFewLogLines) {
  constexpr std::size_t kForeignPeers = 200;
  auto server = makeServer();
  UdpTestPeer client;
  connect(*server, client);  // the first of the five flows per window that are logged
  std::vector<std::unique_ptr<UdpTestPeer>> foreigners;
  for (std::size_t index = 0; index < kForeignPeers; ++index) {
    foreigners.push_back(std::make_unique<UdpTestPeer>("127.0.0.2"));
    foreigners.back()->hello(*server->listeningPort());
    server->send(std::vector<Bytes>{countingBytes(100)}, VideoFrameMetadata{static_cast<std::uint32_t>(index), 0, false, 100, 0});
  }
  EXPECT_EQ(receiveAll(client, kForeignPeers).size(), kForeignPeers);

  // A second later the next rejection is logged again, after the count of those left out. Some
  // foreign hellos may still be unread when the clock moves on (a slow machine): those fall into
  // the second window, whose few lines are logged too, so the count is not fixed; the flood's is.
  *elapsed_ = std::chrono::seconds(1);
  UdpTestPeer late("127.0.0.2");
  late.hello(*server->listeningPort());
  EXPECT_TRUE(waitUntil(
      [&] { return logs_.countContaining("more UDP connections were rejected without a log line") >= 1; }));
  EXPECT_TRUE(waitUntil([&] { return logs_.countContaining("VideoServer: REJECTED UDP connection") >= 5; }));
  EXPECT_LE(logs_.countContaining("VideoServer: REJECTED UDP connection"), 10u) << "two windows of a few lines each";
  EXPECT_TRUE(waitUntil([&] { return openFlows() == 1; }));
  for (const auto& foreigner : foreigners) {
    EXPECT_TRUE(foreigner->hasNothingToRead());
  }
}

}  // namespace
}  // namespace velmora
