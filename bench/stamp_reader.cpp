// stamp_reader: counts the pictures of a raw planar 4:2:0 stream on standard input (what
// `ffmpeg ... -f rawvideo -pix_fmt yuv420p pipe:1` writes) and measures their latency from the
// frame stamps the screen animator drew into them.
//
//   stamp_reader --size WxH
//
// Writes "first picture" to standard error once the first whole picture is in, and at the end of
// the input (or on SIGINT or SIGTERM) one JSON object on standard output: pictures,
// stampedPictures, distinctStamps, framesPerSecond, latencyMilliseconds, trailingBytes (a
// partial last picture).
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/end_to_end_support.h"

namespace velmora {
namespace {

constexpr int kPipeCapacity = 1 << 20;  // bytes: a picture arrives in fewer wake-ups

std::atomic<bool> stopRequested = false;

void requestStop(int) { stopRequested = true; }

// Fills `buffer` from standard input; the bytes read, fewer at the end of the input or on a stop.
std::size_t readPicture(std::vector<std::uint8_t>& buffer) {
  std::size_t filled = 0;
  while (filled < buffer.size() && !stopRequested) {
    const ssize_t count = read(STDIN_FILENO, buffer.data() + filled, buffer.size() - filled);
    if (count > 0) {
      filled += static_cast<std::size_t>(count);
    } else if (count == 0 || errno != EINTR) {
      if (count < 0) {
        std::fprintf(stderr, "stamp_reader: reading standard input: %s\n", std::strerror(errno));
      }
      break;
    }
  }
  return filled;
}

int run(const PixelRect& size) {
  const std::size_t lumaBytes = static_cast<std::size_t>(size.width) * static_cast<std::size_t>(size.height);
  const std::size_t chromaBytes =
      2 * static_cast<std::size_t>((size.width + 1) / 2) * static_cast<std::size_t>((size.height + 1) / 2);
  std::vector<std::uint8_t> picture(lumaBytes + chromaBytes);
  fcntl(STDIN_FILENO, F_SETPIPE_SZ, kPipeCapacity);  // a file or a smaller limit is fine too

  StampTally tally;
  std::size_t trailingBytes = 0;
  while (!stopRequested) {
    const std::size_t filled = readPicture(picture);
    if (filled < picture.size()) {
      trailingBytes = filled;
      break;
    }
    tally.addPicture(picture.data(), size.width, size.width, size.height, StampTally::Clock::now());
    if (tally.pictures() == 1) {
      std::fputs("first picture\n", stderr);
      std::fflush(stderr);
    }
  }
  nlohmann::json report = tally.toJson();
  report["trailingBytes"] = trailingBytes;
  std::printf("%s\n", report.dump().c_str());
  return 0;
}

}  // namespace
}  // namespace velmora

int main(int argc, char** argv) {
  using namespace velmora;
  const std::optional<PixelRect> size =
      argc == 3 && std::string(argv[1]) == "--size" ? parsePictureArea(argv[2], false) : std::nullopt;
  if (!size) {
    std::fprintf(stderr, "usage: stamp_reader --size WxH   (a raw yuv420p stream on standard input)\n");
    return 2;
  }
  // No SA_RESTART: a signal ends a read that waits for the next picture.
  struct sigaction action {};
  action.sa_handler = requestStop;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  return run(*size);
}
