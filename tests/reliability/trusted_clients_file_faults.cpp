// The trusted-clients file of the real host when the host is killed while it writes the file, and
// when the disk it lives on is full.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "tests/reliability/suite_support.h"

namespace velmora::reliability {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

const std::string kTrustedKey = "trustedClientIdentifiers";

std::filesystem::path userDefaultsFile(const std::filesystem::path& home) {
  return home / "velmora" / "user-defaults.json";
}

std::string readText(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

void writeTrustedIdentifiers(const std::filesystem::path& home, const std::set<std::string>& identifiers) {
  std::filesystem::create_directories(userDefaultsFile(home).parent_path());
  std::ofstream(userDefaultsFile(home), std::ios::binary) << json{{kTrustedKey, identifiers}}.dump(2) << "\n";
}

// The file as the host must leave it: one key, holding the identifiers sorted and distinct.
json fileTrusting(const std::set<std::string>& identifiers) { return json{{kTrustedKey, identifiers}}; }
json storedFile(const std::filesystem::path& home) {
  return json::parse(readText(userDefaultsFile(home)), nullptr, false);
}

// A host on a file that already trusts clients shows its code only when a client without one is
// refused, so one such client asks first.
std::unique_ptr<HostUnderTest> startTrustingHost(const std::filesystem::path& home) {
  auto host = std::make_unique<HostUnderTest>(home, testing::virtualHostArguments("640x480"));
  if (host->ready()) {
    auto asking = testing::startClient(home, "asking", {}, {"--duration", "0"});
    host->code();
    asking->waitForExit(30s);
  }
  return host;
}

// A client that pairs and stays, so that the host is busy trusting it when it is killed.
std::unique_ptr<ChildProcess> startPairing(const std::filesystem::path& home, HostUnderTest& host,
                                           const std::string& identifier) {
  return testing::startClient(home, identifier, {}, {"--code", host.code(), "--identifier", identifier, "--duration", "30"});
}

TEST_F(ReliabilityTest, HostKilledWhileWritingTrustedClientsLeavesTheFileWhole) {
  const std::string scenario = "killed while trusting";
  // Enough identifiers that writing them all takes the host a while.
  std::set<std::string> trusted;
  for (int each = 0; each < 20000; ++each) {
    char identifier[32];
    std::snprintf(identifier, sizeof identifier, "earlier-client-%05d", each);
    trusted.insert(identifier);
  }
  writeTrustedIdentifiers(home_, trusted);

  // How long a pairing takes the host, from the hello to the line after the write; the kills
  // below fall before, during and after it.
  std::chrono::nanoseconds pairingTime{};
  {
    auto host = startTrustingHost(home_);
    ASSERT_TRUE(host->ready()) << host->process().output();
    const auto linesBefore = host->process().lineCount();
    auto client = startPairing(home_, *host, "measuring-client");
    ASSERT_TRUE(host->process().waitForLineContaining("Received ClientHello", 30s, linesBefore))
        << host->process().output();
    const auto helloSeen = ChildProcess::Clock::now();
    ASSERT_TRUE(host->process().waitForLineContaining("Mac local IP for video", 30s, linesBefore))
        << host->process().output();
    pairingTime = ChildProcess::Clock::now() - helloSeen;
    ASSERT_EQ(host->terminate(), 0) << host->process().output();
    trusted.insert("measuring-client");
    ASSERT_TRUE(storedFile(home_) == fileTrusting(trusted));
  }

  // Each round kills at a random moment of its own slice of twice the pairing time, so that the
  // kills spread from the hello to well past the write.
  std::mt19937 random{std::random_device{}()};
  std::uniform_real_distribution<double> withinSlice(0, 1);
  const int rounds = longMode ? 50 : 5;
  int storedRounds = 0;
  for (int round = 0; round < rounds; ++round) {
    const std::string identifier = "client-of-round-" + std::to_string(round);
    const auto delay = std::chrono::duration_cast<std::chrono::nanoseconds>(
        2 * pairingTime * (round + withinSlice(random)) / rounds);
    SCOPED_TRACE(identifier + ", killed " + std::to_string(delay.count() / 1000) + " us after the hello");
    auto host = startTrustingHost(home_);
    ASSERT_TRUE(host->ready()) << host->process().output();
    const auto linesBefore = host->process().lineCount();
    auto client = startPairing(home_, *host, identifier);
    ASSERT_TRUE(host->process().waitForLineContaining("Received ClientHello", 30s, linesBefore))
        << host->process().output();
    // The moment of the kill is the point of the test; there is no event to wait for.
    std::this_thread::sleep_for(delay);
    host->process().signal(SIGKILL);
    ASSERT_EQ(host->process().waitForExit(20s), 128 + SIGKILL);

    const auto stored = storedFile(home_);
    auto withNewOne = trusted;
    withNewOne.insert(identifier);
    const bool storedNewOne = stored == fileTrusting(withNewOne);
    ASSERT_TRUE(storedNewOne || stored == fileTrusting(trusted)) << "the file is broken or identifiers were lost";
    storedRounds += storedNewOne ? 1 : 0;
    trusted = storedNewOne ? withNewOne : trusted;
    for (const auto& entry : std::filesystem::directory_iterator(userDefaultsFile(home_).parent_path())) {
      const auto name = entry.path().filename().string();
      EXPECT_TRUE(name == "user-defaults.json" || name == ".user-defaults.json.tmp" || name == "host.lock")
          << "stray file " << name;
    }
  }

  figureTable.add(scenario, "pairing time, hello to the line after the write",
                  milliseconds(std::chrono::duration<double, std::milli>(pairingTime).count()));
  figureTable.add(scenario, "rounds (host killed around a pairing)", rounds);
  figureTable.add(scenario, "rounds whose new identifier was stored", storedRounds);
  figureTable.add(scenario, "file size (bytes)",
                  static_cast<std::int64_t>(std::filesystem::file_size(userDefaultsFile(home_))));
}

// Fills the file system of `path` to the last byte; the bytes written.
std::int64_t fillFileSystem(const std::filesystem::path& path) {
  const int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  if (file < 0) {
    return -1;
  }
  std::int64_t total = 0;
  const std::string block(64 * 1024, 'x');
  for (std::size_t size = block.size(); size > 0; size /= 2) {
    for (;;) {
      const ssize_t count = ::write(file, block.data(), size);
      if (count <= 0) {
        break;
      }
      total += count;
    }
  }
  ::close(file);
  return total;
}

// in_network_namespace.sh says so when it made a mount namespace: a mount made there is seen by
// nobody else and goes away with it.
bool inPrivateMountNamespace() {
  const char* marker = std::getenv("VELMORA_PRIVATE_MOUNT_NAMESPACE");
  return marker != nullptr && std::string(marker) == "1";
}

// A small tmpfs mounted over a folder while it lives.
class SmallFileSystem {
 public:
  explicit SmallFileSystem(std::filesystem::path folder) : folder_(std::move(folder)) {
    std::filesystem::create_directories(folder_);
    mounted_ = shell("mount -t tmpfs -o size=256k,mode=0700 tmpfs " + folder_.string());
  }
  ~SmallFileSystem() {
    if (mounted_ && !shell("umount " + folder_.string())) {
      shell("umount -l " + folder_.string());
    }
  }
  SmallFileSystem(const SmallFileSystem&) = delete;
  SmallFileSystem& operator=(const SmallFileSystem&) = delete;

  bool mounted() const { return mounted_; }

 private:
  std::filesystem::path folder_;
  bool mounted_ = false;
};

TEST_F(ReliabilityTest, FullDiskForTrustedClientsIsLoggedAndTheSessionGoesOn) {
  const std::string scenario = "full disk";
  if (!inPrivateMountNamespace()) {
    GTEST_SKIP() << "not in a private mount namespace (run it through in_network_namespace.sh)";
  }
  // Declared before the host, so that it is unmounted only after the host let go of its files.
  SmallFileSystem fileSystem(userDefaultsFile(home_).parent_path());
  if (!fileSystem.mounted()) {
    GTEST_SKIP() << "cannot mount a tmpfs here (mount -t tmpfs needs root in this mount namespace)";
  }
  writeTrustedIdentifiers(home_, {"earlier-client"});
  const auto original = readText(userDefaultsFile(home_));
  auto host = startTrustingHost(home_);
  ASSERT_TRUE(host->ready()) << host->process().output();
  const auto filler = userDefaultsFile(home_).parent_path() / "filler";
  const auto filled = fillFileSystem(filler);
  ASSERT_GT(filled, 0);
  figureTable.add(scenario, "bytes written to fill the disk", filled);

  const auto fullReport =
      runClient(home_, "full", {waitForPicturesLine(5)}, {"--code", host->code(), "--identifier", "paired-on-a-full-disk"})
          .report;
  EXPECT_GE(displayStatistics(fullReport, 0).value("picturesDecoded", 0), 5) << "the client was not served";
  EXPECT_TRUE(host->process().waitForLineContaining(
      "Could not write user defaults to " + userDefaultsFile(home_).string() + ": No space left on device", 10s))
      << host->process().output();
  EXPECT_EQ(readText(userDefaultsFile(home_)), original);

  std::filesystem::remove(filler);
  runClient(home_, "freed", {waitForPicturesLine(5)}, {"--code", host->code(), "--identifier", "paired-after-freeing"});
  // The identifier that could not be written was kept by the host and is written with the next.
  EXPECT_EQ(storedFile(home_), fileTrusting({"earlier-client", "paired-after-freeing", "paired-on-a-full-disk"}));
  figureTable.add(scenario, "failed writes the host logged",
                  static_cast<std::int64_t>(host->process().countLinesContaining("Could not write user defaults")));

  EXPECT_EQ(host->terminate(), 0) << host->process().output();
}

}  // namespace
}  // namespace velmora::reliability
