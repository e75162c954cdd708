#include "client/control_client.h"

#include <gtest/gtest.h>

#include <asio/ip/tcp.hpp>

#include <condition_variable>

#include "client/test_hosts.h"
#include "control/test_control_client.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using testing::FakeHost;
using testing::helloWithCode;
using testing::InProcessHost;
using testing::kHostWait;

// What the control client reported, for any thread to wait on.
class Reports {
 public:
  struct Seen {
    std::vector<ServerHello> hellos;
    std::string peerAddress;
    std::vector<RejectionReason> rejections;
    std::vector<std::string> failures;
  };

  ControlClient::Handlers handlers() {
    return {[this](const ServerHello& hello, const std::string& peer) { record([&](Seen& seen) { seen.hellos.push_back(hello), seen.peerAddress = peer; }); },
            [this](RejectionReason reason) { record([&](Seen& seen) { seen.rejections.push_back(reason); }); },
            [this](const std::string& why) { record([&](Seen& seen) { seen.failures.push_back(why); }); }};
  }

  Seen now() const {
    std::lock_guard lock(seenLock_);
    return seen_;
  }
  // What was seen once `condition` held, or at the deadline.
  Seen waitFor(const std::function<bool(const Seen&)>& condition) {
    std::unique_lock lock(seenLock_);
    changed_.wait_for(lock, kHostWait, [&] { return condition(seen_); });
    return seen_;
  }

 private:
  void record(const std::function<void(Seen&)>& change) {
    {
      std::lock_guard lock(seenLock_);
      change(seen_);
    }
    changed_.notify_all();
  }

  mutable std::mutex seenLock_;
  std::condition_variable changed_;
  Seen seen_;
};

class ControlClientWithHostTest : public ::testing::Test {
 protected:
  bool runUntil(const std::function<bool()>& condition) { return mainQueue_.runUntil(condition, kHostWait); }

  ManualMainQueue mainQueue_;
  InProcessHost host_{mainQueue_};
  Reports reports_;
  std::unique_ptr<ControlClient> client_ = std::make_unique<ControlClient>(reports_.handlers());
};

// The script-driven session test covers switch, keyframe and resent hellos against the same host.
TEST_F(ControlClientWithHostTest, RightCodeIsAdmittedAndAMessageSentBeforeCloseArrives) {
  auto hello = helloWithCode(testing::kHostPairingCode);
  hello.preferredFrameRate = 30;
  client_->start("127.0.0.1", host_.port(), hello, 10s);
  ASSERT_TRUE(runUntil([&] { return reports_.now().hellos.size() == 1; }));
  EXPECT_EQ(reports_.now().hellos[0].frameRate, 30);
  EXPECT_EQ(reports_.now().hellos[0].videoHost, std::optional<std::string>("127.0.0.1"));
  EXPECT_EQ(reports_.now().peerAddress, "127.0.0.1");
  ASSERT_TRUE(host_.waitForReport("connected Vision"));

  // A message sent just before close() still reaches the host; the close is no failure.
  client_->send(ControlMessage(ControlMessage::MouseMove{10, 20}));
  client_->close();
  EXPECT_TRUE(host_.waitForReport("disconnected"));
  EXPECT_EQ(host_.count("control " + ControlMessage(ControlMessage::MouseMove{10, 20}).toJson().dump()), 1u)
      << ::testing::PrintToString(host_.reports());
  EXPECT_EQ(reports_.now().failures, std::vector<std::string>{});
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
      {"a ClientHello", {{FakeHost::frame(helloWithCode("1234"))}, false}, "the host sent an unexpected clientHello", 0},
      {"close after admission", {{serverHello}, true}, "the host closed the control connection", 1},
      {"oversized prefix after admission",
       {{then({0xff, 0xff, 0xff, 0xff})}, false},
       "the host sent an undecodable message: dataCorrupted: Frame payload size 4294967295 exceeds maximum 1048576",
       1},
      {"rejection after admission",
       {{then(FakeHost::frame(ServerRejected{RejectionReason::versionMismatch}))}, false},
       "the host sent an unexpected serverRejected",
       1},
  };
  for (const auto& [name, plan, failure, hellos] : cases) {
    SCOPED_TRACE(name);
    FakeHost host(plan);
    Reports reports;
    ControlClient client(reports.handlers());
    client.start("127.0.0.1", host.port(), helloWithCode("1234"), name == "silence" ? 2s : 10s);
    const auto seen = reports.waitFor([](const Reports::Seen& now) { return !now.failures.empty(); });
    ASSERT_EQ(seen.failures.size(), 1u);
    EXPECT_TRUE(seen.failures[0].starts_with(failure)) << seen.failures[0];
    EXPECT_EQ(seen.hellos.size(), hellos);
  }
}

TEST(ControlClientHostileHostTest, NoListenerIsAFailureNamingTheTarget) {
  asio::io_context context;
  std::uint16_t port = 0;
  {
    asio::ip::tcp::acceptor closed(context, asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    port = closed.local_endpoint().port();
  }
  Reports reports;
  ControlClient client(reports.handlers());
  client.start("127.0.0.1", port, helloWithCode("1234"), 10s);
  EXPECT_EQ(reports.waitFor([](const Reports::Seen& seen) { return !seen.failures.empty(); }).failures,
            std::vector<std::string>{"cannot connect to 127.0.0.1 port " + std::to_string(port) + ": Connection refused"});
}

}  // namespace
}  // namespace velmora
