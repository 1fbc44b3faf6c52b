// Reuse of the C library's converters between charsets, for the whole program.
//
// libisofs converts each name it writes, into ASCII (by way of wchar_t) for the ISO 9660 tree
// and into UTF-16 for the Joliet tree, and opens and closes a converter for each conversion.
// Opening one costs the C library a charset look-up of thousands of instructions: for many
// small files, a third of the time libisofs takes to lay the image out, during which nothing
// else runs. converter_pool.cpp defines iconv_open and iconv_close in the C library's place
// (the dynamic linker finds a program's own definitions first, and exports them for that
// reason) and keeps a closed converter, reset, for the next opening of the same pair of
// charsets.
//
// The definitions are in force in every program that links converter_pool.cpp, which a
// program that calls the functions below does, whoever opens the converters.
#pragma once

#include <cstddef>

// How many closed converters are kept for reuse.
size_t IdleConverterCount();
// Closes the converters kept for reuse; a run calls it as it ends.
void CloseIdleConverters();
