// The part of a run that the two image workflows share: the question before an image is
// replaced, the run with its controls, and how it ended, in the status line, in a box and,
// for a user at another window, from the desktop.
#pragma once

#include <functional>

#include "app/controls.h"
#include "app/tool_run.h"

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

// That text in a caution box titled "Error".
void ReportMissingFolder(const char16_t* folder);

// Shows the reason in a caution box titled "Error"; nothing when it is empty.
void ReportToolReason(const char16_t* reason);
