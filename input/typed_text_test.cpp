#include "input/typed_text.h"

#include <gtest/gtest.h>

namespace velmora {
namespace {

std::string repeated(const std::string& character, std::size_t count) {
  std::string text;
  while (text.size() < character.size() * count) {
    text += character;
  }
  return text;
}

TEST(TypedTextTest, InvalidBytesAreEachReplacedAndValidTextIsLeftAlone) {
  const std::string fffd = "\xEF\xBF\xBD";
  EXPECT_EQ(TypedText::repairedUtf8(std::string("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\0b", 12)), std::nullopt);
  // A stray continuation byte, a sequence cut short, an overlong slash, a surrogate, above U+10FFFF.
  EXPECT_EQ(TypedText::repairedUtf8("a\x80" "b" "x\xE2\x82"), "a" + fffd + "bx" + fffd + fffd);
  EXPECT_EQ(TypedText::repairedUtf8("\xC0\xAF" "\xED\xA0\x80"), fffd + fffd + fffd + fffd + fffd);
  EXPECT_EQ(TypedText::repairedUtf8("\xF4\x90\x80\x80!"), fffd + fffd + fffd + fffd + "!");
}

TEST(TypedTextTest, ChunksCountUserPerceivedCharacters) {
  const std::pair<const char*, std::string> cases[] = {  // each one user-perceived character
      {"combining marks", "a\xCC\x8A\xCC\x81"},
      {"family emoji with ZWJ", "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7"},
      {"flag", "\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7"},
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
