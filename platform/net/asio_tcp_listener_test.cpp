#include "platform/net/asio_tcp_listener.h"

#include "platform/net/asio_connection.h"
#include "platform/net/net_test_support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <vector>

namespace velmora {
namespace {

using testing::ListeningHost;
using testing::QueueThread;
using testing::RawPeer;

TEST(AsioTcpListenerTest, ReportsReadyAndHandsOverUnstartedConnections) {
  QueueThread queue;
  ListeningHost host(queue.context());
  EXPECT_EQ(host.states->next(), TcpListener::StateKind::ready);
  EXPECT_NE(host.port(), 0);

  RawPeer peer("127.0.0.1", host.port());
  auto accepted = host.accepted->next();
  ASSERT_TRUE(accepted);
  auto connection = *accepted;
  EXPECT_EQ(connection->state().kind, ConnectionStateKind::setup);
  auto states = testing::recordStates(*connection);
  connection->start();
  EXPECT_EQ(states->next(), ConnectionStateKind::preparing);
  EXPECT_EQ(states->next(), ConnectionStateKind::ready);
  connection->cancel();
}

TEST(AsioTcpListenerTest, ReportsPeersOfTheDualStackSocketByTheirOwnAddress) {
  struct Case {
    const char* peerAddress;
    const char* reportedHost;
  };
  const std::vector<Case> cases = {
      {"127.0.0.1", "127.0.0.1"},  // arrives as ::ffff:127.0.0.1 on the dual-stack socket
      {"::1", "::1"},
  };
  QueueThread queue;
  ListeningHost host(queue.context());
  for (const auto& [peerAddress, reportedHost] : cases) {
    SCOPED_TRACE(peerAddress);
    if (std::string_view(peerAddress) == "::1" && !testing::machineHasIPv6Loopback()) {
      GTEST_SKIP() << "no IPv6 loopback on this machine";
    }
    RawPeer peer(peerAddress, host.port());
    auto connection = host.acceptReady();

    auto remote = connection->remoteEndpoint();
    auto local = connection->localEndpoint();
    ASSERT_TRUE(remote && local);
    EXPECT_EQ(remote->host, reportedHost);
    EXPECT_EQ(remote->port, peer.localPort());
    EXPECT_EQ(local->host, reportedHost);
    EXPECT_EQ(local->port, host.port());
    connection->cancel();
  }
}

TEST(AsioTcpListenerTest, FailsToListenOnAPortInUseAndSaysWhy) {
  QueueThread queue;
  ListeningHost host(queue.context());

  auto second = makeTcpListener(queue.context(), host.port());

  ASSERT_FALSE(second.ok());
  EXPECT_THAT(second.error(), ::testing::HasSubstr("Address already in use"));
  EXPECT_THAT(second.error(), ::testing::HasSubstr(std::to_string(host.port())));
}

TEST(AsioTcpListenerTest, CancelReportsOnceAndStopsAccepting) {
  QueueThread queue;
  ListeningHost host(queue.context());
  ASSERT_EQ(host.states->next(), TcpListener::StateKind::ready);

  host.listener->cancel();
  host.listener->cancel();
  EXPECT_EQ(host.states->next(), TcpListener::StateKind::cancelled);
  host.listener->start();  // a cancelled listener stays cancelled
  queue.drain();
  queue.drain();  // a second report, if there were one, is queued by now
  EXPECT_EQ(host.states->size(), 0u);
  EXPECT_THROW(RawPeer("127.0.0.1", host.port()), asio::system_error);
}

// Hundreds of short connections, closed by either side, must not leave a descriptor behind.
TEST(AsioTcpListenerTest, ConnectionBurstLeavesNoDescriptorsBehind) {
  constexpr int kPeerClosedCycles = 300;
  constexpr int kHostCancelledCycles = 100;
  QueueThread queue;
  ListeningHost host(queue.context());
  // The host cancels each connection once its peer has closed; the counter lives on the queue.
  auto peerClosed = testing::makeInbox<bool>();
  host.listener->setNewConnectionHandler([peerClosed](std::shared_ptr<Connection> connection) {
    connection->start();
    connection->receive(1, 65536, [connection, peerClosed](Bytes, bool isComplete, std::optional<NetworkError> error) {
      connection->cancel();
      peerClosed->push(isComplete || error);
    });
  });
  const auto connectAndCancel = [&] {
    auto client = makeTcpConnection(queue.context(), "127.0.0.1", host.port());
    auto states = testing::recordStates(*client);
    client->start();
    ASSERT_EQ(states->next(), ConnectionStateKind::preparing);
    ASSERT_EQ(states->next(), ConnectionStateKind::ready);
    client->cancel();
    ASSERT_EQ(states->next(), ConnectionStateKind::cancelled);
    ASSERT_EQ(peerClosed->next(), true);
  };
  connectAndCancel();  // the first connection makes what the queue keeps for good
  queue.drain();
  auto before = testing::openDescriptorCount();

  for (int cycle = 0; cycle < kPeerClosedCycles; ++cycle) {
    RawPeer peer("127.0.0.1", host.port());
  }
  for (int cycle = 0; cycle < kPeerClosedCycles; ++cycle) {
    ASSERT_EQ(peerClosed->next(), true) << "cycle " << cycle;
  }
  for (int cycle = 0; cycle < kHostCancelledCycles; ++cycle) {
    connectAndCancel();
  }
  queue.drain();

  EXPECT_EQ(testing::openDescriptorCount(), before);
}

}  // namespace
}  // namespace velmora
