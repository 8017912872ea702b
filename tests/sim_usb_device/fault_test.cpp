// Fault injection: stalled requests, packet errors, unanswered packets, size
// glitches, unplugging; and the device used from several threads at once.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "device_host.h"
#include "sim/usb/device/device_models.h"

namespace sim::usb {
namespace {

using testing::DeviceHost;

struct Running {
  Running() : dev(CreateModel("oxley-2x2")), host(*dev) {
    host.SetConfiguration(1);
    host.SetInterface(1, 1);
    host.SetInterface(2, 1);
  }
  std::unique_ptr<UsbAudioDevice> dev;
  DeviceHost host;
};

TEST(Faults, StalledControlRequests) {
  Running r;
  ControlFilter once;
  once.bRequest = 0x06;
  once.wValue = 0x0100;
  r.dev->StallControl(once);
  EXPECT_EQ(r.host.In(0x80, 0x06, 0x0200, 0, 9).result, XferResult::Ok);  // does not match
  EXPECT_EQ(r.host.In(0x80, 0x06, 0x0100, 0, 18).result, XferResult::Stall);
  EXPECT_EQ(r.host.In(0x80, 0x06, 0x0100, 0, 18).result, XferResult::Ok);
  ControlFilter always;
  always.bmRequestType = 0x21;
  always.once = false;
  r.dev->StallControl(always);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(r.host.SetRate2(10, 44100), XferResult::Stall);
  EXPECT_EQ(r.dev->ClockRate(10), 48000u);  // a stalled request changes nothing
  r.dev->ClearControlStalls();
  EXPECT_EQ(r.host.SetRate2(10, 44100), XferResult::Ok);
  DeviceCounters c = r.dev->GetDeviceCounters();
  EXPECT_EQ(c.injectedStalls, 4u);
  EXPECT_GE(c.controlStalls, 4u);
}

TEST(Faults, PacketErrorsAndDrops) {
  Running r;
  r.dev->InjectPacketErrors(0x82, 2);
  r.dev->DropInPackets(0x81, 1);
  r.dev->InjectPacketErrors(0x01, 1);
  XferResult res;
  for (int i = 0; i < 2; ++i) {
    r.host.Tick();
    EXPECT_TRUE(r.host.In(0x82, 1024, &res).empty());
    EXPECT_EQ(res, XferResult::PacketError);
  }
  r.host.Tick();
  EXPECT_EQ(r.host.In(0x82, 1024, &res).size(), 36u);
  EXPECT_EQ(res, XferResult::Ok);
  StreamCounters cap = r.dev->CaptureCounters();
  EXPECT_EQ(cap.injectedPacketErrors, 2u);
  EXPECT_EQ(cap.droppedFrames, 12u);  // the frames of the corrupted packets are gone
  r.host.In(0x81, 4, &res);
  EXPECT_EQ(res, XferResult::NotResponding);
  r.host.In(0x81, 4, &res);
  EXPECT_EQ(res, XferResult::Ok);
  EXPECT_EQ(r.host.Out(0x01, std::vector<uint8_t>(36, 0)), XferResult::PacketError);
  EXPECT_EQ(r.host.Out(0x01, std::vector<uint8_t>(36, 0)), XferResult::Ok);
  StreamCounters play = r.dev->PlaybackCounters();
  EXPECT_EQ(play.framesReceived, 6u);
  EXPECT_EQ(play.injectedPacketErrors, 1u);
  EXPECT_EQ(play.injectedDrops, 1u);
}

TEST(Faults, PacketSizeGlitches) {
  Running r;
  XferResult res;
  // Longer than the host's buffer: cut to it and reported like babble.
  r.dev->GlitchPacketSize(0x82, 5, 1);
  r.host.Tick();
  auto p = r.host.In(0x82, 36, &res);
  EXPECT_EQ(res, XferResult::PacketError);
  EXPECT_EQ(p.size(), 36u);
  EXPECT_EQ(r.dev->CaptureCounters().babblePackets, 1u);
  // Within the buffer the host simply sees an odd packet size.
  r.dev->GlitchPacketSize(0x82, 3, 1);
  r.host.Tick();
  p = r.host.In(0x82, 1024, &res);
  EXPECT_EQ(res, XferResult::Ok);
  ASSERT_EQ(p.size(), 39u);
  EXPECT_EQ(p[38], 0xA5);
  r.dev->GlitchPacketSize(0x82, -36, 1);
  r.host.Tick();
  EXPECT_TRUE(r.host.In(0x82, 1024, &res).empty());
  r.host.Tick();
  EXPECT_EQ(r.host.In(0x82, 1024, &res).size(), 36u);
  // A feedback packet one byte short.
  r.dev->GlitchPacketSize(0x81, -1, 1);
  EXPECT_EQ(r.host.In(0x81, 4, &res).size(), 3u);
}

TEST(Faults, UnplugSilencesEverything) {
  Running r;
  EXPECT_TRUE(r.dev->IsAttached());
  r.dev->Unplug();
  EXPECT_FALSE(r.dev->IsAttached());
  EXPECT_EQ(r.host.In(0x80, 0x06, 0x0100, 0, 18).result, XferResult::NotResponding);
  r.host.Tick();
  XferResult res;
  r.host.In(0x82, 1024, &res);
  EXPECT_EQ(res, XferResult::NotResponding);
  EXPECT_EQ(r.host.Out(0x01, std::vector<uint8_t>(36, 0)), XferResult::NotResponding);
  EXPECT_EQ(r.dev->PlaybackCounters().packets, 0u);
}

TEST(Faults, MissingBuffersAreRefusedNotTouched) {
  Running r;
  r.host.Tick();
  uint32_t actual = 99;
  EXPECT_EQ(r.dev->PacketIn(0x82, nullptr, 1024, &actual), XferResult::Ok);
  EXPECT_EQ(actual, 0u);
  EXPECT_EQ(r.dev->CaptureCounters().droppedFrames, 6u);
  EXPECT_EQ(r.dev->PacketOut(0x01, nullptr, 36), XferResult::Ok);
  EXPECT_EQ(r.dev->PlaybackCounters().framesReceived, 0u);
  SetupPacket get{0x80, 0x06, 0x0100, 0, 18};
  EXPECT_EQ(r.dev->Control(get, nullptr, &actual), XferResult::Stall);
}

TEST(Faults, BusThreadAndControlThreadsTogether) {
  Running r;
  std::atomic<bool> stop{false};
  std::thread bus([&] {
    DeviceHost h(*r.dev);
    std::vector<uint8_t> frames(36, 1);
    for (int i = 0; i < 20000; ++i) {
      h.Tick();
      h.Out(0x01, frames);
      h.In(0x82, 1024);
      if (i % 8 == 0) h.In(0x81, 4);
    }
    stop = true;
  });
  std::thread control([&] {
    DeviceHost h(*r.dev);
    int n = 0;
    while (!stop) {
      h.SetRate2(10, n % 2 ? 44100 : 48000);
      h.Ac2Get(0x01, 0x01, 0, 10, 4);
      h.SetInterface(2, static_cast<uint8_t>(1 + n % 2));
      r.dev->SetDriftPpm(n % 100);
      r.dev->PlaybackCounters();
      r.dev->GetRecording(1);
      ++n;
    }
  });
  bus.join();
  control.join();
  EXPECT_EQ(r.dev->LastInterval(), 19999u);
}

}  // namespace
}  // namespace sim::usb
