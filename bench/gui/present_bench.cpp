// Presenting a 1920x1080 frame in a window through the blit back-end's
// window: unscaled, and with the smooth (area-averaging) stretch onto smaller
// windows. Each drawing is painted at once and flushed to the X server, so a
// figure holds the conversion into the backing store and the transfer to the
// server. Targets under Xvfb on one thread: 4 ms unscaled, 8 ms stretched.
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QWindow>

#include "bench/bench_support.h"
#include "gui/blit_surface.h"
#include "tests/common/test_images.h"

namespace dioptrix {
namespace {

// A top-level drawing area of w x h, on the screen.
std::unique_ptr<gui::BlitSurface> Window(int32_t w, int32_t h) {
  auto window = std::make_unique<gui::BlitSurface>();
  window->setGeometry(0, 0, w, h);
  window->show();
  QElapsedTimer timer;
  timer.start();
  while (timer.elapsed() < 3000) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    const QWindow* handle = window->windowHandle();
    if (handle && handle->isExposed() && window->size() == QSize(w, h)) break;
  }
  return window;
}

void BM_PresentUnscaled1080p(benchmark::State& state) {
  DibPtr frame = test::RandomImage(1920, 1080, 1);
  auto window = Window(1920, 1080);
  for (auto _ : state) {
    window->DrawBlit(*frame, 0, 0, 1920, 1080, 0, 0);
    QCoreApplication::processEvents();
  }
  if (window->ScratchPaints() > 0) state.SetLabel("through a scratch image");
  bench::SetFrameCounters(state, 1920, 1080);
}
BENCHMARK(BM_PresentUnscaled1080p)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PresentSmoothStretch1080p(benchmark::State& state) {
  const int32_t w = static_cast<int32_t>(state.range(0)), h = static_cast<int32_t>(state.range(1));
  DibPtr frame = test::RandomImage(1920, 1080, 2);
  auto window = Window(w, h);
  for (auto _ : state) {
    window->DrawStretch(*frame, 0, 0, w, h, 0, 0, 1920, 1080, kHalftone);
    QCoreApplication::processEvents();
  }
  if (window->ScratchPaints() > 0) state.SetLabel("through a scratch image");
  bench::SetFrameCounters(state, 1920, 1080);
}
BENCHMARK(BM_PresentSmoothStretch1080p)
    ->Args({1280, 720})
    ->Args({1600, 900})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
}  // namespace dioptrix
