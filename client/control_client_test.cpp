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
  template <class Change>
  void update(Change change) {
    {
      std::lock_guard lock(reportsLock_);
      change();
    }
    changed_.notify_all();
  }
  template <class Reader>
  auto read(Reader reader) const {
    std::lock_guard lock(reportsLock_);
    return reader();
  }

 public:
  ControlClient::Handlers handlers() {
    return {[this](const ServerHello& hello, const std::string& peerAddress) {
              update([&] {
                hellos_.push_back(hello);
                peerAddress_ = peerAddress;
              });
            },
            [this](RejectionReason reason) { update([&] { rejections_.push_back(reason); }); },
            [this](const std::string& why) { update([&] { failures_.push_back(why); }); }};
  }

  std::size_t helloCount() const { return read([&] { return hellos_.size(); }); }
  std::vector<ServerHello> hellos() const { return read([&] { return hellos_; }); }
  std::string peerAddress() const { return read([&] { return peerAddress_; }); }
  std::vector<RejectionReason> rejections() const { return read([&] { return rejections_; }); }
  std::vector<std::string> failures() const { return read([&] { return failures_; }); }

  bool waitForHellos(std::size_t count) {
    std::unique_lock lock(reportsLock_);
    return changed_.wait_for(lock, kHostWait, [&] { return hellos_.size() >= count; });
  }

  // The one failure, once it came.
  std::string waitForFailure() {
    std::unique_lock lock(reportsLock_);
    changed_.wait_for(lock, kHostWait, [&] { return !failures_.empty(); });
    return failures_.empty() ? "(no failure reported)" : failures_.front();
  }

 private:
  mutable std::mutex reportsLock_;
  std::condition_variable changed_;
  std::vector<ServerHello> hellos_;
  std::string peerAddress_;
  std::vector<RejectionReason> rejections_;
  std::vector<std::string> failures_;
};

class ControlClientWithHostTest : public ::testing::Test {
 protected:
  bool runUntil(const std::function<bool()>& condition) { return mainQueue_.runUntil(condition, kHostWait); }

  ManualMainQueue mainQueue_;
  InProcessHost host_{mainQueue_};
  Reports reports_;
  std::unique_ptr<ControlClient> client_ = std::make_unique<ControlClient>(reports_.handlers());
};

TEST_F(ControlClientWithHostTest, RightCodeIsAdmittedAndLaterHellosAndMessagesFlow) {
  auto hello = helloWithCode(testing::kHostPairingCode);
  hello.preferredFrameRate = 30;
  client_->start("127.0.0.1", host_.port(), hello, 10s);
  ASSERT_TRUE(runUntil([&] { return reports_.helloCount() == 1; }));
  EXPECT_EQ(reports_.hellos()[0].hostName, "Test Mac");
  EXPECT_EQ(reports_.hellos()[0].frameRate, 30);
  EXPECT_EQ(reports_.hellos()[0].videoHost, std::optional<std::string>("127.0.0.1"));
  EXPECT_EQ(reports_.peerAddress(), "127.0.0.1");
  ASSERT_TRUE(host_.waitForReport("connected Vision"));

  client_->send(ControlMessage(ControlMessage::SwitchDisplay{7}));
  client_->send(ControlMessage(ControlMessage::RequestKeyframe{}));
  EXPECT_TRUE(host_.waitForReport("keyframe"));
  EXPECT_EQ(host_.count("switch 7"), 1u);

  mainQueue_.post([&] { host_.server().resendServerHello(); });
  ASSERT_TRUE(runUntil([&] { return reports_.helloCount() == 2; }));
  EXPECT_EQ(reports_.hellos()[1].frameRate, 60);
  EXPECT_EQ(reports_.hellos()[1].videoHost, std::nullopt);

  // A message sent just before close() still reaches the host; the close is no failure.
  client_->send(ControlMessage(ControlMessage::MouseMove{10, 20}));
  client_->close();
  EXPECT_TRUE(host_.waitForReport("disconnected"));
  EXPECT_EQ(host_.count("control " + ControlMessage(ControlMessage::MouseMove{10, 20}).toJson().dump()), 1u)
      << ::testing::PrintToString(host_.reports());
  EXPECT_EQ(reports_.failures(), std::vector<std::string>{});
}

TEST_F(ControlClientWithHostTest, WrongCodeIsRejectedWithItsReason) {
  client_->start("127.0.0.1", host_.port(), helloWithCode("9999"), 10s);
  ASSERT_TRUE(runUntil([&] { return !reports_.rejections().empty(); }));
  EXPECT_EQ(reports_.rejections(), std::vector<RejectionReason>{RejectionReason::invalidPairingCode});
  EXPECT_EQ(host_.count("pairing required"), 1u);

  // Messages after a rejection go nowhere, and the host closing then is no news.
  client_->send(ControlMessage(ControlMessage::RequestKeyframe{}));
  client_.reset();
  EXPECT_EQ(reports_.failures(), std::vector<std::string>{});
  EXPECT_EQ(reports_.helloCount(), 0u);
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
      {"oversized prefix",
       {{{0x00, 0x10, 0x00, 0x01}}, false},
       "the host sent an undecodable message: dataCorrupted: Frame payload size 1048577 exceeds maximum 1048576",
       0},
      {"silence", {{}, false}, "the host did not answer the ClientHello within 2 s", 0},
      {"close", {{}, true}, "the host closed the connection without answering the ClientHello", 0},
      {"a ClientHello", {{FakeHost::frame(helloWithCode("1234"))}, false}, "the host sent an unexpected clientHello", 0},
      {"close after admission", {{serverHello}, true}, "the host closed the control connection", 1},
      {"garbage after admission", {{then({0, 0, 0, 2, '{', '}'})}, false}, "the host sent an undecodable message: ", 1},
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
    EXPECT_TRUE(reports.waitForFailure().starts_with(failure)) << reports.waitForFailure();
    EXPECT_EQ(reports.failures().size(), 1u);
    EXPECT_EQ(reports.helloCount(), hellos);
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
  EXPECT_EQ(reports.waitForFailure(), "cannot connect to 127.0.0.1 port " + std::to_string(port) + ": Connection refused");
}

TEST(ControlClientHostileHostTest, ClosingWhileTheHostIsSilentReportsNothing) {
  FakeHost host({{FakeHost::frame(FakeHost::serverHello())}, false});
  Reports reports;
  ControlClient client(reports.handlers());
  client.start("127.0.0.1", host.port(), helloWithCode("1234"), 10s);
  ASSERT_TRUE(reports.waitForHellos(1));
  client.send(ControlMessage(ControlMessage::RequestKeyframe{}));
  client.close();
  client.close();
  EXPECT_EQ(reports.failures(), std::vector<std::string>{});
}

}  // namespace
}  // namespace velmora
