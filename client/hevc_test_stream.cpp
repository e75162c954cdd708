#include "client/hevc_test_stream.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
}

#include <fmt/format.h>

#include <cstring>
#include <memory>

#include "protocol/frame_fragmenter.h"

namespace velmora::testing {
namespace {

struct Deleter {
  void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};

bool collectPackets(AVCodecContext& context, AVPacket& packet, std::vector<EncodedTestFrame>& frames) {
  for (;;) {
    const int status = avcodec_receive_packet(&context, &packet);
    if (status == AVERROR(EAGAIN) || status == AVERROR_EOF) {
      return true;
    }
    if (status < 0) {
      return false;
    }
    frames.push_back(EncodedTestFrame{std::vector<std::uint8_t>(packet.data, packet.data + packet.size),
                                      (packet.flags & AV_PKT_FLAG_KEY) != 0});
    av_packet_unref(&packet);
  }
}

}  // namespace

void drawNoise(std::uint8_t* luma, int stride, int width, int height, int index) {
  std::uint32_t state = 2463534242u + static_cast<std::uint32_t>(index) * 7919u;
  for (int row = 0; row < height; ++row) {
    for (int column = 0; column < width; ++column) {
      state ^= state << 13;
      state ^= state >> 17;
      state ^= state << 5;
      luma[row * stride + column] = static_cast<std::uint8_t>(state >> 24);
    }
  }
}

std::optional<std::vector<EncodedTestFrame>> encodeTestStream() {
  constexpr int kWidth = 320;
  constexpr int kHeight = 192;
  constexpr int kKeyframeInterval = 6;
  const AVCodec* codec = avcodec_find_encoder_by_name("libx265");
  if (codec == nullptr) {
    return std::nullopt;
  }
  std::unique_ptr<AVCodecContext, Deleter> context(avcodec_alloc_context3(codec));
  context->width = kWidth;
  context->height = kHeight;
  context->pix_fmt = AV_PIX_FMT_YUV420P;
  context->time_base = AVRational{1, 30};
  context->framerate = AVRational{30, 1};
  context->gop_size = kKeyframeInterval;
  context->max_b_frames = 0;
  av_opt_set(context->priv_data, "preset", "ultrafast", 0);
  av_opt_set(context->priv_data, "tune", "zerolatency", 0);
  const std::string parameters =
      fmt::format("keyint={0}:min-keyint={0}:scenecut=0:open-gop=0:bframes=0:repeat-headers=1:log-level=error",
                  kKeyframeInterval);
  av_opt_set(context->priv_data, "x265-params", parameters.c_str(), 0);
  if (avcodec_open2(context.get(), codec, nullptr) < 0) {
    return std::nullopt;
  }

  std::unique_ptr<AVFrame, Deleter> picture(av_frame_alloc());
  std::unique_ptr<AVPacket, Deleter> packet(av_packet_alloc());
  picture->format = AV_PIX_FMT_YUV420P;
  picture->width = kWidth;
  picture->height = kHeight;
  if (av_frame_get_buffer(picture.get(), 0) < 0) {
    return std::nullopt;
  }
  std::vector<EncodedTestFrame> frames;
  for (int index = 0; index < 12; ++index) {
    if (av_frame_make_writable(picture.get()) < 0) {
      return std::nullopt;
    }
    drawNoise(picture->data[0], picture->linesize[0], kWidth, kHeight, index);
    for (int plane = 1; plane <= 2; ++plane) {  // neutral chroma
      std::memset(picture->data[plane], 128, static_cast<std::size_t>(picture->linesize[plane] * kHeight / 2));
    }
    picture->pts = index;
    if (avcodec_send_frame(context.get(), picture.get()) < 0 || !collectPackets(*context, *packet, frames)) {
      return std::nullopt;
    }
  }
  if (avcodec_send_frame(context.get(), nullptr) < 0 || !collectPackets(*context, *packet, frames)) {
    return std::nullopt;
  }
  return frames;
}

std::vector<std::vector<std::uint8_t>> datagramsOf(const EncodedTestFrame& frame, std::uint32_t frameID) {
  std::vector<std::vector<std::uint8_t>> datagrams;
  FrameFragmenter::cut(VideoFrameMetadata{frameID, 0, frame.isKeyframe, 0, 0}, frame.bytes,
                       [&](auto datagram) { datagrams.emplace_back(datagram.begin(), datagram.end()); });
  return datagrams;
}

}  // namespace velmora::testing
