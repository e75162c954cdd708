#include "platform/x11/x11_clipboard.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "platform/x11/x11_connection.h"

namespace velmora {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kOwnershipWait = std::chrono::seconds(2);
// A requestor that stops taking pieces of an INCR transfer for this long is given up on.
constexpr auto kTransferIdleLimit = std::chrono::seconds(10);
// Room for the ChangeProperty request's own header within the server's request size.
constexpr std::size_t kRequestHeaderAllowance = 100;

// X timestamps wrap around after 49 days; compare them as the protocol does.
bool earlier(Time a, Time b) { return static_cast<std::int32_t>(static_cast<std::uint32_t>(a - b)) < 0; }

// Nothing when a character lies beyond Latin-1 (or the text is not UTF-8).
std::shared_ptr<const std::string> latin1Of(const std::string& utf8) {
  auto latin1 = std::make_shared<std::string>();
  latin1->reserve(utf8.size());
  for (std::size_t index = 0; index < utf8.size(); ++index) {
    const auto byte = static_cast<unsigned char>(utf8[index]);
    if (byte < 0x80) {
      latin1->push_back(static_cast<char>(byte));
      continue;
    }
    if ((byte != 0xC2 && byte != 0xC3) || index + 1 == utf8.size()) {
      return nullptr;
    }
    const auto continuation = static_cast<unsigned char>(utf8[++index]);
    if ((continuation & 0xC0) != 0x80) {
      return nullptr;
    }
    latin1->push_back(static_cast<char>(((byte & 0x1F) << 6) | (continuation & 0x3F)));
  }
  return latin1;
}

}  // namespace

class X11Clipboard::Owner {
 public:
  explicit Owner(X11Connection connection) : connection_(std::move(connection)) {
    Display* display = connection_.get();
    window_ = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 1, 1, 0, 0, 0);
    XSelectInput(display, window_, PropertyChangeMask);
    std::array<const char*, 7> names = {"CLIPBOARD", "TARGETS", "TIMESTAMP", "UTF8_STRING", "TEXT", "INCR",
                                        "_VELMORA_SELECTION_TIME"};
    std::array<Atom, 7> atoms{};
    XInternAtoms(display, const_cast<char**>(names.data()), static_cast<int>(names.size()), False, atoms.data());
    clipboard_ = atoms[0];
    targets_ = atoms[1];
    timestamp_ = atoms[2];
    utf8String_ = atoms[3];
    text_ = atoms[4];
    incremental_ = atoms[5];
    timeProbe_ = atoms[6];
    const std::size_t requestBytes = static_cast<std::size_t>(XMaxRequestSize(display)) * 4;
    incrementalThreshold_ = requestBytes > 2 * kRequestHeaderAllowance ? requestBytes - kRequestHeaderAllowance : requestBytes / 2;
    XSync(display, False);
  }

  ~Owner() {
    if (!lost()) {
      XDestroyWindow(connection_.get(), window_);
      XSync(connection_.get(), True);
    }
  }

  Owner(const Owner&) = delete;
  Owner& operator=(const Owner&) = delete;

  std::size_t incrementalThreshold() const { return incrementalThreshold_; }
  int connectionDescriptor() const { return ConnectionNumber(connection_.get()); }
  bool lost() const { return x11ConnectionLost(connection_.get()); }

  bool take(std::shared_ptr<const std::string> text) {
    Display* display = connection_.get();
    const Time now = serverTime();
    XSetSelectionOwner(display, clipboard_, window_, now);
    if (XGetSelectionOwner(display, clipboard_) != window_) {
      content_.reset();
      return false;
    }
    auto latin1 = latin1Of(*text);
    content_ = Content{std::move(text), std::move(latin1), now};
    return true;
  }

  void processEvents() {
    Display* display = connection_.get();
    while (!lost() && XPending(display) > 0) {
      XEvent event;
      XNextEvent(display, &event);
      switch (event.type) {
        case SelectionRequest:
          answer(event.xselectionrequest);
          break;
        case SelectionClear:
          dropIfTaken(event.xselectionclear);
          break;
        case PropertyNotify:
          if (event.xproperty.state == PropertyDelete) {
            continueTransfer(event.xproperty.window, event.xproperty.atom);
          }
          break;
        case DestroyNotify:
          forgetTransfers(event.xdestroywindow.window);
          break;
        default:
          break;
      }
    }
  }

  std::optional<Clock::time_point> nextTransferDeadline() const {
    std::optional<Clock::time_point> deadline;
    for (const auto& transfer : transfers_) {
      const auto due = transfer.lastProgress + kTransferIdleLimit;
      deadline = deadline ? std::min(*deadline, due) : due;
    }
    return deadline;
  }

  void dropStalledTransfers(const log::Logger& logger) {
    const auto now = Clock::now();
    std::vector<Window> stalled;
    for (const auto& transfer : transfers_) {
      if (now - transfer.lastProgress >= kTransferIdleLimit) {
        stalled.push_back(transfer.requestor);
      }
    }
    for (const Window requestor : stalled) {
      logger.notice("Clipboard transfer abandoned: the requestor took no data for {} s",
                    std::chrono::duration_cast<std::chrono::seconds>(kTransferIdleLimit).count());
      forgetTransfers(requestor);
      X11ErrorTrap trap;
      XSelectInput(connection_.get(), requestor, NoEventMask);
      trap.sync(connection_.get());
    }
  }

 private:
  struct Content {
    std::shared_ptr<const std::string> utf8;
    std::shared_ptr<const std::string> latin1;  // null when the text is not all Latin-1
    Time takenAt = CurrentTime;
  };

  // An INCR transfer: the requestor deletes the property to ask for the next piece.
  struct Transfer {
    Window requestor = None;
    Atom property = None;
    Atom type = None;
    std::shared_ptr<const std::string> data;
    std::size_t offset = 0;
    Clock::time_point lastProgress;
  };

  // The server's time now: the time stamp of a change to our own window's property.
  Time serverTime() {
    Display* display = connection_.get();
    XChangeProperty(display, window_, timeProbe_, XA_INTEGER, 8, PropModeAppend, nullptr, 0);
    XSync(display, False);
    XEvent event;
    const auto isProbe = [](Display*, XEvent* candidate, XPointer argument) -> Bool {
      const auto* owner = reinterpret_cast<const Owner*>(argument);
      return candidate->type == PropertyNotify && candidate->xproperty.window == owner->window_ &&
             candidate->xproperty.atom == owner->timeProbe_;
    };
    if (XCheckIfEvent(display, &event, isProbe, reinterpret_cast<XPointer>(this))) {
      return event.xproperty.time;
    }
    return CurrentTime;
  }

  void dropIfTaken(const XSelectionClearEvent& clear) {
    // A clear from before our latest take belongs to an ownership we already gave up.
    if (clear.window != window_ || clear.selection != clipboard_ || !content_ || earlier(clear.time, content_->takenAt)) {
      return;
    }
    content_.reset();
  }

  void answer(const XSelectionRequestEvent& request) {
    Display* display = connection_.get();
    // Requestors from before ICCCM name no property: the target stands in for it.
    const Atom property = request.property != None ? request.property : request.target;
    const bool current = content_ && request.selection == clipboard_ && request.owner == window_ &&
                         (request.time == CurrentTime || !earlier(request.time, content_->takenAt));
    XEvent reply{};
    reply.xselection.type = SelectionNotify;
    reply.xselection.display = display;
    reply.xselection.requestor = request.requestor;
    reply.xselection.selection = request.selection;
    reply.xselection.target = request.target;
    reply.xselection.time = request.time;
    reply.xselection.property = current && convert(request.requestor, request.target, property) ? property : None;
    X11ErrorTrap trap;
    XSendEvent(display, request.requestor, False, NoEventMask, &reply);
    if (trap.sync(display) != 0) {
      forgetTransfers(request.requestor);
    }
  }

  bool convert(Window requestor, Atom target, Atom property) {
    Display* display = connection_.get();
    X11ErrorTrap trap;
    if (target == targets_) {
      std::vector<Atom> offered = {targets_, timestamp_, utf8String_, text_};
      if (content_->latin1) {
        offered.push_back(XA_STRING);
      }
      XChangeProperty(display, requestor, property, XA_ATOM, 32, PropModeReplace,
                      reinterpret_cast<const unsigned char*>(offered.data()), static_cast<int>(offered.size()));
    } else if (target == timestamp_) {
      const long takenAt = static_cast<long>(content_->takenAt);
      XChangeProperty(display, requestor, property, XA_INTEGER, 32, PropModeReplace,
                      reinterpret_cast<const unsigned char*>(&takenAt), 1);
    } else if (target == utf8String_ || target == text_) {
      send(requestor, property, utf8String_, content_->utf8);
    } else if (target == XA_STRING && content_->latin1) {
      send(requestor, property, XA_STRING, content_->latin1);
    } else {
      return false;
    }
    if (trap.sync(display) != 0) {
      forgetTransfers(requestor);
      return false;
    }
    return true;
  }

  void send(Window requestor, Atom property, Atom type, std::shared_ptr<const std::string> data) {
    Display* display = connection_.get();
    if (data->size() <= incrementalThreshold_) {
      XChangeProperty(display, requestor, property, type, 8, PropModeReplace,
                      reinterpret_cast<const unsigned char*>(data->data()), static_cast<int>(data->size()));
      return;
    }
    // The requestor's property deletions come to us as PropertyNotify once we listen for them,
    // which must be before it sees INCR.
    XSelectInput(display, requestor, PropertyChangeMask | StructureNotifyMask);
    const long size = static_cast<long>(data->size());
    XChangeProperty(display, requestor, property, incremental_, 32, PropModeReplace, reinterpret_cast<const unsigned char*>(&size),
                    1);
    std::erase_if(transfers_, [&](const Transfer& transfer) { return transfer.requestor == requestor && transfer.property == property; });
    transfers_.push_back(Transfer{requestor, property, type, std::move(data), 0, Clock::now()});
  }

  void continueTransfer(Window requestor, Atom property) {
    const auto transfer = std::find_if(transfers_.begin(), transfers_.end(), [&](const Transfer& candidate) {
      return candidate.requestor == requestor && candidate.property == property;
    });
    if (transfer == transfers_.end()) {
      return;
    }
    Display* display = connection_.get();
    // The piece after the last one is empty, which tells the requestor that the text is complete.
    const std::size_t length = std::min(incrementalThreshold_, transfer->data->size() - transfer->offset);
    X11ErrorTrap trap;
    XChangeProperty(display, requestor, property, transfer->type, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(transfer->data->data() + transfer->offset), static_cast<int>(length));
    if (trap.sync(display) != 0) {
      forgetTransfers(requestor);
      return;
    }
    transfer->offset += length;
    transfer->lastProgress = Clock::now();
    if (length > 0) {
      return;
    }
    transfers_.erase(transfer);
    const bool more = std::any_of(transfers_.begin(), transfers_.end(), [&](const Transfer& other) { return other.requestor == requestor; });
    if (!more) {
      XSelectInput(display, requestor, NoEventMask);
      trap.sync(display);
    }
  }

  void forgetTransfers(Window requestor) {
    std::erase_if(transfers_, [&](const Transfer& transfer) { return transfer.requestor == requestor; });
  }

  const X11Connection connection_;
  Window window_ = None;
  Atom clipboard_ = None;
  Atom targets_ = None;
  Atom timestamp_ = None;
  Atom utf8String_ = None;
  Atom text_ = None;
  Atom incremental_ = None;
  Atom timeProbe_ = None;
  std::size_t incrementalThreshold_ = 0;
  std::optional<Content> content_;
  std::vector<Transfer> transfers_;
};

Result<std::unique_ptr<X11Clipboard>> X11Clipboard::open(const std::string& displayName) {
  auto connection = openX11Connection(displayName);
  if (!connection) {
    return Result<std::unique_ptr<X11Clipboard>>::failure(connection.error());
  }
  WakeEvent wakeEvent;
  if (!wakeEvent.isOpen()) {
    return Result<std::unique_ptr<X11Clipboard>>::failure(std::string("cannot make an event descriptor: ") +
                                                          std::strerror(errno));
  }
  return std::make_unique<X11Clipboard>(PrivateTag{}, std::make_unique<Owner>(std::move(connection.value())),
                                        std::move(wakeEvent));
}

X11Clipboard::X11Clipboard(PrivateTag, std::unique_ptr<Owner> owner, WakeEvent wakeEvent)
    : owner_(std::move(owner)), incrementalThreshold_(owner_->incrementalThreshold()), wakeEvent_(std::move(wakeEvent)) {
  thread_ = std::thread([this] { run(); });
}

X11Clipboard::~X11Clipboard() {
  stopping_ = true;
  wakeEvent_.signal();
  thread_.join();
}

bool X11Clipboard::setText(std::string text) {
  auto request = std::make_shared<OwnershipRequest>();
  request->text = std::make_shared<const std::string>(std::move(text));
  auto taken = request->taken.get_future();
  {
    std::lock_guard lock(pendingRequestLock_);
    pendingRequest_ = std::move(request);
  }
  wakeEvent_.signal();
  if (taken.wait_for(kOwnershipWait) != std::future_status::ready) {
    logger_.error("Clipboard: the selection owner did not answer within {} s",
                  std::chrono::duration_cast<std::chrono::seconds>(kOwnershipWait).count());
    return false;
  }
  if (!taken.get()) {
    logger_.error("Clipboard: could not take the X CLIPBOARD selection");
    return false;
  }
  return true;
}

std::shared_ptr<X11Clipboard::OwnershipRequest> X11Clipboard::takePendingRequest() {
  std::lock_guard lock(pendingRequestLock_);
  return std::exchange(pendingRequest_, nullptr);
}

void X11Clipboard::run() {
  serve();
  owner_.reset();
}

void X11Clipboard::serve() {
  bool connectionUsable = true;
  while (true) {
    owner_->processEvents();
    if (stopping_) {
      return;
    }
    if (connectionUsable && owner_->lost()) {
      connectionUsable = false;
    }
    int timeoutMilliseconds = -1;
    if (const auto deadline = owner_->nextTransferDeadline()) {
      const auto remaining = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
      timeoutMilliseconds = static_cast<int>(std::max<std::chrono::milliseconds::rep>(0, remaining.count()));
    }
    std::array<pollfd, 2> descriptors = {{{wakeEvent_.descriptor(), POLLIN, 0}, {connectionUsable ? owner_->connectionDescriptor() : -1, POLLIN, 0}}};
    if (poll(descriptors.data(), descriptors.size(), timeoutMilliseconds) < 0 && errno != EINTR) {
      logger_.error("Clipboard: poll failed: {}", std::strerror(errno));
      return;
    }
    if ((descriptors[1].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
      connectionUsable = false;
    }
    if ((descriptors[0].revents & POLLIN) != 0) {
      wakeEvent_.drain();
    }
    if (auto request = takePendingRequest()) {
      request->taken.set_value(connectionUsable && owner_->take(request->text));
    }
    owner_->dropStalledTransfers(logger_);
  }
}

}  // namespace velmora
