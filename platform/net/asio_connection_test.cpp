#include "platform/net/asio_connection.h"

#include "platform/net/testing/net_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace velmora {
namespace {

using testing::makeInbox;
using testing::RawPeer;
using testing::Received;
using testing::receiveOnce;
using testing::toBytes;
using testing::toText;

using SendResults = testing::SharedInbox<std::optional<NetworkError>>;

class AsioConnectionTest : public ::testing::Test {
 protected:
  static void send(Connection& connection, Bytes bytes, const SendResults& results) {
    connection.send(std::move(bytes), [results](std::optional<NetworkError> error) { results->push(error); });
  }
  static bool succeeded(const SendResults& results) {
    auto result = results->next();
    return result && !*result;
  }

  testing::QueueThread queue_;
  testing::ListeningHost host_{queue_.context()};
};

// The framing layer above relies on both bounds: a header arrives whole, a body never overruns.
TEST_F(AsioConnectionTest, ReceiveIsOneShotWaitsForTheMinimumAndStopsAtTheMaximum) {
  RawPeer peer("127.0.0.1", host_.port());
  auto connection = host_.acceptReady();
  auto header = testing::receiveInto(*connection, 4, 4);
  peer.write("ab");
  peer.write("cdEFGHIJ");
  EXPECT_EQ(toText(header->next()->bytes), "abcd");

  // The rest waits in the socket until the next receive is armed.
  EXPECT_EQ(toText(receiveOnce(*connection, 1, 3).bytes), "EFG");
  EXPECT_EQ(toText(receiveOnce(*connection, 1, 65536).bytes), "HIJ");
  EXPECT_EQ(header->size(), 0u);
  for (const auto& [minimum, maximum] : std::vector<std::pair<std::size_t, std::size_t>>{{0, 10}, {5, 4}, {1, 65537}}) {
    EXPECT_TRUE(receiveOnce(*connection, minimum, maximum).error) << minimum << ".." << maximum << " is refused";
  }
  peer.write("still here");
  EXPECT_EQ(toText(receiveOnce(*connection, 1, 65536).bytes), "still here");
  connection->cancel();
}

// Data that arrives together with the peer's close is delivered before (or with) the end.
TEST_F(AsioConnectionTest, PeerCloseEndsTheStreamWithoutLosingData) {
  RawPeer peer("127.0.0.1", host_.port());
  auto connection = host_.acceptReady();
  peer.write("last words");
  peer.close();

  // Each receive asks for more than is left, so the close ends one with the data.
  std::string text;
  Received received;
  do {
    received = receiveOnce(*connection, 4, 4);
    EXPECT_FALSE(received.error);
    text += toText(received.bytes);
  } while (!received.isComplete && !received.error && text.size() <= 10);
  EXPECT_TRUE(received.isComplete);
  EXPECT_EQ(text, "last words");
}

TEST_F(AsioConnectionTest, SendsCompleteInOrderAndArriveIntact) {
  constexpr std::size_t kLength = 1 << 20;
  RawPeer peer("127.0.0.1", host_.port());
  auto connection = host_.acceptReady();
  auto completions = makeInbox<std::optional<NetworkError>>();
  std::vector<Bytes> buffers;
  for (int index = 0; index < 3; ++index) {
    Bytes& buffer = buffers.emplace_back(kLength);
    // A period prime to every power of two, so that a reordered chunk shows.
    std::generate(buffer.begin(), buffer.end(), [value = index * 13]() mutable { return std::uint8_t(++value % 251); });
    send(*connection, buffer, completions);
  }

  for (const auto& expected : buffers) {
    EXPECT_TRUE(peer.readExactly(kLength) == expected);
    EXPECT_TRUE(succeeded(completions));
  }
  connection->cancel();
}

TEST_F(AsioConnectionTest, OutgoingConnectionSendsWhatWasQueuedBeforeItWasReady) {
  auto client = makeTcpConnection(queue_.context(), "127.0.0.1", host_.port());
  auto states = testing::recordStates(*client);
  auto sent = makeInbox<std::optional<NetworkError>>();
  client->start();
  send(*client, toBytes("hello"), sent);
  send(*client, toBytes(" host"), sent);

  auto accepted = host_.acceptReady();
  EXPECT_EQ(states->next(), ConnectionStateKind::preparing);
  EXPECT_EQ(states->next(), ConnectionStateKind::ready);
  EXPECT_EQ(toText(receiveOnce(*accepted, 10, 10).bytes), "hello host");
  EXPECT_TRUE(succeeded(sent) && succeeded(sent));
  // An IPv4 peer arrives as ::ffff:127.0.0.1 on the dual-stack socket and is reported as plain IPv4.
  EXPECT_EQ(accepted->remoteEndpoint()->host, "127.0.0.1");
  EXPECT_EQ(accepted->remoteEndpoint()->port, client->localEndpoint()->port);
  client->cancel();
}

// Either end closing ends what is outstanding with one report; a later cancel adds none.
TEST_F(AsioConnectionTest, CancelOrPeerResetEndsOutstandingOperationsWithOneReport) {
  for (const bool peerResets : {false, true}) {
    SCOPED_TRACE(peerResets);
    RawPeer peer("127.0.0.1", host_.port());
    auto connection = host_.acceptReady();
    auto states = testing::recordStates(*connection);
    auto pending = testing::receiveInto(*connection, 1, 65536);
    peerResets ? peer.reset() : connection->cancel();

    auto ended = pending->next();
    ASSERT_TRUE(ended && ended->error);
    const auto finalState = peerResets ? ConnectionStateKind::failed : ConnectionStateKind::cancelled;
    EXPECT_EQ(states->next(), finalState);
    connection->cancel();
    connection->start();  // an ended connection stays ended
    auto late = makeInbox<std::optional<NetworkError>>();
    send(*connection, toBytes("late"), late);
    EXPECT_TRUE(late->next().value_or(std::nullopt));
    // The send's answer comes after every report of the cancels, so none was left out.
    EXPECT_EQ(states->size(), 0u);
    EXPECT_EQ(connection->state().kind, finalState);
    EXPECT_TRUE(peerResets || peer.readsEndOfStream());
  }
}

}  // namespace
}  // namespace velmora
