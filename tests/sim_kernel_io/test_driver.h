// Small configurable drivers for the I/O manager tests: every dispatch routine
// calls the handler the test installed for that device and major function.
#pragma once
#include <array>
#include "sim/kernel/core/clock.h"
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <wdm.h>

#include "sim/kernel/core/clock.h"

namespace iotest {

using Handler = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

struct TestDevice {
  std::array<Handler, IRP_MJ_MAXIMUM_FUNCTION + 1> handlers;
  PDEVICE_OBJECT self = nullptr;
  PDEVICE_OBJECT lower = nullptr;  // what IoAttachDeviceToDeviceStack returned
  std::string name;
};

TestDevice* Dev(PDEVICE_OBJECT d);

// Thread-safe record of what happened, in order.
class EventLog {
 public:
  void Add(const std::string& s);
  std::vector<std::string> Entries() const;
  // Waits (bounded) until an entry equal to s appears.
  bool WaitFor(const std::string& s, int64_t timeoutMs = 5000) const;

 private:
  mutable std::mutex lock_;
  mutable sim::clock::Condition changed_{"test event log"};
  std::vector<std::string> entries_;
};

class TestDriver {
 public:
  explicit TestDriver(const std::u16string& service);
  ~TestDriver();  // deletes the devices it still has, then unloads
  TestDriver(const TestDriver&) = delete;
  TestDriver& operator=(const TestDriver&) = delete;

  // A device (named when name is not empty), attached on top of attachTo's
  // stack when given. Devices are ready (DO_DEVICE_INITIALIZING cleared).
  PDEVICE_OBJECT CreateDevice(const std::string& label, const std::u16string& name = u"", ULONG flags = 0,
                              PDEVICE_OBJECT attachTo = nullptr, ULONG characteristics = 0);
  void DeleteDevice(PDEVICE_OBJECT dev);  // detaches first
  // Called from the driver's AddDevice.
  std::function<NTSTATUS(PDRIVER_OBJECT, PDEVICE_OBJECT)> addDevice;
  // Whether to skip deleting devices in the destructor (tests of unload leaks).
  bool keepDevicesAtUnload = false;

  PDRIVER_OBJECT object = nullptr;

 private:
  std::vector<std::unique_ptr<TestDevice>> devices_;
};

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);
// IoSkipCurrentIrpStackLocation + IoCallDriver to the device's lower device.
NTSTATUS PassDown(PDEVICE_OBJECT d, PIRP irp);
std::string Utf8(PCUNICODE_STRING s);
UNICODE_STRING Ustr(const std::u16string& s);  // a view: s must outlive it
UNICODE_STRING Ustr(std::u16string&&) = delete;

}  // namespace iotest
