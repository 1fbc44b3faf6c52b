// What a run through the window costs: the application images a folder as the user would
// have it do (the "Create ISO" handler, progress shown, window served) and, in alternating
// rounds, the same hdiutil command runs directly. Reported: click-to-done wall time of both
// and their ratio, and the application's own processor time (the tool's excluded) as a
// share of the run's wall time; medians with their range.
//
//   iso_run_bench [--size-mb N] [--rounds N]     (needs QT_QPA_PLATFORM, e.g. offscreen)
//
// hdiutil is the one this build made (build/bench/bin/hdiutil, beside the build's brevik); the
// application finds it on PATH, as this benchmark does not sit beside it.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "app/iso_workflow.h"
#include "app/lifecycle.h"
#include "app/main_window.h"
#include "gui/gadgets/gadgets.h"
#include "runtime/program_arguments.h"
#include "runtime/string_stack.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

double ProcessorSeconds() {
  rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void MakeFolder(const fs::path& folder, int size_mb) {
  fs::create_directories(folder);
  std::vector<char> block(1 << 20);
  std::mt19937_64 generator(42);
  for (char& byte : block)
    byte = static_cast<char>(generator());
  constexpr int kFileMb = 64;
  for (int file = 0; file * kFileMb < size_mb; ++file) {
    std::ofstream out(folder / ("file" + std::to_string(file) + ".bin"), std::ios::binary);
    for (int mb = 0; mb < kFileMb && file * kFileMb + mb < size_mb; ++mb) {
      block[0] = static_cast<char>(mb);
      block[1] = static_cast<char>(file);
      out.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
  }
}

// Each round starts with no image at the destination and no dirty pages of the last one.
void FreshDestination(const fs::path& image) {
  fs::remove(image);
  sync();
}

double RunDirectly(const std::string& hdiutil, const fs::path& source, const fs::path& image) {
  FreshDestination(image);
  const auto start = Clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    // The progress lines go nowhere, as cheap a reader as there is.
    int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    execl(hdiutil.c_str(), "hdiutil", "makehybrid", "-o", image.c_str(), source.c_str(), "-iso",
          "-joliet", "-ov", static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  const double wall = Seconds(Clock::now() - start);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) std::fprintf(stderr, "hdiutil failed\n");
  return wall;
}

struct AppRound {
  double wall;
  double processor;
};

AppRound RunThroughTheWindow(const fs::path& source, const fs::path& image) {
  FreshDestination(image);
  const std::u16string field = source.u16string();
  SetGadgetText(GadgetSourcePath, field.c_str());
  const double processor_before = ProcessorSeconds();
  const auto start = Clock::now();
  OnCreateIso();
  AppRound round{Seconds(Clock::now() - start), ProcessorSeconds() - processor_before};
  StringMark mark;
  const std::u16string status = GetGadgetText(GadgetStatus, mark.Offset());
  if (!status.starts_with(u"Finished")) std::fprintf(stderr, "the run through the window failed\n");
  return round;
}

struct Summary {
  double median, low, high;
};

Summary Summarise(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  const double median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
  return {median, values.front(), values.back()};
}

void Print(const char* what, Summary s, const char* unit) {
  std::printf("%-44s %8.3f %s  (range %.3f .. %.3f)\n", what, s.median, unit, s.low, s.high);
}

}  // namespace

int main(int argc, char** argv) {
  int size_mb = 1024;
  int rounds = 5;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--size-mb") == 0) size_mb = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::atoi(argv[i + 1]);
  }
  const std::string hdiutil = HDIUTIL_EXECUTABLE;
  char pattern[] = "/var/tmp/brevik-run-bench-XXXXXX";
  const fs::path scratch = mkdtemp(pattern);
  const fs::path home = scratch / "home";
  const fs::path source = scratch / "source";
  const fs::path image = home / "Desktop" / "output.iso";
  fs::create_directories(home / "Desktop");
  fs::create_directories(home / "Documents");
  MakeFolder(source, size_mb);
  setenv("HOME", home.c_str(), 1);
  setenv("PATH", (fs::path(hdiutil).parent_path().string() + ":" + getenv("PATH")).c_str(), 1);

  ProgramArgumentCount = argc;
  ProgramArgumentVector = argv;
  RunStartRoutines();
  BuildMainWindow();

  std::vector<double> direct, window, processor_share, ratio;
  // One round of each to warm the caches, then alternating rounds, the order flipping.
  RunDirectly(hdiutil, source, image);
  RunThroughTheWindow(source, image);
  for (int round = 0; round < rounds; ++round) {
    double d = 0;
    AppRound w{};
    if (round % 2 == 0) {
      d = RunDirectly(hdiutil, source, image);
      w = RunThroughTheWindow(source, image);
    } else {
      w = RunThroughTheWindow(source, image);
      d = RunDirectly(hdiutil, source, image);
    }
    direct.push_back(d);
    window.push_back(w.wall);
    ratio.push_back(w.wall / d);
    processor_share.push_back(100 * w.processor / w.wall);
  }
  std::printf("ISO of %d MB, %d alternating rounds, medians:\n", size_mb, rounds);
  Print("hdiutil run directly, wall", Summarise(direct), "s");
  Print("click to done through the window, wall", Summarise(window), "s");
  Print("window / direct", Summarise(ratio), "x");
  Print("application's processor time / wall time", Summarise(processor_share), "%");
  fs::remove_all(scratch);
  return 0;
}
