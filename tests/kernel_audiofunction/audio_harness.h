// A CUSBAudioCL on a simulated device: the USB layer's harness provides the
// bus, the spy filter and the function device object; the audio function
// attaches to the filter.
#pragma once

#include "platform.h"
#include "audiofunction/usb_audio_cl.h"

#include <cstdint>
#include <memory>
#include <vector>

#include "sim/usb/device/descriptor_builder.h"
#include "usb_harness.h"

namespace audiotest {

// What the last isochronous IN transfer looked like after the audio
// function's completion check, before the generic completion packs it.
struct CheckedTransfer {
  NTSTATUS status = STATUS_PENDING;
  ULONG transferLength = 0;
  std::vector<ULONG> packetLengths;
};

class RecordingAudioCL : public CUSBAudioCL {
 public:
  NTSTATUS CheckCompletedTransfer(NTSTATUS Status, PURB Urb, TransferContext* Context) override;
  CheckedTransfer Last() const { return last_; }

 private:
  CheckedTransfer last_;  // written before the callback runs
};

class AudioHarness {
 public:
  explicit AudioHarness(std::unique_ptr<sim::usb::UsbAudioDevice> device, bool configure = false);
  ~AudioHarness();
  AudioHarness(const AudioHarness&) = delete;
  AudioHarness& operator=(const AudioHarness&) = delete;

  RecordingAudioCL& Audio() { return *audio_; }
  sim::usb::UsbAudioDevice& Device() { return usb_.Device(); }
  usbtest::Spy& Spy() { return usb_.SpyFilter(); }
  NTSTATUS AttachStatus() const { return attachStatus_; }
  // Class requests to the audio-control interface seen so far.
  size_t ClassRequests() { return usb_.SpyFilter().Count(URB_FUNCTION_CLASS_INTERFACE); }

 private:
  usbtest::Harness usb_;
  RecordingAudioCL* audio_ = nullptr;
  NTSTATUS attachStatus_ = STATUS_UNSUCCESSFUL;
};

// A device descriptor of a composite audio device.
std::vector<uint8_t> AudioDeviceDescriptor(uint16_t vendor = 0x1234, uint16_t product = 0x5678,
                                           uint16_t bcdUSB = 0x0200);
std::unique_ptr<sim::usb::UsbAudioDevice> Device(const sim::usb::ConfigurationBuilder& config,
                                                 sim::usb::Speed speed = sim::usb::Speed::High,
                                                 uint16_t vendor = 0x1234, uint16_t product = 0x5678,
                                                 std::vector<sim::usb::RateRange> ranges = {});

// Builders of the descriptor sets real devices ship.
// Class 2.0, one clock source (ID 10, bmControls `clockControls`), a stereo
// playback path IT 1 -> FU 2 -> OT 3 and a stereo capture path IT 4 -> OT 6;
// interface 1 playback, 2 capture, alternates 1 (24-bit) and 2 (16-bit).
sim::usb::ConfigurationBuilder Uac2Stereo(uint8_t clockControls = 0x07, bool feedback = true,
                                          uint8_t dataInterval = 1);
// Class 1.0, full speed, IT 1 -> FU 2 -> OT 3 playback and IT 4 -> OT 5
// capture; playback endpoint 0x01 with feedback 0x81 (bRefresh `refresh`).
sim::usb::ConfigurationBuilder Uac1Stereo(uint8_t refresh = 2, bool capture = true);

// Class 2.0 audio-control interface 0: clock source 10, terminals 1 -> 3
// (playback) and 4 -> 6 (capture).
sim::usb::ConfigurationBuilder Uac2Control();
// Class 1.0 audio-control interface 0: terminals 1 -> 3.
sim::usb::ConfigurationBuilder Uac1Control();
// A class 2.0 streaming interface with alternates 0 and 1 (one endpoint).
void Uac2Playback(sim::usb::ConfigurationBuilder& c, uint8_t number, uint8_t endpoint = 0x01, uint8_t link = 1);

// Completes a class request from the spy with `answer` (and its length).
void AnswerClassRequests(usbtest::Spy& spy, uint8_t request, uint8_t selector, std::vector<uint8_t> answer);

// A RANGE answer of a 4-byte control.
std::vector<uint8_t> RangeAnswer(const std::vector<sim::usb::RateRange>& ranges, int count = -1);

}  // namespace audiotest
