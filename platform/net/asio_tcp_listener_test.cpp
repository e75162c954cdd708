#include "platform/net/asio_tcp_listener.h"

#include "platform/net/asio_connection.h"
#include "platform/net/testing/net_test_support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace velmora {
namespace {

using testing::ListeningHost;
using testing::QueueThread;
using testing::RawPeer;

TEST(AsioTcpListenerTest, ReportsReadyRefusesAPortInUseAndOnceCancelledReportsOnceAndStopsAccepting) {
  QueueThread queue;
  ListeningHost host(queue.context());
  ASSERT_EQ(host.states->next(), TcpListener::StateKind::ready);
  auto second = makeTcpListener(queue.context(), host.port());
  ASSERT_FALSE(second.ok());
  EXPECT_THAT(second.error(), ::testing::HasSubstr("Address already in use"));

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
