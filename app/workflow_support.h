// What the two image workflows share: path checks, the status line and the tool's reason
// for a failure.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "runtime/string_stack.h"

// The path names an existing folder (links followed).
bool IsFolder(const char16_t* path);
// The path exists and is not a folder.
bool IsExistingFile(const char16_t* path);

// The launcher splits parameter texts at blanks, tabs and line feeds and knows no escape
// character: a path travels intact only between double quotes, and only when it holds
// neither a double quote nor a line feed.
bool CanQuoteForTool(const char16_t* path);
// What is said of a path that CanQuoteForTool refuses.
StringVariable UnquotablePathText(const char16_t* path);

// Appends each string at the top of the StringStack, in order.
void AppendStrings(std::initializer_list<const char16_t*> pieces);

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

// Sets the status line and paints it at once, so that the user sees each step before the
// next one begins.
void ShowStatus(const char16_t* text);

// "Folder " + folder + " not found" in a caution box titled "Error".
void ReportMissingFolder(const char16_t* folder);

// Shows the reason in a caution box titled "Error"; nothing when it is empty.
void ReportToolReason(const char16_t* reason);
