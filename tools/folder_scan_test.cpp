// The image's tree as the scan builds it: symbolic links followed, folders deeper than ISO 9660
// allows, the files' dates, and what is left out.
#include "tools/folder_scan.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/command_line.h"
#include "tools/hybrid_image.h"
#include "tools/test_support.h"

namespace {

namespace fs = std::filesystem;

void SetModified(const std::string& path, time_t when) {
  timespec times[2] = {{when, 0}, {when, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

class FolderScanTest : public ::testing::Test {
 protected:
  // Makes the image of source_ into output_, keeping the warnings.
  Result MakeImage(DataPath path = DataPath::Placed, DataPathTaken* taken = nullptr) {
    MakeHybridOptions options{output_, source_, "SOURCE", true, true};
    return MakeHybridImage(options, sink_, path, taken);
  }

  TreeContents Read(IsoTreeKind kind) {
    std::optional<IsoImageContents> image = ReadIsoImage(output_, kind);
    return image ? image->tree : TreeContents{{"(unreadable)", ""}};
  }

  ScratchFolder scratch_;
  std::string source_ = scratch_.path() + "/source";
  std::string elsewhere_ = scratch_.path() + "/elsewhere";
  std::string output_ = scratch_.path() + "/output.iso";
  RecordingSink sink_;
};

// A folder linked from elsewhere (a Projects link in Documents) and a linked
// file: both trees hold what they lead to, and the run does not take the links
// for files that changed.
TEST_F(FolderScanTest, LinkedFoldersAndFilesHoldWhatTheyLeadTo) {
  WriteTree(elsewhere_, {{"linked/report.txt", "important"},
                         {"linked/sub/notes.txt", "notes"},
                         {"single.txt", "a linked file"}});
  WriteTree(source_, {{"own.txt", "own"}, {"single link.txt", "-> ../elsewhere/single.txt"}});
  fs::create_directory_symlink(elsewhere_ + "/linked", source_ + "/Projects");

  ASSERT_TRUE(Succeeded(MakeImage()));
  TreeContents expected{{"Projects/", ""},     {"Projects/report.txt", "important"},
                        {"Projects/sub/", ""}, {"Projects/sub/notes.txt", "notes"},
                        {"own.txt", "own"},    {"single link.txt", "a linked file"}};
  EXPECT_TRUE(SameTree(Read(IsoTreeKind::RockRidge), expected));
  EXPECT_TRUE(SameTree(Read(IsoTreeKind::Joliet), expected));
  EXPECT_EQ(sink_.warnings, std::vector<std::string>{});
}

// Two links to one folder and one to a file of it: the folder is there twice,
// as a copy would be, but the data of each file once, whichever way the data
// reaches the image.
TEST_F(FolderScanTest, FolderReachedTwiceHoldsItsDataOnce) {
  const std::string data = RandomBytes(1 << 20);
  WriteTree(elsewhere_, {{"shared/big.bin", data}});
  WriteTree(source_, {{"big link.bin", "-> ../elsewhere/shared/big.bin"}});
  fs::create_directory_symlink(elsewhere_ + "/shared", source_ + "/first");
  fs::create_directory_symlink(elsewhere_ + "/shared", source_ + "/second");

  for (DataPath path : {DataPath::Placed, DataPath::Streamed}) {
    DataPathTaken taken;
    ASSERT_TRUE(Succeeded(MakeImage(path, &taken)));
    EXPECT_EQ(taken.path, path) << taken.why_streamed;
    EXPECT_TRUE(SameTree(Read(IsoTreeKind::RockRidge), {{"big link.bin", data},
                                                        {"first/", ""},
                                                        {"first/big.bin", data},
                                                        {"second/", ""},
                                                        {"second/big.bin", data}}));
    EXPECT_LT(fs::file_size(output_), data.size() + (256 << 10));
  }
}

// The change check follows the links too: a linked file that changes once the
// image has started fails the run.
class ChangingSink : public RecordingSink {
 public:
  explicit ChangingSink(std::string file) : file_(std::move(file)) {}
  void Started(uint64_t) override { std::ofstream(file_, std::ios::app) << "more"; }

 private:
  std::string file_;
};

TEST_F(FolderScanTest, LinkedFileThatChangesFailsTheRun) {
  WriteTree(elsewhere_, {{"single.txt", "a linked file"}});
  WriteTree(source_, {{"single link.txt", "-> ../elsewhere/single.txt"}});
  ChangingSink sink(elsewhere_ + "/single.txt");
  MakeHybridOptions options{output_, source_, "SOURCE", true, true};

  std::string reason = MakeHybridImage(options, sink).failure();
  EXPECT_TRUE(reason.ends_with("single.txt changed while the image was being made")) << reason;
  EXPECT_FALSE(fs::exists(output_));
}

// A link back into a folder that holds it, in the image or above the folder on
// disk, would repeat without end; a dangling link and a link to a FIFO lead to
// nothing an image can hold. Each is left out with a word that names it.
TEST_F(FolderScanTest, LinksThatLeadNowhereAreLeftOutAndReported) {
  WriteTree(source_, {{"kept.txt", "kept"},
                      {"sub/loop", "-> .."},
                      {"up", "-> .."},
                      {"dangling", "-> missing.txt"},
                      {"pipe", "-> ../fifo"}});
  ASSERT_EQ(mkfifo((scratch_.path() + "/fifo").c_str(), 0600), 0);

  ASSERT_TRUE(Succeeded(MakeImage()));
  TreeContents expected{{"kept.txt", "kept"}, {"sub/", ""}};
  EXPECT_TRUE(SameTree(Read(IsoTreeKind::RockRidge), expected));
  EXPECT_TRUE(SameTree(Read(IsoTreeKind::Joliet), expected));
  std::ranges::sort(sink_.warnings);
  EXPECT_EQ(sink_.warnings,
            (std::vector<std::string>{
                source_ + "/dangling was left out: it links to missing.txt, which "
                          "does not exist",
                source_ + "/pipe was left out: it links to a FIFO, not to a file or folder",
                source_ + "/sub/loop was left out: it links to a folder that contains it",
                source_ + "/up was left out: it links to a folder that contains it",
            }));
}

// For those who want the links themselves: kept as links, which only Rock Ridge
// can hold.
TEST_F(FolderScanTest, KeptSymlinksStayLinks) {
  WriteTree(elsewhere_, {{"linked/report.txt", "important"}});
  WriteTree(source_, {{"dangling", "-> missing.txt"}});
  fs::create_directory_symlink(elsewhere_ + "/linked", source_ + "/Projects");
  const char* argv[] = {"hdiutil", "makehybrid",    "-o", output_.c_str(), source_.c_str(),
                        "-joliet", "-keep-symlinks"};
  ParsedCommandLine command = ParseCommandLine(std::size(argv), argv);
  ASSERT_TRUE(command.options.has_value()) << command.error;

  ASSERT_TRUE(Succeeded(MakeHybridImage(*command.options, sink_)));
  EXPECT_TRUE(SameTree(Read(IsoTreeKind::RockRidge), {{"Projects", "-> " + elsewhere_ + "/linked"},
                                                      {"dangling", "-> missing.txt"}}));
  EXPECT_TRUE(SameTree(Read(IsoTreeKind::Joliet), {}));
}

// Replacing an image that lies in the folder leaves it out, and with it every
// other name it has there; those are not the user's to lose silently.
TEST_F(FolderScanTest, OtherNameOfTheReplacedImageIsLeftOutAndReported) {
  WriteTree(source_, {{"kept.txt", "kept"}, {"output.iso", "old image"}});
  fs::create_hard_link(source_ + "/output.iso", source_ + "/backup.iso");
  output_ = source_ + "/output.iso";

  ASSERT_TRUE(Succeeded(MakeImage()));
  EXPECT_TRUE(SameTree(Read(IsoTreeKind::RockRidge), {{"kept.txt", "kept"}}));
  EXPECT_EQ(sink_.warnings,
            std::vector<std::string>{source_ + "/backup.iso was left out: it is another name of " +
                                     output_ + ", the image being replaced"});
}

// The ISO 9660 and Joliet directory records hold each file's and folder's own
// modification time, not the image's.
TEST_F(FolderScanTest, EveryTreeHoldsTheFilesModificationTimes) {
  constexpr time_t Dated = 981'173'106;  // 2001-02-03 04:05:06 UTC
  WriteTree(source_, {{"folder/dated.txt", "dated"}});
  SetModified(source_ + "/folder/dated.txt", Dated);
  SetModified(source_ + "/folder", Dated + 60);

  ASSERT_TRUE(Succeeded(MakeImage()));
  for (IsoTreeKind kind : {IsoTreeKind::Joliet, IsoTreeKind::Iso9660}) {
    std::optional<IsoImageContents> image = ReadIsoImage(output_, kind);
    ASSERT_TRUE(image.has_value());
    std::map<std::string, time_t> expected{{"folder", Dated + 60}, {"folder/dated.txt", Dated}};
    if (kind == IsoTreeKind::Iso9660)
      expected = {{"FOLDER", Dated + 60}, {"FOLDER/DATED.TXT", Dated}};
    EXPECT_EQ(image->modified, expected) << static_cast<int>(kind);
  }
}

// Folders deeper than ISO 9660's eight levels are relocated; libarchive (bsdtar
// and the archive managers built on it) refuses an image whose relocated
// folders sit in the root, and Joliet readers must not see where they went.
TEST_F(FolderScanTest, DeepFoldersReadInFullWithLibarchive) {
  if (!HasProgram("bsdtar")) GTEST_SKIP() << "bsdtar is not installed";
  const std::string deep = "1/2/3/4/5/6/7/8/9/10/11/12/deep.txt";
  WriteTree(source_, {{deep, "deep"}, {"top.txt", "top"}});

  ASSERT_TRUE(Succeeded(MakeImage()));
  std::string names;
  EXPECT_EQ(RunProgram({"bsdtar", "-tf", output_}, names), 0) << names;
  EXPECT_NE(names.find("./" + deep + "\n"), std::string::npos) << names;
  EXPECT_NE(names.find("./top.txt\n"), std::string::npos) << names;
  EXPECT_TRUE(SameTree(Read(IsoTreeKind::Joliet), ReadFolderTree(source_)));
}

}  // namespace
