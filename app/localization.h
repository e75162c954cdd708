#pragma once

#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace velmora {

// One argument of a format text. Each kind has its placeholder in the string tables: "%@" for a
// text, "%u" for an unsigned identifier, "%ld" for a signed integer; "%%" is a literal percent.
class FormatArgument {
 public:
  enum class Kind { text, unsignedInteger, signedInteger };

  FormatArgument(std::string_view text) : kind_(Kind::text), text_(text) {}
  FormatArgument(const std::string& text) : kind_(Kind::text), text_(text) {}
  FormatArgument(const char* text) : kind_(Kind::text), text_(text) {}
  FormatArgument(std::uint32_t value) : kind_(Kind::unsignedInteger), text_(std::to_string(value)) {}
  FormatArgument(std::int64_t value) : kind_(Kind::signedInteger), text_(std::to_string(value)) {}

  Kind kind() const { return kind_; }
  const std::string& text() const { return text_; }

 private:
  Kind kind_;
  std::string text_;
};

// A "mac." key the program shows, with the arguments its text takes, in order.
struct LocalizationKey {
  std::string_view key;
  std::vector<FormatArgument::Kind> arguments;
};
// Every key the program uses.
const std::vector<LocalizationKey>& localizationKeys();

// The user-visible texts of one language, read from a JSON object of key-to-text entries. Nothing
// read from the file can make a lookup fail: a missing or malformed file, a missing entry, or an
// entry whose placeholders do not match the arguments shows the key instead (a format shows the
// key followed by its arguments), and the fault is logged once per key. Thread-safe.
class StringTable {
 public:
  explicit StringTable(const std::filesystem::path& file);
  StringTable(const StringTable&) = delete;
  StringTable& operator=(const StringTable&) = delete;

  std::string text(std::string_view key) const;
  std::string format(std::string_view key, std::initializer_list<FormatArgument> arguments) const;

 private:
  void reportOnce(std::string_view key, std::string_view problem) const;

  std::filesystem::path file_;
  std::map<std::string, std::string, std::less<>> texts_;
  mutable std::mutex reportedKeysLock_;
  mutable std::set<std::string, std::less<>> reportedKeys_;
};

// Where the string tables, icons and help page are: $VELMORA_RESOURCES_DIR when set; the source
// tree's resources/ for a program run from the build tree; otherwise the installed data folder.
std::filesystem::path resourceDirectory();

// The program's texts, from the English table under resourceDirectory(), read on first use.
std::string localized(std::string_view key);
std::string localizedFormat(std::string_view key, std::initializer_list<FormatArgument> arguments);

}  // namespace velmora
