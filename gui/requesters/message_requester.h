// The message requester: a modal box with a headline, a body text, an optional icon and one
// of three button sets, which answers with the button the user pressed. Main thread only.
#pragma once

#include <QStringList>
#include <cstdint>
#include <string_view>

// ShowMessageBox flags; several may be combined.
inline constexpr int32_t MessageYesNo = 1;
inline constexpr int32_t MessageYesNoCancel = 2;  // wins over MessageYesNo
// Icons, in this order of precedence when several are given: caution, note, stop.
inline constexpr int32_t MessageNote = 4;
inline constexpr int32_t MessageStop = 8;
inline constexpr int32_t MessageCaution = 16;
// No is the default button, answered by Return as well as Escape: for a question whose Yes
// destroys something.
inline constexpr int32_t MessageDefaultNo = 32;

// ShowMessageBox answers. A box without Yes and No answers 0, however it was closed.
inline constexpr int64_t AnswerYes = 6;
inline constexpr int64_t AnswerNo = 7;
inline constexpr int64_t AnswerCancel = 2;

struct MessageButtonTitles {
  std::u16string_view yes;
  std::u16string_view no;
  std::u16string_view cancel;
};

// The titles for the first of the user's preferred languages (BCP 47 tags, most preferred
// first): French, German, Italian and Spanish by the tag's language subtag, English for any
// other language and for an empty list. Later entries never count.
MessageButtonTitles MessageButtonTitlesFor(const QStringList& preferred_languages);

// What a box may have beyond its title, text and flags. Null members are left out.
struct MessageBoxOptions {
  // Below the text, in the same label: what the question is about, a path say.
  const char16_t* detail = nullptr;
  // Titles in place of the language's Yes and No, for a question whose answers say more.
  const char16_t* yes = nullptr;
  const char16_t* no = nullptr;
};

// Shows the box application-modal and waits for a button. Null title or text read as "".
// Without MessageYesNo or MessageYesNoCancel the box has a single OK button and answers 0;
// otherwise Yes (the default button, answered by Return), No and, with MessageYesNoCancel,
// Cancel, titled for the system's first preferred language. Escape and the title bar's
// close button answer Cancel when the box has it, else No. The box belongs to the active
// window, which desktops show by keeping it on top of that window; its text is wide enough
// for a path on a line or two. The window that was active before is active again afterwards.
// Answers 0 without a QApplication.
int64_t ShowMessageBox(const char16_t* title, const char16_t* text, int32_t flags = 0);
int64_t ShowMessageBox(const char16_t* title, const char16_t* text, int32_t flags,
                       const MessageBoxOptions& options);
// The same with the button titles chosen from preferred_languages instead of the system's.
int64_t ShowMessageBox(const char16_t* title, const char16_t* text, int32_t flags,
                       const QStringList& preferred_languages);
int64_t ShowMessageBox(const char16_t* title, const char16_t* text, int32_t flags,
                       const MessageBoxOptions& options, const QStringList& preferred_languages);

// Ends every requester that is up as Escape would: a question answers No (or Cancel where it
// has one), a chooser chooses nothing. For a program that was asked to quit, which must not
// wait for an answer nobody will give.
void DismissRequesters();

// Start-up step of the requesters, after InitMenus. The regular activation policy it stands
// for (a foreground application with its own menu and Dock icon) is what every Qt
// application already has, so it does nothing; it is kept so the start order stays visible.
void InitRequesters();
