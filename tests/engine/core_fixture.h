// Devices started under the driver by the PnP manager, and the device core
// the start created, for the device-core and engine tests.
#pragma once
#include <ntddk.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "adapter/adapter_common.h"
#include "adapter/adapter_extension.h"
#include "sim/kernel/io/user_io.h"
#include "sim/kernel/registry/registry_store.h"
#include "testbed_test.h"

namespace trox::test {

class CoreTest : public TestbedTest {
 protected:
  // Plugs the model in and starts it; the start's status goes to *status
  // (or must be success when status is null).
  PDEVICE_OBJECT StartModel(const std::string& name, NTSTATUS* status = nullptr) {
    PDEVICE_OBJECT pdo = Bed().PlugModel(name);
    EXPECT_NE(pdo, nullptr) << name;
    if (pdo == nullptr) return nullptr;
    const NTSTATUS started = Bed().Start(pdo);
    if (status != nullptr) {
      *status = started;
    } else {
      EXPECT_EQ(started, STATUS_SUCCESS) << name;
    }
    return pdo;
  }
  // Opens "<interface path>\<name>" on the device ("asio": the private
  // interface). No WaveRT filter registers an audio interface, so the test
  // registers one of its own on the device.
  NTSTATUS OpenFile(PDEVICE_OBJECT pdo, const char16_t* name, std::unique_ptr<sim::io::UserHandle>* handle);
  NTSTATUS OpenPrivate(PDEVICE_OBJECT pdo, std::unique_ptr<sim::io::UserHandle>* handle) {
    return OpenFile(pdo, u"asio", handle);
  }

  // Each test starts from the registry as it was and leaves it so.
  sim::registry::ScopedRegistry registry_;

  // The device core of a started device, or null.
  CAdapterCommon* Adapter(PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT fdo = Bed().FunctionDevice(pdo);
    return fdo != nullptr ? static_cast<CAdapterCommon*>(GetAdapterExtension(fdo)->Adapter) : nullptr;
  }
};

}  // namespace trox::test
