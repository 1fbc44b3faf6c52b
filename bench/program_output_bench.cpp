// Reading a program's output line by line: 50 MB of 80-byte lines that `cat` copies from a
// file, read through ReadProgramOutputLine (UTF-8 to UTF-16 on the StringStack), against
// popen + getline reading the same from `cat`, and against splitting the same bytes at their
// line feeds where they already lie in memory: no pipe, no decoding, no copy, a true upper
// limit.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "process/program_launch.h"
#include "process/program_output.h"
#include "runtime/memory.h"
#include "runtime/string_stack.h"

namespace {

constexpr int64_t kFileBytes = 50 * 1000 * 1000;
constexpr int kLineBytes = 80;

// The input file, written once in a folder of its own and removed when the run ends.
class LineFile {
 public:
  LineFile() {
    char pattern[] = "/tmp/brevik-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) std::abort();
    folder_ = pattern;
    path_ = folder_ + "/lines.txt";
    std::string line(kLineBytes - 1, 'x');
    line.push_back('\n');
    std::ofstream file(path_, std::ios::binary);
    for (int64_t written = 0; written < kFileBytes; written += kLineBytes) {
      line[0] = static_cast<char>('a' + written / kLineBytes % 26);
      file << line;
    }
  }
  ~LineFile() { std::filesystem::remove_all(folder_); }

  const std::string& Path() const { return path_; }
  int64_t Bytes() const { return kFileBytes / kLineBytes * kLineBytes; }

 private:
  std::string folder_;
  std::string path_;
};

const LineFile& Input() {
  static const LineFile file;
  return file;
}

void StartRuntime() {
  static const bool started = [] {
    InitLocale();
    InitStringStack();
    InitProgramRunner();
    return true;
  }();
  benchmark::DoNotOptimize(started);
}

std::string CatCommand() {
  return "cat " + Input().Path();
}

void BM_ReadProgramOutputLine(benchmark::State& state) {
  StartRuntime();
  std::u16string path(Input().Path().begin(), Input().Path().end());
  for (auto _ : state) {
    auto* record = reinterpret_cast<ProgramRecord*>(
        LaunchProgram(u"cat", path.c_str(), u"", LaunchKeep | LaunchReadOutput));
    if (record == nullptr) {
      state.SkipWithError("cat could not be started");
      return;
    }
    int64_t lines = 0;
    for (;;) {
      StringMark mark;
      char16_t* line = ReadProgramOutputLine(record, mark.Offset());
      benchmark::DoNotOptimize(line);
      if (line[0] == u'\0') break;
      ++lines;
    }
    benchmark::DoNotOptimize(lines);
    ReleaseProgram(record);
  }
  state.SetBytesProcessed(state.iterations() * Input().Bytes());
}
BENCHMARK(BM_ReadProgramOutputLine)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SplitLinesInMemory(benchmark::State& state) {
  std::ifstream file(Input().Path(), std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  for (auto _ : state) {
    int64_t lines = 0;
    const char* end = bytes.data() + bytes.size();
    for (const char* at = bytes.data();
         (at = static_cast<const char*>(memchr(at, '\n', static_cast<size_t>(end - at)))); ++at) {
      ++lines;
    }
    benchmark::DoNotOptimize(lines);
  }
  state.SetBytesProcessed(state.iterations() * Input().Bytes());
}
BENCHMARK(BM_SplitLinesInMemory)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PopenGetline(benchmark::State& state) {
  char* line = nullptr;
  size_t capacity = 0;
  for (auto _ : state) {
    FILE* pipe = popen(CatCommand().c_str(), "r");
    int64_t lines = 0;
    while (getline(&line, &capacity, pipe) > 0) {
      benchmark::DoNotOptimize(line);
      ++lines;
    }
    benchmark::DoNotOptimize(lines);
    pclose(pipe);
  }
  free(line);
  state.SetBytesProcessed(state.iterations() * Input().Bytes());
}
BENCHMARK(BM_PopenGetline)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
