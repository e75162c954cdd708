#include "input/typed_text.h"

#include <utf8proc.h>

#include <algorithm>

namespace velmora::TypedText {
namespace {

constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";

// Bytes of the sequence at the start of `text` and its code point; 0 bytes when invalid.
std::size_t decodeOne(std::string_view text, utf8proc_int32_t& codePoint) {
  const auto length = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
                                       static_cast<utf8proc_ssize_t>(text.size()), &codePoint);
  return length > 0 ? static_cast<std::size_t>(length) : 0;
}

}  // namespace

std::optional<std::string> repairedUtf8(std::string_view text) {
  std::optional<std::string> repaired;
  std::size_t validFrom = 0;
  std::size_t position = 0;
  while (position < text.size()) {
    if (static_cast<unsigned char>(text[position]) < 0x80) {
      ++position;
      continue;
    }
    utf8proc_int32_t codePoint = 0;
    const std::size_t length = decodeOne(text.substr(position), codePoint);
    if (length > 0) {
      position += length;
      continue;
    }
    if (!repaired) {
      repaired.emplace();
      repaired->reserve(text.size() + kReplacementCharacter.size());
    }
    repaired->append(text.substr(validFrom, position - validFrom));
    repaired->append(kReplacementCharacter);
    ++position;
    validFrom = position;
  }
  if (repaired) {
    repaired->append(text.substr(validFrom));
  }
  return repaired;
}

std::vector<std::string_view> graphemeClusterChunks(std::string_view text, std::size_t charactersPerChunk) {
  charactersPerChunk = std::max<std::size_t>(charactersPerChunk, 1);
  std::vector<std::string_view> chunks;
  std::size_t chunkStart = 0;
  std::size_t charactersInChunk = 0;
  utf8proc_int32_t previous = -1;
  utf8proc_int32_t breakState = 0;
  std::size_t position = 0;
  while (position < text.size()) {
    utf8proc_int32_t codePoint = 0;
    std::size_t length = decodeOne(text.substr(position), codePoint);
    if (length == 0) {
      // Callers repair the text first; a stray byte is read as U+FFFD so that cutting goes on.
      codePoint = 0xFFFD;
      length = 1;
      breakState = 0;
    }
    const bool startsCharacter =
        previous < 0 || utf8proc_grapheme_break_stateful(previous, codePoint, &breakState);
    if (startsCharacter) {
      if (charactersInChunk == charactersPerChunk) {
        chunks.push_back(text.substr(chunkStart, position - chunkStart));
        chunkStart = position;
        charactersInChunk = 0;
      }
      ++charactersInChunk;
    }
    previous = codePoint;
    position += length;
  }
  if (position > chunkStart) {
    chunks.push_back(text.substr(chunkStart));
  }
  return chunks;
}

}  // namespace velmora::TypedText
