#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/sample_buffer.h"

namespace velmora {

// A few pictures of one size, reused: a picture comes back to the pool when its last holder
// lets go of it, on that holder's thread, and is never handed out while someone still holds it.
class PixelBufferPool {
 public:
  PixelBufferPool(int width, int height, std::size_t capacity);

  // A picture nobody else holds (its old contents still in it), or none when all `capacity`
  // pictures are held downstream.
  std::shared_ptr<PixelBuffer> acquire();

  int width() const { return width_; }
  int height() const { return height_; }

 private:
  // Pictures out hold it weakly: one that comes back after the pool is gone is freed.
  struct Storage {
    std::mutex freePicturesLock;
    std::vector<std::unique_ptr<PixelBuffer>> freePictures;
  };

  const int width_;
  const int height_;
  const std::size_t capacity_;
  std::size_t created_ = 0;  // touched by acquire() only, which one thread calls
  std::shared_ptr<Storage> storage_ = std::make_shared<Storage>();
};

}  // namespace velmora
