// Where things are: the user's folders, the place a tab's image goes, and the tools that the
// workflows run.
#pragma once

#include <cstdint>

#include "runtime/string_stack.h"

// The path names an existing folder (links followed).
bool IsFolder(const char16_t* path);
// The path exists and is not a folder.
bool IsExistingFile(const char16_t* path);

// The desktop's own Desktop and Documents folders, as the user has configured them.
StringVariable DesktopFolder();
StringVariable DocumentsFolder();

// The tool that travels with Brevik, for program_folder (ending in "/") as the folder that
// holds the running program: the one beside it (in the build), else the one in the
// installation's libexec/brevik folder, else the bare name, which the launcher looks for
// on PATH.
StringVariable BundledToolIn(const char16_t* program_folder, const char16_t* name);
// The same for the running program.
StringVariable BundledTool(const char16_t* name);

// A program of the system's own, by name: through the PATH, else in the folders of the
// administrator's tools, which a user's PATH often lacks. Empty when it is nowhere.
StringVariable SystemToolPath(const char16_t* name);

// folder + "/" + name.
StringVariable ImagePath(const char16_t* folder, const char16_t* name);

// Where an image goes, from the path in a tab's "Save as:" field: its folder and its name.
struct ImagePlace {
  StringVariable folder;
  StringVariable name;
  StringVariable path;  // folder + "/" + name
};
// The text after the last "/" of the field's path (blanks around it left out) is the name,
// default_name when there is none; a path without a folder lies in the Desktop folder.
ImagePlace ImagePlaceIn(int64_t field, const char16_t* default_name);

// "Folder " + folder + " not found".
StringVariable MissingFolderText(const char16_t* folder);
