#pragma once

#include <functional>
#include <memory>
#include <string>

#include <systemd/sd-bus.h>

#include "platform/released_pointer.h"
#include "platform/result.h"

// Only backends under platform/ include this header: it brings sd-bus with it.

namespace velmora {

// Own one reference each; released (a slot's match or call ends) when dropped.
using DBusMessage = ReleasedPointer<sd_bus_message, sd_bus_message_unref>;
using DBusSlot = ReleasedPointer<sd_bus_slot, sd_bus_slot_unref>;

// An sd_bus_error that frees itself, and says what went wrong.
class DBusError {
 public:
  DBusError();
  ~DBusError();
  DBusError(const DBusError&) = delete;
  DBusError& operator=(const DBusError&) = delete;

  sd_bus_error* get() { return &error_; }
  bool isSet() const;
  // "NAME: message" when the peer sent an error, else the text of the negative `result`.
  std::string describe(int result) const;

 private:
  sd_bus_error error_{};  // all fields empty, as SD_BUS_ERROR_NULL (a C compound literal) makes it
};

// Reads the a{sv} dictionary at the message's position: `readValue` gets each entry's key and its
// variant's type with the variant next, and reads it (returning more than 0), leaves it to be
// skipped (0), or fails (below 0). The first failure, sd-bus's or readValue's, is returned.
int readVariantDictionary(sd_bus_message* message,
                          const std::function<int(const std::string& key, const std::string& type)>& readValue);

// One bus connection with a thread of its own that reads and dispatches its messages (signal
// handlers and asynchronous replies run there). sd-bus is not thread-safe: every use of the bus
// goes through perform(), which runs on that thread. Closed, and the thread joined, when dropped.
class DBusConnection {
  struct State;
  struct PrivateTag {};

 public:
  enum class Bus { session, system };

  // The session bus is $DBUS_SESSION_BUS_ADDRESS's; `address` (when given) replaces it.
  static Result<std::unique_ptr<DBusConnection>> open(Bus bus, const std::string& address = {});

  DBusConnection(PrivateTag, sd_bus* bus);
  ~DBusConnection();
  DBusConnection(const DBusConnection&) = delete;
  DBusConnection& operator=(const DBusConnection&) = delete;

  // Runs `task` with the bus on the connection's thread and waits for it to finish; runs it at
  // once when called on that thread. False (the task not run) once the connection is closed. A
  // task may make blocking calls (sd_bus_call); other messages wait meanwhile.
  bool perform(const std::function<void(sd_bus* bus)>& task);
  // Whether the bus connection still works. Any thread.
  bool connected() const;

 private:
  std::unique_ptr<State> state_;
};

}  // namespace velmora
