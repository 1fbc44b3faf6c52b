#include "gui/requesters/message_requester.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QIcon>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QStyle>
#include <QTextDocument>
#include <array>
#include <vector>

#include "gui/requesters/key_window_keeper.h"
#include "runtime/qstring_bridge.h"

namespace {

struct LanguageTitles {
  std::u16string_view language;
  MessageButtonTitles titles;
};

constexpr std::array<LanguageTitles, 4> TranslatedTitles = {{
    {u"fr", {u"Oui", u"Non", u"Annuler"}},
    {u"de", {u"Ja", u"Nein", u"Abbrechen"}},
    {u"it", {u"S\u00CC", u"NO", u"Annulla"}},
    {u"es", {u"S\u00ED", u"No", u"Cancelar"}},
}};
constexpr MessageButtonTitles EnglishTitles = {u"Yes", u"No", u"Cancel"};

struct AnswerButton {
  const QAbstractButton* button;
  int64_t answer;
};

// The language subtag of a tag: "de" of "de-CH". Qt separates with "-", POSIX locale
// names with "_".
QStringView LanguageSubtag(QStringView tag) {
  for (qsizetype i = 0; i < tag.size(); ++i) {
    if (tag[i] == u'-' || tag[i] == u'_') return tag.left(i);
  }
  return tag;
}

QStringView View(std::u16string_view text) {
  return QStringView(text.data(), static_cast<qsizetype>(text.size()));
}

void SetTexts(QMessageBox& box, const char16_t* title, const char16_t* text) {
  box.setTextFormat(Qt::PlainText);
  box.setText(StringToQString(title));
  // The title bar says what the box is about rather than the program's file name.
  box.setWindowTitle(StringToQString(title));
  const QString body = StringToQString(text);
  if (body.isEmpty()) return;
  // The body's label guesses its format and offers no setter, so a text that looks like
  // markup ("<name>" in a path) would lose characters; it goes in as markup of itself, with
  // its white space kept (two blanks in a path are not one) and long lines still wrapping.
  box.setInformativeText(QStringLiteral("<p style=\"white-space:pre-wrap\">") +
                         body.toHtmlEscaped() + QStringLiteral("</p>"));
}

QMessageBox::Icon IconFor(int32_t flags) {
  if ((flags & MessageCaution) != 0) return QMessageBox::Warning;
  if ((flags & MessageNote) != 0) return QMessageBox::Information;
  if ((flags & MessageStop) != 0) return QMessageBox::Critical;
  return QMessageBox::NoIcon;
}

void SetIcon(QMessageBox& box, int32_t flags) {
  const QMessageBox::Icon icon = IconFor(flags);
  if (icon != QMessageBox::NoIcon) {
    box.setIcon(icon);
    return;
  }
  // Without an icon flag the box is informational and shows the application's own icon,
  // when it has one.
  const QIcon application_icon = QApplication::windowIcon();
  if (application_icon.isNull()) return;
  const int size = box.style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, &box);
  box.setIconPixmap(application_icon.pixmap(size));
}

std::vector<AnswerButton> AddAnswerButtons(QMessageBox& box, int32_t flags,
                                           const QStringList& preferred_languages) {
  const MessageButtonTitles titles = MessageButtonTitlesFor(preferred_languages);
  QPushButton* yes = box.addButton(View(titles.yes).toString(), QMessageBox::YesRole);
  QPushButton* no = box.addButton(View(titles.no).toString(), QMessageBox::NoRole);
  box.setDefaultButton(yes);
  box.setEscapeButton(no);
  std::vector<AnswerButton> buttons = {{yes, AnswerYes}, {no, AnswerNo}};
  if ((flags & MessageYesNoCancel) == 0) return buttons;
  QPushButton* cancel = box.addButton(View(titles.cancel).toString(), QMessageBox::RejectRole);
  box.setEscapeButton(cancel);
  buttons.push_back({cancel, AnswerCancel});
  return buttons;
}

int64_t AnswerOf(const QMessageBox& box, const std::vector<AnswerButton>& buttons) {
  // A box ended from outside (done(), reject()) has no pressed button. Answering it like
  // Escape keeps "not No" from passing for consent, as in the overwrite question.
  const QAbstractButton* pressed =
      box.clickedButton() != nullptr ? box.clickedButton() : box.escapeButton();
  for (const AnswerButton& entry : buttons) {
    if (entry.button == pressed) return entry.answer;
  }
  return 0;
}

}  // namespace

MessageButtonTitles MessageButtonTitlesFor(const QStringList& preferred_languages) {
  if (preferred_languages.isEmpty()) return EnglishTitles;
  const QStringView language = LanguageSubtag(preferred_languages.first());
  for (const LanguageTitles& entry : TranslatedTitles) {
    if (language.compare(View(entry.language), Qt::CaseInsensitive) == 0) {
      return entry.titles;
    }
  }
  return EnglishTitles;
}

int64_t ShowMessageBox(const char16_t* title, const char16_t* text, int32_t flags) {
  return ShowMessageBox(title, text, flags, QLocale::system().uiLanguages());
}

int64_t ShowMessageBox(const char16_t* title, const char16_t* text, int32_t flags,
                       const QStringList& preferred_languages) {
  if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) return 0;
  const KeyWindowKeeper keeper;
  // Without a parent, exec() makes the box application-modal.
  QMessageBox box;
  SetTexts(box, title, text);
  SetIcon(box, flags);
  if ((flags & (MessageYesNo | MessageYesNoCancel)) == 0) {
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
    return 0;
  }
  const std::vector<AnswerButton> buttons = AddAnswerButtons(box, flags, preferred_languages);
  box.exec();
  return AnswerOf(box, buttons);
}

void DismissRequesters() {
  if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) return;
  // Innermost first: a requester opened from another one ends before its opener.
  while (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
    dialog->reject();
    if (QApplication::activeModalWidget() == dialog) break;
  }
}

void InitRequesters() {}
