// The main window's controls by number, the application's own event, and the state of the
// controls while a tool runs. What the workflows need of the window, without the window.
#pragma once

#include <cstdint>

// The window and its gadgets, by number.
inline constexpr int64_t MainWindow = 0;
inline constexpr int64_t GadgetTabs = 0;
inline constexpr int64_t GadgetSourcePath = 1;
inline constexpr int64_t GadgetBrowse = 2;
inline constexpr int64_t GadgetCreateIso = 3;
inline constexpr int64_t GadgetCreateFloppy = 4;
inline constexpr int64_t GadgetStatus = 5;
inline constexpr int64_t GadgetProgress = 6;
// Where each tab's image goes: a field with its full path and a "..." button that chooses it.
inline constexpr int64_t GadgetIsoImagePath = 7;
inline constexpr int64_t GadgetIsoImageBrowse = 8;
inline constexpr int64_t GadgetFloppyImagePath = 9;
inline constexpr int64_t GadgetFloppyImageBrowse = 10;
// The ISO's volume name, and below it how the image's trees will store it.
inline constexpr int64_t GadgetVolumeName = 11;
inline constexpr int64_t GadgetVolumeNote = 12;
// The floppy's format and size, and the FAT volume label.
inline constexpr int64_t GadgetFloppyFormat = 13;
inline constexpr int64_t GadgetFloppySize = 14;
inline constexpr int64_t GadgetFloppyLabel = 15;
// At the right of the status row after a run that saved its image.
inline constexpr int64_t GadgetShowInFolder = 16;
// The floppy page's description of the image, a label without a number of its own: its
// handle, set when the window is built.
extern int64_t FloppyDescription;

// The gadgets that take a folder dragged from a file manager: the field, and the panel with
// both its pages.
inline constexpr int64_t FolderDropTargets[] = {GadgetSourcePath, GadgetTabs};

// A length of the window's layout at the user's font: as drawn at the usual font sizes, and
// larger in proportion to the height of a larger font.
int32_t Units(int32_t design);

// The status row says text, and offers "Show in folder" for image when that is not empty.
void ShowStatusRow(const char16_t* text, const char16_t* image = u"");
// Gives the status its room: the whole row, less what the bar or "Show in folder" takes,
// and as many lines as its text needs there.
void FitStatusRow();

// The tab items, in their order.
inline constexpr int32_t IsoTab = 0;
inline constexpr int32_t FloppyTab = 1;

// The item number of the main window's Escape key.
inline constexpr int32_t CancelMenuItem = 1;

// The application's own event kind that ends the main loop (posted by the main window's
// close handler).
inline constexpr int32_t EndRequestEvent = 0x10000;

// Which tool runs.
enum class RunKind { Iso, Floppy };

// The controls while a tool runs: everything that would start something else is disabled,
// the other tab included, and drags of folders are refused; during an ISO run "Create ISO"
// reads "Cancel" and stays enabled (though not for the second click of the double click
// that may have started the run), and the bar shows the progress from 0; during a floppy
// run the bar is busy.
void BeginRunControls(RunKind kind);
// Everything back as it was before the run, the bar hidden.
void EndRunControls(RunKind kind);
// Whether an ISO run is going on, which Escape may cancel.
bool IsoRunActive();

// The keyboard focus around a run of kind, from the press of its button ("Create ISO" or
// "Create Floppy") to the handler's end. When the focus is on the button or on a control
// that the run disables, it is on "Cancel" during an ISO run, and on the button again at the
// end, unless the user put it elsewhere meanwhile.
class RunFocus {
 public:
  explicit RunFocus(RunKind kind);
  ~RunFocus();
  RunFocus(const RunFocus&) = delete;
  RunFocus& operator=(const RunFocus&) = delete;

 private:
  int64_t button_;
};
