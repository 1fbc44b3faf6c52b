#include "gui/requesters/path_requester.h"

#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QStringList>

#include "gui/requesters/key_window_keeper.h"
#include "runtime/qstring_bridge.h"

namespace {

// The last confirmed multiple selection; NextChosenIndex is the position of the path that
// NextChosenFile gives out next. Empty when there is none.
QStringList ChosenList;
int32_t NextChosenIndex = 0;

bool HaveWidgetApplication() {
  return qobject_cast<QApplication*>(QCoreApplication::instance()) != nullptr;
}

// The desktop's own panel where the platform offers one, as users of that desktop expect;
// Qt's own on the offscreen platform, which has none and where the tests drive the panel.
void UseQtPanel(QFileDialog& panel) {
  if (QGuiApplication::platformName() == u"offscreen") {
    panel.setOption(QFileDialog::DontUseNativeDialog);
  }
}

// The paths of a confirmed panel, or none when it was cancelled.
QStringList RunForSelection(QFileDialog& panel, const char16_t* title,
                            const char16_t* initial_path) {
  if (!RunPathPanel(&panel, title, initial_path)) return {};
  return panel.selectedFiles();
}

// Symbolic links stand in for aliases here, and a chosen alias gives its target. A link
// whose target is gone keeps its own path.
QString ResolvedPath(const QString& path) {
  const QFileInfo info(path);
  if (!info.isSymLink()) return path;
  const QString target = info.canonicalFilePath();
  return target.isEmpty() ? path : target;
}

QStringList ResolvedPaths(const QStringList& paths) {
  QStringList resolved;
  resolved.reserve(paths.size());
  for (const QString& path : paths)
    resolved.append(ResolvedPath(path));
  return resolved;
}

// A path typed with several trailing slashes still ends in exactly one.
QString WithOneTrailingSlash(QString path) {
  while (path.endsWith(u'/'))
    path.chop(1);
  return path + u'/';
}

}  // namespace

InitialPath SplitInitialPath(const char16_t* path) {
  const QString whole = StringToQString(path);
  // Index 0 is never a split point, so a leading "/" stays part of the name.
  const qsizetype slash = whole.lastIndexOf(u'/');
  if (slash < 1) return {QString(), whole};
  return {whole.left(slash), whole.mid(slash + 1)};
}

bool RunPathPanel(QFileDialog* panel, const char16_t* title, const char16_t* initial_path) {
  const KeyWindowKeeper keeper;
  panel->setWindowTitle(StringToQString(title));
  panel->setOption(QFileDialog::ReadOnly, false);  // keeps the new-folder button
  const InitialPath start = SplitInitialPath(initial_path);
  if (!start.folder.isEmpty()) panel->setDirectory(start.folder);
  if (!start.name.isEmpty()) panel->selectFile(start.name);
  return panel->exec() == QDialog::Accepted;
}

char16_t* ChooseFolder(const char16_t* title, const char16_t* initial_path, int32_t,
                       StringResultPosition p) {
  if (!HaveWidgetApplication()) return SetEmptyStringResult(p);
  QFileDialog panel;
  UseQtPanel(panel);
  panel.setFileMode(QFileDialog::Directory);
  panel.setOption(QFileDialog::ShowDirsOnly);
  const QStringList chosen = RunForSelection(panel, title, initial_path);
  if (chosen.isEmpty()) return SetEmptyStringResult(p);
  return QStringToStringStackResult(WithOneTrailingSlash(ResolvedPath(chosen.first())), p);
}

char16_t* ChooseFolder(const char16_t* title, const char16_t* initial_path,
                       StringResultPosition p) {
  return ChooseFolder(title, initial_path, 0, p);
}

char16_t* ChooseFilesToOpen(const char16_t* title, const char16_t* initial_path, const char16_t*,
                            int32_t, int32_t flags, StringResultPosition p) {
  if (!HaveWidgetApplication()) return SetEmptyStringResult(p);
  const bool multiple = (flags & FilePanelMultiple) != 0;
  QFileDialog panel;
  UseQtPanel(panel);
  panel.setFileMode(multiple ? QFileDialog::ExistingFiles : QFileDialog::ExistingFile);
  const QStringList chosen = ResolvedPaths(RunForSelection(panel, title, initial_path));
  if (chosen.isEmpty()) return SetEmptyStringResult(p);
  // A single selection forgets a kept one as well: NextChosenFile must never hand out
  // files of an earlier selection.
  ChosenList = multiple ? chosen : QStringList();
  NextChosenIndex = 1;
  return QStringToStringStackResult(chosen.first(), p);
}

char16_t* ChooseFilesToOpen(const char16_t* title, const char16_t* initial_path,
                            const char16_t* pattern, int32_t pattern_position,
                            StringResultPosition p) {
  return ChooseFilesToOpen(title, initial_path, pattern, pattern_position, 0, p);
}

char16_t* NextChosenFile(StringResultPosition p) {
  if (NextChosenIndex < ChosenList.size())
    return QStringToStringStackResult(ChosenList[NextChosenIndex++], p);
  ChosenList.clear();
  return SetEmptyStringResult(p);
}

int64_t ChosenPatternIndex() {
  return 0;
}

char16_t* ChooseFileToSave(const char16_t* title, const char16_t* initial_path, const char16_t*,
                           int32_t, int32_t flags, StringResultPosition p) {
  if (!HaveWidgetApplication()) return SetEmptyStringResult(p);
  QFileDialog panel;
  UseQtPanel(panel);
  panel.setAcceptMode(QFileDialog::AcceptSave);
  panel.setFileMode(QFileDialog::AnyFile);
  panel.setOption(QFileDialog::DontConfirmOverwrite, (flags & SaveWithoutReplaceQuestion) != 0);
  const QStringList chosen = RunForSelection(panel, title, initial_path);
  if (chosen.isEmpty()) return SetEmptyStringResult(p);
  return QStringToStringStackResult(chosen.first(), p);
}

char16_t* ChooseFileToSave(const char16_t* title, const char16_t* initial_path,
                           const char16_t* pattern, int32_t pattern_position,
                           StringResultPosition p) {
  return ChooseFileToSave(title, initial_path, pattern, pattern_position, 0, p);
}
