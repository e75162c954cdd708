#include "platform/x11/x11_grab_loop.h"

#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/Xrandr.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include "platform/capture/capture_delivery.h"
#include "platform/libyuv/argb_frame_converter.h"
#include "platform/log/log.h"
#include "platform/wake_event.h"
#include "platform/x11/x11_connection.h"
#include "platform/x11/x11_monitors.h"
#include "platform/x11/x11_screen_grabber.h"

namespace velmora {
namespace {

using Clock = std::chrono::steady_clock;

// Grabs refused in a row, each followed by a fresh look at the monitors, before the stream ends.
constexpr int kMaximumFailedGrabs = 5;
// Rows apart that two changed bands are read in one request rather than two round trips.
constexpr int kBandMergeRows = 32;

struct Extension {
  bool isPresent = false;
  int eventBase = 0;
};

Extension queryDamage(Display* display) {
  int eventBase = 0;
  int errorBase = 0;
  int major = 0;
  int minor = 0;
  if (!XDamageQueryExtension(display, &eventBase, &errorBase) || !XDamageQueryVersion(display, &major, &minor)) {
    return {};
  }
  return {true, eventBase};
}

Extension queryFixes(Display* display) {
  int eventBase = 0;
  int errorBase = 0;
  int major = 0;
  int minor = 0;
  if (!XFixesQueryExtension(display, &eventBase, &errorBase) || !XFixesQueryVersion(display, &major, &minor)) {
    return {};
  }
  return {true, eventBase};
}

// The extension's major opcode stands in for the event base: XInput2 events come as GenericEvents.
Extension queryInput2(Display* display) {
  int opcode = 0;
  int eventBase = 0;
  int errorBase = 0;
  // 2.1 and later deliver raw events to the root window even while another client grabs the pointer.
  int major = 2;
  int minor = 2;
  if (!XQueryExtension(display, "XInputExtension", &opcode, &eventBase, &errorBase) ||
      XIQueryVersion(display, &major, &minor) != Success || major < 2) {
    return {};
  }
  return {true, opcode};
}

Extension queryRandr(Display* display) {
  int eventBase = 0;
  int errorBase = 0;
  if (!XRRQueryExtension(display, &eventBase, &errorBase)) {
    return {};
  }
  return {true, eventBase};
}

double secondsOf(Clock::time_point time) { return std::chrono::duration<double>(time.time_since_epoch()).count(); }

}  // namespace

struct X11GrabLoop::State {
  State(X11Connection openConnection, const CaptureLoopSettings& grabSettings, std::weak_ptr<ScreenCaptureStreamOutput> frameOutput,
        std::weak_ptr<ScreenCaptureStreamDelegate> stopDelegate)
      : connection(std::move(openConnection)),
        settings(grabSettings),
        delegate(std::move(stopDelegate)),
        delivery(grabSettings, std::move(frameOutput)) {}

  ~State() {
    Display* display = connection.get();
    if (damage != None) {
      XDamageDestroy(display, damage);
    }
    if (damagedRegion != None) {
      XFixesDestroyRegion(display, damagedRegion);
    }
    grabber.reset();
  }

  State(const State&) = delete;
  State& operator=(const State&) = delete;

  Display* display() const { return connection.get(); }
  Window root() const { return DefaultRootWindow(connection.get()); }
  bool tracksPointer() const { return settings.showsCursor && fixes.isPresent; }

  void watchScreen() {
    damageExtension = queryDamage(display());
    fixes = queryFixes(display());
    randr = queryRandr(display());
    if (damageExtension.isPresent && fixes.isPresent) {
      damage = XDamageCreate(display(), root(), XDamageReportNonEmpty);
      damagedRegion = XFixesCreateRegion(display(), nullptr, 0);
    } else {
      logger.notice("The X server has no DAMAGE extension: display {} is grabbed at every frame interval", settings.displayID);
    }
    if (tracksPointer()) {
      XFixesSelectCursorInput(display(), root(), XFixesDisplayCursorNotifyMask);
      refreshCursorImage();
      followPointerMotion();
    } else if (settings.showsCursor) {
      logger.notice("The X server has no XFIXES extension: display {} is captured without the cursor", settings.displayID);
    }
    if (randr.isPresent) {
      XRRSelectInput(display(), root(), RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask | RROutputChangeNotifyMask);
    }
    XSelectInput(display(), root(), StructureNotifyMask);
  }

  // Raw motion wakes the loop only when a pointer moves, so that a still screen costs nothing.
  // XWarpPointer makes no raw event: a warped pointer is seen at the next cursor shape change,
  // frame grabbed for any other reason, or real motion.
  void followPointerMotion() {
    input2 = queryInput2(display());
    if (!input2.isPresent) {
      logger.notice("The X server has no XInputExtension 2: display {} polls the pointer at every frame interval",
                    settings.displayID);
      return;
    }
    unsigned char mask[XIMaskLen(XI_RawMotion)] = {};
    XISetMask(mask, XI_RawMotion);
    XIEventMask selection{XIAllMasterDevices, sizeof mask, mask};
    XISelectEvents(display(), root(), &selection, 1);
  }

  // Follows the monitor to its current place on the screen; an error text when it cannot be grabbed.
  std::optional<std::string> adoptMonitorArea(const PixelRect& area) {
    Window rootReturn = None;
    int x = 0;
    int y = 0;
    unsigned width = 0;
    unsigned height = 0;
    unsigned border = 0;
    unsigned depth = 0;
    XGetGeometry(display(), root(), &rootReturn, &x, &y, &width, &height, &border, &depth);
    // Only the part of a monitor that lies on the screen has pixels to read.
    const PixelRect onScreen = area.intersection(PixelRect{0, 0, static_cast<int>(width), static_cast<int>(height)});
    if (onScreen.isEmpty()) {
      return "display " + std::to_string(settings.displayID) + " lies outside the X screen";
    }
    needsFrame = true;
    changed.everything = true;
    if (grabber && onScreen.width == grabArea.width && onScreen.height == grabArea.height) {
      grabArea = onScreen;
      return std::nullopt;
    }
    grabber.reset();
    auto created = X11ScreenGrabber::create(display(), onScreen.width, onScreen.height);
    if (!created) {
      return created.error();
    }
    grabber = std::move(created.value());
    grabArea = onScreen;
    if (!grabber->usesSharedMemory()) {
      logger.notice("MIT-SHM is unavailable ({}): display {} is captured with XGetImage", grabber->sharedMemoryUnavailableReason(),
                    settings.displayID);
    }
    return std::nullopt;
  }

  bool refreshMonitor() {
    auto monitors = readX11Monitors(display());
    if (!monitors) {
      endError = monitors.error();
      return false;
    }
    const auto area = monitorArea(monitors.value(), settings.displayID);
    if (!area) {
      endError = "display " + std::to_string(settings.displayID) + " is no longer available";
      return false;
    }
    endError = adoptMonitorArea(*area);
    return !endError;
  }

  // Reads every queued event and notes what it means for the next frame; false when the capture
  // has ended (endError says why).
  bool takeEvents() {
    bool damaged = false;
    bool cursorChanged = false;
    bool screenChanged = false;
    while (XPending(display()) > 0) {
      XEvent event;
      XNextEvent(display(), &event);
      if (damage != None && event.type == damageExtension.eventBase + XDamageNotify) {
        damaged = true;
      } else if (fixes.isPresent && event.type == fixes.eventBase + XFixesCursorNotify) {
        cursorChanged = true;
      } else if (input2.isPresent && event.xcookie.type == GenericEvent && event.xcookie.extension == input2.eventBase) {
        pointerMoved = pointerMoved || event.xcookie.evtype == XI_RawMotion;
      } else {
        XRRUpdateConfiguration(&event);
        const int randrType = event.type - randr.eventBase;
        screenChanged = screenChanged || (randr.isPresent && (randrType == RRScreenChangeNotify || randrType == RRNotify)) ||
                        (event.type == ConfigureNotify && event.xconfigure.window == root());
      }
    }
    if (x11ConnectionLost(display())) {
      endError = "the connection to the X server was lost";
      return false;
    }
    if (screenChanged && !refreshMonitor()) {
      return false;
    }
    if (damaged) {
      takeDamage();
    }
    if (cursorChanged && tracksPointer()) {
      pointerMoved = true;  // a new shape often comes with a warp into another window
      const PixelRect before = cursorBounds();
      refreshCursorImage();
      needsFrame = needsFrame || before.intersects(grabArea) || cursorBounds().intersects(grabArea);
    }
    return true;
  }

  // Clears the damage (so that the next drawing is reported again) and keeps what touches the monitor.
  void takeDamage() {
    XDamageSubtract(display(), damage, None, damagedRegion);
    int count = 0;
    XRectangle* rectangles = XFixesFetchRegion(display(), damagedRegion, &count);
    for (int index = 0; index < count; ++index) {
      const XRectangle& rectangle = rectangles[index];
      noteChange(PixelRect{rectangle.x, rectangle.y, rectangle.width, rectangle.height});
    }
    if (rectangles != nullptr) {
      XFree(rectangles);
    }
  }

  void refreshCursorImage() {
    XFixesCursorImage* image = XFixesGetCursorImage(display());
    if (image == nullptr) {
      cursor.reset();
      return;
    }
    CursorImage fresh{std::vector<std::uint32_t>(static_cast<std::size_t>(image->width) * image->height), image->width,
                      image->height, image->xhot, image->yhot};
    // XFixes hands out one ARGB word per unsigned long, 64 bits wide on LP64.
    std::transform(image->pixels, image->pixels + fresh.pixels.size(), fresh.pixels.begin(),
                   [](unsigned long pixel) { return static_cast<std::uint32_t>(pixel); });
    cursor = std::move(fresh);
    XFree(image);
  }

  // A change in root-window coordinates: a frame is due when it touches the monitor.
  void noteChange(const PixelRect& onScreen) {
    const PixelRect inArea = inMonitor(onScreen);
    if (!inArea.isEmpty()) {
      needsFrame = true;
      changed.add(inArea);
    }
  }

  // The part of a rectangle of the screen on the monitor, in the monitor's coordinates.
  PixelRect inMonitor(const PixelRect& onScreen) const {
    const PixelRect inArea = onScreen.intersection(grabArea);
    if (inArea.isEmpty()) {
      return {};
    }
    return {inArea.x - grabArea.x, inArea.y - grabArea.y, inArea.width, inArea.height};
  }

  PixelRect cursorBounds() const {
    if (!cursor || !pointer) {
      return {};
    }
    return {pointer->first - cursor->hotX, pointer->second - cursor->hotY, cursor->width, cursor->height};
  }

  void pollPointer() {
    Window rootReturn = None;
    Window child = None;
    int rootX = 0;
    int rootY = 0;
    int windowX = 0;
    int windowY = 0;
    unsigned mask = 0;
    const PixelRect before = cursorBounds();
    // False when the pointer is on another screen of the server: no cursor is drawn then.
    const bool onThisScreen = XQueryPointer(display(), root(), &rootReturn, &child, &rootX, &rootY, &windowX, &windowY, &mask) != 0;
    const auto now = onThisScreen ? std::optional(std::pair(rootX, rootY)) : std::nullopt;
    if (now == pointer) {
      return;
    }
    pointer = now;
    needsFrame = needsFrame || before.intersects(grabArea) || cursorBounds().intersects(grabArea);
  }

  // False when no frame went out: every picture is still held downstream (the frame is retried),
  // or the grab failed (endError is set once that happened too often).
  bool deliverFrame() {
    auto picture = delivery.acquirePicture();
    if (!picture) {
      return false;
    }
    if (tracksPointer()) {
      pollPointer();
    }
    const auto grabTime = Clock::now();
    // The cursor drawn into the last frame is wiped by reading its place again.
    const PixelRect cursorNow = tracksPointer() ? inMonitor(cursorBounds()) : PixelRect{};
    changed.add(drawnCursor);
    changed.add(cursorNow);
    const auto image = grabChanged();
    if (!image) {
      changed.everything = true;
      if (++failedGrabs >= kMaximumFailedGrabs) {
        endError = "cannot read the pixels of display " + std::to_string(settings.displayID);
      } else {
        refreshMonitor();
      }
      return false;
    }
    failedGrabs = 0;
    if (!cursorNow.isEmpty()) {
      drawCursor(*image, *cursor, pointer->first - grabArea.x, pointer->second - grabArea.y);
    }
    drawnCursor = cursorNow;
    converter.update(*image, changed, *picture);
    changed.clear();
    delivery.deliver(std::move(picture), secondsOf(grabTime), grabTime);
    return true;
  }

  // Reads again only the bands of rows that changed, where the image keeps its pixels between
  // grabs: a window animating over a ninth of the screen is a ninth of the copying.
  std::optional<ArgbImage> grabChanged() {
    if (changed.everything || !grabber->usesSharedMemory()) {
      return grabber->grab(grabArea.x, grabArea.y);
    }
    std::vector<std::pair<int, int>> bands;  // first row, end row
    for (const PixelRect& rectangle : changed.rectangles) {
      bands.emplace_back(rectangle.y, rectangle.y + rectangle.height);
    }
    std::sort(bands.begin(), bands.end());
    std::optional<ArgbImage> image;
    for (std::size_t index = 0; index < bands.size();) {
      auto [first, end] = bands[index];
      for (++index; index < bands.size() && bands[index].first <= end + kBandMergeRows; ++index) {
        end = std::max(end, bands[index].second);
      }
      image = grabber->grabRows(grabArea.x, grabArea.y, first, end - first);
      if (!image) {
        return std::nullopt;
      }
    }
    return image ? image : grabber->grab(grabArea.x, grabArea.y);
  }

  // False once a stop was requested.
  bool waitForEvents(std::optional<Clock::time_point> deadline) {
    timespec timeout{};
    const timespec* timeoutOrForever = &timeout;
    // Events that came in with the replies of the last requests are already in Xlib's queue,
    // where poll cannot see them: those are handled at once.
    if (XEventsQueued(display(), QueuedAfterFlush) == 0) {
      if (deadline) {
        const auto remaining = std::max(Clock::duration::zero(), *deadline - Clock::now());
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(remaining);
        timeout.tv_sec = static_cast<time_t>(seconds.count());
        timeout.tv_nsec = static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(remaining - seconds).count());
      } else {
        timeoutOrForever = nullptr;
      }
    }
    pollfd descriptors[] = {{ConnectionNumber(display()), POLLIN, 0},
                            {stopEvent.descriptor(), POLLIN, 0},
                            {delivery.wakeDescriptor(), POLLIN, 0}};
    if (ppoll(descriptors, 3, timeoutOrForever, nullptr) < 0 && errno != EINTR) {
      endError = std::string("poll failed: ") + std::strerror(errno);
    }
    if (descriptors[2].revents != 0) {
      delivery.takeWakeUp();
    }
    return descriptors[1].revents == 0;
  }

  const X11Connection connection;
  const CaptureLoopSettings settings;
  const std::weak_ptr<ScreenCaptureStreamDelegate> delegate;
  const log::Logger logger{"ScreenCapture"};
  const WakeEvent stopEvent;
  Extension damageExtension;
  Extension fixes;
  Extension randr;
  Extension input2;
  Damage damage = None;
  XserverRegion damagedRegion = None;
  PixelRect grabArea;  // the monitor's area, clipped to the screen
  std::unique_ptr<X11ScreenGrabber> grabber;
  ArgbFrameConverter converter;
  CaptureDelivery delivery;
  std::optional<CursorImage> cursor;
  std::optional<std::pair<int, int>> pointer;  // root-window position; none while on another screen
  ChangedArea changed;                         // since the last grab
  PixelRect drawnCursor;                       // where the last frame has the cursor, in the monitor
  bool needsFrame = true;                      // the first frame after a start is always grabbed
  bool pointerMoved = true;                    // raw motion came since the last look; always without XInput2
  int failedGrabs = 0;
  std::optional<std::string> endError;
};

Result<std::shared_ptr<X11GrabLoop>> X11GrabLoop::create(const std::string& displayName, const CaptureLoopSettings& settings,
                                                         std::weak_ptr<ScreenCaptureStreamOutput> output,
                                                         std::weak_ptr<ScreenCaptureStreamDelegate> delegate) {
  using Failure = Result<std::shared_ptr<X11GrabLoop>>;
  auto connection = openX11Connection(displayName);
  if (!connection) {
    return Failure::failure(connection.error());
  }
  auto monitors = readX11Monitors(connection.value().get());
  if (!monitors) {
    return Failure::failure(monitors.error());
  }
  const auto area = monitorArea(monitors.value(), settings.displayID);
  if (!area) {
    return Failure::failure("display " + std::to_string(settings.displayID) + " is not available");
  }
  auto state = std::make_unique<State>(std::move(connection.value()), settings, std::move(output), std::move(delegate));
  if (!state->stopEvent.isOpen()) {
    return Failure::failure(std::string("eventfd failed: ") + std::strerror(errno));
  }
  if (auto failure = state->adoptMonitorArea(*area)) {
    return Failure::failure(*failure);
  }
  state->watchScreen();
  XSync(state->display(), False);
  return std::make_shared<X11GrabLoop>(PrivateTag{}, std::move(state));
}

X11GrabLoop::X11GrabLoop(PrivateTag, std::unique_ptr<State> state) : state_(std::move(state)) {}

X11GrabLoop::~X11GrabLoop() = default;

void X11GrabLoop::run() {
  State& state = *state_;
  const auto interval = state.settings.minimumFrameInterval;
  FrameSchedule schedule(interval);
  auto nextPointerPoll = Clock::now();
  while (state.takeEvents()) {
    const auto now = Clock::now();
    // One look per frame interval at most, however fast raw motion comes in.
    if (state.tracksPointer() && state.pointerMoved && now >= nextPointerPoll) {
      state.pollPointer();
      state.pointerMoved = !state.input2.isPresent;
      nextPointerPoll = now + interval;
    }
    if (state.damage == None) {
      state.needsFrame = true;
      state.changed.everything = true;
    }
    if (state.needsFrame && schedule.isDue(now) && now >= state.delivery.frameAllowedAt()) {
      schedule.frameTaken(now);
      state.needsFrame = !state.deliverFrame();
      if (state.endError) {
        break;
      }
    }
    std::optional<Clock::time_point> deadline;
    if (state.tracksPointer() && state.pointerMoved) {
      deadline = nextPointerPoll;
    }
    if (state.needsFrame) {
      const auto frameAt = std::max(schedule.nextDue().value_or(now), state.delivery.frameAllowedAt());
      deadline = std::min(deadline.value_or(Clock::time_point::max()), frameAt);
    }
    if (!state.waitForEvents(deadline)) {
      return;
    }
    if (state.endError) {
      break;
    }
  }
  if (const auto delegate = state.delegate.lock()) {
    delegate->streamDidStopWithError(state.endError.value_or("the capture ended"));
  }
}

void X11GrabLoop::requestStop() {
  state_->stopEvent.signal();
}

}  // namespace velmora
