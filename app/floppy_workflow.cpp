#include "app/floppy_workflow.h"

#include <cerrno>
#include <cstring>
#include <iterator>

#include "app/choices.h"
#include "app/controls.h"
#include "app/field_texts.h"
#include "app/image_run.h"
#include "app/places.h"
#include "app/status_line.h"
#include "app/tool_run.h"
#include "files/file_changes.h"
#include "gui/gadgets/combo_box_gadget.h"
#include "gui/gadgets/gadgets.h"
#include "gui/requesters/message_requester.h"
#include "runtime/string_stack.h"
#include "runtime/string_utils.h"
#include "runtime/text_conversion.h"

namespace {

// Every size counts blocks of this many bytes, as dd writes them.
constexpr int64_t kFloppyBlockSize = 1024;

struct FloppySize {
  const char16_t* title;
  int64_t kilobytes;  // blocks of kFloppyBlockSize
};

// The sizes of the standard drives, the usual one first.
constexpr FloppySize kFloppySizes[] = {
    {u"1.44 MB", 1440},
    {u"720 KB", 720},
    {u"1.2 MB", 1200},
    {u"2.88 MB", 2880},
};

// The format choice's items: the blank image, then this one.
constexpr int32_t kFat12Item = 1;
constexpr const char16_t* kFailed = u"ERROR: Failed to create floppy image";

// Why the finished image could not take its name, when that is why the last run failed.
StringVariable NamingFailure;

// dd words a failure as "dd: <what it did> '<file>': <reason>"; the file is our temporary
// one, so only the reason after the last ": " means anything to the user.
const char16_t* ReasonOnly(const char16_t* line) {
  const char16_t* reason = line;
  for (const char16_t* unit = line; *unit != u'\0'; ++unit) {
    if (unit[0] == u':' && unit[1] == u' ') reason = unit + 2;
  }
  return reason;
}

// A run that failed after dd succeeded has a reason of its own; dd's last line then holds
// only its statistics.
const char16_t* FailureReason(const char16_t* line) {
  if (NamingFailure.Get()[0] != u'\0') return NamingFailure.Get();
  return ReasonOnly(line);
}

// Keeps the reason why the image could not be given its name, errno telling it.
void KeepNamingFailure(const char16_t* image) {
  const int error = errno;
  StringMark mark;
  AppendStrings({u"Cannot save the image as ", image, u": "});
  Utf8ToStringStack(std::strerror(error), StringStackPosition);
  NamingFailure = mark.Finish();
}

StringVariable Operand(const char16_t* key, const char16_t* value) {
  StringMark mark;
  AppendStrings({key, value});
  return std::move(mark).Keep();
}

StringVariable NumberOperand(const char16_t* key, int64_t value) {
  StringMark mark;
  AppendString(key);
  IntegerToString(value, StringStackPosition);
  return std::move(mark).Keep();
}

// Lays a FAT12 file system over the zeros of the file; mkfs.fat takes the floppy's geometry
// from the file's size.
ToolOutcome FormatFat12(const char16_t* file, const char16_t* label) {
  const StringVariable formatter = SystemToolPath(u"mkfs.fat");
  if (*formatter.Get() == u'\0') return ToolOutcome::NotStarted;
  if (*label == u'\0') return RunTool(formatter.Get(), {u"-F", u"12", file}, nullptr);
  return RunTool(formatter.Get(), {u"-F", u"12", u"-n", label, file}, nullptr);
}

void CreateFloppy(const ImagePlace& place, const FloppySize& size, const char16_t* fat12_label) {
  if (!IsFolder(place.folder.Get())) {
    ReportMissingFolder(place.folder.Get());
    return ShowStatus(kFailed);
  }
  // Only quitting ends a floppy run early, and the program ends with it.
  RunImageWorkflow(
      place.path.Get(), RunKind::Floppy,
      [&] {
        return MakeFloppyImage(size.kilobytes, kFloppyBlockSize, place.name.Get(),
                               place.folder.Get(), fat12_label);
      },
      RunTexts{u"Finished... Floppy image saved to ", kFailed, kFailed, u"Floppy image created",
               u"Floppy image not created", &FailureReason});
}

bool Fat12Chosen() {
  return GetGadgetState(GadgetFloppyFormat) == kFat12Item;
}

}  // namespace

void OfferFloppyChoices() {
  AddGadgetItem(GadgetFloppyFormat, -1, u"Unformatted (blank)");
  AddGadgetItem(GadgetFloppyFormat, kFat12Item, u"FAT12 (DOS)");
  if (*SystemToolPath(u"mkfs.fat").Get() == u'\0') {
    SetGadgetItemAttribute(GadgetFloppyFormat, kFat12Item, ComboItemAttributeDisabled, 1);
    SetGadgetItemToolTip(GadgetFloppyFormat, kFat12Item,
                         u"Formatting needs mkfs.fat, from the dosfstools package, which is "
                         u"not installed");
  }
  SetGadgetState(GadgetFloppyFormat, 0);
  for (const FloppySize& size : kFloppySizes)
    AddGadgetItem(GadgetFloppySize, -1, size.title);
  SetGadgetState(GadgetFloppySize, 0);
}

void ShowFloppyFormat() {
  // A remembered choice that this system cannot make any more falls back to the blank image.
  if (Fat12Chosen() &&
      GetGadgetItemAttribute(GadgetFloppyFormat, kFat12Item, ComboItemAttributeDisabled) != 0) {
    SetGadgetState(GadgetFloppyFormat, 0);
  }
  const bool fat12 = Fat12Chosen();
  DisableGadget(GadgetFloppyLabel, fat12 ? 0 : 1);
  SetGadgetText(FloppyDescription,
                fat12 ? u"This will create a floppy disk image formatted FAT12 (DOS), empty and "
                        u"ready to hold files, for use with, for example, VirtualBox, VMWare etc"
                      : BlankFloppyDescription);
}

int64_t OnFloppyFormatChanged() {
  ShowFloppyFormat();
  return 0;
}

int64_t OnCreateFloppy() {
  if (ToolRunning()) return 0;
  const RunFocus focus(RunKind::Floppy);
  StoreChoices();
  const ImagePlace place = ImagePlaceIn(GadgetFloppyImagePath, DefaultFloppyImageName);
  const int64_t size_item = GetGadgetState(GadgetFloppySize);
  const FloppySize& size =
      kFloppySizes[size_item >= 0 && size_item < static_cast<int64_t>(std::size(kFloppySizes))
                       ? size_item
                       : 0];
  const StringVariable label = GadgetTextOf(GadgetFloppyLabel);
  DisableGadget(GadgetCreateFloppy, 1);
  CreateFloppy(place, size, Fat12Chosen() ? label.Get() : nullptr);
  // The run's end enabled every input; the label again follows the format.
  ShowFloppyFormat();
  DisableGadget(GadgetCreateFloppy, 0);
  return 0;
}

ToolOutcome MakeFloppyImage(int64_t count, int64_t block_size, const char16_t* name_text,
                            const char16_t* folder_text, const char16_t* fat12_label) {
  // Copied first: a caller's StringStack result would move as the command is built on it.
  StringVariable name(name_text);
  if (*name.Get() == u'\0') name = u"myfloppy.img";
  StringVariable folder(folder_text);
  if (*folder.Get() == u'\0') folder = DesktopFolder();
  if (!IsFolder(folder.Get())) return ToolOutcome::NotStarted;
  const StringVariable image = ImagePath(folder.Get(), name.Get());
  StringVariable temporary;
  {
    StringMark mark;
    CreateTemporaryFileBeside(image.Get(), mark.Offset());
    temporary = std::move(mark).Keep();
  }
  if (*temporary.Get() == u'\0') return ToolOutcome::NotStarted;

  // dd writes in place: it writes a file of its own, which replaces the image only once it
  // is complete, so that a full disk or a cancel never leaves a partial or lost image. Each
  // operand is one argument, so of=... takes the path whatever it holds.
  const StringVariable output = Operand(u"of=", temporary.Get());
  const StringVariable size = NumberOperand(u"bs=", block_size);
  const StringVariable blocks = NumberOperand(u"count=", count);
  NamingFailure = u"";
  ToolOutcome outcome =
      RunTool(u"dd", {u"if=/dev/zero", output.Get(), size.Get(), blocks.Get()}, nullptr);
  if (outcome == ToolOutcome::Succeeded && fat12_label != nullptr) {
    outcome = FormatFat12(temporary.Get(), fat12_label);
  }
  if (outcome == ToolOutcome::Succeeded && !ReplaceFile(temporary.Get(), image.Get())) {
    KeepNamingFailure(image.Get());
    outcome = ToolOutcome::Failed;
  }
  if (outcome != ToolOutcome::Succeeded) RemoveFile(temporary.Get());
  return outcome;
}
