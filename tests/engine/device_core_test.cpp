// The device core's interface on a started device: interfaces, direction
// ownership, stream formats, start counts, rate changes against a test
// miniport, power, DSD, and the routing of the private file.
#include <gtest/gtest.h>

#include <memory>

#include "adapter/miniport_link.h"
#include "core_fixture.h"
#include "registry/driver_registry.h"
#include "sim/kernel/io/pnp.h"
#include "sim/kernel/registry/device_keys.h"
#include "sim/kernel/registry/registry_store.h"
#include "sim/portcls/adapter_device.h"
#include "sim/usb/device/device_models.h"

namespace trox::test {
namespace {

// {7D1C2B3A-4E5F-4061-8273-94A5B6C7D8E9}: no interface of the driver.
DEFINE_GUID(kUnknownInterface, 0x7D1C2B3A, 0x4E5F, 0x4061, 0x82, 0x73, 0x94, 0xA5, 0xB6, 0xC7, 0xD8, 0xE9);

// What the WaveRT miniport does for a rate change, counted.
class TestMiniport : public IMiniportEngineLink {
 public:
  STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID, PVOID* object) override {
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++references; }
  STDMETHODIMP_(ULONG) Release() override { return --references; }
  STDMETHODIMP_(void) FillSilence(UCHAR, PVOID, ULONG) override {}
  STDMETHODIMP_(void) AdvancePosition(UCHAR, ULONG) override {}
  STDMETHODIMP_(BOOLEAN) BeginStreamAccess(UCHAR) override { return FALSE; }
  STDMETHODIMP_(void) EndStreamAccess(UCHAR) override {}
  STDMETHODIMP_(void) DetachFromDevice() override { ++detached; }
  STDMETHODIMP_(void) TransferData(UCHAR, ULONG) override {}
  STDMETHODIMP_(NTSTATUS) UnregisterFromPort(PDEVICE_OBJECT device) override {
    unregisteredFrom = device;
    return STATUS_SUCCESS;
  }
  STDMETHODIMP_(NTSTATUS) GetStreamPosition(UCHAR, PULONGLONG position) override {
    *position = 0;
    return STATUS_SUCCESS;
  }
  ULONG references = 1;
  int detached = 0;
  PDEVICE_OBJECT unregisteredFrom = nullptr;
};

class DeviceCore : public CoreTest {
 protected:
  void SetUp() override {
    CoreTest::SetUp();
    pdo_ = StartModel(sim::usb::kDefaultModel);
    ASSERT_NE(pdo_, nullptr);
    adapter_ = Adapter(pdo_);
    ASSERT_NE(adapter_, nullptr);
  }
  PDEVICE_OBJECT pdo_ = nullptr;
  CAdapterCommon* adapter_ = nullptr;
};

TEST_F(DeviceCore, AnswersItsInterfaces) {
  struct Case {
    const GUID* id;
    NTSTATUS status;
  };
  const Case cases[] = {
      {&IID_IUnknown, STATUS_SUCCESS},
      {&IID_IAdapterCommon, STATUS_SUCCESS},
      {&IID_IAdapterPowerManagement, STATUS_SUCCESS},
      // Only a device with the native DSD mode offers its control.
      {&IID_IDsdModeControl, adapter_->IsDsdNativeSupported() ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER},
      {&kUnknownInterface, STATUS_INVALID_PARAMETER},
  };
  const LONG before = adapter_->References();
  for (const Case& c : cases) {
    PVOID object = reinterpret_cast<PVOID>(1);
    EXPECT_EQ(adapter_->QueryInterface(*c.id, &object), c.status);
    EXPECT_EQ(object != nullptr, NT_SUCCESS(c.status));
    if (object != nullptr) static_cast<IUnknown*>(object)->Release();
  }
  EXPECT_EQ(adapter_->References(), before);
  EXPECT_EQ(adapter_->SetDsdMode(1), adapter_->IsDsdNativeSupported() ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED);
  EXPECT_EQ(adapter_->SetDsdMode(0), STATUS_SUCCESS);
  EXPECT_EQ(adapter_->CurrentDsdMode(), 0u);
  EXPECT_TRUE(sim::pnp::Capabilities(pdo_).SurpriseRemovalOK);
}

TEST_F(DeviceCore, SharesDirectionsUnlessExclusive) {
  // A fixed device rate: several users may share a direction.
  EXPECT_EQ(adapter_->ReserveDirection(TRUE, FALSE, FALSE), STATUS_SUCCESS);
  EXPECT_EQ(adapter_->ReserveDirection(TRUE, FALSE, FALSE), STATUS_SUCCESS);
  EXPECT_EQ(adapter_->ReserveDirection(FALSE, TRUE, TRUE), STATUS_DEVICE_BUSY);
  adapter_->ReleaseDirection(TRUE, FALSE);
  adapter_->ReleaseDirection(TRUE, FALSE);
  adapter_->ReleaseDirection(TRUE, FALSE);  // below 0 stays 0
  EXPECT_EQ(adapter_->ReserveDirection(TRUE, TRUE, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(adapter_->ReserveDirection(FALSE, TRUE, FALSE), STATUS_DEVICE_BUSY);
  adapter_->ReleaseDirection(TRUE, TRUE);
  EXPECT_EQ(adapter_->ReserveDirection(FALSE, TRUE, FALSE), STATUS_SUCCESS);
}

TEST_F(DeviceCore, StreamFormatsFollowTheDeviceRate) {
  const ULONG rate = adapter_->GetDeviceSampleRate();
  // A format type the function has no alternate setting for (mu-law).
  EXPECT_FALSE(NT_SUCCESS(adapter_->SetStreamFormat(kDirectionCapture, 7, 2, 8, rate)));
  EXPECT_EQ(adapter_->SetStreamFormat(kDirectionCapture, 1, 2, 24, rate + 1), STATUS_NO_MATCH);
  ASSERT_EQ(adapter_->SetStreamFormat(kDirectionCapture, 1, 2, 24, rate), STATUS_SUCCESS);
  // Configured while idle: the interface has a non-zero alternate setting.
  EXPECT_NE(adapter_->Function().GetCurrentAlternate(kDirectionCapture), 0u);
  ASSERT_EQ(adapter_->SetStreamFormat(kDirectionCapture, 1, 2, 24, rate), STATUS_SUCCESS);
  DRMFORWARD forward = adapter_->GetDrmForward(kDirectionCapture);
  EXPECT_EQ(forward.DeviceObject, pdo_);
  EXPECT_NE(forward.Context, nullptr);
  adapter_->ResetDirection(kDirectionCapture);
  EXPECT_EQ(adapter_->Function().GetCurrentAlternate(kDirectionCapture), 0u);
}

TEST_F(DeviceCore, BothDirectionsCountTogether) {
  ASSERT_EQ(adapter_->StartEngineDirection(kDirectionRender), STATUS_SUCCESS);
  ASSERT_EQ(adapter_->StartEngineDirection(kDirectionCapture), STATUS_SUCCESS);
  EXPECT_EQ(adapter_->StartCount(kDirectionRender), 2);
  EXPECT_EQ(adapter_->StartCount(kDirectionCapture), 2);
  adapter_->StopEngineDirection(kDirectionRender);
  EXPECT_EQ(adapter_->StartCount(kDirectionCapture), 1);
  EXPECT_TRUE(adapter_->Engine().IsThreadRunning(kDirectionCapture));
  EXPECT_EQ(adapter_->SetSampleRate(48000), STATUS_DEVICE_BUSY);
  if (adapter_->IsDsdNativeSupported()) {
    EXPECT_EQ(adapter_->SetDsdMode(1), STATUS_DEVICE_BUSY);
  }
  ASSERT_EQ(adapter_->StartEngineDirection(kDirectionCapture), STATUS_SUCCESS);
  ASSERT_EQ(adapter_->StartEngineDirection(kDirectionCapture), STATUS_SUCCESS);
  // Removal stops as often as the directions were started.
  EXPECT_TRUE(Bed().Unplug(pdo_));
}

TEST_F(DeviceCore, ChangesTheRateThroughTheMiniport) {
  const std::u16string key = sim::registry::DeviceParametersKeyPath(sim::pnp::InstancePath(pdo_));
  TestMiniport miniport;
  EXPECT_EQ(adapter_->SetSampleRate(48000), STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(adapter_->RegisterMiniport(nullptr), STATUS_INVALID_PARAMETER);
  ASSERT_EQ(adapter_->RegisterMiniport(&miniport), STATUS_SUCCESS);
  EXPECT_EQ(adapter_->SetSampleRate(12345), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(adapter_->SetSampleRate(adapter_->GetDeviceSampleRate()), STATUS_SUCCESS);
  EXPECT_EQ(miniport.detached, 0);
  ASSERT_EQ(adapter_->SetSampleRate(48000), STATUS_SUCCESS);
  EXPECT_EQ(miniport.detached, 1);
  EXPECT_EQ(miniport.unregisteredFrom, Bed().FunctionDevice(pdo_));
  EXPECT_EQ(miniport.references, 1u);
  EXPECT_EQ(adapter_->GetDeviceSampleRate(), 48000u);
  EXPECT_EQ(sim::registry::GetDword(key, u"SampleRate"), std::optional<uint32_t>(48000));
  // Only the miniport that registered can unregister.
  TestMiniport other;
  adapter_->UnregisterMiniport(&other);
  EXPECT_EQ(adapter_->SetSampleRate(44100), STATUS_SUCCESS);
  adapter_->UnregisterMiniport(&miniport);
  EXPECT_EQ(adapter_->SetSampleRate(48000), STATUS_DEVICE_NOT_READY);
}

TEST_F(DeviceCore, PowersDownAndUp) {
  PDEVICE_OBJECT fdo = Bed().FunctionDevice(pdo_);
  ASSERT_EQ(adapter_->SetStreamFormat(kDirectionCapture, 1, 2, 24, adapter_->GetDeviceSampleRate()),
            STATUS_SUCCESS);
  ASSERT_EQ(sim::portcls::SetDevicePower(fdo, PowerDeviceD3), STATUS_SUCCESS);
  EXPECT_EQ(adapter_->DevicePowerState(), PowerDeviceD3);
  ASSERT_EQ(sim::portcls::SetDevicePower(fdo, PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(adapter_->DevicePowerState(), PowerDeviceD0);
  // Back in D0 the interfaces are at their zero-bandwidth settings again.
  EXPECT_EQ(adapter_->Function().GetCurrentAlternate(kDirectionCapture), 0u);
  for (const sim::usb::StreamInfo& stream : Bed().Device(pdo_)->Streams()) EXPECT_EQ(stream.alternate, 0);
}

TEST_F(DeviceCore, RoutesOnlyThePrivateName) {
  struct Case {
    const char16_t* name;
    bool privateFile;
  };
  const Case cases[] = {{u"asio", true}, {u"ASIO", true}, {u"asio2", false}, {u"wave", false}};
  for (const Case& c : cases) {
    std::unique_ptr<sim::io::UserHandle> handle;
    const NTSTATUS status = OpenFile(pdo_, c.name, &handle);
    if (!c.privateFile) {
      // Port class has no subdevice of that name.
      EXPECT_NE(status, STATUS_SUCCESS);
      continue;
    }
    ASSERT_EQ(status, STATUS_SUCCESS);
    // The driver's own requests answer: an undefined one, and a read and a
    // write while nothing streams.
    UCHAR buffer[8] = {};
    const auto undefined = handle->DeviceIoControl(0x222070, nullptr, 0, buffer, sizeof(buffer));
    ASSERT_TRUE(undefined->Wait());
    EXPECT_EQ(undefined->Result().status, STATUS_INVALID_DEVICE_REQUEST);
    for (const auto& request : {handle->Read(buffer, sizeof(buffer)), handle->Write(buffer, sizeof(buffer))}) {
      ASSERT_TRUE(request->Wait());
      EXPECT_EQ(request->Result().status, STATUS_UNSUCCESSFUL);
    }
    // The handle keeps the device core referenced until it is closed.
    const LONG references = adapter_->References();
    handle->Close();
    Bed().RunFor(sim::clock::kTicksPerMillisecond);
    EXPECT_EQ(adapter_->References(), references - 1);
  }
}

}  // namespace
}  // namespace trox::test
