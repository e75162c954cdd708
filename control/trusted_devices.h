#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/log/log.h"
#include "platform/user_defaults.h"

namespace velmora {

// Every trusted identifier, as a sorted array of strings.
inline constexpr std::string_view kTrustedClientIdentifiersKey = "trustedClientIdentifiers";
// Beside it: what the host knows of each trusted device, keyed by identifier.
inline constexpr std::string_view kTrustedClientDetailsKey = "trustedClientDetails";
inline constexpr std::string_view kAlwaysAskForCodeKey = "alwaysAskForCode";

using WallClock = std::chrono::system_clock;

struct TrustedDevice {
  std::string identifier;
  // Without details (a file written before they were kept, or edited by hand) the device is
  // trusted all the same and never expires: its age is unknown until its next admission.
  bool hasDetails = false;
  std::string deviceName;
  std::string pairedAt;        // ISO 8601 UTC, e.g. "2026-12-07T12:00:00Z"
  std::string lastAdmittedAt;  // the same form
  std::string lastAddress;

  // lastAdmittedAt, else pairedAt; nothing without details.
  std::optional<WallClock::time_point> lastSeen() const;
  // The device's name, or its identifier when no name is known.
  std::string displayName() const;
};

// "2026-12-07T12:00:00Z"; parsing accepts exactly that form.
std::string formatUtcTime(WallClock::time_point time);
std::optional<WallClock::time_point> parseUtcTime(std::string_view text);
// How long ago, in words: "moments ago", "5 minutes ago", "1 hour ago", "3 days ago".
std::string describeAge(WallClock::duration age);

// The devices that presented the right code once and are admitted by their identifier alone, in
// the user defaults. The file is the truth: every question reads it and every change is one
// read-modify-write of it, so a change made by another process (the command line) counts at once.
// Any thread.
class TrustedDevices {
 public:
  using Clock = std::function<WallClock::time_point()>;

  // `trustDuration`: how long a device stays trusted without an admission; zero: for ever.
  TrustedDevices(std::shared_ptr<UserDefaults> userDefaults, std::chrono::hours trustDuration, Clock clock = WallClock::now);

  std::vector<TrustedDevice> list() const;
  bool empty() const;
  bool contains(const std::string& identifier) const;
  // The device if it is trusted now. One whose trust has lapsed is removed here, with a notice.
  std::optional<TrustedDevice> trusted(const std::string& identifier);
  // Removes every device whose trust has lapsed.
  void expireStale();

  enum class Recorded { failed, added, updated, gone };
  // An admission of the device: trusted from now on, paired now when new. An admission by trust
  // (`byTrust`) never adds: a device forgotten since its hello was checked is `gone`.
  Recorded recordAdmission(const std::string& identifier, const std::string& deviceName, const std::string& address,
                           bool byTrust);
  // What was removed; nothing when the identifier was not trusted or the file could not be written.
  std::optional<TrustedDevice> forget(const std::string& identifier);
  std::optional<std::vector<TrustedDevice>> forgetAll();

  // The user's "Always Ask for the Code" choice, as stored.
  bool alwaysAskForCode() const;
  bool setAlwaysAskForCode(bool alwaysAsk);

 private:
  // `report`: malformed details are logged (not while the store is being written: its lock is held).
  std::vector<TrustedDevice> read(const nlohmann::json& identifiers, const nlohmann::json& details, bool report) const;
  bool isStale(const TrustedDevice& device, WallClock::time_point now) const;
  void reportMalformed(const std::string& what, const std::string& why) const;
  // Removes the devices `select` picks in one write; what it removed, or nothing when unwritten.
  std::optional<std::vector<TrustedDevice>> remove(const std::function<bool(const TrustedDevice&)>& select);

  const std::shared_ptr<UserDefaults> userDefaults_;
  const std::chrono::hours trustDuration_;
  const Clock clock_;
  const log::Logger logger_{"ControlChannel"};
  // A malformed entry is reported once per run, however often the file is read.
  mutable std::mutex reportedLock_;
  mutable std::set<std::string> reported_;
};

// Leading and trailing white space and line breaks removed; nothing when absent or then empty.
std::optional<std::string> normalizeClientIdentifier(const std::optional<std::string>& identifier);

}  // namespace velmora
