#include "process/program_output.h"

#include "process/kept_programs.h"
#include "process/pipe_reader.h"
#include "process/process_test_support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "runtime/memory.h"
#include "runtime/string_stack.h"

namespace {

namespace fs = std::filesystem;

void Pause() {
  timespec pause = {0, 1'000'000};
  nanosleep(&pause, nullptr);
}

class PipeReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    reader_ = PipeReaderOpen(fds[0], "r");
    ASSERT_NE(reader_, nullptr);
    writer_ = fds[1];
  }
  void TearDown() override {
    PipeReaderClose(reader_);
    CloseWriter();
  }

  void Write(const std::vector<uint8_t>& bytes) const {
    ASSERT_EQ(write(writer_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  void CloseWriter() {
    if (writer_ >= 0) close(writer_);
    writer_ = -1;
  }
  static std::vector<uint8_t> Pattern(size_t from, size_t count) {
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i)
      bytes[i] = static_cast<uint8_t>((from + i) % 251);
    return bytes;
  }
  std::vector<uint8_t> Read(size_t count) {
    std::vector<uint8_t> bytes(count);
    bytes.resize(PipeReaderRead(reader_, bytes.data(), count));
    return bytes;
  }

  PipeReader* reader_ = nullptr;
  int writer_ = -1;
};

TEST_F(PipeReaderTest, FillStopsAtAFullRingAndReadsNothingWhileBytesAreBuffered) {
  Write(Pattern(0, 12000));
  EXPECT_EQ(PipeReaderFill(reader_), PipeReaderCapacity);
  EXPECT_EQ(Read(100), Pattern(0, 100));
  EXPECT_EQ(PipeReaderFill(reader_), PipeReaderCapacity - 100);
  EXPECT_EQ(Read(PipeReaderCapacity - 100), Pattern(100, PipeReaderCapacity - 100));
  EXPECT_EQ(PipeReaderFill(reader_), 12000 - PipeReaderCapacity);
}

TEST_F(PipeReaderTest, RingWrapsAroundInOrder) {
  Write(Pattern(0, PipeReaderCapacity));
  EXPECT_EQ(PipeReaderFill(reader_), PipeReaderCapacity);
  EXPECT_EQ(Read(6000), Pattern(0, 6000));
  Write(Pattern(PipeReaderCapacity, 5000));
  // Moves the new bytes into the free space at the start of the ring.
  EXPECT_EQ(PipeReaderAtEnd(reader_), 0);
  EXPECT_EQ(reader_->count, PipeReaderCapacity - 6000 + 5000);
  EXPECT_LT(reader_->writePosition, reader_->readPosition);
  EXPECT_EQ(Read(PipeReaderCapacity - 6000 + 5000), Pattern(6000, PipeReaderCapacity - 1000));
}

TEST_F(PipeReaderTest, AtEndOnlyWhenDrainedAndEveryWriterClosed) {
  EXPECT_EQ(PipeReaderAtEnd(reader_), 0);
  Write({'x'});
  CloseWriter();
  EXPECT_EQ(PipeReaderAtEnd(reader_), 0);
  EXPECT_EQ(PipeReaderReadByte(reader_), uint32_t{'x'});
  EXPECT_EQ(PipeReaderAtEnd(reader_), 1);
  EXPECT_EQ(PipeReaderReadByte(reader_), PipeReaderEnd);
  EXPECT_EQ(PipeReaderFill(reader_), 0u);
}

TEST_F(PipeReaderTest, ReadWaitsForTheRestOfTheBytes) {
  Write({1, 2});
  std::thread late_writer([this] {
    timespec pause = {0, 20'000'000};
    nanosleep(&pause, nullptr);
    Write({3, 4});
  });
  EXPECT_EQ(Read(4), (std::vector<uint8_t>{1, 2, 3, 4}));
  late_writer.join();
}

TEST_F(PipeReaderTest, ReadCharDecodesUtf8Leniently) {
  Write({'A', 0xC3, 0xA9, 0xE2, 0x82, 0xAC, 0xF0, 0x9F, 0x98, 0x80, 0x80, 0xFF, 0xF4, 0x90, 0x80,
         0x80});
  CloseWriter();
  EXPECT_EQ(PipeReaderReadChar(reader_), uint32_t{'A'});
  EXPECT_EQ(PipeReaderReadChar(reader_), 0xE9u);
  EXPECT_EQ(PipeReaderReadChar(reader_), 0x20ACu);
  EXPECT_EQ(PipeReaderReadChar(reader_), 0xDE00D83Du);
  // A continuation byte and 0xF8-0xFF cannot start a character; nor can a code point
  // beyond U+10FFFF be represented.
  EXPECT_EQ(PipeReaderReadChar(reader_), uint32_t{' '});
  EXPECT_EQ(PipeReaderReadChar(reader_), uint32_t{' '});
  EXPECT_EQ(PipeReaderReadChar(reader_), uint32_t{' '});
  EXPECT_EQ(PipeReaderReadChar(reader_), PipeReaderEnd);
}

TEST_F(PipeReaderTest, CharacterCutShortByEndOfFileIsTheEndMarker) {
  Write({0xE2, 0x82});
  CloseWriter();
  EXPECT_EQ(PipeReaderReadChar(reader_), PipeReaderEnd);
}

TEST_F(PipeReaderTest, ReadItemsCountsWholeItems) {
  Write(Pattern(0, 10));
  CloseWriter();
  uint8_t items[12] = {};
  EXPECT_EQ(PipeReaderReadItems(items, 4, 0, reader_), 0u);
  EXPECT_EQ(PipeReaderReadItems(items, 0, 3, reader_), 0u);
  EXPECT_EQ(PipeReaderReadItems(items, 4, 3, reader_), 2u);
  EXPECT_EQ(std::vector<uint8_t>(items, items + 10), Pattern(0, 10));
}

TEST(PipeReaderOpenTest, FailsOnAClosedDescriptor) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);
  close(fds[1]);
  EXPECT_EQ(PipeReaderOpen(fds[0], "r"), nullptr);
}

class ProgramOutputTest : public ProgramRunnerTest {
 protected:
  static ProgramRecord* Keep(const char16_t* name, const std::string& parameters, uint32_t flags) {
    // Spare room after the terminator, as runtime strings have: StringLength reads the
    // whole aligned 16-byte block that holds it.
    std::u16string wide;
    wide.reserve(parameters.size() + 8);
    wide.assign(parameters.begin(), parameters.end());
    return reinterpret_cast<ProgramRecord*>(LaunchProgram(name, wide.c_str(), u"", flags));
  }
  static std::u16string OutputLine(ProgramRecord* record) {
    StringMark mark;
    return ReadProgramOutputLine(record, mark.Offset());
  }
  static std::u16string ErrorLine(ProgramRecord* record) {
    StringMark mark;
    return ReadProgramErrorLine(record, mark.Offset());
  }
  // Blocks until the pipe under the reader has bytes or has ended.
  static void AwaitPipe(PipeReader* reader) {
    pollfd request = {fileno(reader->stream), POLLIN, 0};
    poll(&request, 1, -1);
  }
  static void WaitForWaitersBelow(int32_t count) {
    while (ProgramWaitersRunning() >= count)
      Pause();
  }
};

constexpr uint32_t kReadBoth = LaunchKeep | LaunchReadOutput | LaunchReadError;

TEST_F(ProgramOutputTest, LinesEndAtLineFeedsOnlyAndEndOfOutputGivesEmpty) {
  ProgramRecord* record = Keep(u"printf", "a\\r\\nb\\nlast", kReadBoth);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(OutputLine(record), u"a\r");
  EXPECT_EQ(OutputLine(record), u"b");
  EXPECT_EQ(OutputLine(record), u"last");
  EXPECT_EQ(OutputLine(record), u"");
  EXPECT_EQ(OutputLine(record), u"");
  ReleaseProgram(record);
}

TEST_F(ProgramOutputTest, Utf8OutputBecomesUtf16) {
  ProgramRecord* record =
      Keep(u"printf", "\\303\\251-\\342\\202\\254-\\360\\237\\230\\200\\na\\200b\\n", kReadBoth);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(OutputLine(record), (std::u16string{0xE9, '-', 0x20AC, '-', 0xD83D, 0xDE00}));
  // A lone continuation byte reads as a space.
  EXPECT_EQ(OutputLine(record), u"a b");
  ReleaseProgram(record);
}

TEST_F(ProgramOutputTest, ByteModeWidensEveryByte) {
  ProgramRecord* record = Keep(u"printf", "\\351\\303\\251\\200\\n", kReadBoth | LaunchByteOutput);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(OutputLine(record), (std::u16string{0xE9, 0xC3, 0xA9, 0x80}));
  EXPECT_EQ(OutputLine(record), u"");
  ReleaseProgram(record);
}

std::u16string Repeat(const std::u16string& piece, size_t times) {
  std::u16string text;
  for (size_t i = 0; i < times; ++i)
    text += piece;
  return text;
}

std::string ToUtf8(const std::u16string& text) {
  std::string bytes;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF) c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    if (c < 0x80) {
      bytes += static_cast<char>(c);
    } else if (c < 0x800) {
      bytes += static_cast<char>(0xC0 | (c >> 6));
      bytes += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      bytes += static_cast<char>(0xE0 | (c >> 12));
      bytes += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      bytes += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      bytes += static_cast<char>(0xF0 | (c >> 18));
      bytes += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      bytes += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      bytes += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return bytes;
}

// Lines around the growth step of 1024 units and multi-byte characters at every offset of
// the 10240-byte ring, read back through cat; each result must sit at its result position
// with the top at its terminator.
TEST_F(ProgramOutputTest, LongAndMixedLinesSurviveTheRingAndTheGrowthSteps) {
  std::vector<std::u16string> lines = {u"", Repeat(u"x", 1023), Repeat(u"y", 1024),
                                       Repeat(u"z", 1025), Repeat(u"\u00e9\U0001F600", 1500)};
  for (int i = 0; i < 700; ++i) {
    lines.push_back(Repeat(u"a", static_cast<size_t>(i % 37)) + u"\u20ac\U0001F600\u00e9");
  }
  char pattern[] = "/tmp/brevik-lines-XXXXXX";
  int fd = mkstemp(pattern);
  ASSERT_GE(fd, 0);
  close(fd);
  {
    std::ofstream file(pattern, std::ios::binary);
    for (const auto& line : lines)
      file << ToUtf8(line) << '\n';
  }
  ProgramRecord* record = Keep(u"cat", pattern, kReadBoth);
  ASSERT_NE(record, nullptr);
  AppendString(u"below");
  for (const auto& expected : lines) {
    StringMark mark;
    char16_t* line = ReadProgramOutputLine(record, mark.Offset());
    ASSERT_EQ(std::u16string(line), expected);
    EXPECT_EQ(StringStackPosition, mark.Offset() + 2 * expected.size());
  }
  EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(StringStackBuffer), 5), u"below");
  EXPECT_EQ(OutputLine(record), u"");
  ReleaseProgram(record);
  fs::remove(pattern);
}

TEST_F(ProgramOutputTest, PartialErrorLineIsHeldUntilItsLineFeedArrives) {
  ProgramRecord* record = Keep(u"sh", "-c \"printf par >&2; read x; printf 'tial\\n' >&2\"",
                               LaunchKeep | LaunchReadError | LaunchWriteInput);
  ASSERT_NE(record, nullptr);
  // "par" comes in one write: either none of it has been read or all of it is held.
  EXPECT_EQ(ErrorLine(record), u"");
  while (record->pendingErrorLength == 0 && !watchdog_.Fired()) {
    AwaitPipe(record->error);
    EXPECT_EQ(ErrorLine(record), u"");
  }
  EXPECT_EQ(record->pendingErrorLength, 3);
  EXPECT_EQ(ErrorLine(record), u"");
  EXPECT_EQ(record->pendingErrorLength, 3);

  fputs("go\n", record->input);
  fflush(record->input);
  std::u16string line;
  while (line.empty() && !watchdog_.Fired()) {
    AwaitPipe(record->error);
    line = ErrorLine(record);
  }
  EXPECT_EQ(line, u"partial");
  EXPECT_EQ(record->pendingError, nullptr);
  ReleaseProgram(record);
}

TEST_F(ProgramOutputTest, ErrorLinesDecodeFourByteCharacters) {
  ProgramRecord* record =
      Keep(u"sh", "-c \"printf '\\360\\237\\230\\200!\\nend' >&2\"", kReadBoth | LaunchWait);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(ErrorLine(record), (std::u16string{0xD83D, 0xDE00, '!'}));
  // A last line without a line feed is never delivered.
  EXPECT_EQ(ErrorLine(record), u"");
  EXPECT_EQ(ErrorLine(record), u"");
  ReleaseProgram(record);
}

TEST_F(ProgramOutputTest, ReleaseFreesAHeldErrorLineAndTheInputStream) {
  ProgramRecord* record = Keep(u"sh", "-c \"printf held >&2; read x\"",
                               LaunchKeep | LaunchReadError | LaunchWriteInput);
  ASSERT_NE(record, nullptr);
  AwaitPipe(record->error);
  EXPECT_EQ(ErrorLine(record), u"");
  ASSERT_NE(record->pendingError, nullptr);
  ReleaseProgram(record);
}

TEST_F(ProgramOutputTest, WaitProgramEndTestsWaitsAndTimesOut) {
  ProgramRecord* record = Keep(u"sh", "-c \"read x; exit 9\"", LaunchKeep | LaunchWriteInput);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(WaitProgramEnd(record, 0), 0);
  EXPECT_EQ(WaitProgramEnd(record, 10), 0);
  EXPECT_EQ(ProgramIsRunning(record), 1);
  fclose(record->input);
  record->input = nullptr;
  EXPECT_EQ(WaitProgramEnd(record, -1), 1);
  // Gone means collected: the exit code is there as soon as the wait says so.
  EXPECT_EQ(ProgramExitCode(record), 9);
  EXPECT_EQ(WaitProgramEnd(record, 0), 1);
  EXPECT_EQ(ProgramIsRunning(record), 0);
  ReleaseProgram(record);
}

TEST_F(ProgramOutputTest, ProgramRunsUntilItsOutputEnds) {
  ProgramRecord* record = Keep(u"sh", "-c \"read x; echo $x\"", kReadBoth | LaunchWriteInput);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(ProgramIsRunning(record), 1);
  EXPECT_EQ(ProgramOutputAvailable(record), 0u);
  fputs("abc\n", record->input);
  fflush(record->input);
  AwaitPipe(record->output);
  EXPECT_EQ(ProgramOutputAvailable(record), 4u);
  EXPECT_EQ(OutputLine(record), u"abc");
  while (ProgramIsRunning(record) == 1)
    AwaitPipe(record->output);
  // At end of output the call waited for the end to be collected.
  EXPECT_EQ(ProgramExitCode(record), 0);
  ReleaseProgram(record);
}

TEST_F(ProgramOutputTest, ReleasedRecordIsNeverWrittenByItsWaiter) {
  int32_t earlier_waiters = ProgramWaitersRunning();
  ProgramRecord* released = Keep(u"sh", "-c \"read x\"", LaunchKeep | LaunchWriteInput);
  ASSERT_NE(released, nullptr);
  pid_t released_pid = released->pid;
  // Closing the input ends the program after its record is gone.
  ReleaseProgram(released);
  // The allocator may well hand out the same address again.
  ProgramRecord* successor = Keep(u"sh", "-c \"read x; exit 3\"", LaunchKeep | LaunchWriteInput);
  ASSERT_NE(successor, nullptr);
  // Until the released program's waiter has finished.
  WaitForWaitersBelow(earlier_waiters + 2);
  int status;
  EXPECT_EQ(waitpid(released_pid, &status, WNOHANG), -1);
  EXPECT_EQ(ProgramExitCode(successor), -1);
  fclose(successor->input);
  successor->input = nullptr;
  EXPECT_EQ(WaitProgramEnd(successor, -1), 1);
  EXPECT_EQ(ProgramExitCode(successor), 3);
  ReleaseProgram(successor);
}

TEST_F(ProgramOutputTest, RecordsWithoutReadersGiveEmptyResults) {
  ProgramRecord* record = Keep(u"sh", "-c \"exit 0\"", LaunchKeep | LaunchWait);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(ProgramOutputAvailable(record), 0u);
  EXPECT_EQ(OutputLine(record), u"");
  EXPECT_EQ(ErrorLine(record), u"");
  EXPECT_EQ(ProgramIsRunning(record), 0);
  ReleaseProgram(record);
}

}  // namespace
