#include "platform/log/log.h"

#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <atomic>
#include <map>

namespace velmora::log {
namespace {

std::atomic<Level> minimumLevel{Level::info};
std::atomic<bool> showPrivate{false};

std::mutex memorySinksLock;
std::vector<MemoryLogSink*> memorySinks;

std::mutex lineSinkLock;
std::shared_ptr<const LineSink> lineSink;

std::shared_ptr<const LineSink> currentLineSink() {
  std::lock_guard lock(lineSinkLock);
  return lineSink;
}

spdlog::level::level_enum toSpdlog(Level level) {
  switch (level) {
    case Level::debug: return spdlog::level::debug;
    case Level::info: return spdlog::level::info;
    case Level::notice: return spdlog::level::warn;
    case Level::error: return spdlog::level::err;
  }
  return spdlog::level::err;
}

// Prints our level words ("default" for notice) where spdlog would print its own.
class LevelWordFlag : public spdlog::custom_flag_formatter {
 public:
  void format(const spdlog::details::log_msg& message, const std::tm&, spdlog::memory_buf_t& destination) override {
    std::string_view word = "error";
    switch (message.level) {
      case spdlog::level::trace:
      case spdlog::level::debug: word = "debug"; break;
      case spdlog::level::info: word = "info"; break;
      case spdlog::level::warn: word = "default"; break;
      default: break;
    }
    destination.append(word.data(), word.data() + word.size());
  }
  std::unique_ptr<custom_flag_formatter> clone() const override { return std::make_unique<LevelWordFlag>(); }
};

std::shared_ptr<spdlog::logger> loggerFor(std::string_view category) {
  static std::mutex loggersLock;
  static std::map<std::string, std::shared_ptr<spdlog::logger>, std::less<>> loggers;
  static const auto sink = [] {
    auto stderrSink = std::make_shared<spdlog::sinks::stderr_sink_mt>();
    auto formatter = std::make_unique<spdlog::pattern_formatter>(spdlog::pattern_time_type::utc);
    formatter->add_flag<LevelWordFlag>('*').set_pattern("%Y-%m-%dT%H:%M:%S.%eZ %* [%n] %v");
    stderrSink->set_formatter(std::move(formatter));
    return stderrSink;
  }();

  std::lock_guard lock(loggersLock);
  if (auto found = loggers.find(category); found != loggers.end()) {
    return found->second;
  }
  auto logger = std::make_shared<spdlog::logger>(std::string(category), sink);
  logger->set_level(spdlog::level::trace);  // filtering happens in Logger::write
  logger->flush_on(spdlog::level::trace);
  loggers.emplace(std::string(category), logger);
  return logger;
}

}  // namespace

std::string_view levelName(Level level) {
  switch (level) {
    case Level::debug: return "debug";
    case Level::info: return "info";
    case Level::notice: return "default";
    case Level::error: return "error";
  }
  return "error";
}

void setMinimumLevel(Level level) { minimumLevel = level; }
void setShowPrivateValues(bool show) { showPrivate = show; }
bool showPrivateValues() { return showPrivate; }

void setLineSink(LineSink sink) {
  auto installed = sink ? std::make_shared<const LineSink>(std::move(sink)) : nullptr;
  std::lock_guard lock(lineSinkLock);
  lineSink = std::move(installed);
}

Logger::Logger(std::string_view category) : category_(category), logger_(loggerFor(category)) {}

void Logger::write(Level level, std::string_view message) const {
  {
    std::lock_guard lock(memorySinksLock);
    for (auto* sink : memorySinks) {
      sink->add(LogLine{level, category_, std::string(message)});
    }
  }
  if (level < minimumLevel.load()) {
    return;
  }
  if (const auto sink = currentLineSink(); sink && (*sink)(LogLine{level, category_, std::string(message)})) {
    return;
  }
  logger_->log(toSpdlog(level), message);
}

MemoryLogSink::MemoryLogSink() {
  std::lock_guard lock(memorySinksLock);
  memorySinks.push_back(this);
}

MemoryLogSink::~MemoryLogSink() {
  std::lock_guard lock(memorySinksLock);
  std::erase(memorySinks, this);
}

std::vector<LogLine> MemoryLogSink::lines() const {
  std::lock_guard lock(linesLock_);
  return lines_;
}

std::size_t MemoryLogSink::count(std::string_view message) const {
  std::lock_guard lock(linesLock_);
  return static_cast<std::size_t>(std::count_if(lines_.begin(), lines_.end(), [&](const LogLine& line) { return line.message == message; }));
}

std::size_t MemoryLogSink::count(Level level, std::string_view message) const {
  std::lock_guard lock(linesLock_);
  return static_cast<std::size_t>(std::count_if(lines_.begin(), lines_.end(), [&](const LogLine& line) {
    return line.level == level && line.message == message;
  }));
}

std::size_t MemoryLogSink::countContaining(std::string_view fragment) const {
  std::lock_guard lock(linesLock_);
  return static_cast<std::size_t>(std::count_if(lines_.begin(), lines_.end(), [&](const LogLine& line) {
    return line.message.find(fragment) != std::string::npos;
  }));
}

void MemoryLogSink::clear() {
  std::lock_guard lock(linesLock_);
  lines_.clear();
}

void MemoryLogSink::add(LogLine line) {
  std::lock_guard lock(linesLock_);
  lines_.push_back(std::move(line));
}

}  // namespace velmora::log
