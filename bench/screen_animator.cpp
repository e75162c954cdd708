// screen_animator: paints an X screen for the end-to-end benchmark. Content "window" is a desktop
// in use: a still wallpaper with a window that animates at the frame rate over a ninth of every
// monitor; "motion" animates every monitor whole; "still" draws one frame and leaves it. Each
// frame carries a frame stamp at the top-left of every monitor with the monotonic time at which
// it was drawn, so that whoever decodes a capture of the screen can measure capture-to-picture
// latency.
//
//   screen_animator --display :N --content window|motion|still --monitor WxH+X+Y [--monitor ...]
//                   [--rate FPS]
//
// Prints "ready" once the first frame is on the screen. On SIGINT or SIGTERM it stops and prints
// what it drew as one JSON line: frames, seconds, framesPerSecond, lateFrames (drawn more than a
// frame interval after they were due), cpuMillisecondsPerFrame.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/animation_pattern.h"
#include "bench/end_to_end_support.h"
#include "platform/x11/x11_connection.h"

namespace velmora {
namespace {

using Clock = std::chrono::steady_clock;

std::atomic<bool> stopRequested = false;

void requestStop(int) { stopRequested = true; }

struct Options {
  std::string displayName;
  Content content = Content::window;
  std::vector<PixelRect> monitors;
  int frameRate = 60;
};

// Pixels the X server reads from: shared memory where MIT-SHM works, else sent with each put.
class ScreenPicture {
 public:
  ScreenPicture(Display* display, int width, int height) : display_(display), width_(width), height_(height) {
    const int screen = DefaultScreen(display);
    Visual* visual = DefaultVisual(display, screen);
    const auto depth = static_cast<unsigned>(DefaultDepth(display, screen));
    if (XShmQueryExtension(display) == True) {
      image_ = XShmCreateImage(display, visual, depth, ZPixmap, nullptr, &segment_, static_cast<unsigned>(width),
                               static_cast<unsigned>(height));
      if (image_ != nullptr && attachSegment()) {
        return;
      }
      release();
    }
    plainPixels_.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    image_ = XCreateImage(display, visual, depth, ZPixmap, 0, reinterpret_cast<char*>(plainPixels_.data()),
                          static_cast<unsigned>(width), static_cast<unsigned>(height), 32, width * 4);
  }

  ~ScreenPicture() { release(); }
  ScreenPicture(const ScreenPicture&) = delete;
  ScreenPicture& operator=(const ScreenPicture&) = delete;

  // 32-bit pixels, 0xRRGGBB on the 24-bit TrueColor screens this is meant for.
  bool usable() const {
    return image_ != nullptr && image_->bits_per_pixel == 32 && image_->red_mask == 0xFF0000 &&
           image_->green_mask == 0xFF00 && image_->blue_mask == 0xFF;
  }
  std::uint32_t* row(int y) {
    return reinterpret_cast<std::uint32_t*>(image_->data + static_cast<std::ptrdiff_t>(y) * image_->bytes_per_line);
  }
  int width() const { return width_; }
  int height() const { return height_; }

  void put(GC context, int sourceX, int sourceY, const PixelRect& target) {
    if (segment_.shmaddr != nullptr) {
      XShmPutImage(display_, DefaultRootWindow(display_), context, image_, sourceX, sourceY, target.x, target.y,
                   static_cast<unsigned>(target.width), static_cast<unsigned>(target.height), False);
    } else {
      XPutImage(display_, DefaultRootWindow(display_), context, image_, sourceX, sourceY, target.x, target.y,
                static_cast<unsigned>(target.width), static_cast<unsigned>(target.height));
    }
  }

 private:
  bool attachSegment() {
    segment_.shmid =
        shmget(IPC_PRIVATE, static_cast<std::size_t>(image_->bytes_per_line) * static_cast<std::size_t>(height_),
               IPC_CREAT | 0600);
    if (segment_.shmid < 0) {
      return false;
    }
    void* address = shmat(segment_.shmid, nullptr, 0);
    if (address == reinterpret_cast<void*>(-1)) {  // NOLINT(performance-no-int-to-ptr): shmat's failure value
      shmctl(segment_.shmid, IPC_RMID, nullptr);
      return false;
    }
    segment_.shmaddr = image_->data = static_cast<char*>(address);
    segment_.readOnly = True;
    X11ErrorTrap trap;
    XShmAttach(display_, &segment_);
    attached_ = trap.sync(display_) == 0;
    // Removed once the last user detaches, even when this process is killed.
    shmctl(segment_.shmid, IPC_RMID, nullptr);
    return attached_;
  }

  void release() {
    if (attached_) {
      XShmDetach(display_, &segment_);
      XSync(display_, False);
      attached_ = false;
    }
    if (image_ != nullptr) {
      image_->data = nullptr;  // the pixels are the segment's or plainPixels_
      XDestroyImage(image_);
      image_ = nullptr;
    }
    if (segment_.shmaddr != nullptr) {
      shmdt(segment_.shmaddr);
      segment_.shmaddr = nullptr;
    }
  }

  Display* display_;
  int width_;
  int height_;
  XImage* image_ = nullptr;
  XShmSegmentInfo segment_{};
  bool attached_ = false;
  std::vector<std::uint32_t> plainPixels_;
};

// One animated area and the texture it shows, one period larger than the area.
struct AnimatedArea {
  PixelRect area;
  std::unique_ptr<ScreenPicture> texture;
};

class ScreenAnimator {
 public:
  ScreenAnimator(X11Connection connection, Options options)
      : connection_(std::move(connection)),
        display_(connection_.get()),
        options_(std::move(options)),
        context_(XCreateGC(display_, DefaultRootWindow(display_), 0, nullptr)) {}

  ~ScreenAnimator() { XFreeGC(display_, context_); }
  ScreenAnimator(const ScreenAnimator&) = delete;
  ScreenAnimator& operator=(const ScreenAnimator&) = delete;

  // Why the screen cannot be painted as asked, or nothing.
  std::optional<std::string> prepare() {
    const int screenWidth = DisplayWidth(display_, DefaultScreen(display_));
    const int screenHeight = DisplayHeight(display_, DefaultScreen(display_));
    for (const PixelRect& monitor : options_.monitors) {
      if (monitor.x + monitor.width > screenWidth || monitor.y + monitor.height > screenHeight) {
        return "monitor " + describe(monitor) + " lies outside the " + std::to_string(screenWidth) + "x" +
               std::to_string(screenHeight) + " screen";
      }
      if (monitor.width < 3 * kFrameStampWidth || monitor.height < 3 * kFrameStampHeight) {
        return "monitor " + describe(monitor) + " is too small for the frame stamp and a window";
      }
      const PixelRect area = animatedArea(monitor, options_.content == Content::motion);
      auto texture = std::make_unique<ScreenPicture>(display_, area.width + kTexturePeriod, area.height + kTexturePeriod);
      if (!texture->usable()) {
        return std::string("the screen is not 24-bit TrueColor with 32-bit pixels");
      }
      for (int y = 0; y < texture->height(); ++y) {
        std::uint32_t* row = texture->row(y);
        for (int x = 0; x < texture->width(); ++x) {
          row[x] = texel(x, y);
        }
      }
      areas_.push_back(AnimatedArea{area, std::move(texture)});
    }
    stampPicture_ = std::make_unique<ScreenPicture>(display_, kFrameStampWidth, kFrameStampHeight);
    if (options_.content != Content::motion) {
      for (const PixelRect& monitor : options_.monitors) {
        drawWallpaper(monitor);
      }
    }
    return std::nullopt;
  }

  void drawFrame(std::uint32_t frameNumber) {
    // Taken before anything of the frame is drawn: the latency measured includes the drawing.
    const auto drawnAt = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch());
    const int offsetX = static_cast<int>((frameNumber * kTextureStepX) % kTexturePeriod);
    const int offsetY = static_cast<int>((frameNumber * kTextureStepY) % kTexturePeriod);
    for (const AnimatedArea& animated : areas_) {
      animated.texture->put(context_, offsetX, offsetY, animated.area);
    }
    const auto stamp = frameStampPixels(FrameStamp{frameNumber, static_cast<std::uint64_t>(drawnAt.count())});
    for (int y = 0; y < kFrameStampHeight; ++y) {
      std::memcpy(stampPicture_->row(y), stamp.data() + static_cast<std::ptrdiff_t>(y) * kFrameStampWidth,
                  kFrameStampWidth * sizeof(std::uint32_t));
    }
    for (const PixelRect& monitor : options_.monitors) {
      stampPicture_->put(context_, 0, 0, {monitor.x, monitor.y, kFrameStampWidth, kFrameStampHeight});
    }
    // Also keeps the shared pixels untouched until the server has read them.
    XSync(display_, False);
  }

 private:
  static std::string describe(const PixelRect& area) {
    return std::to_string(area.width) + "x" + std::to_string(area.height) + "+" + std::to_string(area.x) + "+" +
           std::to_string(area.y);
  }

  void fill(const PixelRect& area, std::uint32_t rgb) {
    XSetForeground(display_, context_, rgb);
    XFillRectangle(display_, DefaultRootWindow(display_), context_, area.x, area.y, static_cast<unsigned>(area.width),
                   static_cast<unsigned>(area.height));
  }

  void drawWallpaper(const PixelRect& monitor) {
    for (const FilledRect& rect : wallpaperRects(monitor)) {
      fill(rect.area, rect.rgb);
    }
  }

  X11Connection connection_;
  Display* display_;
  const Options options_;
  GC context_;
  std::vector<AnimatedArea> areas_;
  std::unique_ptr<ScreenPicture> stampPicture_;
};

std::optional<std::string> parseOptions(int argc, char** argv, Options& options) {
  bool contentGiven = false;
  for (int index = 1; index < argc; ++index) {
    const std::string argument = argv[index];
    if (index + 1 >= argc) {
      return argument + " needs a value";
    }
    const std::string value = argv[++index];
    if (argument == "--display") {
      options.displayName = value;
    } else if (argument == "--content") {
      const auto content = parseContent(value);
      if (!content) {
        return "--content takes window, motion or still";
      }
      options.content = *content;
      contentGiven = true;
    } else if (argument == "--monitor") {
      const auto area = parsePictureArea(value, true);
      if (!area) {
        return "--monitor takes WxH+X+Y, not '" + value + "'";
      }
      options.monitors.push_back(*area);
    } else if (argument == "--rate") {
      const auto rate = parseFrameRate(value);
      if (!rate) {
        return "--rate takes frames per second from 1 to 1000";
      }
      options.frameRate = *rate;
    } else {
      return "unknown argument " + argument;
    }
  }
  if (options.displayName.empty() || !contentGiven || options.monitors.empty()) {
    return std::string("--display, --content and at least one --monitor are needed");
  }
  return std::nullopt;
}

int run(const Options& options) {
  auto connection = openX11Connection(options.displayName);
  if (!connection) {
    std::fprintf(stderr, "screen_animator: %s\n", connection.error().c_str());
    return 1;
  }
  ScreenAnimator animator(std::move(connection.value()), options);
  if (const auto problem = animator.prepare()) {
    std::fprintf(stderr, "screen_animator: %s\n", problem->c_str());
    return 1;
  }

  const double startCpu = processCpuSeconds();
  const auto start = Clock::now();
  const auto interval = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / options.frameRate));
  std::uint32_t frames = 0;
  std::uint64_t lateFrames = 0;
  auto due = start;
  animator.drawFrame(frames++);
  std::puts("ready");
  std::fflush(stdout);
  while (!stopRequested) {
    if (options.content == Content::still) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      continue;
    }
    due += interval;
    const auto now = Clock::now();
    if (now > due + interval) {
      ++lateFrames;
      due = now;  // behind: draw at once, without a burst to catch up
    } else {
      std::this_thread::sleep_until(due);
    }
    animator.drawFrame(frames++);
  }

  printAnimationReport(frames, start, lateFrames, startCpu);
  return 0;
}

}  // namespace
}  // namespace velmora

int main(int argc, char** argv) {
  using namespace velmora;
  Options options;
  if (const auto problem = parseOptions(argc, argv, options)) {
    std::fprintf(stderr,
                 "screen_animator: %s\nusage: screen_animator --display :N --content window|motion|still "
                 "--monitor WxH+X+Y [--monitor ...] [--rate FPS]\n",
                 problem->c_str());
    return 2;
  }
  struct sigaction action {};
  action.sa_handler = requestStop;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  return run(options);
}
