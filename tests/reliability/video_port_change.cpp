// A verified client that moves its video to a new UDP source port, as behind a NAT that rebinds:
// the host admits the new flow in place of the old one and the stream goes on there.
#include <signal.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/reliability/suite_support.h"

namespace velmora::reliability {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

constexpr std::uint64_t kPicturesBetweenChanges = 30;
constexpr std::chrono::seconds kPictureTimeout = 30s;
constexpr const char* kAdmittedLine = "VideoServer: new UDP connection from client";

// The pictures the client had decoded at each change, from its log ("changing the video port
// after N picture(s)").
std::vector<std::uint64_t> picturesAtChanges(const std::vector<std::string>& clientLines) {
  const std::string marker = "changing the video port after ";
  std::vector<std::uint64_t> pictures;
  for (const auto& line : clientLines) {
    if (const auto found = line.find(marker); found != std::string::npos) {
      pictures.push_back(std::strtoull(line.c_str() + found + marker.size(), nullptr, 10));
    }
  }
  return pictures;
}

TEST_F(ReliabilityTest, VerifiedClientChangingItsVideoPortKeepsItsStream) {
  const std::string scenario = "video port change";
  HostUnderTest host(home_, "1280x720");
  ASSERT_TRUE(host.ready()) << host.process().output();

  const std::uint64_t changes = longMode ? 10 : 1;
  std::vector<std::string> lines = {waitForPicturesLine(kPicturesBetweenChanges, kPictureTimeout)};
  for (std::uint64_t change = 1; change <= changes; ++change) {
    lines.push_back(R"({"changeVideoPort": {}})");
    lines.push_back(waitForPicturesLine((change + 1) * kPicturesBetweenChanges, kPictureTimeout));
  }
  const auto script = writeScript(home_, "port-change", lines);
  WatchedProcess client(clientBinary(),
                        {"--host", "127.0.0.1", "--preferred-height", "720", "--code", host.code(), "--script",
                         script.string(), "--duration", "0.5"},
                        testEnvironment(home_));
  const auto [status, report] =
      finishClient(client, kPictureTimeout * static_cast<std::int64_t>(changes + 2));
  ASSERT_EQ(status, 0) << "the stream did not follow the new port\n" << client.output();

  // The host's account: the first flow, then one admitted in place of the last for each change.
  std::size_t fromLine = 0;
  for (std::uint64_t flow = 0; flow <= changes; ++flow) {
    const auto admitted = host.process().waitForLine(
        [](const std::string& line) { return line.find(kAdmittedLine) != std::string::npos; }, 10s, fromLine);
    ASSERT_TRUE(admitted) << "flow " << flow << " was never admitted\n" << host.process().output();
    fromLine = admitted->first + 1;
  }
  EXPECT_EQ(host.process().countLinesContaining(kAdmittedLine), changes + 1);

  const auto statistics = displayStatistics(report, 0);
  const auto video = report.value("video", json::object());
  const auto portChanges = video.value("videoPortChanges", json::object());
  const auto total = statistics.value("picturesDecoded", std::uint64_t{0});
  EXPECT_EQ(statistics.value("decodeErrors", -1), 0) << statistics.dump();
  EXPECT_EQ(portChanges.value("count", std::uint64_t{0}), changes) << video.dump();
  const auto atChanges = picturesAtChanges(client.lines());
  ASSERT_EQ(atChanges.size(), changes) << client.output();
  EXPECT_GE(atChanges.front(), kPicturesBetweenChanges);
  EXPECT_GE(total, atChanges.back() + kPicturesBetweenChanges);

  figureTable.add(scenario, "video port changes", static_cast<std::int64_t>(changes));
  figureTable.add(scenario, "pictures before the first change", static_cast<std::int64_t>(atChanges.front()));
  figureTable.add(scenario, "pictures after the last change", static_cast<std::int64_t>(total - atChanges.back()));
  figureTable.add(scenario, "frames skipped awaiting a keyframe", statistics.value("framesSkippedAwaitingKeyframe", 0));
  figureTable.add(scenario, "incomplete frames dropped", statistics.value("incompleteFramesDropped", 0));
  const auto firstPicture = portChanges.value("firstPictureAfterMilliseconds", json());
  if (firstPicture.is_object()) {
    EXPECT_EQ(firstPicture.value("samples", std::uint64_t{0}), changes) << "a change was followed by no picture";
    figureTable.add(scenario, "first picture after a change median / max",
                    milliseconds(firstPicture.value("median", 0.0)) + " / " +
                        milliseconds(firstPicture.value("max", 0.0)));
  } else {
    ADD_FAILURE() << "no time to the first picture after a change: " << video.dump();
  }

  host.process().signal(SIGTERM);
  EXPECT_EQ(host.process().waitForExit(20s), 0) << "the host did not quit cleanly";
}

}  // namespace
}  // namespace velmora::reliability
