// X11 capture costs under Xvfb: grab, scale and NV12 conversion per frame (Google Benchmark), then
// the rate and CPU per frame of a capture stream at 60 fps on a changing screen beside ffmpeg's
// x11grab on the same screen, and the CPU a stream uses on a still screen.
#include <benchmark/benchmark.h>
#include <fmt/format.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "platform/libyuv/argb_frame_converter.h"
#include "platform/testing/xvfb_server.h"
#include "platform/x11/x11_capture_backend.h"
#include "platform/x11/x11_display_source.h"
#include "platform/x11/x11_screen_grabber.h"
#include "platform/x11/x11_test_painter.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Two monitors on one screen: the two sizes measured.
struct MonitorUnderTest {
  const char* name;
  PixelRect area;
};
constexpr MonitorUnderTest kMonitors[] = {{"Full", {0, 0, 1920, 1080}}, {"Large", {1920, 0, 2880, 1620}}};
constexpr int kScreenWidth = 4800;
constexpr int kScreenHeight = 1620;
constexpr auto kStreamRun = 5s;
constexpr auto kStillRun = 3s;
constexpr int kFrameRate = 60;
constexpr auto kPaintInterval = std::chrono::microseconds(1'000'000 / 120);  // twice the capture rate

std::string displayName;

const MonitorUnderTest& monitorOfWidth(std::int64_t width) {
  return width == 1920 ? kMonitors[0] : kMonitors[1];
}

void grab(benchmark::State& state, X11ScreenGrabber::Transfer transfer) {
  const auto& monitor = monitorOfWidth(state.range(0));
  auto connection = openX11Connection(displayName);
  auto grabber = X11ScreenGrabber::create(connection.value().get(), monitor.area.width, monitor.area.height, transfer);
  for (auto _ : state) {
    benchmark::DoNotOptimize(grabber.value()->grab(monitor.area.x, monitor.area.y));
  }
  state.SetLabel(grabber.value()->usesSharedMemory() ? "MIT-SHM" : "GetImage");
}

void grabSharedMemory(benchmark::State& state) { grab(state, X11ScreenGrabber::Transfer::automatic); }
BENCHMARK(grabSharedMemory)->Arg(1920)->Arg(2880)->Unit(benchmark::kMillisecond)->UseRealTime();

void grabGetImage(benchmark::State& state) { grab(state, X11ScreenGrabber::Transfer::getImageOnly); }
BENCHMARK(grabGetImage)->Arg(1920)->Arg(2880)->Unit(benchmark::kMillisecond)->UseRealTime();

std::vector<std::uint8_t> testPicture(int width, int height) {
  std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height * 4);
  for (std::size_t index = 0; index < pixels.size(); ++index) {
    pixels[index] = static_cast<std::uint8_t>(index * 7 / 5);
  }
  return pixels;
}

// Args: source width (1920 or 2880); scaled to 1280x720 and 1920x1080 respectively.
void scaleArgb(benchmark::State& state) {
  const auto& monitor = monitorOfWidth(state.range(0));
  auto pixels = testPicture(monitor.area.width, monitor.area.height);
  const ArgbImage image{pixels.data(), monitor.area.width * 4, monitor.area.width, monitor.area.height};
  const int width = monitor.area.width * 2 / 3;
  const int height = monitor.area.height * 2 / 3;
  ArgbFrameConverter converter;
  for (auto _ : state) {
    benchmark::DoNotOptimize(converter.scaled(image, width, height));
  }
  state.SetLabel(fmt::format("to {}x{}", width, height));
}
BENCHMARK(scaleArgb)->Arg(1920)->Arg(2880)->Unit(benchmark::kMillisecond);

void convertToNv12(benchmark::State& state) {
  const auto& monitor = monitorOfWidth(state.range(0));
  auto pixels = testPicture(monitor.area.width, monitor.area.height);
  const ArgbImage image{pixels.data(), monitor.area.width * 4, monitor.area.width, monitor.area.height};
  PixelBuffer picture(monitor.area.width, monitor.area.height);
  for (auto _ : state) {
    ArgbFrameConverter::convertToNv12(image, picture);
    benchmark::DoNotOptimize(picture.luma());
  }
}
BENCHMARK(convertToNv12)->Arg(1920)->Arg(2880)->Unit(benchmark::kMillisecond);

double threadCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

double processCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// User and system time of the X server, which does the copying of every grab.
double serverCpuSeconds() {
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::ifstream commandLine(entry.path() / "cmdline");
    const std::string text((std::istreambuf_iterator<char>(commandLine)), std::istreambuf_iterator<char>());
    if (text.rfind("/usr/bin/Xvfb", 0) != 0 || text.find(std::string(1, '\0') + displayName + '\0') == std::string::npos) {
      continue;
    }
    std::ifstream statFile(entry.path() / "stat");
    const std::string stat((std::istreambuf_iterator<char>(statFile)), std::istreambuf_iterator<char>());
    // Fields after the command name, which is in parentheses: state is field 3, utime 14, stime 15.
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::vector<std::string> values((std::istream_iterator<std::string>(fields)), std::istream_iterator<std::string>());
    if (values.size() < 13) {
      return 0;
    }
    return (std::stod(values[11]) + std::stod(values[12])) / static_cast<double>(sysconf(_SC_CLK_TCK));
  }
  return 0;
}

// Repaints a square of every monitor in alternating colours on a thread of its own.
class ChangingScreen {
 public:
  ChangingScreen() : painter_(std::move(X11TestPainter::open(displayName).value())) {
    thread_ = std::thread([this] {
      const double startCpu = threadCpuSeconds();
      auto due = Clock::now();
      for (std::uint32_t step = 0; !stopRequested_; ++step) {
        for (const auto& monitor : kMonitors) {
          painter_->fillRoot({monitor.area.x + 100, monitor.area.y + 100, 400, 300}, step % 2 == 0 ? 0xff8000 : 0x0080ff);
        }
        painter_->sync();
        due += kPaintInterval;
        std::this_thread::sleep_until(due);
      }
      cpuSeconds_ = threadCpuSeconds() - startCpu;
    });
  }

  // The CPU time the painting took.
  double stop() {
    stopRequested_ = true;
    thread_.join();
    return cpuSeconds_;
  }

 private:
  std::unique_ptr<X11TestPainter> painter_;
  std::atomic<bool> stopRequested_ = false;
  double cpuSeconds_ = 0;
  std::thread thread_;
};

class FrameCounter : public ScreenCaptureStreamOutput {
 public:
  void streamDidOutputSampleBuffer(const SampleBuffer&, SampleOutputType) override { ++frames; }
  std::atomic<int> frames = 0;
};

struct Measurement {
  double framesPerSecond = 0;
  double clientMillisecondsPerFrame = 0;  // process CPU
  double serverMillisecondsPerFrame = 0;  // X server CPU
  double clientCpuPercent = 0;
};

std::uint32_t displayIDNamed(const std::string& name) {
  const auto source = X11DisplaySource::open(displayName).value();
  for (const auto& screen : source->screens()) {
    if (screen.name == name) {
      return screen.displayID;
    }
  }
  return 0;
}

// A stream of the monitor at its own size; measured after its first frame, so that setting up
// (connection, shared memory, the first picture) is not counted.
Measurement measureStream(const MonitorUnderTest& monitor, std::chrono::seconds duration, bool changing) {
  const auto backend = X11CaptureBackend::open(displayName).value();
  const auto counter = std::make_shared<FrameCounter>();
  const ScreenCaptureStreamConfiguration configuration{monitor.area.width, monitor.area.height, MediaTime{1, kFrameRate},
                                                       kPixelFormat420v, 3, true, false};
  const auto stream = backend->makeStream(displayIDNamed(monitor.name), configuration, {});
  stream->addStreamOutput(counter, SampleOutputType::screen);
  stream->startCapture([](const std::optional<std::string>& error) {
    if (error) {
      fmt::print(stderr, "capture failed: {}\n", *error);
    }
  });
  while (counter->frames == 0) {
    std::this_thread::sleep_for(10ms);
  }
  std::optional<ChangingScreen> screen;
  if (changing) {
    screen.emplace();
  }
  const int startFrames = counter->frames;
  const double startCpu = processCpuSeconds();
  const double startServerCpu = serverCpuSeconds();
  const auto start = Clock::now();
  std::this_thread::sleep_for(duration);
  const int frames = counter->frames - startFrames;
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const double paintCpu = screen ? screen->stop() : 0;
  const double cpu = processCpuSeconds() - startCpu - paintCpu;
  const double serverCpu = serverCpuSeconds() - startServerCpu;
  stream->stopCapture([](const std::optional<std::string>&) {});
  const double perFrame = std::max(frames, 1);
  return {frames / seconds, cpu * 1000 / perFrame, serverCpu * 1000 / perFrame, cpu * 100 / seconds};
}

// ffmpeg's x11grab on the same area, run for `duration` of its own timestamps.
std::optional<Measurement> measureFfmpeg(const MonitorUnderTest& monitor, std::chrono::seconds duration, bool convertToNv12) {
  const std::string log = "/tmp/velmora-x11-bench-ffmpeg.log";
  std::vector<std::string> arguments = {"/usr/bin/ffmpeg", "-hide_banner", "-nostdin", "-f", "x11grab", "-framerate",
                                        std::to_string(kFrameRate), "-video_size",
                                        fmt::format("{}x{}", monitor.area.width, monitor.area.height), "-i",
                                        fmt::format("{}+{},{}", displayName, monitor.area.x, monitor.area.y), "-t",
                                        std::to_string(duration.count())};
  if (convertToNv12) {
    arguments.insert(arguments.end(), {"-pix_fmt", "nv12"});
  }
  arguments.insert(arguments.end(), {"-f", "null", "-"});
  std::vector<char*> argv;
  for (auto& argument : arguments) {
    argv.push_back(argument.data());
  }
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ChangingScreen screen;
  const double startServerCpu = serverCpuSeconds();
  pid_t pid = -1;
  const bool spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0;
  posix_spawn_file_actions_destroy(&actions);
  if (!spawned) {
    screen.stop();
    return std::nullopt;
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  const double serverCpu = serverCpuSeconds() - startServerCpu;
  screen.stop();
  std::ifstream logFile(log);
  const std::string text((std::istreambuf_iterator<char>(logFile)), std::istreambuf_iterator<char>());
  int frames = 0;
  const std::regex frameCount(R"(frame=\s*(\d+))");
  for (auto match = std::sregex_iterator(text.begin(), text.end(), frameCount); match != std::sregex_iterator(); ++match) {
    frames = std::stoi((*match)[1].str());
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || frames == 0) {
    fmt::print(stderr, "ffmpeg failed; its log is in {}\n", log);
    return std::nullopt;
  }
  const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                     static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  const double seconds = static_cast<double>(duration.count());
  return Measurement{frames / seconds, cpu * 1000 / frames, serverCpu * 1000 / frames, cpu * 100 / seconds};
}

void printRow(const std::string& what, const std::optional<Measurement>& measurement) {
  if (!measurement) {
    fmt::print("{:<44} (not measured)\n", what);
    return;
  }
  fmt::print("{:<44} {:>7.1f} fps {:>8.2f} ms {:>8.2f} ms {:>7.1f} %\n", what, measurement->framesPerSecond,
             measurement->clientMillisecondsPerFrame, measurement->serverMillisecondsPerFrame, measurement->clientCpuPercent);
}

void compareWithFfmpeg() {
  fmt::print("\n{:<44} {:>11} {:>11} {:>11} {:>9}\n", "60 fps on a changing screen, 5 s", "rate", "CPU/frame",
             "Xvfb/frame", "CPU");
  for (const auto& monitor : kMonitors) {
    const std::string size = fmt::format("{}x{}", monitor.area.width, monitor.area.height);
    printRow("X11 capture stream (grab+cursor+NV12) " + size, measureStream(monitor, kStreamRun, true));
    printRow("ffmpeg x11grab -f null " + size, measureFfmpeg(monitor, kStreamRun, false));
    printRow("ffmpeg x11grab -pix_fmt nv12 -f null " + size, measureFfmpeg(monitor, kStreamRun, true));
  }
  fmt::print("\nStill screen, {} s after the first frame:\n", kStillRun.count());
  for (const auto& monitor : kMonitors) {
    const auto still = measureStream(monitor, kStillRun, false);
    const double frames = still.framesPerSecond * kStillRun.count();
    fmt::print("X11 capture stream {}x{}: {:.0f} frames, {:.1f} ms CPU ({:.2f} %), Xvfb {:.1f} ms\n", monitor.area.width,
               monitor.area.height, frames, still.clientCpuPercent * 10 * kStillRun.count(), still.clientCpuPercent,
               still.serverMillisecondsPerFrame);
  }
}

}  // namespace
}  // namespace velmora

int main(int argc, char** argv) {
  using namespace velmora;
  benchmark::Initialize(&argc, argv);
  const velmora::testing::XvfbServer server(kScreenWidth, kScreenHeight);
  if (!server.available()) {
    fmt::print(stderr, "Xvfb is not available\n");
    return 1;
  }
  displayName = server.display();
  server.run(fmt::format("xrandr --setmonitor Full {}/500x{}/300+0+0 screen", kMonitors[0].area.width, kMonitors[0].area.height));
  server.run(fmt::format("xrandr --setmonitor Large {}/750x{}/450+{}+{} none", kMonitors[1].area.width, kMonitors[1].area.height,
                         kMonitors[1].area.x, kMonitors[1].area.y));
  server.run("xdotool mousemove 700 600");
  benchmark::RunSpecifiedBenchmarks();
  compareWithFfmpeg();
  benchmark::Shutdown();
  return 0;
}
