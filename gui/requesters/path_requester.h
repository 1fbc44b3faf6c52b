// The path requesters: modal panels in which the user picks a folder, files to open or a
// file to save. Each writes its path as a StringStack result at p and returns its address;
// a cancelled panel gives the empty string. Null titles and paths read as "". Main thread
// only.
#pragma once

#include <QString>
#include <cstdint>

#include "runtime/string_stack.h"

class QFileDialog;

// ChooseFilesToOpen: several files may be chosen, and NextChosenFile gives out the rest.
inline constexpr int32_t FilePanelMultiple = 1;

// Where a panel starts: the folder it shows (empty for the panel's own choice) and the
// text of its name field.
struct InitialPath {
  QString folder;
  QString name;
};

// Splits path at its last "/", never looking at its first unit: the folder is what comes
// before the slash, the name what follows it ("" for a path ending in "/"). A path with no
// such slash, because it has none, is one unit long or has its only "/" in front, has no
// folder and is all name.
InitialPath SplitInitialPath(const char16_t* path);

// Gives the panel its title and the new-folder button, starts it as SplitInitialPath says
// and runs it modally; afterwards the window that was active before is active again. True
// when the user confirmed.
bool RunPathPanel(QFileDialog* panel, const char16_t* title, const char16_t* initial_path);

// A folder, ending in exactly one "/". A chosen symbolic link gives its target. Flags are
// accepted and ignored.
char16_t* ChooseFolder(const char16_t* title, const char16_t* initial_path, int32_t flags,
                       StringResultPosition p);
char16_t* ChooseFolder(const char16_t* title, const char16_t* initial_path, StringResultPosition p);

// The first chosen existing file; symbolic links give their targets. The panel shows all
// files: pattern and pattern_position are accepted and ignored. With FilePanelMultiple the
// whole confirmed selection is kept for NextChosenFile; any other confirmed selection
// forgets the kept one, and a cancelled panel leaves it as it was.
char16_t* ChooseFilesToOpen(const char16_t* title, const char16_t* initial_path,
                            const char16_t* pattern, int32_t pattern_position, int32_t flags,
                            StringResultPosition p);
char16_t* ChooseFilesToOpen(const char16_t* title, const char16_t* initial_path,
                            const char16_t* pattern, int32_t pattern_position,
                            StringResultPosition p);
// The next path of the kept selection after the one ChooseFilesToOpen returned; "" once
// they are all given out, which also forgets the selection.
char16_t* NextChosenFile(StringResultPosition p);
// The panels offer no patterns, so the chosen one is always the first. Part of the
// requesters' interface for their callers, though Brevik's own code has no use for it.
int64_t ChosenPatternIndex();

// ChooseFileToSave flag: an existing file is chosen without the question whether to replace
// it, for a caller that asks that question itself when it comes to writing.
inline constexpr int32_t SaveWithoutReplaceQuestion = 1;

// The path typed or chosen, unchanged. Choosing an existing file asks first whether to
// replace it, unless flags hold SaveWithoutReplaceQuestion. Pattern and pattern_position are
// accepted and ignored.
char16_t* ChooseFileToSave(const char16_t* title, const char16_t* initial_path,
                           const char16_t* pattern, int32_t pattern_position, int32_t flags,
                           StringResultPosition p);
char16_t* ChooseFileToSave(const char16_t* title, const char16_t* initial_path,
                           const char16_t* pattern, int32_t pattern_position,
                           StringResultPosition p);
