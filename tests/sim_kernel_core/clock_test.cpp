// Simulated time itself: the performance counter at the frequencies real
// machines have, and the reports that end a run which cannot go on.
#include <gtest/gtest.h>

#include "kernel_test_util.h"
#include "testbed_test.h"

namespace {

constexpr int64_t kDay = 24 * 3600 * sim::clock::kTicksPerSecond;

TEST(PerformanceCounter, KeepsExactTimeAfterThirtyDaysAtThreeAndTenMegahertz) {
  for (int64_t frequency : {3'000'000LL, 10'000'000LL}) {
    SCOPED_TRACE(frequency);
    sim::testbed::Options options = trox::test::BedOptions();
    options.performanceFrequency = frequency;
    options.simulatedLimit = 40 * kDay;
    sim::testbed::Testbed bed(options);
    LARGE_INTEGER f{};
    const LARGE_INTEGER start = KeQueryPerformanceCounter(&f);
    EXPECT_EQ(f.QuadPart, frequency);
    bed.RunFor(30 * kDay + 7);
    const LARGE_INTEGER end = KeQueryPerformanceCounter(nullptr);
    // 30 days and 700 ns: counts of the frequency, rounded down, no wrap.
    const int64_t expected = 30 * 86400 * frequency + 7 * frequency / sim::clock::kTicksPerSecond;
    EXPECT_NEAR(static_cast<double>(end.QuadPart - start.QuadPart), static_cast<double>(expected), 1.0);
  }
}

using ClockDeathTest = ::testing::Test;

TEST_F(ClockDeathTest, EveryThreadWaitingWithoutATimeOutIsADeadlockWithTheSeed) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        sim::testbed::Options options;
        options.seed = 77;
        sim::testbed::Testbed bed(options);
        KEVENT never;
        KeInitializeEvent(&never, NotificationEvent, FALSE);
        sim::clock::Thread other("other waiter",
                                 [&never] { KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr); });
        KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
      },
      "deadlock: every thread waits.*seed 77.*replay with TROX_SEED=77(.|\n)*other waiter");
}

TEST_F(ClockDeathTest, ARunPastItsSimulatedLimitIsReported) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        sim::testbed::Options options;
        options.simulatedLimit = 10 * sim::clock::kTicksPerSecond;
        sim::testbed::Testbed bed(options);
        bed.RunFor(60 * sim::clock::kTicksPerSecond);
      },
      "simulated time limit passed");
}

}  // namespace
