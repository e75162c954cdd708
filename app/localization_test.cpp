#include "app/localization.h"

#include "platform/log/log.h"
#include "velmora_resource_paths.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <fstream>
#include <set>

#include <unistd.h>

namespace velmora {
namespace {

namespace fs = std::filesystem;
using Kind = FormatArgument::Kind;

const fs::path kEnglishTable = fs::path(resource_paths::kSourceResourceDirectory) / "strings" / "en.json";

// A sample argument of each kind, by the kind's number: text, unsigned, signed.
const FormatArgument kSamples[] = {"Vision", std::uint32_t{4}, std::int64_t{1080}};

// The key's call with sample arguments of the kinds it takes.
std::string formatWithSamples(const StringTable& table, const LocalizationKey& key) {
  std::vector<FormatArgument> arguments;
  for (const Kind kind : key.arguments) {
    arguments.push_back(kSamples[static_cast<int>(kind)]);
  }
  switch (arguments.size()) {
    case 0: return table.format(key.key, {});
    case 1: return table.format(key.key, {arguments[0]});
    case 2: return table.format(key.key, {arguments[0], arguments[1]});
    default: return table.format(key.key, {arguments[0], arguments[1], arguments[2]});
  }
}

class LocalizationFileTest : public testing::Test {
 protected:
  fs::path write(const std::string& contents) {
    const auto file = directory_ / "en.json";
    std::ofstream(file, std::ios::binary | std::ios::trunc) << contents;
    return file;
  }

  void TearDown() override { fs::remove_all(directory_); }

  const fs::path directory_ = [] {
    auto made = fs::temp_directory_path() / ("velmora-localization-" + std::to_string(::getpid()));
    fs::create_directories(made);
    return made;
  }();
  log::MemoryLogSink logSink_;
};

TEST(LocalizationTest, EnglishTableHasAMatchingEntryForEveryKeyAndNoOthers) {
  log::MemoryLogSink logSink;
  const StringTable table(kEnglishTable);
  std::set<std::string_view> known;
  for (const auto& key : localizationKeys()) {
    known.insert(key.key);
    const std::string shown = formatWithSamples(table, key);
    EXPECT_FALSE(shown.starts_with(key.key)) << key.key << " shows " << shown;
    for (const Kind kind : key.arguments) {
      const auto& sample = kSamples[static_cast<int>(kind)].text();
      EXPECT_NE(shown.find(sample), std::string::npos) << key.key << " drops " << sample << ": " << shown;
    }
  }
  EXPECT_TRUE(logSink.lines().empty()) << logSink.lines().front().message;

  std::ifstream stream(kEnglishTable);
  const auto document = nlohmann::json::parse(stream);
  for (const auto& [key, value] : document.items()) {
    EXPECT_TRUE(known.contains(key)) << key << " is in en.json but not among the program's keys";
  }
}

TEST_F(LocalizationFileTest, FillsPlaceholdersInOrderAndKeepsLiteralPercentSigns) {
  const StringTable table(write(R"({"item": "%u: %ld × %ld (%@) 100%%", "plain": "50%% off"})"));

  EXPECT_EQ(table.format("item", {std::uint32_t{7}, std::int64_t{1920}, std::int64_t{-1080}, "Main"}),
            "7: 1920 × -1080 (Main) 100%");
  EXPECT_EQ(table.text("plain"), "50% off");
  EXPECT_TRUE(logSink_.lines().empty());
}

// A file or an entry that cannot be used shows the key and its arguments instead, with one log line
// for the file and one for the key however often it is asked for.
TEST_F(LocalizationFileTest, UnusableFilesAndEntriesShowTheKeyAndLogOnce) {
  struct Case {
    const char* name;
    std::optional<std::string> contents;  // none: no file at all
    std::size_t fileLines;
  };
  for (const auto& [name, contents, fileLines] :
       {Case{"missing file", std::nullopt, 1}, Case{"not JSON", "{\"status\": ", 1}, Case{"absent key", "{}", 0},
        Case{"not an object", R"(["Status: %@"])", 1}, Case{"too few placeholders", R"({"status": "Status"})", 0},
        Case{"wrong kind", R"({"status": "%u"})", 0}, Case{"unknown placeholder", R"({"status": "%s"})", 0},
        Case{"trailing percent", R"({"status": "%@ 100%"})", 0}}) {
    SCOPED_TRACE(name);
    fs::remove(directory_ / "en.json");
    const fs::path file = contents ? write(*contents) : directory_ / "en.json";
    logSink_.clear();
    const StringTable table(file);
    EXPECT_EQ(table.format("status", {"Vision"}), "status Vision");
    EXPECT_EQ(table.format("status", {"Vision"}), "status Vision");
    EXPECT_EQ(logSink_.lines().size(), fileLines + 1);
    EXPECT_EQ(logSink_.countContaining("\"status\""), 1u);
  }
}

TEST(LocalizationTest, ResourcesComeFromTheVariableOrFromTheSourceTreeForABuildTreeRun) {
  ::setenv("VELMORA_RESOURCES_DIR", "/opt/velmora-resources", 1);
  EXPECT_EQ(resourceDirectory(), fs::path("/opt/velmora-resources"));
  ::setenv("VELMORA_RESOURCES_DIR", "", 1);
  EXPECT_EQ(resourceDirectory(), fs::path(resource_paths::kSourceResourceDirectory));
  ::unsetenv("VELMORA_RESOURCES_DIR");
  EXPECT_EQ(resourceDirectory(), fs::path(resource_paths::kSourceResourceDirectory));
}

}  // namespace
}  // namespace velmora
