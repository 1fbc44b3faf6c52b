#include "gui/requesters/message_requester.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QFontMetrics>
#include <QIcon>
#include <QLabel>
#include <QLocale>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QStyle>
#include <QTextDocument>
#include <array>
#include <vector>

#include "gui/requesters/key_window_keeper.h"
#include "gui/windows/windows.h"
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

// How many average characters of its font a box's text is wide at least: a path of the usual
// length then takes a line or two rather than four or five.
constexpr int kTextWidthInCharacters = 50;

// The body's label guesses its format and offers no setter, so a text that looks like markup
// ("<name>" in a path) would lose characters; it goes in as markup of itself, with its white
// space kept (two blanks in a path are not one) and long lines still wrapping.
QString EscapedParagraph(const QString& text) {
  return QStringLiteral("<p style=\"white-space:pre-wrap\">") + text.toHtmlEscaped() +
         QStringLiteral("</p>");
}

void SetTexts(QMessageBox& box, const char16_t* title, const char16_t* text,
              const char16_t* detail) {
  box.setTextFormat(Qt::PlainText);
  box.setText(StringToQString(title));
  // The title bar says what the box is about rather than the program's file name.
  box.setWindowTitle(StringToQString(title));
  QString body = StringToQString(text);
  const QString detail_text = StringToQString(detail);
  if (!detail_text.isEmpty()) body = body.isEmpty() ? detail_text : body + u'\n' + detail_text;
  if (body.isEmpty()) return;
  // The detail is part of the body, so that the user reads at once which file is meant.
  box.setInformativeText(EscapedParagraph(body));
}

void WidenTexts(QMessageBox& box) {
  for (auto* label : box.findChildren<QLabel*>()) {
    if (label->text().isEmpty() || !label->pixmap().isNull()) continue;
    // The font of a style sheet reaches the label only when it is polished.
    label->ensurePolished();
    label->setMinimumWidth(QFontMetrics(label->font()).averageCharWidth() * kTextWidthInCharacters);
  }
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

QString TitleOr(const char16_t* own, std::u16string_view language_title) {
  return own != nullptr ? StringToQString(own) : View(language_title).toString();
}

std::vector<AnswerButton> AddAnswerButtons(QMessageBox& box, int32_t flags,
                                           const MessageBoxOptions& options,
                                           const QStringList& preferred_languages) {
  const MessageButtonTitles titles = MessageButtonTitlesFor(preferred_languages);
  QPushButton* yes = box.addButton(TitleOr(options.yes, titles.yes), QMessageBox::YesRole);
  QPushButton* no = box.addButton(TitleOr(options.no, titles.no), QMessageBox::NoRole);
  box.setDefaultButton((flags & MessageDefaultNo) != 0 ? no : yes);
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
                       const MessageBoxOptions& options) {
  return ShowMessageBox(title, text, flags, options, QLocale::system().uiLanguages());
}

namespace {

// The active window; while the user is at another program, a window of this one that shows,
// so that the box does not stand alone on the desktop.
QWidget* BoxParent() {
  if (QWidget* active = QApplication::activeWindow()) return active;
  for (QWidget* window : QApplication::topLevelWidgets()) {
    if (window->isVisible() && WindowNumberOf(window) != -1) return window;
  }
  return nullptr;
}

}  // namespace

int64_t ShowMessageBox(const char16_t* title, const char16_t* text, int32_t flags,
                       const QStringList& preferred_languages) {
  return ShowMessageBox(title, text, flags, MessageBoxOptions{}, preferred_languages);
}

int64_t ShowMessageBox(const char16_t* title, const char16_t* text, int32_t flags,
                       const MessageBoxOptions& options, const QStringList& preferred_languages) {
  if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) return 0;
  const KeyWindowKeeper keeper;
  // A child of a window is transient for it: the desktop keeps it on top of that window. The
  // parent could be closed and deleted while the box is up, taking the box with it, so the
  // box lives on the heap and is looked after through a guard.
  QPointer<QMessageBox> box = new QMessageBox(BoxParent());
  box->setWindowModality(Qt::ApplicationModal);
  SetTexts(*box, title, text, options.detail);
  SetIcon(*box, flags);
  WidenTexts(*box);
  if ((flags & (MessageYesNo | MessageYesNoCancel)) == 0) {
    box->setStandardButtons(QMessageBox::Ok);
    box->exec();
    delete box;
    return 0;
  }
  const std::vector<AnswerButton> buttons =
      AddAnswerButtons(*box, flags, options, preferred_languages);
  box->exec();
  // A box deleted with its window had no answer, as one ended from outside.
  if (box.isNull()) return buttons[(flags & MessageYesNoCancel) != 0 ? 2 : 1].answer;
  const int64_t answer = AnswerOf(*box, buttons);
  delete box;
  return answer;
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
