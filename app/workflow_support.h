// What the two image workflows share: path checks, running a tool's command text and
// pumping its output until it has ended.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "runtime/string_stack.h"

struct ProgramRecord;

// The path names an existing folder (links followed).
bool IsFolder(const char16_t* path);
// The path exists and is not a folder.
bool IsExistingFile(const char16_t* path);

// The launcher splits parameter texts at blanks, tabs and line feeds and knows no escape
// character: a path travels intact only between double quotes, and only when it holds
// neither a double quote nor a line feed.
bool CanQuoteForTool(const char16_t* path);

// Appends each string at the top of the StringStack, in order.
void AppendStrings(std::initializer_list<const char16_t*> pieces);

// home folder + name, e.g. the Desktop folder.
StringVariable HomeSubfolder(const char16_t* name);

// Drains the tool's standard output and standard error until it has ended, sleeping while
// it is silent.
void PumpProgram(ProgramRecord* record);

// Runs the tool with the parameter text, pumps it and tells whether it exited with status 0.
bool RunToolToCompletion(const char16_t* tool, const char16_t* parameters);
