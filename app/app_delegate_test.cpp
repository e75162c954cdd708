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

const std::string kKeepRunningReason = "Velmora companion server must keep running";

using Events = std::vector<std::string>;

class RecordingLifecycleController : public AutomaticTerminationControlling {
 public:
  explicit RecordingLifecycleController(Events& events) : events_(events) {}

  bool automaticTerminationSupportEnabled() const override { return enabled_; }
  void setAutomaticTerminationSupportEnabled(bool enabled) override {
    enabled_ = enabled;
    events_.push_back(std::string("automaticTerminationSupportEnabled=") + (enabled ? "true" : "false"));
  }
  void disableAutomaticTermination(const std::string& reason) override {
    events_.push_back("disableAutomaticTermination(" + reason + ")");
  }
  void disableSuddenTermination() override { events_.push_back("disableSuddenTermination"); }

 private:
  Events& events_;
  bool enabled_ = true;
};

class RecordingCaptureBackend : public testing::FakeCaptureBackend {
 public:
  explicit RecordingCaptureBackend(Events& events) : events_(events) {}
  bool requestScreenCaptureAccess() override {
    events_.push_back("requestScreenCaptureAccess");
    return FakeCaptureBackend::requestScreenCaptureAccess();
  }

 private:
  Events& events_;
};

// Untrusted until the user answers the prompt with "allow".
class RecordingInputBackend : public VirtualInputBackend {
 public:
  explicit RecordingInputBackend(Events& events)
      : VirtualInputBackend(std::make_shared<VirtualDisplaySource>(VirtualDisplayLayout{{1920, 1080, 1}})),
        events_(events) {
    setTrusted(false);
  }
  bool isProcessTrusted(bool showPrompt) const override {
    events_.push_back(std::string("isProcessTrusted(") + (showPrompt ? "prompt" : "no prompt") + ")");
    allowedAtPrompt_ = allowedAtPrompt_ || showPrompt;
    return allowedAtPrompt_;
  }

 private:
  Events& events_;
  mutable bool allowedAtPrompt_ = false;
};

// The environment variable that marks a test run, set for one test and restored afterwards.
class ScopedTestRunVariable {
 public:
  explicit ScopedTestRunVariable(const char* value) {
    if (const char* previous = std::getenv(kName)) {
      previous_ = previous;
    }
    value != nullptr ? setenv(kName, value, 1) : unsetenv(kName);
  }
  ~ScopedTestRunVariable() { previous_ ? setenv(kName, previous_->c_str(), 1) : unsetenv(kName); }
  ScopedTestRunVariable(const ScopedTestRunVariable&) = delete;
  ScopedTestRunVariable& operator=(const ScopedTestRunVariable&) = delete;

 private:
  static constexpr const char* kName = "XCTestConfigurationFilePath";
  std::optional<std::string> previous_;
};

class AppDelegateTest : public ::testing::Test {
 protected:
  ~AppDelegateTest() override { std::filesystem::remove_all(root_); }

  // One launching instance, with its own event list.
  struct Instance {
    Events events;
    std::unique_ptr<AppDelegate> delegate;
  };

  std::unique_ptr<Instance> makeInstance(std::function<bool()> isRunningUnitTests = [] { return false; },
                                         AppDelegate::StartMenuBarServicesHandler handler = {}) {
    auto instance = std::make_unique<Instance>();
    Events& events = instance->events;
    MacCompanionStartup startup{std::move(isRunningUnitTests), std::make_shared<RecordingLifecycleController>(events)};
    AppDelegate::Dependencies dependencies{
        std::make_shared<RecordingCaptureBackend>(events), std::make_shared<RecordingInputBackend>(events), lockPath_,
        [&events] { events.push_back("startController"); }, [&events] { events.push_back("terminate"); }};
    instance->delegate = std::make_unique<AppDelegate>(std::move(startup), std::move(dependencies), std::move(handler));
    return instance;
  }

  std::filesystem::path root_ = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "velmora-startup-XXXXXX").string();
    return std::filesystem::path(::mkdtemp(pattern.data()));
  }();
  std::filesystem::path lockPath_ = root_ / "velmora" / "host.lock";
  log::MemoryLogSink logs_;
};

const Events kTerminationProtections = {
    "automaticTerminationSupportEnabled=false",
    "disableAutomaticTermination(" + kKeepRunningReason + ")",
    "disableSuddenTermination",
};

Events followedBy(Events events, const Events& more) {
  events.insert(events.end(), more.begin(), more.end());
  return events;
}

TEST_F(AppDelegateTest, TestRunVariableEvenWhenEmptyStopsStartUpBeforeAnySideEffect) {
  {
    ScopedTestRunVariable unset(nullptr);
    EXPECT_FALSE(MacCompanionStartup::environmentMarksTestRun());
  }
  ScopedTestRunVariable empty("");
  Events events;
  auto lifecycle = std::make_shared<RecordingLifecycleController>(events);
  AppDelegate delegate(MacCompanionStartup::live(lifecycle),
                       AppDelegate::Dependencies{std::make_shared<RecordingCaptureBackend>(events),
                                                 std::make_shared<RecordingInputBackend>(events), lockPath_,
                                                 [&events] { events.push_back("startController"); },
                                                 [&events] { events.push_back("terminate"); }});

  delegate.applicationDidFinishLaunching();

  EXPECT_EQ(events, Events{});
  EXPECT_FALSE(delegate.hasStartedController());
  EXPECT_TRUE(lifecycle->automaticTerminationSupportEnabled());
  EXPECT_EQ(logs_.count(log::Level::info, "Running under XCTest — skipping menu-bar startup side effects"), 1u);
  EXPECT_FALSE(std::filesystem::exists(lockPath_)) << "no single-instance lock is taken";
}

TEST_F(AppDelegateTest, LaunchSetsTerminationProtectionsInOrderThenCallsTheHandler) {
  Events* recorded = nullptr;
  AppDelegate* handedOver = nullptr;
  auto instance = makeInstance([] { return false; }, [&](AppDelegate& delegate) {
    handedOver = &delegate;
    recorded->push_back("handler");
  });
  recorded = &instance->events;

  instance->delegate->applicationDidFinishLaunching();

  EXPECT_EQ(instance->events, followedBy(kTerminationProtections, {"handler"}));
  EXPECT_EQ(handedOver, instance->delegate.get());
  EXPECT_FALSE(instance->delegate->hasStartedController()) << "a custom handler replaces the start-up services";
}

TEST_F(AppDelegateTest, StartUpServicesLogTheVersionAskForPermissionsThenStartTheController) {
  auto instance = makeInstance();

  instance->delegate->applicationDidFinishLaunching();

  const Events startUpServices = {"requestScreenCaptureAccess", "isProcessTrusted(no prompt)",
                                  "isProcessTrusted(prompt)", "isProcessTrusted(no prompt)", "startController"};
  EXPECT_EQ(instance->events, followedBy(kTerminationProtections, startUpServices));
  EXPECT_TRUE(instance->delegate->hasStartedController());

  const std::vector<std::string> expectedLines = {
      "Launching Velmora version=" + AppBuildInfo::version() + " build=" + AppBuildInfo::build() +
          " fingerprint=" + AppBuildInfo::fingerprint(),
      "AccessibilityPermission.isGranted (before request): 0",
      "AccessibilityPermission.isGranted (after request): 1",
  };
  std::vector<std::string> lines;
  for (const auto& line : logs_.lines()) {
    EXPECT_EQ(line.category, "AppDelegate");
    EXPECT_EQ(line.level, log::Level::info) << line.message;
    lines.push_back(line.message);
  }
  EXPECT_EQ(lines, expectedLines);
}

TEST_F(AppDelegateTest, NewerInstanceQuitsAndTheFirstKeepsRunning) {
  auto first = makeInstance();
  first->delegate->applicationDidFinishLaunching();
  ASSERT_TRUE(first->delegate->hasStartedController());

  auto second = makeInstance();
  second->delegate->applicationDidFinishLaunching();

  EXPECT_EQ(second->events, followedBy(kTerminationProtections, {"terminate"}));
  EXPECT_FALSE(second->delegate->hasStartedController());
  EXPECT_EQ(logs_.count(log::Level::notice, "Another Velmora instance is already running — terminating this one"),
            1u);
  EXPECT_EQ(first->events.back(), "startController") << "the running instance is told nothing";
  EXPECT_EQ(SingleInstanceLock::acquire(lockPath_).outcome, SingleInstanceLock::Outcome::heldByAnotherProcess)
      << "the first instance still holds the lock";

  first.reset();
  auto third = makeInstance();
  third->delegate->applicationDidFinishLaunching();
  EXPECT_TRUE(third->delegate->hasStartedController()) << "once the first has quit, a new one may run";
}

TEST_F(AppDelegateTest, UnusableLockFolderIsLoggedAndStartUpGoesOn) {
  std::filesystem::create_directories(lockPath_.parent_path());
  ::chmod(lockPath_.parent_path().c_str(), 0777);
  auto instance = makeInstance();

  instance->delegate->applicationDidFinishLaunching();

  EXPECT_TRUE(instance->delegate->hasStartedController());
  EXPECT_EQ(logs_.countContaining("Cannot check for another running instance: Refusing the lock folder"), 1u);
}

TEST(AppBuildInfoTest, FallsBackForAbsentKeysAndSkipsEmptyFingerprints) {
  struct Case {
    const char* name;
    InformationDictionary dictionary;
    std::string version;
    std::string build;
    std::string fingerprint;
  };
  const std::string dash = "\u2014";
  const Case cases[] = {
      {"complete",
       {{"CFBundleShortVersionString", "1.4.0"},
        {"CFBundleVersion", "212"},
        {"GIT_BUILD_FINGERPRINT", "v1.4.0-3-gabc1234-dirty"},
        {"GIT_COMMIT_HASH", "abc1234def"}},
       "1.4.0",
       "212",
       "v1.4.0-3-gabc1234-dirty"},
      {"empty fingerprint gives way to the hash",
       {{"GIT_BUILD_FINGERPRINT", ""}, {"GIT_COMMIT_HASH", "abc1234def"}},
       dash,
       dash,
       "abc1234def"},
      {"hash alone", {{"GIT_COMMIT_HASH", "abc1234def"}}, dash, dash, "abc1234def"},
      {"neither", {}, dash, dash, "unknown"},
      {"both empty", {{"GIT_BUILD_FINGERPRINT", ""}, {"GIT_COMMIT_HASH", ""}}, dash, dash, "unknown"},
      {"empty version and build are kept",
       {{"CFBundleShortVersionString", ""}, {"CFBundleVersion", ""}},
       "",
       "",
       "unknown"},
  };
  for (const auto& [name, dictionary, version, build, fingerprint] : cases) {
    EXPECT_EQ(AppBuildInfo::version(dictionary), version) << name;
    EXPECT_EQ(AppBuildInfo::build(dictionary), build) << name;
    EXPECT_EQ(AppBuildInfo::fingerprint(dictionary), fingerprint) << name;
  }
  EXPECT_EQ(dash, "\xE2\x80\x94") << "a single U+2014";
}

TEST(AppBuildInfoTest, ThisBuildCarriesItsConfiguredValues) {
  const auto& dictionary = bundleInformationDictionary();
  ASSERT_TRUE(dictionary.contains("CFBundleShortVersionString"));
  EXPECT_EQ(AppBuildInfo::version(), dictionary.at("CFBundleShortVersionString"));
  if (dictionary.contains("GIT_COMMIT_HASH")) {
    EXPECT_EQ(dictionary.at("GIT_COMMIT_HASH").size(), 40u);
    EXPECT_EQ(dictionary.at("CFBundleVersion").find_first_not_of("0123456789"), std::string::npos);
    EXPECT_NE(AppBuildInfo::fingerprint(), "unknown");
  }
}

}  // namespace
}  // namespace velmora
