#include "tools/command_line.h"

#include <filesystem>
#include <system_error>

namespace {

constexpr std::string_view UsageText =
    "usage: hdiutil makehybrid -o OUT SOURCE [-iso] [-joliet] [-default-volume-name NAME] "
    "[-ov]\n"
    "                          [-keep-symlinks]\n"
    "  -o OUT                      the image file to write\n"
    "  SOURCE                      the folder to make the image of\n"
    "  -iso                        ISO 9660 with Rock Ridge (always written)\n"
    "  -joliet                     add a Joliet tree\n"
    "  -default-volume-name NAME   the volume name (default: the folder's name)\n"
    "  -ov                         replace OUT if it exists\n"
    "  -keep-symlinks              store symbolic links as links (Rock Ridge only) rather\n"
    "                              than what they lead to\n";

ParsedCommandLine Reject(std::string error) {
  return {std::nullopt, std::move(error)};
}

}  // namespace

ParsedCommandLine ParseCommandLine(int argc, const char* const* argv) {
  if (argc < 2) return Reject("no command given");
  if (std::string_view(argv[1]) != "makehybrid") {
    return Reject("unknown command " + std::string(argv[1]));
  }
  MakeHybridOptions options;
  bool has_volume_name = false;
  for (int i = 2; i < argc; ++i) {
    std::string_view word = argv[i];
    bool takes_value = word == "-o" || word == "-default-volume-name";
    if (takes_value && i + 1 == argc) {
      return Reject("option " + std::string(word) + " needs a value");
    }
    if (word == "-o") {
      options.output = argv[++i];
    } else if (word == "-default-volume-name") {
      options.volume_name = argv[++i];
      has_volume_name = true;
    } else if (word == "-iso") {
      // ISO 9660 with Rock Ridge is always written.
    } else if (word == "-joliet") {
      options.joliet = true;
    } else if (word == "-ov") {
      options.overwrite = true;
    } else if (word == "-keep-symlinks") {
      options.keep_symlinks = true;
    } else if (word.starts_with('-')) {
      return Reject("unknown option " + std::string(word));
    } else if (!options.source.empty()) {
      return Reject("more than one source: " + std::string(word));
    } else {
      options.source = word;
    }
  }
  if (options.output.empty()) return Reject("no output file given (-o)");
  if (options.source.empty()) return Reject("no source folder given");
  if (!has_volume_name) options.volume_name = DefaultVolumeName(options.source);
  return {std::move(options), {}};
}

std::string DefaultVolumeName(std::string_view source) {
  std::error_code error;
  std::filesystem::path path = std::filesystem::absolute(source, error);
  if (error) path = source;
  // lexically_normal turns "a/b/." into "a/b/" and "a/b/.." into "a/"; the trailing
  // separator that leaves is dropped with parent_path.
  path = path.lexically_normal();
  if (!path.has_filename() && path.has_relative_path()) path = path.parent_path();
  return path.filename().string();
}

std::string UsageMessage(std::string_view error) {
  return "hdiutil: " + std::string(error) + "\n" + std::string(UsageText);
}
