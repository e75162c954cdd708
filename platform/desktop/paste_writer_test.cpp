#include "platform/desktop/paste_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>

namespace velmora {
namespace {

using namespace std::chrono_literals;

enum class Reader { readsAll, closesAtOnce, readsOneByteThenCloses, neverReads };

std::string readSome(int descriptor, std::size_t most) {
  std::string bytes(most, '\0');
  std::size_t got = 0;
  while (got < most) {
    const ssize_t count = read(descriptor, bytes.data() + got, most - got);
    if (count <= 0) {
      break;
    }
    got += static_cast<std::size_t>(count);
  }
  bytes.resize(got);
  return bytes;
}

// A reader that leaves early would end the process with SIGPIPE unless the writer takes care.
TEST(PasteWriterTest, WritesWholeTextsAndSurvivesReadersThatLeaveOrStall) {
  const std::string large(1 << 20, 'x');  // far more than a pipe holds
  const struct {
    const char* what;
    Reader reader;
    std::string text;
    bool complete;
  } cases[] = {
      {"small text", Reader::readsAll, "clipboard \xc3\xa4", true},
      {"large text", Reader::readsAll, large, true},
      {"empty text", Reader::readsAll, "", true},
      {"reader closes at once", Reader::closesAtOnce, large, false},
      {"reader leaves after a byte", Reader::readsOneByteThenCloses, large, false},
      {"reader never reads", Reader::neverReads, large, false},
  };
  for (const auto& testCase : cases) {
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
    FileDescriptor readEnd(ends[0]);
    if (testCase.reader == Reader::closesAtOnce) {
      readEnd = FileDescriptor();
    }
    std::string received;
    std::jthread readerThread([&] {
      if (testCase.reader == Reader::readsAll) {
        received = readSome(readEnd.get(), testCase.text.size() + 1);
      } else if (testCase.reader == Reader::readsOneByteThenCloses) {
        received = readSome(readEnd.get(), 1);
        readEnd = FileDescriptor();
      }
    });
    const auto outcome = writePaste(FileDescriptor(ends[1]), testCase.text, {}, 300ms);
    readerThread.join();
    EXPECT_EQ(outcome.complete, testCase.complete) << testCase.what;
    EXPECT_LT(outcome.written, testCase.complete ? testCase.text.size() + 1 : testCase.text.size()) << testCase.what;
    if (testCase.reader == Reader::readsAll) {
      EXPECT_EQ(received, testCase.text) << testCase.what;
    }
  }
}

TEST(PasteWriterTest, StopsWhenAskedWhileTheReaderStalls) {
  int ends[2];
  ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
  const FileDescriptor readEnd(ends[0]);
  std::stop_source stop;
  stop.request_stop();
  const auto outcome = writePaste(FileDescriptor(ends[1]), std::string(1 << 20, 'x'), stop.get_token());
  EXPECT_FALSE(outcome.complete);
}

}  // namespace
}  // namespace velmora
