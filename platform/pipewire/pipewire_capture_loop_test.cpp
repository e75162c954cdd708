#include "platform/pipewire/pipewire_capture_loop.h"

#include <gtest/gtest.h>
#include <spa/buffer/buffer.h>
#include <spa/buffer/meta.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstdlib>
#include <regex>

#include "platform/pipewire/pipewire_buffer_content.h"
#include "platform/testing/capture_stream_testing.h"
#include "platform/testing/desktop_session.h"

namespace velmora::testing {
namespace {

constexpr const char* kSourceName = "velmora-test-source";
constexpr Yuv kRed{81, 90, 240};  // (255, 0, 0) in NV12, video range

// A live test picture from GStreamer on the session's PipeWire, in the given
// caps.
std::unique_ptr<ChildProcess> startSource(const DesktopSession& session, const std::string& format) {
  const std::string launch =
      "videotestsrc pattern=solid-color foreground-color=0xffff0000 "
      "is-live=true ! video/x-raw,format=" +
      format +
      ",width=640,height=360,framerate=30/1 ! pipewiresink mode=provide "
      "client-name=" +
      kSourceName;
  return std::make_unique<ChildProcess>("/bin/sh", std::vector<std::string>{"-c", "exec gst-launch-1.0 " + launch},
                                        session.environment());
}

// The source's node, once PipeWire lists it (0 when it never does).
std::uint32_t sourceNodeID(const DesktopSession& session) {
  const std::regex node(R"(id (\d+), type PipeWire:Interface:Node(?:(?!\n\tid )[^])*?node\.name = "([^"]*)\")");
  for (int attempt = 0; attempt < 50; ++attempt) {
    const std::string listing = session.output("pw-cli ls Node 2>/dev/null");
    for (std::sregex_iterator match(listing.begin(), listing.end(), node), end; match != end; ++match) {
      if ((*match)[2] == kSourceName) {
        return static_cast<std::uint32_t>(std::stoul((*match)[1]));
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return 0;
}

// Only a buffer whose picture changed is worth a frame; an empty or corrupt one is never read.
TEST(PipeWireBufferContent, SaysWhetherThePictureChanged) {
  struct Case {
    const char* name;
    std::uint32_t chunkSize;
    std::uint32_t headerFlags;
    std::optional<spa_meta_region> damage;  // none: the buffer carries no damage list
    BufferContent expected;
  };
  const spa_meta_region damaged{{{0, 0}, {16, 8}}};
  for (const Case& test : {Case{"no damage list", 1024, 0, std::nullopt, BufferContent::changed},
                           Case{"a damaged region", 1024, 0, damaged, BufferContent::changed},
                           Case{"an empty damage list", 1024, 0, spa_meta_region{}, BufferContent::unchanged},
                           Case{"an empty chunk", 0, 0, damaged, BufferContent::unusable},
                           Case{"marked corrupt", 1024, SPA_META_HEADER_FLAG_CORRUPTED, damaged, BufferContent::unusable}}) {
    SCOPED_TRACE(test.name);
    spa_chunk chunk{0, test.chunkSize, 64, 0};
    spa_data data{};
    data.chunk = &chunk;
    spa_meta_header header{};
    header.flags = test.headerFlags;
    std::array<spa_meta_region, 2> regions{test.damage.value_or(spa_meta_region{})};  // an empty region ends the list
    std::array<spa_meta, 2> metas{spa_meta{SPA_META_Header, sizeof header, &header},
                                  spa_meta{SPA_META_VideoDamage, sizeof regions, regions.data()}};
    const spa_buffer buffer{test.damage ? 2u : 1u, 1, metas.data(), &data};
    EXPECT_EQ(contentOf(buffer), test.expected);
  }
}

class PipeWireCaptureLoopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!session_.available() || access("/usr/bin/gst-launch-1.0", X_OK) != 0) {
      GTEST_SKIP() << "PipeWire or GStreamer is not available";
    }
    // The loop's default daemon is the one of this runtime folder.
    setenv("XDG_RUNTIME_DIR", session_.runtimeDirectory().c_str(), 1);
    unsetenv("PIPEWIRE_REMOTE");
  }

  // A paced stream of `nodeID` at 320x180; through a socket of our own when
  // `ownRemote`, as a portal hands one out.
  std::shared_ptr<ScreenCaptureStream> startStream(std::uint32_t nodeID, bool ownRemote) {
    int remote = -1;
    if (ownRemote) {
      remote = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
      const std::string path = session_.runtimeDirectory() + "/pipewire-0";
      path.copy(address.sun_path, sizeof address.sun_path - 1);
      EXPECT_EQ(::connect(remote, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    }
    auto configuration = captureConfiguration(320, 180);
    configuration.pacedByConsumer = true;
    auto stream = makeCaptureLoopStream(
        "PipeWire", 1, configuration, receiver_,
        [remote, nodeID](const CaptureLoopSettings& settings, std::weak_ptr<ScreenCaptureStreamOutput> output,
                         std::weak_ptr<ScreenCaptureStreamDelegate> delegate) {
          return makePipeWireCaptureLoop({remote, nodeID, "display 1"}, settings, std::move(output), std::move(delegate));
        },
        std::make_shared<LingeringThreads>());
    EXPECT_EQ(stream->addStreamOutput(receiver_, SampleOutputType::screen), std::nullopt);
    EXPECT_EQ(startCapture(*stream), std::nullopt);
    return stream;
  }

  DesktopSession session_;
  std::shared_ptr<CaptureReceiver> receiver_ = std::make_shared<CaptureReceiver>();
};

// Each byte order arrives as the same red, scaled to the configured size, and a
// paced stream sends its next frame only when asked.
TEST_F(PipeWireCaptureLoopTest, DeliversTrueColoursAtTheConfiguredSizeWhenAsked) {
  for (const std::string format : {"BGRx", "RGBA", "xRGB"}) {
    SCOPED_TRACE(format);
    receiver_ = std::make_shared<CaptureReceiver>();
    const auto source = startSource(session_, format);
    const auto stream = startStream(sourceNodeID(session_), format == "RGBA");
    ASSERT_TRUE(receiver_->waitForFrames(1)) << source->output();
    const CapturedFrame frame = receiver_->lastFrame();
    EXPECT_EQ(frame.width, 320);
    EXPECT_EQ(frame.height, 180);
    EXPECT_TRUE(testing::isNear(frame.at(160, 90), kRed, 4));
    EXPECT_NEAR(frame.presentationTime,
                std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(), 5);

    EXPECT_TRUE(receiver_->staysAt(1));
    receiver_->requestNextFrame();
    EXPECT_TRUE(receiver_->waitForFrames(2));
    EXPECT_EQ(stopCapture(*stream), std::nullopt);
  }
}

// The loop ends with an error that names the display, soon, whatever keeps the
// pictures from coming, also while it holds a buffer of a producer or daemon that is gone.
TEST_F(PipeWireCaptureLoopTest, EndsWithAnErrorWhenThePicturesStopOrNeverCome) {
  enum class Ending { none, sourceEnds, sourceKilled, daemonKilled };
  struct Case {
    const char* name;
    const char* sourceFormat;  // none: no source at all
    Ending afterFirstFrame;
    bool ownRemote;
    const char* error;
  };
  for (const Case& test :
       {Case{"node missing", nullptr, Ending::none, true, "display 1: PipeWire has no node 4000"},
        Case{"format not taken", "I420", Ending::none, true, "offers no format this host takes"},
        Case{"source ends", "BGRx", Ending::sourceEnds, true, "went away"},
        Case{"source killed", "BGRx", Ending::sourceKilled, false, "display 1: "},
        // Last: the session has no PipeWire after it.
        Case{"daemon killed", "BGRx", Ending::daemonKilled, true, "display 1: "}}) {
    SCOPED_TRACE(test.name);
    receiver_ = std::make_shared<CaptureReceiver>();
    const auto source = test.sourceFormat ? startSource(session_, test.sourceFormat) : nullptr;
    const auto stream = startStream(source ? sourceNodeID(session_) : 4000, test.ownRemote);
    if (test.afterFirstFrame != Ending::none) {
      ASSERT_TRUE(receiver_->waitForFrames(1));
    }
    if (test.afterFirstFrame == Ending::sourceEnds) {
      source->signal(SIGTERM);
    } else if (test.afterFirstFrame == Ending::sourceKilled) {
      source->signal(SIGKILL);
    } else if (test.afterFirstFrame == Ending::daemonKilled) {
      session_.pipewire()->signal(SIGKILL);
    }
    const auto error = receiver_->waitForStopError();
    ASSERT_TRUE(error.has_value());
    EXPECT_NE(error->find(test.error), std::string::npos) << *error;
    EXPECT_EQ(stopCapture(*stream), std::nullopt);
  }
}

}  // namespace
}  // namespace velmora::testing
