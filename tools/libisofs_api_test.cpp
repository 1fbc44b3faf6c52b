// The assumptions of libisofs_api.h, checked against the installed libisofs. Each failure
// names the assumption that no longer holds.
#include "tools/libisofs_api.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include "tools/data_copy.h"
#include "tools/file_stream.h"
#include "tools/hybrid_image.h"
#include "tools/source_snapshot.h"
#include "tools/test_support.h"

namespace {

namespace fs = std::filesystem;

// libisofs must find the interface and the reference count where this program's declaration of
// the stream puts them, and free the stream as it was allocated; a stream of another layout
// fails here, or under AddressSanitizer, before it corrupts an image.
TEST(LibisofsApiTest, StreamLayoutIsLibisofs) {
  ScratchFolder scratch;
  WriteFile(scratch.path() + "/file", std::string(5000, 'x'));
  struct stat info;
  ASSERT_EQ(lstat((scratch.path() + "/file").c_str(), &info), 0);
  SourceSnapshot snapshot;
  snapshot.AddFolder(scratch.path());
  const SourceSnapshot::File& file = snapshot.AddFile("file", info);
  StreamContext context(snapshot);
  IsoStream* stream = NewFileStream(context, file);
  ASSERT_NE(stream, nullptr);

  iso_stream_ref(stream);
  EXPECT_EQ(stream->refcount, 2) << "[stream layout]";
  EXPECT_EQ(iso_stream_get_size(stream), 5000) << "[stream layout]";
  unsigned int filesystem = 0;
  dev_t device = 0;
  ino_t inode = 0;
  iso_stream_get_id(stream, &filesystem, &device, &inode);
  EXPECT_EQ(inode, info.st_ino) << "[stream layout]";
  iso_stream_unref(stream);
  EXPECT_EQ(FileOfStream(stream), &file) << "[stream layout]: freed while referenced";
  iso_stream_unref(stream);
}

// The data of distinct files, in whole blocks: what comes after the trees.
uint64_t DataBytes(const std::string& folder) {
  std::set<std::pair<dev_t, ino_t>> seen;
  uint64_t bytes = 0;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    struct stat info;
    if (lstat(entry.path().c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
    if (!seen.emplace(info.st_dev, info.st_ino).second) continue;
    bytes += (static_cast<uint64_t>(info.st_size) + 2047) / 2048 * 2048;
  }
  return bytes;
}

// The data put in place must be exactly where libisofs lays it out, which is where it
// delivers it itself: the two images may differ only in the times of their making, which
// come before the data. Sizes around a block, a file of several pieces, hard links and empty
// files, across folders. Where libisofs lays the image out otherwise, the run falls back to
// streaming and says why.
TEST(LibisofsApiTest, PlacedDataIsWhereLibisofsWritesIt) {
  ScratchFolder scratch;
  std::string source = scratch.path() + "/source";
  for (unsigned i = 0; i < 300; ++i) {
    size_t size = i < 6 ? size_t{2046} + i : 1 + i * 7919 % 9000;
    WriteFile(source + "/f" + std::to_string(i % 7) + "/file " + std::to_string(i),
              RandomBytes(size, i));
  }
  WriteFile(source + "/large.bin", RandomBytes(2 * DataCopy::PieceSize + 1000, 300));
  WriteFile(source + "/empty", "");
  WriteFile(source + "/f1/empty too", "");
  fs::create_hard_link(source + "/f0/file 0", source + "/f6/link to file 0");
  RecordingSink sink;
  std::string images[2];
  for (DataPath path : {DataPath::Placed, DataPath::Streamed}) {
    int index = static_cast<int>(path);
    MakeHybridOptions options{scratch.path() + "/image" + std::to_string(index), source, "SOURCE",
                              true, false};
    DataPathTaken taken{path == DataPath::Placed ? DataPath::Streamed : DataPath::Placed, {}};
    ASSERT_TRUE(Succeeded(MakeHybridImage(options, sink, path, &taken)))
        << "[cancelled] if it speaks of a cancelled image, [stream end] if the image ended early";
    EXPECT_EQ(taken.path, path) << taken.why_streamed;
    images[index] = ReadFile(options.output);
  }

  ASSERT_EQ(images[0].size(), images[1].size()) << "[data last]";
  size_t data = DataBytes(source);
  ASSERT_LT(data, images[0].size());
  EXPECT_TRUE(images[0].compare(images[0].size() - data, data, images[1], images[1].size() - data,
                                data) == 0)
      << "[data last] [data order] [shared data]";
  std::optional<IsoImageContents> placed =
      ReadIsoImage(scratch.path() + "/image0", IsoTreeKind::RockRidge);
  ASSERT_TRUE(placed.has_value());
  EXPECT_TRUE(SameTree(placed->tree, ReadFolderTree(source)));
}

}  // namespace
