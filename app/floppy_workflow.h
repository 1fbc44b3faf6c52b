// "Create Floppy": an empty, unformatted 1.44 MB floppy image on the Desktop, written by dd
// from /dev/zero.
#pragma once

#include <cstdint>

#include "app/tool_run.h"

// What the floppy page says of the blank image.
inline constexpr const char16_t* BlankFloppyDescription =
    u"This will create an empty, unformatted floppy disk image on your desktop, for use with, "
    u"for example, VirtualBox, VMWare etc";

// The name of the handler's image until the user chooses another.
inline constexpr const char16_t* DefaultFloppyImageName = u"Empty_Floppy.img";

// The floppy tab's choices: the formats, "Unformatted (blank)" first, and "FAT12 (DOS)",
// which is greyed out, with a tooltip that says why, where the system has no mkfs.fat; the
// sizes, 1.44 MB first. Both start at their first item.
void OfferFloppyChoices();
// The label field and the page's description follow the chosen format.
void ShowFloppyFormat();
// The format choice's handler. Returns 0.
int64_t OnFloppyFormatChanged();

// The "Create Floppy" button's handler. Returns 0.
int64_t OnCreateFloppy();

// Runs dd for count blocks of block_size zero bytes into a temporary file beside
// folder/name and waits for it; the file replaces folder/name only when dd succeeded, and is
// removed otherwise. An empty name means "myfloppy.img", an empty folder the Desktop, which
// must exist, else dd is not started.
// With a fat12_label the image is then formatted FAT12 by the system's mkfs.fat, before it
// gets its name, with that volume label (none when it is empty).
ToolOutcome MakeFloppyImage(int64_t count, int64_t block_size, const char16_t* name,
                            const char16_t* folder, const char16_t* fat12_label = nullptr);
