// Device clock, feedback, playback buffer, loopback and capture content,
// driven interval by interval as the bus would.
#include <gtest/gtest.h>

#include <cmath>

#include "device_host.h"
#include "sim/usb/device/device_models.h"
#include "sim/usb/device/sample_codec.h"

namespace sim::usb {
namespace {

using testing::DeviceHost;

constexpr uint8_t kPlayEp = 0x01;
constexpr uint8_t kFeedbackEp = 0x81;
constexpr uint8_t kCaptureEp = 0x82;

struct Streaming {
  explicit Streaming(const char* model, uint8_t playAlt = 1, uint8_t captureAlt = 1)
      : dev(CreateModel(model)), host(*dev) {
    EXPECT_EQ(host.SetConfiguration(1), XferResult::Ok);
    if (playAlt) {
      EXPECT_EQ(host.SetInterface(1, playAlt), XferResult::Ok);
    }
    if (captureAlt) {
      EXPECT_EQ(host.SetInterface(2, captureAlt), XferResult::Ok);
    }
  }
  // Playback frames of a 2-channel 24-bit stream: channel 0 carries the frame
  // number (from 1), channel 1 twice that.
  std::vector<uint8_t> Frames(uint32_t count) {
    std::vector<uint8_t> out(count * 6);
    for (uint32_t i = 0; i < count; ++i) {
      ++sent;
      PutLe24(&out[i * 6], sent & 0xFFFFFF);
      PutLe24(&out[i * 6 + 3], (2 * sent) & 0xFFFFFF);
    }
    return out;
  }
  std::unique_ptr<UsbAudioDevice> dev;
  DeviceHost host;
  uint32_t sent = 0;
};

uint32_t ReadFeedback(DeviceHost& host, uint32_t bytes) {
  XferResult r;
  auto v = host.In(kFeedbackEp, bytes, &r);
  EXPECT_EQ(r, XferResult::Ok);
  EXPECT_EQ(v.size(), bytes);
  return bytes == 3 ? Le24(v.data()) : Le32(v.data());
}

TEST(DeviceClock, FeedbackValueFollowsDrift) {
  Streaming hs("oxley-2x2");
  hs.host.Tick();
  EXPECT_EQ(ReadFeedback(hs.host, 4), 6u << 16);  // 48 kHz: 6 frames per microframe, 16.16
  hs.dev->SetDriftPpm(100);
  EXPECT_EQ(ReadFeedback(hs.host, 4), static_cast<uint32_t>(std::lround(6.0006 * 65536)));
  EXPECT_EQ(hs.dev->PlaybackCounters().feedbackPackets, 2u);
  // The part below the last bit is carried: the mean is the true rate.
  uint64_t sum = 0;
  for (int i = 0; i < 1000; ++i) sum += ReadFeedback(hs.host, 4);
  EXPECT_NEAR(static_cast<double>(sum) / 1000, 6.0006 * 65536, 0.002);

  Streaming fs("uac1-feedback");
  ASSERT_EQ(fs.host.Out(0x22, 0x01, 0x0100, kPlayEp, {0x44, 0xAC, 0x00}), XferResult::Ok);
  fs.host.Tick();
  EXPECT_EQ(ReadFeedback(fs.host, 3), 0x0B0666u);  // 44.1 frames per ms in 10.14
  fs.dev->SetDriftPpm(-200);
  EXPECT_EQ(ReadFeedback(fs.host, 3), static_cast<uint32_t>(std::lround(44.1 * (1 - 200e-6) * 16384)));
}

TEST(DeviceClock, CapturePacketsAverageTheDeviceRate) {
  Streaming s("oxley-2x2", 0, 1);
  ASSERT_EQ(s.host.SetRate2(10, 44100), XferResult::Ok);
  s.dev->SetDriftPpm(50);
  uint64_t frames = 0;
  for (int i = 0; i < 80000; ++i) {  // ten seconds of microframes
    s.host.Tick();
    const size_t bytes = s.host.In(kCaptureEp, 1024).size();
    ASSERT_EQ(bytes % 6, 0u);
    ASSERT_TRUE(bytes == 30 || bytes == 36) << bytes;  // 5 or 6 frames
    frames += bytes / 6;
  }
  EXPECT_NEAR(static_cast<double>(frames), 441000 * 1.00005, 1.0);
  EXPECT_EQ(s.dev->CaptureCounters().framesSent, frames);
  EXPECT_EQ(s.dev->CaptureCounters().droppedFrames, 0u);
}

TEST(PlaybackBuffer, StartLevelUnderrunAndOverrun) {
  Streaming s("oxley-2x2", 1, 0);
  StreamCounters c = s.dev->PlaybackCounters();
  EXPECT_EQ(c.startLevel, 12u);  // two microframes of 6 frames
  EXPECT_EQ(c.capacity, 24u);
  s.host.Tick();
  s.host.Out(kPlayEp, s.Frames(6));
  EXPECT_FALSE(s.dev->PlaybackCounters().started);
  s.host.Tick();
  s.host.Out(kPlayEp, s.Frames(6));
  EXPECT_TRUE(s.dev->PlaybackCounters().started);
  for (int i = 0; i < 8000; ++i) {
    s.host.Tick();
    s.host.Out(kPlayEp, s.Frames(6));
  }
  c = s.dev->PlaybackCounters();
  EXPECT_EQ(c.underrunFrames, 0u);
  EXPECT_EQ(c.overrunFrames, 0u);
  EXPECT_EQ(c.framesConsumed, 6u * 8000);
  EXPECT_EQ(c.framesReceived, 6u * 8002);
  EXPECT_EQ(c.packetSizes[36], 8002u);
  // The host stops sending: two intervals drain the buffer, the rest underrun.
  for (int i = 0; i < 10; ++i) s.host.Tick();
  EXPECT_EQ(s.dev->PlaybackCounters().underrunFrames, 6u * 8);

  // A new alternate setting starts over; then the host sends too much.
  ASSERT_EQ(s.host.SetInterface(1, 0), XferResult::Ok);
  ASSERT_EQ(s.host.SetInterface(1, 1), XferResult::Ok);
  c = s.dev->PlaybackCounters();
  EXPECT_FALSE(c.started);
  EXPECT_EQ(c.underrunFrames, 0u);
  EXPECT_EQ(c.framesReceived, 0u);
  for (int i = 0; i < 100; ++i) {
    s.host.Tick();
    s.host.Out(kPlayEp, s.Frames(13));
  }
  c = s.dev->PlaybackCounters();
  EXPECT_EQ(c.framesReceived, 1300u);
  EXPECT_EQ(c.bufferedFrames, 24u);
  EXPECT_EQ(c.framesReceived, c.framesConsumed + c.overrunFrames + c.bufferedFrames);
  EXPECT_GT(c.overrunFrames, 600u);
}

TEST(PlaybackBuffer, LevelsFollowRateAndSettings) {
  Streaming fs("uac1-feedback", 1, 0);
  ASSERT_EQ(fs.host.Out(0x22, 0x01, 0x0100, kPlayEp, {0x44, 0xAC, 0x00}), XferResult::Ok);
  fs.host.Tick();
  EXPECT_EQ(fs.dev->PlaybackCounters().startLevel, 90u);  // two 1 ms frames of 45
  EXPECT_EQ(fs.dev->PlaybackCounters().capacity, 180u);
  fs.dev->SetBufferLevels(30, 40);
  fs.host.Tick();
  EXPECT_EQ(fs.dev->PlaybackCounters().startLevel, 30u);
  EXPECT_EQ(fs.dev->PlaybackCounters().capacity, 40u);
  Streaming hs("oxley-2x2", 0, 0);
  ASSERT_EQ(hs.host.SetRate2(10, 96000), XferResult::Ok);
  ASSERT_EQ(hs.host.SetInterface(1, 1), XferResult::Ok);
  EXPECT_EQ(hs.dev->PlaybackCounters().startLevel, 24u);
}

// A host that paces playback from the explicit feedback, like the driver.
void RunFeedbackHost(Streaming& s, int intervals, bool followFeedback) {
  uint32_t rate = 6u << 16;
  uint32_t acc = 0;
  for (int i = 0; i < intervals; ++i) {
    s.host.Tick();
    if (followFeedback && i % 8 == 0) rate = ReadFeedback(s.host, 4);
    acc += rate;
    s.host.Out(kPlayEp, s.Frames(acc >> 16));
    acc &= 0xFFFF;
  }
}

TEST(PlaybackBuffer, HostFollowingFeedbackKeepsTheBufferSteady) {
  for (double ppm : {300.0, -300.0}) {
    Streaming s("oxley-2x2", 1, 0);
    s.dev->SetDriftPpm(ppm);
    RunFeedbackHost(s, 16000, true);
    StreamCounters c = s.dev->PlaybackCounters();
    EXPECT_TRUE(c.started);
    EXPECT_EQ(c.underrunFrames, 0u) << ppm;
    EXPECT_EQ(c.overrunFrames, 0u) << ppm;
  }
  // Ignoring the feedback, the device clock runs away from the host.
  Streaming fast("oxley-2x2", 1, 0);
  fast.dev->SetDriftPpm(300);
  RunFeedbackHost(fast, 16000, false);
  EXPECT_GT(fast.dev->PlaybackCounters().underrunFrames, 0u);
  Streaming slow("oxley-2x2", 1, 0);
  slow.dev->SetDriftPpm(-300);
  RunFeedbackHost(slow, 16000, false);
  EXPECT_GT(slow.dev->PlaybackCounters().overrunFrames, 0u);
}

TEST(PlaybackBuffer, AdaptiveEndpointFollowsTheHost) {
  auto run = [](const char* model) {
    Streaming s(model, 1, 0);
    s.host.Out(0x22, 0x01, 0x0100, kPlayEp, {0x80, 0xBB, 0x00});  // 48000
    s.dev->SetDriftPpm(500);
    std::vector<uint8_t> packet(48 * 4, 0);
    for (int i = 0; i < 5000; ++i) {
      s.host.Tick();
      s.host.Out(kPlayEp, packet);
    }
    return s.dev->PlaybackCounters();
  };
  StreamCounters adaptive = run("uac1-adaptive");
  EXPECT_TRUE(adaptive.started);
  EXPECT_EQ(adaptive.underrunFrames, 0u);
  EXPECT_EQ(adaptive.overrunFrames, 0u);
  EXPECT_EQ(adaptive.framesConsumed + adaptive.bufferedFrames, 48u * 5000);
  // The same host on an asynchronous endpoint that nobody paces runs dry.
  EXPECT_GT(run("uac1-feedback").underrunFrames, 0u);
}

TEST(Loopback, CaptureReturnsPlaybackAfterTheDelay) {
  Streaming s("oxley-2x2");
  s.dev->SetLoopbackDelay(100);
  std::vector<uint8_t> captured;
  for (int i = 0; i < 200; ++i) {
    s.host.Tick();
    s.host.Out(kPlayEp, s.Frames(6));
    auto p = s.host.In(kCaptureEp, 1024);
    captured.insert(captured.end(), p.begin(), p.end());
  }
  const size_t frames = captured.size() / 6;
  size_t first = 0;
  while (first < frames && Le24(&captured[first * 6]) == 0) ++first;
  // Before playing starts the device plays 12 frames of silence (the start
  // level), then the delay line adds its 100 frames.
  EXPECT_EQ(first, 112u);
  for (size_t n = first; n < frames; ++n) {
    ASSERT_EQ(Le24(&captured[n * 6]), n - first + 1) << n;
    ASSERT_EQ(Le24(&captured[n * 6 + 3]), 2 * (n - first + 1)) << n;
  }
  // Channel map: capture 0 <- playback 1, capture 1 silent.
  s.dev->SetLoopbackMap({1, -1});
  const size_t base = frames;
  captured.clear();
  for (int i = 0; i < 50; ++i) {
    s.host.Tick();
    s.host.Out(kPlayEp, s.Frames(6));
    auto p = s.host.In(kCaptureEp, 1024);
    captured.insert(captured.end(), p.begin(), p.end());
  }
  for (size_t k = 0; k < captured.size() / 6; ++k) {
    ASSERT_EQ(Le24(&captured[k * 6]), 2 * (base + k - first + 1)) << k;
    ASSERT_EQ(Le24(&captured[k * 6 + 3]), 0u) << k;
  }
}

TEST(CaptureSignal, CounterIsCheckableSampleForSample) {
  Streaming s("oxley-10x6", 0, 1);
  s.dev->SetCaptureSource(CaptureSource::Counter);
  const uint32_t frameBytes = 10 * 3;
  uint64_t frame = 0;
  for (int i = 0; i < 1000; ++i) {
    s.host.Tick();
    if (i == 500) continue;  // one interval nobody fetches: its frames are lost
    if (i == 501) frame += 6;
    auto p = s.host.In(kCaptureEp, 1024);
    ASSERT_EQ(p.size() % frameBytes, 0u);
    for (size_t f = 0; f < p.size() / frameBytes; ++f, ++frame) {
      for (uint32_t c = 0; c < 10; ++c) {
        ASSERT_EQ(Le24(&p[f * frameBytes + c * 3]), CounterSample(c, frame, 3)) << frame << " " << c;
      }
    }
  }
  EXPECT_EQ(s.dev->CaptureCounters().droppedFrames, 6u);
  EXPECT_EQ(CounterSample(3, 0x1234, 2), 0x0334u);
}

TEST(CaptureSignal, Sine) {
  Streaming s("oxley-2x2", 0, 2);  // 32-bit subslots
  s.dev->SetCaptureSource(CaptureSource::Sine);
  s.dev->SetSineFrequency(997);
  uint64_t frame = 0;
  for (int i = 0; i < 100; ++i) {
    s.host.Tick();
    auto p = s.host.In(kCaptureEp, 1024);
    for (size_t f = 0; f < p.size() / 8; ++f, ++frame) {
      const int32_t expected = SineSample(frame, 48000, 997);
      ASSERT_EQ(ReadSample(&p[f * 8], 4), expected);
      ASSERT_EQ(ReadSample(&p[f * 8 + 4], 4), expected);
    }
  }
  EXPECT_EQ(frame, 600u);
  EXPECT_EQ(SineSample(12, 48000, 1000), 1073741823);  // a quarter period: the peak
}

TEST(Recording, KeepsWhatArrivedUpToTheCap) {
  Streaming s("oxley-2x2", 1, 0);
  std::vector<uint8_t> all;
  for (int i = 0; i < 10; ++i) {
    s.host.Tick();
    auto f = s.Frames(6);
    all.insert(all.end(), f.begin(), f.end());
    s.host.Out(kPlayEp, f);
  }
  Recording r = s.dev->GetRecording(1);
  EXPECT_EQ(r.channels, 2u);
  EXPECT_EQ(r.subslotBytes, 3u);
  EXPECT_EQ(r.bytes, all);
  s.dev->ClearRecording(1);
  s.dev->SetRecordingCap(10);
  for (int i = 0; i < 5; ++i) {
    s.host.Tick();
    s.host.Out(kPlayEp, s.Frames(6));
  }
  EXPECT_EQ(s.dev->GetRecording(1).Frames(), 10u);
}

TEST(PacketChecks, LengthHeaderIsStrippedAndChecked) {
  Streaming s("vendor-00c7", 1, 0);
  auto frames = s.Frames(6);
  std::vector<uint8_t> packet(4);
  PutLe32(packet.data(), static_cast<uint32_t>(frames.size()));
  packet.insert(packet.end(), frames.begin(), frames.end());
  s.host.Tick();
  EXPECT_EQ(s.host.Out(kPlayEp, packet), XferResult::Ok);
  EXPECT_EQ(s.dev->GetRecording(1).bytes, frames);
  PutLe32(packet.data(), 35);
  s.host.Tick();
  s.host.Out(kPlayEp, packet);
  s.host.Tick();
  s.host.Out(kPlayEp, {0x01, 0x00});
  StreamCounters c = s.dev->PlaybackCounters();
  EXPECT_EQ(c.headerErrors, 2u);
  EXPECT_EQ(c.framesReceived, 6u);
  EXPECT_EQ(s.dev->GetRecording(1).bytes, frames);
}

TEST(PacketChecks, MalformedPlaybackPacketsAreCounted) {
  Streaming s("oxley-2x2", 1, 0);
  s.host.Tick();
  s.host.Out(kPlayEp, std::vector<uint8_t>(7, 0));  // not whole frames
  s.host.Out(kPlayEp, std::vector<uint8_t>(6, 0));  // second packet in the interval
  s.host.Tick();
  EXPECT_EQ(s.host.Out(kPlayEp, std::vector<uint8_t>(79, 0)), XferResult::PacketError);  // above 78
  StreamCounters c = s.dev->PlaybackCounters();
  EXPECT_EQ(c.partialFramePackets, 1u);
  EXPECT_EQ(c.extraPacketsInInterval, 1u);
  EXPECT_EQ(c.oversizePackets, 1u);
  EXPECT_EQ(c.framesReceived, 2u);
  EXPECT_EQ(c.packetSizes[7], 1u);
  // Packets for an endpoint that the current settings do not have vanish.
  s.host.Out(0x03, std::vector<uint8_t>(6, 0));
  XferResult r;
  s.host.In(kCaptureEp, 100, &r);
  EXPECT_EQ(r, XferResult::NotResponding);
  EXPECT_EQ(s.dev->GetDeviceCounters().unknownEndpointPackets, 2u);
}

}  // namespace
}  // namespace sim::usb
