// The application's window: a panel with the tabs "ISO from Folder" and "Create Empty
// Floppy", a status line below it, and the handlers that are not workflows.
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

// The item number of the main window's Escape key.
inline constexpr int32_t CancelMenuItem = 1;

// Which tool runs.
enum class RunKind { Iso, Floppy };

// The controls while a tool runs: everything that would start something else is disabled,
// the other tab included; during an ISO run "Create ISO" reads "Cancel" and stays enabled,
// and the bar shows the progress from 0; during a floppy run the bar is busy.
void BeginRunControls(RunKind kind);
// Everything back as it was before the run, the bar hidden.
void EndRunControls(RunKind kind);

// Opens the window, lays out the controls, binds the handlers and sets the initial state.
// When the window cannot be opened nothing else is built. Returns 0.
int64_t BuildMainWindow();
// Empties the status line and the source field, disables "Create ISO" and gives the field
// the focus.
int64_t ResetControls();

// Bound handlers; each returns 0.
int64_t OnBrowseFolder();
int64_t OnSourcePathChanged();
int64_t OnMainWindowClose();
// A drop on the field or the ISO tab: one folder fills the field; anything else leaves it
// and says why in the status line.
int64_t OnFolderDropped();
// Escape: cancels an ISO run.
int64_t OnCancelKey();
// The quit command, however it came: cancels a run first; the main loop then ends.
int64_t OnQuitRequest();
