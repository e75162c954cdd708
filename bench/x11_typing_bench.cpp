// Typing rates into real toolkit entries on a private Xvfb, in characters per second from the
// first postUnicodeString until the entry holds as many characters as were typed: text within the
// spare key codes (200 characters drawn from 10 that no key carries) and text far beyond them
// (2,000 characters of mixed CJK). "exact" is 1 when the text came out right.
#include <benchmark/benchmark.h>

#include <chrono>
#include <string>

#include "platform/x11/testing/toolkit_entries/toolkit_entry.h"
#include "platform/x11/x11_input_backend.h"

namespace velmora {
namespace {

using testing::Toolkit;

void appendUtf8(std::string& text, char32_t codePoint) {  // U+0800 to U+FFFF
  text += static_cast<char>(0xE0 | (codePoint >> 12));
  text += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
  text += static_cast<char>(0x80 | (codePoint & 0x3F));
}

std::string withinSpareSet() {
  std::string text;
  for (char32_t index = 0; index < 200; ++index) {
    appendUtf8(text, 0x3042 + 2 * (index * 7 % 10));  // あ い う ... hiragana
  }
  return text;
}

// Ideographs, with hiragana every fourth and hangul every seventh character; nearly all distinct.
std::string mixedCjk() {
  std::string text;
  for (char32_t index = 0; index < 2000; ++index) {
    appendUtf8(text, index % 4 == 0   ? 0x3041 + index % 86
                     : index % 7 == 0 ? 0xAC00 + index * 31 % 11000
                                      : 0x4E00 + index * 7919 % 20000);
  }
  return text;
}

void typeInto(benchmark::State& state, Toolkit toolkit, std::string (*makeText)()) {
  const std::string text = makeText();
  const std::size_t length = codePointsOf(text).size();
  for (auto _ : state) {
    const testing::XvfbServer server(640, 480);
    testing::ToolkitEntry entry(server, toolkit);
    const auto backend = makeX11InputBackend(server.display());
    if (!entry.focused() || !backend.ok()) {
      state.SkipWithError("no Xvfb, entry or input backend here");
      return;
    }
    const auto start = std::chrono::steady_clock::now();
    backend.value()->postUnicodeString(text);
    const std::string shown = entry.waitForText(length, std::chrono::minutes(2));
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
    state.SetIterationTime(seconds.count());
    state.counters["chars_per_s"] = static_cast<double>(codePointsOf(shown).size()) / seconds.count();
    state.counters["exact"] = shown == text ? 1 : 0;
  }
}

BENCHMARK_CAPTURE(typeInto, tk_within_spare_set, Toolkit::tk, withinSpareSet)->Iterations(1)->UseManualTime();
BENCHMARK_CAPTURE(typeInto, tk_mixed_cjk, Toolkit::tk, mixedCjk)->Iterations(1)->UseManualTime();
BENCHMARK_CAPTURE(typeInto, gtk_within_spare_set, Toolkit::gtk, withinSpareSet)->Iterations(1)->UseManualTime();
BENCHMARK_CAPTURE(typeInto, gtk_mixed_cjk, Toolkit::gtk, mixedCjk)->Iterations(1)->UseManualTime();
BENCHMARK_CAPTURE(typeInto, qt_within_spare_set, Toolkit::qt, withinSpareSet)->Iterations(1)->UseManualTime();
BENCHMARK_CAPTURE(typeInto, qt_mixed_cjk, Toolkit::qt, mixedCjk)->Iterations(1)->UseManualTime();

}  // namespace
}  // namespace velmora

BENCHMARK_MAIN();
