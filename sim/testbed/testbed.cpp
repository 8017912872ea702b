#include "sim/testbed/testbed.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include "sim/kernel/core/dpc.h"
#include "sim/kernel/core/handles.h"
#include "sim/kernel/core/lookaside.h"
#include "sim/kernel/core/os_version.h"
#include "sim/kernel/core/pool.h"
#include "sim/kernel/core/thread.h"
#include "sim/kernel/core/timer_resolution.h"
#include "sim/kernel/core/work_queue.h"
#include "sim/kernel/io/driver_loader.h"
#include "sim/kernel/io/io_internal.h"
#include "sim/kernel/io/pnp.h"
#include "sim/usb/device/descriptor_loader.h"
#include "sim/usb/device/device_models.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace sim::testbed {

namespace {

bool gBooted = false;

// How long the packets of a device being pulled out fail before the hub
// notices it is gone.
constexpr int64_t kUnplugFailingPackets = 3 * sim::clock::kTicksPerMillisecond;

}  // namespace

// What the kernel holds that a run must give back. Thread objects are
// counted as threads, not as objects.
struct Testbed::Census {
  size_t poolBlocks = 0;
  size_t handles = 0;
  size_t objects = 0;
  size_t irps = 0;
  size_t mdls = 0;
  size_t workItems = 0;
  size_t lookasideLists = 0;
  size_t timerResolutionRequests = 0;
  int systemThreads = 0;

  static Census Take() {
    Census c;
    c.poolBlocks = sim::pool::OutstandingCount();
    c.handles = sim::kernel::OpenHandleCount();
    c.objects = sim::kernel::ObjectCount(*PsThreadType);
    c.irps = sim::io::LiveIrpCount();
    c.mdls = sim::io::LiveMdlCount();
    c.workItems = sim::io::LiveWorkItemCount();
    c.lookasideLists = sim::kernel::LookasideListCount();
    c.timerResolutionRequests = sim::kernel::TimerResolutionRequests().size();
    c.systemThreads = sim::kernel::SystemThreadsRunning();
    return c;
  }
};

uint64_t ResolveSeed(uint64_t requested) {
  if (requested != 0) return requested;
  if (const char* env = getenv("TROX_SEED")) {
    char* end = nullptr;
    unsigned long long v = strtoull(env, &end, 0);
    if (end != env && *end == '\0' && v != 0) return v;
    fprintf(stderr, "TROX_SEED=%s is not a seed (a positive number); using %" PRIu64 "\n", env, kDefaultSeed);
  }
  return kDefaultSeed;
}

Testbed::Testbed(const Options& options) : options_(options) {
  if (gBooted) {
    fprintf(stderr, "TESTBED: a second testbed while one is in use (there is one kernel)\n");
    abort();
  }
  gBooted = true;
  options_.seed = ResolveSeed(options.seed);
  previousOsVersion_ = sim::kernel::OsVersion();
  if (Simulated()) {
    // Kernel threads that ran in real time before stop while idle; they
    // start again in simulated time on their next use.
    std::vector<std::string> dropped;
    sim::kernel::StopKernelThreads(&dropped);
    for (const std::string& d : dropped) Problem("before the run: " + d);
    sim::clock::SimulatedOptions sim;
    sim.seed = options_.seed;
    sim.limit = options_.simulatedLimit;
    sim.preemption = options_.preemption;
    sim::clock::UseSimulatedTime(sim);
  }
  sim::kernel::SetOsVersion(options_.osVersion);
  sim::kernel::SetPerformanceFrequency(options_.performanceFrequency);
  sim::pool::ResetFaultInjection();
  baseline_ = std::make_unique<Census>(Census::Take());
}

Testbed::~Testbed() { Close(); }

NTSTATUS Testbed::LoadDriver() {
  if (driver_ != nullptr) return STATUS_SUCCESS;
  NTSTATUS status = sim::io::LoadDriver(DriverEntry, u"troxaudio", &driver_);
  if (!NT_SUCCESS(status)) driver_ = nullptr;
  return status;
}

void Testbed::UnloadDriver() {
  if (driver_ == nullptr) return;
  for (PluggedDevice& d : devices_) {
    if (d.pdo != nullptr && FunctionDevice(d.pdo) != nullptr) Stop(d.pdo);
  }
  PDRIVER_OBJECT driver = driver_;
  driver_ = nullptr;
  sim::io::UnloadDriver(driver);
}

sim::usb::UsbBus& Testbed::Bus() {
  if (!bus_) bus_ = std::make_unique<sim::usb::UsbBus>(options_.controller);
  return *bus_;
}

PDEVICE_OBJECT Testbed::Plug(std::unique_ptr<sim::usb::UsbAudioDevice> device) {
  if (!device) return nullptr;
  PDEVICE_OBJECT pdo = Plug(*device);
  devices_.back().owned = std::move(device);
  return pdo;
}

PDEVICE_OBJECT Testbed::Plug(sim::usb::UsbAudioDevice& device) {
  PDEVICE_OBJECT pdo = Bus().Plug(&device);
  devices_.push_back({nullptr, &device, pdo});
  return pdo;
}

PDEVICE_OBJECT Testbed::PlugModel(std::string_view name, std::string* error) {
  auto device = sim::usb::CreateModel(std::string(name));
  if (!device) {
    if (error) *error = "unknown device model '" + std::string(name) + "'";
    return nullptr;
  }
  return Plug(std::move(device));
}

PDEVICE_OBJECT Testbed::PlugDescriptors(const std::string& path, std::optional<sim::usb::Speed> speed,
                                        std::string* error) {
  sim::usb::LoadResult loaded = sim::usb::LoadDescriptorFile(path, speed);
  if (!loaded.ok) {
    if (error) *error = loaded.error;
    return nullptr;
  }
  return Plug(std::make_unique<sim::usb::UsbAudioDevice>(std::move(loaded.definition)));
}

sim::usb::UsbAudioDevice* Testbed::Device(PDEVICE_OBJECT pdo) const {
  for (const PluggedDevice& d : devices_) {
    if (d.pdo == pdo && pdo != nullptr) return d.device;
  }
  return nullptr;
}

sim::usb::DeviceSlot* Testbed::Slot(PDEVICE_OBJECT pdo) { return Bus().Slot(pdo); }

NTSTATUS Testbed::Start(PDEVICE_OBJECT pdo) {
  if (pdo == nullptr) return STATUS_NO_SUCH_DEVICE;
  if (NTSTATUS status = LoadDriver(); !NT_SUCCESS(status)) return status;
  const NTSTATUS status = sim::pnp::StartDevice(pdo, driver_);
  if (NT_SUCCESS(status)) {
    UNICODE_STRING reference;
    RtlInitUnicodeString(&reference, reinterpret_cast<PCWSTR>(kFilterReference));
    UNICODE_STRING link{};
    if (NT_SUCCESS(IoRegisterDeviceInterface(pdo, &kAudioInterfaceClass, &reference, &link))) {
      IoSetDeviceInterfaceState(&link, TRUE);
      RtlFreeUnicodeString(&link);
    }
  }
  return status;
}

PDEVICE_OBJECT Testbed::FunctionDevice(PDEVICE_OBJECT pdo) const {
  if (pdo == nullptr || driver_ == nullptr || sim::pnp::State(pdo) != sim::pnp::DeviceState::Started) return nullptr;
  for (PDEVICE_OBJECT d = pdo->AttachedDevice; d != nullptr; d = d->AttachedDevice) {
    if (d->DriverObject == driver_) return d;
  }
  return nullptr;
}

NTSTATUS Testbed::Stop(PDEVICE_OBJECT pdo) {
  if (pdo == nullptr) return STATUS_NO_SUCH_DEVICE;
  return sim::pnp::Remove(pdo);
}

bool Testbed::Unplug(PDEVICE_OBJECT pdo) {
  if (pdo == nullptr || !bus_) return false;
  if (sim::usb::UsbAudioDevice* device = Device(pdo); device != nullptr && bus_->Slot(pdo) != nullptr) {
    device->Unplug();
    RunFor(kUnplugFailingPackets);
  }
  bool gone = bus_->Unplug(pdo);
  if (gone) {
    for (PluggedDevice& d : devices_) {
      if (d.pdo == pdo) d.pdo = nullptr;
    }
  }
  return gone;
}

void Testbed::StallProcessor(int processor, int64_t duration) { sim::kernel::StallProcessor(processor, duration); }

void Testbed::DelayNextDpc(int processor, int64_t duration) { sim::kernel::DelayNextDpc(processor, duration); }

void Testbed::LimitPagesForMdl(SIZE_T bytes) { sim::io::LimitPagesForMdl(bytes); }

void Testbed::StartLateness(int64_t meanGap, int64_t maxLength) {
  StopLateness();
  if (meanGap <= 0 || maxLength <= 0) return;
  Bus();  // the bus exists before the schedule touches it
  latenessRunning_ = true;
  lateness_ = sim::clock::Thread("testbed lateness", [this, meanGap, maxLength] {
    sim::clock::Random random = sim::clock::Random("testbed lateness");
    std::unique_lock<sim::clock::Mutex> lock(latenessLock_);
    while (latenessRunning_) {
      const int64_t gap = 1 + static_cast<int64_t>(random.Below(static_cast<uint64_t>(2 * meanGap)));
      if (sim::clock::WaitUntil(latenessStop_, lock, sim::clock::Now() + gap, [this] { return !latenessRunning_; })) {
        break;
      }
      const int64_t length = 1 + static_cast<int64_t>(random.Below(static_cast<uint64_t>(maxLength)));
      const int processor = static_cast<int>(random.Below(sim::kernel::kProcessorCount));
      switch (random.Below(4)) {
        case 0: StallProcessor(processor, length); break;
        case 1: DelayNextDpc(processor, length); break;
        case 2: StallFrames(length); break;
        default: HoldCompletions(length); break;
      }
      ++latenessEvents_;
    }
  });
}

void Testbed::StopLateness() {
  {
    std::lock_guard<sim::clock::Mutex> lock(latenessLock_);
    if (!latenessRunning_) return;
    latenessRunning_ = false;
    latenessStop_.NotifyAll();
  }
  lateness_.Join();
}

void Testbed::Problem(const std::string& problem) { problems_.push_back(problem); }

std::vector<std::string> Testbed::Close() {
  if (closed_) return problems_;
  closed_ = true;
  StopLateness();

  // Devices go first (orderly where they run), then the driver, then the bus.
  for (PluggedDevice& d : devices_) {
    if (d.pdo == nullptr) continue;
    if (sim::pnp::State(d.pdo) == sim::pnp::DeviceState::Started) {
      NTSTATUS status = Stop(d.pdo);
      if (!NT_SUCCESS(status)) {
        char text[96];
        snprintf(text, sizeof text, "removing a device at teardown failed with 0x%08X", static_cast<unsigned>(status));
        Problem(text);
      }
    }
    if (!bus_->Unplug(d.pdo)) Problem("a device did not go away at teardown (its removal never completed)");
    d.pdo = nullptr;
  }
  UnloadDriver();
  bus_.reset();
  devices_.clear();
  sim::kernel::DrainSystemWork();

  // Threads still running hold on to everything else: report them first.
  Census now = Census::Take();
  auto grew = [&](size_t before, size_t after, const char* what) {
    if (after <= before) return;
    char text[160];
    snprintf(text, sizeof text, "%zu %s left behind", after - before, what);
    std::string message = text;
    if (std::string_view(what) == "pool block(s)") message += ":\n" + sim::pool::DumpOutstanding();
    Problem(message);
  };
  if (now.systemThreads > baseline_->systemThreads)
    grew(baseline_->systemThreads, now.systemThreads, "system thread(s) still running");
  // Kernel threads stop now; a DPC still queued or a timer still set is
  // reported (and dropped: its owner is gone).
  std::vector<std::string> dropped;
  sim::kernel::StopKernelThreads(&dropped);
  for (const std::string& d : dropped) Problem(d + " at teardown");
  if (Simulated() && sim::clock::ParticipantCount() > 1) {
    Problem("threads still take part in the clock:\n" + sim::clock::DescribeThreads());
  }
  grew(baseline_->poolBlocks, now.poolBlocks, "pool block(s)");
  grew(baseline_->irps, now.irps, "IRP(s)");
  grew(baseline_->mdls, now.mdls, "MDL(s)");
  grew(baseline_->workItems, now.workItems, "work item(s)");
  grew(baseline_->handles, now.handles, "kernel handle(s)");
  grew(baseline_->objects, now.objects, "referenced object(s)");
  grew(baseline_->lookasideLists, now.lookasideLists, "lookaside list(s) not deleted");
  grew(baseline_->timerResolutionRequests, now.timerResolutionRequests, "timer resolution request(s)");

  sim::pool::ResetFaultInjection();
  sim::io::LimitPagesForMdl(0);
  sim::kernel::SetOsVersion(previousOsVersion_);
  sim::kernel::SetPerformanceFrequency(0);
  if (Simulated()) sim::clock::UseRealTime();
  gBooted = false;

  for (const std::string& p : problems_) {
    std::string message = p + " (seed " + std::to_string(options_.seed) + ")";
    if (options_.fail) {
      options_.fail(message);
    } else {
      fprintf(stderr, "TESTBED: %s\n", message.c_str());
    }
  }
  if (!problems_.empty() && !options_.fail) {
    fflush(stderr);
    abort();
  }
  return problems_;
}

}  // namespace sim::testbed
