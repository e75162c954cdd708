#include "platform/systemd/logind_inhibitor.h"

#include "platform/log/log.h"
#include "platform/released_pointer.h"

#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <utility>

namespace velmora {
namespace {

// logind answers at once when it runs; a bus that activates a missing service can take the
// default 25 s to give up, too long to hold up start-up.
constexpr std::chrono::microseconds kInhibitCallTimeout = std::chrono::seconds(5);

using Bus = ReleasedPointer<sd_bus, sd_bus_flush_close_unref>;
using Message = ReleasedPointer<sd_bus_message, sd_bus_message_unref>;

class BusError {
 public:
  BusError() = default;
  ~BusError() { sd_bus_error_free(&error_); }
  BusError(const BusError&) = delete;
  BusError& operator=(const BusError&) = delete;

  sd_bus_error* get() { return &error_; }
  std::string describe(int result) const {
    if (sd_bus_error_is_set(&error_)) {
      return std::string(error_.name) + ": " + (error_.message != nullptr ? error_.message : "");
    }
    return std::strerror(-result);
  }

 private:
  sd_bus_error error_{};  // all fields empty, as SD_BUS_ERROR_NULL (a C compound literal) makes it
};

}  // namespace

Result<std::unique_ptr<LogindInhibitor>> LogindInhibitor::take(const InhibitorRequest& request) {
  using Failure = Result<std::unique_ptr<LogindInhibitor>>;

  sd_bus* openedBus = nullptr;
  int result = sd_bus_open_system(&openedBus);
  Bus bus(openedBus);
  if (result < 0) {
    return Failure::failure(std::string("no system bus: ") + std::strerror(-result));
  }

  sd_bus_message* madeCall = nullptr;
  result = sd_bus_message_new_method_call(bus.get(), &madeCall, "org.freedesktop.login1", "/org/freedesktop/login1",
                                          "org.freedesktop.login1.Manager", "Inhibit");
  Message call(madeCall);
  if (result >= 0) {
    result = sd_bus_message_append(call.get(), "ssss", request.what.c_str(), request.who.c_str(), request.why.c_str(),
                                   request.mode.c_str());
  }
  if (result < 0) {
    return Failure::failure(std::string("could not build the Inhibit call: ") + std::strerror(-result));
  }

  BusError error;
  sd_bus_message* receivedReply = nullptr;
  result = sd_bus_call(bus.get(), call.get(), static_cast<std::uint64_t>(kInhibitCallTimeout.count()), error.get(),
                       &receivedReply);
  Message reply(receivedReply);
  if (result < 0) {
    return Failure::failure("logind refused the inhibitor lock: " + error.describe(result));
  }

  int replyDescriptor = -1;
  result = sd_bus_message_read(reply.get(), "h", &replyDescriptor);
  if (result < 0) {
    return Failure::failure(std::string("logind's answer carried no lock: ") + std::strerror(-result));
  }
  // The descriptor belongs to the reply and closes with it; the lock lives as long as our copy.
  const int descriptor = ::fcntl(replyDescriptor, F_DUPFD_CLOEXEC, 3);
  if (descriptor < 0) {
    return Failure::failure(std::string("could not keep the inhibitor lock: ") + std::strerror(errno));
  }
  return std::make_unique<LogindInhibitor>(Key{}, descriptor);
}

LogindInhibitor::LogindInhibitor(Key /*key*/, int descriptor) : descriptor_(descriptor) {}

LogindInhibitor::~LogindInhibitor() { ::close(descriptor_); }

void LogindIdleSleepInhibition::inhibitIdleSleep(const std::string& reason) {
  if (triedInhibitor_) {
    return;
  }
  triedInhibitor_ = true;
  const log::Logger logger("AppDelegate");
  auto taken = LogindInhibitor::take(InhibitorRequest{.why = reason});
  if (!taken) {
    logger.notice("Cannot keep the system from idling or sleeping — {}", taken.error());
    return;
  }
  inhibitor_ = std::move(taken.value());
  logger.info("Holding a logind idle and sleep inhibitor: {}", reason);
}

}  // namespace velmora
