// Loading the kernel driver into the stand-in for a test, with the Windows
// version the stand-in reports chosen by the test.
#pragma once
#include <ntddk.h>

#include <gtest/gtest.h>

#include "sim/kernel/core/os_version.h"
#include "sim/kernel/io/driver_loader.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace trox::test {

class DriverTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (driver_ != nullptr) Unload();
    sim::kernel::SetOsVersion(previousOsVersion_);
  }

  // Loads troxaudio as the stand-in's Windows version `ntddiVersion`.
  PDRIVER_OBJECT Load(ULONG ntddiVersion = NTDDI_WIN10) {
    sim::kernel::SetOsVersion(ntddiVersion);
    EXPECT_EQ(sim::io::LoadDriver(DriverEntry, u"troxaudio", &driver_), STATUS_SUCCESS);
    return driver_;
  }

  // Unloads the driver; the loader checks like Driver Verifier that nothing
  // (devices, IRPs, pool) was left behind.
  void Unload() {
    PDRIVER_OBJECT driver = driver_;
    driver_ = nullptr;
    sim::io::UnloadDriver(driver);
  }

  PDRIVER_OBJECT driver_ = nullptr;

 private:
  ULONG previousOsVersion_ = sim::kernel::OsVersion();
};

}  // namespace trox::test
