// The client's input through the real control server to the injector's own queue: arrival order
// kept across message kinds, and the main queue free while a desktop makes an injection wait.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "app/controller_test_fixture.h"
#include "control/test_control_client.h"
#include "displays/mac_display_catalog.h"
#include "protocol/message_coder.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using M = ControlMessage;

// Holds the first key press, as a desktop's ping or pointer focus would, until the test lets it go.
class HoldingInputBackend : public VirtualInputBackend {
 public:
  using VirtualInputBackend::VirtualInputBackend;

  bool postKeyboardEvent(const KeyboardEvent& event) override {
    if (!held_.exchange(true)) {
      injectingThread_ = std::this_thread::get_id();
      holding_ = true;
      release_.get_future().wait_for(10s);
      holding_ = false;
    }
    return VirtualInputBackend::postKeyboardEvent(event);
  }

  void release() { release_.set_value(); }
  bool holding() const { return holding_; }
  std::thread::id injectingThread() const { return injectingThread_; }

 private:
  std::atomic<bool> held_ = false;
  std::atomic<bool> holding_ = false;
  std::thread::id injectingThread_;
  std::promise<void> release_;
};

// One word per event, enough to tell kinds and their order apart.
std::string describe(const RecordedInputEvent& event) {
  if (const auto* pointer = std::get_if<PointerEvent>(&event)) {
    return "move " + std::to_string(static_cast<int>(pointer->location.x));
  }
  if (const auto* key = std::get_if<KeyboardEvent>(&event)) {
    return (key->keyDown ? "down " : "up ") + std::to_string(key->virtualKey);
  }
  if (std::holds_alternative<ScrollWheelEvent>(event)) {
    return "scroll";
  }
  return "text " + std::get<TypedTextEvent>(event).text;
}

using InputQueueTest = testing::ControllerFixture;

TEST_F(InputQueueTest, MessagesKeepTheirOrderAndASlowInjectionNeverHoldsTheMainQueue) {
  std::shared_ptr<HoldingInputBackend> backend;
  makeInput_ = [&](std::shared_ptr<VirtualDisplaySource> displays) {
    backend = std::make_shared<HoldingInputBackend>(displays);
    return backend;
  };
  makeController({{1920, 1080, 1}, {1280, 800, 1}});
  startServers();
  testing::TestClient client(mainQueue_, *controller_->controlServer().listeningPort());
  client.sendHello(testing::helloWithCode(controller_->pairingCode()));
  client.readServerHello();
  ASSERT_TRUE(runUntil([&] { return controller_->streaming().clientSession().hasActiveClientSession; }));

  // Each round on the other display: a move lands on the display switched to before it, whatever
  // the injection still queued when the next switch arrives.
  const auto displays = MacDisplayCatalog::currentSnapshots(*displays_);
  ASSERT_EQ(displays.size(), 2u);
  std::vector<std::string> expected;
  for (std::uint16_t round = 0; round < 8; ++round) {
    const auto& display = displays[round % 2];
    for (const ControlMessage& message :
         {ControlMessage(M::SwitchDisplay{display.displayID}), ControlMessage(M::MouseMove{100.0 + round, 10}),
          ControlMessage(M::KeyDown{round, {}}), ControlMessage(M::Scroll{0, 1}), ControlMessage(M::KeyTyped{"a"}),
          ControlMessage(M::KeyUp{round, {}})}) {
      client.send(MessageCoder::shared().encode(message));
    }
    const int left = static_cast<int>(display.frame.x);
    expected.insert(expected.end(), {"move " + std::to_string(left + 100 + round), "down " + std::to_string(round),
                                     "scroll", "text a", "up " + std::to_string(round)});
  }

  ASSERT_TRUE(runUntil([&] { return backend->holding(); }));
  bool ran = false;
  mainQueue_.post([&] { ran = true; });
  mainQueue_.drain();
  EXPECT_TRUE(ran && backend->holding());
  EXPECT_NE(backend->injectingThread(), std::this_thread::get_id());

  backend->release();
  ASSERT_TRUE(runUntil([&] { return backend->events().size() >= expected.size(); }));
  std::vector<std::string> injected;
  for (const auto& event : backend->events()) {
    injected.push_back(describe(event));
  }
  EXPECT_EQ(injected, expected);
}

}  // namespace
}  // namespace velmora
