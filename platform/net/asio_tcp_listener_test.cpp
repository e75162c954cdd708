#include "platform/net/asio_tcp_listener.h"

#include "platform/net/asio_connection.h"
#include "platform/net/net_test_support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace velmora {
namespace {

using testing::ListeningHost;
using testing::QueueThread;
using testing::RawPeer;

// An IPv4 peer arrives as ::ffff:127.0.0.1 on the dual-stack socket and is reported as plain IPv4.
TEST(AsioTcpListenerTest, ReportsReadyAndPeersOfTheDualStackSocketByTheirOwnAddress) {
  QueueThread queue;
  ListeningHost host(queue.context());
  EXPECT_EQ(host.states->next(), TcpListener::StateKind::ready);
  for (const std::string address : {"127.0.0.1", "::1"}) {
    if (address == "::1" && !testing::machineHasIPv6Loopback()) {
      GTEST_SKIP() << "no IPv6 loopback on this machine";
    }
    RawPeer peer(address, host.port());
    auto connection = host.acceptReady();
    auto remote = connection->remoteEndpoint();
    auto local = connection->localEndpoint();
    ASSERT_TRUE(remote && local);
    EXPECT_EQ(remote->host + ":" + std::to_string(remote->port), address + ":" + std::to_string(peer.localPort()));
    EXPECT_EQ(local->host + ":" + std::to_string(local->port), address + ":" + std::to_string(host.port()));
    connection->cancel();
  }
}

TEST(AsioTcpListenerTest, FailsToListenOnAPortInUseAndSaysWhy) {
  QueueThread queue;
  ListeningHost host(queue.context());
  auto second = makeTcpListener(queue.context(), host.port());
  ASSERT_FALSE(second.ok());
  EXPECT_THAT(second.error(), ::testing::HasSubstr("Address already in use"));
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
  QueueThread queue;
  ListeningHost host(queue.context());
  // The host cancels each connection once its peer has closed.
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
    ASSERT_EQ(peerClosed->next(), true);
  };
  connectAndCancel();  // the first connection makes what the queue keeps for good
  queue.drain();
  const auto before = testing::openDescriptorCount();

  for (int cycle = 0; cycle < 300; ++cycle) {
    RawPeer peer("127.0.0.1", host.port());
    connectAndCancel();
  }
  for (int cycle = 0; cycle < 300; ++cycle) {
    ASSERT_EQ(peerClosed->next(), true) << "cycle " << cycle;
  }
  queue.drain();
  EXPECT_EQ(testing::openDescriptorCount(), before);
}

}  // namespace
}  // namespace velmora
