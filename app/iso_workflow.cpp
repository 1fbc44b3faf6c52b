#include "app/iso_workflow.h"

#include <chrono>
#include <string>
#include <vector>

#include "app/controls.h"
#include "app/tool_run.h"
#include "app/workflow_support.h"
#include "gui/gadgets/gadgets.h"
#include "gui/requesters/message_requester.h"
#include "runtime/string_stack.h"
#include "runtime/string_utils.h"

namespace {

constexpr const char16_t* kDefaultImageName = u"output.iso";

constexpr const char16_t* kCancelled = u"ISO creation was cancelled";
// What our hdiutil puts before the reason of a failed run, after its own name.
constexpr const char16_t* kFailurePrefix = u"makehybrid failed - ";

// Reports a folder that is missing and cancels.
void CancelForMissingFolder(const char16_t* folder) {
  ReportMissingFolder(folder);
  ShowStatus(kCancelled);
}

// The percent of a progress line such as "42%", or -1 for any other line.
int32_t ProgressPercent(const char16_t* line) {
  int32_t percent = 0;
  const char16_t* unit = line;
  for (; *unit >= u'0' && *unit <= u'9' && unit - line < 3; ++unit)
    percent = percent * 10 + (*unit - u'0');
  if (unit == line || unit[0] != u'%' || unit[1] != u'\0' || percent > 100) return -1;
  return percent;
}

// A quick tool prints its percents faster than anyone reads them, and each shown percent
// costs a paint; more than this many a second only cost.
constexpr std::chrono::milliseconds kProgressInterval{40};

// "Creating ISO... 42%" in the status line and the same on the bar. A percent that follows
// the last shown one too closely is left out, unless it is the end.
void ShowProgress(const char16_t* line) {
  static std::chrono::steady_clock::time_point last_shown;
  const int32_t percent = ProgressPercent(line);
  if (percent < 0 || percent == GetGadgetState(GadgetProgress)) return;
  const auto now = std::chrono::steady_clock::now();
  if (percent != 100 && percent != 0 && now - last_shown < kProgressInterval &&
      GetGadgetState(GadgetProgress) != 0) {
    return;
  }
  last_shown = now;
  SetGadgetState(GadgetProgress, percent);
  StringMark mark;
  AppendString(u"Creating ISO... ");
  IntegerToString(percent, StringStackPosition);
  AppendString(u"%");
  SetGadgetText(GadgetStatus, mark.Finish());
}

// What the tool warned of during the last run, without the "warning: " before each line.
std::vector<std::u16string> Warnings;
constexpr const char16_t* kWarningPrefix = u"warning: ";
// A box lists this many warnings at most, and then how many more there were.
constexpr size_t kWarningsShown = 20;

// A line of the tool's standard output: a percent, a warning, or something only said.
void TakeToolOutput(const char16_t* line) {
  if (const char16_t* warning = SkipPrefix(line, kWarningPrefix)) {
    Warnings.emplace_back(warning);
    return;
  }
  ShowProgress(line);
}

// A run that made its image but warned of something says what, once the status shows the
// image: the run has succeeded, and the warnings are what the image lacks.
void ReportWarnings() {
  if (Warnings.empty()) return;
  std::u16string text = u"The image was created, with these warnings:";
  for (size_t i = 0; i < Warnings.size() && i < kWarningsShown; ++i)
    text += u"\n" + Warnings[i];
  if (Warnings.size() > kWarningsShown) {
    StringMark mark;
    AppendString(u"\nand ");
    IntegerToString(static_cast<int64_t>(Warnings.size() - kWarningsShown), StringStackPosition);
    AppendString(u" more");
    text += mark.Finish();
  }
  ShowMessageBox(u"Finished with warnings", text.c_str(), MessageCaution);
}

const char16_t* WithoutFailurePrefix(const char16_t* reason) {
  const char16_t* rest = SkipPrefix(reason, kFailurePrefix);
  return rest == nullptr ? reason : rest;
}

// The folder as the tool is to receive it. A relative path that starts with "-" would read
// as one of its options; "./" before it names the same folder.
StringVariable SourceArgument(const char16_t* source) {
  if (source[0] != u'-') return StringVariable(source);
  StringMark mark;
  AppendStrings({u"./", source});
  return std::move(mark).Keep();
}

// Checks, asks and runs; the caller enables the button again whatever happens here.
void CreateIso(const char16_t* source, const char16_t* desktop) {
  if (!IsFolder(source)) return CancelForMissingFolder(source);
  if (!IsFolder(desktop)) return CancelForMissingFolder(desktop);
  StringVariable image = ImagePath(desktop, kDefaultImageName);
  const ToolOutcome outcome = RunImageWorkflow(
      image.Get(), RunKind::Iso, [&] { return MakeIsoImage(source, desktop, u""); },
      RunTexts{u"Finished... ISO saved to ", u"ERROR: Failed to create ISO", kCancelled,
               &WithoutFailurePrefix});
  if (outcome == ToolOutcome::Succeeded) ReportWarnings();
}

}  // namespace

int64_t OnCreateIso() {
  if (ToolRunning()) {
    CancelTool();
    return 0;
  }
  StringVariable source = TrimmedSourcePath();
  StringVariable desktop = DesktopFolder();
  DisableGadget(GadgetCreateIso, 1);
  ShowStatus(u"Checking...");
  CreateIso(source.Get(), desktop.Get());
  DisableGadget(GadgetCreateIso, 0);
  return 0;
}

ToolOutcome MakeIsoImage(const char16_t* source_text, const char16_t* folder_text,
                         const char16_t* name_text) {
  // Copied first: a caller's StringStack result would move as the command is built on it.
  const StringVariable source(source_text);
  StringVariable folder(folder_text);
  if (*folder.Get() == u'\0') folder = DesktopFolder();
  StringVariable name(name_text);
  if (*name.Get() == u'\0') name = kDefaultImageName;
  if (!IsFolder(source.Get()) || !IsFolder(folder.Get())) return ToolOutcome::NotStarted;
  const StringVariable image = ImagePath(folder.Get(), name.Get());
  const StringVariable source_argument = SourceArgument(source.Get());

  // -o takes the argument after it whatever it starts with. The user has been asked before
  // any replacement, so -ov lets the tool replace an existing image.
  Warnings.clear();
  return RunTool(
      BundledTool(u"hdiutil").Get(),
      {u"makehybrid", u"-o", image.Get(), source_argument.Get(), u"-iso", u"-joliet", u"-ov"},
      &TakeToolOutput);
}
