// hdiutil: makes hybrid ISO 9660 / Joliet images of folders (see command_line.h).
// Exit status: 0 done, 1 the image could not be made (one line on standard error),
// 2 the command line is not usable (the usage on standard error).
#include <signal.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "tools/command_line.h"
#include "tools/hdiutil_protocol.h"
#include "tools/hybrid_image.h"
#include "tools/image_file.h"

namespace {

// Progress on standard output: the image's size once it is laid out, "size: N bytes", before
// any of it is written; then one line per whole percent of the work after it, so that a
// caller reading lines sees it as it happens, and 100% once the image is in place. A step of
// a small image spans several percents; each still gets its line, so that a caller may count
// on every one from 1% to 100%.
class ConsoleProgress : public ProgressSink {
 public:
  void Started(uint64_t image_size) override {
    std::puts(SizeLine(image_size).c_str());
    std::fflush(stdout);
  }
  void Advanced(uint64_t done, uint64_t total) override {
    if (total == 0) return;
    int percent = static_cast<int>(done * 100 / total);
    if (percent <= reported_percent_) return;
    while (reported_percent_ < percent)
      std::puts(PercentLine(++reported_percent_).c_str());
    std::fflush(stdout);
  }
  void Warned(std::string_view text) override { std::puts(WarningLine(text).c_str()); }

 private:
  int reported_percent_ = 0;
};

bool IsFolder(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

int UsageError(const std::string& error) {
  std::fputs(UsageMessage(error).c_str(), stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  // A caller that stops reading the progress must not kill the run halfway, which would
  // leave the temporary image behind.
  signal(SIGPIPE, SIG_IGN);
  // Past a file size limit (ulimit -f) the write fails with EFBIG and the run says so,
  // instead of the process ending silently and leaving a named temporary file.
  signal(SIGXFSZ, SIG_IGN);
  RemoveTemporaryFileOnSignals();
  ParsedCommandLine command = ParseCommandLine(argc, argv);
  if (!command.options) return UsageError(command.error);
  const MakeHybridOptions& options = *command.options;
  if (!IsFolder(options.source)) return UsageError(options.source + " is not a folder");

  std::puts(std::string(StartLine).c_str());
  std::fflush(stdout);
  ConsoleProgress progress;
  Result result = MakeHybridImage(options, progress);
  if (!result.ok()) {
    std::fflush(stdout);
    std::fputs(FailureLine(result.failure()).c_str(), stderr);
    return 1;
  }
  std::puts(CreatedLine(options.output).c_str());
  return 0;
}
