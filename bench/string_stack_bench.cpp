// The status line "Finished... ISO saved to " + folder + "/" + "output.iso", built on the
// StringStack against the same expression on std::u16string and on QString. Each peer keeps
// the folder in its own string type, as the application would.
#include <benchmark/benchmark.h>

#include <QString>
#include <string>

#include "runtime/string_stack.h"

namespace {

// 60 characters, a typical source folder.
constexpr char16_t kFolder[] = u"/home/brevik-user/Documents/Projects/disk-images/iso-sources";
static_assert(std::char_traits<char16_t>::length(kFolder) == 60);

void BM_StatusText_StringStack(benchmark::State& state) {
  InitStringStack();
  StringVariable folder(kFolder);
  for (auto _ : state) {
    StringMark mark;
    AppendString(u"Finished... ISO saved to ");
    AppendString(folder.Get());
    AppendString(u"/");
    AppendString(u"output.iso");
    benchmark::DoNotOptimize(mark.Finish());
  }
  FreeStringStack();
}
BENCHMARK(BM_StatusText_StringStack);

void BM_StatusText_U16String(benchmark::State& state) {
  const std::u16string folder(kFolder);
  for (auto _ : state) {
    std::u16string text = u"Finished... ISO saved to " + folder + u"/" + u"output.iso";
    benchmark::DoNotOptimize(text.data());
  }
}
BENCHMARK(BM_StatusText_U16String);

void BM_StatusText_QString(benchmark::State& state) {
  const QString folder = QString::fromUtf16(kFolder);
  for (auto _ : state) {
    QString text = QStringLiteral("Finished... ISO saved to ") + folder + QStringLiteral("/") +
                   QStringLiteral("output.iso");
    benchmark::DoNotOptimize(text.constData());
  }
}
BENCHMARK(BM_StatusText_QString);

}  // namespace

BENCHMARK_MAIN();
