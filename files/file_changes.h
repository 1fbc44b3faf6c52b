// Changes to files that the workflows make themselves around a tool's run: a temporary file
// for the tool to write, moved over the real name only when the tool has succeeded.
// Paths are runtime strings (UTF-16).
#pragma once

#include "runtime/string_stack.h"

// Creates a new, empty file beside path (in the same folder, so that it can be renamed over
// path): hidden, named after path's last component, and unique. Its permissions are those
// of any new file (0666 less the umask). The new file's path, or the empty string when none
// could be created.
char16_t* CreateTemporaryFileBeside(const char16_t* path, StringResultPosition p);

// Renames from over to in one step, replacing a file at to, once from's data is on the disk;
// the folder's new entry is flushed after it. So a power cut leaves the old file or the whole
// new one, never a named file with data missing. True on success; otherwise false, with
// errno saying why.
bool ReplaceFile(const char16_t* from, const char16_t* to);

// Removes the file (not a folder). True on success.
bool RemoveFile(const char16_t* path);
