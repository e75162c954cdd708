#include "app/trust_command.h"

#include <gtest/gtest.h>

#include "platform/testing/in_memory_user_defaults.h"

namespace velmora {
namespace {

struct Outcome {
  int status = 0;
  std::string output;
  std::string errors;
};

std::string contents(std::FILE* file) {
  std::rewind(file);
  std::string text;
  for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) {
    text += static_cast<char>(c);
  }
  std::fclose(file);
  return text;
}

Outcome run(const std::vector<std::string>& arguments, const std::shared_ptr<UserDefaults>& defaults) {
  auto options = parseHostOptions(arguments);
  EXPECT_TRUE(options.ok());
  std::FILE* output = std::tmpfile();
  std::FILE* errors = std::tmpfile();
  const int status = runTrustCommand(options.value(), defaults, output, errors);
  return {status, contents(output), contents(errors)};
}

TEST(TrustCommandTest, ListsAndForgetsOneOrAllDevices) {
  auto defaults = std::make_shared<testing::InMemoryUserDefaults>();
  defaults->update([](nlohmann::json& object) {
    object["trustedClientIdentifiers"] = {"id-A", "id-B", "id-C"};
    object["trustedClientDetails"] = {{"id-A",
                                       {{"deviceName", "Vision\tPro"},
                                        {"pairedAt", "2026-01-02T03:04:05Z"},
                                        {"lastAdmittedAt", "2026-12-01T00:00:00Z"},
                                        {"lastAddress", "192.0.2.7"}}}};
  });
  // Listing never expires anything, however old the last admission.
  const std::vector<std::pair<std::vector<std::string>, Outcome>> steps = {
      {{"--list-trusted", "--trust-days=1"},
       {0, "id-A\tVision?Pro\t2026-01-02T03:04:05Z\t2026-12-01T00:00:00Z\t192.0.2.7\nid-B\t-\t-\t-\t-\nid-C\t-\t-\t-\t-\n", ""}},
      {{"--forget-trusted", "id-Z"}, {1, "", "velmora-host: no trusted device has the identifier 'id-Z' (see --list-trusted)\n"}},
      {{"--forget-trusted", "id-A"}, {0, "Forgot \"Vision?Pro\" (id-A)\n", ""}},
      {{"--forget-trusted", "all"}, {0, "Forgot \"unnamed device id-B\" (id-B)\nForgot \"unnamed device id-C\" (id-C)\n", ""}},
      {{"--forget-trusted", "all"}, {0, "", "velmora-host: no trusted devices to forget\n"}},
      {{"--list-trusted"}, {0, "", "velmora-host: no trusted devices\n"}},
  };
  for (const auto& [arguments, expected] : steps) {
    const auto result = run(arguments, defaults);
    EXPECT_EQ(result.status, expected.status) << arguments[0] << " " << arguments.back();
    EXPECT_EQ(result.output, expected.output);
    EXPECT_EQ(result.errors, expected.errors);
  }
  EXPECT_EQ(defaults->value("trustedClientIdentifiers"), nlohmann::json::array());

  defaults->setStringArray("trustedClientIdentifiers", {"id-A"});
  defaults->failWrites(true);
  const auto failed = run({"--forget-trusted", "id-A"}, defaults);
  EXPECT_EQ(failed.status, 1);
  EXPECT_EQ(failed.errors, "velmora-host: could not write the trusted devices (see the log above)\n");
}

}  // namespace
}  // namespace velmora
