#include "tools/source_snapshot.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "tools/test_support.h"

namespace {

// A same-size rewrite within the second the file was scanned in differs from the scanned
// state only in the nanoseconds of its modification and change times; here the recorded
// state differs so, from the file as it is.
TEST(SourceSnapshotTest, FindsTimesThatDifferOnlyInNanoseconds) {
  ScratchFolder scratch;
  const std::string path = scratch.path() + "/file";
  WriteFile(path, "contents");
  struct stat scanned;
  ASSERT_EQ(lstat(path.c_str(), &scanned), 0);
  for (auto field : {&stat::st_mtim, &stat::st_ctim}) {
    SourceSnapshot snapshot;
    snapshot.AddFolder(scratch.path());
    struct stat recorded = scanned;
    (recorded.*field).tv_nsec ^= 1;
    snapshot.AddFile("file", recorded);
    EXPECT_EQ(snapshot.FindChange(), ChangedReason(path));
  }
  SourceSnapshot unchanged;
  unchanged.AddFolder(scratch.path());
  unchanged.AddFile("file", scanned);
  EXPECT_EQ(unchanged.FindChange(), "");
}

}  // namespace
