#include "app/app_delegate.h"

#include "app/app_build_info.h"
#include "platform/log/log.h"
#include "platform/testing/fake_capture_backend.h"
#include "platform/virtual/virtual_display_source.h"
#include "platform/virtual/virtual_input_backend.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace velmora {
namespace {

class CountingIdleSleepInhibition : public IdleSleepInhibiting {
 public:
  void inhibitIdleSleep(const std::string& reason) override { reasons.push_back(reason); }
  std::vector<std::string> reasons;
};

class AppDelegateTest : public ::testing::Test {
 protected:
  ~AppDelegateTest() override { std::filesystem::remove_all(root_); }

  // One launching instance and what it did.
  struct Instance {
    std::shared_ptr<CountingIdleSleepInhibition> inhibition = std::make_shared<CountingIdleSleepInhibition>();
    int backendOpenings = 0;
    int controllerStarts = 0;
    int terminations = 0;
    std::vector<std::string> startUpFailures;
    std::unique_ptr<AppDelegate> delegate;
  };

  // `openingFails`: the reason the backends do not open, or empty when they do.
  std::unique_ptr<Instance> launch(std::function<bool()> isTestRun = [] { return false; },
                                   const std::string& openingFails = {}) {
    auto instance = std::make_unique<Instance>();
    auto* counts = instance.get();
    const auto openBackends = [counts, openingFails]() -> Result<AppDelegate::OpenedBackends> {
      ++counts->backendOpenings;
      if (!openingFails.empty()) {
        return Result<AppDelegate::OpenedBackends>::failure(openingFails);
      }
      auto displays = std::make_shared<VirtualDisplaySource>(VirtualDisplayLayout{});
      return AppDelegate::OpenedBackends{std::make_shared<testing::FakeCaptureBackend>(),
                                         std::make_shared<VirtualInputBackend>(displays)};
    };
    instance->delegate = std::make_unique<AppDelegate>(
        StartupEnvironment{std::move(isTestRun), instance->inhibition},
        AppDelegate::Dependencies{lockPath_, openBackends, [counts] { ++counts->controllerStarts; },
                                  [counts] { ++counts->terminations; },
                                  [counts](const std::string& reason) { counts->startUpFailures.push_back(reason); }});
    instance->delegate->applicationDidFinishLaunching();
    return instance;
  }

  std::filesystem::path root_ = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "velmora-startup-XXXXXX").string();
    return std::filesystem::path(::mkdtemp(pattern.data()));
  }();
  std::filesystem::path lockPath_ = root_ / "velmora" / "host.lock";
  log::MemoryLogSink logs_;
};

TEST_F(AppDelegateTest, TestRunVariableEvenWhenEmptyStopsStartUpBeforeAnySideEffect) {
  constexpr const char* kName = "XCTestConfigurationFilePath";
  unsetenv(kName);
  EXPECT_FALSE(StartupEnvironment::environmentMarksTestRun());
  setenv(kName, "", 1);
  const bool marked = StartupEnvironment::environmentMarksTestRun();
  unsetenv(kName);
  EXPECT_TRUE(marked);

  auto instance = launch([] { return true; });

  EXPECT_EQ(instance->backendOpenings, 0);
  EXPECT_EQ(instance->controllerStarts, 0);
  EXPECT_TRUE(instance->inhibition->reasons.empty());
  EXPECT_EQ(logs_.count(log::Level::info, "Running under XCTest — skipping menu-bar startup side effects"), 1u);
  EXPECT_FALSE(std::filesystem::exists(lockPath_)) << "no single-instance lock is taken";
}

TEST_F(AppDelegateTest, NewerInstanceQuitsAndTheFirstKeepsRunning) {
  auto first = launch();
  EXPECT_EQ(first->controllerStarts, 1);
  EXPECT_EQ(first->inhibition->reasons, std::vector<std::string>{kKeepRunningReason});

  auto second = launch();
  EXPECT_EQ(second->terminations, 1);
  EXPECT_EQ(second->backendOpenings, 0) << "a second instance touches no desktop";
  EXPECT_EQ(second->controllerStarts, 0);
  EXPECT_EQ(logs_.countContaining("Another Velmora instance is already running"), 1u);

  first.reset();
  EXPECT_EQ(launch()->controllerStarts, 1) << "once the first has quit, a new one may run";
}

TEST_F(AppDelegateTest, UnusableLockFolderIsLoggedAndStartUpGoesOn) {
  std::filesystem::create_directories(lockPath_.parent_path());
  ::chmod(lockPath_.parent_path().c_str(), 0777);

  EXPECT_EQ(launch()->controllerStarts, 1);
  EXPECT_EQ(logs_.countContaining("Cannot check for another running instance: Refusing the lock folder"), 1u);
}

TEST_F(AppDelegateTest, BackendsThatDoNotOpenFailStartUpWithTheirReasonAndStartNothing) {
  auto instance = launch([] { return false; }, "cannot use the X11 display: no X display given");

  EXPECT_EQ(instance->startUpFailures, std::vector<std::string>{"cannot use the X11 display: no X display given"});
  EXPECT_EQ(instance->controllerStarts, 0);
  EXPECT_EQ(instance->terminations, 0);
  EXPECT_EQ(logs_.countContaining("AccessibilityPermission.isGranted"), 0u);
}

TEST(AppBuildInfoTest, FallsBackForAbsentKeysAndSkipsEmptyFingerprints) {
  const std::string dash = "\xE2\x80\x94";
  const std::string hash = "abc1234def";
  const struct {
    InformationDictionary dictionary;
    std::string version, build, fingerprint;
  } cases[] = {
      {{{"CFBundleShortVersionString", "1.4.0"}, {"CFBundleVersion", "212"}, {"GIT_BUILD_FINGERPRINT", "v1.4-dirty"},
        {"GIT_COMMIT_HASH", hash}}, "1.4.0", "212", "v1.4-dirty"},
      {{{"GIT_BUILD_FINGERPRINT", ""}, {"GIT_COMMIT_HASH", hash}}, dash, dash, hash},
      {{{"GIT_BUILD_FINGERPRINT", ""}, {"GIT_COMMIT_HASH", ""}}, dash, dash, "unknown"},
      {{{"CFBundleShortVersionString", ""}, {"CFBundleVersion", ""}}, "", "", "unknown"},
  };
  for (const auto& [dictionary, version, build, fingerprint] : cases) {
    EXPECT_EQ(AppBuildInfo::version(dictionary), version) << fingerprint;
    EXPECT_EQ(AppBuildInfo::build(dictionary), build) << fingerprint;
    EXPECT_EQ(AppBuildInfo::fingerprint(dictionary), fingerprint);
  }
}

}  // namespace
}  // namespace velmora
