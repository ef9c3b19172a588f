#include <gtest/gtest.h>

#include <new>

#include "platform/clock.h"
#include "platform/error.h"
#include "platform/host.h"

namespace dioptrix {
namespace {

TEST(Errors, NumbersAndDescriptions) {
  EXPECT_EQ(RuntimeError(kErrDivisionByZero).Description(), "Division by zero");
  EXPECT_EQ(RuntimeError(kErrOverflow).Description(), "Overflow");
  EXPECT_EQ(RuntimeError(kErrSubscriptOutOfRange).Description(), "Subscript out of range");
  EXPECT_EQ(RuntimeError(kErrObjectNotSet).Description(), "Object variable not set");
  EXPECT_EQ(static_cast<uint32_t>(kObjectErrorBase), 0x80040000u);
  RuntimeError custom(kObjectErrorBase + 1305, "dioptrix.cImageProcess",
                      "Size must be an odd number");
  EXPECT_EQ(static_cast<uint32_t>(custom.Number()), 0x80040519u);
  EXPECT_EQ(custom.Source(), "dioptrix.cImageProcess");
  EXPECT_STREQ(custom.what(), "Size must be an odd number");
}

TEST(Host, TrapErrorsReportsWithTheRoutinesPrefix) {
  Host host;
  MessageLog log;
  log.Attach(host);
  EXPECT_TRUE(TrapErrors(host, "An error occurred in X. ", [] {}));
  EXPECT_FALSE(TrapErrors(host, "An error occurred in X. ", [] { RaiseDivisionByZero(); }));
  EXPECT_FALSE(TrapErrors(host, "An error occurred in Y. ", [] { throw std::bad_alloc(); }));
  EXPECT_EQ(log.Texts(), (std::vector<std::string>{"An error occurred in X. Division by zero",
                                                   "An error occurred in Y. Out of memory"}));
  int pumped = 0;
  host.onPumpEvents = [&] { ++pumped; };
  host.PumpEvents();
  EXPECT_EQ(pumped, 1);
  EXPECT_EQ(Host{}.DesktopSize().width, 1920);
}

TEST(Clock, IntervalTimerMeasuresSeconds) {
  CTime t;
  t.StartTimer();
  volatile double x = 0;
  for (int i = 0; i < 100000; ++i) x = x + i;
  t.StopTimer();
  EXPECT_GT(t.Elapsed(), 0);
  EXPECT_EQ(t.Frequency(), 1e9);
  EXPECT_LT(t.Seconds(), 10.0);
}

}  // namespace
}  // namespace dioptrix
