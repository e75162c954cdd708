#include "control/trusted_devices.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <map>

#include "platform/log/printable.h"

namespace velmora {
namespace {

using nlohmann::json;

// Far beyond any real name or address; longer details are damage, not data.
constexpr std::size_t kLongestDetail = 1024;
// A client names itself; what is kept of the name is bounded.
constexpr std::size_t kLongestStoredName = 256;

const std::string kIdentifiersKey(kTrustedClientIdentifiersKey);
const std::string kDetailsKey(kTrustedClientDetailsKey);

// Enough of an identifier to tell devices apart in the log without writing out the credential.
std::string shortIdentifier(const std::string& identifier) {
  return printable(identifier.substr(0, 8)) + (identifier.size() > 8 ? "…" : "");
}

// Cut to `limit` bytes without splitting a UTF-8 sequence.
std::string truncatedUtf8(const std::string& text, std::size_t limit) {
  if (text.size() <= limit) {
    return text;
  }
  std::size_t end = limit;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
    --end;
  }
  return text.substr(0, end);
}

// Why the stored details of one device cannot be used; nothing when they can.
std::optional<std::string> detailsProblem(const json& details) {
  if (!details.is_object()) {
    return "not an object";
  }
  for (const char* field : {"deviceName", "pairedAt", "lastAdmittedAt", "lastAddress"}) {
    const auto found = details.find(field);
    if (found == details.end() || !found->is_string()) {
      return std::string("\"") + field + "\" is missing or not a string";
    }
    if (found->get_ref<const std::string&>().size() > kLongestDetail) {
      return std::string("\"") + field + "\" is too long";
    }
  }
  for (const char* field : {"pairedAt", "lastAdmittedAt"}) {
    if (!parseUtcTime(details[field].get_ref<const std::string&>())) {
      return std::string("\"") + field + "\" is not a time like 2026-12-07T12:00:00Z";
    }
  }
  return std::nullopt;
}

void store(json& object, const std::vector<TrustedDevice>& devices) {
  std::vector<std::string> identifiers;
  json details = json::object();
  for (const auto& device : devices) {
    identifiers.push_back(device.identifier);
    if (device.hasDetails) {
      details[device.identifier] = {{"deviceName", device.deviceName},
                                    {"pairedAt", device.pairedAt},
                                    {"lastAdmittedAt", device.lastAdmittedAt},
                                    {"lastAddress", device.lastAddress}};
    }
  }
  std::sort(identifiers.begin(), identifiers.end());
  identifiers.erase(std::unique(identifiers.begin(), identifiers.end()), identifiers.end());
  object[kIdentifiersKey] = identifiers;
  object[kDetailsKey] = std::move(details);
}

json member(const json& object, const std::string& key) {
  const auto found = object.find(key);
  return found == object.end() ? json() : *found;
}

}  // namespace

std::optional<WallClock::time_point> TrustedDevice::lastSeen() const {
  if (!hasDetails) {
    return std::nullopt;
  }
  if (auto admitted = parseUtcTime(lastAdmittedAt)) {
    return admitted;
  }
  return parseUtcTime(pairedAt);
}

std::string TrustedDevice::displayName() const {
  return deviceName.empty() ? "unnamed device " + shortIdentifier(identifier) : deviceName;
}

std::string formatUtcTime(WallClock::time_point time) {
  const std::time_t seconds = WallClock::to_time_t(time);
  std::tm parts{};
  ::gmtime_r(&seconds, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

std::optional<WallClock::time_point> parseUtcTime(std::string_view text) {
  if (text.size() != 20) {
    return std::nullopt;
  }
  const std::string copy(text);
  std::tm parts{};
  int consumed = 0;
  if (std::sscanf(copy.c_str(), "%4d-%2d-%2dT%2d:%2d:%2dZ%n", &parts.tm_year, &parts.tm_mon, &parts.tm_mday,
                  &parts.tm_hour, &parts.tm_min, &parts.tm_sec, &consumed) != 6 ||
      consumed != 20) {
    return std::nullopt;
  }
  // Beyond these the clock's nanoseconds overflow; no device was paired outside them.
  if (parts.tm_year < 1970 || parts.tm_year > 2200) {
    return std::nullopt;
  }
  parts.tm_year -= 1900;
  parts.tm_mon -= 1;
  const std::time_t seconds = ::timegm(&parts);
  const auto time = WallClock::from_time_t(seconds);
  // timegm normalises 31 February into March; only a time that prints back as given is one.
  if (seconds == -1 || formatUtcTime(time) != copy) {
    return std::nullopt;
  }
  return time;
}

std::string describeAge(WallClock::duration age) {
  using std::chrono::duration_cast;
  const auto plural = [](long long count, const char* unit) {
    return std::to_string(count) + " " + unit + (count == 1 ? "" : "s") + " ago";
  };
  if (age < std::chrono::minutes(1)) {
    return "moments ago";
  }
  if (age < std::chrono::hours(1)) {
    return plural(duration_cast<std::chrono::minutes>(age).count(), "minute");
  }
  if (age < std::chrono::hours(24)) {
    return plural(duration_cast<std::chrono::hours>(age).count(), "hour");
  }
  return plural(duration_cast<std::chrono::hours>(age).count() / 24, "day");
}

TrustedDevices::TrustedDevices(std::shared_ptr<UserDefaults> userDefaults, std::chrono::hours trustDuration, Clock clock)
    : userDefaults_(std::move(userDefaults)), trustDuration_(trustDuration), clock_(std::move(clock)) {}

void TrustedDevices::reportMalformed(const std::string& what, const std::string& why) const {
  {
    std::lock_guard lock(reportedLock_);
    if (!reported_.insert(what + why).second) {
      return;
    }
  }
  logger_.error("Ignoring the stored details of {}: {}; the device stays trusted", what, why);
}

std::vector<TrustedDevice> TrustedDevices::read(const json& identifiers, const json& details, bool report) const {
  if (report && !details.is_null() && !details.is_object()) {
    reportMalformed("trusted devices", "\"" + kDetailsKey + "\" is not an object");
  }
  std::map<std::string, TrustedDevice> devices;
  if (!identifiers.is_array()) {
    return {};
  }
  for (const auto& element : identifiers) {
    if (!element.is_string()) {
      continue;
    }
    TrustedDevice device;
    device.identifier = element.get<std::string>();
    const json stored = details.is_object() ? member(details, device.identifier) : json();
    if (!stored.is_null()) {
      if (const auto problem = detailsProblem(stored)) {
        if (report) {
          reportMalformed("device " + shortIdentifier(device.identifier), *problem);
        }
      } else {
        device.hasDetails = true;
        device.deviceName = stored["deviceName"].get<std::string>();
        device.pairedAt = stored["pairedAt"].get<std::string>();
        device.lastAdmittedAt = stored["lastAdmittedAt"].get<std::string>();
        device.lastAddress = stored["lastAddress"].get<std::string>();
      }
    }
    devices.insert_or_assign(device.identifier, std::move(device));
  }
  std::vector<TrustedDevice> sorted;
  for (auto& [identifier, device] : devices) {
    sorted.push_back(std::move(device));
  }
  return sorted;
}

std::vector<TrustedDevice> TrustedDevices::list() const {
  const json stored = userDefaults_->object();
  return read(member(stored, kIdentifiersKey), member(stored, kDetailsKey), true);
}

bool TrustedDevices::empty() const { return list().empty(); }

bool TrustedDevices::contains(const std::string& identifier) const {
  const auto devices = list();
  return std::any_of(devices.begin(), devices.end(),
                     [&](const TrustedDevice& device) { return device.identifier == identifier; });
}

bool TrustedDevices::isStale(const TrustedDevice& device, WallClock::time_point now) const {
  const auto seen = device.lastSeen();
  return trustDuration_.count() > 0 && seen && now - *seen > trustDuration_;
}

std::optional<std::vector<TrustedDevice>> TrustedDevices::remove(const std::function<bool(const TrustedDevice&)>& select) {
  std::vector<TrustedDevice> removed;
  const bool written = userDefaults_->update([&](json& object) {
    removed.clear();
    std::vector<TrustedDevice> kept;
    for (auto& device : read(member(object, kIdentifiersKey), member(object, kDetailsKey), false)) {
      (select(device) ? removed : kept).push_back(std::move(device));
    }
    store(object, kept);
  });
  if (!written) {
    return std::nullopt;
  }
  return removed;
}

void TrustedDevices::expireStale() {
  const auto now = clock_();
  const auto devices = list();
  if (std::none_of(devices.begin(), devices.end(), [&](const TrustedDevice& device) { return isStale(device, now); })) {
    return;  // nothing to write
  }
  const auto removed = remove([&](const TrustedDevice& device) { return isStale(device, now); });
  for (const auto& device : removed.value_or(std::vector<TrustedDevice>{})) {
    logger_.notice("Trust in \"{}\" expired: last admitted {}, more than {} days ago; it must present the code again",
                   printable(device.displayName()), device.lastAdmittedAt, trustDuration_.count() / 24);
  }
}

std::optional<TrustedDevice> TrustedDevices::trusted(const std::string& identifier) {
  const auto devices = list();
  const auto found = std::find_if(devices.begin(), devices.end(),
                                  [&](const TrustedDevice& device) { return device.identifier == identifier; });
  if (found == devices.end()) {
    return std::nullopt;
  }
  if (!isStale(*found, clock_())) {
    return *found;
  }
  expireStale();
  return std::nullopt;
}

TrustedDevices::Recorded TrustedDevices::recordAdmission(const std::string& identifier, const std::string& deviceName,
                                                         const std::string& address, bool byTrust) {
  const auto now = formatUtcTime(clock_());
  bool added = false;
  bool gone = false;
  const bool written = userDefaults_->update([&](json& object) {
    auto devices = read(member(object, kIdentifiersKey), member(object, kDetailsKey), false);
    auto found = std::find_if(devices.begin(), devices.end(),
                              [&](const TrustedDevice& device) { return device.identifier == identifier; });
    added = found == devices.end();
    if (added && byTrust) {
      gone = true;
      return;  // written back unchanged
    }
    if (added) {
      TrustedDevice device;
      device.identifier = identifier;
      found = devices.insert(devices.end(), std::move(device));
    }
    if (!found->hasDetails) {
      found->hasDetails = true;
      found->pairedAt = now;
    }
    found->deviceName = truncatedUtf8(deviceName, kLongestStoredName);
    found->lastAdmittedAt = now;
    found->lastAddress = truncatedUtf8(address, kLongestStoredName);
    store(object, devices);
  });
  if (!written) {
    return Recorded::failed;
  }
  if (gone) {
    return Recorded::gone;
  }
  return added ? Recorded::added : Recorded::updated;
}

std::optional<TrustedDevice> TrustedDevices::forget(const std::string& identifier) {
  if (!contains(identifier)) {
    return std::nullopt;
  }
  auto removed = remove([&](const TrustedDevice& device) { return device.identifier == identifier; });
  if (!removed || removed->empty()) {
    return std::nullopt;
  }
  return removed->front();
}

std::optional<std::vector<TrustedDevice>> TrustedDevices::forgetAll() {
  return remove([](const TrustedDevice&) { return true; });
}

bool TrustedDevices::alwaysAskForCode() const { return userDefaults_->boolValue(std::string(kAlwaysAskForCodeKey), false); }

bool TrustedDevices::setAlwaysAskForCode(bool alwaysAsk) {
  return userDefaults_->update([&](json& object) { object[std::string(kAlwaysAskForCodeKey)] = alwaysAsk; });
}

std::optional<std::string> normalizeClientIdentifier(const std::optional<std::string>& identifier) {
  if (!identifier) {
    return std::nullopt;
  }
  constexpr std::string_view kWhiteSpace = " \t\n\r\v\f";
  const auto first = identifier->find_first_not_of(kWhiteSpace);
  if (first == std::string::npos) {
    return std::nullopt;
  }
  const auto last = identifier->find_last_not_of(kWhiteSpace);
  return identifier->substr(first, last - first + 1);
}

}  // namespace velmora
