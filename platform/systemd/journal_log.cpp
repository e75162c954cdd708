#include "platform/systemd/journal_log.h"

#include "platform/log/log.h"

#include <errno.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

namespace velmora {
namespace {

std::optional<std::uint64_t> parseDecimal(std::string_view text) {
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
    return std::nullopt;
  }
  return value;
}

// The journal's levels, as syslog numbers them; "default" is notice there as here.
int journalPriority(log::Level level) {
  switch (level) {
    case log::Level::debug: return 7;
    case log::Level::info: return 6;
    case log::Level::notice: return 5;
    case log::Level::error: return 3;
  }
  return 3;
}

iovec field(const std::string& text) { return iovec{const_cast<char*>(text.data()), text.size()}; }

bool sendToJournal(const log::LogLine& line) {
  // The category leads the message as on standard error, so that plain journalctl output still
  // says which part of the host spoke; the field is there for filtering.
  const std::string message = "MESSAGE=[" + line.category + "] " + line.message;
  const std::string priority = "PRIORITY=" + std::to_string(journalPriority(line.level));
  const std::string category = "VELMORA_CATEGORY=" + line.category;
  const std::string identifier = std::string("SYSLOG_IDENTIFIER=") + program_invocation_short_name;
  const iovec fields[] = {field(message), field(priority), field(category), field(identifier)};
  // A journal that went away leaves the line to standard error, which still reaches the journal
  // as text if it comes back.
  return sd_journal_sendv(fields, std::size(fields)) >= 0;
}

}  // namespace

bool isJournalStream(int descriptor, const char* journalStream) {
  if (journalStream == nullptr) {
    return false;
  }
  const std::string_view value(journalStream);
  const auto separator = value.find(':');
  if (separator == std::string_view::npos) {
    return false;
  }
  const auto device = parseDecimal(value.substr(0, separator));
  const auto inode = parseDecimal(value.substr(separator + 1));
  struct stat status {};
  if (!device || !inode || fstat(descriptor, &status) != 0) {
    return false;
  }
  return static_cast<std::uint64_t>(status.st_dev) == *device && static_cast<std::uint64_t>(status.st_ino) == *inode;
}

bool sendLogToJournalWhenConnected() {
  if (!isJournalStream(STDERR_FILENO, std::getenv("JOURNAL_STREAM"))) {
    return false;
  }
  log::setLineSink(sendToJournal);
  return true;
}

}  // namespace velmora
