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

// The identifiers in the file when it is what the host may leave: one object whose only key holds
// a sorted array of distinct strings. Otherwise nothing, and `problem` says what is wrong.
std::optional<std::set<std::string>> storedIdentifiers(const std::filesystem::path& home, std::string& problem) {
  const auto stored = json::parse(readText(userDefaultsFile(home)), nullptr, false);
  if (stored.is_discarded() || !stored.is_object() || stored.size() != 1 || !stored.contains(kTrustedKey) ||
      !stored[kTrustedKey].is_array()) {
    problem = "not an object with only the key " + kTrustedKey + " holding an array";
    return std::nullopt;
  }
  std::set<std::string> identifiers;
  std::string previous;
  for (const auto& each : stored[kTrustedKey]) {
    if (!each.is_string() || (!identifiers.empty() && each.get<std::string>() <= previous)) {
      problem = "not a sorted array of distinct strings, at " + each.dump();
      return std::nullopt;
    }
    previous = each.get<std::string>();
    identifiers.insert(previous);
  }
  return identifiers;
}

// velmora-host started as HostUnderTest starts it, on a file that already trusts clients: such a
// host shows its code only when a client without one is refused, so one such client asks first.
class HostTrustingEarlierClients {
 public:
  explicit HostTrustingEarlierClients(const std::filesystem::path& home) {
    process_ = std::make_unique<WatchedProcess>(
        hostBinary(), std::vector<std::string>{"--headless", "--backend", "virtual", "--virtual-displays", "640x480"},
        testEnvironment(home));
    if (!process_->started() || !process_->waitForLineContaining("Control server listening", 30s)) {
      return;
    }
    WatchedProcess asking(clientBinary(), {"--host", "127.0.0.1", "--duration", "0"}, testEnvironment(home));
    const std::string prefix = "Verification code: ";
    const auto shown = process_->waitForLine([&](const std::string& line) { return line.starts_with(prefix); }, 30s);
    asking.waitForExit(30s);
    if (shown) {
      code_ = shown->second.substr(prefix.size());
    }
  }

  bool ready() const { return !code_.empty(); }
  const std::string& code() const { return code_; }
  WatchedProcess& process() { return *process_; }

 private:
  std::unique_ptr<WatchedProcess> process_;
  std::string code_;
};

// A client that pairs with `identifier`, waits for a few pictures and ends.
std::pair<int, json> pairAndReceive(const std::filesystem::path& home, const std::string& code,
                                    const std::string& identifier, std::string& output) {
  const auto script =
      writeScript(home, identifier, {R"({"waitForPictures": {"display": 0, "count": 5, "timeout": 30}})"});
  WatchedProcess client(clientBinary(),
                        {"--host", "127.0.0.1", "--preferred-height", "720", "--code", code, "--identifier",
                         identifier, "--script", script.string(), "--duration", "0.2"},
                        testEnvironment(home));
  auto result = finishClient(client, 60s);
  output = client.output();
  return result;
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
    HostTrustingEarlierClients host(home_);
    ASSERT_TRUE(host.ready()) << host.process().output();
    const auto linesBefore = host.process().lineCount();
    WatchedProcess client(clientBinary(),
                          {"--host", "127.0.0.1", "--code", host.code(), "--identifier", "measuring-client",
                           "--duration", "30"},
                          testEnvironment(home_));
    ASSERT_TRUE(host.process().waitForLineContaining("Received ClientHello", 30s, linesBefore))
        << host.process().output();
    const auto helloSeen = WatchedProcess::Clock::now();
    ASSERT_TRUE(host.process().waitForLineContaining("Mac local IP for video", 30s, linesBefore))
        << host.process().output();
    pairingTime = WatchedProcess::Clock::now() - helloSeen;
    host.process().signal(SIGTERM);
    ASSERT_EQ(host.process().waitForExit(20s), 0) << host.process().output();
    trusted.insert("measuring-client");
    std::string problem;
    ASSERT_EQ(storedIdentifiers(home_, problem), trusted) << problem;
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
    HostTrustingEarlierClients host(home_);
    ASSERT_TRUE(host.ready()) << host.process().output();
    const auto linesBefore = host.process().lineCount();
    WatchedProcess client(clientBinary(),
                          {"--host", "127.0.0.1", "--code", host.code(), "--identifier", identifier, "--duration",
                           "30"},
                          testEnvironment(home_));
    ASSERT_TRUE(host.process().waitForLineContaining("Received ClientHello", 30s, linesBefore))
        << host.process().output();
    // The moment of the kill is the point of the test; there is no event to wait for.
    std::this_thread::sleep_for(delay);
    host.process().signal(SIGKILL);
    ASSERT_EQ(host.process().waitForExit(20s), 128 + SIGKILL);

    std::string problem;
    const auto stored = storedIdentifiers(home_, problem);
    ASSERT_TRUE(stored) << problem;
    auto withNewOne = trusted;
    withNewOne.insert(identifier);
    ASSERT_TRUE(*stored == trusted || *stored == withNewOne) << "identifiers lost or added";
    storedRounds += *stored == withNewOne ? 1 : 0;
    trusted = *stored;
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
  HostTrustingEarlierClients host(home_);
  ASSERT_TRUE(host.ready()) << host.process().output();
  const auto filler = userDefaultsFile(home_).parent_path() / "filler";
  const auto filled = fillFileSystem(filler);
  ASSERT_GT(filled, 0);
  figureTable.add(scenario, "bytes written to fill the disk", filled);

  std::string output;
  const auto [fullStatus, fullReport] = pairAndReceive(home_, host.code(), "paired-on-a-full-disk", output);
  EXPECT_EQ(fullStatus, 0) << output;
  EXPECT_GE(displayStatistics(fullReport, 0).value("picturesDecoded", 0), 5) << "the client was not served";
  EXPECT_TRUE(host.process().waitForLineContaining(
      "Could not write user defaults to " + userDefaultsFile(home_).string() + ": No space left on device", 10s))
      << host.process().output();
  EXPECT_EQ(readText(userDefaultsFile(home_)), original);

  std::filesystem::remove(filler);
  const auto [freedStatus, freedReport] = pairAndReceive(home_, host.code(), "paired-after-freeing", output);
  EXPECT_EQ(freedStatus, 0) << output;
  std::string problem;
  // The identifier that could not be written was kept by the host and is written with the next.
  EXPECT_EQ(storedIdentifiers(home_, problem),
            (std::set<std::string>{"earlier-client", "paired-after-freeing", "paired-on-a-full-disk"}))
      << problem;
  figureTable.add(scenario, "failed writes the host logged",
                  static_cast<std::int64_t>(host.process().countLinesContaining("Could not write user defaults")));

  host.process().signal(SIGTERM);
  EXPECT_EQ(host.process().waitForExit(20s), 0) << host.process().output();
}

}  // namespace
}  // namespace velmora::reliability
