#include "platform/x11/x11_clipboard.h"

#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <thread>

#include "platform/testing/xvfb_server.h"
#include "platform/x11/x11_connection.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The standard output of a command run against the test's display; nothing when it failed.
std::optional<std::string> outputOf(const testing::XvfbServer& server, const std::string& command) {
  FILE* pipe = popen(("DISPLAY=" + server.display() + " " + command + " 2>/dev/null").c_str(), "r");
  std::string output;
  char buffer[65536];
  for (std::size_t length = 0; pipe != nullptr && (length = fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
    output.append(buffer, length);
  }
  return pipe != nullptr && pclose(pipe) == 0 ? std::optional(output) : std::nullopt;
}

// Mixed one- to four-byte characters, cut to exactly `bytes` bytes on a character boundary.
std::string textOfSize(std::size_t bytes) {
  const std::string pattern = "Gr\u00fc\u00dfe, \u20ac and \U0001F600 \u2014 line\n";
  std::string text;
  text.reserve(bytes + pattern.size());
  while (text.size() + pattern.size() <= bytes) {
    text += pattern;
  }
  text.append(bytes - text.size(), 'x');
  return text;
}

class X11ClipboardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!server_.available()) {
      GTEST_SKIP() << "Xvfb is not available";
    }
    auto clipboard = X11Clipboard::open(server_.display());
    ASSERT_TRUE(clipboard.ok()) << clipboard.error();
    clipboard_ = std::move(clipboard.value());
  }

  std::optional<std::string> read(const std::string& target = {}) const {
    return outputOf(server_, "xclip -selection clipboard -o" + (target.empty() ? "" : " -t " + target));
  }

  testing::XvfbServer server_{640, 480};
  std::unique_ptr<X11Clipboard> clipboard_;
};

// A requestor of the test's own that asks for the clipboard and stops after the first reply.
class HalfwayRequestor {
 public:
  explicit HalfwayRequestor(const std::string& display) : connection_(std::move(openX11Connection(display).value())) {
    Display* d = connection_.get();
    window_ = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 1, 1, 0, 0, 0);
    const Atom clipboard = XInternAtom(d, "CLIPBOARD", False);
    property_ = XInternAtom(d, "HALFWAY", False);
    XConvertSelection(d, clipboard, XInternAtom(d, "UTF8_STRING", False), property_, window_, CurrentTime);
    XFlush(d);
  }

  // The type of the reply's property, None when no reply came.
  Atom replyType() {
    Display* d = connection_.get();
    XEvent event;
    for (const auto deadline = Clock::now() + 5s; !XCheckTypedWindowEvent(d, window_, SelectionNotify, &event);) {
      if (Clock::now() > deadline) {
        return None;
      }
      std::this_thread::sleep_for(10ms);
    }
    Atom type = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long remaining = 0;
    unsigned char* data = nullptr;
    XGetWindowProperty(d, window_, property_, 0, 0, False, AnyPropertyType, &type, &format, &count, &remaining, &data);
    XFree(data);
    return type;
  }

  Atom atom(const char* name) const { return XInternAtom(connection_.get(), name, False); }

 private:
  X11Connection connection_;
  Window window_ = None;
  Atom property_ = None;
};

TEST_F(X11ClipboardTest, RequestorsReadTheTextAsSentStringOnlyForLatin1TextsAndNoUnknownTarget) {
  const struct {
    std::string text;
    std::optional<std::string> latin1;
  } cases[] = {
      {"plain\ttext\nline two\n", "plain\ttext\nline two\n"},
      {"caf\u00e9 \u00c0\u00ff", "caf\xe9 \xc0\xff"},
      {"h\u00e9llo \U0001F600", std::nullopt},
  };
  for (const auto& [text, latin1] : cases) {
    ASSERT_TRUE(clipboard_->setText(text));
    for (const std::string target : {"", "UTF8_STRING", "TEXT"}) {
      EXPECT_EQ(read(target), text) << target;
    }
    const auto targets = read("TARGETS").value_or("");
    for (const char* offered : {"TARGETS", "UTF8_STRING", "TEXT"}) {
      EXPECT_NE(targets.find(offered), std::string::npos) << offered << " for " << text;
    }
    EXPECT_EQ(targets.find("\nSTRING") != std::string::npos || targets.starts_with("STRING"), latin1.has_value()) << targets;
    EXPECT_EQ(read("STRING"), latin1) << "refused rather than mangled: " << text;
    EXPECT_EQ(read("image/png"), std::nullopt);
    EXPECT_EQ(read("MULTIPLE"), std::nullopt);
  }
}

TEST_F(X11ClipboardTest, TextsAboveTheRequestSizeArriveWholeInPieces) {
  for (const std::size_t bytes : {clipboard_->incrementalThreshold(), clipboard_->incrementalThreshold() + 1,
                                  std::size_t{5'000'000}}) {
    const auto text = textOfSize(bytes);
    ASSERT_TRUE(clipboard_->setText(text));
    const auto result = read();
    EXPECT_TRUE(result == text) << bytes << " bytes sent, " << result.value_or("").size() << " read";
  }
}

TEST_F(X11ClipboardTest, AnotherOwnerTakesTheSelectionAndItCanBeTakenBack) {
  ASSERT_TRUE(clipboard_->setText("mine"));
  ASSERT_EQ(server_.run("sh -c 'printf other | xclip -selection clipboard -i -loops 1 >/dev/null 2>&1'"), 0);
  std::optional<std::string> result;
  testing::eventually([&] { return (result = read()) == "other"; });  // xclip serves one request only
  EXPECT_EQ(result, "other");
  ASSERT_TRUE(clipboard_->setText("again"));
  EXPECT_EQ(read(), "again");
}

TEST_F(X11ClipboardTest, ARequestorLeavingHalfwayDoesNotHoldUpOthers) {
  const auto text = textOfSize(2'000'000);
  ASSERT_TRUE(clipboard_->setText(text));
  {
    HalfwayRequestor requestor(server_.display());
    EXPECT_EQ(requestor.replyType(), requestor.atom("INCR"));
  }
  HalfwayRequestor stalled(server_.display());
  EXPECT_EQ(stalled.replyType(), stalled.atom("INCR"));
  const auto result = read();
  EXPECT_TRUE(result == text) << "got " << result.value_or("").size() << " bytes";
  clipboard_.reset();  // with a transfer still waiting on the stalled requestor
}

}  // namespace
}  // namespace velmora
