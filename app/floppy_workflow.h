// "Create Floppy": an empty, unformatted 1.44 MB floppy image on the Desktop, written by dd
// from /dev/zero.
#pragma once

#include <cstdint>

#include "app/tool_run.h"

// The name of the handler's image until the user chooses another.
inline constexpr const char16_t* DefaultFloppyImageName = u"Empty_Floppy.img";

// The "Create Floppy" button's handler. Returns 0.
int64_t OnCreateFloppy();

// Runs dd for count blocks of block_size zero bytes into a temporary file beside
// folder/name and waits for it; the file replaces folder/name only when dd succeeded, and is
// removed otherwise. An empty name means "myfloppy.img", an empty folder the Desktop, which
// must exist, else dd is not started.
ToolOutcome MakeFloppyImage(int64_t count, int64_t block_size, const char16_t* name,
                            const char16_t* folder);
