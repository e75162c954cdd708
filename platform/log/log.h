#pragma once

#include <fmt/format.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/log/log_throttle.h"

namespace spdlog {
class logger;
}

namespace velmora::log {

// Log texts are the host's fixed log format, which tools and people read: they keep the words
// they were given ("VP" for the client, "Mac" for this host, "XCTest" for a test run, menu-bar
// and screen-recording wording) even where the code around them names things for Linux.

// The four levels the host logs at; "default" sits between info and error.
enum class Level { debug, info, notice, error };

std::string_view levelName(Level level);  // "debug", "info", "default", "error"

// Global settings, set once at start-up before any logging threads run.
void setMinimumLevel(Level level);
void setShowPrivateValues(bool show);
bool showPrivateValues();

// A value that identifies a person or a network peer: printed as "<private>" unless the user
// asked for private values with --log-private.
template <class T>
struct PrivateValue {
  T value;
};
template <class T>
PrivateValue<T> privateValue(T value) {
  return PrivateValue<T>{std::move(value)};
}

// One logger per category ("ControlChannel", "VideoStream", ...). Cheap to copy; thread-safe.
class Logger {
 public:
  explicit Logger(std::string_view category);

  template <class... Args>
  void debug(fmt::format_string<Args...> format, Args&&... args) const {
    write(Level::debug, fmt::format(format, std::forward<Args>(args)...));
  }
  template <class... Args>
  void info(fmt::format_string<Args...> format, Args&&... args) const {
    write(Level::info, fmt::format(format, std::forward<Args>(args)...));
  }
  // The "default" level.
  template <class... Args>
  void notice(fmt::format_string<Args...> format, Args&&... args) const {
    write(Level::notice, fmt::format(format, std::forward<Args>(args)...));
  }
  template <class... Args>
  void error(fmt::format_string<Args...> format, Args&&... args) const {
    write(Level::error, fmt::format(format, std::forward<Args>(args)...));
  }

  void write(Level level, std::string_view message) const;
  const std::string& category() const { return category_; }

 private:
  std::string category_;
  std::shared_ptr<spdlog::logger> logger_;
};

struct LogLine {
  Level level;
  std::string category;
  std::string message;
};

// Takes the lines at or above the minimum level in place of standard error (the system journal,
// for one); a line it refuses (returns false for) is written to standard error as usual. An empty
// function restores standard error. Set at start-up, like the settings above.
using LineSink = std::function<bool(const LogLine& line)>;
void setLineSink(LineSink sink);

// Collects every line logged while it exists (all levels, whatever the minimum level), for tests.
class MemoryLogSink {
 public:
  MemoryLogSink();
  ~MemoryLogSink();
  MemoryLogSink(const MemoryLogSink&) = delete;
  MemoryLogSink& operator=(const MemoryLogSink&) = delete;

  std::vector<LogLine> lines() const;
  // Number of lines whose message equals `message` exactly (and whose level matches, if given).
  std::size_t count(std::string_view message) const;
  std::size_t count(Level level, std::string_view message) const;
  // Number of lines whose message contains `fragment`.
  std::size_t countContaining(std::string_view fragment) const;
  void clear();

  void add(LogLine line);

 private:
  mutable std::mutex linesLock_;
  std::vector<LogLine> lines_;
};

}  // namespace velmora::log

template <class T>
struct fmt::formatter<velmora::log::PrivateValue<T>> : fmt::formatter<std::string_view> {
  template <class FormatContext>
  auto format(const velmora::log::PrivateValue<T>& value, FormatContext& context) const {
    if (!velmora::log::showPrivateValues()) {
      return fmt::formatter<std::string_view>::format("<private>", context);
    }
    return fmt::formatter<std::string_view>::format(fmt::format("{}", value.value), context);
  }
};
