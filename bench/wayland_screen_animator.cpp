// wayland_screen_animator: paints a Wayland desktop for the end-to-end benchmark as screen_animator
// paints an X screen: one fullscreen window with the same wallpaper, the same texture animating at
// the frame rate over a ninth of the output (or all of it for "motion", or one frame for "still")
// and the same frame stamp at the top-left, drawn through wl_shm buffers.
//
//   wayland_screen_animator --content window|motion|still [--rate FPS]
//
// Prints "ready" once the first frame is committed. On SIGINT or SIGTERM it stops and prints what
// it drew as one JSON line, with screen_animator's fields.
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "bench/animation_pattern.h"
#include "bench/end_to_end_support.h"
#include "platform/wayland/protocols/xdg-shell-client.h"

namespace velmora {
namespace {

using Clock = std::chrono::steady_clock;

// Three: one the compositor shows, one it may still read, one to draw into.
constexpr int kBufferCount = 3;

std::atomic<bool> stopRequested = false;

void requestStop(int) { stopRequested = true; }

struct Options {
  Content content = Content::window;
  int frameRate = 60;
};

struct Buffer {
  wl_buffer* buffer = nullptr;
  std::uint32_t* pixels = nullptr;
  bool busy = false;  // attached and not yet released by the compositor
};

class WaylandScreenAnimator {
 public:
  explicit WaylandScreenAnimator(Content content) : content_(content) {}

  ~WaylandScreenAnimator() {
    for (Buffer& buffer : buffers_) {
      if (buffer.buffer != nullptr) {
        wl_buffer_destroy(buffer.buffer);
      }
    }
    if (placeholder_ != nullptr) {
      wl_buffer_destroy(placeholder_);
    }
    if (mapping_ != nullptr) {
      munmap(mapping_, mappingSize_);
    }
    if (display_ != nullptr) {
      wl_display_disconnect(display_);
    }
  }
  WaylandScreenAnimator(const WaylandScreenAnimator&) = delete;
  WaylandScreenAnimator& operator=(const WaylandScreenAnimator&) = delete;

  // Why the desktop cannot be painted, or nothing: connects, shows the fullscreen window and
  // draws what does not move into every buffer.
  std::optional<std::string> prepare() {
    display_ = wl_display_connect(nullptr);
    if (display_ == nullptr) {
      return std::string("cannot connect to the compositor (WAYLAND_DISPLAY)");
    }
    static const wl_registry_listener registryListener = {bindGlobal, [](void*, wl_registry*, std::uint32_t) {}};
    wl_registry_add_listener(wl_display_get_registry(display_), &registryListener, this);
    wl_display_roundtrip(display_);
    if (compositor_ == nullptr || shm_ == nullptr || windowManager_ == nullptr) {
      return std::string("the compositor lacks wl_compositor 4, wl_shm or xdg_wm_base");
    }
    static const xdg_wm_base_listener windowManagerListener = {
        [](void*, xdg_wm_base* manager, std::uint32_t serial) { xdg_wm_base_pong(manager, serial); }};
    xdg_wm_base_add_listener(windowManager_, &windowManagerListener, nullptr);

    surface_ = wl_compositor_create_surface(compositor_);
    xdg_surface* shellSurface = xdg_wm_base_get_xdg_surface(windowManager_, surface_);
    static const xdg_surface_listener surfaceListener = {[](void* data, xdg_surface* shell, std::uint32_t serial) {
      xdg_surface_ack_configure(shell, serial);
      static_cast<WaylandScreenAnimator*>(data)->configured_ = true;
    }};
    xdg_surface_add_listener(shellSurface, &surfaceListener, this);
    xdg_toplevel* toplevel = xdg_surface_get_toplevel(shellSurface);
    static const xdg_toplevel_listener toplevelListener = {
        [](void* data, xdg_toplevel*, std::int32_t width, std::int32_t height, wl_array*) {
          auto* animator = static_cast<WaylandScreenAnimator*>(data);
          if (width > 0 && height > 0) {
            animator->width_ = width;
            animator->height_ = height;
          }
        },
        [](void*, xdg_toplevel*) { stopRequested = true; }, nullptr, nullptr};
    xdg_toplevel_add_listener(toplevel, &toplevelListener, this);
    xdg_toplevel_set_app_id(toplevel, "velmora-screen-animator");
    xdg_toplevel_set_fullscreen(toplevel, nullptr);
    wl_surface_commit(surface_);
    // Sway asks for a size only once the window is mapped: a small placeholder maps it, and the
    // next configure gives the output's size.
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    if (!dispatchUntil(deadline, [this] { return configured_; })) {
      return std::string("the compositor did not configure the window");
    }
    if (width_ == 0) {
      if (auto problem = mapWithPlaceholder()) {
        return problem;
      }
      if (!dispatchUntil(deadline, [this] { return width_ > 0; })) {
        return std::string("the compositor did not make the window fullscreen");
      }
    }
    if (width_ < 3 * kFrameStampWidth || height_ < 3 * kFrameStampHeight) {
      return "the output (" + std::to_string(width_) + "x" + std::to_string(height_) + ") is too small";
    }
    return createBuffers();
  }

  // Draws the next frame into a buffer the compositor does not hold and commits it; false when
  // the connection failed.
  bool drawFrame(std::uint32_t frameNumber) {
    if (!dispatchUntil(Clock::time_point::max(), [this] { return freeBuffer() != nullptr; })) {
      return false;
    }
    // Taken before anything of the frame is drawn: the latency measured includes the drawing.
    const auto drawnAt = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch());
    Buffer& target = *freeBuffer();
    const int offsetX = static_cast<int>((frameNumber * kTextureStepX) % kTexturePeriod);
    const int offsetY = static_cast<int>((frameNumber * kTextureStepY) % kTexturePeriod);
    const int textureWidth = area_.width + kTexturePeriod;
    for (int y = 0; y < area_.height; ++y) {
      const std::uint32_t* source = texture_.data() + static_cast<std::ptrdiff_t>(y + offsetY) * textureWidth + offsetX;
      std::memcpy(pixelAt(target, area_.x, area_.y + y), source, static_cast<std::size_t>(area_.width) * 4);
    }
    const auto stamp = frameStampPixels(FrameStamp{frameNumber, static_cast<std::uint64_t>(drawnAt.count())});
    for (int y = 0; y < kFrameStampHeight; ++y) {
      std::memcpy(pixelAt(target, 0, y), stamp.data() + static_cast<std::ptrdiff_t>(y) * kFrameStampWidth,
                  kFrameStampWidth * sizeof(std::uint32_t));
    }
    wl_surface_attach(surface_, target.buffer, 0, 0);
    wl_surface_damage_buffer(surface_, area_.x, area_.y, area_.width, area_.height);
    wl_surface_damage_buffer(surface_, 0, 0, kFrameStampWidth, kFrameStampHeight);
    wl_surface_commit(surface_);
    target.busy = true;
    return wl_display_flush(display_) >= 0 || errno == EAGAIN;
  }

  // Reads and handles the compositor's events until `done()` holds or `deadline` passes (true
  // only for the first), or a stop was asked for.
  bool dispatchUntil(Clock::time_point deadline, const std::function<bool()>& done) {
    while (!done()) {
      if (stopRequested) {
        return false;
      }
      while (wl_display_prepare_read(display_) != 0) {
        wl_display_dispatch_pending(display_);
      }
      wl_display_flush(display_);
      const auto now = Clock::now();
      int timeout = -1;
      if (deadline != Clock::time_point::max()) {
        timeout = static_cast<int>(
            std::max<std::int64_t>(0, std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count()));
      }
      pollfd descriptor{wl_display_get_fd(display_), POLLIN, 0};
      if (poll(&descriptor, 1, timeout) > 0) {
        if (wl_display_read_events(display_) < 0) {
          return false;
        }
      } else {
        wl_display_cancel_read(display_);
      }
      if (wl_display_dispatch_pending(display_) < 0) {
        return false;
      }
      if (timeout == 0) {
        return done();
      }
    }
    return true;
  }

  int width() const { return width_; }
  int height() const { return height_; }

 private:
  static void bindGlobal(void* data, wl_registry* registry, std::uint32_t name, const char* interface,
                         std::uint32_t version) {
    auto* animator = static_cast<WaylandScreenAnimator*>(data);
    if (std::strcmp(interface, wl_compositor_interface.name) == 0 && version >= 4) {
      animator->compositor_ = static_cast<wl_compositor*>(wl_registry_bind(registry, name, &wl_compositor_interface, 4));
    } else if (std::strcmp(interface, wl_shm_interface.name) == 0) {
      animator->shm_ = static_cast<wl_shm*>(wl_registry_bind(registry, name, &wl_shm_interface, 1));
    } else if (std::strcmp(interface, xdg_wm_base_interface.name) == 0) {
      animator->windowManager_ = static_cast<xdg_wm_base*>(wl_registry_bind(registry, name, &xdg_wm_base_interface, 1));
    }
  }

  std::optional<std::string> mapWithPlaceholder() {
    constexpr int kSide = 16;
    const int descriptor = memfd_create("velmora-screen-animator", MFD_CLOEXEC);
    if (descriptor < 0 || ftruncate(descriptor, kSide * kSide * 4) != 0) {
      return "cannot make a placeholder buffer: " + std::string(std::strerror(errno));
    }
    wl_shm_pool* pool = wl_shm_create_pool(shm_, descriptor, kSide * kSide * 4);
    close(descriptor);
    placeholder_ = wl_shm_pool_create_buffer(pool, 0, kSide, kSide, kSide * 4, WL_SHM_FORMAT_XRGB8888);
    wl_shm_pool_destroy(pool);
    wl_surface_attach(surface_, placeholder_, 0, 0);
    wl_surface_commit(surface_);
    return std::nullopt;
  }

  std::optional<std::string> createBuffers() {
    const std::size_t pixels = static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_);
    mappingSize_ = pixels * 4 * kBufferCount;
    const int descriptor = memfd_create("velmora-screen-animator", MFD_CLOEXEC);
    if (descriptor < 0 || ftruncate(descriptor, static_cast<off_t>(mappingSize_)) != 0) {
      return "cannot make the buffers' shared memory: " + std::string(std::strerror(errno));
    }
    mapping_ = mmap(nullptr, mappingSize_, PROT_READ | PROT_WRITE, MAP_SHARED, descriptor, 0);
    if (mapping_ == MAP_FAILED) {
      mapping_ = nullptr;
      close(descriptor);
      return "cannot map the buffers' shared memory: " + std::string(std::strerror(errno));
    }
    wl_shm_pool* pool = wl_shm_create_pool(shm_, descriptor, static_cast<std::int32_t>(mappingSize_));
    close(descriptor);

    const PixelRect output{0, 0, width_, height_};
    area_ = animatedArea(output, content_ == Content::motion);
    std::vector<std::uint32_t> background(pixels, 0);
    if (content_ != Content::motion) {
      for (const FilledRect& rect : wallpaperRects(output)) {
        // The wallpaper's rectangles lie within the output but for the last band's rows.
        const int bottom = std::min(rect.area.y + rect.area.height, height_);
        for (int y = rect.area.y; y < bottom; ++y) {
          std::fill_n(background.data() + static_cast<std::ptrdiff_t>(y) * width_ + rect.area.x, rect.area.width,
                      rect.rgb);
        }
      }
    }
    static const wl_buffer_listener bufferListener = {
        [](void* data, wl_buffer*) { static_cast<Buffer*>(data)->busy = false; }};
    for (int index = 0; index < kBufferCount; ++index) {
      Buffer& buffer = buffers_[static_cast<std::size_t>(index)];
      buffer.pixels = static_cast<std::uint32_t*>(mapping_) + static_cast<std::ptrdiff_t>(index) * pixels;
      std::copy(background.begin(), background.end(), buffer.pixels);
      buffer.buffer = wl_shm_pool_create_buffer(pool, static_cast<std::int32_t>(pixels * 4 * index), width_, height_,
                                                width_ * 4, WL_SHM_FORMAT_XRGB8888);
      wl_buffer_add_listener(buffer.buffer, &bufferListener, &buffer);
    }
    wl_shm_pool_destroy(pool);

    const int textureWidth = area_.width + kTexturePeriod;
    texture_.resize(static_cast<std::size_t>(textureWidth) * static_cast<std::size_t>(area_.height + kTexturePeriod));
    for (int y = 0; y < area_.height + kTexturePeriod; ++y) {
      for (int x = 0; x < textureWidth; ++x) {
        texture_[static_cast<std::size_t>(y) * static_cast<std::size_t>(textureWidth) + static_cast<std::size_t>(x)] =
            texel(x, y);
      }
    }
    return std::nullopt;
  }

  Buffer* freeBuffer() {
    const auto found = std::find_if(buffers_.begin(), buffers_.end(), [](const Buffer& buffer) { return !buffer.busy; });
    return found == buffers_.end() ? nullptr : &*found;
  }

  std::uint32_t* pixelAt(Buffer& buffer, int x, int y) const {
    return buffer.pixels + static_cast<std::ptrdiff_t>(y) * width_ + x;
  }

  const Content content_;
  wl_display* display_ = nullptr;
  wl_compositor* compositor_ = nullptr;
  wl_shm* shm_ = nullptr;
  xdg_wm_base* windowManager_ = nullptr;
  wl_surface* surface_ = nullptr;
  bool configured_ = false;
  int width_ = 0;
  int height_ = 0;
  PixelRect area_;
  wl_buffer* placeholder_ = nullptr;
  void* mapping_ = nullptr;
  std::size_t mappingSize_ = 0;
  std::array<Buffer, kBufferCount> buffers_{};
  std::vector<std::uint32_t> texture_;  // one period larger than the area both ways
};

std::optional<std::string> parseOptions(int argc, char** argv, Options& options) {
  bool contentGiven = false;
  for (int index = 1; index < argc; ++index) {
    const std::string argument = argv[index];
    if (index + 1 >= argc) {
      return argument + " needs a value";
    }
    const std::string value = argv[++index];
    if (argument == "--content") {
      const auto content = parseContent(value);
      if (!content) {
        return std::string("--content takes window, motion or still");
      }
      options.content = *content;
      contentGiven = true;
    } else if (argument == "--rate") {
      const auto rate = parseFrameRate(value);
      if (!rate) {
        return std::string("--rate takes frames per second from 1 to 1000");
      }
      options.frameRate = *rate;
    } else {
      return "unknown argument " + argument;
    }
  }
  if (!contentGiven) {
    return std::string("--content is needed");
  }
  return std::nullopt;
}

int run(const Options& options) {
  WaylandScreenAnimator animator(options.content);
  if (const auto problem = animator.prepare()) {
    std::fprintf(stderr, "wayland_screen_animator: %s\n", problem->c_str());
    return 1;
  }
  const double startCpu = processCpuSeconds();
  const auto start = Clock::now();
  const auto interval = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / options.frameRate));
  std::uint32_t frames = 0;
  std::uint64_t lateFrames = 0;
  auto due = start;
  if (!animator.drawFrame(frames++)) {
    std::fprintf(stderr, "wayland_screen_animator: the connection to the compositor failed\n");
    return 1;
  }
  std::printf("ready %dx%d\n", animator.width(), animator.height());
  std::fflush(stdout);
  const auto never = [] { return false; };
  while (!stopRequested) {
    if (options.content == Content::still) {
      animator.dispatchUntil(Clock::now() + std::chrono::milliseconds(200), never);
      continue;
    }
    due += interval;
    const auto now = Clock::now();
    if (now > due + interval) {
      ++lateFrames;
      due = now;  // behind: draw at once, without a burst to catch up
    } else {
      animator.dispatchUntil(due, never);  // handles buffer releases and pings while it waits
    }
    if (!stopRequested && !animator.drawFrame(frames++)) {
      break;
    }
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
    std::fprintf(stderr, "wayland_screen_animator: %s\nusage: wayland_screen_animator --content window|motion|still "
                 "[--rate FPS]\n", problem->c_str());
    return 2;
  }
  struct sigaction action {};
  action.sa_handler = requestStop;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  return run(options);
}
