// "Create ISO": an ISO 9660 + Joliet image of the chosen folder on the Desktop, made by
// the hdiutil tool.
#pragma once

#include <cstdint>

// The "Create ISO" button's handler. Returns 0.
int64_t OnCreateIso();

// Runs "hdiutil makehybrid" on source into folder/name and waits for it; true when the
// tool exited with status 0. An empty folder means the Desktop, an empty name
// "output.iso". Both folders must exist.
bool MakeIsoImage(const char16_t* source, const char16_t* folder, const char16_t* name);
