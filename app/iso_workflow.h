// "Create ISO": an ISO 9660 + Joliet image of the chosen folder on the Desktop, made by
// the hdiutil tool.
#pragma once

#include <cstdint>
#include <string>

#include "app/tool_run.h"

// The "Create ISO" button's handler: starts a run, or cancels the run it started (the
// button reads "Cancel" meanwhile). Returns 0.
int64_t OnCreateIso();

// Runs "hdiutil makehybrid" on source into folder/name and waits for it, showing its
// progress. An empty folder means the Desktop, an empty name "output.iso". Both folders
// must exist, else the tool is not started.
// A volume name, when given, names the image's volume; else the tool names it after the
// source folder.
ToolOutcome MakeIsoImage(const char16_t* source, const char16_t* folder, const char16_t* name,
                         const char16_t* volume_name = u"");

// The image's name when none is given.
inline constexpr const char16_t* DefaultIsoImageName = u"output.iso";

// How the image's trees store a volume name: ISO 9660 in at most 32 of the characters A-Z,
// 0-9 and "_" (lower case raised, any other character a "_"), Joliet in at most 16 characters
// of the Basic Multilingual Plane (any other a "_").
std::u16string IsoVolumeForm(const std::u16string& name);
std::u16string JolietVolumeForm(const std::u16string& name);

// The volume name field's placeholder, the source folder's name, and the note below the field
// that says how the image will store the name when its trees cannot hold it unchanged.
void ShowVolumeName();
