#include "tools/hybrid_image.h"

#include <gtest/gtest.h>
#include <iconv.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "tools/file_stream.h"
#include "tools/libisofs_api.h"
#include "tools/test_support.h"

namespace {

namespace fs = std::filesystem;

class QuietSink : public ProgressSink {
 public:
  void Started(uint64_t) override {}
  void Advanced(uint64_t, uint64_t) override {}
  void Warned(std::string_view) override {}
};

std::string RandomBytes(size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes)
    byte = static_cast<char>(generator());
  return bytes;
}

// More small files than are read ahead at once, made in turn across more folders than the
// streams keep open, so that libisofs, which writes them in the order of their inodes, goes
// from folder to folder; with hard links (several names, one copy of the data), a link to a
// folder, an empty file and a file too large to be read ahead.
TEST(HybridImageTest, HoldsManySmallFilesAcrossFolders) {
  ScratchFolder scratch;
  std::string source = scratch.path() + "/source";
  for (unsigned i = 0; i < 1200; ++i) {
    std::string folder = i % 2 == 0 ? "" : "/f" + std::to_string(i % 40);
    WriteFile(source + folder + "/file " + std::to_string(i), RandomBytes(1 + i * 7919 % 12000, i));
  }
  fs::create_hard_link(source + "/file 0", source + "/f39/link to file 0");
  fs::create_hard_link(source + "/f1/file 1", source + "/f1/another name");
  fs::create_directory_symlink("f1", source + "/link to f1");
  WriteFile(source + "/empty", "");
  WriteFile(source + "/f2/large.bin", RandomBytes(300'000, 1200));
  MakeHybridOptions options{scratch.path() + "/output.iso", source, "SOURCE", true, false};
  QuietSink sink;

  ASSERT_EQ(MakeHybridImage(options, sink), "");
  TreeContents folder = ReadFolderTree(source);
  std::optional<IsoImageContents> rock_ridge = ReadIsoImage(options.output, IsoTreeKind::RockRidge);
  ASSERT_TRUE(rock_ridge.has_value());
  EXPECT_TRUE(SameTree(rock_ridge->tree, folder));
  std::optional<IsoImageContents> joliet = ReadIsoImage(options.output, IsoTreeKind::Joliet);
  ASSERT_TRUE(joliet.has_value());
  folder.erase("link to f1");  // Joliet has no links
  EXPECT_TRUE(SameTree(joliet->tree, folder));
}

std::optional<std::string> ReadWholeStream(IsoStream* stream) {
  if (iso_stream_open(stream) < 0) return std::nullopt;
  std::string contents;
  char block[2048];
  int count = 0;
  while ((count = iso_stream_read(stream, block, sizeof block)) > 0)
    contents.append(block, static_cast<size_t>(count));
  iso_stream_close(stream);
  if (count < 0) return std::nullopt;
  return contents;
}

// The small files are read ahead and then removed, so that their streams can deliver them
// only from memory; a larger one is read from the folder, and one that changed before it was
// read ahead is left for its stream to fail on. The streams are opened in libisofs's order.
TEST(FileStreamTest, DeliversFilesReadAheadAndRefusesChangedOnes) {
  ScratchFolder scratch;
  TreeContents files{{"a", RandomBytes(70'000 - 1, 1)},  // past the read buffer: not read ahead
                     {"b", RandomBytes(5000, 2)},
                     {"c", RandomBytes(65'536, 3)},
                     {"d", RandomBytes(1, 4)},
                     {"e", "changes"}};
  WriteTree(scratch.path(), files);
  SourceSnapshot snapshot;
  snapshot.AddFolder(scratch.path());
  std::vector<std::pair<std::string, const SourceSnapshot::File*>> recorded;
  for (const auto& [name, contents] : files) {
    struct stat info;
    ASSERT_EQ(lstat((scratch.path() + "/" + name).c_str(), &info), 0);
    recorded.emplace_back(name, &snapshot.AddFile(name, info));
  }
  std::ranges::sort(recorded, {}, [](const auto& entry) {
    const FileState& state = entry.second->state;
    return std::tuple(state.device, state.inode, state.size);
  });
  WriteFile(scratch.path() + "/e", "changed!");

  StreamContext context(snapshot);
  while (context.ReadAhead()) {
  }
  for (const char* name : {"b", "c", "d"})
    fs::remove(scratch.path() + "/" + name);
  for (const auto& [name, file] : recorded) {
    IsoStream* stream = NewFileStream(context, *file);
    std::optional<std::string> contents = ReadWholeStream(stream);
    iso_stream_unref(stream);
    if (name == "e") {
      EXPECT_FALSE(contents.has_value());
    } else {
      EXPECT_EQ(contents, files[name]) << name;
    }
  }
  EXPECT_EQ(context.FailureReason(), ChangedReason(scratch.path() + "/e"));
}

// Changes a source file once the image has started: after the scan recorded the file, while
// libisofs's writer thread reads it, or the consuming thread reads it ahead.
class ChangingSink : public QuietSink {
 public:
  ChangingSink(void (*change)(const std::string&), std::string file)
      : change_(change), file_(std::move(file)) {}
  void Started(uint64_t) override { change_(file_); }

 private:
  void (*change_)(const std::string&);
  std::string file_;
};

struct ChangeCase {
  const char* name;
  void (*change)(const std::string& file);
  const char* reason;
};

void PrintTo(const ChangeCase& change, std::ostream* out) {
  *out << change.name;
}

class SourceChangeTest : public ::testing::TestWithParam<std::tuple<ChangeCase, size_t>> {};

// The large file is larger than libisofs's 2 MiB ring buffer, so the writer thread cannot have
// read all of it before the change; the small one is read ahead. The change meets the file
// open or not yet opened, or read already, and the run must fail either way.
TEST_P(SourceChangeTest, FailsTheRunAndWritesNothing) {
  const auto& [change, size] = GetParam();
  ScratchFolder scratch;
  std::string file = scratch.path() + "/source/file.bin";
  WriteFile(file, std::string(size, 'x'));
  fs::create_directories(scratch.path() + "/out");
  MakeHybridOptions options{scratch.path() + "/out/output.iso", scratch.path() + "/source",
                            "SOURCE", true, true};
  ChangingSink sink(change.change, file);

  std::string reason = MakeHybridImage(options, sink);
  EXPECT_EQ(reason, file + " " + change.reason + " while the image was being made");
  EXPECT_TRUE(fs::is_empty(scratch.path() + "/out"));
}

INSTANTIATE_TEST_SUITE_P(
    Changes, SourceChangeTest,
    ::testing::Combine(
        ::testing::Values(
            ChangeCase{"Shrinks", [](const std::string& file) { fs::resize_file(file, 1000); },
                       "changed"},
            ChangeCase{
                "Grows",
                [](const std::string& file) { std::ofstream(file, std::ios::app) << "more"; },
                "changed"},
            ChangeCase{"Vanishes", [](const std::string& file) { fs::remove(file); }, "vanished"},
            ChangeCase{"IsReplacedBySameSize",
                       [](const std::string& file) {
                         WriteFile(file + ".new", std::string(fs::file_size(file), 'y'));
                         fs::rename(file + ".new", file);
                       },
                       "changed"}),
        ::testing::Values(size_t{6'000'000}, size_t{5'000})),
    [](const ::testing::TestParamInfo<std::tuple<ChangeCase, size_t>>& info) {
      return std::string(std::get<0>(info.param).name) +
             (std::get<1>(info.param) > 1'000'000 ? "Large" : "Small");
    });

// Queues a libisofs message of the given severity as the image starts, as libisofs does for
// what it meets while writing, and keeps what reaches the sink.
class MessageSink : public QuietSink {
 public:
  explicit MessageSink(const char* severity) : severity_(severity) {}
  void Started(uint64_t) override {
    std::string text = std::string("a message at ") + severity_;
    iso_msgs_submit(0, text.data(), 0, const_cast<char*>(severity_), 0);
  }
  void Warned(std::string_view text) override { warnings.emplace_back(text); }
  std::vector<std::string> warnings;

 private:
  const char* severity_;
};

// SORRY and worse fail the run with libisofs's text; a warning loses nothing and reaches the
// sink, and the image is made.
TEST(LibisofsMessageTest, FailingSeveritiesEndTheRunAndWarningsReachTheSink) {
  for (const char* severity : {"WARNING", "SORRY", "MISHAP", "FAILURE"}) {
    ScratchFolder scratch;
    WriteFile(scratch.path() + "/source/file.txt", "contents");
    fs::create_directories(scratch.path() + "/out");
    MakeHybridOptions options{scratch.path() + "/out/output.iso", scratch.path() + "/source",
                              "SOURCE", true, false};
    MessageSink sink(severity);
    const std::string text = std::string("a message at ") + severity;
    const bool fails = std::string(severity) != "WARNING";

    EXPECT_EQ(MakeHybridImage(options, sink), fails ? text : "") << severity;
    EXPECT_EQ(sink.warnings, fails ? std::vector<std::string>{} : std::vector<std::string>{text});
    EXPECT_EQ(fs::exists(options.output), !fails) << severity;
  }
}

std::string Convert(iconv_t converter, std::string text) {
  char* in = text.data();
  size_t in_left = text.size();
  std::string out(64, '\0');
  char* out_next = out.data();
  size_t out_left = out.size();
  if (iconv(converter, &in, &in_left, &out_next, &out_left) == static_cast<size_t>(-1)) {
    return "(failed)";
  }
  out.resize(out.size() - out_left);
  return out;
}

// libisofs opens a converter for each name; this program reuses the closed ones (see
// hybrid_image.cpp). One reused must start as a new one would, here after it was left in
// the middle of a shifted sequence, and one for another pair of charsets is another.
TEST(ConverterReuseTest, ReusedConverterStartsAfresh) {
  CloseIdleConverters();
  iconv_t first = iconv_open("ISO-2022-JP", "UTF-8");
  ASSERT_NE(first, reinterpret_cast<iconv_t>(-1));
  // The kanji for "day" shifts the output into JIS X 0208 until the shift back, which comes
  // only with the next ASCII character or the end of the text.
  EXPECT_EQ(Convert(first, "\xE6\x97\xA5"), "\x1B$BF|");
  EXPECT_EQ(iconv_close(first), 0);
  EXPECT_EQ(IdleConverterCount(), 1u);

  iconv_t other = iconv_open("UTF-16BE", "UTF-8");
  EXPECT_NE(other, first);
  EXPECT_EQ(Convert(other, "a"), std::string("\0a", 2));
  iconv_t again = iconv_open("ISO-2022-JP", "UTF-8");
  EXPECT_EQ(again, first);
  EXPECT_EQ(IdleConverterCount(), 0u);
  EXPECT_EQ(Convert(again, "a"), "a");

  EXPECT_EQ(iconv_close(again), 0);
  EXPECT_EQ(iconv_close(other), 0);
  EXPECT_EQ(IdleConverterCount(), 2u);
  CloseIdleConverters();
  EXPECT_EQ(IdleConverterCount(), 0u);
}

}  // namespace
