// Loading the kernel driver into the testbed for a test, with the Windows
// version the stand-in reports chosen by the test.
#pragma once
#include <ntddk.h>

#include <gtest/gtest.h>

#include "sim/kernel/core/os_version.h"
#include "testbed_test.h"

namespace trox::test {

class DriverTest : public TestbedTest {
 protected:
  // Loads troxaudio as the stand-in's Windows version `ntddiVersion`.
  PDRIVER_OBJECT Load(ULONG ntddiVersion = NTDDI_WIN10) {
    sim::kernel::SetOsVersion(ntddiVersion);
    EXPECT_EQ(Bed().LoadDriver(), STATUS_SUCCESS);
    driver_ = Bed().Driver();
    return driver_;
  }

  // Unloads the driver; the loader checks like Driver Verifier that nothing
  // (devices, IRPs, pool) was left behind.
  void Unload() {
    Bed().UnloadDriver();
    driver_ = nullptr;
  }

  PDRIVER_OBJECT driver_ = nullptr;
};

}  // namespace trox::test
