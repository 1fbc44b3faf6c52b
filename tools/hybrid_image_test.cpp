#include "tools/hybrid_image.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "tools/data_copy.h"
#include "tools/file_stream.h"
#include "tools/libisofs_api.h"
#include "tools/test_support.h"

namespace {

namespace fs = std::filesystem;

// Small files made in turn across more folders than are kept open, so that the data, laid out
// in the order of the files' inodes, goes from folder to folder; with hard links (several
// names, one copy of the data), a link to a folder, an empty file and a larger file.
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
  RecordingSink sink;

  ASSERT_TRUE(Succeeded(MakeHybridImage(options, sink)));
  // The linked folder is there a second time, its files' data once.
  TreeContents folder = ReadFolderTree(source);
  folder.erase("link to f1");
  for (const auto& [path, contents] : TreeContents(folder)) {
    if (path.starts_with("f1/")) folder["link to " + path] = contents;
  }
  folder["link to f1/"] = "";
  std::optional<IsoImageContents> rock_ridge = ReadIsoImage(options.output, IsoTreeKind::RockRidge);
  ASSERT_TRUE(rock_ridge.has_value());
  EXPECT_TRUE(SameTree(rock_ridge->tree, folder));
  std::optional<IsoImageContents> joliet = ReadIsoImage(options.output, IsoTreeKind::Joliet);
  ASSERT_TRUE(joliet.has_value());
  EXPECT_TRUE(SameTree(joliet->tree, folder));
}

// Copying a small file costs its opening and examination more than its bytes, so the work
// counted for the data must weigh each file and not only its bytes: a thousand files of one
// byte take about four times as long as one file of a thousand blocks on a warm cache, where
// by bytes they would be half of it.
TEST(DataLayoutTest, EachFileWeighsMoreThanItsBytes) {
  SourceSnapshot snapshot;
  snapshot.AddFolder("/nowhere");
  struct stat info {};
  info.st_size = 1;
  for (ino_t inode = 1; inode <= 1000; ++inode) {
    info.st_ino = inode;
    snapshot.AddFile("small " + std::to_string(inode), info);
  }
  info.st_ino = 1001;
  info.st_size = 1000 * 2048;
  snapshot.AddFile("large", info);

  DataLayout layout = LayOutData(snapshot);
  ASSERT_EQ(layout.files.back().file->state.inode, 1001u);
  const uint64_t small_done = layout.WorkThrough(layout.files.back().offset);
  EXPECT_GT(small_done * 4, layout.work * 3);
  EXPECT_LT(small_done, layout.work);
  EXPECT_EQ(layout.WorkThrough(layout.size), layout.work);
}

// Keeps what a run reports, and whether the image was at its destination, at its full size,
// when the run said its work was done.
class ProgressCheckingSink : public RecordingSink {
 public:
  explicit ProgressCheckingSink(std::string destination) : destination_(std::move(destination)) {}
  void Started(uint64_t image_size) override { image_size_ = image_size; }
  void Advanced(uint64_t done, uint64_t total) override {
    if (done < last_done || done > total || (total_ != 0 && total != total_)) steady = false;
    last_done = done;
    total_ = total;
    if (!first_share) first_share = static_cast<double>(done) / static_cast<double>(total);
    if (done == total) {
      std::error_code error;
      in_place_when_done = fs::file_size(destination_, error) == image_size_ && !error;
    }
  }
  bool steady = true;
  uint64_t last_done = 0;
  std::optional<double> first_share;  // of the work, in the first report
  std::optional<bool> in_place_when_done;

 private:
  std::string destination_;
  uint64_t image_size_ = 0;
  uint64_t total_ = 0;
};

// The first report counts the scan done: for many small files it is a good part of the run,
// which the progress would otherwise start from nothing. The end of the work is reported only
// once the image is made: after the data, the folder is checked for changes and the image
// flushed to the device and named, which for many files takes a good part of the run too. The
// work reported grows and never passes its total.
TEST(HybridImageTest, ReportsTheScanDoneFirstAndTheEndOnlyOnceTheImageIsInPlace) {
  ScratchFolder scratch;
  std::string source = scratch.path() + "/source";
  for (unsigned i = 0; i < 300; ++i)
    WriteFile(source + "/f" + std::to_string(i % 9) + "/file " + std::to_string(i), "x");
  MakeHybridOptions options{scratch.path() + "/output.iso", source, "SOURCE", true, false};
  ProgressCheckingSink sink(options.output);

  ASSERT_TRUE(Succeeded(MakeHybridImage(options, sink)));
  EXPECT_TRUE(sink.steady);
  EXPECT_EQ(sink.in_place_when_done, std::optional<bool>(true));
  ASSERT_TRUE(sink.first_share.has_value());
  EXPECT_GT(*sink.first_share, 0.3);
  EXPECT_LT(*sink.first_share, 0.75);
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

// libisofs's writer thread, opening its first file, waits there until told whether the data
// is put in place; the other thread sees which file it stands at. Placed, the streams
// deliver the right number of bytes and read nothing; streamed, they deliver the files and
// refuse one changed since the scan.
TEST(FileStreamTest, WriterWaitsAtTheFirstFileUntilToldWhatToDeliver) {
  ScratchFolder scratch;
  TreeContents files{{"a", RandomBytes(70'000, 1)}, {"b", RandomBytes(5000, 2)}, {"c", "changes"}};
  WriteTree(scratch.path(), files);
  SourceSnapshot snapshot;
  snapshot.AddFolder(scratch.path());
  std::map<std::string, const SourceSnapshot::File*> recorded;
  for (const auto& [name, contents] : files) {
    struct stat info;
    ASSERT_EQ(lstat((scratch.path() + "/" + name).c_str(), &info), 0);
    recorded[name] = &snapshot.AddFile(name, info);
  }
  WriteFile(scratch.path() + "/c", "changed!");

  for (bool placed : {true, false}) {
    StreamContext context(snapshot);
    context.hand_off().Expect(*recorded["a"]);
    IsoStream* first = NewFileStream(context, *recorded[placed ? "a" : "b"]);
    // Delivering nothing, the stream must not even open the file.
    if (placed) fs::remove(scratch.path() + "/a");
    std::optional<std::string> first_contents;
    std::thread writer([&] { first_contents = ReadWholeStream(first); });
    ASSERT_TRUE(context.hand_off().WriterAtData(std::chrono::seconds(10)));
    EXPECT_EQ(context.hand_off().WriterAtExpectedFile(), placed);
    context.hand_off().Decide(placed);
    writer.join();
    EXPECT_FALSE(context.hand_off().WriterAtData(std::chrono::milliseconds(0)));
    iso_stream_unref(first);
    if (placed) {
      ASSERT_TRUE(first_contents.has_value());
      EXPECT_EQ(first_contents->size(), files["a"].size());
      continue;
    }
    EXPECT_EQ(first_contents, files["b"]);
    IsoStream* changed = NewFileStream(context, *recorded["c"]);
    EXPECT_FALSE(ReadWholeStream(changed).has_value());
    iso_stream_unref(changed);
    EXPECT_EQ(context.FailureReason(), ChangedReason(scratch.path() + "/c"));
  }
}

// Changes a source file once the image has started: after the scan recorded the file, while
// libisofs's writer thread reads it, or the consuming thread reads it ahead.
class ChangingSink : public RecordingSink {
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

// Rewrites the file in place, keeping its size, and puts its access and modification times
// back, as programs that preserve timestamps do: only the change time, which no program can
// set, tells. Again until it does, as a rewrite within the clock tick of the file's last
// change leaves even that as it was.
void RewriteKeepingTimes(const std::string& file) {
  struct stat before;
  ASSERT_EQ(stat(file.c_str(), &before), 0);
  const timespec times[2] = {before.st_atim, before.st_mtim};
  for (struct stat after = before; after.st_ctim.tv_sec == before.st_ctim.tv_sec &&
                                   after.st_ctim.tv_nsec == before.st_ctim.tv_nsec;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::fstream(file, std::ios::in | std::ios::out | std::ios::binary)
        << std::string(static_cast<size_t>(before.st_size), 'y');
    ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
    ASSERT_EQ(stat(file.c_str(), &after), 0);
  }
}

class SourceChangeTest : public ::testing::TestWithParam<std::tuple<ChangeCase, size_t>> {};

// The change comes once the image is laid out, before the data is copied (the large file in
// pieces, the small one whole), and the run must fail either way.
TEST_P(SourceChangeTest, FailsTheRunAndWritesNothing) {
  const auto& [change, size] = GetParam();
  ScratchFolder scratch;
  std::string file = scratch.path() + "/source/file.bin";
  WriteFile(file, std::string(size, 'x'));
  fs::create_directories(scratch.path() + "/out");
  MakeHybridOptions options{scratch.path() + "/out/output.iso", scratch.path() + "/source",
                            "SOURCE", true, true};
  ChangingSink sink(change.change, file);

  std::string reason = MakeHybridImage(options, sink).failure();
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
                       "changed"},
            ChangeCase{"IsRewrittenWithItsTimesPutBack", RewriteKeepingTimes, "changed"}),
        ::testing::Values(size_t{6'000'000}, size_t{5'000})),
    [](const ::testing::TestParamInfo<std::tuple<ChangeCase, size_t>>& info) {
      return std::string(std::get<0>(info.param).name) +
             (std::get<1>(info.param) > 1'000'000 ? "Large" : "Small");
    });

// A FIFO in the place of a scanned file: opened for reading as a file is, it would wait for a
// writer for ever.
TEST(SourceFifoTest, FileReplacedByAFifoFailsTheRunWithoutWaiting) {
  ScratchFolder scratch;
  std::string file = scratch.path() + "/source/file.bin";
  WriteFile(file, std::string(5000, 'x'));
  fs::create_directories(scratch.path() + "/out");
  MakeHybridOptions options{scratch.path() + "/out/output.iso", scratch.path() + "/source",
                            "SOURCE", true, false};
  ChangingSink sink(
      [](const std::string& path) {
        fs::remove(path);
        ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
      },
      file);

  auto run =
      std::async(std::launch::async, [&] { return MakeHybridImage(options, sink).failure(); });
  if (run.wait_for(std::chrono::seconds(30)) == std::future_status::timeout) {
    ADD_FAILURE() << "the run waits for a writer of the FIFO";
    // A writer lets it go on, so that the test can end.
    close(open(file.c_str(), O_WRONLY | O_NONBLOCK));
  }
  EXPECT_EQ(run.get(), file + " changed while the image was being made");
  EXPECT_TRUE(fs::is_empty(scratch.path() + "/out"));
}

// Queues a libisofs message of the given severity as the image starts, as libisofs does for
// what it meets while writing, and keeps what reaches the sink.
class MessageSink : public RecordingSink {
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

    EXPECT_EQ(MakeHybridImage(options, sink).failure(), fails ? text : "") << severity;
    EXPECT_EQ(sink.warnings, fails ? std::vector<std::string>{} : std::vector<std::string>{text});
    EXPECT_EQ(fs::exists(options.output), !fails) << severity;
  }
}

}  // namespace
