// The driver, the bus and the device around one inspection.
#include "tools/troxsim/inspect.h"

#include <memory>

#include <ntddk.h>

#include "platform.h"
#include "adapter/pool.h"
#include "adapter/pool_tags.h"
#include "audiofunction/usb_audio_cl.h"
#include "sim/kernel/io/driver_loader.h"
#include "sim/kernel/io/pnp.h"
#include "sim/usb/bus/usb_bus.h"
#include "sim/usb/device/descriptor_loader.h"
#include "sim/usb/device/device_models.h"
#include "tools/troxsim/inspect_formats.h"
#include "tools/troxsim/inspect_model.h"
#include "tools/troxsim/inspect_print.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace troxsim {
namespace {

// The IRP pool size device start gives the audio function.
constexpr ULONG kDeviceStartIrpPool = 24;

std::unique_ptr<sim::usb::UsbAudioDevice> MakeInspectDevice(const InspectOptions& options, std::string* label,
                                                           std::string* error) {
  std::optional<sim::usb::Speed> speed;
  if (options.speed) {
    if (*options.speed == "full") {
      speed = sim::usb::Speed::Full;
    } else if (*options.speed == "high") {
      speed = sim::usb::Speed::High;
    } else {
      *error = "--speed takes full or high";
      return nullptr;
    }
  }
  if (!options.descriptors.empty()) {
    if (!options.device.empty()) {
      *error = "give either --device or --descriptors";
      return nullptr;
    }
    sim::usb::LoadResult loaded = sim::usb::LoadDescriptorFile(options.descriptors, speed);
    if (!loaded.ok) {
      *error = options.descriptors + ": " + loaded.error;
      return nullptr;
    }
    *label = options.descriptors;
    return std::make_unique<sim::usb::UsbAudioDevice>(loaded.definition);
  }
  std::string name = options.device.empty() ? std::string(sim::usb::kDefaultModel) : options.device;
  auto definition = sim::usb::ModelDefinition(name);
  if (!definition) {
    *error = "no built-in device '" + name + "' (see troxsim devices)";
    return nullptr;
  }
  if (speed) definition->speed = *speed;
  *label = name;
  return std::make_unique<sim::usb::UsbAudioDevice>(*definition);
}

// Attaches and configures the function on the FDO's lower device, as device
// start does, and prints the model or the refusal.
int InspectStarted(PDEVICE_OBJECT fdo, const std::string& label, const FormatRequest& request, bool json,
                   std::ostream& out) {
  auto refuse = [&](const char* step, NTSTATUS status) {
    if (json) {
      PrintRefusalJson(out, label, step, status);
    } else {
      PrintRefusalText(out, label, step, status);
    }
    return 1;
  };
  PDEVICE_OBJECT lower = IoGetLowerDeviceObject(fdo);
  if (lower == nullptr) return refuse("IoGetLowerDeviceObject", STATUS_NO_SUCH_DEVICE);
  int result = 0;
  CUSBAudioCL* audio = new (NonPagedPoolNx, kPoolTagDriver) CUSBAudioCL();
  if (audio == nullptr) {
    result = refuse("allocation", STATUS_INSUFFICIENT_RESOURCES);
  } else if (NTSTATUS status = audio->Attach(lower, kDeviceStartIrpPool); !NT_SUCCESS(status)) {
    result = refuse("Attach", status);
  } else if (status = audio->Configure(); !NT_SUCCESS(status)) {
    result = refuse("Configure", status);
  } else {
    ModelReport model = CollectModel(*audio);
    model.device = label;
    model.formats = CollectFormats(*audio, request);
    if (json) {
      PrintModelJson(out, model);
    } else {
      PrintModelText(out, model);
    }
  }
  delete audio;
  ObDereferenceObject(lower);
  return result;
}

}  // namespace

int RunInspect(const InspectOptions& options, std::ostream& out, std::ostream& err) {
  std::string label, error;
  FormatRequest request;
  request.rate = options.rate;
  if (options.format == "float") {
    request.formatType = 3;
  } else if (options.format != "pcm") {
    err << "troxsim inspect: --format takes pcm or float\n";
    return 2;
  }
  if (options.rate && *options.rate == 0) {
    err << "troxsim inspect: --rate takes a rate in Hz\n";
    return 2;
  }
  auto device = MakeInspectDevice(options, &label, &error);
  if (!device) {
    err << "troxsim inspect: " << error << "\n";
    return 2;
  }
  PDRIVER_OBJECT driver = nullptr;
  NTSTATUS status = sim::io::LoadDriver(DriverEntry, u"troxaudio", &driver);
  if (!NT_SUCCESS(status)) {
    err << "troxsim inspect: the driver did not load (" << StatusText(status) << ")\n";
    return 1;
  }
  int result = 1;
  {
    sim::usb::UsbBus bus;
    PDEVICE_OBJECT pdo = bus.Plug(device.get());
    if (pdo == nullptr) {
      err << "troxsim inspect: the bus did not take the device\n";
    } else if (status = sim::pnp::StartDevice(pdo, driver); !NT_SUCCESS(status)) {
      err << "troxsim inspect: the device did not start (" << StatusText(status) << ")\n";
    } else {
      PDEVICE_OBJECT fdo = pdo->AttachedDevice;
      if (fdo == nullptr || fdo->DriverObject != driver) {
        err << "troxsim inspect: the driver made no device object for the device\n";
      } else {
        result = InspectStarted(fdo, label, request, options.json, out);
      }
      if (NTSTATUS removed = sim::pnp::Remove(pdo); !NT_SUCCESS(removed)) {
        err << "troxsim inspect: removing the device failed (" << StatusText(removed) << ")\n";
        result = 1;
      }
    }
  }
  sim::io::UnloadDriver(driver);
  return result;
}

}  // namespace troxsim
