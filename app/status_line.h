// The status line below the tabs: each tab's own status, and the image it offers to show.
#pragma once

// Sets the status line and paints it at once, so that the user sees each step before the
// next one begins. The text is the front tab's status, shown again when the tab comes back
// to the front; with an image, that status offers to show it in its folder.
void ShowStatus(const char16_t* text, const char16_t* image = u"");
// Shows the status of the tab now in front; empty when it has none.
void ShowFrontTabStatus();
// Clears the front tab's status once its run has ended: what a run or a refused start said
// (saved, failed, cancelled, a folder not found) is put away when the user edits a field of
// the tab. A run's progress stays.
void ClearEndedStatus();
// Both tabs without a status.
void ClearStatuses();
