// The version, as project() in the top CMakeLists.txt gives it (BREVIK_VERSION): the one
// place that holds it. The window's title, --version and the test that the metainfo lists
// this release all take it from there.
#pragma once

#ifndef BREVIK_VERSION
#error "BREVIK_VERSION comes from the build (app/CMakeLists.txt)"
#endif

inline constexpr char BrevikVersion[] = BREVIK_VERSION;
// "Brevik V" + the version.
inline constexpr char16_t MainWindowTitle[] = u"Brevik V" BREVIK_VERSION;
