#include "app/main_window.h"

#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QCoreApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QStyle>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <memory>
#include <string>
#include <vector>

#include "app/app_test_support.h"
#include "app/controls.h"
#include "app/identity.h"
#include "app/lifecycle.h"
#include "app/status_line.h"
#include "app/version.h"
#include "gui/events/event_loop.h"
#include "gui/events/event_queue.h"
#include "gui/gadgets/gadgets.h"
#include "gui/windows/kz_window.h"
#include "gui/windows/windows.h"

namespace {

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RebuildMainWindow();
    Drain();
  }

  static void Drain() {
    while (WaitForEvent(0) != EvNone) {
    }
  }

  // Clears the field as a user would and types text into it.
  static void Type(const QString& text) {
    QWidget* field = GadgetWidget(GadgetSourcePath);
    QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(field, Qt::Key_Delete);
    QTest::keyClicks(field, text);
  }

  // Answers the next folder chooser with a folder, or cancels it for an empty one.
  static void AnswerChooser(const QString& folder, QString* started_at = nullptr) {
    QTimer::singleShot(50, [folder, started_at] {
      auto* chooser = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
      ASSERT_NE(chooser, nullptr);
      if (started_at != nullptr) *started_at = chooser->directory().absolutePath();
      if (folder.isEmpty()) {
        chooser->reject();
        return;
      }
      // As a user would: type the folder's path into the name field and confirm.
      auto* name = chooser->findChild<QLineEdit*>("fileNameEdit");
      ASSERT_NE(name, nullptr);
      name->setText(folder);
      static_cast<QDialog*>(chooser)->accept();
    });
  }

  ScratchHome home_;
};

TEST_F(MainWindowTest, StartsOnTheIsoTabWithTheDocumentsFolder) {
  KzWindow* window = NativeWindow(MainWindow);
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(window->windowTitle(), QString("Brevik V") + BrevikVersion);
  EXPECT_EQ(GadgetText(GadgetSourcePath),
            QString::fromStdString(home_.home() + "/Documents").toStdU16String());
  EXPECT_TRUE(GadgetEnabled(GadgetCreateIso));
  EXPECT_TRUE(GadgetEnabled(GadgetCreateFloppy));
  EXPECT_EQ(GadgetText(GadgetStatus), u"");
  EXPECT_EQ(GetGadgetState(GadgetTabs), 0);
  EXPECT_EQ(GadgetText(GadgetBrowse), u"...");
  EXPECT_EQ(QApplication::focusWidget(), GadgetWidget(GadgetSourcePath));
}

TEST_F(MainWindowTest, CreateIsoFollowsTheFieldKeystrokeByKeystroke) {
  const std::string folder = home_.home() + "/ab";
  MakeFolder(folder);
  Type(QString::fromStdString(home_.home() + "/a"));
  EXPECT_FALSE(GadgetEnabled(GadgetCreateIso));
  QTest::keyClick(GadgetWidget(GadgetSourcePath), Qt::Key_B);
  EXPECT_TRUE(GadgetEnabled(GadgetCreateIso));
  QTest::keyClick(GadgetWidget(GadgetSourcePath), Qt::Key_C);
  EXPECT_FALSE(GadgetEnabled(GadgetCreateIso));
  QTest::keyClick(GadgetWidget(GadgetSourcePath), Qt::Key_Backspace);
  EXPECT_TRUE(GadgetEnabled(GadgetCreateIso));
  // Surrounding blanks do not matter; blanks alone and a file do.
  QTest::keyClicks(GadgetWidget(GadgetSourcePath), "  ");
  EXPECT_TRUE(GadgetEnabled(GadgetCreateIso));
  Type("   ");
  EXPECT_FALSE(GadgetEnabled(GadgetCreateIso));
  WriteFile(home_.home() + "/file", "x");
  Type(QString::fromStdString(home_.home() + "/file"));
  EXPECT_FALSE(GadgetEnabled(GadgetCreateIso));
}

TEST_F(MainWindowTest, TheChooserStartsAtTheFieldsFolderAndItsChoiceIsJudgedAtOnce) {
  Type("nowhere");
  ASSERT_FALSE(GadgetEnabled(GadgetCreateIso));
  const std::string chosen = home_.home() + "/Documents";
  QString started_at;
  AnswerChooser(QString::fromStdString(chosen), &started_at);
  QTest::mouseClick(GadgetWidget(GadgetBrowse), Qt::LeftButton);
  EXPECT_EQ(started_at, QString::fromStdString(home_.home()));
  EXPECT_EQ(GadgetText(GadgetSourcePath), QString::fromStdString(chosen + "/").toStdU16String());
  EXPECT_TRUE(GadgetEnabled(GadgetCreateIso));

  AnswerChooser(QString(), &started_at);
  QTest::mouseClick(GadgetWidget(GadgetBrowse), Qt::LeftButton);
  EXPECT_EQ(started_at, QString::fromStdString(chosen));

  AnswerChooser(QString());
  QTest::mouseClick(GadgetWidget(GadgetBrowse), Qt::LeftButton);
  EXPECT_EQ(GadgetText(GadgetSourcePath), QString::fromStdString(chosen + "/").toStdU16String());
}

// The save dialog starts at the image's place, and choosing an existing file asks nothing
// there: the overwrite question comes once, when the image is made.
TEST_F(MainWindowTest, TheSaveDialogFillsTheFieldWithoutAQuestion) {
  const std::string existing = home_.home() + "/old.iso";
  WriteFile(existing, "old");
  QString started_at;
  AnswerChooser(QString::fromStdString(existing), &started_at);
  QTest::mouseClick(GadgetWidget(GadgetIsoImageBrowse), Qt::LeftButton);
  EXPECT_EQ(started_at, QString::fromStdString(home_.desktop()));
  EXPECT_EQ(GadgetText(GadgetIsoImagePath), QString::fromStdString(existing).toStdU16String());
}

// Sends a drag over target and drops it there, as Qt delivers a drop from another program.
// False when the drag was refused: the cursor said so and nothing was dropped.
bool DropOn(QWidget* target, const QMimeData& data) {
  const QPoint at(5, 5);
  QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(target, &enter);
  if (!enter.isAccepted()) return false;
  QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(target, &drop);
  return true;
}

std::unique_ptr<QMimeData> Files(const std::vector<std::string>& paths) {
  auto data = std::make_unique<QMimeData>();
  QList<QUrl> urls;
  for (const std::string& path : paths)
    urls << QUrl::fromLocalFile(QString::fromStdString(path));
  data->setUrls(urls);
  return data;
}

TEST_F(MainWindowTest, AFolderDroppedOnTheFieldOrTheTabFillsTheField) {
  const std::string folder = home_.home() + "/dropped";
  MakeFolder(folder);
  Type("nowhere");
  DropOn(GadgetWidget(GadgetSourcePath), *Files({folder}));
  EXPECT_EQ(GadgetText(GadgetSourcePath), QString::fromStdString(folder).toStdU16String());
  EXPECT_TRUE(GadgetEnabled(GadgetCreateIso));

  Type("nowhere");
  QWidget* iso_page = static_cast<QTabWidget*>(GadgetWidget(GadgetTabs))->widget(0);
  DropOn(iso_page, *Files({home_.home() + "/Documents"}));
  EXPECT_EQ(GadgetText(GadgetSourcePath),
            QString::fromStdString(home_.home() + "/Documents").toStdU16String());
  EXPECT_TRUE(GadgetEnabled(GadgetCreateIso));
}

TEST_F(MainWindowTest, AFolderOfAnyNameCanBeDropped) {
  for (const std::string name : {"My \"best\" photos", "line\nfeed", "tab\there"}) {
    const std::string folder = home_.home() + "/" + name;
    MakeFolder(folder);
    Type("nowhere");
    DropOn(GadgetWidget(GadgetSourcePath), *Files({folder}));
    EXPECT_EQ(GadgetText(GadgetSourcePath), QString::fromStdString(folder).toStdU16String());
    EXPECT_EQ(GadgetText(GadgetStatus), u"");
    EXPECT_TRUE(GadgetEnabled(GadgetCreateIso));
  }
}

TEST_F(MainWindowTest, AFolderDroppedOnTheFloppyTabBringsTheIsoTabWithIt) {
  auto* tabs = static_cast<QTabWidget*>(GadgetWidget(GadgetTabs));
  tabs->setCurrentIndex(FloppyTab);
  EXPECT_TRUE(DropOn(tabs->widget(FloppyTab), *Files({home_.home() + "/Documents"})));
  EXPECT_EQ(tabs->currentIndex(), IsoTab);
  EXPECT_EQ(GadgetText(GadgetSourcePath),
            QString::fromStdString(home_.home() + "/Documents").toStdU16String());
}

TEST_F(MainWindowTest, DragsAreRefusedWhileARunGoesOn) {
  auto* tabs = static_cast<QTabWidget*>(GadgetWidget(GadgetTabs));
  const std::unique_ptr<QMimeData> folder = Files({home_.home() + "/Documents"});
  for (RunKind kind : {RunKind::Iso, RunKind::Floppy}) {
    BeginRunControls(kind);
    EXPECT_FALSE(DropOn(GadgetWidget(GadgetSourcePath), *folder));
    EXPECT_FALSE(DropOn(tabs->widget(IsoTab), *folder));
    EXPECT_FALSE(DropOn(tabs->widget(FloppyTab), *folder));
    EndRunControls(kind);
  }
  EXPECT_TRUE(DropOn(GadgetWidget(GadgetSourcePath), *folder));
}

TEST_F(MainWindowTest, AnythingButOneFolderLeavesTheFieldAndSaysWhy) {
  WriteFile(home_.home() + "/file.txt", "x");
  MakeFolder(home_.home() + "/other");
  const std::u16string before = GadgetText(GadgetSourcePath);
  QWidget* field = GadgetWidget(GadgetSourcePath);
  DropOn(field, *Files({home_.home() + "/file.txt"}));
  EXPECT_EQ(GadgetText(GadgetStatus), u"Only a folder can be made into an ISO.");
  DropOn(field, *Files({home_.home() + "/Documents", home_.home() + "/other"}));
  EXPECT_EQ(GadgetText(GadgetStatus), u"Drop a single folder to make an ISO of it.");
  QMimeData text;
  text.setText("/tmp");
  DropOn(field, text);
  EXPECT_EQ(GadgetText(GadgetSourcePath), before);
}

TEST_F(MainWindowTest, SourceFolderFitsItsLabelAtLargerFonts) {
  const QFont usual = QApplication::font();
  QFont larger = usual;
  larger.setPointSizeF(usual.pointSizeF() * 1.25);
  QApplication::setFont(larger);
  RebuildMainWindow();
  QApplication::setFont(usual);
  QWidget* field = GadgetWidget(GadgetSourcePath);
  for (auto* label : field->parentWidget()->findChildren<QLabel*>()) {
    if (!label->text().startsWith("Source")) continue;
    EXPECT_EQ(label->text(), "Source Folder:");
    EXPECT_LE(label->geometry().right(), field->geometry().left());
  }
  EXPECT_EQ(field->geometry().right() + 1, Units(490));
}

// What of a widget's text does not fit inside it, as its font measures the text; empty when
// all of it fits. Fields are left out: a long path scrolls in its field, as in every field.
QString Overflow(QWidget* widget) {
  const QFontMetrics metrics = widget->fontMetrics();
  const QSize room = widget->contentsRect().size();
  if (auto* label = qobject_cast<QLabel*>(widget)) {
    if (label->text().isEmpty()) return {};
    // A shortened text carries the whole one as its tooltip.
    if (!label->toolTip().isEmpty() && label->text().remove(QChar(0x200B)) != label->toolTip()) {
      return "shortened: " + label->text();
    }
    const QRect needed = metrics.boundingRect(
        QRect(QPoint(), room), label->wordWrap() ? Qt::TextWordWrap : 0, label->text());
    if (needed.width() > room.width() || needed.height() > room.height()) return label->text();
    return {};
  }
  if (auto* button = qobject_cast<QPushButton*>(widget)) {
    const int margin = 2 * button->style()->pixelMetric(QStyle::PM_ButtonMargin);
    if (metrics.horizontalAdvance(button->text()) + margin > room.width() ||
        metrics.height() > room.height()) {
      return button->text();
    }
    return {};
  }
  if (auto* field = qobject_cast<QLineEdit*>(widget)) {
    return field->minimumSizeHint().height() > widget->height() ? "field too low" : QString();
  }
  if (auto* choice = qobject_cast<QComboBox*>(widget)) {
    return choice->sizeHint().width() > widget->width() ||
                   choice->minimumSizeHint().height() > widget->height()
               ? choice->currentText()
               : QString();
  }
  if (auto* tabs = qobject_cast<QTabBar*>(widget)) {
    // The bar shortens its tabs' titles when they need more room than it has.
    return tabs->sizeHint().width() > tabs->width() ? tabs->tabText(tabs->count() - 1) : QString();
  }
  return {};
}

// Every text of the window's visible widgets, at the window's font.
void ExpectEveryTextFits(const char* where) {
  QWidget* window = GadgetWidget(GadgetTabs)->window();
  for (QWidget* widget : window->findChildren<QWidget*>()) {
    if (!widget->isVisible()) continue;
    EXPECT_EQ(Overflow(widget).toStdString(), "")
        << where << ": " << widget->metaObject()->className();
    const QRect frame(widget->mapTo(window, QPoint()), widget->size());
    EXPECT_TRUE(window->rect().contains(frame))
        << where << ": " << widget->metaObject()->className() << " outside the window";
  }
}

// At the usual font and at 16 points, where the whole layout grows with the font, every text
// shows whole: on both tabs, with a volume name that needs its note, and in every status the
// window says.
TEST_F(MainWindowTest, EveryTextFitsAtTheUsualFontAndAtSixteenPoints) {
  const QFont usual = QApplication::font();
  QFont larger = usual;
  larger.setPointSizeF(16);
  const std::u16string desktop = QString::fromStdString(home_.desktop()).toStdU16String();
  const std::u16string image = desktop + u"/Brevik image of a long folder name.iso";
  const std::pair<std::u16string, std::u16string> statuses[] = {
      {u"Checking...", u""},
      {u"Starting...", u""},
      {u"Creating ISO... 100% of 999.9 GB", u""},
      {u"Finished... ISO saved to " + image, image},
      {u"Finished... Floppy image saved to " + desktop + u"/Empty_Floppy.img", u"x"},
      {u"ERROR: Failed to create ISO", u""},
      {u"ISO creation was cancelled", u""},
  };
  for (const QFont& font : {usual, larger}) {
    QApplication::setFont(font);
    RebuildMainWindow();
    SetGadgetText(GadgetVolumeName, u"Holiday Photos 2024");
    OnVolumeNameChanged();
    for (int32_t tab : {IsoTab, FloppyTab}) {
      SetGadgetState(GadgetTabs, tab);
      for (const auto& [status, shown_image] : statuses) {
        ShowStatus(status.c_str(), shown_image.c_str());
        ExpectEveryTextFits(QString::fromStdU16String(status).toUtf8().constData());
      }
    }
  }
  QApplication::setFont(usual);
}

// A status too long for its row wraps, after a slash where a path is too long for a line, and
// the row and the window grow for it; the next short status takes them back.
TEST_F(MainWindowTest, AStatusTooLongForItsRowWrapsAndTheRowGrows) {
  QWidget* window = GadgetWidget(GadgetTabs)->window();
  auto* status = static_cast<QLabel*>(GadgetWidget(GadgetStatus));
  const QRect row = status->geometry();
  const int window_height = window->height();
  EXPECT_EQ(row.width(), 560);
  const QString path = "/home/somebody/" + QString(30, u'x') + "/" + QString(60, u'y') + ".iso";
  ShowStatus((u"Finished... ISO saved to " + path.toStdU16String()).c_str());
  EXPECT_TRUE(status->toolTip().endsWith(path));
  EXPECT_TRUE(status->wordWrap());
  EXPECT_LE(status->minimumSizeHint().width(), status->width());
  EXPECT_GE(status->height(), status->heightForWidth(status->width()));
  EXPECT_EQ(window->height() - window_height, status->height() - row.height());
  ShowStatus(u"Checking...");
  EXPECT_EQ(status->geometry(), row);
  EXPECT_EQ(window->height(), window_height);
}

QString AccessibleName(int64_t gadget) {
  QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(GadgetWidget(gadget));
  return accessible != nullptr ? accessible->text(QAccessible::Name) : QString();
}

// The label that names a gadget. On Linux a choice box says its choice as its name, and
// screen readers say its label from this relation.
QString LabelledBy(int64_t gadget) {
  QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(GadgetWidget(gadget));
  for (const auto& [label, relation] : accessible->relations(QAccessible::Label)) {
    return label->text(QAccessible::Name);
  }
  return QString();
}

TEST_F(MainWindowTest, ScreenReadersHearWhatEachControlIs) {
  const std::pair<int64_t, QString> names[] = {
      {GadgetSourcePath, "Source Folder:"},
      {GadgetBrowse, "Choose source folder"},
      {GadgetVolumeName, "Volume name:"},
      {GadgetIsoImagePath, "Save as:"},
      {GadgetIsoImageBrowse, "Choose where to save the ISO image"},
      {GadgetFloppyLabel, "Label:"},
      {GadgetFloppyImagePath, "Save as:"},
      {GadgetFloppyImageBrowse, "Choose where to save the floppy image"},
      {GadgetProgress, "Progress"},
  };
  for (const auto& [gadget, name] : names) {
    EXPECT_EQ(AccessibleName(gadget), name) << gadget;
  }
  EXPECT_EQ(LabelledBy(GadgetFloppyFormat), "Format:");
  EXPECT_EQ(LabelledBy(GadgetFloppySize), "Size:");
  // Sighted users of the "..." buttons learn the same from a tooltip.
  for (int64_t button : {GadgetBrowse, GadgetIsoImageBrowse, GadgetFloppyImageBrowse}) {
    EXPECT_EQ(GadgetWidget(button)->toolTip(), AccessibleName(button)) << button;
  }
}

TEST_F(MainWindowTest, TheWindowShowsBrevikIcon) {
  const QIcon icon = NativeWindow(MainWindow)->windowIcon();
  ASSERT_FALSE(icon.isNull());
  const QImage ours = QIcon(BREVIK_ICON_FILE).pixmap(48).toImage();
  ASSERT_FALSE(ours.isNull());
  EXPECT_EQ(icon.pixmap(48).toImage(), ours);
}

// Taskbars on X11 match a window to its desktop entry by the window's class, which Qt takes
// from the application name.
TEST(ProgramIdentityTest, TheDesktopEntryNamesTheWindowClass) {
  QFile entry(BREVIK_DESKTOP_FILE);
  ASSERT_TRUE(entry.open(QIODevice::ReadOnly));
  const QStringList lines = QString::fromUtf8(entry.readAll()).split('\n');
  SetProgramIdentity();
  EXPECT_TRUE(lines.contains("StartupWMClass=" + QCoreApplication::applicationName()));
}

TEST_F(MainWindowTest, TheCloseButtonAsksTheLoopToEndAndTheWindowStays) {
  KzWindow* window = NativeWindow(MainWindow);
  window->close();
  EXPECT_TRUE(window->isVisible());
  RunMainLoop();
  EXPECT_EQ(LastEvent, EndRequestEvent);
}

TEST_F(MainWindowTest, CtrlQEndsTheLoopThroughTheQuitItem) {
  QTest::keyClick(GadgetWidget(GadgetSourcePath), Qt::Key_Q, Qt::ControlModifier);
  RunMainLoop();
  EXPECT_EQ(LastEvent, EvMenuItem);
  EXPECT_EQ(CurrentEventObject(), QuitMenuItem);
}

}  // namespace
