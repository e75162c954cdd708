#include "platform/x11/x11_screen_grabber.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <cerrno>
#include <cstring>

namespace velmora {
namespace {

constexpr unsigned long kRedMask = 0xff0000;
constexpr unsigned long kGreenMask = 0x00ff00;
constexpr unsigned long kBlueMask = 0x0000ff;

bool hasArgbLayout(const XImage& image) {
  return image.bits_per_pixel == 32 && image.byte_order == LSBFirst && image.red_mask == kRedMask &&
         image.green_mask == kGreenMask && image.blue_mask == kBlueMask;
}

}  // namespace

struct X11ScreenGrabber::State {
  State(Display* serverDisplay, int pictureWidth, int pictureHeight)
      : display(serverDisplay), width(pictureWidth), height(pictureHeight) {}

  ~State() {
    releaseSharedImage();
    if (lastPlainImage != nullptr) {
      XDestroyImage(lastPlainImage);
    }
  }

  State(const State&) = delete;
  State& operator=(const State&) = delete;

  // An empty text when the shared image is ready, else why not.
  std::string makeSharedImage() {
    if (XShmQueryExtension(display) == False) {
      return "the X server has no MIT-SHM extension";
    }
    const int screen = DefaultScreen(display);
    sharedImage = XShmCreateImage(display, DefaultVisual(display, screen), static_cast<unsigned>(DefaultDepth(display, screen)),
                                  ZPixmap, nullptr, &segment, static_cast<unsigned>(width), static_cast<unsigned>(height));
    if (sharedImage == nullptr) {
      return "XShmCreateImage failed";
    }
    if (!hasArgbLayout(*sharedImage)) {
      return "the screen's pixel layout is not 32-bit B, G, R, X";
    }
    segment.shmid = shmget(IPC_PRIVATE, static_cast<std::size_t>(sharedImage->bytes_per_line) * static_cast<std::size_t>(height),
                           IPC_CREAT | 0600);
    if (segment.shmid < 0) {
      return std::string("shmget failed: ") + std::strerror(errno);
    }
    void* address = shmat(segment.shmid, nullptr, 0);
    if (address == reinterpret_cast<void*>(-1)) {  // NOLINT(performance-no-int-to-ptr): shmat's documented failure value
      const std::string reason = std::string("shmat failed: ") + std::strerror(errno);
      shmctl(segment.shmid, IPC_RMID, nullptr);
      return reason;
    }
    segment.shmaddr = sharedImage->data = static_cast<char*>(address);
    segment.readOnly = False;
    X11ErrorTrap trap;
    XShmAttach(display, &segment);
    const bool attached = trap.sync(display) == 0;
    // Marked for removal at once: the segment goes away with its last user, even after a crash.
    shmctl(segment.shmid, IPC_RMID, nullptr);
    if (!attached) {
      return "the X server cannot attach shared memory (a remote display?)";
    }
    isAttached = true;
    return {};
  }

  void releaseSharedImage() {
    if (isAttached) {
      XShmDetach(display, &segment);
      XSync(display, False);
      isAttached = false;
    }
    if (sharedImage != nullptr) {
      // Frees only the image record: the pixels belong to the segment.
      XDestroyImage(sharedImage);
      sharedImage = nullptr;
    }
    if (segment.shmaddr != nullptr) {
      shmdt(segment.shmaddr);
      segment.shmaddr = nullptr;
    }
  }

  std::optional<ArgbImage> grabShared(int x, int y) {
    X11ErrorTrap trap;
    if (XShmGetImage(display, DefaultRootWindow(display), sharedImage, x, y, AllPlanes) == False || trap.firstErrorCode() != 0) {
      return std::nullopt;
    }
    return ArgbImage{reinterpret_cast<std::uint8_t*>(sharedImage->data), sharedImage->bytes_per_line, width, height};
  }

  // The server writes a full-width band with the image's own row length, so it lands in place.
  std::optional<ArgbImage> grabSharedRows(int x, int y, int firstRow, int rowCount) {
    XImage band = *sharedImage;
    band.height = rowCount;
    band.data = sharedImage->data + static_cast<std::ptrdiff_t>(firstRow) * sharedImage->bytes_per_line;
    X11ErrorTrap trap;
    if (XShmGetImage(display, DefaultRootWindow(display), &band, x, y + firstRow, AllPlanes) == False ||
        trap.firstErrorCode() != 0) {
      return std::nullopt;
    }
    return ArgbImage{reinterpret_cast<std::uint8_t*>(sharedImage->data), sharedImage->bytes_per_line, width, height};
  }

  std::optional<ArgbImage> grabPlain(int x, int y) {
    if (lastPlainImage != nullptr) {
      XDestroyImage(lastPlainImage);
      lastPlainImage = nullptr;
    }
    X11ErrorTrap trap;
    lastPlainImage = XGetImage(display, DefaultRootWindow(display), x, y, static_cast<unsigned>(width),
                               static_cast<unsigned>(height), AllPlanes, ZPixmap);
    if (lastPlainImage == nullptr || !hasArgbLayout(*lastPlainImage)) {
      return std::nullopt;
    }
    return ArgbImage{reinterpret_cast<std::uint8_t*>(lastPlainImage->data), lastPlainImage->bytes_per_line, width, height};
  }

  Display* const display;
  const int width;
  const int height;
  XShmSegmentInfo segment{};
  XImage* sharedImage = nullptr;
  bool isAttached = false;
  XImage* lastPlainImage = nullptr;
  std::string sharedMemoryUnavailableReason;
};

Result<std::unique_ptr<X11ScreenGrabber>> X11ScreenGrabber::create(_XDisplay* display, int width, int height, Transfer transfer) {
  using Failure = Result<std::unique_ptr<X11ScreenGrabber>>;
  if (width <= 0 || height <= 0) {
    return Failure::failure("cannot grab an empty rectangle");
  }
  const int screen = DefaultScreen(display);
  const Visual* visual = DefaultVisual(display, screen);
  if (visual->c_class != TrueColor || visual->red_mask != kRedMask || visual->green_mask != kGreenMask ||
      visual->blue_mask != kBlueMask) {
    return Failure::failure("unsupported X visual (depth " + std::to_string(DefaultDepth(display, screen)) +
                            "): only 24-bit TrueColor screens can be captured");
  }
  auto state = std::make_unique<State>(display, width, height);
  if (transfer == Transfer::getImageOnly) {
    state->sharedMemoryUnavailableReason = "shared memory was not requested";
  } else {
    state->sharedMemoryUnavailableReason = state->makeSharedImage();
    if (!state->sharedMemoryUnavailableReason.empty()) {
      state->releaseSharedImage();
    }
  }
  return std::make_unique<X11ScreenGrabber>(PrivateTag{}, std::move(state));
}

X11ScreenGrabber::X11ScreenGrabber(PrivateTag, std::unique_ptr<State> state) : state_(std::move(state)) {}

X11ScreenGrabber::~X11ScreenGrabber() = default;

std::optional<ArgbImage> X11ScreenGrabber::grab(int x, int y) {
  return usesSharedMemory() ? state_->grabShared(x, y) : state_->grabPlain(x, y);
}

std::optional<ArgbImage> X11ScreenGrabber::grabRows(int x, int y, int firstRow, int rowCount) {
  if (!usesSharedMemory() || firstRow < 0 || rowCount <= 0 || firstRow + rowCount > state_->height) {
    return grab(x, y);
  }
  return state_->grabSharedRows(x, y, firstRow, rowCount);
}

int X11ScreenGrabber::width() const { return state_->width; }

int X11ScreenGrabber::height() const { return state_->height; }

bool X11ScreenGrabber::usesSharedMemory() const { return state_->isAttached; }

const std::string& X11ScreenGrabber::sharedMemoryUnavailableReason() const { return state_->sharedMemoryUnavailableReason; }

}  // namespace velmora
