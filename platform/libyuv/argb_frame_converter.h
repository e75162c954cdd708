#pragma once

#include <cstdint>
#include <vector>

#include "platform/geometry.h"
#include "platform/sample_buffer.h"

namespace velmora {

// A picture in libyuv's ARGB order (bytes B, G, R, A in memory), which is how X lays out 32-bit
// TrueColor images and wl_shm its ARGB8888 buffers on little-endian machines. Borrowed: the owner keeps the pixels alive.
struct ArgbImage {
  std::uint8_t* pixels = nullptr;
  int stride = 0;  // bytes per row
  int width = 0;
  int height = 0;
};

// A pointer picture as XFixes hands it out: premultiplied ARGB words, row after row.
struct CursorImage {
  std::vector<std::uint32_t> pixels;
  int width = 0;
  int height = 0;
  int hotX = 0;
  int hotY = 0;
};

// Draws the cursor over the image with its hot spot at (x, y), clipped to the image.
void drawCursor(const ArgbImage& image, const CursorImage& cursor, int x, int y);

// What changed in an image since some earlier moment: rectangles in the image's coordinates, or
// all of it.
struct ChangedArea {
  bool everything = true;
  std::vector<PixelRect> rectangles;

  // Past a handful of rectangles they become one around them all.
  void add(const PixelRect& rectangle);
  void add(const ChangedArea& other);
  void clear() {
    everything = false;
    rectangles.clear();
  }
};

// Scales captured ARGB pictures to the stream's size and converts them to NV12 (BT.601, video
// range), all in libyuv. Keeps its scratch picture between frames; one thread at a time.
class ArgbFrameConverter {
 public:
  // The image itself when it has that size already, else a scaled copy that stays valid until the
  // next call.
  ArgbImage scaled(const ArgbImage& image, int width, int height);
  // The image must have the picture's size.
  static void convertToNv12(const ArgbImage& image, PixelBuffer& picture);
  // Only the rectangle at (x, y) of that size, widened to even edges as 4:2:0 chroma needs.
  static void convertToNv12(const ArgbImage& image, PixelBuffer& picture, int x, int y, int width, int height);

  void convert(const ArgbImage& image, PixelBuffer& picture) {
    convertToNv12(scaled(image, picture.width(), picture.height()), picture);
  }

  // Brings a picture of the capture's pool up to date with the image, which shows the whole
  // current frame, given what changed since the last call: only what changed since this picture
  // was last filled is converted, unless the stream scales. Pictures are known by address: give it
  // those of one pool.
  void update(const ArgbImage& image, const ChangedArea& changed, PixelBuffer& picture);

 private:
  struct PictureChanges {
    const PixelBuffer* picture = nullptr;
    ChangedArea changes;  // since the picture was last filled
  };

  std::vector<std::uint8_t> scaledPixels_;
  std::vector<PictureChanges> pictureChanges_;  // one for each picture seen so far
};

}  // namespace velmora
