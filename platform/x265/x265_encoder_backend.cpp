#include "platform/x265/x265_encoder_backend.h"

#include <libyuv/convert.h>
#include <libyuv/scale.h>
#include <pthread.h>
#include <malloc.h>
#include <x265.h>
#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <limits>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include "platform/frame_pacer.h"
#include "platform/lingering_threads.h"
#include "platform/released_pointer.h"
#include "platform/log/log.h"

namespace velmora {

namespace {

using ByteBuffer = std::vector<std::uint8_t>;

constexpr std::int64_t kMinimumDimension = 16;
constexpr std::int64_t kMaximumDimension = 16384;
constexpr std::int64_t kMaximumFrameRate = 1000;
constexpr std::int64_t kMinimumBitRate = 1000;               // x265 counts in kbit/s
constexpr std::int64_t kMaximumBitRate = 1'000'000'000'000;  // keeps kbit/s inside an int
constexpr std::int64_t kVbvBufferFrames = 6;
// VPS, SPS and PPS have the consecutive NAL unit types 32, 33 and 34.
constexpr int kNalTypeVPS = 32;
constexpr int kNalTypePPS = 34;

struct EncoderDeleter {
  void operator()(x265_encoder* encoder) const {
    x265_encoder_close(encoder);
    // The encoder's pictures and lookahead buffers were freed in the arenas of its worker threads,
    // which are gone: glibc keeps those pages unless asked, and each rebuild would add to them.
    malloc_trim(0);
  }
};
using ParamPointer = ReleasedPointer<x265_param, x265_param_free>;
using EncoderPointer = std::unique_ptr<x265_encoder, EncoderDeleter>;

std::optional<std::string> invalidSettingsReason(const EncoderSettings& settings) {
  const auto outside = [](std::int64_t value, std::int64_t low, std::int64_t high) {
    return value < low || value > high;
  };
  if (outside(settings.width, kMinimumDimension, kMaximumDimension) ||
      outside(settings.height, kMinimumDimension, kMaximumDimension)) {
    return fmt::format("picture size {}x{} outside {}..{} pixels per side", settings.width, settings.height,
                       kMinimumDimension, kMaximumDimension);
  }
  if (outside(settings.expectedFrameRate, 1, kMaximumFrameRate)) {
    return fmt::format("frame rate {} outside 1..{}", settings.expectedFrameRate, kMaximumFrameRate);
  }
  if (outside(settings.averageBitRate, kMinimumBitRate, kMaximumBitRate)) {
    return fmt::format("bit rate {} outside {}..{} bit/s", settings.averageBitRate, kMinimumBitRate, kMaximumBitRate);
  }
  if (outside(settings.maxKeyFrameInterval, 1, std::numeric_limits<int>::max())) {
    return fmt::format("keyframe interval {} frames out of range", settings.maxKeyFrameInterval);
  }
  return std::nullopt;
}

// Set by benchmarks only (setX265ExtraOptions); empty in the product.
std::mutex extraOptionsLock;
std::vector<std::string> extraOptions;

std::vector<std::string> extraOptionsSnapshot() {
  std::lock_guard lock(extraOptionsLock);
  return extraOptions;
}

// The first option x265 refuses, or none.
std::optional<std::string> refusedOption(x265_param* param, const std::vector<std::string>& options) {
  for (const std::string& option : options) {
    const auto equals = option.find('=');
    const std::string name = option.substr(0, equals);
    const std::string value = equals == std::string::npos ? "" : option.substr(equals + 1);
    if (x265_param_parse(param, name.c_str(), equals == std::string::npos ? nullptr : value.c_str()) != 0) {
      return option;
    }
  }
  return std::nullopt;
}

ParamPointer makeParameters(const EncoderSettings& settings) {
  ParamPointer param(x265_param_alloc());
  if (!param || x265_param_default_preset(param.get(), "ultrafast", "zerolatency") < 0) {
    return nullptr;
  }
  // x265 writes straight to stderr otherwise; the host's log is the only place for messages.
  param->logLevel = X265_LOG_NONE;
  param->sourceWidth = static_cast<int>(settings.width);
  param->sourceHeight = static_cast<int>(settings.height);
  param->internalCsp = X265_CSP_I420;
  param->fpsNum = static_cast<std::uint32_t>(settings.expectedFrameRate);
  param->fpsDenom = 1;
  param->bframes = 0;
  param->bFrameAdaptive = 0;
  param->lookaheadDepth = 0;
  param->scenecutThreshold = 0;
  // A second frame thread adds two frames of delay and no speed on two cores; parallelism comes
  // from wavefront instead.
  param->frameNumThreads = 1;
  param->bEnableWavefront = 1;
  param->bEmitInfoSEI = 0;
  param->bRepeatHeaders = 0;
  param->bAnnexB = 1;  // start codes as the wire carries them, written by x265 itself
  param->bOpenGOP = 0;  // every periodic keyframe is an IDR that a joining client can start from
  param->keyframeMax = static_cast<int>(settings.maxKeyFrameInterval);
  // Psycho-visual RD favours texture energy; on screen content it cost 4-7 % of the frame rate and
  // gave no SSIM or PSNR back (measured on desktop and full-motion content at 20 Mbit/s).
  param->psyRd = 0;
  // Average bit rate with a VBV buffer of six frame intervals (100 ms at 60 fps), rounded up: a
  // buffer of one frame starved the keyframes, and on a desktop the still areas kept that blur
  // until the next one (measured at the same bit rate: 1 to 15 dB PSNR more, same frame rate).
  const std::int64_t kbps = settings.averageBitRate / 1000;
  param->rc.rateControlMode = X265_RC_ABR;
  param->rc.bitrate = static_cast<int>(kbps);
  param->rc.vbvMaxBitrate = static_cast<int>(kbps);
  param->rc.vbvBufferSize =
      static_cast<int>((kVbvBufferFrames * kbps + settings.expectedFrameRate - 1) / settings.expectedFrameRate);
  if (refusedOption(param.get(), extraOptionsSnapshot())) {
    return nullptr;
  }
  if (x265_param_apply_profile(param.get(), "main") < 0) {
    return nullptr;
  }
  return param;
}

// The NAL unit behind the start code x265 writes in Annex B: four bytes, or three for a unit that
// follows another in one access unit. None without one.
std::optional<std::span<const std::uint8_t>> withoutStartCode(const x265_nal& nal) {
  const std::span<const std::uint8_t> bytes(nal.payload, nal.sizeBytes);
  for (const std::size_t zeros : {3, 2}) {
    if (bytes.size() > zeros + 1 && std::all_of(bytes.begin(), bytes.begin() + zeros, [](auto byte) { return byte == 0; }) &&
        bytes[zeros] == 1) {
      return bytes.subspan(zeros + 1);
    }
  }
  return std::nullopt;
}

// VPS, SPS and PPS without their start codes, or none when x265 left one out.
std::optional<std::array<ByteBuffer, 3>> readParameterSets(x265_encoder* encoder) {
  x265_nal* nals = nullptr;
  std::uint32_t count = 0;
  if (x265_encoder_headers(encoder, &nals, &count) < 0) {
    return std::nullopt;
  }
  std::array<std::optional<ByteBuffer>, 3> found;
  for (std::uint32_t index = 0; index < count; ++index) {
    const x265_nal& nal = nals[index];
    const int slot = static_cast<int>(nal.type) - kNalTypeVPS;
    const auto unit = withoutStartCode(nal);
    if (slot < 0 || slot > kNalTypePPS - kNalTypeVPS || !unit) {
      continue;
    }
    found[static_cast<std::size_t>(slot)].emplace(unit->begin(), unit->end());
  }
  if (!found[0] || !found[1] || !found[2]) {
    return std::nullopt;
  }
  return std::array<ByteBuffer, 3>{std::move(*found[0]), std::move(*found[1]), std::move(*found[2])};
}

struct OpenedEncoder {
  ParamPointer param;
  EncoderPointer encoder;
  std::array<ByteBuffer, 3> parameterSets;
};

// Settings already made even and checked.
std::variant<OpenedEncoder, VideoEncoderBackendError> openEncoder(const EncoderSettings& settings) {
  ParamPointer param = makeParameters(settings);
  if (!param) {
    return VideoEncoderBackendError{kEncoderStatusEncoderUnavailable,
                                    "x265 has no ultrafast/zerolatency preset or Main profile"};
  }
  EncoderPointer encoder(x265_encoder_open(param.get()));
  if (!encoder) {
    return VideoEncoderBackendError{
        kEncoderStatusEncoderUnavailable,
        fmt::format("x265_encoder_open refused {}x{} at {} fps, {} bit/s (x265 {})", settings.width, settings.height,
                    settings.expectedFrameRate, settings.averageBitRate, x265_version_str)};
  }
  auto parameterSets = readParameterSets(encoder.get());
  if (!parameterSets) {
    return VideoEncoderBackendError{kEncoderStatusEncoderUnavailable,
                                    "x265_encoder_headers gave no VPS, SPS and PPS behind start codes"};
  }
  return OpenedEncoder{std::move(param), std::move(encoder), std::move(*parameterSets)};
}

struct PendingFrame {
  std::shared_ptr<const PixelBuffer> pixelBuffer;
  double presentationTime = 0;
  bool forceKeyframe = false;
  NextFrameRequest requestNextFrame;
};

// Planar 4:2:0 pictures in one reused allocation.
struct PlanarPicture {
  int width = 0;
  int height = 0;
  ByteBuffer storage;

  void resize(int newWidth, int newHeight) {
    width = newWidth;
    height = newHeight;
    const auto lumaSize = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    storage.resize(lumaSize + 2 * chromaSize());
  }
  int chromaWidth() const { return width / 2; }
  std::size_t chromaSize() const {
    return static_cast<std::size_t>(width / 2) * static_cast<std::size_t>(height / 2);
  }
  std::uint8_t* luma() { return storage.data(); }
  std::uint8_t* cb() { return storage.data() + static_cast<std::size_t>(width) * static_cast<std::size_t>(height); }
  std::uint8_t* cr() { return cb() + chromaSize(); }
};

// Everything the encode thread works on. Shared with that thread so that it can finish safely even
// when the session is dropped from its own output callback.
class X265Session {
 public:
  X265Session(const EncoderSettings& settings, OpenedEncoder opened, VideoEncoderBackend::OutputCallback output)
      : output_(std::move(output)), settings_(settings) {
    picture_.resize(static_cast<int>(settings.width), static_cast<int>(settings.height));
    sample_.attachments.emplace(1);
    install(std::move(opened));
  }

  void submit(PendingFrame frame) {
    {
      std::lock_guard lock(mailboxLock_);
      ++statistics_.submittedFrames;
      if (waitingFrame_) {
        ++statistics_.replacedFrames;
        // The replaced frame's keyframe request must not be lost with it.
        frame.forceKeyframe = frame.forceKeyframe || waitingFrame_->forceKeyframe;
      }
      waitingFrame_ = std::move(frame);
    }
    mailboxChanged_.notify_one();
  }

  void requestBitRate(std::int64_t bitsPerSecond) {
    {
      std::lock_guard lock(mailboxLock_);
      pendingBitRate_ = bitsPerSecond;
    }
    mailboxChanged_.notify_one();
  }

  void stop() {
    {
      std::lock_guard lock(mailboxLock_);
      stopping_ = true;
      waitingFrame_.reset();
    }
    mailboxChanged_.notify_one();
  }

  VideoEncoderStatistics statistics() const {
    std::lock_guard lock(mailboxLock_);
    return statistics_;
  }

  void run() {
    for (;;) {
      std::optional<PendingFrame> frame;
      std::optional<std::int64_t> bitRate;
      {
        std::unique_lock lock(mailboxLock_);
        mailboxChanged_.wait(lock, [this] { return stopping_ || waitingFrame_ || pendingBitRate_; });
        if (stopping_) {
          return;
        }
        frame = std::exchange(waitingFrame_, std::nullopt);
        bitRate = std::exchange(pendingBitRate_, std::nullopt);
      }
      // x265 must not be restarted during an encode, so a new rate is applied here between frames.
      if (bitRate) {
        applyBitRate(*bitRate);
      }
      if (frame) {
        const auto takenAt = std::chrono::steady_clock::now();
        sample_.encodeStartTime = std::chrono::duration<double>(takenAt.time_since_epoch()).count();
        if (frame->requestNextFrame) {
          // The capture grabs the next frame so that it is ready as this one is done: fresh, and
          // never grabbed only to be replaced here. It aims at the shortest of the recent encodes
          // rather than their average: a frame that waits a little costs less than an encoder that
          // waits for a frame (at the average, the encoder stood idle 12-14 % of the time).
          std::exchange(frame->requestNextFrame, nullptr)(takenAt + recentFrameTimes_.shortest());
        }
        encode(std::move(*frame));
        recentFrameTimes_.add(std::chrono::steady_clock::now() - takenAt);
      }
    }
  }

 private:
  // x265 3.5 accepts a new rate through x265_encoder_reconfig but its rate control keeps to the old
  // one (and refuses a change of HEVC level outright), so the encoder is restarted with the new
  // rate: a few milliseconds, and the next frame is an IDR with fresh parameter sets.
  void applyBitRate(std::int64_t bitsPerSecond) {
    EncoderSettings changed = settings_;
    changed.averageBitRate = bitsPerSecond;
    auto opened = openEncoder(changed);
    if (auto* error = std::get_if<VideoEncoderBackendError>(&opened)) {
      logger_.error("x265 could not change the bit rate to {}bps: {}", bitsPerSecond, error->description);
      return;
    }
    install(std::get<OpenedEncoder>(std::move(opened)));
    settings_ = changed;
  }

  void install(OpenedEncoder opened) {
    encoder_ = std::move(opened.encoder);
    param_ = std::move(opened.param);
    parameterSets_ = std::move(opened.parameterSets);
    EncodedFormatDescription description;
    for (const ByteBuffer& parameterSet : parameterSets_) {
      description.parameterSets.emplace_back(std::span<const std::uint8_t>(parameterSet));
    }
    sample_.formatDescription = std::move(description);
    x265_picture_init(param_.get(), &input_);
    input_.bitDepth = 8;
    input_.colorSpace = X265_CSP_I420;
    input_.planes[0] = picture_.luma();
    input_.planes[1] = picture_.cb();
    input_.planes[2] = picture_.cr();
    input_.stride[0] = picture_.width;
    input_.stride[1] = picture_.chromaWidth();
    input_.stride[2] = picture_.chromaWidth();
  }

  // Points x265's input at the picture to encode; the source must live until x265 has taken it.
  void convert(const PixelBuffer& source) {
    input_.planes[0] = picture_.luma();
    input_.stride[0] = picture_.width;
    if (source.width() == picture_.width && source.height() == picture_.height) {
      // x265 copies the input into its own frame, so the luma plane is read where it lies; only the
      // interleaved chroma needs splitting.
      input_.planes[0] = const_cast<std::uint8_t*>(source.luma());
      input_.stride[0] = source.lumaStride();
      libyuv::SplitUVPlane(source.chroma(), source.chromaStride(), picture_.cb(), picture_.chromaWidth(), picture_.cr(),
                           picture_.chromaWidth(), picture_.chromaWidth(), picture_.height / 2);
      return;
    }
    // The capture size differs from the session's: convert at the source size, then scale.
    if (unscaled_.width != source.width() || unscaled_.height != source.height()) {
      unscaled_.resize(source.width(), source.height());
    }
    libyuv::NV12ToI420(source.luma(), source.lumaStride(), source.chroma(), source.chromaStride(), unscaled_.luma(),
                       unscaled_.width, unscaled_.cb(), unscaled_.chromaWidth(), unscaled_.cr(),
                       unscaled_.chromaWidth(), unscaled_.width, unscaled_.height);
    libyuv::I420Scale(unscaled_.luma(), unscaled_.width, unscaled_.cb(), unscaled_.chromaWidth(), unscaled_.cr(),
                      unscaled_.chromaWidth(), unscaled_.width, unscaled_.height, picture_.luma(), picture_.width,
                      picture_.cb(), picture_.chromaWidth(), picture_.cr(), picture_.chromaWidth(), picture_.width,
                      picture_.height, libyuv::kFilterBilinear);
  }

  void encode(PendingFrame frame) {
    const int width = frame.pixelBuffer->width();
    const int height = frame.pixelBuffer->height();
    if (width < 2 || height < 2 || width % 2 != 0 || height % 2 != 0) {
      failFrame("the picture is not of an even size");  // 4:2:0 planes would be read past their end
      return;
    }
    convert(*frame.pixelBuffer);
    input_.pts = nextPts_++;
    input_.sliceType = frame.forceKeyframe ? X265_TYPE_IDR : X265_TYPE_AUTO;
    presentationTimes_.emplace_back(input_.pts, frame.presentationTime);

    x265_picture output;
    x265_picture_init(param_.get(), &output);
    x265_nal* nals = nullptr;
    std::uint32_t nalCount = 0;
    const int result = x265_encoder_encode(encoder_.get(), &nals, &nalCount, &input_, &output);
    frame.pixelBuffer.reset();  // copied by x265: back to the capture's pool before the output is sent
    if (result < 0) {
      presentationTimes_.clear();
      failFrame("x265_encoder_encode failed");
      return;
    }
    if (result == 0 || nalCount == 0) {
      output_(kEncoderStatusOK, nullptr);
      return;
    }
    {
      std::lock_guard lock(mailboxLock_);
      ++statistics_.encodedFrames;
    }
    sample_.presentationTime = takePresentationTime(output.pts);
    sample_.attachments->front().notSync = !(output.sliceType == X265_TYPE_IDR || output.sliceType == X265_TYPE_I);
    collectNalUnits(nals, nalCount);
    output_(kEncoderStatusOK, &sample_);
  }

  double takePresentationTime(std::int64_t pts) {
    double seconds = std::numeric_limits<double>::quiet_NaN();
    while (!presentationTimes_.empty() && presentationTimes_.front().first <= pts) {
      if (presentationTimes_.front().first == pts) {
        seconds = presentationTimes_.front().second;
      }
      presentationTimes_.pop_front();
    }
    return seconds;
  }

  // Every unit as x265 wrote it, except one behind a 3-byte start code: the wire wants four, so
  // that one gets a copy with the fourth byte.
  void collectNalUnits(const x265_nal* nals, std::uint32_t count) {
    sample_.nalUnits.clear();
    widenedUnits_.resize(count);
    for (std::uint32_t index = 0; index < count; ++index) {
      std::span<const std::uint8_t> unit(nals[index].payload, nals[index].sizeBytes);
      if (unit.size() > 3 && unit[0] == 0 && unit[1] == 0 && unit[2] == 1) {
        ByteBuffer& widened = widenedUnits_[index];
        widened.assign(1, 0);
        widened.insert(widened.end(), unit.begin(), unit.end());
        unit = widened;
      }
      sample_.nalUnits.push_back(unit);
    }
  }

  void failFrame(const char* reason) {
    if (const std::int64_t count = ++failedFrames_; log::isLoggedOccurrence(count)) {
      logger_.error("x265 could not encode a frame: {} (failures so far: {})", reason, count);
    }
    output_(kEncoderStatusEncodeFailed, nullptr);
  }

  log::Logger logger_{"VideoEncoder"};
  const VideoEncoderBackend::OutputCallback output_;

  // Touched on the encode thread only.
  EncoderSettings settings_;
  ParamPointer param_;
  EncoderPointer encoder_;
  std::array<ByteBuffer, 3> parameterSets_;
  PlanarPicture picture_;
  PlanarPicture unscaled_;
  x265_picture input_{};
  std::int64_t nextPts_ = 0;
  std::deque<std::pair<std::int64_t, double>> presentationTimes_;
  EncodedSample sample_;
  std::vector<ByteBuffer> widenedUnits_;  // see collectNalUnits
  std::int64_t failedFrames_ = 0;
  RecentDurations recentFrameTimes_;  // how long recent frames took from mailbox to output

  mutable std::mutex mailboxLock_;
  std::condition_variable mailboxChanged_;
  std::optional<PendingFrame> waitingFrame_;
  std::optional<std::int64_t> pendingBitRate_;
  bool stopping_ = false;
  VideoEncoderStatistics statistics_;
};

class X265EncoderBackend final : public VideoEncoderBackend {
 public:
  X265EncoderBackend(std::shared_ptr<X265Session> session, std::shared_ptr<LingeringThreads> lingering)
      : session_(std::move(session)), lingering_(std::move(lingering)) {
    thread_ = std::thread([session = session_, end = threadEnd_]() mutable {
      pthread_setname_np(pthread_self(), "velmora-x265");
      session->run();
      session.reset();  // the output callback and what it holds go before the thread counts as ended
      end->ended();
    });
  }

  ~X265EncoderBackend() override {
    session_->stop();
    if (thread_.get_id() == std::this_thread::get_id()) {
      lingering_->adopt(std::move(thread_), threadEnd_);  // dropped from its own callback: it ends by itself
    } else {
      thread_.join();
    }
  }

  X265EncoderBackend(const X265EncoderBackend&) = delete;
  X265EncoderBackend& operator=(const X265EncoderBackend&) = delete;

  void encodeFrame(std::shared_ptr<const PixelBuffer> pixelBuffer, double presentationTime, bool forceKeyframe,
                   NextFrameRequest requestNextFrame) override {
    if (!pixelBuffer) {
      return;
    }
    session_->submit(PendingFrame{std::move(pixelBuffer), presentationTime, forceKeyframe, std::move(requestNextFrame)});
  }

  bool setBitRate(std::int64_t bitsPerSecond) override {
    if (bitsPerSecond < kMinimumBitRate || bitsPerSecond > kMaximumBitRate) {
      return false;
    }
    session_->requestBitRate(bitsPerSecond);
    return true;
  }

  VideoEncoderStatistics statistics() const override { return session_->statistics(); }

 private:
  const std::shared_ptr<X265Session> session_;
  const std::shared_ptr<LingeringThreads> lingering_;
  const std::shared_ptr<LingeringThreads::EndMark> threadEnd_ = std::make_shared<LingeringThreads::EndMark>();
  std::thread thread_;
};

}  // namespace

std::optional<std::string> setX265ExtraOptions(std::vector<std::string> options) {
  ParamPointer trial(x265_param_alloc());
  if (!trial || x265_param_default_preset(trial.get(), "ultrafast", "zerolatency") < 0) {
    return "x265 has no ultrafast/zerolatency preset";
  }
  if (auto refused = refusedOption(trial.get(), options)) {
    return refused;
  }
  std::lock_guard lock(extraOptionsLock);
  extraOptions = std::move(options);
  return std::nullopt;
}

namespace {

VideoEncoderBackendCreation makeX265EncoderBackend(const EncoderSettings& requested,
                                                   VideoEncoderBackend::OutputCallback output,
                                                   std::shared_ptr<LingeringThreads> lingering) {
  EncoderSettings settings = requested;
  // 4:2:0 needs even sizes; rounding down keeps the picture inside what was captured.
  settings.width &= ~std::int64_t{1};
  settings.height &= ~std::int64_t{1};
  if (auto reason = invalidSettingsReason(settings)) {
    return VideoEncoderBackendError{kEncoderStatusInvalidSettings, *reason};
  }
  auto opened = openEncoder(settings);
  if (auto* error = std::get_if<VideoEncoderBackendError>(&opened)) {
    return *error;
  }
  auto session = std::make_shared<X265Session>(settings, std::get<OpenedEncoder>(std::move(opened)), std::move(output));
  return std::make_unique<X265EncoderBackend>(std::move(session), std::move(lingering));
}

}  // namespace

VideoEncoderBackendFactory makeX265EncoderBackendFactory() {
  return [lingering = std::make_shared<LingeringThreads>()](const EncoderSettings& settings,
                                                           VideoEncoderBackend::OutputCallback output) {
    return makeX265EncoderBackend(settings, std::move(output), lingering);
  };
}

}  // namespace velmora
