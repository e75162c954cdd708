#pragma once

#include <nlohmann/json.hpp>

namespace velmora {

// Ordered, so that keys come out in the order they are written.
using Json = nlohmann::ordered_json;

// A JSON number for a coordinate or distance; throws EncodingError for NaN and infinities.
Json jsonNumber(double value);

}  // namespace velmora
