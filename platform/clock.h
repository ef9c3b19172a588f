// Time sources: the millisecond clock and CTime, the high-resolution interval
// timer used for stage timings and clock pacing (over std::chrono::steady_clock).
#pragma once

#include <cstdint>

namespace dioptrix {

// Milliseconds of a monotonic clock, wrapping at 32 bits.
int32_t MillisecondClock();

class CTime {
 public:
  void StartTimer();
  void StopTimer();
  // Counts between the last StartTimer and StopTimer.
  double Elapsed() const;
  // Counts per second.
  double Frequency();
  // Elapsed() / Frequency().
  double Seconds();

 private:
  int64_t startCount_ = 0;
  int64_t stopCount_ = 0;
  int64_t frequency_ = 0;
  double lastElapsed_ = 0;
  double lastFrequency_ = 0;
};

}  // namespace dioptrix
