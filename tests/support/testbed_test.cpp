#include "testbed_test.h"

#include <cstdio>

namespace trox::test {

sim::testbed::Options BedOptions(sim::testbed::Time time) {
  sim::testbed::Options o;
  o.time = time;
  o.fail = [](const std::string& problem) { ADD_FAILURE() << "testbed: " << problem; };
  return o;
}

void TestbedTest::SetUp() { bed_ = std::make_unique<sim::testbed::Testbed>(Options()); }

void TestbedTest::TearDown() {
  const uint64_t seed = bed_->Seed();
  const bool simulated = bed_->Simulated();
  bed_->Close();
  bed_.reset();
  if (HasFailure() && simulated) {
    printf("simulated time, seed %llu: replay with TROX_SEED=%llu\n", static_cast<unsigned long long>(seed),
           static_cast<unsigned long long>(seed));
  }
}

}  // namespace trox::test
