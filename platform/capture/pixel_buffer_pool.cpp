#include "platform/capture/pixel_buffer_pool.h"

namespace velmora {

PixelBufferPool::PixelBufferPool(int width, int height, std::size_t capacity)
    : width_(width), height_(height), capacity_(capacity) {}

std::shared_ptr<PixelBuffer> PixelBufferPool::acquire() {
  std::unique_ptr<PixelBuffer> picture;
  {
    std::lock_guard lock(storage_->freePicturesLock);
    if (!storage_->freePictures.empty()) {
      picture = std::move(storage_->freePictures.back());
      storage_->freePictures.pop_back();
    }
  }
  if (!picture) {
    if (created_ >= capacity_) {
      return nullptr;
    }
    picture = std::make_unique<PixelBuffer>(width_, height_);
    ++created_;
  }
  // The deleter takes ownership back; the mutex hand-over orders the holder's last reads before
  // the next writer's first writes.
  return std::shared_ptr<PixelBuffer>(picture.release(), [weakStorage = std::weak_ptr<Storage>(storage_)](PixelBuffer* returned) {
    std::unique_ptr<PixelBuffer> owned(returned);
    if (const auto storage = weakStorage.lock()) {
      std::lock_guard lock(storage->freePicturesLock);
      storage->freePictures.push_back(std::move(owned));
    }
  });
}

}  // namespace velmora
