#include "platform/sample_buffer.h"

namespace velmora {

PixelBuffer::PixelBuffer(int width, int height)
    : width_(width),
      height_(height),
      luma_(static_cast<std::size_t>(width) * static_cast<std::size_t>(height)),
      chroma_(static_cast<std::size_t>(width) * static_cast<std::size_t>(height / 2)) {}

}  // namespace velmora
