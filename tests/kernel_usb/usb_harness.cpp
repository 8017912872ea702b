#include "usb_harness.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "sim/kernel/io/driver_loader.h"
#include "sim/usb/device/device_models.h"

namespace usbtest {

namespace {

struct FilterExtension {
  PDEVICE_OBJECT lower;
  Spy* spy;  // null for the function device object
};

NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) {
  auto* ext = static_cast<FilterExtension*>(device->DeviceExtension);
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  if (ext->spy != nullptr && sp->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL &&
      sp->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB) {
    IoMarkIrpPending(irp);
    if (ext->spy->OnUrb(irp, static_cast<PURB>(sp->Parameters.Others.Argument1))) return STATUS_PENDING;
    // Not taken: the pending mark stays on this location and the lower
    // driver's result reaches the caller as pending, as a filter returns it.
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoCallDriver(ext->lower, irp);
    return STATUS_PENDING;
  }
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(ext->lower, irp);
}

NTSTATUS TestDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) driver->MajorFunction[i] = Dispatch;
  return STATUS_SUCCESS;
}

std::atomic<int> g_driverNumber{0};

}  // namespace

void Spy::SetAnswer(Answer answer) {
  std::lock_guard<std::mutex> l(mutex_);
  answer_ = std::move(answer);
}

std::vector<SeenUrb> Spy::Seen() const {
  std::lock_guard<std::mutex> l(mutex_);
  return seen_;
}

size_t Spy::Count(USHORT function) const {
  std::lock_guard<std::mutex> l(mutex_);
  size_t n = 0;
  for (const SeenUrb& s : seen_) n += s.function == function ? 1 : 0;
  return n;
}

void Spy::Clear() {
  std::lock_guard<std::mutex> l(mutex_);
  seen_.clear();
}

bool Spy::OnUrb(PIRP irp, PURB urb) {
  Answer answer;
  {
    std::lock_guard<std::mutex> l(mutex_);
    SeenUrb s;
    s.function = urb->UrbHeader.Function;
    s.irp = irp;
    if (s.function == URB_FUNCTION_ISOCH_TRANSFER) {
      const auto& iso = urb->UrbIsochronousTransfer;
      s.transferFlags = iso.TransferFlags;
      s.transferLength = iso.TransferBufferLength;
      s.packets = iso.NumberOfPackets;
      for (ULONG i = 0; i < iso.NumberOfPackets && i < 64; ++i) s.isoPackets.push_back(iso.IsoPacket[i]);
    } else if (s.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
      s.transferFlags = urb->UrbBulkOrInterruptTransfer.TransferFlags;
      s.transferLength = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    } else if (urb->UrbHeader.Length >= sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST) &&
               s.function >= URB_FUNCTION_VENDOR_DEVICE && s.function <= URB_FUNCTION_VENDOR_OTHER) {
      s.transferFlags = urb->UrbControlVendorClassRequest.TransferFlags;
      s.transferLength = urb->UrbControlVendorClassRequest.TransferBufferLength;
    }
    seen_.push_back(s);
    answer = answer_;
  }
  return answer ? answer(irp, urb) : false;
}

void CompleteIrp(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

std::unique_ptr<sim::usb::UsbAudioDevice> Model(const char* name) { return sim::usb::CreateModel(name); }

std::unique_ptr<sim::usb::UsbAudioDevice> FromDescriptors(std::vector<uint8_t> device, std::vector<uint8_t> config,
                                                          sim::usb::Speed speed) {
  sim::usb::DeviceDefinition d;
  d.name = "test";
  d.speed = speed;
  d.deviceDescriptor = std::move(device);
  d.configurationDescriptor = std::move(config);
  d.strings = {{1, "Maker"}, {2, "Product"}, {3, "SN-42"}};
  return std::make_unique<sim::usb::UsbAudioDevice>(std::move(d));
}

namespace {

std::shared_ptr<sim::testbed::Testbed> SharedBed(const sim::usb::ControllerInfo& controller) {
  static std::weak_ptr<sim::testbed::Testbed> current;
  if (auto bed = current.lock()) return bed;
  sim::testbed::Options options = trox::test::BedOptions();
  options.controller = controller;
  std::shared_ptr<sim::testbed::Testbed> bed(new sim::testbed::Testbed(options), [](sim::testbed::Testbed* b) {
    b->Close();
    trox::test::PrintSeedOnFailure(*b);
    delete b;
  });
  current = bed;
  return bed;
}

}  // namespace

Harness::Harness(std::unique_ptr<sim::usb::UsbAudioDevice> device, const Options& options)
    : device_(std::move(device)), bed_(SharedBed(options.controller)) {
  EXPECT_TRUE(device_ != nullptr);
  if (device_ == nullptr) return;
  pdo_ = bed_->Plug(*device_);
  EXPECT_TRUE(pdo_ != nullptr);
  if (pdo_ == nullptr) return;
  const std::u16string service =
      u"troxusbtest" + std::u16string(1, static_cast<char16_t>(u'a' + g_driverNumber++ % 26));
  EXPECT_TRUE(NT_SUCCESS(sim::io::LoadDriver(TestDriverEntry, service, &driver_)));
  if (driver_ == nullptr) return;
  EXPECT_TRUE(
      NT_SUCCESS(IoCreateDevice(driver_, sizeof(FilterExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &filter_)));
  EXPECT_TRUE(
      NT_SUCCESS(IoCreateDevice(driver_, sizeof(FilterExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo_)));
  if (filter_ == nullptr || fdo_ == nullptr) return;
  auto* filterExt = static_cast<FilterExtension*>(filter_->DeviceExtension);
  filterExt->lower = IoAttachDeviceToDeviceStack(filter_, pdo_);
  filterExt->spy = &spy_;
  filter_->Flags &= ~DO_DEVICE_INITIALIZING;
  auto* fdoExt = static_cast<FilterExtension*>(fdo_->DeviceExtension);
  fdoExt->lower = IoAttachDeviceToDeviceStack(fdo_, filter_);
  fdoExt->spy = nullptr;
  fdo_->Flags &= ~DO_DEVICE_INITIALIZING;

  usb_ = new (NonPagedPoolNx, kPoolTagDriver) TestUsbCL();
  EXPECT_TRUE(usb_ != nullptr);
  if (usb_ != nullptr && options.attach) {
    Attach(options.irpPoolSize);
    if (options.configure && NT_SUCCESS(attachStatus_)) {
      EXPECT_EQ(Configure(), STATUS_SUCCESS);
    }
  }
}

NTSTATUS Harness::Attach(ULONG irpPoolSize) {
  attachStatus_ = usb_->Attach(filter_, irpPoolSize);
  return attachStatus_;
}

NTSTATUS Harness::Configure() {
  LONG count = 0;
  PUSBD_INTERFACE_LIST_ENTRY list = usb_->CreateInterfaceList(&count);
  if (list == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  const NTSTATUS status = usb_->ConfigurationRequest(list, count);
  CUSBCL::FreeInterfaceList(list);
  return status;
}

Harness::~Harness() {
  spy_.SetAnswer(nullptr);
  delete usb_;
  if (fdo_ != nullptr) {
    IoDetachDevice(filter_);
    IoDeleteDevice(fdo_);
  }
  if (filter_ != nullptr) {
    IoDetachDevice(pdo_);
    IoDeleteDevice(filter_);
  }
  if (driver_ != nullptr) sim::io::UnloadDriver(driver_);
  if (pdo_ != nullptr) {
    EXPECT_TRUE(bed_->Unplug(pdo_));
  }
  bed_.reset();
}

VOID Completion::Callback(NTSTATUS Status, ULONG Bytes, ULONG StartFrame, PVOID Context, ULONG Frames) {
  auto* c = static_cast<Completion*>(Context);
  c->status = Status;
  c->bytes = Bytes;
  c->startFrame = StartFrame;
  c->frames = Frames;
  KeSetEvent(&c->done, IO_NO_INCREMENT, FALSE);
}

bool Completion::Wait(int seconds) {
  LARGE_INTEGER timeout;
  timeout.QuadPart = -10000000LL * seconds;
  return KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS;
}

}  // namespace usbtest
