#include "platform/pipewire/pipewire_capture_loop.h"

#include <libyuv/convert_argb.h>
#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/buffers.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <spa/utils/result.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/capture/capture_delivery.h"
#include "platform/file_descriptor.h"
#include "platform/libyuv/argb_frame_converter.h"
#include "platform/log/log.h"
#include "platform/pipewire/pipewire_buffer_content.h"

namespace velmora {
namespace {

using Clock = std::chrono::steady_clock;

// A node that does not stream by then (no format in common, no buffers, never linked) ends the loop.
constexpr auto kStreamStartDeadline = std::chrono::seconds(5);
constexpr int kMaximumSide = 16384;
constexpr std::uint32_t kDamageRegionCount = 16;

const log::Logger& logger() {
  static const log::Logger captureLogger("ScreenCapture");
  return captureLogger;
}

// The formats taken, each with the libyuv conversion that brings it to libyuv's
// ARGB (bytes B, G, R, A); SPA names formats by their byte order in memory, libyuv by a little-endian word.
using SwizzleToArgb = int (*)(const std::uint8_t*, int, std::uint8_t*, int, int, int);
struct TakenFormat {
  spa_video_format format;
  const char* name;
  SwizzleToArgb swizzle;  // none: already in ARGB order
};
constexpr std::array kTakenFormats{
    TakenFormat{SPA_VIDEO_FORMAT_BGRx, "BGRx", nullptr},
    TakenFormat{SPA_VIDEO_FORMAT_BGRA, "BGRA", nullptr},
    TakenFormat{SPA_VIDEO_FORMAT_RGBx, "RGBx", libyuv::ABGRToARGB},
    TakenFormat{SPA_VIDEO_FORMAT_RGBA, "RGBA", libyuv::ABGRToARGB},
    TakenFormat{SPA_VIDEO_FORMAT_xRGB, "xRGB", libyuv::BGRAToARGB},
    TakenFormat{SPA_VIDEO_FORMAT_ARGB, "ARGB", libyuv::BGRAToARGB},
};

const TakenFormat* takenFormat(std::uint32_t format) {
  const auto found = std::ranges::find(kTakenFormats, format, &TakenFormat::format);
  return found == kTakenFormats.end() ? nullptr : &*found;
}

double secondsOf(Clock::time_point time) { return std::chrono::duration<double>(time.time_since_epoch()).count(); }

// Parameters are built into a buffer that must outlive their use; one builder per call.
class ParameterBuilder {
 public:
  ParameterBuilder() { spa_pod_builder_init(&builder_, storage_.data(), static_cast<std::uint32_t>(storage_.size())); }
  ParameterBuilder(const ParameterBuilder&) = delete;  // the builder points into the storage
  ParameterBuilder& operator=(const ParameterBuilder&) = delete;
  spa_pod_builder* get() { return &builder_; }
  void add(void* parameter) { parameters_.push_back(static_cast<const spa_pod*>(parameter)); }
  const spa_pod** parameters() { return parameters_.data(); }
  std::uint32_t count() const { return static_cast<std::uint32_t>(parameters_.size()); }

 private:
  std::array<std::uint8_t, 2048> storage_{};
  spa_pod_builder builder_{};
  std::vector<const spa_pod*> parameters_;
};

// Consumes one node on a PipeWire loop iterated by run(): every callback below comes on that thread.
class PipeWireCaptureLoop : public CaptureLoop {
  struct PrivateTag {};

 public:
  static Result<std::shared_ptr<CaptureLoop>> create(PipeWireSource source, const CaptureLoopSettings& settings,
                                                     std::weak_ptr<ScreenCaptureStreamOutput> output,
                                                     std::weak_ptr<ScreenCaptureStreamDelegate> delegate) {
    using Failure = Result<std::shared_ptr<CaptureLoop>>;
    static std::once_flag initialized;
    std::call_once(initialized, [] { pw_init(nullptr, nullptr); });
    FileDescriptor remote(source.remoteDescriptor);
    auto loop =
        std::make_shared<PipeWireCaptureLoop>(PrivateTag{}, std::move(source), settings, std::move(output), std::move(delegate));
    if (auto error = loop->connect(std::move(remote))) {
      return Failure::failure(loop->source_.what + ": " + *error);
    }
    return std::shared_ptr<CaptureLoop>(std::move(loop));
  }

  PipeWireCaptureLoop(PrivateTag, PipeWireSource source, const CaptureLoopSettings& settings,
                      std::weak_ptr<ScreenCaptureStreamOutput> output, std::weak_ptr<ScreenCaptureStreamDelegate> delegate)
      : source_(std::move(source)),
        settings_(settings),
        delegate_(std::move(delegate)),
        delivery_(settings, std::move(output)),
        schedule_(settings.minimumFrameInterval) {}

  // Listeners go first: tearing down calls them otherwise.
  ~PipeWireCaptureLoop() override {
    if (stream_ != nullptr) {
      spa_hook_remove(&streamListener_);
      if (heldBuffer_ != nullptr) {
        pw_stream_queue_buffer(stream_, heldBuffer_);
      }
      pw_stream_destroy(stream_);
    }
    if (registry_ != nullptr) {
      spa_hook_remove(&registryListener_);
      pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
    }
    if (core_ != nullptr) {
      spa_hook_remove(&coreListener_);
      pw_core_disconnect(core_);
    }
    if (context_ != nullptr) {
      pw_context_destroy(context_);
    }
    if (loop_ != nullptr) {
      for (spa_source* source : {stopEvent_, pacerWake_}) {
        if (source != nullptr) {
          pw_loop_destroy_source(loop_, source);
        }
      }
      pw_loop_destroy(loop_);
    }
  }

  PipeWireCaptureLoop(const PipeWireCaptureLoop&) = delete;
  PipeWireCaptureLoop& operator=(const PipeWireCaptureLoop&) = delete;

  void run() override {
    pw_loop_enter(loop_);
    capture();
    pw_loop_leave(loop_);
    if (stopRequested_) {
      return;
    }
    if (const auto delegate = delegate_.lock()) {
      delegate->streamDidStopWithError(*endError_);
    }
  }

  // Any thread: the loop's event source is an eventfd.
  void requestStop() override { pw_loop_signal_event(loop_, stopEvent_); }

 private:
  // The description of what failed, or nothing.
  std::optional<std::string> connect(FileDescriptor remote) {
    loop_ = pw_loop_new(nullptr);
    if (loop_ == nullptr) {
      return "PipeWire's loop could not be made";
    }
    stopEvent_ = pw_loop_add_event(
        loop_, [](void* data, std::uint64_t) { static_cast<PipeWireCaptureLoop*>(data)->stopRequested_ = true; }, this);
    if (delivery_.paced()) {
      pacerWake_ = pw_loop_add_io(
          loop_, delivery_.wakeDescriptor(), SPA_IO_IN, false,
          [](void* data, int, std::uint32_t) { static_cast<PipeWireCaptureLoop*>(data)->delivery_.takeWakeUp(); }, this);
    }
    context_ = pw_context_new(loop_, nullptr, 0);
    if (context_ == nullptr) {
      return "PipeWire's context could not be made";
    }
    // pw_context_connect_fd owns the descriptor from here, also when it fails.
    core_ = remote.isOpen() ? pw_context_connect_fd(context_, remote.release(), nullptr, 0)
                            : pw_context_connect(context_, nullptr, 0);
    if (core_ == nullptr) {
      return std::string("PipeWire cannot be reached (") + std::strerror(errno) + ")";
    }
    static const pw_core_events coreEvents = [] {
      pw_core_events events{};
      events.version = PW_VERSION_CORE_EVENTS;
      events.done = [](void* data, std::uint32_t id, int sequence) {
        static_cast<PipeWireCaptureLoop*>(data)->coreDone(id, sequence);
      };
      events.error = [](void* data, std::uint32_t id, int, int result, const char* message) {
        static_cast<PipeWireCaptureLoop*>(data)->coreError(id, result, message);
      };
      return events;
    }();
    static const pw_registry_events registryEvents = [] {
      pw_registry_events events{};
      events.version = PW_VERSION_REGISTRY_EVENTS;
      events.global = [](void* data, std::uint32_t id, std::uint32_t, const char* type, std::uint32_t, const spa_dict*) {
        static_cast<PipeWireCaptureLoop*>(data)->globalAdded(id, type);
      };
      events.global_remove = [](void* data, std::uint32_t id) { static_cast<PipeWireCaptureLoop*>(data)->globalRemoved(id); };
      return events;
    }();
// PipeWire's interface calls are C macros that cast.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wold-style-cast"
    pw_core_add_listener(core_, &coreListener_, &coreEvents, this);
    registry_ = pw_core_get_registry(core_, PW_VERSION_REGISTRY, 0);
    pw_registry_add_listener(registry_, &registryListener_, &registryEvents, this);
    // The registry lists every object before the answer to this comes.
    registrySync_ = pw_core_sync(core_, PW_ID_CORE, 0);
#pragma GCC diagnostic pop
    return connectStream();
  }

  std::optional<std::string> connectStream() {
    stream_ = pw_stream_new(core_, ("velmora " + source_.what).c_str(),
                            pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_MEDIA_ROLE,
                                              "Screen", PW_KEY_NODE_DONT_RECONNECT, "true", nullptr));
    if (stream_ == nullptr) {
      return std::string("a PipeWire stream could not be made (") + std::strerror(errno) + ")";
    }
    static const pw_stream_events streamEvents = [] {
      pw_stream_events events{};
      events.version = PW_VERSION_STREAM_EVENTS;
      events.state_changed = [](void* data, pw_stream_state, pw_stream_state state, const char* error) {
        static_cast<PipeWireCaptureLoop*>(data)->streamStateChanged(state, error);
      };
      events.param_changed = [](void* data, std::uint32_t id, const spa_pod* parameter) {
        static_cast<PipeWireCaptureLoop*>(data)->streamParameterChanged(id, parameter);
      };
      // A new format or a lost producer takes the buffers away, the held one too.
      events.remove_buffer = [](void* data, pw_buffer* buffer) {
        auto& loop = *static_cast<PipeWireCaptureLoop*>(data);
        loop.heldBuffer_ = loop.heldBuffer_ == buffer ? nullptr : loop.heldBuffer_;
      };
      events.process = [](void* data) { static_cast<PipeWireCaptureLoop*>(data)->takeNewestBuffer(); };
      return events;
    }();
    pw_stream_add_listener(stream_, &streamListener_, &streamEvents, this);

    ParameterBuilder builder;
    const auto frameRate =
        static_cast<std::uint32_t>(std::max<long>(1, std::chrono::seconds(1) / settings_.minimumFrameInterval));
    spa_rectangle size{static_cast<std::uint32_t>(settings_.width), static_cast<std::uint32_t>(settings_.height)};
    spa_rectangle smallest{1, 1};
    spa_rectangle largest{kMaximumSide, kMaximumSide};
    spa_fraction rate{frameRate, 1};
    spa_fraction slowest{0, 1};
    spa_fraction fastest{1000, 1};
    builder.add(spa_pod_builder_add_object(
        builder.get(), SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
        SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
        SPA_POD_CHOICE_ENUM_Id(7, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA, SPA_VIDEO_FORMAT_RGBx,
                               SPA_VIDEO_FORMAT_RGBA, SPA_VIDEO_FORMAT_xRGB, SPA_VIDEO_FORMAT_ARGB),
        SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&size, &smallest, &largest), SPA_FORMAT_VIDEO_framerate,
        SPA_POD_CHOICE_RANGE_Fraction(&rate, &slowest, &fastest)));
    const int result = pw_stream_connect(stream_, PW_DIRECTION_INPUT, source_.nodeID,
                                         static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS),
                                         builder.parameters(), builder.count());
    if (result < 0) {
      return std::string("the PipeWire stream could not connect (") + spa_strerror(result) + ")";
    }
    return std::nullopt;
  }

  void capture() {
    const auto startDeadline = Clock::now() + kStreamStartDeadline;
    while (!stopRequested_ && !endError_) {
      const auto now = Clock::now();
      if (!streaming_ && now >= startDeadline) {
        endWith(notStreaming("did not start streaming within " + std::to_string(kStreamStartDeadline.count()) + " s"));
        break;
      }
      if (heldBuffer_ != nullptr && now >= frameAllowedAt()) {
        deliverHeldBuffer(now);
      }
      std::optional<Clock::time_point> wakeAt;
      if (!streaming_) {
        wakeAt = startDeadline;
      } else if (heldBuffer_ != nullptr) {
        wakeAt = frameAllowedAt();
      }
      const int result = pw_loop_iterate(loop_, wakeAt ? millisecondsUntil(*wakeAt) : -1);
      if (result < 0 && result != -EINTR) {
        endWith(std::string("PipeWire's loop failed (") + spa_strerror(result) + ")");
      }
    }
  }

  static int millisecondsUntil(Clock::time_point time) {
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(time - Clock::now());
    return static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(wait.count(), 0, 60'000));
  }

  Clock::time_point frameAllowedAt() const {
    return std::max(schedule_.nextDue().value_or(Clock::time_point{}), delivery_.frameAllowedAt());
  }

  std::string notStreaming(const std::string& what) const {
    return "PipeWire node " + std::to_string(source_.nodeID) + " " + what +
           ": it is not producing, or offers no format this host takes "
           "(BGRx, BGRA, RGBx, RGBA, xRGB or ARGB in shared memory; dmabuf is not taken)";
  }

  void endWith(std::string error) {
    if (!endError_) {
      endError_ = source_.what + ": " + error;
    }
  }

  void coreDone(std::uint32_t id, int sequence) {
    if (id == PW_ID_CORE && sequence == registrySync_ && !nodeSeen_) {
      endWith("PipeWire has no node " + std::to_string(source_.nodeID));
    }
  }

  void coreError(std::uint32_t id, int result, const char* message) {
    if (id == PW_ID_CORE) {
      endWith(std::string("the connection to PipeWire failed: ") + (message != nullptr ? message : spa_strerror(result)));
    }
  }

  void globalAdded(std::uint32_t id, const char* type) {
    if (id != source_.nodeID) {
      return;
    }
    nodeSeen_ = true;
    if (std::string_view(type) != PW_TYPE_INTERFACE_Node) {
      endWith("PipeWire object " + std::to_string(id) + " is a " + type + ", not a node");
    }
  }

  void globalRemoved(std::uint32_t id) {
    if (id == source_.nodeID) {
      endWith("PipeWire node " + std::to_string(id) + " went away (its screen cast ended)");
    }
  }

  void streamStateChanged(pw_stream_state state, const char* error) {
    if (state == PW_STREAM_STATE_ERROR) {
      endWith(std::string("the PipeWire stream failed: ") + (error != nullptr ? error : "no reason given"));
    } else if (state == PW_STREAM_STATE_UNCONNECTED) {
      // A link that failed (no format in common) may end the stream this way before it ever streamed.
      endWith(streaming_ ? "the PipeWire stream was disconnected" : notStreaming("was disconnected before it streamed"));
    } else if (state == PW_STREAM_STATE_STREAMING) {
      streaming_ = true;
    }
  }

  void streamParameterChanged(std::uint32_t id, const spa_pod* parameter) {
    if (id != SPA_PARAM_Format || parameter == nullptr) {
      return;
    }
    std::uint32_t mediaType = 0;
    std::uint32_t mediaSubtype = 0;
    spa_video_info_raw info{};
    if (spa_format_parse(parameter, &mediaType, &mediaSubtype) < 0 || mediaType != SPA_MEDIA_TYPE_video ||
        mediaSubtype != SPA_MEDIA_SUBTYPE_raw || spa_format_video_raw_parse(parameter, &info) < 0) {
      refuseFormat("a format that is not raw video");
      return;
    }
    format_ = takenFormat(info.format);
    if (format_ == nullptr || info.size.width == 0 || info.size.height == 0 || info.size.width > kMaximumSide ||
        info.size.height > kMaximumSide) {
      refuseFormat("video format " + std::to_string(info.format) + " at " + std::to_string(info.size.width) + "x" +
                   std::to_string(info.size.height));
      return;
    }
    sourceWidth_ = static_cast<int>(info.size.width);
    sourceHeight_ = static_cast<int>(info.size.height);
    pictureChanged_ = true;
    logger().info("{}: PipeWire node {} streams {}x{} {}", source_.what, source_.nodeID, sourceWidth_, sourceHeight_,
                  format_->name);
    ParameterBuilder builder;
    addBuffersAndMetadata(builder);
    pw_stream_update_params(stream_, builder.parameters(), builder.count());
  }

  void refuseFormat(const std::string& format) {
    pw_stream_set_error(stream_, -EINVAL, "unsupported format");
    endWith("PipeWire node " + std::to_string(source_.nodeID) + " offers " + format + ", which this host cannot take");
  }

  // Shared memory only. The cursor is embedded in the pictures by the session
  // that made the node, so its cursor metadata is not asked for.
  static void addBuffersAndMetadata(ParameterBuilder& builder) {
    builder.add(spa_pod_builder_add_object(builder.get(), SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers,
                                           SPA_PARAM_BUFFERS_buffers, SPA_POD_CHOICE_RANGE_Int(8, 2, 16),
                                           SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1), SPA_PARAM_BUFFERS_dataType,
                                           SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr))));
    builder.add(spa_pod_builder_add_object(builder.get(), SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
                                           SPA_POD_Id(SPA_META_Header), SPA_PARAM_META_size,
                                           SPA_POD_Int(sizeof(spa_meta_header))));
    builder.add(
        spa_pod_builder_add_object(builder.get(), SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
                                   SPA_POD_Id(SPA_META_VideoDamage), SPA_PARAM_META_size,
                                   SPA_POD_CHOICE_RANGE_Int(sizeof(spa_meta_region) * kDamageRegionCount, sizeof(spa_meta_region),
                                                            sizeof(spa_meta_region) * kDamageRegionCount)));
  }

  // Older pictures are worth nothing once a newer one came: they go back to the producer at once.
  void takeNewestBuffer() {
    while (pw_buffer* buffer = pw_stream_dequeue_buffer(stream_)) {
      const BufferContent content = contentOf(*buffer->buffer);
      if (content == BufferContent::unusable) {
        pw_stream_queue_buffer(stream_, buffer);
        continue;
      }
      if (heldBuffer_ != nullptr) {
        pw_stream_queue_buffer(stream_, heldBuffer_);
      }
      heldBuffer_ = buffer;
      heldBufferTakenAt_ = Clock::now();
      pictureChanged_ = pictureChanged_ || content == BufferContent::changed;
    }
    if (heldBuffer_ != nullptr && !pictureChanged_) {
      pw_stream_queue_buffer(stream_, std::exchange(heldBuffer_, nullptr));
    }
  }

  void deliverHeldBuffer(Clock::time_point now) {
    auto picture = delivery_.acquirePicture();
    if (!picture) {
      schedule_.postpone(now);
      return;
    }
    const auto start = Clock::now();
    const auto image = imageOf(*heldBuffer_->buffer);
    if (image) {
      converter_.convert(*image, *picture);
    }
    pw_stream_queue_buffer(stream_, std::exchange(heldBuffer_, nullptr));
    if (!image) {
      return;
    }
    pictureChanged_ = false;
    schedule_.frameTaken(now);
    delivery_.deliver(std::move(picture), secondsOf(heldBufferTakenAt_), start);
  }

  // The buffer's picture in ARGB order, or nothing (logged) when its layout
  // does not hold the negotiated picture.
  std::optional<ArgbImage> imageOf(const spa_buffer& buffer) {
    const spa_data& data = buffer.datas[0];
    const std::int64_t rowBytes = std::int64_t{sourceWidth_} * 4;
    const std::int64_t stride = data.chunk->stride > 0 ? data.chunk->stride : rowBytes;
    const std::int64_t offset = data.chunk->offset;
    if (data.type == SPA_DATA_DmaBuf) {
      endWith("PipeWire node " + std::to_string(source_.nodeID) + " hands out dmabuf buffers, which this host does not take");
      return std::nullopt;
    }
    if (data.data == nullptr || format_ == nullptr || stride < rowBytes ||
        offset + stride * (sourceHeight_ - 1) + rowBytes > std::int64_t{data.maxsize}) {
      if (log::isLoggedOccurrence(++malformedBuffers_)) {
        logger().error(
            "{}: PipeWire node {} sent a buffer that does not hold "
            "a {}x{} picture (type {}, {} bytes, stride {}) ({})",
            source_.what, source_.nodeID, sourceWidth_, sourceHeight_, data.type, data.maxsize, stride, malformedBuffers_);
      }
      return std::nullopt;
    }
    ArgbImage image{static_cast<std::uint8_t*>(data.data) + offset, static_cast<int>(stride), sourceWidth_, sourceHeight_};
    if (format_->swizzle == nullptr) {
      return image;
    }
    swizzled_.resize(static_cast<std::size_t>(rowBytes * sourceHeight_));
    format_->swizzle(image.pixels, image.stride, swizzled_.data(), static_cast<int>(rowBytes), sourceWidth_, sourceHeight_);
    return ArgbImage{swizzled_.data(), static_cast<int>(rowBytes), sourceWidth_, sourceHeight_};
  }

  const PipeWireSource source_;
  const CaptureLoopSettings settings_;
  const std::weak_ptr<ScreenCaptureStreamDelegate> delegate_;
  CaptureDelivery delivery_;
  FrameSchedule schedule_;
  ArgbFrameConverter converter_;

  // Torn down in reverse by the destructor.
  pw_loop* loop_ = nullptr;
  spa_source* stopEvent_ = nullptr;
  spa_source* pacerWake_ = nullptr;
  pw_context* context_ = nullptr;
  pw_core* core_ = nullptr;
  pw_registry* registry_ = nullptr;
  pw_stream* stream_ = nullptr;
  spa_hook coreListener_{};
  spa_hook registryListener_{};
  spa_hook streamListener_{};

  // The loop's thread only.
  bool stopRequested_ = false;
  std::optional<std::string> endError_;
  int registrySync_ = 0;
  bool nodeSeen_ = false;
  bool streaming_ = false;
  const TakenFormat* format_ = nullptr;
  int sourceWidth_ = 0;
  int sourceHeight_ = 0;
  pw_buffer* heldBuffer_ = nullptr;  // the newest picture, until a frame may go
  Clock::time_point heldBufferTakenAt_;
  bool pictureChanged_ = true;  // since the last frame sent; the first frame always goes
  std::vector<std::uint8_t> swizzled_;
  std::uint64_t malformedBuffers_ = 0;
};

}  // namespace

Result<std::shared_ptr<CaptureLoop>> makePipeWireCaptureLoop(PipeWireSource source, const CaptureLoopSettings& settings,
                                                             std::weak_ptr<ScreenCaptureStreamOutput> output,
                                                             std::weak_ptr<ScreenCaptureStreamDelegate> delegate) {
  return PipeWireCaptureLoop::create(std::move(source), settings, std::move(output), std::move(delegate));
}

}  // namespace velmora
