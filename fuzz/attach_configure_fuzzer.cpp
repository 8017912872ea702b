// Attach and configure of the audio function on a device whose descriptors
// are the fuzzer's input: bytes 0..17 are the device descriptor (zero padded),
// the rest is the configuration descriptor set. Bit 1 of byte 3 (the major
// digit of bcdUSB: 1.x against 2.x) picks full or high speed. The descriptors
// reach the driver as they are, malformed or not; AddressSanitizer and UBSan
// report any read outside what the device returned, and by the end of each
// input the driver must have freed every pool block, IRP, MDL and work item.
//
// The function driver object lives for the whole process; each input gets a
// testbed of its own on simulated time (the same input runs the same way),
// plugs a new device, stacks a function device object on its PDO, runs
// CUSBAudioCL::Attach and Configure, and takes it all down again; the
// testbed's teardown census stops the run on anything left behind.
#include "platform.h"
#include "audiofunction/usb_audio_cl.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "sim/kernel/io/driver_loader.h"
#include "sim/testbed/testbed.h"
#include "sim/usb/device/usb_audio_device.h"

namespace {

constexpr size_t kDeviceDescriptorLength = 18;

[[noreturn]] void Stop(const char* what) {
  fprintf(stderr, "attach_configure_fuzzer: %s\n", what);
  abort();
}

NTSTATUS FunctionDriverEntry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }

PDRIVER_OBJECT FunctionDriver() {
  // Never unloaded: inputs run until the process exits.
  static PDRIVER_OBJECT driver = [] {
    PDRIVER_OBJECT d = nullptr;
    if (!NT_SUCCESS(sim::io::LoadDriver(FunctionDriverEntry, u"troxfuzz", &d))) Stop("cannot load the driver");
    return d;
  }();
  return driver;
}

std::unique_ptr<sim::usb::UsbAudioDevice> DeviceFromInput(const uint8_t* data, size_t size) {
  const size_t head = size < kDeviceDescriptorLength ? size : kDeviceDescriptorLength;
  sim::usb::DeviceDefinition d;
  d.name = "fuzz";
  d.deviceDescriptor.assign(data, data + head);
  d.deviceDescriptor.resize(kDeviceDescriptorLength, 0);
  d.configurationDescriptor.assign(data + head, data + size);
  d.speed = (d.deviceDescriptor[3] & 0x02) != 0 ? sim::usb::Speed::High : sim::usb::Speed::Full;
  d.strings = {{1, "Maker"}, {2, "Product"}, {3, "SN-1"}};
  return std::make_unique<sim::usb::UsbAudioDevice>(std::move(d));
}

void RunAudioFunction(PDRIVER_OBJECT driver, PDEVICE_OBJECT lower) {
  // What the driver allocates is charged to it, as in its own dispatch code.
  sim::io::DriverScope scope(driver);
  auto* audio = new (NonPagedPoolNx, kPoolTagDriver) CUSBAudioCL();
  if (audio == nullptr) Stop("no memory for the audio function");
  if (NT_SUCCESS(audio->Attach(lower, 24))) {
    audio->Configure();
  }
  delete audio;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  PDRIVER_OBJECT driver = FunctionDriver();
  std::unique_ptr<sim::usb::UsbAudioDevice> device = DeviceFromInput(data, size);
  sim::testbed::Options options;
  options.seed = 1;
  options.fail = [](const std::string& problem) { Stop(problem.c_str()); };
  sim::testbed::Testbed bed(options);
  PDEVICE_OBJECT pdo = bed.Plug(*device);
  if (pdo == nullptr) Stop("the bus refused the device");
  PDEVICE_OBJECT fdo = nullptr;
  if (!NT_SUCCESS(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo))) {
    Stop("no function device object");
  }
  PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  if (lower == nullptr) Stop("cannot attach to the PDO");
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;

  RunAudioFunction(driver, lower);

  IoDetachDevice(lower);
  IoDeleteDevice(fdo);
  if (!bed.Unplug(pdo)) Stop("the PDO did not go away");
  bed.Close();
  return 0;
}
