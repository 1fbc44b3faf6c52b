#include "app/command_line.h"

#include <QByteArray>
#include <QDir>
#include <QUrl>
#include <cstdio>
#include <cstdlib>

#include "app/controls.h"
#include "app/main_window.h"
#include "app/places.h"
#include "app/status_line.h"
#include "app/version.h"
#include "gui/gadgets/gadgets.h"
#include "runtime/qstring_bridge.h"
#include "runtime/string_stack.h"

namespace {

// The working directory the program started in, as AnswerCommandLine noted it; empty when
// it could not be read.
QString StartFolder;
// FOLDER made absolute; empty when none was given.
QString KeptFolder;

void Write(FILE* stream, const QString& text) {
  const QByteArray bytes = text.toLocal8Bit();
  std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
}

// An answer that did not reach standard output (a full disk, a closed pipe) is a failure.
[[noreturn]] void Answer(const QString& text) {
  Write(stdout, text);
  const bool written = std::fflush(stdout) == 0 && std::ferror(stdout) == 0;
  std::exit(written ? 0 : 1);
}

[[noreturn]] void Misuse(const QString& complaint) {
  Write(stderr, "brevik: " + complaint + "\n" + UsageText());
  std::exit(2);
}

}  // namespace

CommandLine ParseCommandLine(const QStringList& arguments) {
  CommandLine line;
  bool options_ended = false;
  for (const QString& argument : arguments) {
    if (options_ended || argument == "-" || !argument.startsWith('-')) {
      line.operands << argument;
    } else if (argument == "--") {
      options_ended = true;
    } else if (argument == "--help" || argument == "-h") {
      if (line.ask == CommandLine::Ask::Window) line.ask = CommandLine::Ask::Help;
    } else if (argument == "--version") {
      if (line.ask == CommandLine::Ask::Window) line.ask = CommandLine::Ask::Version;
    } else {
      line.unknown_options << argument;
    }
  }
  return line;
}

QString FolderFromOperand(const QString& operand, const QString& start_folder) {
  QString path = operand;
  // What some file managers pass for %f all the same. A URI of another host names no
  // folder here; it stays as it was given, and is not found.
  if (operand.startsWith("file:/", Qt::CaseInsensitive)) {
    const QUrl uri(operand);
    const QString host = uri.host();
    if (!uri.isValid() || !(host.isEmpty() || host == "localhost")) return operand;
    path = uri.path(QUrl::FullyDecoded);
  }
  if (path.isEmpty()) return path;
  if (QDir::isRelativePath(path)) {
    if (start_folder.isEmpty()) return path;
    path = start_folder + "/" + path;
  }
  return QDir::cleanPath(path);
}

QString UsageText() {
  return QStringLiteral(
      "Usage: brevik [OPTION]... [FOLDER]\n"
      "Make an ISO image of a folder, or an empty floppy disk image, on your Desktop.\n"
      "\n"
      "The window opens with FOLDER as the source of the ISO image, or with your\n"
      "Documents folder when no FOLDER is given. A relative FOLDER is taken from the\n"
      "current directory; a file:// URI is taken as its path.\n"
      "\n"
      "  -h, --help     show this help and exit\n"
      "      --version  show the version and exit\n"
      "\n"
      "Qt's own options, such as -platform NAME and -style STYLE, are accepted too.\n");
}

QString VersionText() {
  return QStringLiteral("Brevik ") + BrevikVersion;
}

void AnswerCommandLine(int argc, char** argv) {
  StartFolder = QDir::currentPath();
  QStringList arguments;
  for (int i = 1; i < argc; ++i)
    arguments << QString::fromLocal8Bit(argv[i]);
  switch (ParseCommandLine(arguments).ask) {
    case CommandLine::Ask::Help:
      Answer(UsageText());
    case CommandLine::Ask::Version:
      Answer(VersionText() + "\n");
    case CommandLine::Ask::Window:
      break;
  }
}

void TakeCommandLineFolder(const QStringList& arguments) {
  const CommandLine line = ParseCommandLine(arguments.mid(1));
  if (!line.unknown_options.isEmpty()) {
    Misuse("unrecognized option '" + line.unknown_options.first() + "'");
  }
  if (line.operands.size() > 1) Misuse("extra operand '" + line.operands[1] + "'");
  KeptFolder =
      line.operands.isEmpty() ? QString() : FolderFromOperand(line.operands[0], StartFolder);
}

const QString& CommandLineFolder() {
  return KeptFolder;
}

bool PutCommandLineFolder() {
  if (KeptFolder.isEmpty()) return false;
  StringMark mark;
  QStringToStringStackResult(KeptFolder, mark.Offset());
  const StringVariable path = std::move(mark).Keep();
  SetGadgetText(GadgetSourcePath, path.Get());
  OnSourcePathChanged();
  // The same words as for a folder dropped on the field, or a missing one at "Create ISO".
  if (IsExistingFile(path.Get())) {
    ShowStatus(u"Only a folder can be made into an ISO.");
  } else if (!IsFolder(path.Get())) {
    ShowStatus(MissingFolderText(path.Get()).Get());
  }
  return true;
}
