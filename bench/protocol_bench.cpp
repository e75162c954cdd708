#include <benchmark/benchmark.h>

#include <cstring>
#include <numeric>
#include <vector>

#include "protocol/control_message.h"
#include "protocol/frame_accumulator.h"
#include "protocol/frame_fragmenter.h"
#include "protocol/handshake_message.h"
#include "protocol/message_coder.h"

namespace velmora {
namespace {

constexpr std::size_t frameSize = 150 * 1024;

void decodeFramedMouseMove(benchmark::State& state) {
  const std::vector<std::uint8_t> frame =
      MessageCoder::shared().encode(ControlMessage(ControlMessage::MouseMove{812.5, 433}));
  FrameAccumulator accumulator;
  for (auto _ : state) {
    accumulator.append(frame);
    benchmark::DoNotOptimize(accumulator.nextMessage<ControlMessage>());
  }
}
BENCHMARK(decodeFramedMouseMove);

void encodeServerHelloWithThreeDisplays(benchmark::State& state) {
  const HandshakeMessage hello = ServerHello{
      .protocolVersion = 2,
      .hostName = "Studio",
      .screenWidth = 3008,
      .screenHeight = 1692,
      .videoPort = 5921,
      .frameRate = 60,
      .videoHost = "192.168.1.5",
      .displays = std::vector<DisplayInfo>{{1, "Built-in Retina Display", 1512, 982, true},
                                           {2, "DELL U2723QE", 2560, 1440, false},
                                           {3, std::nullopt, 1920, 1080, false}},
  };
  for (auto _ : state) {
    benchmark::DoNotOptimize(MessageCoder::shared().encode(hello));
  }
}
BENCHMARK(encodeServerHelloWithThreeDisplays);

// A keyframe's shape: three small parameter sets, then the picture.
std::vector<std::vector<std::uint8_t>> nalUnitsOf150KB() {
  std::vector<std::vector<std::uint8_t>> units = {std::vector<std::uint8_t>(24), std::vector<std::uint8_t>(48),
                                                  std::vector<std::uint8_t>(12)};
  units.emplace_back(frameSize - 84);
  for (auto& unit : units) {
    std::iota(unit.begin(), unit.end(), std::uint8_t{0});
  }
  return units;
}

void cut150KBFrameIntoDatagrams(benchmark::State& state) {
  const auto units = nalUnitsOf150KB();
  const VideoFrameMetadata metadata{1, 0, true, frameSize, 0};
  std::size_t datagramBytes = 0;
  for (auto _ : state) {
    FrameFragmenter::cut(metadata, units, [&](std::span<const std::uint8_t> datagram) {
      benchmark::DoNotOptimize(datagram.data());
      datagramBytes += datagram.size();
    });
    benchmark::ClobberMemory();
  }
  benchmark::DoNotOptimize(datagramBytes);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * frameSize));
}
BENCHMARK(cut150KBFrameIntoDatagrams);

void memcpy150KB(benchmark::State& state) {
  const auto units = nalUnitsOf150KB();
  std::vector<std::uint8_t> source;
  for (const auto& unit : units) {
    source.insert(source.end(), unit.begin(), unit.end());
  }
  std::vector<std::uint8_t> destination(frameSize);
  for (auto _ : state) {
    std::memcpy(destination.data(), source.data(), frameSize);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * frameSize));
}
BENCHMARK(memcpy150KB);

}  // namespace
}  // namespace velmora

BENCHMARK_MAIN();
