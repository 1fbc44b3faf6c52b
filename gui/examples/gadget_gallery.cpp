// Gadget gallery: one window with a gadget of each kind, a panel and a label side by side in
// a splitter. The status line at the bottom names the last gadget event; the close button
// ends the program.
//
// Run with a file name as its only argument, it saves a picture of the window there (PNG)
// and ends instead of waiting for the user.
#include <QImage>
#include <QPixmap>
#include <QString>
#include <cstdint>
#include <string>

#include "gui/events/event_binding.h"
#include "gui/events/event_loop.h"
#include "gui/events/event_queue.h"
#include "gui/gadgets/button_gadget.h"
#include "gui/gadgets/gadgets.h"
#include "gui/gadgets/panel_gadget.h"
#include "gui/gadgets/splitter_gadget.h"
#include "gui/gadgets/string_gadget.h"
#include "gui/gadgets/text_gadget.h"
#include "gui/shell/application.h"
#include "gui/shell/menus.h"
#include "gui/windows/kz_window.h"
#include "gui/windows/windows.h"
#include "runtime/memory.h"
#include "runtime/object_table.h"
#include "runtime/program_arguments.h"
#include "runtime/string_stack.h"

namespace {

enum Gadget : int64_t {
  GadgetDefaultButton,
  GadgetToggle,
  GadgetName,
  GadgetNumber,
  GadgetPanel,
  GadgetPassword,
  GadgetNotes,
  GadgetSplitter,
  GadgetStatus,
};

constexpr int32_t EndRequest = EvCustomBase;

const char* SubtypeName(int64_t subtype) {
  switch (subtype) {
    case SubtypeAction:
      return "action";
    case SubtypeResize:
      return "resize";
    case SubtypeFocus:
      return "focus";
    case SubtypeLostFocus:
      return "lost focus";
    case SubtypeChange:
      return "change";
    default:
      return "other";
  }
}

int64_t ShowEvent() {
  const std::string line = "Gadget " + std::to_string(CurrentEventObject()) + ": " +
                           SubtypeName(CurrentEventSubtype()) + ", state " +
                           std::to_string(GetGadgetState(CurrentEventObject()));
  const std::u16string text(line.begin(), line.end());
  SetGadgetText(GadgetStatus, text.c_str());
  return 0;
}

int64_t RequestEnd() {
  PostUserEvent(EndRequest);
  return 0;
}

void StartRuntime(int argc, char** argv) {
  ProgramArgumentCount = argc;
  ProgramArgumentVector = argv;
  StartApplication();
  InitLocale();
  InitStringStack();
  InitEvents();
  InitWindows();
  InitMenus();
  InitGadgets();
}

void BuildPanel() {
  CreatePanelGadget(GadgetPanel, 0, 0, 10, 10);
  AddGadgetItem(GadgetPanel, -1, u"Fields");
  CreateTextGadget(AnyObject, 10, 12, 90, 25, u"Password:");
  CreateStringGadget(GadgetPassword, 100, 10, 150, 25, u"", StringFlagPassword);
  CreateTextGadget(AnyObject, 10, 50, 240, 60,
                   u"A label wraps its text when the text is longer than the label is wide.");
  AddGadgetItem(GadgetPanel, -1, u"Labels & borders");
  CreateTextGadget(AnyObject, 10, 10, 240, 25, u"Centred, with a border",
                   TextFlagCenter | TextFlagBorder);
  CreateTextGadget(AnyObject, 10, 45, 240, 25, u"Right-aligned", TextFlagRight);
  EndGadgetList();
}

void BuildGallery() {
  CreateButtonGadget(GadgetDefaultButton, 20, 20, 140, 25, u"Default (Return)", ButtonFlagDefault);
  CreateButtonGadget(GadgetToggle, 180, 18, 120, 30, u"Toggle", ButtonFlagToggle | ButtonFlagLeft);
  CreateStringGadget(GadgetName, 20, 60, 280, 25, u"upper case only", StringFlagUpperCase);
  CreateStringGadget(GadgetNumber, 320, 60, 120, 25, u"0042", StringFlagNumeric);
  SetGadgetAttribute(GadgetNumber, StringAttributeMaximumLength, 6);
  BuildPanel();
  CreateTextGadget(GadgetNotes, 0, 0, 10, 10,
                   u"Drag the divider: the panel keeps at least 200 points, this side at least "
                   u"100.");
  SetGadgetColor(GadgetNotes, ColorTypeBack, Qt::white);
  CreateSplitterGadget(GadgetSplitter, 20, 100, 520, 200, GadgetPanel, GadgetNotes,
                       SplitterFlagVertical | SplitterFlagKeepFirst);
  SetGadgetAttribute(GadgetSplitter, SplitterAttributeFirstMinimum, 200);
  SetGadgetAttribute(GadgetSplitter, SplitterAttributeSecondMinimum, 100);
  SetGadgetState(GadgetSplitter, 300);
  CreateTextGadget(GadgetStatus, 20, 315, 520, 25, u"", TextFlagBorder);
  for (int64_t gadget = GadgetDefaultButton; gadget < GadgetStatus; ++gadget)
    BindGadgetHandler(gadget, &ShowEvent);
  BindEventHandler(EvCloseRequest, &RequestEnd, 0);
  ActivateGadget(GadgetName);
}

bool EndsLoop(int64_t kind) {
  return kind == EndRequest || (kind == EvMenuItem && CurrentEventObject() == QuitMenuItem);
}

}  // namespace

int main(int argc, char** argv) {
  StartRuntime(argc, argv);
  if (OpenWindow(0, DefaultPosition, DefaultPosition, 560, 355, u"Gadget gallery") == 0) return 1;
  BuildGallery();
  if (argc == 2) {
    while (WaitForEvent(0) != EvNone) {
    }
    return NativeWindow(0)->grab().save(QString::fromLocal8Bit(argv[1])) ? 0 : 1;
  }
  while (!EndsLoop(WaitForEvent(-1))) {
  }
  return 0;
}
