// Tests on the one testbed: a fixture that boots it before the test body and
// checks its teardown after it, turning what it finds into test failures and
// printing the seed of a failed simulated run.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "sim/testbed/testbed.h"

namespace trox::test {

// Options whose teardown problems fail the current test.
sim::testbed::Options BedOptions(sim::testbed::Time time = sim::testbed::Time::kSimulated);

// After a failure in simulated time: the seed that replays the run.
void PrintSeedOnFailure(const sim::testbed::Testbed& bed);

class TestbedTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // What the fixture boots with (simulated time unless overridden).
  virtual sim::testbed::Options Options() { return BedOptions(); }

  sim::testbed::Testbed& Bed() { return *bed_; }

 private:
  std::unique_ptr<sim::testbed::Testbed> bed_;
};

// The same fixture on real time: for tests about real-time behaviour.
class RealTimeTest : public TestbedTest {
 protected:
  sim::testbed::Options Options() override { return BedOptions(sim::testbed::Time::kReal); }
};

}  // namespace trox::test
