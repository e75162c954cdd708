#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
}

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

namespace velmora::testing {

struct DecodedPicture {
  int width = 0;
  int height = 0;
};

// libavcodec's HEVC decoder over Annex-B access units, for tests that check what an encoder wrote.
class HEVCTestDecoder {
 public:
  HEVCTestDecoder() {
    av_log_set_level(AV_LOG_QUIET);
    context_ = avcodec_alloc_context3(avcodec_find_decoder(AV_CODEC_ID_HEVC));
    if (context_ != nullptr && avcodec_open2(context_, context_->codec, nullptr) < 0) {
      avcodec_free_context(&context_);
    }
    packet_ = av_packet_alloc();
    frame_ = av_frame_alloc();
  }
  ~HEVCTestDecoder() {
    av_frame_free(&frame_);
    av_packet_free(&packet_);
    avcodec_free_context(&context_);
  }
  HEVCTestDecoder(const HEVCTestDecoder&) = delete;
  HEVCTestDecoder& operator=(const HEVCTestDecoder&) = delete;

  bool isOpen() const { return context_ != nullptr; }
  int errors() const { return errors_; }

  // Decodes one access unit; the pictures that come out of it (none while the decoder waits).
  std::vector<DecodedPicture> decode(std::span<const std::uint8_t> accessUnit) {
    std::vector<DecodedPicture> pictures;
    if (av_new_packet(packet_, static_cast<int>(accessUnit.size())) < 0) {
      ++errors_;
      return pictures;
    }
    std::copy(accessUnit.begin(), accessUnit.end(), packet_->data);
    if (avcodec_send_packet(context_, packet_) < 0) {
      ++errors_;
    }
    av_packet_unref(packet_);
    receive(pictures);
    return pictures;
  }

  // The pictures the decoder still held back.
  std::vector<DecodedPicture> flush() {
    std::vector<DecodedPicture> pictures;
    avcodec_send_packet(context_, nullptr);
    receive(pictures);
    return pictures;
  }

 private:
  void receive(std::vector<DecodedPicture>& pictures) {
    while (avcodec_receive_frame(context_, frame_) == 0) {
      pictures.push_back(DecodedPicture{frame_->width, frame_->height});
      if (frame_->decode_error_flags != 0) {
        ++errors_;
      }
      av_frame_unref(frame_);
    }
  }

  AVCodecContext* context_ = nullptr;
  AVPacket* packet_ = nullptr;
  AVFrame* frame_ = nullptr;
  int errors_ = 0;
};

}  // namespace velmora::testing
