// File-system and environment queries: the size or kind of a path, the user's home folder,
// and the start-up steps that set the working directory and bring the process forward.
// Paths enter and leave as runtime strings (UTF-16) and reach the C library as UTF-8.
#pragma once

#include <cstdint>

#include "runtime/string_stack.h"

// QueryFileSize results besides a size (0 or more, in bytes).
inline constexpr int64_t FileSizeMissing = -1;  // null or empty path, or stat failed
inline constexpr int64_t FileSizeFolder = -2;

// Follows symbolic links: a link to a folder is a folder.
int64_t QueryFileSize(const char16_t* path);

// The user's home folder as an absolute path ending in "/", so that home + "Desktop" names
// a folder in it; the empty string when it cannot be found. From $HOME when that is an
// absolute path, else from the password database.
char16_t* UserHomeFolder(StringResultPosition p);

// The desktop's own Desktop and Documents folders, without a trailing "/": on Linux the
// XDG user folders (user-dirs.dirs), which may name folders that do not exist; elsewhere
// the home folder's Desktop and Documents. The empty string when there is no home folder.
char16_t* UserDesktopFolder(StringResultPosition p);
char16_t* UserDocumentsFolder(StringResultPosition p);

// The folder that holds the running program, ending in "/"; the empty string when it
// cannot be found.
char16_t* ProgramFolder(StringResultPosition p);

// Start-up step: the working directory becomes the folder that holds the running executable,
// so that relative paths resolve among the program's own files. Any failure leaves the
// working directory unchanged.
void EnterBundleContents();

// Start-up step: nothing to do on Linux, where the window manager decides which window is
// in front and raises a newly mapped window by itself; at this step no window exists yet
// anyway. Kept so that the start order stays the same on every system.
void BringProcessToFront();
