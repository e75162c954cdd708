#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::TypedText {

// `text` with every byte that is not part of a valid UTF-8 sequence (stray continuation bytes,
// truncated or overlong sequences, surrogates, values above U+10FFFF) replaced by U+FFFD; nothing
// when `text` is already valid, so valid text is never copied.
std::optional<std::string> repairedUtf8(std::string_view text);

// `text` (valid UTF-8) cut, in order, into pieces of at most `charactersPerChunk` user-perceived
// characters (extended grapheme clusters). The pieces view `text`.
std::vector<std::string_view> graphemeClusterChunks(std::string_view text, std::size_t charactersPerChunk);

}  // namespace velmora::TypedText
