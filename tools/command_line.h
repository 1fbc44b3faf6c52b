// The command line of `hdiutil makehybrid` and the texts the tool prints about it.
//
//   hdiutil makehybrid -o OUT SOURCE [-iso] [-joliet] [-default-volume-name NAME] [-ov]
//                      [-keep-symlinks]
//
// Options may come in any order after the command; -o and -default-volume-name take the
// argument that follows them.
#pragma once

#include <optional>
#include <string>
#include <string_view>

struct MakeHybridOptions {
  std::string output;       // the image file to write
  std::string source;       // the folder whose contents become the image's root
  std::string volume_name;  // -default-volume-name, else the last component of source
  bool joliet = false;      // add a Joliet tree beside the ISO 9660 / Rock Ridge one
  bool overwrite = false;   // -ov: an existing output file may be replaced
  // -keep-symlinks: symbolic links go into the Rock Ridge tree as links, and into the Joliet
  // tree not at all, rather than as what they lead to.
  bool keep_symlinks = false;
};

// Either options or the reason the command line is not usable.
struct ParsedCommandLine {
  std::optional<MakeHybridOptions> options;
  std::string error;
};

// argv[0] is the program's name. Checks only the words; whether source is a folder is
// the caller's to check.
ParsedCommandLine ParseCommandLine(int argc, const char* const* argv);

// The last component of the folder, trailing slashes ignored; "." and ".." name the folder
// they stand for.
std::string DefaultVolumeName(std::string_view source);

// The standard-error text for a usage error: the error, then the usage summary.
std::string UsageMessage(std::string_view error);
