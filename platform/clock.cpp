#include "platform/clock.h"

#include <chrono>

namespace dioptrix {

namespace {
int64_t Counter() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
}  // namespace

int32_t MillisecondClock() {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now().time_since_epoch())
                      .count();
  return static_cast<int32_t>(static_cast<uint32_t>(ms));
}

void CTime::StartTimer() { startCount_ = Counter(); }
void CTime::StopTimer() { stopCount_ = Counter(); }

double CTime::Elapsed() const { return static_cast<double>(stopCount_ - startCount_); }

double CTime::Frequency() {
  frequency_ = 1'000'000'000;
  lastFrequency_ = static_cast<double>(frequency_);
  return lastFrequency_;
}

double CTime::Seconds() {
  lastElapsed_ = Elapsed();
  return lastElapsed_ / Frequency();
}

}  // namespace dioptrix
