// The window benchmarks run inside one Qt application, on an X server of
// their own (tests/common/with-xvfb; `make bench` starts one).
#include <benchmark/benchmark.h>

#include <QApplication>

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
