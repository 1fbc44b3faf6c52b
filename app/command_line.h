// The command line: brevik [OPTION]... [FOLDER]. --help and --version answer on standard
// output before anything starts; FOLDER takes the place of the Documents folder in the
// source field.
//
// Qt takes its own options (-platform NAME, -style STYLE, ...) out of the arguments when
// the application object is made, and only it knows them all. So the command line is read
// twice: before the start routines, for --help and --version and the working directory
// that a relative FOLDER is resolved against; after them, from what Qt left, for FOLDER and
// for options that nobody knows.
#pragma once

#include <QString>
#include <QStringList>

// The arguments after the program's name, sorted.
struct CommandLine {
  enum class Ask { Window, Help, Version };
  // The first of --help (or -h) and --version, if any; Window otherwise.
  Ask ask = Ask::Window;
  // Options that are neither of those nor Qt's, in their order.
  QStringList unknown_options;
  // Everything else: the arguments that are not options, and all after "--".
  QStringList operands;
};
CommandLine ParseCommandLine(const QStringList& arguments);

// The folder an operand names: a file:// URI becomes its local path; a relative path is
// made absolute against start_folder (when that is known) and cleaned of "." and "..".
QString FolderFromOperand(const QString& operand, const QString& start_folder);

// What --help and --version print.
QString UsageText();
QString VersionText();

// The first reading, before anything starts: notes the working directory; prints the
// usage or the version on standard output and exits 0 when asked for either (1 when
// standard output cannot take it).
void AnswerCommandLine(int argc, char** argv);
// The second reading, with the program's arguments as Qt left them (the program's name
// first): keeps FOLDER, made absolute against the working directory AnswerCommandLine
// noted. An unknown option or a second operand prints what is wrong and the usage on
// standard error and exits 2. An empty FOLDER names none.
void TakeCommandLineFolder(const QStringList& arguments);

// The folder kept from the command line; empty when none was given.
const QString& CommandLineFolder();

// When the command line named a folder: puts it into the source field and judges it as a
// typed one, saying in the status line why a path that is not a usable folder cannot be
// made into an ISO; returns true. Returns false, touching nothing, otherwise.
bool PutCommandLineFolder();
