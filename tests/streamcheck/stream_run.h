// One streaming run of the tests on a testbed of its own (simulated time
// unless asked otherwise): the driver started on the device, the check run,
// the problems joined for a failure message, the device removed, the
// testbed's teardown checked.
#pragma once

#include <gtest/gtest.h>

#include <ios>
#include <string>

#include "testbed_test.h"
#include "tools/streamcheck/driver_session.h"
#include "tools/streamcheck/stream_check.h"

namespace streamcheck {

struct StreamRun {
  bool started = false;  // the driver took the device
  StreamCheckResult result;
  std::string problems;  // one indented line each, empty for a clean run
};

// How the run's testbed is set up.
struct RunSetup {
  sim::testbed::Time time = sim::testbed::Time::kSimulated;
  uint64_t seed = 0;  // 0: TROX_SEED or the default
  // A random lateness schedule (see Testbed::StartLateness); 0: none.
  int64_t latenessGap = 0, latenessMax = 0;
};

inline StreamRun StreamOn(sim::usb::UsbAudioDevice& device, const StreamCheckOptions& options,
                          const RunSetup& setup = {}) {
  StreamRun run;
  sim::testbed::Options bedOptions = trox::test::BedOptions(setup.time);
  bedOptions.seed = setup.seed;
  sim::testbed::Testbed bed(bedOptions);
  bed.StartLateness(setup.latenessGap, setup.latenessMax);
  DriverSession session(bed, device);
  EXPECT_TRUE(session.Ok()) << session.FailedStep() << " " << std::hex << session.FailedStatus();
  if (!session.Ok()) return run;
  run.started = true;
  run.result = RunStreamCheck(*session.Audio(), device, options);
  for (const std::string& p : run.result.Problems()) run.problems += "\n  " + p;
  EXPECT_EQ(session.Close(), STATUS_SUCCESS);
  bed.Close();
  trox::test::PrintSeedOnFailure(bed);
  return run;
}

}  // namespace streamcheck
