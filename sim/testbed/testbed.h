// The one way to assemble the stack for a test, the simulator or the fuzzer:
// boot the kernel stand-in (in simulated or real time), load troxaudio, plug
// simulated devices into a simulated USB bus and let the PnP manager start
// them through the driver's AddDevice and StartDevice, run, unplug or stop,
// unload, and at teardown check that nothing was left behind: pool, IRPs,
// MDLs, work items, handles, object references, timers, DPCs, threads,
// lookaside lists and timer-resolution requests.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/kernel/core/clock.h"
#include "sim/usb/bus/host_controller.h"
#include "sim/usb/bus/usb_bus.h"
#include "sim/usb/device/usb_audio_device.h"

namespace sim::testbed {

enum class Time { kReal, kSimulated };

// KSCATEGORY_AUDIO, and the reference string of troxaudio's filter.
inline constexpr GUID kAudioInterfaceClass = {
    0x6994AD04, 0x93EF, 0x11D0, {0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
inline constexpr char16_t kFilterReference[] = u"{5D96CF7F-265B-4da9-8F0C-26EF4243ED52}";

// The seed of simulated runs that do not choose one (TROX_SEED overrides it).
inline constexpr uint64_t kDefaultSeed = 1;

struct Options {
  Time time = Time::kSimulated;
  // 0: TROX_SEED from the environment, else kDefaultSeed.
  uint64_t seed = 0;
  // Chance, in 1/65536, that a spin-lock acquisition or release hands the
  // processor to another runnable thread (simulated time).
  uint32_t preemption = 4096;
  // Simulated time after which a run counts as hung.
  int64_t simulatedLimit = 3600 * sim::clock::kTicksPerSecond;
  ULONG osVersion = NTDDI_WIN10;
  int64_t performanceFrequency = 10'000'000;
  sim::usb::ControllerInfo controller;
  // How teardown problems are reported (one message each); by default they
  // are printed and the process stops.
  std::function<void(const std::string& problem)> fail;
};

class Testbed {
 public:
  explicit Testbed(const Options& options = {});
  // Close(), if it did not run yet.
  ~Testbed();
  Testbed(const Testbed&) = delete;
  Testbed& operator=(const Testbed&) = delete;

  bool Simulated() const { return options_.time == Time::kSimulated; }
  // The seed in use (also in real time, for the stand-ins' random streams).
  uint64_t Seed() const { return options_.seed; }

  // troxaudio: loads it (once) through its DriverEntry.
  NTSTATUS LoadDriver();
  PDRIVER_OBJECT Driver() const { return driver_; }
  // Unloads troxaudio (the loader checks what it left behind). Devices it
  // still drives are removed first.
  void UnloadDriver();

  // The simulated bus, created on first use.
  sim::usb::UsbBus& Bus();
  // Plugs a device into the bus; the testbed keeps it until teardown. Null
  // if the bus refuses it.
  PDEVICE_OBJECT Plug(std::unique_ptr<sim::usb::UsbAudioDevice> device);
  // The same for a device the caller keeps; it must outlive Close().
  PDEVICE_OBJECT Plug(sim::usb::UsbAudioDevice& device);
  // A built-in model (null, with *error set, for unknown names).
  PDEVICE_OBJECT PlugModel(std::string_view name, std::string* error = nullptr);
  // A descriptor file (sysfs bytes or hex text), optionally at another speed.
  PDEVICE_OBJECT PlugDescriptors(const std::string& path, std::optional<sim::usb::Speed> speed = std::nullopt,
                                 std::string* error = nullptr);
  sim::usb::UsbAudioDevice* Device(PDEVICE_OBJECT pdo) const;
  sim::usb::DeviceSlot* Slot(PDEVICE_OBJECT pdo);

  // The PnP manager starts the device with troxaudio (loaded if it is not):
  // AddDevice, then IRP_MN_START_DEVICE. A started device gets the audio
  // interface (KSCATEGORY_AUDIO, the WaveRT filter's name as reference
  // string) that port class registers with the filter; troxaudio registers
  // no filter yet, so the testbed stands in for that registration.
  NTSTATUS Start(PDEVICE_OBJECT pdo);
  // troxaudio's device object on a started device (null otherwise).
  PDEVICE_OBJECT FunctionDevice(PDEVICE_OBJECT pdo) const;
  // Orderly removal through the PnP manager (query-remove, remove).
  NTSTATUS Stop(PDEVICE_OBJECT pdo);
  // The device is pulled out, as a sequence: for a few milliseconds its
  // packets fail, then what is queued completes cancelled and new requests
  // fail as device-gone (see HostController::SetDeviceGoneStatus), then the
  // surprise removal. False if the removal never completed.
  bool Unplug(PDEVICE_OBJECT pdo);

  // The calling thread sleeps on the clock.
  void RunFor(int64_t duration) { sim::clock::SleepFor(duration); }

  // Injected lateness (code costs no time in simulated time): a processor
  // runs no DPC for `duration`; its next DPC runs `duration` late; the bus
  // processes no frame for `duration` (the frames then come late, in a
  // burst); finished transfers are held back for `duration`.
  void StallProcessor(int processor, int64_t duration);
  void DelayNextDpc(int processor, int64_t duration);
  void StallFrames(int64_t duration) { Bus().Controller().StallFrames(duration); }
  void HoldCompletions(int64_t duration) { Bus().Controller().HoldCompletions(duration); }
  // A seeded random schedule of all four for soak runs: on average one event
  // per `meanGap`, each lasting up to `maxLength`. Runs on its own clock
  // thread until Close() or StopLateness().
  void StartLateness(int64_t meanGap, int64_t maxLength);
  void StopLateness();
  // MmAllocatePagesForMdl hands out at most `bytes` until Close() (0: no
  // limit), as on a machine short of memory.
  void LimitPagesForMdl(SIZE_T bytes);
  // Lateness events injected so far.
  uint64_t LatenessEvents() const { return latenessEvents_; }

  // Tears everything down and checks it. Returns the problems found (they
  // were also reported through Options::fail). Runs once.
  std::vector<std::string> Close();

 private:
  void Problem(const std::string& problem);
  struct Census;
  struct PluggedDevice {
    std::unique_ptr<sim::usb::UsbAudioDevice> owned;
    sim::usb::UsbAudioDevice* device = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
  };

  Options options_;
  std::unique_ptr<Census> baseline_;
  std::unique_ptr<sim::usb::UsbBus> bus_;
  std::vector<PluggedDevice> devices_;
  PDRIVER_OBJECT driver_ = nullptr;
  ULONG previousOsVersion_ = 0;
  bool closed_ = false;
  sim::clock::Thread lateness_;
  sim::clock::Condition latenessStop_{"testbed lateness stop"};
  sim::clock::Mutex latenessLock_;
  bool latenessRunning_ = false;
  uint64_t latenessEvents_ = 0;
  std::vector<std::string> problems_;
};

// The seed a testbed with these options uses.
uint64_t ResolveSeed(uint64_t requested);

}  // namespace sim::testbed
