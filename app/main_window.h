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
