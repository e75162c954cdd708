#include "client/client_session.h"

#include <gtest/gtest.h>

#include <asio/ip/udp.hpp>

#include <future>
#include <sstream>

#include "control/test_control_client.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using testing::FakeHost;
using testing::helloWithCode;
using testing::kHostWait;

// Takes the place of the host's video port: the receiver's hellos go to a loopback socket that
// never answers, whatever port the hello named. Remembers where the session wanted video from.
class VideoSink {
 public:
  VideoSink() : socket_(context_, asio::ip::udp::endpoint(asio::ip::address_v4::loopback(), 0)) {}

  ClientSession::VideoReceiverStarter starter() {
    return [this](VideoReceiverOptions options) {
      requested_.set_value(options.host + " port " + std::to_string(options.videoPort));
      options.host = "127.0.0.1";
      options.videoPort = socket_.local_endpoint().port();
      return VideoReceiver::start(std::move(options));
    };
  }
  // Where the session asked for video, once it did.
  std::string requested() {
    auto future = requested_.get_future();
    return future.wait_for(kHostWait) == std::future_status::ready ? future.get() : "(never)";
  }

 private:
  asio::io_context context_;
  asio::ip::udp::socket socket_;
  std::promise<std::string> requested_;
};

ClientSessionSettings settingsWith(const std::string& code, const std::string& scriptText,
                                  std::chrono::milliseconds duration) {
  ClientSessionSettings settings;
  settings.hello = helloWithCode(code);
  settings.handshakeTimeout = 10s;
  settings.duration = duration;
  std::istringstream script(scriptText);
  settings.script = parseInputScript(script).value();  // a bad script throws
  return settings;
}

TEST(ClientSessionTest, RejectionEndsTheSessionWithItsReasonAndNoReport) {
  FakeHost host({{FakeHost::frame(ServerRejected{RejectionReason::invalidPairingCode})}, false});
  VideoSink sink;
  ClientSession session(settingsWith("9999", "{\"requestKeyframe\":{}}\n", 0ms), sink.starter());

  const auto result = session.run("127.0.0.1", host.port());
  EXPECT_EQ(result.exitStatus, ClientExitStatus::rejected);
  EXPECT_EQ(result.error, "the host rejected the client: invalidPairingCode (the verification code is wrong)");
  EXPECT_FALSE(result.report.has_value());
}

TEST(ClientSessionTest, WaitThatTimesOutFailsNamingItsLine) {
  FakeHost host({{FakeHost::frame(FakeHost::serverHello())}, false});
  VideoSink sink;
  const std::string script = "# no video will come\n"
                             "{\"waitForPictures\":{\"display\":0,\"count\":1,\"timeout\":0.5}}\n";
  ClientSession session(settingsWith("", script, 0ms), sink.starter());

  const auto result = session.run("127.0.0.1", host.port());
  EXPECT_EQ(result.exitStatus, ClientExitStatus::failure);
  EXPECT_EQ(result.error, "script line 2: display 0 decoded 0 of 1 pictures within 0.5 s");
  // Without a video host in the hello, video comes from the control connection's peer.
  EXPECT_EQ(sink.requested(), "127.0.0.1 port 5921");
}

TEST(ClientSessionTest, StopRequestEndsALongSessionWithAReport) {
  FakeHost host({{FakeHost::frame(FakeHost::serverHello())}, false});
  VideoSink sink;
  ClientSession session(settingsWith("", "{\"sleep\": 1000}\n", std::chrono::hours(1)), sink.starter());

  auto running = std::async(std::launch::async, [&] { return session.run("127.0.0.1", host.port()); });
  // Video reception starts once the host admitted the client.
  const std::string requested = sink.requested();
  session.requestStop();
  EXPECT_EQ(requested, "127.0.0.1 port 5921");
  ASSERT_EQ(running.wait_for(kHostWait), std::future_status::ready);
  const auto result = running.get();
  EXPECT_EQ(result.exitStatus, ClientExitStatus::success) << result.error;
  ASSERT_TRUE(result.report.has_value());
  EXPECT_EQ((*result.report)["serverHello"]["hostName"], "Fake");
}

}  // namespace
}  // namespace velmora
