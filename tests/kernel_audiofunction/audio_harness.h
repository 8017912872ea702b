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

class AudioHarness {
 public:
  explicit AudioHarness(std::unique_ptr<sim::usb::UsbAudioDevice> device, bool configure = false);
  ~AudioHarness();
  AudioHarness(const AudioHarness&) = delete;
  AudioHarness& operator=(const AudioHarness&) = delete;

  CUSBAudioCL& Audio() { return *audio_; }
  sim::usb::UsbAudioDevice& Device() { return usb_.Device(); }
  usbtest::Spy& Spy() { return usb_.SpyFilter(); }
  NTSTATUS AttachStatus() const { return attachStatus_; }
  // Class requests to the audio-control interface seen so far.
  size_t ClassRequests() { return usb_.SpyFilter().Count(URB_FUNCTION_CLASS_INTERFACE); }

 private:
  usbtest::Harness usb_;
  CUSBAudioCL* audio_ = nullptr;
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

// Completes a class request from the spy with `answer` (and its length).
void AnswerClassRequests(usbtest::Spy& spy, uint8_t request, uint8_t selector, std::vector<uint8_t> answer);

// A RANGE answer of a 4-byte control.
std::vector<uint8_t> RangeAnswer(const std::vector<sim::usb::RateRange>& ranges, int count = -1);

}  // namespace audiotest
