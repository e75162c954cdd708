#include "platform/libyuv/argb_frame_converter.h"

#include <libyuv/convert_from_argb.h>
#include <libyuv/planar_functions.h>
#include <libyuv/scale_argb.h>

#include <algorithm>

namespace velmora {
namespace {

// Changed rectangles kept before they are merged into one around them all.
constexpr std::size_t kMaximumChangedRectangles = 16;

PixelRect boundingRect(const PixelRect& first, const PixelRect& second) {
  if (first.isEmpty()) {
    return second;
  }
  const int left = std::min(first.x, second.x);
  const int top = std::min(first.y, second.y);
  return {left, top, std::max(first.x + first.width, second.x + second.width) - left,
          std::max(first.y + first.height, second.y + second.height) - top};
}

}  // namespace

void ChangedArea::add(const PixelRect& rectangle) {
  if (everything || rectangle.isEmpty()) {
    return;
  }
  rectangles.push_back(rectangle);
  if (rectangles.size() > kMaximumChangedRectangles) {
    PixelRect around;
    for (const PixelRect& each : rectangles) {
      around = boundingRect(around, each);
    }
    rectangles.assign(1, around);
  }
}

void ChangedArea::add(const ChangedArea& other) {
  everything = everything || other.everything;
  for (const PixelRect& rectangle : other.rectangles) {
    add(rectangle);
  }
}

void drawCursor(const ArgbImage& image, const CursorImage& cursor, int x, int y) {
  if (cursor.pixels.size() < static_cast<std::size_t>(cursor.width) * static_cast<std::size_t>(cursor.height)) {
    return;
  }
  const int left = x - cursor.hotX;
  const int top = y - cursor.hotY;
  const int clippedLeft = std::max(left, 0);
  const int clippedTop = std::max(top, 0);
  const int clippedRight = std::min(left + cursor.width, image.width);
  const int clippedBottom = std::min(top + cursor.height, image.height);
  if (clippedRight <= clippedLeft || clippedBottom <= clippedTop) {
    return;
  }
  const auto* cursorRow = reinterpret_cast<const std::uint8_t*>(
      cursor.pixels.data() + static_cast<std::ptrdiff_t>(clippedTop - top) * cursor.width + (clippedLeft - left));
  std::uint8_t* imageRow = image.pixels + static_cast<std::ptrdiff_t>(clippedTop) * image.stride + clippedLeft * 4;
  libyuv::ARGBBlend(cursorRow, cursor.width * 4, imageRow, image.stride, imageRow, image.stride, clippedRight - clippedLeft,
                    clippedBottom - clippedTop);
}

ArgbImage ArgbFrameConverter::scaled(const ArgbImage& image, int width, int height) {
  if (image.width == width && image.height == height) {
    return image;
  }
  const int stride = width * 4;
  scaledPixels_.resize(static_cast<std::size_t>(stride) * static_cast<std::size_t>(height));
  libyuv::ARGBScale(image.pixels, image.stride, image.width, image.height, scaledPixels_.data(), stride, width, height,
                    libyuv::kFilterBilinear);
  return ArgbImage{scaledPixels_.data(), stride, width, height};
}

void ArgbFrameConverter::convertToNv12(const ArgbImage& image, PixelBuffer& picture) {
  libyuv::ARGBToNV12(image.pixels, image.stride, picture.luma(), picture.lumaStride(), picture.chroma(),
                     picture.chromaStride(), picture.width(), picture.height());
}

void ArgbFrameConverter::convertToNv12(const ArgbImage& image, PixelBuffer& picture, int x, int y, int width, int height) {
  const int left = std::max(x, 0) & ~1;
  const int top = std::max(y, 0) & ~1;
  const int right = std::min(x + width + 1, picture.width()) & ~1;
  const int bottom = std::min(y + height + 1, picture.height()) & ~1;
  // An odd-sized picture's last column or row belongs to the chroma sample before it.
  const int columns = (right == (picture.width() & ~1) ? picture.width() : right) - left;
  const int rows = (bottom == (picture.height() & ~1) ? picture.height() : bottom) - top;
  if (columns <= 0 || rows <= 0) {
    return;
  }
  libyuv::ARGBToNV12(image.pixels + static_cast<std::ptrdiff_t>(top) * image.stride + left * 4, image.stride,
                     picture.luma() + static_cast<std::ptrdiff_t>(top) * picture.lumaStride() + left, picture.lumaStride(),
                     picture.chroma() + static_cast<std::ptrdiff_t>(top / 2) * picture.chromaStride() + left,
                     picture.chromaStride(), columns, rows);
}

void ArgbFrameConverter::update(const ArgbImage& image, const ChangedArea& changed, PixelBuffer& picture) {
  for (PictureChanges& each : pictureChanges_) {
    each.changes.add(changed);
  }
  auto entry = std::find_if(pictureChanges_.begin(), pictureChanges_.end(),
                            [&](const PictureChanges& each) { return each.picture == &picture; });
  if (entry == pictureChanges_.end()) {
    entry = pictureChanges_.insert(pictureChanges_.end(), PictureChanges{&picture, ChangedArea{}});
  }
  if (entry->changes.everything || image.width != picture.width() || image.height != picture.height()) {
    convert(image, picture);
  } else {
    for (const PixelRect& rectangle : entry->changes.rectangles) {
      convertToNv12(image, picture, rectangle.x, rectangle.y, rectangle.width, rectangle.height);
    }
  }
  entry->changes.clear();
}

}  // namespace velmora
