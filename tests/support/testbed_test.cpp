#include "testbed_test.h"

#include <cstdio>

namespace trox::test {

sim::testbed::Options BedOptions(sim::testbed::Time time) {
  sim::testbed::Options o;
  o.time = time;
  o.fail = [](const std::string& problem) { ADD_FAILURE() << "testbed: " << problem; };
  return o;
}

void PrintSeedOnFailure(const sim::testbed::Testbed& bed) {
  if (!::testing::Test::HasFailure() || !bed.Simulated()) return;
  printf("simulated time, seed %llu: replay with TROX_SEED=%llu\n", static_cast<unsigned long long>(bed.Seed()),
         static_cast<unsigned long long>(bed.Seed()));
}

void TestbedTest::SetUp() { bed_ = std::make_unique<sim::testbed::Testbed>(Options()); }

void TestbedTest::TearDown() {
  bed_->Close();
  PrintSeedOnFailure(*bed_);
  bed_.reset();
}

}  // namespace trox::test
