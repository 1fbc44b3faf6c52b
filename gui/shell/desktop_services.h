// What the desktop offers a program through the session bus: the file manager shows a file,
// the notification server tells that a job ended, the launcher's icon shows a job's progress.
//
// Every call returns at once; answers come later through the event loop. Without a session
// bus the calls do nothing and say nothing, but for ShowInFolder, which then opens the folder:
// the program works the same without a desktop.
// After the application object is made; main thread only.
#pragma once

#include <cstdint>

class QUrl;

// The id under which Brevik's desktop entry, icon and metainfo are installed, by which the
// desktop knows the program's notifications and taskbar entry as its own.
inline constexpr char16_t ApplicationId[] = u"org.brevik.Brevik";

// True when the program reaches a session bus.
bool HasSessionBus();

// Asks the file manager to show path, selected in its folder; a relative path is taken from
// the current folder. When no file manager answers, or there is no bus, the folder is opened
// through OpenFolderUrl instead. Null or "" does nothing.
void ShowInFolder(const char16_t* path);

// Opens a folder when no file manager shows the file itself; QDesktopServices::openUrl
// unless a test puts its own opener here. Returns false when nothing could open it.
extern bool (*OpenFolderUrl)(const QUrl& folder);

// Tells through a desktop notification that a job ended: summary is its title ("ISO image
// created"), body plain text (the image's path, or why it failed), shown as written. With an
// image_path that is not null or "", the notification has a "Show in folder" button that
// calls ShowInFolder(image_path). Only the latest notification is kept: the next one takes
// its place, so no button remains whose image Brevik no longer knows.
void NotifyJobEnded(const char16_t* summary, const char16_t* body, const char16_t* image_path);

// Asks for the user's attention to window number, as when a job ends while the user works
// elsewhere: the taskbar marks the window until it is activated. Nothing for the active
// window or a number without a window.
void AlertWindow(int64_t number);

// Shows fraction (0 nothing done ... 1 done) on Brevik's icon in the dock or taskbar.
// Values outside 0 ... 1 are taken as the nearest end, NaN as 0. A fraction in the whole
// percent last shown sends nothing, so a tool that reports often does not flood the bus.
void ShowTaskbarProgress(double fraction);
// Takes the progress off the icon; nothing when none is shown.
void HideTaskbarProgress();
