// The real velmora-host under hostile peers and a long streaming run; its figures are printed as a
// table at the end. Short by default; `--long` or VELMORA_RELIABILITY_LONG=1 for runs of minutes.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "tests/reliability/foreign_video_peer.h"
#include "tests/reliability/hostile_control_peers.h"
#include "tests/reliability/suite_support.h"

namespace velmora::reliability {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

TEST_F(ReliabilityTest, HostileControlPeersNeitherDropTheSessionNorGetAdmitted) {
  const std::string scenario = "hostile control";
  HostUnderTest host(home_, testing::virtualHostArguments("1280x720"));
  ASSERT_TRUE(host.ready()) << host.process().output();
  StreamingClient session(home_, {"--code", host.code(), "--identifier", "reliability-session"},
                          longMode ? 200000 : 40000, 30s);
  ASSERT_TRUE(session.waitForPictures(30, 60s)) << session.process().output();

  const auto before = readProcessFigures(host.process().pid());
  const auto picturesBefore = session.picturesAtLeast();
  std::uint64_t attempted = 0;
  std::uint64_t admitted = 0;
  std::uint64_t leftOpen = 0;
  const auto tally = [&](const PeerOutcome& outcome) {
    ++attempted;
    admitted += outcome.receivedServerHello ? 1 : 0;
    leftOpen += outcome.connected && !outcome.closedByHost ? 1 : 0;
  };

  // A flood: most are turned away at once while one candidate holds the handshake slot.
  const auto flooded = flood(kControlPort, longMode ? 30s : 3s, 300, 32, [&host] { return host.wrongCode(); });
  std::ranges::for_each(flooded, tally);
  EXPECT_FALSE(flooded.empty());

  // Peers that hold the handshake slot until its 5 s deadline closes them, never answered.
  const auto helloBytes = frame(clientHelloText(host.wrongCode()));
  const Bytes truncated(helloBytes.begin(), helloBytes.begin() + static_cast<std::ptrdiff_t>(helloBytes.size() / 2));
  for (const auto& [name, script] : std::vector<std::pair<std::string, PeerScript>>{
           {"silent", PeerScript{{}, 0ms, false, 20s}},
           {"one byte a second", PeerScript{helloBytes, 1000ms, false, 20s}},
           {"truncated frame, kept open", PeerScript{truncated, 0ms, false, 20s}}}) {
    const auto outcome = runPeer(kControlPort, script);
    tally(outcome);
    EXPECT_TRUE(outcome.connected) << name;
    EXPECT_TRUE(outcome.closedByHost) << name << ": the handshake deadline did not close it";
    EXPECT_FALSE(outcome.answered) << name;
    EXPECT_LT(outcome.lifetime, 15s) << name;
  }

  // Bytes that are no handshake: closed once read (or at their end of stream), never admitted. A
  // hello just under the 1 MiB frame limit is read whole and its wrong code refused.
  for (const auto& [name, bytes] : std::vector<std::pair<std::string, Bytes>>{
           {"length over the limit", {0x00, 0x10, 0x00, 0x01, '{'}},
           {"frame of broken JSON", frame("{\"clientHello\": {\"_0\": {\"protocolVersion\": 2,")},
           {"control message before a hello", frame(R"({"keyDown": {"keyCode": 1, "modifiers": 0}})")},
           {"truncated frame, then end of stream", truncated},
           {"hello just under the frame limit", frame(clientHelloText(host.wrongCode(), 1048576 - 300))}}) {
    const auto outcome = runPeer(kControlPort, PeerScript{bytes, 0ms, true, 20s});
    tally(outcome);
    EXPECT_TRUE(outcome.connected && outcome.closedByHost) << name;
    EXPECT_FALSE(outcome.receivedServerHello) << name;
  }

  // Wrong codes one after another: after a few the throttle refuses them without comparing.
  const int wrongCodes = longMode ? 10000 : 300;
  std::uint64_t rejected = 0;
  for (int each = 0; each < wrongCodes; ++each) {
    const auto outcome = runPeer(kControlPort, PeerScript{frame(clientHelloText(host.wrongCode())), 0ms, false, 20s});
    tally(outcome);
    rejected += outcome.receivedServerRejected ? 1 : 0;
  }
  const auto picturesAfterAttack = session.picturesAtLeast();

  EXPECT_EQ(admitted, 0u) << "a hostile connection was admitted";
  EXPECT_EQ(leftOpen, 0u);
  EXPECT_EQ(rejected, static_cast<std::uint64_t>(wrongCodes));
  figureTable.add(scenario, "hostile connections attempted / admitted",
                  std::to_string(attempted) + " / " + std::to_string(admitted));

  // The admitted session went on through all of it, and keeps going.
  const auto after = settledFigures(host, before);
  EXPECT_TRUE(session.waitForPictures(picturesAfterAttack + 30, 60s)) << "the session stalled after the attack";
  const auto [status, report] = session.stop();
  EXPECT_EQ(status, 0) << "the admitted session was dropped\n" << session.process().output();
  figureTable.add(scenario, "session pictures during the attack (about)",
                  std::to_string(picturesAfterAttack - picturesBefore));
  EXPECT_GE(picturesAfterAttack, picturesBefore + 30) << "no pictures were decoded during the attack";
  // Its input went through in order, none lost.
  std::uint64_t keysPosted = 0;
  auto disorder = keysOutOfOrder(host.process().lines(), keysPosted);
  for (int retry = 0; !disorder && retry < 20 && keysPosted + 2 < picturesAfterAttack / StreamingClient::picturesPerStep;
       ++retry) {
    std::this_thread::sleep_for(100ms);  // the output may still be on its way
    disorder = keysOutOfOrder(host.process().lines(), keysPosted);
  }
  EXPECT_FALSE(disorder) << *disorder;
  EXPECT_GE(keysPosted + 2, picturesAfterAttack / StreamingClient::picturesPerStep) << "keys of the session were lost";
  expectNoGrowth(scenario, before, after);

  // A new client is still answered: the trusted one, as codes are locked out by now.
  const auto [finalStatus, finalReport] =
      runClient(home_, "final", {waitForPicturesLine(5)}, {"--identifier", "reliability-session"});
  EXPECT_GE(displayStatistics(finalReport, 0).value("picturesDecoded", 0), 5);
  EXPECT_EQ(host.terminate(), 0) << "the host did not quit cleanly after the attack";
}

// A veth pair from this namespace to a namespace of the peer's own; removed with the peer.
class ForeignNamespace {
 public:
  ForeignNamespace() : hostSide_("vrel" + std::to_string(getpid() % 100000)), peerSide_(hostSide_ + "p") {}
  ~ForeignNamespace() {
    if (peer_) {
      peer_->signal(SIGKILL);
    }
    shell("ip link del " + hostSide_);
  }
  ForeignNamespace(const ForeignNamespace&) = delete;
  ForeignNamespace& operator=(const ForeignNamespace&) = delete;

  // Starts the peer, which sends for `duration` once told to go; empty on success, else why not.
  std::string start(std::chrono::seconds duration) {
    if (!shell("ip link add " + hostSide_ + " type veth peer name " + peerSide_)) {
      return "cannot create a veth pair here (ip link add ... type veth)";
    }
    peer_ = std::make_unique<ChildProcess>(
        "/proc/self/exe", std::vector<std::string>{foreignPeerFlag, peerSide_, std::to_string(duration.count())});
    if (!peer_->waitForLineContaining("ready", 10s)) {
      return "the peer cannot have a network namespace: " + peer_->output();
    }
    if (!shell("ip link set " + peerSide_ + " netns " + std::to_string(peer_->pid()) + " && ip addr add " +
               hostSideAddress + "/24 dev " + hostSide_ + " && ip link set " + hostSide_ + " up")) {
      return "cannot move or configure the veth pair";
    }
    return {};
  }
  void go() { peer_->signal(SIGUSR1); }
  ChildProcess& peer() { return *peer_; }

 private:
  std::string hostSide_;
  std::string peerSide_;
  std::unique_ptr<ChildProcess> peer_;
};

TEST_F(ReliabilityTest, ForeignVideoPeersReceiveNothingAndTheVerifiedClientKeepsItsStream) {
  const std::string scenario = "foreign video peers";
  // A veth pair changes the namespace it is made in: only ever this test's private one.
  if (!inPrivateNetworkNamespace()) {
    GTEST_SKIP() << "not in a private network namespace (run it through in_network_namespace.sh)";
  }
  ForeignNamespace foreign;
  const auto peerTime = longMode ? 60s : 8s;
  const auto why = foreign.start(peerTime);
  if (!why.empty()) {
    GTEST_SKIP() << why;
  }
  HostUnderTest host(home_, testing::virtualHostArguments("1280x720", {"--log-private"}));
  ASSERT_TRUE(host.ready()) << host.process().output();
  StreamingClient session(home_, {"--host", hostSideAddress, "--code", host.code()}, longMode ? 20000 : 6000, 30s);
  ASSERT_TRUE(session.waitForPictures(20, 60s)) << session.process().output();
  const auto picturesBefore = session.picturesAtLeast();
  foreign.go();

  const auto result = foreign.peer().waitForLineContaining("sent ", peerTime + 30s);
  ASSERT_TRUE(result) << foreign.peer().output();
  unsigned long long sent = 0;
  unsigned long long received = 0;
  ASSERT_EQ(std::sscanf(result->c_str(), "sent %llu received %llu", &sent, &received), 2) << *result;
  const auto picturesAfterPeer = session.picturesAtLeast();

  figureTable.add(scenario, "datagrams sent / received by the foreign namespace",
                  std::to_string(sent) + " / " + std::to_string(received));
  EXPECT_GT(sent, 0u);
  EXPECT_EQ(received, 0u) << "the host sent video to a foreign address";
  EXPECT_TRUE(
      host.process().waitForLineContaining(std::string("REJECTED UDP connection from ") + foreignSideAddress, 5s))
      << "the foreign datagrams never reached the host";

  EXPECT_TRUE(session.waitForPictures(picturesAfterPeer + 20, 60s));
  const auto [status, report] = session.stop();
  EXPECT_EQ(status, 0) << session.process().output();
  EXPECT_EQ(displayStatistics(report, 0).value("decodeErrors", -1), 0);
  EXPECT_GT(picturesAfterPeer, picturesBefore) << "no pictures while foreign datagrams arrived";
}

TEST_F(ReliabilityTest, TwoDisplaysWithFastInputKeepResourcesFlatAndLatencyUnderASecond) {
  const std::string scenario = "long run";
  HostUnderTest host(home_, testing::virtualHostArguments("1280x720,1024x768"));
  ASSERT_TRUE(host.ready()) << host.process().output();

  const auto runTime = longMode ? 600s : 30s;
  constexpr int kInputPerSecond = 120;
  std::vector<std::string> lines = {R"({"waitForPictures": {"display": 0, "count": 5, "timeout": 30}})",
                                    R"({"setMultiDisplay": {"enabled": true}})",
                                    R"({"waitForServerHellos": {"count": 2, "timeout": 30}})",
                                    R"({"waitForPictures": {"display": 1, "count": 5, "timeout": 30}})"};
  const auto firstInputLine = lines.size() + 1;
  const auto moves = runTime.count() * kInputPerSecond;
  for (std::int64_t each = 0; each < moves; ++each) {
    lines.push_back(R"({"mouseMove": {"x": )" + std::to_string(100 + each % 1000) + R"(, "y": )" +
                    std::to_string(100 + each % 600) + "}}");
    lines.push_back(R"({"sleep": 0.008})");
  }
  auto client = testing::startClient(home_, "long-run", lines, {"--code", host.code(), "--duration", "2"});
  ASSERT_TRUE(client->waitForLineContaining("Script line " + std::to_string(firstInputLine) + ":", 90s))
      << client->output();
  const auto inputStart = ChildProcess::Clock::now();
  const auto start = readProcessFigures(host.process().pid());
  ASSERT_TRUE(client->waitForLineContaining("Receiving for", runTime * 3)) << "the input script did not finish";
  const auto inputTime = std::chrono::duration<double>(ChildProcess::Clock::now() - inputStart).count();
  const auto end = readProcessFigures(host.process().pid());
  const auto [status, report] = finishClient(*client, 60s);
  ASSERT_EQ(status, 0) << client->output();

  figureTable.add(scenario, "input messages per second",
                  std::to_string(static_cast<int>(static_cast<double>(moves) / inputTime)));
  expectNoGrowth(scenario, start, end);
  for (const int stream : {0, 1}) {
    const auto statistics = displayStatistics(report, stream);
    const std::string display = "display " + std::to_string(stream) + " ";
    EXPECT_GT(statistics.value("picturesDecoded", 0), 0) << report.dump();
    EXPECT_EQ(statistics.value("decodeErrors", -1), 0);
    const auto latency = statistics.value("latencyMilliseconds", json());
    ASSERT_TRUE(latency.is_object()) << display << "has no latency figures: " << statistics.dump();
    figureTable.add(scenario, display + "latency median / p99 / max",
                    milliseconds(latency.value("median", 0.0)) + " / " + milliseconds(latency.value("p99", 0.0)) +
                        " / " + milliseconds(latency.value("max", 0.0)));
    EXPECT_LT(latency.value("max", 1e9), 1000.0) << display << "showed a picture older than a second";
  }
}

}  // namespace
}  // namespace velmora::reliability

int main(int argc, char** argv) {
  using namespace velmora::reliability;
  if (argc == 4 && std::strcmp(argv[1], foreignPeerFlag) == 0) {
    return runForeignVideoPeer(argv[2], std::chrono::seconds(std::atoi(argv[3])));
  }
  // A peer's early close must not end the suite with SIGPIPE.
  signal(SIGPIPE, SIG_IGN);
  ::testing::InitGoogleTest(&argc, argv);
  const char* environment = std::getenv("VELMORA_RELIABILITY_LONG");
  longMode = (environment != nullptr && std::string(environment) == "1") ||
             std::find(argv + 1, argv + argc, std::string("--long")) != argv + argc;
  std::printf("reliability suite, %s mode\n", longMode ? "long" : "short");
  const int result = RUN_ALL_TESTS();
  figureTable.print();
  return result;
}
