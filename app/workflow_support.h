// What the two image workflows share: path checks, the status line and the tool's reason
// for a failure.
#pragma once

#include <cstdint>

#include <functional>

#include "app/controls.h"
#include "app/tool_run.h"
#include "runtime/string_stack.h"

// The path names an existing folder (links followed).
bool IsFolder(const char16_t* path);
// The path exists and is not a folder.
bool IsExistingFile(const char16_t* path);

// A gadget's text, kept beyond the StringStack's next use; trimmed, without its leading and
// trailing blanks.
StringVariable GadgetTextOf(int64_t gadget);
StringVariable TrimmedGadgetText(int64_t gadget);
// The source field's text without its leading and trailing blanks.
StringVariable TrimmedSourcePath();

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

// What a workflow says of its run.
struct RunTexts {
  const char16_t* saved;      // before the image's path when the tool succeeded
  const char16_t* failed;     // when it failed or could not be started
  const char16_t* cancelled;  // when the user ended it
  // The summaries of the desktop's notification when the run ends while the user is away.
  const char16_t* created;
  const char16_t* not_created;
  // The part of the tool's own failure line that means something to the user.
  const char16_t* (*reason)(const char16_t* line);
};

// The part the two image workflows share: asks before replacing an existing image, says
// "Starting...", runs with the controls of a run of kind and says how it ended, with the
// tool's reason in a box after a failure. An answer No is a run that did not start, said
// with the cancelled text.
ToolOutcome RunImageWorkflow(const char16_t* image, RunKind kind,
                             const std::function<ToolOutcome()>& run, const RunTexts& texts);

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

// "Folder " + folder + " not found".
StringVariable MissingFolderText(const char16_t* folder);
// That text in a caution box titled "Error".
void ReportMissingFolder(const char16_t* folder);

// Shows the reason in a caution box titled "Error"; nothing when it is empty.
void ReportToolReason(const char16_t* reason);
