#include "platform/wayland/wayland_screencopy.h"

#include <fmt/format.h>
#include <libyuv/convert_argb.h>
#include <sys/mman.h>
#include <wayland-client.h>

#include "platform/file_descriptor.h"
#include "platform/wayland/protocols/wlr-screencopy-unstable-v1-client.h"

namespace velmora {
namespace {

// What a frame may need, at most: 16384 pixels a side at 4 bytes each.
constexpr std::size_t kMaximumBufferSize = std::size_t{16384} * 16384 * 4;

bool readsAsArgb(std::uint32_t format) { return format == WL_SHM_FORMAT_ARGB8888 || format == WL_SHM_FORMAT_XRGB8888; }
bool readsAsAbgr(std::uint32_t format) { return format == WL_SHM_FORMAT_ABGR8888 || format == WL_SHM_FORMAT_XBGR8888; }

}  // namespace

WaylandScreencopy::WaylandScreencopy(zwlr_screencopy_manager_v1* manager, wl_shm* shm) : manager_(manager), shm_(shm) {}

WaylandScreencopy::~WaylandScreencopy() {
  if (frame_ != nullptr) {
    zwlr_screencopy_frame_v1_destroy(frame_);
  }
  releaseBuffer();
}

void WaylandScreencopy::request(wl_output* output, bool overlayCursor, bool onlyWhenDamaged) {
  static const zwlr_screencopy_frame_v1_listener listener = {&onBuffer, &onFlags,  &onReady,     &onFailed,
                                                             &onDamage, &onDmabuf, &onBufferDone};
  if (frame_ != nullptr) {
    zwlr_screencopy_frame_v1_destroy(frame_);
  }
  state_ = State::copying;
  onlyWhenDamaged_ = onlyWhenDamaged && zwlr_screencopy_manager_v1_get_version(manager_) >= 2;
  usableOffer_.reset();
  offeredFormats_.clear();
  dmabufOffered_ = false;
  yInverted_ = false;
  unusableReason_.reset();
  changed_ = ChangedArea{};
  frame_ = zwlr_screencopy_manager_v1_capture_output(manager_, overlayCursor ? 1 : 0, output);
  zwlr_screencopy_frame_v1_add_listener(frame_, &listener, this);
}

ArgbImage WaylandScreencopy::picture() const {
  auto* pixels = static_cast<std::uint8_t*>(mapping_);
  if (!yInverted_) {
    return ArgbImage{pixels, bufferShape_.stride, bufferShape_.width, bufferShape_.height};
  }
  // Bottom row first: read upwards, which libyuv does with a negative stride.
  return ArgbImage{pixels + static_cast<std::ptrdiff_t>(bufferShape_.height - 1) * bufferShape_.stride, -bufferShape_.stride,
                   bufferShape_.width, bufferShape_.height};
}

void WaylandScreencopy::offer(const Offer& offered) {
  offeredFormats_ += fmt::format("{}0x{:08x}", offeredFormats_.empty() ? "" : ", ", offered.format);
  const bool fits = offered.width > 0 && offered.height > 0 && offered.stride >= offered.width * 4 &&
                    static_cast<std::size_t>(offered.stride) * static_cast<std::size_t>(offered.height) <= kMaximumBufferSize;
  if (!usableOffer_ && fits && (readsAsArgb(offered.format) || readsAsAbgr(offered.format))) {
    usableOffer_ = offered;
  }
}

// Before version 3 a frame offers one buffer and nothing ends the list: the copy starts at once.
void WaylandScreencopy::copy() {
  if (!usableOffer_) {
    unusableReason_ = dmabufOffered_ && offeredFormats_.empty()
                          ? "the compositor offers screen copies in dmabuf buffers only, which are not supported"
                          : "the compositor offers screen copies in no 32-bit RGB wl_shm format (offered: " +
                                (offeredFormats_.empty() ? std::string("none") : offeredFormats_) + ")";
    finish(State::failed);
    return;
  }
  if (onlyWhenDamaged_) {
    changed_.clear();  // the damage events fill it in, unless the buffer is new
  }
  if (!prepareBuffer(*usableOffer_)) {
    unusableReason_ = "cannot make a shared memory buffer for screen copies";
    finish(State::failed);
    return;
  }
  if (onlyWhenDamaged_) {
    zwlr_screencopy_frame_v1_copy_with_damage(frame_, buffer_);
  } else {
    zwlr_screencopy_frame_v1_copy(frame_, buffer_);
  }
}

bool WaylandScreencopy::prepareBuffer(const Offer& wanted) {
  if (buffer_ != nullptr && wanted.format == bufferShape_.format && wanted.width == bufferShape_.width &&
      wanted.height == bufferShape_.height && wanted.stride == bufferShape_.stride) {
    return true;
  }
  releaseBuffer();
  changed_ = ChangedArea{};  // a new buffer holds nothing of the pictures before
  const std::size_t size = static_cast<std::size_t>(wanted.stride) * static_cast<std::size_t>(wanted.height);
  FileDescriptor memory(memfd_create("velmora-screencopy", MFD_CLOEXEC));
  if (!memory.isOpen() || ftruncate(memory.get(), static_cast<off_t>(size)) != 0) {
    return false;
  }
  void* mapping = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, memory.get(), 0);
  if (mapping == MAP_FAILED) {
    return false;
  }
  // The buffer keeps the pool's memory alive in the compositor; our side needs only the mapping.
  wl_shm_pool* pool = wl_shm_create_pool(shm_, memory.get(), static_cast<std::int32_t>(size));
  buffer_ = wl_shm_pool_create_buffer(pool, 0, wanted.width, wanted.height, wanted.stride, wanted.format);
  wl_shm_pool_destroy(pool);
  mapping_ = mapping;
  mappingSize_ = size;
  bufferShape_ = wanted;
  return true;
}

void WaylandScreencopy::releaseBuffer() {
  if (buffer_ != nullptr) {
    wl_buffer_destroy(buffer_);
    buffer_ = nullptr;
  }
  if (mapping_ != nullptr) {
    munmap(mapping_, mappingSize_);
    mapping_ = nullptr;
  }
}

void WaylandScreencopy::finish(State outcome) {
  zwlr_screencopy_frame_v1_destroy(frame_);
  frame_ = nullptr;
  state_ = outcome;
}

void WaylandScreencopy::onBuffer(void* data, zwlr_screencopy_frame_v1* frame, std::uint32_t format, std::uint32_t width,
                                 std::uint32_t height, std::uint32_t stride) {
  auto& self = *static_cast<WaylandScreencopy*>(data);
  self.offer(Offer{format, static_cast<int>(std::min<std::uint32_t>(width, 1U << 30)),
                   static_cast<int>(std::min<std::uint32_t>(height, 1U << 30)),
                   static_cast<int>(std::min<std::uint32_t>(stride, 1U << 30))});
  if (zwlr_screencopy_frame_v1_get_version(frame) < 3) {
    self.copy();
  }
}

void WaylandScreencopy::onFlags(void* data, zwlr_screencopy_frame_v1*, std::uint32_t flags) {
  auto& self = *static_cast<WaylandScreencopy*>(data);
  self.yInverted_ = (flags & ZWLR_SCREENCOPY_FRAME_V1_FLAGS_Y_INVERT) != 0;
  if (self.yInverted_) {
    self.changed_.everything = true;  // whether damage counts rows from the top or the bottom is not said
  }
}

void WaylandScreencopy::onReady(void* data, zwlr_screencopy_frame_v1*, std::uint32_t secondsHigh, std::uint32_t secondsLow,
                                std::uint32_t nanoseconds) {
  auto& self = *static_cast<WaylandScreencopy*>(data);
  const auto seconds = (static_cast<std::uint64_t>(secondsHigh) << 32) | secondsLow;
  self.shownAt_ = static_cast<double>(seconds) + nanoseconds / 1e9;
  if (readsAsAbgr(self.bufferShape_.format)) {
    auto* pixels = static_cast<std::uint8_t*>(self.mapping_);
    libyuv::ABGRToARGB(pixels, self.bufferShape_.stride, pixels, self.bufferShape_.stride, self.bufferShape_.width,
                       self.bufferShape_.height);
  }
  self.finish(State::ready);
}

void WaylandScreencopy::onFailed(void* data, zwlr_screencopy_frame_v1*) {
  static_cast<WaylandScreencopy*>(data)->finish(State::failed);
}

void WaylandScreencopy::onDamage(void* data, zwlr_screencopy_frame_v1*, std::uint32_t x, std::uint32_t y,
                                 std::uint32_t width, std::uint32_t height) {
  auto& self = *static_cast<WaylandScreencopy*>(data);
  const auto clamp = [](std::uint32_t value) { return static_cast<int>(std::min<std::uint32_t>(value, 1U << 30)); };
  const PixelRect buffer{0, 0, self.bufferShape_.width, self.bufferShape_.height};
  self.changed_.add(PixelRect{clamp(x), clamp(y), clamp(width), clamp(height)}.intersection(buffer));
}

void WaylandScreencopy::onDmabuf(void* data, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t, std::uint32_t) {
  static_cast<WaylandScreencopy*>(data)->dmabufOffered_ = true;
}

void WaylandScreencopy::onBufferDone(void* data, zwlr_screencopy_frame_v1*) { static_cast<WaylandScreencopy*>(data)->copy(); }

}  // namespace velmora
