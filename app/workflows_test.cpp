#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>
#include <QRegularExpression>
#include <QTest>
#include <QWidget>

#include "app/app_test_support.h"
#include "app/floppy_workflow.h"
#include "app/iso_workflow.h"
#include "app/main_window.h"
#include "app/places.h"
#include "gui/gadgets/combo_box_gadget.h"
#include "gui/gadgets/gadgets.h"
#include "gui/windows/kz_window.h"
#include "gui/windows/windows.h"
#include "runtime/qstring_bridge.h"
#include "runtime/string_stack.h"
#include "tools/test_support.h"

namespace {

using Arguments = std::vector<std::string>;

std::u16string Wide(const std::string& text) {
  return QString::fromStdString(text).toStdU16String();
}

class WorkflowTest : public ::testing::Test {
 protected:
  void SetUp() override { RebuildMainWindow(); }

  void Press(int64_t button) { QTest::mouseClick(GadgetWidget(button), Qt::LeftButton); }
  void TypeSource(const std::string& path) { SetGadgetText(GadgetSourcePath, Wide(path).c_str()); }
  std::u16string Status() { return GadgetText(GadgetStatus); }

  ScratchHome home_;
};

TEST_F(WorkflowTest, IsoRunsTheToolWithQuotedPathsAndReportsTheImage) {
  home_.AddStandInTool("hdiutil", 0);
  const std::string source = home_.home() + "/My Folder";
  MakeFolder(source);
  TypeSource("  " + source + "  ");
  Press(GadgetCreateIso);
  EXPECT_EQ(home_.RecordedArguments("hdiutil"),
            (Arguments{"makehybrid", "-o", home_.desktop() + "/output.iso", source, "-iso",
                       "-joliet", "-ov"}));
  EXPECT_EQ(Status(), u"Finished... ISO saved to " + Wide(home_.desktop()) + u"/output.iso");
  EXPECT_TRUE(GadgetEnabled(GadgetCreateIso));
}

TEST_F(WorkflowTest, IsoAsksBeforeReplacingAnImage) {
  home_.AddStandInTool("hdiutil", 0);
  WriteFile(home_.desktop() + "/output.iso", "old");
  TypeSource(home_.home() + "/Documents");

  SeenBox box;
  AnswerNextBox("No", &box);
  Press(GadgetCreateIso);
  EXPECT_EQ(box.title, "File Exists");
  // The file it means, in full: the field may name any folder.
  EXPECT_EQ(box.text, QString::fromStdString("File already exists - overwrite it?\n" +
                                             home_.desktop() + "/output.iso"));
  EXPECT_EQ(box.default_button, "No");
  EXPECT_TRUE(home_.RecordedArguments("hdiutil").empty());
  EXPECT_EQ(Status(), u"ISO creation was cancelled");
  EXPECT_TRUE(GadgetEnabled(GadgetCreateIso));

  AnswerNextBox("Yes", &box);
  Press(GadgetCreateIso);
  EXPECT_EQ(box.shown, 2);
  EXPECT_EQ(home_.RecordedArguments("hdiutil").size(), 7u);
  EXPECT_EQ(Status(), u"Finished... ISO saved to " + Wide(home_.desktop()) + u"/output.iso");
}

TEST_F(WorkflowTest, AFolderNamedLikeTheImageIsNoReasonToAsk) {
  home_.AddStandInTool("hdiutil", 0);
  MakeFolder(home_.desktop() + "/output.iso");
  TypeSource(home_.home() + "/Documents");
  SeenBox box;
  AnswerNextBox("No", &box);
  Press(GadgetCreateIso);
  EXPECT_EQ(box.shown, 0);
  EXPECT_FALSE(home_.RecordedArguments("hdiutil").empty());
}

TEST_F(WorkflowTest, IsoReportsMissingFoldersAndCancels) {
  home_.AddStandInTool("hdiutil", 0);
  SeenBox box;
  TypeSource(home_.home() + "/nowhere");
  AnswerNextBox("OK", &box);
  Press(GadgetCreateIso);
  EXPECT_EQ(box.title, "Error");
  EXPECT_EQ(box.text, QString::fromStdString("Folder " + home_.home() + "/nowhere not found"));
  EXPECT_EQ(Status(), u"ISO creation was cancelled");
  EXPECT_TRUE(GadgetEnabled(GadgetCreateIso));

  std::filesystem::remove(home_.desktop());
  TypeSource(home_.home() + "/Documents");
  AnswerNextBox("OK", &box);
  Press(GadgetCreateIso);
  EXPECT_EQ(box.text, QString::fromStdString("Folder " + home_.desktop() + " not found"));
  EXPECT_EQ(Status(), u"ISO creation was cancelled");
  EXPECT_TRUE(home_.RecordedArguments("hdiutil").empty());
}

// Names that a parameter text would split, unquote or read as an option.
const std::vector<std::string> kAwkwardNames = {"My \"best\" photos", "tab\there", "line\nfeed",
                                                "-leading dash"};

// The working folder, changed for the length of a scope.
class WorkingFolderChange {
 public:
  explicit WorkingFolderChange(const std::string& folder)
      : before_(std::filesystem::current_path()) {
    std::filesystem::current_path(folder);
  }
  ~WorkingFolderChange() { std::filesystem::current_path(before_); }
  WorkingFolderChange(const WorkingFolderChange&) = delete;
  WorkingFolderChange& operator=(const WorkingFolderChange&) = delete;

 private:
  std::filesystem::path before_;
};

TEST_F(WorkflowTest, IsoPassesAFolderOfAnyNameToTheToolAsItIs) {
  home_.AddStandInTool("hdiutil", 0);
  for (const std::string& name : kAwkwardNames) {
    const std::string source = home_.home() + "/" + name;
    MakeFolder(source);
    TypeSource(source);
    // Answered should one come up, so that a box cannot hold the test.
    SeenBox box;
    AnswerNextBox("OK", &box);
    Press(GadgetCreateIso);
    EXPECT_EQ(box.shown, 0) << name;
    EXPECT_EQ(home_.RecordedArguments("hdiutil"),
              (Arguments{"makehybrid", "-o", home_.desktop() + "/output.iso", source, "-iso",
                         "-joliet", "-ov"}))
        << name;
    EXPECT_EQ(Status(), u"Finished... ISO saved to " + Wide(home_.desktop()) + u"/output.iso");
  }
}

TEST_F(WorkflowTest, MakeIsoImageWritesIntoAFolderOfAnyName) {
  home_.AddStandInTool("hdiutil", 0);
  for (const std::string& name : kAwkwardNames) {
    const std::string folder = home_.home() + "/" + name;
    MakeFolder(folder);
    EXPECT_EQ(MakeIsoImage(Wide(home_.home() + "/Documents").c_str(), Wide(folder).c_str(),
                           Wide(name + ".iso").c_str()),
              ToolOutcome::Succeeded);
    EXPECT_EQ(home_.RecordedArguments("hdiutil"),
              (Arguments{"makehybrid", "-o", folder + "/" + name + ".iso",
                         home_.home() + "/Documents", "-iso", "-joliet", "-ov"}))
        << name;
  }
}

// A folder typed relative to the working folder is found there; the tool must not take a
// name that starts with "-" for one of its options.
TEST_F(WorkflowTest, ARelativeSourceThatStartsWithADashReachesTheToolAsAPath) {
  home_.AddStandInTool("hdiutil", 0);
  MakeFolder(home_.home() + "/-leading dash");
  WorkingFolderChange working(home_.home());
  TypeSource("-leading dash");
  Press(GadgetCreateIso);
  const Arguments arguments = home_.RecordedArguments("hdiutil");
  ASSERT_EQ(arguments.size(), 7u);
  EXPECT_EQ(arguments[3], "./-leading dash");
  EXPECT_EQ(Status(), u"Finished... ISO saved to " + Wide(home_.desktop()) + u"/output.iso");
}

TEST_F(WorkflowTest, IsoFailsWhenTheToolFailsOrIsMissingAndShowsTheToolsReason) {
  home_.AddStandInScript("hdiutil",
                         "echo 'hdiutil: makehybrid failed - cannot create a file beside "
                         "/d/output.iso: Permission denied' >&2\necho 'a later note' >&2\n"
                         "exit 1\n");
  TypeSource(home_.home() + "/Documents");
  SeenBox box;
  AnswerNextBox("OK", &box);
  Press(GadgetCreateIso);
  EXPECT_EQ(Status(), u"ERROR: Failed to create ISO");
  EXPECT_EQ(box.title, "Error");
  EXPECT_EQ(box.text, "cannot create a file beside /d/output.iso: Permission denied");

  std::filesystem::remove(home_.tools() + "/hdiutil");
  setenv("PATH", home_.tools().c_str(), 1);
  Press(GadgetCreateIso);
  EXPECT_EQ(Status(), u"ERROR: Failed to create ISO");
  EXPECT_TRUE(GadgetEnabled(GadgetCreateIso));
}

// The tool refuses, once it knows the image's size, for want of room: the box gives its
// reason, and the earlier image stays.
TEST_F(WorkflowTest, IsoRefusedForWantOfSpaceShowsTheToolsReason) {
  WriteFile(home_.desktop() + "/output.iso", "old");
  home_.AddStandInScript("hdiutil",
                         "echo 'Creating hybrid image...'\necho 'size: 3210987654 bytes'\n"
                         "echo 'hdiutil: makehybrid failed - not enough space in /d: the image "
                         "needs 3.2 GB, 1.5 GB is free' >&2\nexit 1\n");
  TypeSource(home_.home() + "/Documents");
  SeenBox box;
  AnswerNextBox("Yes", &box);
  AnswerNextBox("OK", &box);
  Press(GadgetCreateIso);
  EXPECT_EQ(Status(), u"ERROR: Failed to create ISO");
  EXPECT_EQ(box.shown, 2);
  EXPECT_EQ(box.title, "Error");
  EXPECT_EQ(box.text, "not enough space in /d: the image needs 3.2 GB, 1.5 GB is free");
  EXPECT_EQ(ReadFile(home_.desktop() + "/output.iso"), "old");
}

TEST_F(WorkflowTest, ThePumpWaitsForTheToolToEndWithoutSpinning) {
  // The stand-in writes to standard error first and only then, a second later, records
  // its arguments and exits.
  home_.AddStandInTool("hdiutil", 0, 1.0);
  TypeSource(home_.home() + "/Documents");
  rusage before, after;
  getrusage(RUSAGE_SELF, &before);
  Press(GadgetCreateIso);
  getrusage(RUSAGE_SELF, &after);
  EXPECT_FALSE(home_.RecordedArguments("hdiutil").empty());
  auto seconds = [](const rusage& usage) {
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  };
  // A pump that polled without sleeping would burn the whole second.
  EXPECT_LT(seconds(after) - seconds(before), 0.3);
}

// The scratch home folder's name holds a blank.
// dd writes a hidden file beside the image, which becomes the image once dd has succeeded.
void ExpectDdArguments(const Arguments& arguments, const std::string& image, int64_t size,
                       int64_t count) {
  ASSERT_EQ(arguments.size(), 4u);
  EXPECT_EQ(arguments[0], "if=/dev/zero");
  const std::filesystem::path written(arguments[1].substr(3));
  EXPECT_EQ(arguments[1].substr(0, 3), "of=");
  EXPECT_EQ(written.parent_path(), std::filesystem::path(image).parent_path());
  EXPECT_TRUE(written.filename().string().starts_with(
      "." + std::filesystem::path(image).filename().string() + "."));
  EXPECT_EQ(arguments[2], "bs=" + std::to_string(size));
  EXPECT_EQ(arguments[3], "count=" + std::to_string(count));
  EXPECT_FALSE(PathExists(written));
  EXPECT_TRUE(PathExists(image));
}

TEST_F(WorkflowTest, FloppyRunsDdWithTheWholeOutputArgumentQuoted) {
  home_.AddStandInTool("dd", 0);
  Press(GadgetCreateFloppy);
  ExpectDdArguments(home_.RecordedArguments("dd"), home_.desktop() + "/Empty_Floppy.img", 1024,
                    1440);
  EXPECT_EQ(Status(),
            u"Finished... Floppy image saved to " + Wide(home_.desktop()) + u"/Empty_Floppy.img");
  EXPECT_TRUE(GadgetEnabled(GadgetCreateFloppy));
}

TEST_F(WorkflowTest, FloppyAsksBeforeReplacingAndNoSaysNothingWasMade) {
  home_.AddStandInTool("dd", 0);
  WriteFile(home_.desktop() + "/Empty_Floppy.img", "old");
  SetGadgetText(GadgetStatus, u"before");
  SeenBox box;
  AnswerNextBox("No", &box);
  Press(GadgetCreateFloppy);
  EXPECT_EQ(box.title, "File Exists");
  EXPECT_EQ(Status(), u"ERROR: Failed to create floppy image");
  EXPECT_TRUE(home_.RecordedArguments("dd").empty());
  EXPECT_TRUE(GadgetEnabled(GadgetCreateFloppy));

  AnswerNextBox("Yes", &box);
  Press(GadgetCreateFloppy);
  EXPECT_EQ(home_.RecordedArguments("dd").size(), 4u);
}

TEST_F(WorkflowTest, AFailingDdKeepsTheEarlierImageAndSaysWhy) {
  WriteFile(home_.desktop() + "/Empty_Floppy.img", "old");
  home_.AddStandInScript("dd",
                         "echo \"dd: error writing '$2': No space left on device\" >&2\n"
                         "echo '1+0 records in' >&2\nexit 1\n");
  SeenBox box;
  AnswerNextBox("Yes", &box);
  AnswerNextBox("OK", &box);
  Press(GadgetCreateFloppy);
  EXPECT_EQ(Status(), u"ERROR: Failed to create floppy image");
  EXPECT_EQ(box.shown, 2);
  EXPECT_EQ(box.text, "No space left on device");
  EXPECT_EQ(ReadFile(home_.desktop() + "/Empty_Floppy.img"), "old");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(home_.desktop()),
                          std::filesystem::directory_iterator()),
            1);
}

// dd succeeds, but its image cannot take the name: a folder holds it.
TEST_F(WorkflowTest, AFailedRenameOfTheFloppyIsAFailureWithItsOwnReason) {
  home_.AddStandInScript("dd", "echo '2880+0 records in' >&2\necho '1474560 bytes copied' >&2\n");
  MakeFolder(home_.desktop() + "/Empty_Floppy.img/inside");
  SeenBox box;
  AnswerNextBox("OK", &box);
  Press(GadgetCreateFloppy);
  EXPECT_EQ(Status(), u"ERROR: Failed to create floppy image");
  EXPECT_EQ(box.text, QString::fromStdString("Cannot save the image as " + home_.desktop() +
                                             "/Empty_Floppy.img: Is a directory"));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(home_.desktop()),
                          std::filesystem::directory_iterator()),
            1);
}

TEST_F(WorkflowTest, AnImageMadeWithWarningsSaysSoAndListsThem) {
  std::string script;
  for (int i = 1; i <= 22; ++i)
    script += "echo 'warning: note " + std::to_string(i) + "'\n";
  home_.AddStandInScript("hdiutil", script + "echo 100%\n");
  TypeSource(home_.home() + "/Documents");
  SeenBox box;
  AnswerNextBox("OK", &box);
  Press(GadgetCreateIso);
  EXPECT_EQ(Status(), u"Finished... ISO saved to " + Wide(home_.desktop()) + u"/output.iso");
  EXPECT_EQ(box.title, "Finished with warnings");
  const QStringList lines = box.text.split('\n');
  ASSERT_EQ(lines.size(), 22);
  EXPECT_EQ(lines[1], "note 1");
  EXPECT_EQ(lines[20], "note 20");
  EXPECT_EQ(lines[21], "and 2 more");

  // The next run starts with none.
  home_.AddStandInTool("hdiutil", 0);
  AnswerNextBox("OK", &box);
  Press(GadgetCreateIso);
  EXPECT_EQ(box.shown, 1);
}

TEST_F(WorkflowTest, FloppyWithoutDesktopSaysWhichFolderIsMissing) {
  home_.AddStandInTool("dd", 0);
  std::filesystem::remove(home_.desktop());
  SeenBox box;
  AnswerNextBox("OK", &box);
  Press(GadgetCreateFloppy);
  EXPECT_EQ(box.title, "Error");
  EXPECT_EQ(box.text, QString::fromStdString("Folder " + home_.desktop() + " not found"));
  EXPECT_TRUE(home_.RecordedArguments("dd").empty());
  EXPECT_EQ(Status(), u"ERROR: Failed to create floppy image");
  EXPECT_TRUE(GadgetEnabled(GadgetCreateFloppy));
}

// The system's dd on a Desktop with too little room for a second image.
TEST_F(WorkflowTest, AFullDiskLeavesTheEarlierFloppyImageWhole) {
  const std::string earlier(1474560, 'x');
  if (std::system(
          ("mount -t tmpfs -o size=1600k tmpfs '" + home_.desktop() + "' 2>/dev/null").c_str()) !=
      0) {
    GTEST_SKIP() << "mounting a small tmpfs is not allowed here";
  }
  WriteFile(home_.desktop() + "/Empty_Floppy.img", earlier);
  SeenBox box;
  AnswerNextBox("Yes", &box);
  AnswerNextBox("OK", &box);
  Press(GadgetCreateFloppy);
  EXPECT_EQ(Status(), u"ERROR: Failed to create floppy image");
  EXPECT_EQ(box.text, "No space left on device");
  EXPECT_TRUE(ReadFile(home_.desktop() + "/Empty_Floppy.img") == earlier);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(home_.desktop()),
                          std::filesystem::directory_iterator()),
            1);
  EXPECT_EQ(std::system(("umount '" + home_.desktop() + "'").c_str()), 0);
}

TEST_F(WorkflowTest, MakeFloppyImageTakesAFolderAndANameOfAnyKind) {
  home_.AddStandInTool("dd", 0);
  const std::string odd = home_.home() + "/odd\nname";
  MakeFolder(odd);
  EXPECT_EQ(MakeFloppyImage(1, 512, u"x.img", Wide(odd).c_str()), ToolOutcome::Succeeded);
  ExpectDdArguments(home_.RecordedArguments("dd"), odd + "/x.img", 512, 1);
  for (const std::string& name : kAwkwardNames) {
    EXPECT_EQ(MakeFloppyImage(1, 512, Wide(name).c_str(), Wide(home_.desktop()).c_str()),
              ToolOutcome::Succeeded);
    ExpectDdArguments(home_.RecordedArguments("dd"), home_.desktop() + "/" + name, 512, 1);
  }
  // The defaults: the Desktop and "myfloppy.img".
  EXPECT_EQ(MakeFloppyImage(2, 512, u"", u""), ToolOutcome::Succeeded);
  ExpectDdArguments(home_.RecordedArguments("dd"), home_.desktop() + "/myfloppy.img", 512, 2);
}

// The text on the StringStack, with the stack then filled up to a few units below its
// capacity, so that the next string built on it moves the buffer.
const char16_t* OnAFullStringStack(const std::string& text) {
  FreeStringStack();
  InitStringStack();
  StringMark mark;
  AppendString(Wide(text).c_str());
  const char16_t* result = mark.Finish();
  const uint64_t offset = StringStackPosition;
  ReserveStringUnits((StringStackCapacity - static_cast<int64_t>(offset)) / 2 - 8, offset);
  return result;
}

// Parameters that are results on the StringStack must survive the stack growing under the
// commands built on it.
TEST_F(WorkflowTest, ImagePathsGivenOnTheStringStackSurviveItsGrowth) {
  home_.AddStandInTool("dd", 0);
  home_.AddStandInTool("hdiutil", 0);
  EXPECT_EQ(MakeFloppyImage(2, 512, u"x.img", OnAFullStringStack(home_.desktop())),
            ToolOutcome::Succeeded);
  EXPECT_EQ(MakeIsoImage(OnAFullStringStack(home_.home() + "/Documents"), u"", u""),
            ToolOutcome::Succeeded);
  EXPECT_EQ(home_.RecordedArguments("hdiutil")[3], home_.home() + "/Documents");
  FreeStringStack();
  InitStringStack();
}

TEST_F(WorkflowTest, TheBundledToolComesBeforeOneOnPath) {
  const std::string prefix = home_.home() + "/prefix";
  MakeFolder(prefix + "/bin");
  const std::u16string bin = Wide(prefix + "/bin/");
  EXPECT_EQ(std::u16string(BundledToolIn(bin.c_str(), u"hdiutil").Get()), u"hdiutil");
  MakeFolder(prefix + "/libexec/brevik");
  WriteFile(prefix + "/libexec/brevik/hdiutil", "installed");
  EXPECT_EQ(std::u16string(BundledToolIn(bin.c_str(), u"hdiutil").Get()),
            bin + u"../libexec/brevik/hdiutil");
  WriteFile(prefix + "/bin/hdiutil", "built");
  EXPECT_EQ(std::u16string(BundledToolIn(bin.c_str(), u"hdiutil").Get()), bin + u"hdiutil");
}

// A desktop configured in another language keeps its folders elsewhere.
TEST_F(WorkflowTest, TheDesktopsOwnFoldersAreUsedAndNamed) {
  const std::string config = home_.home() + "/config";
  WriteFile(config + "/user-dirs.dirs",
            "XDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\nXDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"\n");
  EnvironmentChange xdg("XDG_CONFIG_HOME", config.c_str());
  const std::string desktop = home_.home() + "/Schreibtisch";
  MakeFolder(home_.home() + "/Dokumente");
  RebuildMainWindow();
  EXPECT_EQ(Status(), u"");
  EXPECT_EQ(GadgetText(GadgetSourcePath), Wide(home_.home() + "/Dokumente"));

  // Configured but missing: the box names the configured folder.
  SeenBox box;
  AnswerNextBox("OK", &box);
  Press(GadgetCreateFloppy);
  EXPECT_EQ(box.text, QString::fromStdString("Folder " + desktop + " not found"));

  MakeFolder(desktop);
  home_.AddStandInTool("hdiutil", 0);
  Press(GadgetCreateIso);
  EXPECT_EQ(Status(), u"Finished... ISO saved to " + Wide(desktop) + u"/output.iso");
  EXPECT_EQ(home_.RecordedArguments("hdiutil")[2], desktop + "/output.iso");
  Press(GadgetCreateFloppy);
  EXPECT_EQ(Status(), u"Finished... Floppy image saved to " + Wide(desktop) + u"/Empty_Floppy.img");
  EXPECT_TRUE(PathExists(desktop + "/Empty_Floppy.img"));
}

TEST_F(WorkflowTest, TheSystemDdWritesAnEmptyFloppy) {
  Press(GadgetCreateFloppy);
  const std::string image = ReadFile(home_.desktop() + "/Empty_Floppy.img");
  EXPECT_EQ(image.size(), 1474560u);
  EXPECT_EQ(image.find_first_not_of('\0'), std::string::npos);
  EXPECT_EQ(Status(),
            u"Finished... Floppy image saved to " + Wide(home_.desktop()) + u"/Empty_Floppy.img");
}

// A Desktop whose path holds a double quote, with the system's dd.
TEST_F(WorkflowTest, TheSystemDdWritesTheFloppyIntoAFolderWithAQuoteInItsName) {
  const std::string folder = home_.home() + "/say \"hi\"";
  MakeFolder(folder);
  const std::string image = folder + "/Empty_Floppy.img";
  SetGadgetText(GadgetFloppyImagePath, Wide(image).c_str());
  Press(GadgetCreateFloppy);
  EXPECT_EQ(Status(), u"Finished... Floppy image saved to " + Wide(image));
  const std::string contents = ReadFile(image);
  EXPECT_EQ(contents.size(), 1474560u);
  EXPECT_EQ(contents.find_first_not_of('\0'), std::string::npos);
}

}  // namespace

namespace {

// Our hdiutil on a Desktop with too little room: it refuses before writing, and the box says
// how much the image needs.
TEST_F(WorkflowTest, OurHdiutilRefusesAnImageTheDesktopHasNoRoomFor) {
  SmallFileSystem small(home_.desktop(), "1m");
  if (!small.mounted()) GTEST_SKIP() << "mounting a small tmpfs is not allowed here";
  setenv("PATH", (std::string(HDIUTIL_FOLDER) + ":" + getenv("PATH")).c_str(), 1);
  const std::string source = home_.home() + "/Source Folder";
  WriteTree(source, {{"large.bin", std::string(3'000'000, 'x')}});
  TypeSource(source);
  SeenBox box;
  AnswerNextBox("OK", &box);
  Press(GadgetCreateIso);
  EXPECT_EQ(Status(), u"ERROR: Failed to create ISO");
  EXPECT_EQ(box.title, "Error");
  // A little more than the file, for the image's trees; the empty 1 MiB all free.
  const QRegularExpression reason(
      "^not enough space in " +
      QRegularExpression::escape(QString::fromStdString(home_.desktop())) +
      ": the image needs 3\\.[0-2] MB, 1\\.0 MB is free$");
  EXPECT_TRUE(reason.match(box.text).hasMatch()) << box.text.toStdString();
  EXPECT_TRUE(std::filesystem::is_empty(home_.desktop()));
}

TEST_F(WorkflowTest, OurHdiutilImagesTheFolderWithItsJolietNames) {
  setenv("PATH", (std::string(HDIUTIL_FOLDER) + ":" + getenv("PATH")).c_str(), 1);
  const std::string source = home_.home() + "/Source Folder";
  const TreeContents tree = {
      {"nested/", ""},
      {"nested/deeper/", ""},
      {"nested/deeper/data.bin", std::string("\0\1\2\3", 4) + std::string(5000, 'x')},
      {"a name with blanks.txt", "blanks"},
      {"Ünïcødé name that is rather long, with a face 😀 in it and more words.txt", "long"},
  };
  WriteTree(source, tree);
  TypeSource(source);
  Press(GadgetCreateIso);
  const std::string image = home_.desktop() + "/output.iso";
  EXPECT_EQ(Status(), u"Finished... ISO saved to " + Wide(image));
  std::optional<IsoImageContents> joliet = ReadIsoImage(image, IsoTreeKind::Joliet);
  ASSERT_TRUE(joliet.has_value());
  EXPECT_TRUE(SameTree(joliet->tree, tree));
}

// Each folder is imaged as it is, whatever its name holds, and read back from both trees.
TEST_F(WorkflowTest, OurHdiutilImagesFoldersWhateverTheirNames) {
  setenv("PATH", (std::string(HDIUTIL_FOLDER) + ":" + getenv("PATH")).c_str(), 1);
  const TreeContents tree = {
      {"inner/", ""},
      {"inner/data.bin", std::string("\0\1\2", 3) + std::string(3000, 'y')},
      {"top.txt", "top"},
  };
  const std::string image = home_.desktop() + "/output.iso";
  auto image_folder = [&](const std::string& typed, const std::string& label) {
    std::filesystem::remove(image);
    TypeSource(typed);
    SeenBox box;
    AnswerNextBox("OK", &box);
    Press(GadgetCreateIso);
    EXPECT_EQ(box.shown, 0) << label;
    EXPECT_EQ(Status(), u"Finished... ISO saved to " + Wide(image)) << label;
    for (IsoTreeKind kind : {IsoTreeKind::RockRidge, IsoTreeKind::Joliet}) {
      std::optional<IsoImageContents> contents = ReadIsoImage(image, kind);
      ASSERT_TRUE(contents.has_value()) << label;
      EXPECT_TRUE(SameTree(contents->tree, tree)) << label;
    }
  };
  for (const std::string& name : kAwkwardNames) {
    WriteTree(home_.home() + "/" + name, tree);
    image_folder(home_.home() + "/" + name, name);
  }
  WorkingFolderChange working(home_.home());
  image_folder("-leading dash", "relative -leading dash");
}

}  // namespace

namespace {

TEST_F(WorkflowTest, EachTabSavesWhereItsFieldSays) {
  EXPECT_EQ(GadgetText(GadgetIsoImagePath), Wide(home_.desktop() + "/output.iso"));
  EXPECT_EQ(GadgetText(GadgetFloppyImagePath), Wide(home_.desktop() + "/Empty_Floppy.img"));
  home_.AddStandInTool("hdiutil", 0);
  home_.AddStandInTool("dd", 0);
  MakeFolder(home_.home() + "/images");
  const std::string iso = home_.home() + "/images/holiday.iso";
  const std::string floppy = home_.home() + "/images/boot.img";
  SetGadgetText(GadgetIsoImagePath, Wide(iso).c_str());
  SetGadgetText(GadgetFloppyImagePath, Wide(floppy).c_str());
  TypeSource(home_.home() + "/Documents");
  Press(GadgetCreateIso);
  EXPECT_EQ(home_.RecordedArguments("hdiutil")[2], iso);
  EXPECT_EQ(Status(), u"Finished... ISO saved to " + Wide(iso));
  Press(GadgetCreateFloppy);
  EXPECT_EQ(Status(), u"Finished... Floppy image saved to " + Wide(floppy));
  EXPECT_TRUE(PathExists(floppy));
}

TEST_F(WorkflowTest, AMissingFolderInTheSaveFieldIsNamed) {
  home_.AddStandInTool("hdiutil", 0);
  const std::string missing = home_.home() + "/gone";
  SetGadgetText(GadgetIsoImagePath, Wide(missing + "/a.iso").c_str());
  TypeSource(home_.home() + "/Documents");
  SeenBox box;
  AnswerNextBox("OK", &box);
  Press(GadgetCreateIso);
  EXPECT_EQ(box.text, QString::fromStdString("Folder " + missing + " not found"));
  EXPECT_EQ(Status(), u"ISO creation was cancelled");
  EXPECT_TRUE(home_.RecordedArguments("hdiutil").empty());
}

TEST_F(WorkflowTest, TheChoicesComeBackAfterARestart) {
  EnvironmentChange xdg("XDG_CONFIG_HOME", (home_.home() + "/config").c_str());
  const std::string source = home_.home() + "/Documents/photos";
  MakeFolder(source);
  TypeSource(source);
  SetGadgetText(GadgetIsoImagePath, u"/srv/images/photos.iso");
  SetGadgetText(GadgetFloppyImagePath, u"/srv/images/boot.img");
  SetGadgetState(GadgetFloppyFormat, 1);
  SetGadgetState(GadgetFloppySize, 3);
  SetGadgetText(GadgetFloppyLabel, u"BOOT");
  NativeWindow(MainWindow)->close();
  RebuildMainWindow();
  EXPECT_EQ(GetGadgetState(GadgetFloppyFormat), 1);
  EXPECT_EQ(GetGadgetState(GadgetFloppySize), 3);
  EXPECT_EQ(GadgetText(GadgetFloppyLabel), u"BOOT");
  EXPECT_EQ(GadgetText(GadgetSourcePath), Wide(source));
  EXPECT_EQ(GadgetText(GadgetIsoImagePath), u"/srv/images/photos.iso");
  EXPECT_EQ(GadgetText(GadgetFloppyImagePath), u"/srv/images/boot.img");
  EXPECT_TRUE(PathExists(home_.home() + "/config/brevik/brevik.conf"));
}

// The volume identifier of the image's Joliet tree, its trailing blanks left out: the 32 bytes
// at offset 40 of the supplementary volume descriptor, UCS-2 big-endian.
std::u16string JolietVolumeId(const std::string& image) {
  const std::string bytes = ReadFile(image);
  for (size_t sector = 17; (sector + 1) * 2048 <= bytes.size() && sector < 32; ++sector) {
    const size_t at = sector * 2048;
    if (static_cast<uint8_t>(bytes[at]) != 2) continue;
    std::u16string id;
    for (size_t i = 40; i < 72; i += 2)
      id += static_cast<char16_t>(static_cast<uint8_t>(bytes[at + i]) << 8 |
                                  static_cast<uint8_t>(bytes[at + i + 1]));
    return id.substr(0, id.find_last_not_of(u' ') + 1);
  }
  return u"";
}

// The volume name field's note says what our hdiutil makes of a name that the image's trees
// cannot hold unchanged.
TEST_F(WorkflowTest, TheVolumeNameReachesTheImageAsTheNoteSays) {
  setenv("PATH", (std::string(HDIUTIL_FOLDER) + ":" + getenv("PATH")).c_str(), 1);
  const std::string source = home_.home() + "/Holiday";
  WriteTree(source, {{"a.txt", "a"}});
  QWidget* source_field = GadgetWidget(GadgetSourcePath);
  QTest::keyClick(source_field, Qt::Key_A, Qt::ControlModifier);
  QTest::keyClicks(source_field, QString::fromStdString(source));
  EXPECT_EQ(GadgetWidget(GadgetVolumeName)->property("placeholderText").toString(), "Holiday");
  // Upper case alone is no news.
  EXPECT_EQ(GadgetText(GadgetVolumeNote), u"");
  QWidget* volume = GadgetWidget(GadgetVolumeName);
  QTest::keyClicks(volume, "Sommer am Meer, 2024 ");
  QKeyEvent dash(QEvent::KeyPress, 0, Qt::NoModifier, QString(QChar(0x2014)));
  QApplication::sendEvent(volume, &dash);
  QTest::keyClicks(volume, " Tag 1 bis 14");
  EXPECT_EQ(GadgetText(GadgetVolumeNote),
            u"Stored as \"SOMMER_AM_MEER__2024___TAG_1_BIS\" in ISO 9660 and "
            u"\"Sommer am Meer, \" in Joliet");
  Press(GadgetCreateIso);
  const std::string image = home_.desktop() + "/output.iso";
  ASSERT_EQ(Status(), u"Finished... ISO saved to " + Wide(image));
  const std::optional<IsoImageContents> primary = ReadIsoImage(image, IsoTreeKind::RockRidge);
  ASSERT_TRUE(primary);
  EXPECT_EQ(primary->volume_id, "SOMMER_AM_MEER__2024___TAG_1_BIS");
  EXPECT_EQ(JolietVolumeId(image), u"Sommer am Meer,");
}

// At the default font the window's original controls are where they always were; the rows
// added below them grow the panel, and the status row keeps its place below the panel.
TEST_F(WorkflowTest, TheOriginalControlsKeepTheirPlaces) {
  const struct {
    int64_t gadget;
    QRect frame;
  } places[] = {
      {GadgetSourcePath, {120, 20, 370, 25}},
      {GadgetBrowse, {500, 20, 40, 25}},
      {GadgetCreateIso, {440, 60, 100, 25}},
      {GadgetCreateFloppy, {430, 60, 110, 25}},
  };
  for (const auto& place : places)
    EXPECT_EQ(GadgetWidget(place.gadget)->geometry(), place.frame) << place.gadget;
  const QRect panel = GadgetWidget(GadgetTabs)->geometry();
  EXPECT_EQ(panel.topLeft(), QPoint(10, 10));
  EXPECT_EQ(panel.width(), 580);
  // With the bar hidden, the status has the whole row.
  EXPECT_EQ(GadgetWidget(GadgetStatus)->geometry(), QRect(20, panel.bottom() + 1 + 10, 560, 25));
}

}  // namespace

namespace {

// Each size the floppy tab offers, formatted FAT12 with a label: a clean file system that the
// DOS tools read and write.
TEST_F(WorkflowTest, FormattedFloppiesOfEverySizeAreCleanAndWritable) {
  const StringVariable formatter = SystemToolPath(u"mkfs.fat");
  if (*formatter.Get() == u'\0' || !HasProgram("mdir")) {
    GTEST_SKIP() << "dosfstools and mtools are not installed";
  }
  WriteFile(home_.home() + "/note.txt", "hello");
  for (int64_t kilobytes : {1440, 720, 1200, 2880}) {
    SCOPED_TRACE(kilobytes);
    const std::string image = home_.desktop() + "/disk.img";
    ASSERT_EQ(
        MakeFloppyImage(kilobytes, 1024, u"disk.img", Wide(home_.desktop()).c_str(), u"BREVIK"),
        ToolOutcome::Succeeded);
    EXPECT_EQ(std::filesystem::file_size(image), static_cast<uintmax_t>(kilobytes) * 1024);
    std::string output;
    EXPECT_EQ(RunProgram({"/usr/sbin/fsck.fat", "-n", image}, output), 0) << output;
    EXPECT_EQ(RunProgram({"mdir", "-i", image, "::"}, output), 0) << output;
    EXPECT_NE(output.find("Volume in drive : is BREVIK"), std::string::npos) << output;
    EXPECT_NE(output.find("No files"), std::string::npos) << output;
    EXPECT_EQ(RunProgram({"mcopy", "-i", image, home_.home() + "/note.txt", "::/"}, output), 0)
        << output;
  }
}

}  // namespace

namespace {

// The floppy tab as a user sets it: FAT12, 720 KB, a label typed in lower case.
TEST_F(WorkflowTest, TheFloppyTabMakesTheFormatAndSizeChosen) {
  if (!HasProgram("mdir") ||
      GetGadgetItemAttribute(GadgetFloppyFormat, 1, ComboItemAttributeDisabled) != 0) {
    GTEST_SKIP() << "dosfstools and mtools are not installed";
  }
  EXPECT_FALSE(GadgetEnabled(GadgetFloppyLabel));
  auto* format = static_cast<QComboBox*>(GadgetWidget(GadgetFloppyFormat));
  QTest::keyClick(format, Qt::Key_Down);
  EXPECT_TRUE(GadgetEnabled(GadgetFloppyLabel));
  EXPECT_TRUE(GadgetText(FloppyDescription).find(u"FAT12") != std::u16string::npos);
  QTest::keyClick(GadgetWidget(GadgetFloppySize), Qt::Key_Down);
  QTest::keyClicks(GadgetWidget(GadgetFloppyLabel), "work disk 2");
  Press(GadgetCreateFloppy);
  const std::string image = home_.desktop() + "/Empty_Floppy.img";
  EXPECT_EQ(Status(), u"Finished... Floppy image saved to " + Wide(image));
  EXPECT_EQ(std::filesystem::file_size(image), 720u * 1024);
  std::string output;
  EXPECT_EQ(RunProgram({"mdir", "-i", image, "::"}, output), 0) << output;
  EXPECT_NE(output.find("Volume in drive : is WORK DISK 2"), std::string::npos) << output;
  // The label follows the format after the run too.
  EXPECT_TRUE(GadgetEnabled(GadgetFloppyLabel));
}

}  // namespace
