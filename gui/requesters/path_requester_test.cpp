#include "gui/requesters/path_requester.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QTemporaryDir>

#include "gui/requesters/requester_test_support.h"

namespace {

// Types typed into the panel's name field, unless it is null, and presses the button of
// the role, failing instead of hanging when it is disabled.
void Answer(QFileDialog* panel, QDialogButtonBox::ButtonRole role, const QString& typed) {
  if (!typed.isNull()) panel->findChild<QLineEdit*>("fileNameEdit")->setText(typed);
  auto* buttons = panel->findChild<QDialogButtonBox*>();
  for (QAbstractButton* button : buttons->buttons()) {
    if (buttons->buttonRole(button) == role && button->isEnabled()) {
      return QTest::mouseClick(button, Qt::LeftButton);
    }
  }
  ADD_FAILURE() << "no enabled button to press";
  panel->reject();
}

class PathRequesterTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { StartRequesterSystem(); }
  void SetUp() override {
    ASSERT_TRUE(QDir(root_.path()).mkpath("a/b"));
    for (const char* name : {"a/x.txt", "a/y.txt", "a/z.txt"}) {
      QFile file(Path(name));
      ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }
    ASSERT_TRUE(QFile::link(Path("a/b"), Path("link")));
    while (!Next().isEmpty()) {
    }
  }
  void TearDown() override {
    CloseWindow(AnyObject);
    SettleEvents();
  }

  QString Path(const QString& relative) const { return root_.path() + "/" + relative; }

  // Calls a requester with a result position above text of the caller's, checks that the
  // result went there by the StringStack's rules and returns it.
  template <typename Requester>
  QString Run(Requester requester) {
    const StringMark mark;
    AppendString(u"kept");
    const StringResultPosition p = StringStackPosition;
    const char16_t* result = requester(p);
    const QString text = QString::fromUtf16(result);
    EXPECT_EQ(result, StringStackAddressAt(p + 1));
    EXPECT_EQ(StringStackPosition, p + 2 * static_cast<uint64_t>(text.size()));
    EXPECT_EQ(QString::fromUtf16(StringStackAddressAt(mark.Offset() + 1)), "kept" + text);
    return text;
  }

  // Runs a requester started at the initial path (relative to the test folder), noting
  // where its panel started, and answers the panel.
  template <typename Requester>
  QString Answered(Requester requester, const QString& initial, bool confirm,
                   const QString& typed = QString()) {
    WhenModal([this, confirm, typed](QWidget* modal) {
      auto* panel = qobject_cast<QFileDialog*>(modal);
      seen_folder_ = panel->directory().absolutePath();
      seen_name_ = panel->findChild<QLineEdit*>("fileNameEdit")->text();
      Answer(panel, confirm ? QDialogButtonBox::AcceptRole : QDialogButtonBox::RejectRole, typed);
    });
    const std::u16string path = Path(initial).toStdU16String();
    return Run([&](StringResultPosition p) { return requester(path.c_str(), p); });
  }

  QString Folder(const QString& initial, bool confirm, const QString& typed = QString()) {
    const auto choose = [](const char16_t* path, StringResultPosition p) {
      return ChooseFolder(u"Select source folder", path, p);
    };
    return Answered(choose, initial, confirm, typed);
  }
  QString Files(int32_t flags, bool confirm, const QString& typed) {
    const auto choose = [flags](const char16_t* path, StringResultPosition p) {
      return ChooseFilesToOpen(u"Open", path, u"*.txt", 0, flags, p);
    };
    return Answered(choose, "a/", confirm, typed);
  }
  QString Next() {
    return Run([](StringResultPosition p) { return NextChosenFile(p); });
  }

  QTemporaryDir root_;
  QString seen_folder_;
  QString seen_name_;
};

TEST(SplitInitialPath, SplitsAtTheLastSlashButNeverAtTheFirstUnit) {
  const std::pair<const char16_t*, InitialPath> cases[] = {
      {nullptr, {"", ""}},
      {u"", {"", ""}},
      {u"/Volumes/Data/Projects/", {"/Volumes/Data/Projects", ""}},
      {u"/Volumes/Data/Projects", {"/Volumes/Data", "Projects"}},
      {u"P", {"", "P"}},
      {u"/", {"", "/"}},
      {u"/Volumes", {"", "/Volumes"}},
      {u"//", {"/", ""}},
      {u"a/b", {"a", "b"}},
  };
  for (const auto& [path, parts] : cases) {
    const InitialPath split = SplitInitialPath(path);
    EXPECT_EQ(split.folder, parts.folder) << QString::fromUtf16(path).toStdString();
    EXPECT_EQ(split.name, parts.name) << QString::fromUtf16(path).toStdString();
  }
}

TEST_F(PathRequesterTest, ChooseFolderStartsAtTheInitialPathAndEndsInOneSlash) {
  EXPECT_EQ(Folder("a/b", true), Path("a/b/"));
  EXPECT_EQ(seen_folder_, Path("a"));
  EXPECT_EQ(seen_name_, "b");
  EXPECT_EQ(Folder("a/b/", true), Path("a/b/"));
  EXPECT_EQ(seen_folder_, Path("a/b"));
  EXPECT_EQ(Folder("a/", true, "/"), "/");
  // A chosen link gives its target.
  EXPECT_EQ(Folder("link", true), QFileInfo(Path("a/b")).canonicalFilePath() + "/");
}

TEST_F(PathRequesterTest, CancellingGivesTheEmptyStringAndTheKeyWindowBack) {
  OpenKeyWindow();
  EXPECT_EQ(Folder("a/", false), "");
  SettleEvents();
  EXPECT_EQ(QApplication::activeWindow(), NativeWindow(0));
}

TEST_F(PathRequesterTest, NextChosenFileWalksTheRestOfAThreeFileSelection) {
  const QString three = "\"x.txt\" \"y.txt\" \"z.txt\"";
  EXPECT_EQ(Files(FilePanelMultiple, true, three), Path("a/x.txt"));
  EXPECT_EQ(Next(), Path("a/y.txt"));
  EXPECT_EQ(Files(FilePanelMultiple, false, three), "");  // keeps the selection
  EXPECT_EQ(Next(), Path("a/z.txt"));
  EXPECT_EQ(Next(), "");
  EXPECT_EQ(Next(), "");
  // A single choice forgets a kept selection too.
  Files(FilePanelMultiple, true, three);
  EXPECT_EQ(Files(0, true, "z.txt"), Path("a/z.txt"));
  EXPECT_EQ(Next(), "");
}

TEST_F(PathRequesterTest, ChooseFileToSaveGivesThePathUnchanged) {
  const auto choose = [](const char16_t* path, StringResultPosition p) {
    return ChooseFileToSave(u"Save", path, u"", 0, p);
  };
  EXPECT_EQ(Answered(choose, "a/new.iso", true), Path("a/new.iso"));
  EXPECT_EQ(seen_folder_, Path("a"));
  EXPECT_EQ(seen_name_, "new.iso");
}

}  // namespace
