#include "gui/requesters/message_requester.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QFontMetrics>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTextDocument>

#include "gui/requesters/requester_test_support.h"

namespace {

QStringList TitlesFor(const QStringList& languages) {
  const MessageButtonTitles titles = MessageButtonTitlesFor(languages);
  QStringList list;
  for (std::u16string_view title : {titles.yes, titles.no, titles.cancel}) {
    list << QStringView(title.data(), static_cast<qsizetype>(title.size())).toString();
  }
  return list;
}

QAbstractButton* ButtonWithRole(QMessageBox* box, QMessageBox::ButtonRole role) {
  for (QAbstractButton* button : box->buttons()) {
    if (box->buttonRole(button) == role) return button;
  }
  return nullptr;
}

// What the user does to the box.
using Act = std::function<void(QMessageBox*)>;

Act Press(QMessageBox::ButtonRole role) {
  return [role](QMessageBox* box) { QTest::mouseClick(ButtonWithRole(box, role), Qt::LeftButton); };
}

// The key goes where the user's would: to the focus widget, or to the box while Qt has not
// activated it yet.
Act Key(Qt::Key key) {
  return [key](QMessageBox* box) {
    QTest::keyClick(box->focusWidget() != nullptr ? box->focusWidget() : box, key);
  };
}

const Act Yes = Press(QMessageBox::YesRole);
const Act No = Press(QMessageBox::NoRole);
const Act Cancel = Press(QMessageBox::RejectRole);
const Act Ok = Press(QMessageBox::AcceptRole);
const Act Return = Key(Qt::Key_Return);
const Act Escape = Key(Qt::Key_Escape);
const Act EndFromOutside = [](QMessageBox* box) { box->reject(); };

class MessageRequesterTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { StartRequesterSystem(); }
  void TearDown() override {
    CloseWindow(AnyObject);
    SettleEvents();
  }

  // Shows a box, notes what the user sees and answers it with act.
  int64_t Show(int32_t flags, Act act, const QStringList& languages = {"en-US"},
               const char16_t* title = u"File Exists", const char16_t* text = u"overwrite?",
               const MessageBoxOptions& options = {}) {
    WhenModal([this, act](QWidget* modal) {
      auto* box = qobject_cast<QMessageBox*>(modal);
      icon_ = box->icon();
      default_role_ = box->defaultButton() != nullptr ? box->buttonRole(box->defaultButton())
                                                      : QMessageBox::InvalidRole;
      parent_ = box->parentWidget();
      modality_ = box->windowModality();
      if (auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel"))) {
        body_width_ = label->width();
        body_font_ = label->font();
      }
      button_count_ = box->buttons().size();
      titles_.clear();
      for (auto role : {QMessageBox::YesRole, QMessageBox::NoRole, QMessageBox::RejectRole}) {
        if (QAbstractButton* button = ButtonWithRole(box, role)) titles_ << button->text();
      }
      headline_ = box->text();
      window_title_ = box->windowTitle();
      QTextDocument body;
      body.setHtml(box->informativeText());
      body_ = body.toPlainText();
      act(box);
    });
    return ShowMessageBox(title, text, flags, options, languages);
  }

  QMessageBox::Icon icon_ = QMessageBox::NoIcon;
  QMessageBox::ButtonRole default_role_ = QMessageBox::InvalidRole;
  QWidget* parent_ = nullptr;
  Qt::WindowModality modality_ = Qt::NonModal;
  int body_width_ = 0;
  QFont body_font_;
  QString window_title_;
  qsizetype button_count_ = 0;
  QStringList titles_;  // Yes, No, Cancel
  QString headline_;
  QString body_;  // as it reads on screen
};

TEST(MessageButtonTitlesFor, OnlyTheFirstLanguageCountsByItsLanguageSubtag) {
  const QStringList english = {"Yes", "No", "Cancel"};
  const QStringList german = {"Ja", "Nein", "Abbrechen"};
  EXPECT_EQ(TitlesFor({"de-CH"}), german);
  EXPECT_EQ(TitlesFor({"de_AT"}), german);
  EXPECT_EQ(TitlesFor({"pt-BR", "de"}), english);
  EXPECT_EQ(TitlesFor({"nl-NL", "fr-FR"}), english);
  EXPECT_EQ(TitlesFor({}), english);
  EXPECT_EQ(TitlesFor({"frr"}), english);  // North Frisian, not French
  EXPECT_EQ(TitlesFor({"fr-CA"}), QStringList({"Oui", "Non", "Annuler"}));
  EXPECT_EQ(TitlesFor({"it"}), QStringList({"S\u00CC", "NO", "Annulla"}));
  EXPECT_EQ(TitlesFor({"es-419"}), QStringList({"S\u00ED", "No", "Cancelar"}));
}

TEST_F(MessageRequesterTest, EachButtonKeyAndEndGivesItsAnswer) {
  const struct {
    int32_t flags;
    Act act;
    int64_t answer;
  } cases[] = {
      {0, Ok, 0},      {0, Return, 0},  {0, Escape, 0},
      {16, Ok, 0},     {17, Yes, 6},    {17, No, 7},
      {17, Return, 6}, {17, Escape, 7}, {17, EndFromOutside, 7},
      {2, Yes, 6},     {2, No, 7},      {2, Cancel, 2},
      {2, Escape, 2},  {3, Cancel, 2},  {3, Return, 6},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "case " << &c - cases);
    EXPECT_EQ(Show(c.flags, c.act), c.answer);
    const qsizetype buttons = (c.flags & MessageYesNoCancel) ? 3 : (c.flags & MessageYesNo) ? 2 : 0;
    EXPECT_EQ(button_count_, buttons == 0 ? 1 : buttons);
    EXPECT_EQ(titles_, QStringList({"Yes", "No", "Cancel"}).mid(0, buttons));
  }
}

TEST_F(MessageRequesterTest, CautionWinsOverNoteWhichWinsOverStop) {
  const std::pair<int32_t, QMessageBox::Icon> cases[] = {
      {0, QMessageBox::NoIcon},   {17, QMessageBox::Warning},     {20, QMessageBox::Warning},
      {28, QMessageBox::Warning}, {12, QMessageBox::Information}, {8, QMessageBox::Critical},
  };
  for (const auto& [flags, icon] : cases) {
    Show(flags, Return);
    EXPECT_EQ(icon_, icon) << "flags " << flags;
  }
}

TEST_F(MessageRequesterTest, ButtonTitlesFollowTheFirstPreferredLanguage) {
  Show(2, Cancel, {"de-CH", "en"});
  EXPECT_EQ(titles_, QStringList({"Ja", "Nein", "Abbrechen"}));
  Show(1, No, {"it-IT"});
  EXPECT_EQ(titles_, QStringList({"S\u00CC", "NO"}));
  Show(2, Cancel, {"pt-BR", "de"});
  EXPECT_EQ(titles_, QStringList({"Yes", "No", "Cancel"}));
}

TEST_F(MessageRequesterTest, TextsShowAsGivenAndNullAsEmpty) {
  Show(0, Ok, {}, nullptr, nullptr);
  EXPECT_EQ(headline_, "");
  EXPECT_EQ(body_, "");
  Show(16, Ok, {}, u"<b>Error</b>", u"Folder /tmp/<old> & R&D not found\nsecond line");
  EXPECT_EQ(headline_, "<b>Error</b>");
  EXPECT_EQ(window_title_, "<b>Error</b>");
  EXPECT_EQ(body_, "Folder /tmp/<old> & R&D not found\nsecond line");
  // Runs of blanks, leading blanks and tabs are part of a path, not layout.
  Show(16, Ok, {}, u"Error", u"  Folder /tmp/two  blanks\tand a tab not found");
  EXPECT_EQ(body_, "  Folder /tmp/two  blanks\tand a tab not found");
}

// The question before something is destroyed: it names what, No is what Return and Escape
// answer, and the box sits on the window it is about, wide enough for a path.
TEST_F(MessageRequesterTest, ADefaultNoQuestionNamesItsPathAndReturnAnswersNo) {
  OpenKeyWindow();
  const char16_t* path = u"/home/someone/Desktop/images for the archive/old-backups.iso";
  ASSERT_EQ(std::u16string_view(path).size(), 60u);
  const MessageBoxOptions options = {.detail = path};
  for (const Act& act : {Return, Escape}) {
    EXPECT_EQ(Show(MessageCaution | MessageYesNo | MessageDefaultNo, act, {"en-US"}, u"File Exists",
                   u"overwrite?", options),
              AnswerNo);
    EXPECT_EQ(default_role_, QMessageBox::NoRole);
    EXPECT_EQ(body_, QString::fromUtf16(u"overwrite?\n") + QString::fromUtf16(path));
    EXPECT_EQ(parent_, NativeWindow(0));
    EXPECT_EQ(modality_, Qt::ApplicationModal);
    // Two lines of the box's text take the whole path.
    EXPECT_GE(2 * body_width_,
              QFontMetrics(body_font_).horizontalAdvance(QString::fromUtf16(path)));
    SettleEvents();
    EXPECT_EQ(QApplication::activeWindow(), NativeWindow(0));
  }
}

// A style sheet's larger font widens the box as the system's font would.
TEST_F(MessageRequesterTest, TheBoxIsWideEnoughForAPathAtAStyleSheetsFont) {
  qApp->setStyleSheet(QStringLiteral("* { font-size: 20pt; }"));
  const char16_t* path = u"/home/someone/Desktop/images for the archive/old-backups.iso";
  Show(MessageYesNo, No, {"en-US"}, u"File Exists", u"overwrite?", {.detail = path});
  qApp->setStyleSheet(QString());
  EXPECT_GE(2 * body_width_, QFontMetrics(body_font_).horizontalAdvance(QString::fromUtf16(path)));
}

TEST_F(MessageRequesterTest, OwnButtonTitlesReplaceYesAndNo) {
  Show(MessageYesNo | MessageDefaultNo, Yes, {"de"}, u"Brevik", u"Quit?",
       {.yes = u"Stop and Quit", .no = u"Continue"});
  EXPECT_EQ(titles_, QStringList({"Stop and Quit", "Continue"}));
}

// A box that opens while the user is at another program still belongs to the program's
// window, which the desktop then keeps it with.
TEST_F(MessageRequesterTest, WithNoWindowActiveTheBoxBelongsToTheOpenWindow) {
  OpenKeyWindow();
  {
    QWidget elsewhere;
    elsewhere.show();
    elsewhere.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&elsewhere));
  }
  SettleEvents();
  ASSERT_EQ(QApplication::activeWindow(), nullptr);
  Show(0, Return);
  EXPECT_EQ(parent_, NativeWindow(0));
}

TEST_F(MessageRequesterTest, TheKeyWindowIsKeyAgainAfterTheBox) {
  OpenKeyWindow();
  Show(17, Yes);
  SettleEvents();
  EXPECT_EQ(QApplication::activeWindow(), NativeWindow(0));
}

}  // namespace
