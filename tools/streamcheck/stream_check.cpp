#include "tools/streamcheck/stream_check.h"

#include <algorithm>
#include <cstdio>

#include "sim/kernel/core/clock.h"

namespace streamcheck {

namespace {

constexpr uint32_t kBufferRoomMs = 2;

std::string Hex(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
  return text;
}

}  // namespace

std::vector<std::string> StreamCheckResult::Problems() const {
  std::vector<std::string> p;
  auto add = [&p](bool bad, const std::string& what, uint64_t count) {
    if (bad) p.push_back(what + ": " + std::to_string(count));
  };
  if (!NT_SUCCESS(status)) {
    p.push_back("streaming did not start: " + report.firstErrorWhere + " failed with " + Hex(status));
    return p;
  }
  if (!stopped) p.push_back("transfers did not come back after the stop");
  if (!NT_SUCCESS(report.firstError)) {
    char at[32];
    std::snprintf(at, sizeof at, " after %.3f s", report.firstErrorSeconds);
    p.push_back("first error: " + report.firstErrorWhere + " " + Hex(report.firstError) + at);
  }
  if (report.playback.active) {
    add(report.playbackTransfers == 0, "playback transfers completed", 0);
    add(report.playbackFailed != 0, "playback transfers failed", report.playbackFailed);
    add(report.playbackShort != 0, "playback transfers moving other than their length", report.playbackShort);
    add(report.playbackRefused != 0, "playback submissions refused", report.playbackRefused);
    add(!playback.started, "device playback never started", 0);
    add(playback.underrunFrames != 0, "device underrun frames", playback.underrunFrames);
    add(playback.overrunFrames != 0, "device overrun frames", playback.overrunFrames);
    add(playback.partialFramePackets != 0, "device packets of partial frames", playback.partialFramePackets);
    add(playback.oversizePackets != 0, "device packets above the endpoint size", playback.oversizePackets);
    add(playback.extraPacketsInInterval != 0, "device intervals with extra packets", playback.extraPacketsInInterval);
    add(playback.headerErrors != 0, "device length header errors", playback.headerErrors);
    const uint64_t expected = std::min<uint64_t>(report.playbackFramesSent, recordCapFrames);
    add(comparison.framesCompared != expected,
        "frames recorded by the device (expected " + std::to_string(expected) + ")", comparison.framesCompared);
    if (comparison.mismatchedFrames != 0) {
      p.push_back("frames received differing from those sent: " + std::to_string(comparison.mismatchedFrames) +
                  ", first at frame " + std::to_string(comparison.firstMismatch));
    }
    if (report.mode == PlaybackMode::ExplicitFeedback) {
      add(report.feedbackReads == 0, "feedback reads completed", 0);
      add(report.feedbackFailed != 0, "feedback reads failed", report.feedbackFailed);
    }
  }
  if (report.capture.active) {
    add(report.captureTransfers == 0, "capture transfers completed", 0);
    add(report.captureFailed != 0, "capture transfers failed", report.captureFailed);
    add(report.captureRefused != 0, "capture submissions refused", report.captureRefused);
    add(report.capturePartialFrames != 0, "capture transfers of partial frames", report.capturePartialFrames);
    add(capture.babblePackets != 0, "device capture packets longer than the buffer", capture.babblePackets);
    add(report.counterBadFrames != 0, "capture frames not matching the counter signal", report.counterBadFrames);
    add(report.counterJumps != 0, "capture counter discontinuities", report.counterJumps);
  }
  return p;
}

StreamCheckResult RunStreamCheck(CUSBAudioCL& audio, sim::usb::UsbAudioDevice& device,
                                 const StreamCheckOptions& options) {
  StreamCheckResult result;
  const double recordSeconds = std::min(options.recordSeconds, options.seconds + 2);
  result.recordCapFrames = static_cast<uint64_t>(options.streamer.rate * recordSeconds);
  device.SetRecordingCap(result.recordCapFrames);
  if (options.streamer.checkCaptureCounter) device.SetCaptureSource(sim::usb::CaptureSource::Counter);

  TransferStreamer streamer(audio, options.streamer);
  result.status = streamer.Select();
  if (NT_SUCCESS(result.status) && streamer.Report().playback.active) {
    // Room for a few milliseconds above the start level: playback packets
    // of one size come in runs (the larger ones first), so the level swings
    // by several frames within a transfer, as a real device's buffer allows.
    const uint8_t itf = audio.PlaybackStream()->InterfaceNumber;
    const uint32_t start = device.Counters(itf).startLevel;
    const uint32_t room = static_cast<uint32_t>(uint64_t{options.streamer.rate} * kBufferRoomMs / 1000);
    device.SetBufferLevels(0, std::max(2 * start, start + room));
  }
  if (NT_SUCCESS(result.status)) result.status = streamer.Start();
  if (!NT_SUCCESS(result.status)) {
    result.report = streamer.Report();
    return result;
  }
  if (options.afterStart) options.afterStart(device);
  const int64_t begin = sim::clock::Now();
  const int64_t end = begin + static_cast<int64_t>(options.seconds * sim::clock::kTicksPerSecond);
  for (int64_t now = begin; now < end; now = sim::clock::Now()) {
    sim::clock::SleepUntil(std::min(end, now + sim::clock::kTicksPerSecond / 4));
    if (options.progress)
      options.progress(static_cast<double>(sim::clock::Now() - begin) / sim::clock::kTicksPerSecond);
  }
  const StreamInterface* play = audio.PlaybackStream();
  const StreamInterface* rec = audio.CaptureStream();
  const bool playing = streamer.Report().playback.active;
  if (playing) result.playback = device.Counters(play->InterfaceNumber);
  result.stopped = streamer.Stop();
  result.report = streamer.Report();
  if (result.report.capture.active) result.capture = device.Counters(rec->InterfaceNumber);
  if (playing) {
    result.comparison =
        ComparePlayback(device.GetRecording(play->InterfaceNumber), result.report.playback.bytesPerFrame);
  }
  streamer.Release();
  return result;
}

}  // namespace streamcheck
