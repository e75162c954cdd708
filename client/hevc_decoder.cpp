#include "client/hevc_decoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/pixdesc.h>
}

#include <fmt/format.h>

#include <array>
#include <cstdarg>
#include <cstring>
#include <mutex>

#include "client/receiver_logger.h"

namespace velmora {
namespace {

std::string describeError(int status) {
  std::array<char, AV_ERROR_MAX_STRING_SIZE> text{};
  av_strerror(status, text.data(), text.size());
  return text.data();
}

// libavcodec writes to stderr by default; a hostile stream would flood it. Its warnings go to our
// log at debug level instead, its chatter nowhere.
void forwardLibraryMessage(void* context, int level, const char* format, va_list arguments) {
  if (level > AV_LOG_WARNING) {
    return;
  }
  std::array<char, 512> line{};
  thread_local int printPrefix = 1;
  av_log_format_line2(context, level, format, arguments, line.data(), static_cast<int>(line.size()), &printPrefix);
  std::string_view text(line.data());
  while (!text.empty() && text.back() == '\n') {
    text.remove_suffix(1);
  }
  if (!text.empty()) {
    receiverLogger().debug("libavcodec: {}", text);
  }
}

bool hasEightBitLuma(int format) {
  const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(format));
  return descriptor != nullptr && (descriptor->flags & AV_PIX_FMT_FLAG_RGB) == 0 && descriptor->comp[0].depth == 8 &&
         descriptor->comp[0].plane == 0 && descriptor->comp[0].step == 1;
}

}  // namespace

struct HevcDecoder::Resources {
  struct ContextDeleter {
    void operator()(AVCodecContext* owned) const { avcodec_free_context(&owned); }
  };
  struct PacketDeleter {
    void operator()(AVPacket* owned) const { av_packet_free(&owned); }
  };
  struct FrameDeleter {
    void operator()(AVFrame* owned) const { av_frame_free(&owned); }
  };
  std::unique_ptr<AVCodecContext, ContextDeleter> context;
  std::unique_ptr<AVPacket, PacketDeleter> packet;
  std::unique_ptr<AVFrame, FrameDeleter> frame;
};

Result<std::unique_ptr<HevcDecoder>> HevcDecoder::create(Limits limits) {
  static std::once_flag logRouting;
  std::call_once(logRouting, [] { av_log_set_callback(forwardLibraryMessage); });

  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_HEVC);
  if (codec == nullptr) {
    return Result<std::unique_ptr<HevcDecoder>>::failure("libavcodec has no HEVC decoder");
  }
  auto resources = std::make_unique<Resources>();
  resources->context.reset(avcodec_alloc_context3(codec));
  resources->packet.reset(av_packet_alloc());
  resources->frame.reset(av_frame_alloc());
  if (!resources->context || !resources->packet || !resources->frame) {
    return Result<std::unique_ptr<HevcDecoder>>::failure("out of memory for the HEVC decoder");
  }
  AVCodecContext& context = *resources->context;
  // One thread, slice threading only: frame threads would hold each picture back by one frame.
  context.flags |= AV_CODEC_FLAG_LOW_DELAY;
  context.thread_count = 1;
  context.thread_type = FF_THREAD_SLICE;
  context.max_pixels = limits.maxPicturePixels;
  if (const int status = avcodec_open2(&context, codec, nullptr); status < 0) {
    return Result<std::unique_ptr<HevcDecoder>>::failure(
        fmt::format("cannot open the HEVC decoder: {}", describeError(status)));
  }
  return std::make_unique<HevcDecoder>(limits, std::move(resources));
}

HevcDecoder::HevcDecoder(Limits limits, std::unique_ptr<Resources> resources)
    : limits_(limits), resources_(std::move(resources)) {}

HevcDecoder::~HevcDecoder() = default;

HevcDecoder::Outcome HevcDecoder::decode(std::span<const std::uint8_t> accessUnit, const PictureSink& sink) {
  Outcome outcome;
  // An empty packet would put the decoder into draining mode for good.
  if (accessUnit.empty()) {
    return outcome;
  }
  paddedInput_.resize(accessUnit.size() + AV_INPUT_BUFFER_PADDING_SIZE);
  std::memcpy(paddedInput_.data(), accessUnit.data(), accessUnit.size());
  std::memset(paddedInput_.data() + accessUnit.size(), 0, AV_INPUT_BUFFER_PADDING_SIZE);

  AVPacket& packet = *resources_->packet;
  packet.data = paddedInput_.data();
  packet.size = static_cast<int>(accessUnit.size());  // a frame is at most 65535 fragments of 1400 bytes
  const int status = avcodec_send_packet(resources_->context.get(), &packet);
  packet.data = nullptr;
  packet.size = 0;
  if (status < 0) {
    outcome.error = fmt::format("the decoder refused the frame: {}", describeError(status));
  }
  if (auto pictureError = deliverPictures(sink, outcome.pictures); pictureError && !outcome.error) {
    outcome.error = std::move(pictureError);
  }
  return outcome;
}

std::optional<std::string> HevcDecoder::deliverPictures(const PictureSink& sink, int& pictures) {
  std::optional<std::string> error;
  AVFrame& frame = *resources_->frame;
  for (;;) {
    const int status = avcodec_receive_frame(resources_->context.get(), &frame);
    if (status == AVERROR(EAGAIN) || status == AVERROR_EOF) {
      return error;
    }
    if (status < 0) {
      return fmt::format("the decoder failed: {}", describeError(status));
    }
    const bool sizeAllowed = frame.width > 0 && frame.height > 0 && frame.width <= limits_.maxPictureSide &&
                             frame.height <= limits_.maxPictureSide;
    if (!sizeAllowed) {
      error = fmt::format("a picture of {}x{} is outside the allowed size", frame.width, frame.height);
    } else {
      const bool lumaReadable = hasEightBitLuma(frame.format);
      const DecodedPicture picture{frame.width, frame.height, lumaReadable ? frame.data[0] : nullptr,
                                   lumaReadable ? frame.linesize[0] : 0};
      ++pictures;
      if (sink) {
        sink(picture);
      }
    }
    av_frame_unref(&frame);
  }
}

}  // namespace velmora
