#include "client/input_script.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace velmora {
namespace {

using namespace std::chrono_literals;

Result<InputScript> parse(const std::string& text) {
  std::istringstream input(text);
  return parseInputScript(input);
}

TEST(InputScriptTest, ReadsEveryKindOfStepWithItsLineNumber) {
  const auto script = parse(
      "# warm up\n"
      "\n"
      "{\"sleep\": 0.5}\r\n"
      "   \n"
      "{\"waitForPictures\": {\"display\": 1, \"count\": 30, \"timeout\": 10}}\n"
      "  # indented comment\n"
      "{\"waitForServerHellos\": {\"count\": 2, \"timeout\": 2.5}}\n"
      "{\"mouseMove\":{\"x\":10,\"y\":20}}\n"
      "{\"changeVideoPort\": {}}");
  ASSERT_TRUE(script.ok()) << script.error();
  const InputScript expected = {
      {3, ScriptSleep{500ms}},
      {5, ScriptWaitForPictures{1, 30, 10s}},
      {7, ScriptWaitForServerHellos{2, 2500ms}},
      {8, ControlMessage(ControlMessage::MouseMove{10, 20})},
      {9, ScriptChangeVideoPort{}},
  };
  EXPECT_EQ(script.value(), expected);
}

TEST(InputScriptTest, FirstBadLineIsNamedWithWhy) {
  struct Case {
    std::string line;
    std::string error;  // after "line 3: "
  };
  const std::vector<Case> cases = {
      {"{\"sleep\": 1", "not JSON: "},
      {"{\"mouseMov\":{\"x\":1,\"y\":2}}", "unknown step \"mouseMov\": expected sleep, waitForPictures, "
                                            "waitForServerHellos, changeVideoPort or a control message"},
      {"{\"changeVideoPort\": {\"port\": 6000}}", "\"changeVideoPort\" takes an empty object: {\"changeVideoPort\": {}}"},
      {"{\"waitForPictures\": {\"display\": 0, \"count\": 5}}", "keyNotFound at waitForPictures: No value associated with key \"timeout\""},
      {"{\"waitForPictures\": {\"display\": 0, \"count\": 5, \"timout\": 3, \"timeout\": 3}}",
       "\"waitForPictures\" has no key \"timout\""},
      {"{\"clipboardSync\":{\"content\":\"" + std::string(1048576, 'a') + "\"}}",
       "the message is 1048608 bytes, more than the 1048576 a host accepts"},
  };
  for (const auto& [line, error] : cases) {
    const auto script = parse("{\"sleep\": 1}\n# fine so far\n" + line + "\n{\"requestKeyframe\":{}}\n");
    ASSERT_FALSE(script.ok()) << line;
    EXPECT_TRUE(script.error().starts_with("line 3: " + error)) << script.error();
  }
}

TEST(InputScriptTest, LoadSaysWhereTheScriptCameFrom) {
  std::istringstream standardInput("{\"sleep\": 1}\nnope\n");
  const auto fromStandardInput = loadInputScript("-", standardInput);
  ASSERT_FALSE(fromStandardInput.ok());
  EXPECT_TRUE(fromStandardInput.error().starts_with("standard input, line 2: not JSON")) << fromStandardInput.error();

  const auto missing = loadInputScript("/nonexistent/velmora-script.jsonl", standardInput);
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error(), "cannot open the script /nonexistent/velmora-script.jsonl: No such file or directory");
}

}  // namespace
}  // namespace velmora
