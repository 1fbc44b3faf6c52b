#include "app/iso_workflow.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/controls.h"
#include "app/tool_run.h"
#include "app/workflow_support.h"
#include "gui/gadgets/gadgets.h"
#include "gui/requesters/message_requester.h"
#include "runtime/string_stack.h"
#include "runtime/string_utils.h"
#include "tools/byte_size.h"

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

// The image's size as the tool said it during the run under way; none until it has, and
// none from a tool that does not say it (an older one, a stand-in).
std::optional<uint64_t> ImageSize;

// The size of a size line such as "size: 3210987654 bytes", which our hdiutil prints once it
// has laid the image out; nullopt for any other line.
std::optional<uint64_t> SizeOfLine(const char16_t* line) {
  const char16_t* digits = SkipPrefix(line, u"size: ");
  if (digits == nullptr) return std::nullopt;
  // 19 digits at most, which cannot overflow.
  uint64_t size = 0;
  const char16_t* unit = digits;
  for (; *unit >= u'0' && *unit <= u'9' && unit - digits < 19; ++unit)
    size = size * 10 + static_cast<uint64_t>(*unit - u'0');
  if (unit == digits || std::u16string_view(unit) != u" bytes") return std::nullopt;
  return size;
}

// A quick tool prints its percents faster than anyone reads them, and each shown percent
// costs a paint; more than this many a second only cost.
constexpr std::chrono::milliseconds kProgressInterval{40};

// "Creating ISO... 42%" in the status line, followed by " of 3.2 GB" once the tool has said
// the image's size, and the percent on the bar. A percent that follows the last shown one too
// closely is left out, unless it is the end.
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
  if (ImageSize) {
    // Rounded as the tool words sizes; the text is ASCII.
    const std::string size = ByteSizeText(*ImageSize);
    AppendString(u" of ");
    AppendString(std::u16string(size.begin(), size.end()).c_str());
  }
  SetGadgetText(GadgetStatus, mark.Finish());
}

// What the tool warned of during the last run, without the "warning: " before each line.
std::vector<std::u16string> Warnings;
constexpr const char16_t* kWarningPrefix = u"warning: ";
// A box lists this many warnings at most, and then how many more there were.
constexpr size_t kWarningsShown = 20;

// A line of the tool's standard output: a percent, the image's size, a warning, or something
// only said.
void TakeToolOutput(const char16_t* line) {
  if (const char16_t* warning = SkipPrefix(line, kWarningPrefix)) {
    Warnings.emplace_back(warning);
    return;
  }
  if (const std::optional<uint64_t> size = SizeOfLine(line)) {
    ImageSize = size;
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

// Refuses a path that the tool would receive changed, and cancels.
bool RefuseUnquotablePath(const char16_t* path) {
  if (CanQuoteForTool(path)) return false;
  ShowMessageBox(u"Error", UnquotablePathText(path).Get(), MessageCaution);
  ShowStatus(kCancelled);
  return true;
}

// Checks, asks and runs; the caller enables the button again whatever happens here.
void CreateIso(const char16_t* source, const char16_t* desktop) {
  if (!IsFolder(source)) return CancelForMissingFolder(source);
  if (!IsFolder(desktop)) return CancelForMissingFolder(desktop);
  StringVariable image = ImagePath(desktop, kDefaultImageName);
  if (RefuseUnquotablePath(source) || RefuseUnquotablePath(image.Get())) return;
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
  StringVariable image = ImagePath(folder.Get(), name.Get());
  if (!CanQuoteForTool(image.Get()) || !CanQuoteForTool(source.Get())) {
    return ToolOutcome::NotStarted;
  }

  // Each path between quotes reaches the tool as one argument. The user has been asked
  // before any replacement, so -ov lets the tool replace an existing image.
  Warnings.clear();
  ImageSize.reset();
  StringMark mark;
  AppendStrings({u"makehybrid -o \"", image.Get(), u"\" \"", source.Get(), u"\" -iso -joliet -ov"});
  return RunTool(BundledTool(u"hdiutil").Get(), mark.Finish(), &TakeToolOutput);
}
