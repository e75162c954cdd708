// What every screen capture backend owes the capture service, checked on each backend alike.
// A new backend joins by adding its factory to kBackends.

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <utility>

#include "platform/gnome/mutter_capture_backend.h"
#include "platform/gnome/testing/mutter_layout_testing.h"
#include "platform/testing/capture_stream_testing.h"
#include "platform/testing/xvfb_server.h"
#include "platform/virtual/virtual_capture_backend.h"
#include "platform/wayland/testing/sway_compositor.h"
#include "platform/wayland/wayland_capture_backend.h"
#include "platform/desktop/display_identity.h"
#include "platform/x11/x11_capture_backend.h"
#include "platform/x11/x11_display_source.h"
#include "platform/x11/x11_test_painter.h"

namespace velmora::testing {
namespace {

// A backend with two displays, and the means to change what the first shows and to take the
// second away.
struct BackendUnderTest {
  std::shared_ptr<void> keepAlive;  // servers the backend needs, kept until the backend is gone
  std::shared_ptr<ScreenCaptureBackend> backend;
  std::vector<std::uint32_t> displayIDs;
  std::function<void()> changeFirstDisplay;
  std::function<void()> removeSecondDisplay;
};

struct BackendFactory {
  const char* name;
  // An error makes the test skip: the backend cannot run here.
  std::function<Result<BackendUnderTest>()> make;
};

Result<BackendUnderTest> virtualBackend() {
  auto source = std::make_shared<VirtualDisplaySource>(VirtualDisplayLayout{{1920, 1080, 1}, {1280, 800, 2}});
  return BackendUnderTest{source, std::make_shared<VirtualCaptureBackend>(source), {1, 2}, [] {},
                          [source] { source->setLayout({{1920, 1080, 1}}); }};
}

Result<BackendUnderTest> x11Backend() {
  struct Server {
    XvfbServer xvfb{3840, 1080};
    std::unique_ptr<X11TestPainter> painter;
  };
  auto server = std::make_shared<Server>();
  if (!server->xvfb.available() || server->xvfb.run("xrandr --setmonitor Left 1920/500x1080/300+0+0 screen >/dev/null") != 0 ||
      server->xvfb.run("xrandr --setmonitor Right 1920/500x1080/300+1920+0 none >/dev/null") != 0) {
    return Result<BackendUnderTest>::failure("Xvfb with RandR monitors is not available");
  }
  auto painter = X11TestPainter::open(server->xvfb.display());
  auto backend = X11CaptureBackend::open(server->xvfb.display());
  auto source = X11DisplaySource::open(server->xvfb.display());
  if (!painter.ok() || !backend.ok() || !source.ok()) {
    return Result<BackendUnderTest>::failure("cannot reach the test's X server");
  }
  server->painter = std::move(painter.value());
  std::map<std::string, std::uint32_t> displayIDs;
  for (const auto& screen : source.value()->screens()) {
    displayIDs[screen.name] = screen.displayID;
  }
  const auto change = [server, colour = std::make_shared<std::uint32_t>(0x202020)] {
    *colour ^= 0xffffff;
    server->painter->showWindow({100, 100, 300, 200}, *colour);
  };
  const auto remove = [server] { server->xvfb.run("xrandr --delmonitor Right"); };
  return BackendUnderTest{server, backend.value(), {displayIDs["Left"], displayIDs["Right"]}, change, remove};
}

// Sway 1.7 cannot take a headless output away, so the outputs under test (WL-1, WL-2) are windows
// of a sway nested in another: closing WL-2's window withdraws it.
Result<BackendUnderTest> waylandBackend() {
  struct Nested {
    SwayCompositor outer;
    std::unique_ptr<SwayCompositor> inner;
  };
  auto sway = std::make_shared<Nested>();
  if (sway->outer.available()) {
    const std::vector<std::string> nested{"WLR_BACKENDS=wayland", "WAYLAND_DISPLAY=" + sway->outer.socketPath()};
    sway->inner = std::make_unique<SwayCompositor>(std::vector<std::string>{}, nested);
  }
  if (!sway->inner || !sway->inner->available() || sway->inner->run("swaymsg create_output >/dev/null") != 0) {
    return Result<BackendUnderTest>::failure("nested headless sway is not available");
  }
  auto backend = WaylandCaptureBackend::open(sway->inner->socketPath());
  if (!backend.ok()) {
    return Result<BackendUnderTest>::failure(backend.error());
  }
  const auto change = [sway, colour = std::make_shared<std::uint32_t>(0x202020)] {
    *colour ^= 0xffffff;
    sway->inner->run(fmt::format("swaymsg output WL-1 bg '#{:06x}' solid_color >/dev/null", *colour));
  };
  const auto remove = [sway] { sway->outer.run("swaymsg '[title=\"wlroots - WL-2\"]' kill >/dev/null"); };
  return BackendUnderTest{sway, backend.value(), {displayIDForName("WL-1"), displayIDForName("WL-2")}, change, remove};
}

// Two virtual monitors of a headless mutter: a window shown on Meta-0, or closed again, changes its
// picture; a layout without Meta-1 takes it away.
Result<BackendUnderTest> gnomeBackend() {
  struct Gnome {
    DesktopSession desktop{{"1280x720", "800x600"}};
    std::shared_ptr<MutterRemoteDesktop> session;
    std::unique_ptr<ChildProcess> window;
  };
  auto gnome = std::make_shared<Gnome>();
  if (!gnome->desktop.available()) {
    return Result<BackendUnderTest>::failure("headless mutter is not available");
  }
  auto bus = DBusConnection::open(DBusConnection::Bus::session, gnome->desktop.busAddress());
  if (!bus) {
    return Result<BackendUnderTest>::failure(bus.error());
  }
  auto session = MutterRemoteDesktop::start(std::move(bus.value()));
  if (!session) {
    return Result<BackendUnderTest>::failure(session.error());
  }
  gnome->session = session.value();
  setenv("XDG_RUNTIME_DIR", gnome->desktop.runtimeDirectory().c_str(), 1);  // the capture uses the desktop's PipeWire
  const auto change = [gnome] {
    if (std::exchange(gnome->window, nullptr) == nullptr) {
      gnome->window = std::make_unique<ChildProcess>(VELMORA_WAYLAND_POINTER_RECORDER, std::vector<std::string>{"0"},
                                                     gnome->desktop.environment());
      EXPECT_TRUE(gnome->window->waitForLineContaining("size ")) << gnome->window->output();
    }
  };
  const auto remove = [gnome] {
    EXPECT_TRUE(applyMutterMonitors(gnome->desktop, "(0, 0, 1.0, 0, true, [('Meta-0', '1280x720@60.000', @a{sv} {})])"));
  };
  return BackendUnderTest{gnome, std::make_shared<MutterCaptureBackend>(gnome->session),
                          {displayIDForName("Meta-0"), displayIDForName("Meta-1")}, change, remove};
}

const BackendFactory kBackends[] = {
    {"Virtual", virtualBackend},
    {"X11", x11Backend},
    {"Wayland", waylandBackend},
    {"GNOME", gnomeBackend},
};

class CaptureBackendContract : public ::testing::TestWithParam<BackendFactory> {
 protected:
  void SetUp() override {
    auto made = GetParam().make();
    if (!made.ok()) {
      GTEST_SKIP() << made.error();
    }
    subject_ = std::move(made.value());
  }

  std::shared_ptr<ScreenCaptureStream> started(std::uint32_t displayID, const ScreenCaptureStreamConfiguration& configuration) {
    streams_.push_back(startedStream(*subject_.backend, displayID, configuration, receiver_));
    return streams_.back();
  }

  BackendUnderTest subject_;
  std::shared_ptr<CaptureReceiver> receiver_ = std::make_shared<CaptureReceiver>();
  std::vector<std::shared_ptr<ScreenCaptureStream>> streams_;
};

TEST_P(CaptureBackendContract, DeliversFramesOfTheConfiguredSizeMadeEvenAndNoneWhileStopped) {
  const auto stream = started(subject_.displayIDs[0], captureConfiguration(641, 361));
  ASSERT_TRUE(receiver_->waitForFrames(1));
  const auto frame = receiver_->lastFrame();
  EXPECT_EQ(frame.width, 640) << "NV12 pictures have even sides";
  EXPECT_EQ(frame.height, 360);
  const double now = std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
  EXPECT_LE(frame.presentationTime, now) << "on the monotonic clock";
  EXPECT_GT(frame.presentationTime, now - 30);

  EXPECT_EQ(stopCapture(*stream), std::nullopt);
  const auto stoppedAt = receiver_->frameCount();
  subject_.changeFirstDisplay();
  EXPECT_TRUE(receiver_->staysAt(stoppedAt));
  EXPECT_EQ(startCapture(*stream), std::nullopt);
  EXPECT_TRUE(receiver_->waitForFrames(stoppedAt + 1));
}

// The first frame comes at once; a change shows only once the consumer asked for another.
TEST_P(CaptureBackendContract, APacedStreamDeliversTheNextFrameOnlyWhenAsked) {
  auto configuration = captureConfiguration(320, 240);
  configuration.pacedByConsumer = true;
  started(subject_.displayIDs[0], configuration);
  ASSERT_TRUE(receiver_->waitForFrames(1));
  subject_.changeFirstDisplay();
  EXPECT_TRUE(receiver_->staysAt(1));
  receiver_->requestNextFrame();
  EXPECT_TRUE(receiver_->waitForFrames(2));
}

TEST_P(CaptureBackendContract, RefusesToStartWhatItCannotCaptureAndSaysWhy) {
  auto otherFormat = captureConfiguration(640, 360);
  otherFormat.pixelFormat = 0x42475241;
  const struct {
    bool knownDisplay;
    ScreenCaptureStreamConfiguration configuration;
    const char* errorNames;
  } cases[] = {
      {false, captureConfiguration(640, 360), "12345"},
      {true, otherFormat, "420v"},
      {true, captureConfiguration(1, 360), "1x360"},
      {true, captureConfiguration(-640, 360), "-640x360"},
  };
  for (const auto& [knownDisplay, configuration, errorNames] : cases) {
    auto stream = subject_.backend->makeStream(knownDisplay ? subject_.displayIDs[0] : 12345, configuration, receiver_);
    const auto error = startCapture(*stream);
    ASSERT_TRUE(error.has_value()) << errorNames;
    EXPECT_NE(error->find(errorNames), std::string::npos) << *error;
  }
  EXPECT_EQ(receiver_->frameCount(), 0U);
  const auto stream = subject_.backend->makeStream(subject_.displayIDs[0], captureConfiguration(64, 64), receiver_);
  EXPECT_NE(stream->addStreamOutput(receiver_, SampleOutputType::audio), std::nullopt);
}

TEST_P(CaptureBackendContract, ListsItsDisplaysAndOneThatGoesAwayEndsItsStreamWithAnError) {
  EXPECT_EQ(capturableDisplayIDs(*subject_.backend), subject_.displayIDs);
  EXPECT_TRUE(subject_.backend->hasScreenCaptureAccess() && subject_.backend->requestScreenCaptureAccess());
  const auto stream = started(subject_.displayIDs[1], captureConfiguration(320, 240));
  ASSERT_TRUE(receiver_->waitForFrames(1));
  subject_.removeSecondDisplay();
  const auto error = receiver_->waitForStopError();
  ASSERT_TRUE(error.has_value());
  EXPECT_NE(error->find(std::to_string(subject_.displayIDs[1])), std::string::npos) << *error;
  EXPECT_EQ(capturableDisplayIDs(*subject_.backend), std::vector<std::uint32_t>{subject_.displayIDs[0]});
  EXPECT_EQ(stopCapture(*stream), std::nullopt);
}

// An owner may let go of its stream while handling one of its frames.
class StreamDroppingReceiver : public ScreenCaptureStreamOutput {
 public:
  void streamDidOutputSampleBuffer(const SampleBuffer&, SampleOutputType) override {
    std::unique_lock lock(streamLock_);
    if (auto last = std::move(stream_)) {
      lock.unlock();
      last.reset();  // destroys the stream on its own delivery thread
      dropped_.set_value();
    }
  }

  std::mutex streamLock_;
  std::shared_ptr<ScreenCaptureStream> stream_;  // guarded by streamLock_
  std::promise<void> dropped_;
};

TEST_P(CaptureBackendContract, AStreamReleasedOnItsOwnDeliveryThreadEndsQuietly) {
  auto receiver = std::make_shared<StreamDroppingReceiver>();
  auto dropped = receiver->dropped_.get_future();
  {
    auto stream = subject_.backend->makeStream(subject_.displayIDs[0], captureConfiguration(320, 240), receiver_);
    ASSERT_EQ(stream->addStreamOutput(receiver, SampleOutputType::screen), std::nullopt);
    {
      std::lock_guard lock(receiver->streamLock_);
      receiver->stream_ = stream;
    }
    ASSERT_EQ(startCapture(*stream), std::nullopt);
  }
  EXPECT_EQ(dropped.wait_for(kCaptureEventTimeout), std::future_status::ready);
}

INSTANTIATE_TEST_SUITE_P(Backends, CaptureBackendContract, ::testing::ValuesIn(kBackends),
                         [](const auto& backend) { return std::string(backend.param.name); });

}  // namespace
}  // namespace velmora::testing
