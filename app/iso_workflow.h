// "Create ISO": an ISO 9660 + Joliet image of the chosen folder on the Desktop, made by
// the hdiutil tool.
#pragma once

#include <cstdint>

#include "app/tool_run.h"

// The "Create ISO" button's handler: starts a run, or cancels the run it started (the
// button reads "Cancel" meanwhile). Returns 0.
int64_t OnCreateIso();

// Runs "hdiutil makehybrid" on source into folder/name and waits for it, showing its
// progress. An empty folder means the Desktop, an empty name "output.iso". Both folders
// must exist, else the tool is not started.
ToolOutcome MakeIsoImage(const char16_t* source, const char16_t* folder, const char16_t* name);
