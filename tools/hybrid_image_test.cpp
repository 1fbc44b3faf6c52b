#include "tools/hybrid_image.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>

#include "tools/test_support.h"

namespace {

namespace fs = std::filesystem;

// Changes a source file once the image has started: after the scan recorded the file, while
// libisofs's writer thread reads it.
class ChangingSink : public ProgressSink {
 public:
  ChangingSink(void (*change)(const std::string&), std::string file)
      : change_(change), file_(std::move(file)) {}
  void Started(uint64_t) override { change_(file_); }
  void Advanced(uint64_t, uint64_t) override {}
  void Warned(std::string_view) override {}

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

class SourceChangeTest : public ::testing::TestWithParam<ChangeCase> {};

// The file is larger than libisofs's 2 MiB ring buffer, so the writer thread cannot have read
// all of it before the change: the change meets the file open or not yet opened, and the
// run must fail either way.
TEST_P(SourceChangeTest, FailsTheRunAndWritesNothing) {
  ScratchFolder scratch;
  std::string file = scratch.path() + "/source/big.bin";
  WriteFile(file, std::string(6'000'000, 'x'));
  fs::create_directories(scratch.path() + "/out");
  MakeHybridOptions options{scratch.path() + "/out/output.iso", scratch.path() + "/source",
                            "SOURCE", true, true};
  ChangingSink sink(GetParam().change, file);

  std::string reason = MakeHybridImage(options, sink);
  EXPECT_EQ(reason, file + " " + GetParam().reason + " while the image was being made");
  EXPECT_TRUE(fs::is_empty(scratch.path() + "/out"));
}

INSTANTIATE_TEST_SUITE_P(
    Changes, SourceChangeTest,
    ::testing::Values(
        ChangeCase{"Shrinks", [](const std::string& file) { fs::resize_file(file, 1000); },
                   "changed"},
        ChangeCase{"Grows",
                   [](const std::string& file) { std::ofstream(file, std::ios::app) << "more"; },
                   "changed"},
        ChangeCase{"Vanishes", [](const std::string& file) { fs::remove(file); }, "vanished"},
        ChangeCase{"IsReplacedBySameSize",
                   [](const std::string& file) {
                     WriteFile(file + ".new", std::string(6'000'000, 'y'));
                     fs::rename(file + ".new", file);
                   },
                   "changed"}),
    [](const ::testing::TestParamInfo<ChangeCase>& info) { return std::string(info.param.name); });

}  // namespace
