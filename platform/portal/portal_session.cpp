#include "platform/portal/portal_session.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <type_traits>
#include <variant>

namespace velmora {
namespace {

constexpr const char* kPortalName = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
constexpr const char* kRemoteDesktop = "org.freedesktop.portal.RemoteDesktop";
constexpr const char* kScreenCast = "org.freedesktop.portal.ScreenCast";

constexpr std::uint32_t kKeyboardAndPointer = 1 | 2;
constexpr std::uint32_t kMonitorSources = 1;
constexpr std::uint32_t kCursorHidden = 1;
constexpr std::uint32_t kCursorEmbedded = 2;
// Kept until the user revokes it. Remote-desktop sessions persist through SelectDevices from the
// interface's version 2 on (xdg-desktop-portal 1.17); before that the dialog shows at every start.
constexpr std::uint32_t kPersistUntilRevoked = 2;
constexpr std::uint32_t kFirstRestorableVersion = 2;
constexpr std::uint32_t kFirstRestorableScreenCastVersion = 4;
// Input waiting for a portal that stopped answering: beyond this, new events are dropped.
constexpr std::size_t kMostQueuedNotifications = 1000;
constexpr std::uint64_t kLastInputWaitMicroseconds = 1'000'000;  // per call, when the session ends

struct Option {
  std::string key;
  std::variant<std::uint32_t, bool, std::string> value;
};

// An a{sv} of options.
int appendOptions(sd_bus_message* message, const std::vector<Option>& options) {
  int result = sd_bus_message_open_container(message, 'a', "{sv}");
  for (const auto& option : options) {
    if (result >= 0) {
      result = sd_bus_message_open_container(message, 'e', "sv");
    }
    if (result >= 0) {
      result = sd_bus_message_append(message, "s", option.key.c_str());
    }
    if (result >= 0) {
      result = std::visit(
          [message](const auto& value) {
            using Value = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<Value, std::uint32_t>) {
              return sd_bus_message_append(message, "v", "u", value);
            } else if constexpr (std::is_same_v<Value, bool>) {
              return sd_bus_message_append(message, "v", "b", static_cast<int>(value));
            } else {
              return sd_bus_message_append(message, "v", "s", value.c_str());
            }
          },
          option.value);
    }
    if (result >= 0) {
      result = sd_bus_message_close_container(message);
    }
  }
  return result < 0 ? result : sd_bus_message_close_container(message);
}

// Reads an (ii) variant's two numbers.
int readPair(sd_bus_message* message, int& first, int& second) {
  int result = sd_bus_message_enter_container(message, 'v', "(ii)");
  if (result >= 0) {
    result = sd_bus_message_read(message, "(ii)", &first, &second);
  }
  return result < 0 ? result : sd_bus_message_exit_container(message);
}

// The streams of a Start answer: a(ua{sv}), with the properties this host uses.
int readStreams(sd_bus_message* message, std::vector<PortalStream>& streams) {
  int result = sd_bus_message_enter_container(message, 'a', "(ua{sv})");
  while (result >= 0 && (result = sd_bus_message_enter_container(message, 'r', "ua{sv}")) > 0) {
    PortalStream stream;
    result = sd_bus_message_read(message, "u", &stream.pipeWireNode);
    if (result >= 0) {
      result = readVariantDictionary(message, [&](const std::string& name, const std::string& type) {
        if ((name == "position" || name == "size") && type == "(ii)") {
          const int read = name == "position" ? readPair(message, stream.x, stream.y)
                                              : readPair(message, stream.width, stream.height);
          return read < 0 ? read : 1;
        }
        if (name == "id" && type == "s") {
          const char* identifier = nullptr;
          const int read = sd_bus_message_read(message, "v", "s", &identifier);
          stream.identifier = identifier != nullptr ? identifier : "";
          return read < 0 ? read : 1;
        }
        return 0;
      });
    }
    if (result >= 0) {
      result = sd_bus_message_exit_container(message);  // the stream
      streams.push_back(stream);
    }
  }
  return result < 0 ? result : sd_bus_message_exit_container(message);
}

std::string requestSender(const char* uniqueName) {
  std::string sender = uniqueName[0] == ':' ? uniqueName + 1 : uniqueName;
  std::replace(sender.begin(), sender.end(), '.', '_');
  return sender;
}

}  // namespace

struct PortalAnswer {
  std::uint32_t response = 2;
  std::string sessionHandle;
  std::string restoreToken;
  std::vector<PortalStream> streams;
  std::string unreadable;  // why the results could not be read
};

namespace {

struct ResponseWait {
  std::mutex answerLock;
  std::condition_variable answered;
  std::optional<PortalAnswer> answer;
};

}  // namespace

// On the connection's thread: the Request's Response signal, read into the waiting request.
static int onResponse(sd_bus_message* message, void* userData, sd_bus_error*) {
  auto* wait = static_cast<ResponseWait*>(userData);
  PortalAnswer answer;
  int result = sd_bus_message_read(message, "u", &answer.response);
  if (result >= 0) {
    result = readVariantDictionary(message, [&](const std::string& name, const std::string& type) {
      if ((name == "session_handle" || name == "restore_token") && (type == "s" || type == "o")) {
        const char* text = nullptr;
        const int read = sd_bus_message_read(message, "v", type.c_str(), &text);
        (name == "session_handle" ? answer.sessionHandle : answer.restoreToken) = text != nullptr ? text : "";
        return read < 0 ? read : 1;
      }
      if (name == "streams" && type == "a(ua{sv})") {
        int read = sd_bus_message_enter_container(message, 'v', "a(ua{sv})");
        if (read >= 0) {
          read = readStreams(message, answer.streams);
        }
        if (read >= 0) {
          read = sd_bus_message_exit_container(message);
        }
        return read < 0 ? read : 1;
      }
      return 0;
    });
  }
  if (result < 0) {
    answer.unreadable = std::strerror(-result);
  }
  std::lock_guard lock(wait->answerLock);
  wait->answer = std::move(answer);
  wait->answered.notify_all();
  return 0;
}

Result<std::shared_ptr<PortalSession>> PortalSession::open(const PortalSessionOptions& options) {
  using Failure = Result<std::shared_ptr<PortalSession>>;
  auto connection = DBusConnection::open(DBusConnection::Bus::session, options.busAddress);
  if (!connection) {
    return Failure::failure(connection.error());
  }
  auto session = std::make_shared<PortalSession>(PrivateTag{}, std::move(connection.value()));
  auto started = session->start(options);
  if (!started) {
    return Failure::failure(started.error());
  }
  return session;
}

PortalSession::PortalSession(PrivateTag, std::unique_ptr<DBusConnection> connection)
    : connection_(std::move(connection)) {}

PortalSession::~PortalSession() {
  connection_->perform([this](sd_bus* bus) {
    closedMatch_.reset();
    notificationInFlight_.reset();
    // Input sent before the end still reaches the desktop.
    for (const auto& queued : queuedNotifications_) {
      if (sd_bus_call(bus, queued.call.get(), kLastInputWaitMicroseconds, nullptr, nullptr) < 0) {
        break;
      }
    }
    if (!sessionHandle_.empty() && !closed_) {
      sd_bus_call_method(bus, kPortalName, sessionHandle_.c_str(), "org.freedesktop.portal.Session", "Close", nullptr,
                         nullptr, "");
    }
  });
}

Result<bool> PortalSession::start(const PortalSessionOptions& options) {
  using Failure = Result<bool>;
  std::uint32_t deviceTypes = 0;
  std::uint32_t sourceTypes = 0;
  std::uint32_t cursorModes = 0;
  std::uint32_t screenCastVersion = 0;
  std::string missing;
  connection_->perform([&](sd_bus* bus) {
    const char* uniqueName = nullptr;
    if (sd_bus_get_unique_name(bus, &uniqueName) >= 0) {
      uniqueName_ = requestSender(uniqueName);
    }
    DBusError error;
    const int result = sd_bus_get_property_trivial(bus, kPortalName, kPortalPath, kScreenCast, "version", error.get(),
                                                   'u', &screenCastVersion);
    if (result < 0) {
      missing = error.describe(result);
      return;
    }
    // Absent where no backend of the portal implements it: the version stays 0.
    sd_bus_get_property_trivial(bus, kPortalName, kPortalPath, kRemoteDesktop, "version", nullptr, 'u',
                                &remoteDesktopVersion_);
    sd_bus_get_property_trivial(bus, kPortalName, kPortalPath, kRemoteDesktop, "AvailableDeviceTypes", nullptr, 'u',
                                &deviceTypes);
    sd_bus_get_property_trivial(bus, kPortalName, kPortalPath, kScreenCast, "AvailableSourceTypes", nullptr, 'u',
                                &sourceTypes);
    sd_bus_get_property_trivial(bus, kPortalName, kPortalPath, kScreenCast, "AvailableCursorModes", nullptr, 'u',
                                &cursorModes);
  });
  if (!missing.empty() || uniqueName_.empty()) {
    return Failure::failure("the desktop portal offers no screen cast on the session bus (" +
                            (missing.empty() ? std::string("the bus connection failed") : missing) + ")");
  }
  if ((sourceTypes & kMonitorSources) == 0) {
    return Failure::failure("the desktop portal cannot share monitors");
  }
  if (!hasInput()) {
    logger_.error("The desktop portal offers no remote desktop: the screen is shared without input");
  } else if ((deviceTypes & kKeyboardAndPointer) != kKeyboardAndPointer) {
    logger_.error("The desktop portal offers input devices {} of keyboard (1) and pointer (2)", deviceTypes);
  }
  const std::uint32_t cursorMode = (cursorModes & kCursorEmbedded) != 0 ? kCursorEmbedded : kCursorHidden;
  if (cursorMode != kCursorEmbedded) {
    logger_.error("The desktop portal cannot draw the cursor into the pictures: the client sees none");
  }

  const char* sessionInterface = hasInput() ? kRemoteDesktop : kScreenCast;
  auto created = request(sessionInterface, "CreateSession",
                         [](sd_bus_message* call, const std::string& token) {
                           return appendOptions(call, {{"handle_token", token}, {"session_handle_token", token}});
                         },
                         options.portalAnswerTimeout);
  if (!created) {
    return Failure::failure(created.error());
  }
  sessionHandle_ = created.value().sessionHandle;
  if (sessionHandle_.empty()) {
    return Failure::failure("the desktop portal made a session without a handle");
  }
  onClosed_ = options.onClosed;
  connection_->perform([this](sd_bus* bus) {
    sd_bus_slot* slot = nullptr;
    sd_bus_match_signal(
        bus, &slot, kPortalName, sessionHandle_.c_str(), "org.freedesktop.portal.Session", "Closed",
        [](sd_bus_message*, void* userData, sd_bus_error*) {
          auto& session = *static_cast<PortalSession*>(userData);
          session.closed_ = true;
          log::Logger("ScreenCapture").error("The desktop portal closed the remote desktop session");
          if (session.onClosed_) {
            session.onClosed_();
          }
          return 0;
        },
        this);
    closedMatch_.reset(slot);
  });

  const bool restorable = hasInput() ? remoteDesktopVersion_ >= kFirstRestorableVersion
                                     : screenCastVersion >= kFirstRestorableScreenCastVersion;
  if (!restorable) {
    logger_.notice("The desktop portal (remote desktop version {}) cannot remember the approval: it asks at every start",
                   remoteDesktopVersion_);
  }
  // A remote-desktop session persists through its devices, a screen cast through its sources.
  const auto persistence = [&](std::vector<Option> selection) {
    if (restorable) {
      selection.push_back({"persist_mode", kPersistUntilRevoked});
      if (!options.restoreToken.empty()) {
        selection.push_back({"restore_token", options.restoreToken});
      }
    }
    return selection;
  };
  const auto appendSession = [this](sd_bus_message* call) { return sd_bus_message_append(call, "o", sessionHandle_.c_str()); };
  if (hasInput()) {
    auto devices = request(kRemoteDesktop, "SelectDevices",
                           [&](sd_bus_message* call, const std::string& token) {
                             const int result = appendSession(call);
                             return result < 0 ? result
                                               : appendOptions(call, persistence({{"handle_token", token},
                                                                                  {"types", kKeyboardAndPointer}}));
                           },
                           options.portalAnswerTimeout);
    if (!devices) {
      return Failure::failure(devices.error());
    }
  }
  auto sources = request(kScreenCast, "SelectSources",
                         [&](sd_bus_message* call, const std::string& token) {
                           const int result = appendSession(call);
                           std::vector<Option> selection{{"handle_token", token},
                                                         {"types", kMonitorSources},
                                                         {"multiple", true},
                                                         {"cursor_mode", cursorMode}};
                           return result < 0 ? result
                                             : appendOptions(call, hasInput() ? selection : persistence(selection));
                         },
                         options.portalAnswerTimeout);
  if (!sources) {
    return Failure::failure(sources.error());
  }

  logger_.notice("Waiting for the user to allow sharing the screen and input in the desktop's dialog");
  if (options.waitingForUser) {
    options.waitingForUser();
  }
  auto started = request(sessionInterface, "Start",
                         [&](sd_bus_message* call, const std::string& token) {
                           int result = appendSession(call);
                           if (result >= 0) {
                             result = sd_bus_message_append(call, "s", "");
                           }
                           return result < 0 ? result : appendOptions(call, {{"handle_token", token}});
                         },
                         options.userAnswerTimeout);
  if (!started) {
    return Failure::failure(started.error());
  }
  streams_ = std::move(started.value().streams);
  restoreToken_ = std::move(started.value().restoreToken);
  if (streams_.empty()) {
    return Failure::failure("the desktop portal shares no monitor in this session");
  }
  return true;
}

Result<PortalAnswer> PortalSession::request(
    const std::string& interface, const std::string& method,
    const std::function<int(sd_bus_message* call, const std::string& handleToken)>& appendArguments,
    std::chrono::seconds timeout) {
  using Failure = Result<PortalAnswer>;
  const std::string token = "velmora" + std::to_string(++nextToken_);
  const std::string expectedPath = std::string(kPortalPath) + "/request/" + uniqueName_ + "/" + token;
  ResponseWait wait;
  DBusSlot responseMatch;
  std::string handle;
  std::string callError;
  // The Response may come right after the call's answer: listen on the request's path first.
  const bool performed = connection_->perform([&](sd_bus* bus) {
    const auto listen = [&](const std::string& path) {
      sd_bus_slot* slot = nullptr;
      const int result = sd_bus_match_signal(bus, &slot, nullptr, path.c_str(), "org.freedesktop.portal.Request",
                                             "Response", onResponse, &wait);
      responseMatch.reset(slot);
      return result;
    };
    int result = listen(expectedPath);
    sd_bus_message* rawCall = nullptr;
    if (result >= 0) {
      result = sd_bus_message_new_method_call(bus, &rawCall, kPortalName, kPortalPath, interface.c_str(), method.c_str());
    }
    const DBusMessage call(rawCall);
    if (result >= 0) {
      result = appendArguments(call.get(), token);
    }
    DBusError error;
    sd_bus_message* rawReply = nullptr;
    if (result >= 0) {
      result = sd_bus_call(bus, call.get(), 0, error.get(), &rawReply);
    }
    const DBusMessage reply(rawReply);
    const char* path = nullptr;
    if (result >= 0) {
      result = sd_bus_message_read(reply.get(), "o", &path);
    }
    if (result < 0) {
      callError = error.describe(result);
      return;
    }
    handle = path;
    // Portals older than the handle_token convention choose the path themselves.
    if (handle != expectedPath) {
      listen(handle);
    }
  });
  const auto release = [&] {
    connection_->perform([&](sd_bus* bus) {
      responseMatch.reset();
      if (!handle.empty() && !wait.answer) {
        sd_bus_call_method(bus, kPortalName, handle.c_str(), "org.freedesktop.portal.Request", "Close", nullptr, nullptr, "");
      }
    });
  };
  if (!performed || !callError.empty()) {
    release();
    return Failure::failure("the desktop portal refused " + method + ": " +
                            (performed ? callError : std::string("the bus connection is closed")));
  }
  std::unique_lock lock(wait.answerLock);
  const bool answered = wait.answered.wait_for(lock, timeout, [&] { return wait.answer.has_value(); });
  lock.unlock();
  release();
  if (!answered) {
    return Failure::failure("no answer from the desktop portal to " + method + " within " +
                            std::to_string(timeout.count()) + " s");
  }
  auto answer = std::move(*wait.answer);
  switch (answer.response) {
    case 0:
      break;
    case 1:
      return Failure::failure("the user refused to share the screen (" + method + " was cancelled in the desktop's dialog)");
    default:
      return Failure::failure("the desktop portal ended " + method + " without sharing (response " +
                              std::to_string(answer.response) + ")");
  }
  if (!answer.unreadable.empty()) {
    return Failure::failure("the desktop portal's answer to " + method + " is unreadable: " + answer.unreadable);
  }
  return answer;
}

bool PortalSession::active() const { return !closed_ && connection_->connected(); }

Result<FileDescriptor> PortalSession::openPipeWireRemote() {
  std::string failure = "the bus connection is closed";
  FileDescriptor remote;
  connection_->perform([&](sd_bus* bus) {
    DBusError error;
    sd_bus_message* rawReply = nullptr;
    int result = sd_bus_call_method(bus, kPortalName, kPortalPath, kScreenCast, "OpenPipeWireRemote", error.get(),
                                    &rawReply, "oa{sv}", sessionHandle_.c_str(), 0);
    const DBusMessage reply(rawReply);
    int descriptor = -1;
    if (result >= 0) {
      result = sd_bus_message_read(reply.get(), "h", &descriptor);
    }
    if (result < 0) {
      failure = error.describe(result);
      return;
    }
    // The message owns the descriptor it carries.
    remote = FileDescriptor(fcntl(descriptor, F_DUPFD_CLOEXEC, 3));
    failure = remote.isOpen() ? "" : std::strerror(errno);
  });
  if (!failure.empty()) {
    return Result<FileDescriptor>::failure("the desktop portal gives no PipeWire remote: " + failure);
  }
  return remote;
}

void PortalSession::notify(const char* method, const std::function<int(sd_bus_message*)>& appendArguments) {
  if (!hasInput()) {
    return;
  }
  connection_->perform([&](sd_bus* bus) {
    sd_bus_message* rawCall = nullptr;
    int result = sd_bus_message_new_method_call(bus, &rawCall, kPortalName, kPortalPath, kRemoteDesktop, method);
    DBusMessage call(rawCall);
    if (result >= 0) {
      result = sd_bus_message_append(call.get(), "o", sessionHandle_.c_str());
    }
    if (result >= 0) {
      result = appendOptions(call.get(), {});
    }
    if (result >= 0) {
      result = appendArguments(call.get());
    }
    if (result < 0) {
      logger_.error("Cannot send {} to the desktop portal: {}", method, std::strerror(-result));
      return;
    }
    // A motion still waiting is replaced by the newer one: the pointer goes where it is now.
    const bool motion = std::strcmp(method, "NotifyPointerMotionAbsolute") == 0;
    if (motion && !queuedNotifications_.empty() && std::strcmp(queuedNotifications_.back().method, method) == 0) {
      queuedNotifications_.back().call = std::move(call);
    } else if (queuedNotifications_.size() < kMostQueuedNotifications) {
      queuedNotifications_.push_back({method, std::move(call)});
    } else if (droppedNotifications_++ % 100 == 0) {
      logger_.error("The desktop portal does not take input: {} dropped ({} so far)", method, droppedNotifications_);
    }
    sendNextNotification(bus);
  });
}

void PortalSession::sendNextNotification(sd_bus* bus) {
  while (!notificationInFlight_ && !queuedNotifications_.empty()) {
    const DBusMessage call = std::move(queuedNotifications_.front().call);
    queuedNotifications_.pop_front();
    sd_bus_slot* slot = nullptr;
    const int result = sd_bus_call_async(
        bus, &slot, call.get(),
        [](sd_bus_message* reply, void* userData, sd_bus_error*) {
          // Throttled, so that a session the desktop closed does not flood the log.
          static std::atomic<std::uint64_t> failures{0};
          if (const sd_bus_error* error = sd_bus_message_get_error(reply)) {
            if (log::isLoggedOccurrence(++failures)) {
              log::Logger("EventInjector").error("The desktop portal refused input: {}: {} ({} so far)", error->name,
                                                 error->message != nullptr ? error->message : "", failures.load());
            }
          }
          auto* session = static_cast<PortalSession*>(userData);
          session->notificationInFlight_.reset();  // sd-bus holds the slot until this returns
          session->sendNextNotification(sd_bus_message_get_bus(reply));
          return 0;
        },
        this, 0);
    if (result < 0) {
      logger_.error("Cannot send input to the desktop portal: {}", std::strerror(-result));
    }
    notificationInFlight_.reset(slot);
  }
}

void PortalSession::pointerMotionAbsolute(std::uint32_t pipeWireNode, double x, double y) {
  notify("NotifyPointerMotionAbsolute",
         [&](sd_bus_message* call) { return sd_bus_message_append(call, "udd", pipeWireNode, x, y); });
}

void PortalSession::pointerButton(std::int32_t evdevButton, bool down) {
  notify("NotifyPointerButton", [&](sd_bus_message* call) {
    return sd_bus_message_append(call, "iu", evdevButton, static_cast<std::uint32_t>(down ? 1 : 0));
  });
}

void PortalSession::pointerAxis(double dx, double dy) {
  notify("NotifyPointerAxis", [&](sd_bus_message* call) { return sd_bus_message_append(call, "dd", dx, dy); });
}

void PortalSession::pointerAxisDiscrete(std::uint32_t axis, std::int32_t steps) {
  notify("NotifyPointerAxisDiscrete",
         [&](sd_bus_message* call) { return sd_bus_message_append(call, "ui", axis, steps); });
}

void PortalSession::keyboardKeycode(std::int32_t evdevKeyCode, bool down) {
  notify("NotifyKeyboardKeycode", [&](sd_bus_message* call) {
    return sd_bus_message_append(call, "iu", evdevKeyCode, static_cast<std::uint32_t>(down ? 1 : 0));
  });
}

void PortalSession::keyboardKeysym(std::int32_t keysym, bool down) {
  notify("NotifyKeyboardKeysym", [&](sd_bus_message* call) {
    return sd_bus_message_append(call, "iu", keysym, static_cast<std::uint32_t>(down ? 1 : 0));
  });
}

}  // namespace velmora
