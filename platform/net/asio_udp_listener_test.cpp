#include "platform/net/asio_udp_listener.h"

#include "platform/net/datagram_sender.h"
#include "platform/net/testing/net_test_support.h"
#include "platform/net/testing/udp_test_peer.h"

#include <gtest/gtest.h>

#include <sys/socket.h>


namespace velmora {
namespace {

using testing::countingBytes;
using testing::makeInbox;
using testing::QueueThread;
using testing::recordStates;
using testing::UdpTestPeer;

class UdpListenerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto made = makeUdpListener(queue_.context(), UdpListenerSettings{});
    ASSERT_TRUE(made) << made.error();
    listener_ = made.value();
    listener_->setNewFlowHandler([flows = flows_](std::shared_ptr<UdpFlow> flow) { flows->push(std::move(flow)); });
    listener_->start();
  }
  void TearDown() override { listener_->cancel(); }

  std::shared_ptr<UdpFlow> nextFlow() { return flows_->next().value(); }

  QueueThread queue_;
  std::shared_ptr<UdpListener> listener_;
  testing::SharedInbox<std::shared_ptr<UdpFlow>> flows_ = makeInbox<std::shared_ptr<UdpFlow>>();
};

TEST_F(UdpListenerTest, EachNewRemoteIsAFlowWhoseFirstDatagramIsTheHello) {
  UdpTestPeer first;
  UdpTestPeer second;
  first.sendTo(listener_->port(), {'h', 'i'});
  first.sendTo(listener_->port(), {'a', 'g', 'a', 'i', 'n'});
  second.hello(listener_->port());

  auto firstFlow = nextFlow();
  auto secondFlow = nextFlow();
  auto states = recordStates(*firstFlow);
  firstFlow->start();
  auto hello = makeInbox<Bytes>();
  firstFlow->receiveMessage([hello](Bytes datagram) { hello->push(std::move(datagram)); });

  EXPECT_EQ(states->next(), ConnectionStateKind::ready);
  EXPECT_EQ(hello->next(), (Bytes{'h', 'i'}));
  EXPECT_EQ(firstFlow->remoteEndpoint()->host, "127.0.0.1");  // not "::ffff:127.0.0.1"
  EXPECT_EQ(firstFlow->remoteEndpoint()->port, first.port());
  EXPECT_EQ(secondFlow->remoteEndpoint()->port, second.port());
  EXPECT_EQ(listener_->openFlowCount(), 2u);  // the second datagram of `first` made no flow
  std::optional<UdpTestPeer> ipv6Peer;
  try {
    ipv6Peer.emplace("::1");
  } catch (const asio::system_error&) {  // no IPv6 loopback on this machine
  }
  if (ipv6Peer) {
    ipv6Peer->hello(listener_->port());
    EXPECT_EQ(nextFlow()->remoteEndpoint()->host, "::1");
  }
}

TEST_F(UdpListenerTest, CancelledFlowIsForgottenAndCannotSend) {
  UdpTestPeer peer;
  peer.hello(listener_->port());
  auto flow = nextFlow();
  auto states = recordStates(*flow);

  flow->cancel();

  EXPECT_EQ(states->next(), ConnectionStateKind::cancelled);
  EXPECT_EQ(listener_->openFlowCount(), 0u);
  EXPECT_TRUE(flow->sendDatagrams(countingBytes(20), 20));
  peer.hello(listener_->port());
  EXPECT_NE(nextFlow(), flow);  // the same remote again is a new flow
}

TEST(DatagramSenderTest, EveryModeDeliversTheTrainInOrderWithItsSystemCallCountOrSaysWhyNot) {
  constexpr std::size_t kDatagramSize = 1416;
  constexpr std::size_t kDatagrams = 60;  // two segmented messages: 46 and 14
  const Bytes train = countingBytes(kDatagrams * kDatagramSize - 700);
  for (const auto& [mode, systemCalls] : {std::pair{UdpSendMode::segmentationOffload, std::uint64_t{1}},
                                          {UdpSendMode::batched, 1}, {UdpSendMode::perDatagram, kDatagrams}}) {
    SCOPED_TRACE(describe(mode));
    UdpTestPeer peer;
    DatagramSender sender(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0), mode);
    asio::ip::udp::endpoint destination(asio::ip::address_v4::loopback(), peer.port());
    const auto send = [&](const Bytes& bytes, std::size_t datagramSize) {
      return sender.send(destination.data(), static_cast<socklen_t>(destination.size()), bytes, datagramSize);
    };
    ASSERT_FALSE(send(train, kDatagramSize));

    Bytes received;
    for (std::size_t index = 0; index < kDatagrams; ++index) {
      const auto datagram = peer.receive();
      ASSERT_TRUE(datagram) << index;
      EXPECT_EQ(datagram->size(), index + 1 < kDatagrams ? kDatagramSize : kDatagramSize - 700);
      received.insert(received.end(), datagram->begin(), datagram->end());
    }
    EXPECT_EQ(received, train);
    EXPECT_EQ(sender.mode(), mode) << "the kernel refused UDP_SEGMENT";
    EXPECT_EQ(sender.statistics().systemCalls, systemCalls);
    EXPECT_EQ(sender.statistics().datagrams, kDatagrams);

    destination.port(0);  // Linux refuses port 0 with EINVAL, as it refuses a bad segment size
    EXPECT_TRUE(send(train, kDatagramSize));
    EXPECT_EQ(sender.mode(), mode) << "a refused send keeps the mode";
    EXPECT_TRUE(send(countingBytes(100), 0)) << "a zero datagram size is refused, not looped on";
  }
}

}  // namespace
}  // namespace velmora
