#include "protocol/json.h"

#include <cmath>
#include <cstdint>
#include <string>

#include "protocol/decoding_error.h"

namespace velmora {

Json jsonNumber(double value) {
  if (!std::isfinite(value)) {
    throw EncodingError("Unable to encode " + std::to_string(value) + " directly in JSON.");
  }
  // Whole numbers are written without a fraction ("100", not "100.0"); peers read both forms.
  constexpr double largestExactInteger = 9007199254740992.0;  // 2^53
  if (std::trunc(value) == value && std::fabs(value) < largestExactInteger) {
    return static_cast<std::int64_t>(value);
  }
  return value;
}

}  // namespace velmora
