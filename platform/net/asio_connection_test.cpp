#include "platform/net/asio_connection.h"

#include "platform/net/net_test_support.h"

#include <gtest/gtest.h>

#include <net/if.h>

#include <vector>

namespace velmora {
namespace {

using testing::ListeningHost;
using testing::QueueThread;
using testing::RawPeer;
using testing::Received;
using testing::toBytes;
using testing::toText;

TEST(EndpointTest, ReportsIPv4MappedAddressesAsPlainIPv4) {
  const auto loopbackIndex = if_nametoindex("lo");
  auto linkLocal = asio::ip::make_address_v6("fe80::1");
  linkLocal.scope_id(loopbackIndex);
  struct Case {
    asio::ip::address address;
    std::string host;
  };
  const std::vector<Case> cases = {
      {asio::ip::make_address("192.168.1.20"), "192.168.1.20"},
      {asio::ip::make_address("::ffff:192.168.1.20"), "192.168.1.20"},
      {asio::ip::make_address("2001:db8::20"), "2001:db8::20"},
      {asio::ip::make_address("::1"), "::1"},
      {linkLocal, loopbackIndex != 0 ? "fe80::1%lo" : "fe80::1"},
  };
  for (const auto& [address, host] : cases) {
    auto endpoint = toEndpoint(asio::ip::tcp::endpoint(address, 5920));
    EXPECT_EQ(endpoint.host, host);
    EXPECT_EQ(endpoint.port, 5920);
  }
}

class AsioConnectionTest : public ::testing::Test {
 protected:
  QueueThread queue_;
  ListeningHost host_{queue_.context()};
};

// The framing layer above relies on both bounds: a header arrives whole, a body never overruns.
TEST_F(AsioConnectionTest, ReceiveIsOneShotWaitsForTheMinimumAndStopsAtTheMaximum) {
  RawPeer peer("127.0.0.1", host_.port());
  auto connection = host_.acceptReady();
  auto header = testing::makeInbox<Received>();
  testing::receiveInto(*connection, 4, 4, header);
  peer.write("ab");
  peer.write("cdEFGHIJ");
  auto received = header->next();
  ASSERT_TRUE(received);
  EXPECT_EQ(toText(received->bytes), "abcd");
  EXPECT_FALSE(received->isComplete || received->error);

  // The rest waits in the socket until the next receive is armed.
  EXPECT_EQ(toText(testing::receiveOnce(*connection, 1, 3).bytes), "EFG");
  EXPECT_EQ(toText(testing::receiveOnce(*connection, 1, 65536).bytes), "HIJ");
  EXPECT_EQ(header->size(), 0u);
  connection->cancel();
}

// Data that arrives together with the peer's close is delivered before (or with) the end.
TEST_F(AsioConnectionTest, PeerCloseEndsTheStreamWithoutLosingData) {
  struct Case {
    std::size_t minimum;
    std::size_t maximum;
  };
  for (const auto& [minimum, maximum] : std::vector<Case>{{1, 65536}, {64, 64}, {1, 2}}) {
    SCOPED_TRACE(maximum);
    RawPeer peer("127.0.0.1", host_.port());
    auto connection = host_.acceptReady();
    peer.write("last words");
    peer.close();

    std::string text;
    Received received;
    do {
      received = testing::receiveOnce(*connection, minimum, maximum);
      EXPECT_FALSE(received.error);
      text += toText(received.bytes);
    } while (!received.isComplete && !received.error && text.size() <= 10);

    EXPECT_TRUE(received.isComplete);
    EXPECT_EQ(text, "last words");
    EXPECT_EQ(connection->state().kind, ConnectionStateKind::ready);
    connection->cancel();
  }
}

TEST_F(AsioConnectionTest, SendsCompleteInOrderAndArriveIntact) {
  constexpr std::size_t kLength = 1 << 20;
  RawPeer peer("127.0.0.1", host_.port());
  auto connection = host_.acceptReady();
  auto completions = testing::makeInbox<std::pair<int, std::optional<NetworkError>>>();
  std::vector<Bytes> buffers;
  for (int index = 0; index < 3; ++index) {
    Bytes buffer(kLength);
    for (std::size_t offset = 0; offset < kLength; ++offset) {
      // a period prime to every power of two, so that a reordered chunk shows
      buffer[offset] = static_cast<std::uint8_t>((offset * 7 + static_cast<std::size_t>(index) * 13) % 251);
    }
    buffers.push_back(buffer);
    connection->send(std::move(buffer), [completions, index](std::optional<NetworkError> error) { completions->push({index, error}); });
  }

  for (const auto& expected : buffers) {
    EXPECT_TRUE(peer.readExactly(kLength) == expected);
  }
  for (int index = 0; index < 3; ++index) {
    auto completion = completions->next();
    ASSERT_TRUE(completion);
    EXPECT_EQ(completion->first, index);
    EXPECT_FALSE(completion->second);
  }
  connection->cancel();
}

TEST_F(AsioConnectionTest, OutgoingConnectionSendsWhatWasQueuedBeforeItWasReady) {
  auto client = makeTcpConnection(queue_.context(), "127.0.0.1", host_.port());
  auto states = testing::recordStates(*client);
  auto sent = testing::makeInbox<std::optional<NetworkError>>();
  client->start();
  client->send(toBytes("hello"), [sent](std::optional<NetworkError> error) { sent->push(error); });
  client->send(toBytes(" host"), [sent](std::optional<NetworkError> error) { sent->push(error); });

  auto accepted = host_.acceptReady();
  EXPECT_EQ(states->next(), ConnectionStateKind::preparing);
  EXPECT_EQ(states->next(), ConnectionStateKind::ready);
  EXPECT_EQ(toText(testing::receiveOnce(*accepted, 10, 10).bytes), "hello host");
  for (int completion = 0; completion < 2; ++completion) {
    auto result = sent->next();
    ASSERT_TRUE(result);
    EXPECT_FALSE(*result);
  }

  EXPECT_EQ(client->remoteEndpoint()->port, host_.port());
  EXPECT_EQ(accepted->remoteEndpoint()->port, client->localEndpoint()->port);
  client->cancel();
  accepted->cancel();
}

// Either end closing ends what is outstanding with one report; a later cancel adds none.
TEST_F(AsioConnectionTest, CancelOrPeerResetEndsOutstandingOperationsWithOneReport) {
  struct Case {
    bool peerResets;
    const char* receiveError;
    ConnectionStateKind finalState;
  };
  for (const auto& [peerResets, receiveError, finalState] :
       {Case{false, "Operation canceled", ConnectionStateKind::cancelled},
        Case{true, "Connection reset by peer", ConnectionStateKind::failed}}) {
    SCOPED_TRACE(receiveError);
    RawPeer peer("127.0.0.1", host_.port());
    auto connection = host_.acceptReady();
    auto states = testing::recordStates(*connection);
    auto pending = testing::makeInbox<Received>();
    testing::receiveInto(*connection, 1, 65536, pending);

    if (peerResets) {
      peer.reset();
    } else {
      connection->cancel();
    }
    auto ended = pending->next();
    ASSERT_TRUE(ended && ended->error);
    EXPECT_EQ(ended->error->description, receiveError);
    EXPECT_EQ(states->next(), finalState);
    connection->cancel();
    connection->start();  // an ended connection stays ended
    auto sendResult = testing::makeInbox<std::optional<NetworkError>>();
    connection->send(toBytes("late"), [sendResult](std::optional<NetworkError> error) { sendResult->push(error); });
    auto sendError = sendResult->next();
    ASSERT_TRUE(sendError);
    EXPECT_TRUE(*sendError);
    // The send's answer comes after every report of the cancels, so none was left out.
    EXPECT_EQ(states->size(), 0u);
    EXPECT_EQ(connection->state().kind, finalState);
    EXPECT_FALSE(connection->remoteEndpoint());
    if (!peerResets) {
      EXPECT_TRUE(peer.readsEndOfStream());
    }
  }
}

TEST_F(AsioConnectionTest, ConnectionDroppedAfterCancelIsFreedOnceItsHandlersRan) {
  RawPeer peer("127.0.0.1", host_.port());
  auto connection = host_.acceptReady();
  std::weak_ptr<Connection> observer = connection;
  auto pending = testing::makeInbox<Received>();
  testing::receiveInto(*connection, 1, 65536, pending);
  connection->send(Bytes(4 << 20, 0x5a), [](std::optional<NetworkError>) {});

  connection->cancel();
  connection.reset();

  ASSERT_TRUE(pending->next());
  queue_.drain();
  EXPECT_TRUE(observer.expired());
}

TEST_F(AsioConnectionTest, ConnectingWhereNothingListensFails) {
  std::uint16_t closedPort = 0;
  {
    auto made = makeTcpListener(queue_.context(), 0);
    ASSERT_TRUE(made);
    closedPort = made.value()->port();
  }
  auto client = makeTcpConnection(queue_.context(), "127.0.0.1", closedPort);
  auto states = testing::recordStates(*client);
  client->start();

  EXPECT_EQ(states->next(), ConnectionStateKind::preparing);
  EXPECT_EQ(states->next(), ConnectionStateKind::failed);
  EXPECT_EQ(describe(client->state()), "failed(Connection refused)");
  EXPECT_FALSE(client->remoteEndpoint());
}

TEST_F(AsioConnectionTest, RefusesInvalidReceiveLengthsAndStaysUsable) {
  struct Case {
    std::size_t minimum;
    std::size_t maximum;
  };
  RawPeer peer("127.0.0.1", host_.port());
  auto connection = host_.acceptReady();
  for (const auto& [minimum, maximum] : std::vector<Case>{{0, 10}, {5, 4}, {1, 65537}}) {
    auto refused = testing::receiveOnce(*connection, minimum, maximum);
    ASSERT_TRUE(refused.error) << minimum << ".." << maximum;
    EXPECT_NE(refused.error->description.find("Invalid receive length"), std::string::npos);
  }
  peer.write("still here");
  EXPECT_EQ(toText(testing::receiveOnce(*connection, 1, 65536).bytes), "still here");
  EXPECT_EQ(connection->state().kind, ConnectionStateKind::ready);
  connection->cancel();
}

}  // namespace
}  // namespace velmora
