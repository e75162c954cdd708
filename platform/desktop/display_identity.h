#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/geometry.h"
#include "platform/input_backend.h"

namespace velmora {

// A display ID for the name a desktop gives a display (a connector, a stream's id): the same in
// every run and every process, so that a client's choice survives a restart; never 0.
std::uint32_t displayIDForName(std::string_view name);

// The display whose bounds hold `point`, else the one nearest to it (by the distance to its
// nearest pixel): where a point between or beyond displays goes. The first of equally near
// ones; none without displays.
std::optional<std::size_t> nearestDisplay(const std::vector<Rect>& bounds, GlobalPoint point);

}  // namespace velmora
