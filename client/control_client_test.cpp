#include "client/control_client.h"

#include <gtest/gtest.h>

#include <asio/ip/tcp.hpp>

#include "platform/net/testing/net_test_support.h"
#include "control/test_control_client.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using testing::FakeHost;
using testing::helloWithCode;
using testing::InProcessHost;
using testing::kHostWait;

// What the control client reported, one line each, for any thread to wait on.
ControlClient::Handlers reportsInto(const testing::SharedInbox<std::string>& reports) {
  return {[reports](const ServerHello& hello, const std::string& peer) {
            reports->push("hello at " + std::to_string(hello.frameRate) + " fps from " + peer + ", video from " +
                          hello.videoHost.value_or("the peer"));
          },
          [reports](RejectionReason) { reports->push("rejected"); },
          [reports](const std::string& why) { reports->push("failure: " + why); }};
}

class ControlClientWithHostTest : public ::testing::Test {
 protected:
  bool runUntil(const std::function<bool()>& condition) { return mainQueue_.runUntil(condition, kHostWait); }

  ManualMainQueue mainQueue_;
  InProcessHost host_{mainQueue_};
  testing::SharedInbox<std::string> reports_ = testing::makeInbox<std::string>();
  std::unique_ptr<ControlClient> client_ = std::make_unique<ControlClient>(reportsInto(reports_));
};

TEST_F(ControlClientWithHostTest, RightCodeIsAdmittedAndAMessageSentBeforeCloseArrives) {
  auto hello = helloWithCode(testing::kHostPairingCode);
  hello.preferredFrameRate = 30;
  client_->start("127.0.0.1", host_.port(), hello, 10s);
  ASSERT_TRUE(runUntil([&] { return reports_->size() == 1; }));
  EXPECT_EQ(reports_->next(), "hello at 30 fps from 127.0.0.1, video from 127.0.0.1");
  ASSERT_TRUE(host_.waitForReport("connected Vision"));

  // A message sent just before close() still reaches the host; the close is no failure.
  client_->send(ControlMessage(ControlMessage::MouseMove{10, 20}));
  client_->close();
  EXPECT_TRUE(host_.waitForReport("disconnected"));
  EXPECT_EQ(host_.count("control " + ControlMessage(ControlMessage::MouseMove{10, 20}).toJson().dump()), 1u);
  EXPECT_EQ(reports_->size(), 0u) << "the close is no failure";
}

// Each misbehaving host ends the client with one clear failure, never a hang.
TEST(ControlClientHostileHostTest, EveryMisbehaviourIsAFailureWithItsReason) {
  const Bytes serverHello = FakeHost::frame(FakeHost::serverHello());
  const auto then = [&](Bytes bytes) {
    Bytes joined = serverHello;
    joined.insert(joined.end(), bytes.begin(), bytes.end());
    return joined;
  };
  struct Case {
    std::string name;
    FakeHost::Plan plan;
    std::string failure;  // the start of it
    std::size_t hellos;
  };
  const std::vector<Case> cases = {
      {"garbage", {{{0, 0, 0, 3, 'a', 'b', 'c'}}, false}, "the host sent an undecodable message: ", 0},
      {"silence", {{}, false}, "the host did not answer the ClientHello within 2 s", 0},
      {"close", {{}, true}, "the host closed the connection without answering the ClientHello", 0},
      {"close after admission", {{serverHello}, true}, "the host closed the control connection", 1},
      {"rejection after admission",
       {{then(FakeHost::frame(ServerRejected{RejectionReason::versionMismatch}))}, false},
       "the host sent an unexpected serverRejected",
       1},
  };
  for (const auto& [name, plan, failure, hellos] : cases) {
    SCOPED_TRACE(name);
    FakeHost host(plan);
    auto reports = testing::makeInbox<std::string>();
    ControlClient client(reportsInto(reports));
    client.start("127.0.0.1", host.port(), helloWithCode("1234"), name == "silence" ? 2s : 10s);
    if (hellos > 0) {
      EXPECT_TRUE(reports->next().value_or("").starts_with("hello"));
    }
    const std::string seen = reports->next().value_or("nothing");
    EXPECT_TRUE(seen.starts_with("failure: " + failure)) << seen;
  }
}

TEST(ControlClientHostileHostTest, NoListenerIsAFailureNamingTheTarget) {
  asio::io_context context;
  std::uint16_t port = 0;
  {
    asio::ip::tcp::acceptor closed(context, asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    port = closed.local_endpoint().port();
  }
  auto reports = testing::makeInbox<std::string>();
  ControlClient client(reportsInto(reports));
  client.start("127.0.0.1", port, helloWithCode("1234"), 10s);
  EXPECT_EQ(reports->next(), "failure: cannot connect to 127.0.0.1 port " + std::to_string(port) + ": Connection refused");
}

}  // namespace
}  // namespace velmora
