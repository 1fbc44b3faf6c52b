// The application's window: a panel with the tabs "ISO from Folder" and "Create Empty
// Floppy", a status line below it, and the handlers that are not workflows.
#pragma once

#include <cstdint>

#include "app/controls.h"

// Opens the window, lays out the controls, binds the handlers and sets the initial state.
// When the window cannot be opened nothing else is built. Returns 0.
int64_t BuildMainWindow();
// Empties the status line (of both tabs) and the source field, disables "Create ISO" and gives the
// field the focus.
int64_t ResetControls();

// Bound handlers; each returns 0.
int64_t OnBrowseFolder();
int64_t OnSourcePathChanged();
// The volume name field's edits: the note says how the image will store the name.
int64_t OnVolumeNameChanged();
// The edits of the other fields of a tab ("Save as:", "Label:"): an ended run's status goes.
int64_t OnTabFieldEdited();
// Another tab in front: the status line shows that tab's own status.
int64_t OnTabChanged();
// The "..." of each tab's "Save as:" row: the desktop's save dialog at the image's place.
int64_t OnChooseIsoImage();
int64_t OnChooseFloppyImage();
// The close button, the user's own quit: during a run it asks first.
int64_t OnMainWindowClose();
// "Show in folder": the file manager shows the image that the status names.
int64_t OnShowInFolder();
// A drop on the field or the ISO tab: one folder fills the field; anything else leaves it
// and says why in the status line.
int64_t OnFolderDropped();
// Escape: cancels an ISO run.
int64_t OnCancelKey();
// The quit command, however it came: cancels a run first; the main loop then ends. The
// user's quit (QuitByUser) asks first during a run, and an answer that keeps the run takes the
// quit event out of the queue.
int64_t OnQuitRequest();
