// DriverEntry: port class initialisation, the driver's hooks over port
// class's dispatch, the pool policy per Windows version, and unload.
#include <portcls.h>

#include <cstdlib>
#include <string>

#include "adapter/adapter_device.h"
#include "adapter/dispatch.h"
#include "base/pool.h"
#include "base/trace.h"
#include "driver_fixture.h"
#include "sim/portcls/adapter_device.h"

namespace trox::test {
namespace {

using DriverEntryTest = DriverTest;

TEST_F(DriverEntryTest, HooksSevenMajorFunctionsAndLeavesTheRestToPortClass) {
  PDRIVER_OBJECT driver = Load();
  ASSERT_NE(driver, nullptr);

  EXPECT_EQ(driver->MajorFunction[IRP_MJ_CREATE], DispatchCreate);
  EXPECT_EQ(driver->MajorFunction[IRP_MJ_CLOSE], DispatchClose);
  EXPECT_EQ(driver->MajorFunction[IRP_MJ_READ], DispatchRead);
  EXPECT_EQ(driver->MajorFunction[IRP_MJ_WRITE], DispatchWrite);
  EXPECT_EQ(driver->MajorFunction[IRP_MJ_DEVICE_CONTROL], DispatchDeviceControl);
  EXPECT_EQ(driver->MajorFunction[IRP_MJ_CLEANUP], DispatchCleanup);
  EXPECT_EQ(driver->MajorFunction[IRP_MJ_PNP], DispatchPnp);
  for (int major : {IRP_MJ_POWER, IRP_MJ_SYSTEM_CONTROL, IRP_MJ_INTERNAL_DEVICE_CONTROL, IRP_MJ_FLUSH_BUFFERS}) {
    EXPECT_EQ(driver->MajorFunction[major], PcDispatchIrp) << "major function " << major;
  }
  EXPECT_EQ(driver->DriverExtension->AddDevice, AddDevice);
  EXPECT_NE(driver->DriverUnload, nullptr);
  EXPECT_NE(driver->DriverUnload, sim::portcls::PortClassDriverUnload());
}

TEST_F(DriverEntryTest, UnloadChainsToPortClassUnload) {
  Load();
  size_t before = sim::portcls::PortClassUnloadCount();
  Unload();
  EXPECT_EQ(sim::portcls::PortClassUnloadCount(), before + 1);
}

struct PoolPolicyCase {
  ULONG ntddiVersion;
  POOL_TYPE poolType;
  ULONG pagePriority;
};

class PoolPolicyTest : public DriverTest, public ::testing::WithParamInterface<PoolPolicyCase> {};

TEST_P(PoolPolicyTest, FollowsTheWindowsVersion) {
  Load(GetParam().ntddiVersion);
  EXPECT_EQ(DriverPoolType(), GetParam().poolType);
  EXPECT_EQ(DriverPagePriority(), GetParam().pagePriority);
}

INSTANTIATE_TEST_SUITE_P(WindowsVersions, PoolPolicyTest,
                         ::testing::Values(PoolPolicyCase{NTDDI_WIN7, NonPagedPool, 16},
                                           PoolPolicyCase{NTDDI_WIN8, NonPagedPoolNx, 0x40000010},
                                           PoolPolicyCase{NTDDI_WIN10, NonPagedPoolNx, 0x40000010}),
                         [](const ::testing::TestParamInfo<PoolPolicyCase>& info) {
                           return "Ntddi" + std::to_string(info.param.ntddiVersion >> 16);
                         });

// A second load on another Windows version does not keep the first choice.
TEST_F(DriverEntryTest, ReloadChoosesPoolPolicyAgain) {
  Load(NTDDI_WIN10);
  Unload();
  Load(NTDDI_WIN7);
  EXPECT_EQ(DriverPoolType(), NonPagedPool);
  EXPECT_EQ(LastPhysicalDeviceObject(), nullptr);
}

// Events carry their number, level and values, and the provider is gone
// after unload.
TEST_F(DriverEntryTest, TracesNumberedEventsWhenTracingIsOn) {
  setenv("TROX_TRACE", "5", 1);
  ::testing::internal::CaptureStderr();
  Load(NTDDI_WIN7);
  Unload();
  std::string trace = ::testing::internal::GetCapturedStderr();
  unsetenv("TROX_TRACE");
  EXPECT_NE(trace.find("event 1000 level 4: 0x0=0 0x10=16"), std::string::npos) << trace;
  EXPECT_NE(trace.find("event 1002 level 4"), std::string::npos) << trace;
}

TEST_F(DriverEntryTest, FailedPortClassInitializationFailsTheLoadWithItsStatus) {
  sim::portcls::FailNextInitialize(STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(Bed().LoadDriver(), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(Bed().Driver(), nullptr);
  // Tracing was cleaned up: nothing reaches a session any more.
  setenv("TROX_TRACE", "5", 1);
  ::testing::internal::CaptureStderr();
  Trace(TRACE_LEVEL_ERROR, TraceDriverEntryFailed, 1);
  std::string trace = ::testing::internal::GetCapturedStderr();
  unsetenv("TROX_TRACE");
  EXPECT_EQ(trace.find("event 1001"), std::string::npos) << trace;
}

// Product objects come from pool with their tag and go back with it.
class TaggedObject : public CPoolObject {
 public:
  explicit TaggedObject(ULONG value) : value_(value) {}
  virtual ~TaggedObject() = default;
  ULONG value_;
  ULONG zeroed_;
};

TEST_F(DriverEntryTest, PoolObjectsAreZeroedAndFreedWithTheirTag) {
  Load(NTDDI_WIN8);
  auto* object = new (DriverPoolType(), kPoolTagAdapterObject) TaggedObject(7);
  ASSERT_NE(object, nullptr);
  EXPECT_EQ(object->value_, 7u);
  EXPECT_EQ(object->zeroed_, 0u);
  EXPECT_EQ(reinterpret_cast<ULONG_PTR>(object) % 16, 0u);
  delete object;  // a wrong tag would be a verifier failure
}

}  // namespace
}  // namespace trox::test
