#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/libyuv/argb_frame_converter.h"

struct wl_buffer;
struct wl_output;
struct wl_shm;
struct zwlr_screencopy_frame_v1;
struct zwlr_screencopy_manager_v1;

namespace velmora {

// Copies of one output's picture (wlr-screencopy) into a wl_shm buffer of our own, kept between
// copies and made anew when the compositor asks for another size or format. One copy at a time;
// used on the connection's thread, where outcomes arrive while the connection dispatches.
class WaylandScreencopy {
 public:
  enum class State { idle, copying, ready, failed };

  // Borrows both proxies: they must outlive this object.
  WaylandScreencopy(zwlr_screencopy_manager_v1* manager, wl_shm* shm);
  ~WaylandScreencopy();
  WaylandScreencopy(const WaylandScreencopy&) = delete;
  WaylandScreencopy& operator=(const WaylandScreencopy&) = delete;

  // Asks for the output's next picture. With `onlyWhenDamaged` the compositor answers only once
  // something on the output changed since this manager's last copy of it (the first one at once).
  void request(wl_output* output, bool overlayCursor, bool onlyWhenDamaged);
  State state() const { return state_; }
  // Why the compositor's buffers cannot be used (dmabuf only, unknown formats); none for a plain failure.
  const std::optional<std::string>& unusableReason() const { return unusableReason_; }
  // The last picture copied, upright and in libyuv's ARGB order; valid until the next request.
  ArgbImage picture() const;
  // When the compositor showed the picture, in seconds on the monotonic clock.
  double shownAt() const { return shownAt_; }
  // What changed since the picture before: all of it after a copy without damage, into a new
  // buffer, or written bottom row first.
  const ChangedArea& changed() const { return changed_; }

 private:
  struct Offer {
    std::uint32_t format = 0;
    int width = 0;
    int height = 0;
    int stride = 0;
  };

  void offer(const Offer& offered);
  void copy();
  bool prepareBuffer(const Offer& wanted);
  void releaseBuffer();
  void finish(State outcome);

  static void onBuffer(void* data, zwlr_screencopy_frame_v1* frame, std::uint32_t format, std::uint32_t width,
                       std::uint32_t height, std::uint32_t stride);
  static void onFlags(void* data, zwlr_screencopy_frame_v1* frame, std::uint32_t flags);
  static void onReady(void* data, zwlr_screencopy_frame_v1* frame, std::uint32_t secondsHigh, std::uint32_t secondsLow,
                      std::uint32_t nanoseconds);
  static void onFailed(void* data, zwlr_screencopy_frame_v1* frame);
  static void onDamage(void* data, zwlr_screencopy_frame_v1* frame, std::uint32_t x, std::uint32_t y, std::uint32_t width,
                       std::uint32_t height);
  static void onDmabuf(void* data, zwlr_screencopy_frame_v1* frame, std::uint32_t format, std::uint32_t width,
                       std::uint32_t height);
  static void onBufferDone(void* data, zwlr_screencopy_frame_v1* frame);

  zwlr_screencopy_manager_v1* const manager_;
  wl_shm* const shm_;
  zwlr_screencopy_frame_v1* frame_ = nullptr;
  State state_ = State::idle;
  bool onlyWhenDamaged_ = false;
  std::optional<Offer> usableOffer_;  // of the frame under way
  std::string offeredFormats_;        // of the frame under way, for the error text
  bool dmabufOffered_ = false;
  bool yInverted_ = false;
  std::optional<std::string> unusableReason_;
  double shownAt_ = 0;
  ChangedArea changed_;

  Offer bufferShape_;  // of the buffer we hold
  wl_buffer* buffer_ = nullptr;
  void* mapping_ = nullptr;
  std::size_t mappingSize_ = 0;
};

}  // namespace velmora
