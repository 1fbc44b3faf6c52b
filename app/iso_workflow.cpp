#include "app/iso_workflow.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/choices.h"
#include "app/controls.h"
#include "app/field_texts.h"
#include "app/image_run.h"
#include "app/places.h"
#include "app/status_line.h"
#include "app/tool_run.h"
#include "gui/gadgets/gadgets.h"
#include "gui/gadgets/progress_bar_gadget.h"
#include "gui/gadgets/string_gadget.h"
#include "gui/requesters/message_requester.h"
#include "gui/shell/desktop_services.h"
#include "runtime/string_stack.h"
#include "runtime/string_utils.h"
#include "tools/byte_size.h"
#include "tools/hdiutil_protocol.h"

namespace {

constexpr const char16_t* kCancelled = u"ISO creation was cancelled";

// Reports a folder that is missing and cancels.
void CancelForMissingFolder(const char16_t* folder) {
  ReportMissingFolder(folder);
  ShowStatus(kCancelled);
}

// The image's size as the tool said it during the run under way; none until it has, and
// none from a tool that does not say it (an older one, a stand-in).
std::optional<uint64_t> ImageSize;

// "Creating ISO... 42%" in the status line, followed by " of 3.2 GB" once the tool has said
// the image's size, and the percent on the bar, which was a busy bar until the first one.
// Every percent is shown: the tool says at most a hundred, and paints of the ones that come
// faster than the screen shows them are merged by Qt.
void ShowProgress(const char16_t* line) {
  const int32_t percent = PercentOfLine(line);
  if (percent < 0) return;
  SetGadgetAttribute(GadgetProgress, ProgressBarMaximum, 100);
  SetGadgetState(GadgetProgress, percent);
  ShowTaskbarProgress(percent / 100.0);
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
  ShowStatusRow(mark.Finish());
}

// What the tool warned of during the last run, without the "warning: " before each line.
std::vector<std::u16string> Warnings;
// A box lists this many warnings at most, and then how many more there were.
constexpr size_t kWarningsShown = 20;

// A line of the tool's standard output: a percent, the image's size, a warning, or something
// only said.
void TakeToolOutput(const char16_t* line) {
  if (const char16_t* warning = WarningOfLine(line)) {
    Warnings.emplace_back(warning);
    return;
  }
  if (const std::optional<uint64_t> size = ImageSizeOfLine(line)) {
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
  const char16_t* rest = FailureReasonOfLine(reason);
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

// The volume name field's text, as typed; empty when the tool is to name the volume itself.
StringVariable TypedVolumeName() {
  return GadgetTextOf(GadgetVolumeName);
}

// Checks, asks and runs; the caller enables the button again whatever happens here.
void CreateIso(const char16_t* source, const ImagePlace& place) {
  if (!IsFolder(source)) return CancelForMissingFolder(source);
  if (!IsFolder(place.folder.Get())) return CancelForMissingFolder(place.folder.Get());
  const StringVariable volume = TypedVolumeName();
  const ToolOutcome outcome = RunImageWorkflow(
      place.path.Get(), RunKind::Iso,
      [&] { return MakeIsoImage(source, place.folder.Get(), place.name.Get(), volume.Get()); },
      RunTexts{u"Finished... ISO saved to ", u"ERROR: Failed to create ISO", kCancelled,
               u"ISO image created", u"ISO image not created", &WithoutFailurePrefix});
  if (outcome == ToolOutcome::Succeeded) ReportWarnings();
}

// The last part of a folder's path, its trailing slashes left out.
std::u16string FolderName(std::u16string path) {
  while (path.size() > 1 && path.back() == u'/')
    path.pop_back();
  const size_t slash = path.rfind(u'/');
  return slash == std::u16string::npos ? path : path.substr(slash + 1);
}

// The unit with a-z raised to A-Z, as ISO 9660 names are.
char16_t Raised(char16_t unit) {
  return unit >= u'a' && unit <= u'z' ? static_cast<char16_t>(unit - u'a' + u'A') : unit;
}

// Code points of a name, each as its UTF-16 units.
std::vector<std::u16string> CodePoints(const std::u16string& name) {
  std::vector<std::u16string> points;
  for (size_t i = 0; i < name.size(); ++i) {
    const bool pair = name[i] >= 0xD800 && name[i] < 0xDC00 && i + 1 < name.size() &&
                      name[i + 1] >= 0xDC00 && name[i + 1] < 0xE000;
    points.push_back(name.substr(i, pair ? 2 : 1));
    if (pair) ++i;
  }
  return points;
}

}  // namespace

std::u16string IsoVolumeForm(const std::u16string& name) {
  std::u16string stored;
  for (const std::u16string& point : CodePoints(name)) {
    if (stored.size() == 32) break;
    const char16_t unit = point.size() == 1 ? Raised(point[0]) : u'_';
    const bool kept =
        (unit >= u'A' && unit <= u'Z') || (unit >= u'0' && unit <= u'9') || unit == u'_';
    stored += kept ? unit : u'_';
  }
  return stored;
}

std::u16string JolietVolumeForm(const std::u16string& name) {
  std::u16string stored;
  for (const std::u16string& point : CodePoints(name)) {
    if (stored.size() == 16) break;
    stored += point.size() == 1 ? point[0] : u'_';
  }
  return stored;
}

void ShowVolumeName() {
  const std::u16string folder_name = FolderName(TrimmedSourcePath().Get());
  SetGadgetPlaceholder(GadgetVolumeName, folder_name.c_str());
  const std::u16string typed = TypedVolumeName().Get();
  const std::u16string name = typed.empty() ? folder_name : typed;
  const std::u16string iso = IsoVolumeForm(name);
  const std::u16string joliet = JolietVolumeForm(name);
  // ISO 9660 raises every name to upper case, which is no news worth a note.
  std::u16string raised = name;
  for (char16_t& unit : raised)
    unit = Raised(unit);
  std::u16string note;
  if (iso != raised || joliet != name) {
    note = u"Stored as \"" + iso + u"\" in ISO 9660 and \"" + joliet + u"\" in Joliet";
  }
  SetGadgetText(GadgetVolumeNote, note.c_str());
}

int64_t OnCreateIso() {
  if (ToolRunning()) {
    CancelTool();
    return 0;
  }
  const RunFocus focus(RunKind::Iso);
  StoreChoices();
  StringVariable source = TrimmedSourcePath();
  const ImagePlace place = ImagePlaceIn(GadgetIsoImagePath, DefaultIsoImageName);
  DisableGadget(GadgetCreateIso, 1);
  ShowStatus(u"Checking...");
  CreateIso(source.Get(), place);
  DisableGadget(GadgetCreateIso, 0);
  return 0;
}

ToolOutcome MakeIsoImage(const char16_t* source_text, const char16_t* folder_text,
                         const char16_t* name_text, const char16_t* volume_text) {
  // Copied first: a caller's StringStack result would move as the command is built on it.
  const StringVariable source(source_text);
  StringVariable folder(folder_text);
  if (*folder.Get() == u'\0') folder = DesktopFolder();
  StringVariable name(name_text);
  if (*name.Get() == u'\0') name = DefaultIsoImageName;
  const StringVariable volume(volume_text);
  if (!IsFolder(source.Get()) || !IsFolder(folder.Get())) return ToolOutcome::NotStarted;
  const StringVariable image = ImagePath(folder.Get(), name.Get());
  const StringVariable source_argument = SourceArgument(source.Get());

  // -o takes the argument after it whatever it starts with. The user has been asked before
  // any replacement, so -ov lets the tool replace an existing image.
  Warnings.clear();
  ImageSize.reset();
  std::vector<const char16_t*> arguments = {
      u"makehybrid", u"-o", image.Get(), source_argument.Get(), u"-iso", u"-joliet", u"-ov"};
  if (*volume.Get() != u'\0')
    arguments.insert(arguments.end(), {u"-default-volume-name", volume.Get()});
  return RunTool(BundledTool(u"hdiutil").Get(), arguments, &TakeToolOutput);
}
