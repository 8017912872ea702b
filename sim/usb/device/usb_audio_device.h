// A simulated USB Audio Class 1.0/2.0 device. Its behaviour comes from parsing
// its own descriptors, so a loaded dump of a real device behaves as well as a
// built-in model. Thread-safe: the bus thread streams while tests control it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "sim/usb/device/audio_controls.h"
#include "sim/usb/device/capture_stream.h"
#include "sim/usb/device/descriptor_parser.h"
#include "sim/usb/device/device_clock.h"
#include "sim/usb/device/device_definition.h"
#include "sim/usb/device/fault_injector.h"
#include "sim/usb/device/loopback_line.h"
#include "sim/usb/device/playback_stream.h"
#include "sim/usb/device/string_table.h"
#include "sim/usb/device/usb_device.h"

namespace sim::usb {

struct StreamInfo {
  uint8_t interfaceNumber = 0;
  bool playback = false;
  uint8_t alternate = 0;
  uint8_t dataEndpoint = 0;      // of the current alternate; 0 when idle
  uint8_t feedbackEndpoint = 0;  // of the current alternate; 0 when none
  uint32_t channels = 0;
  uint32_t subslotBytes = 0;
  uint32_t rate = 0;  // the rate the stream runs at now
};

struct DeviceCounters {
  uint64_t controlRequests = 0;
  uint64_t controlStalls = 0;  // every stalled request, injected ones included
  uint64_t injectedStalls = 0;
  uint64_t unknownEndpointPackets = 0;  // packets for an endpoint not in the current settings
};

class UsbAudioDevice : public UsbDevice {
 public:
  explicit UsbAudioDevice(DeviceDefinition definition);

  // UsbDevice
  Speed GetSpeed() const override { return def_.speed; }
  bool IsAttached() const override;
  XferResult Control(const SetupPacket& setup, uint8_t* data, uint32_t* actual) override;
  void OnBusInterval(uint64_t interval) override;
  bool WantsBusIntervals() const override;
  XferResult PacketOut(uint8_t endpointAddress, const uint8_t* data, uint32_t length) override;
  XferResult PacketIn(uint8_t endpointAddress, uint8_t* data, uint32_t maxLength, uint32_t* actual) override;
  const std::vector<uint8_t>& DeviceDescriptor() const override { return def_.deviceDescriptor; }
  const std::vector<uint8_t>& ConfigurationDescriptor() const override { return def_.configurationDescriptor; }

  // Identity (fixed at construction).
  const std::string& Name() const { return def_.name; }
  uint16_t VendorId() const;
  uint16_t ProductId() const;
  std::string SerialNumber() const;
  const AudioFunctionInfo& Function() const { return info_; }
  const DeviceDefinition& Definition() const { return def_; }

  // State as the host left it.
  uint8_t CurrentConfiguration() const;
  uint8_t CurrentAlternate(uint8_t interfaceNumber) const;
  uint16_t StreamMode(uint8_t interfaceNumber) const;
  uint32_t ClockRate(uint8_t clockId) const;
  uint32_t EndpointRate(uint8_t endpointAddress) const;  // 1.0 sampling frequency set by the host
  uint8_t SelectorInput(uint8_t selectorId) const;
  bool Mute(uint8_t unitId, uint8_t channel) const;
  int16_t Volume(uint8_t unitId, uint8_t channel) const;
  std::vector<StreamInfo> Streams() const;

  // Controls for tests.
  void SetDriftPpm(double ppm);
  double DriftPpm() const;
  void SetClockValid(uint8_t clockId, bool valid);
  bool ClockValid(uint8_t clockId) const;
  void SetConnectorConnected(uint8_t terminalId, bool connected);
  // Playback buffer start level and capacity in frames (0: defaults).
  void SetBufferLevels(uint32_t startFrames, uint32_t capacityFrames);
  void SetCaptureSource(CaptureSource source);
  void SetSineFrequency(double hz);
  void SetLoopbackDelay(uint32_t frames);
  // Capture channel c takes playback channel map[c] (-1: silence).
  void SetLoopbackMap(std::vector<int> map);
  void SetRecordingCap(uint64_t frames);
  Recording GetRecording(uint8_t interfaceNumber) const;
  void ClearRecording(uint8_t interfaceNumber);

  // Observation.
  StreamCounters Counters(uint8_t interfaceNumber) const;
  StreamCounters PlaybackCounters() const;  // first playback interface
  StreamCounters CaptureCounters() const;   // first capture interface
  DeviceCounters GetDeviceCounters() const;
  uint64_t LastInterval() const;

  // Fault injection.
  void StallControl(const ControlFilter& filter);
  void ClearControlStalls();
  void InjectPacketErrors(uint8_t endpointAddress, uint32_t count);
  void DropInPackets(uint8_t endpointAddress, uint32_t count);
  void GlitchPacketSize(uint8_t endpointAddress, int32_t deltaBytes, uint32_t count);
  void ForgeFeedback(uint8_t endpointAddress, FeedbackForgery kind, uint32_t count);
  void Unplug();

 private:
  XferResult Standard(const SetupPacket& s, uint8_t* data, uint32_t* actual);
  XferResult GetDescriptor(const SetupPacket& s, uint8_t* data, uint32_t* actual);
  void SetConfiguration(uint8_t value);
  void SelectAlternate(uint8_t interfaceNumber, uint8_t alternate);
  bool EndpointActive(uint8_t address) const;
  PlaybackStream* PlaybackByData(uint8_t address);
  PlaybackStream* PlaybackByFeedback(uint8_t address);
  CaptureStream* CaptureByData(uint8_t address);
  void ResetLoopback();

  const DeviceDefinition def_;
  const AudioFunctionInfo info_;
  const StringTable strings_;
  mutable std::mutex mutex_;
  AudioControls controls_;
  DeviceClock clock_;
  FaultInjector faults_;
  std::vector<PlaybackStream> playback_;
  std::vector<CaptureStream> capture_;
  LoopbackLine loopback_;
  uint32_t loopbackDelay_ = 0;
  CaptureContent content_;
  std::vector<int32_t> played_;

  uint8_t configuration_ = 0;
  std::map<uint8_t, uint8_t> alternates_;
  std::set<uint8_t> halted_;
  bool remoteWakeup_ = false;
  bool haveInterval_ = false;
  uint64_t lastInterval_ = 0;
  DeviceCounters deviceCounters_;
};

}  // namespace sim::usb
