#include "input/typed_text.h"

#include <gtest/gtest.h>

namespace velmora {
namespace {

std::string repeated(const std::string& character, int count) {
  std::string text;
  for (int i = 0; i < count; ++i) {
    text += character;
  }
  return text;
}

TEST(TypedTextTest, InvalidBytesAreEachReplacedAndValidTextIsLeftAlone) {
  struct Case {
    const char* what;
    std::string text;
    std::optional<std::string> expected;
  };
  const std::string fffd = "\xEF\xBF\xBD";
  const std::vector<Case> cases = {
      {"valid, all lengths, embedded NUL", std::string("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\0b", 12), std::nullopt},
      {"stray continuation byte", "a\x80" "b", "a" + fffd + "b"},
      {"truncated at the end", "x\xE2\x82", "x" + fffd + fffd},
      {"overlong slash", "\xC0\xAF", fffd + fffd},
      {"surrogate", "\xED\xA0\x80", fffd + fffd + fffd},
      {"above U+10FFFF", "\xF4\x90\x80\x80!", fffd + fffd + fffd + fffd + "!"},
  };
  for (const auto& testCase : cases) {
    EXPECT_EQ(TypedText::repairedUtf8(testCase.text), testCase.expected) << testCase.what;
  }
}

TEST(TypedTextTest, ChunksCountUserPerceivedCharacters) {
  const std::pair<const char*, std::string> cases[] = {  // each one user-perceived character
      {"combining marks", "a\xCC\x8A\xCC\x81"},
      {"family emoji with ZWJ", "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7"},
      {"flag", "\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7"},
      {"skin tone", "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD"},
      {"CR LF", "\r\n"},
      {"Hangul jamo", "\xE1\x84\x80\xE1\x85\xA1\xE1\x86\xA8"},
  };
  EXPECT_TRUE(TypedText::graphemeClusterChunks("", 32).empty());
  for (const auto& [what, character] : cases) {
    const std::string text = repeated(character, 65);
    const auto chunks = TypedText::graphemeClusterChunks(text, 32);
    EXPECT_EQ(std::vector<std::string>(chunks.begin(), chunks.end()),
              (std::vector<std::string>{repeated(character, 32), repeated(character, 32), character}))
        << what;
  }
}

}  // namespace
}  // namespace velmora
