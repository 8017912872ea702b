#include "tools/troxsim/usb_driver.h"

#include <cstdio>
#include <map>

#include "platform.h"
#include "audiofunction/usb_audio_cl.h"
#include "tools/streamcheck/driver_session.h"
#include "tools/streamcheck/stream_check.h"
#include "tools/troxsim/inspect_print.h"
#include "tools/troxsim/progress_line.h"

namespace troxsim {
namespace {

ULONG PickRate(CUSBAudioCL& audio) {
  for (ULONG rate : {48000u, 44100u, 96000u}) {
    if (NT_SUCCESS(audio.IsSampleRateSupported(rate))) return rate;
  }
  ULONG lower = 1, upper = 0xFFFFFFFF;
  const UCHAR direction = audio.PlaybackStream() != nullptr ? kDirectionRender : kDirectionCapture;
  if (NT_SUCCESS(audio.GetSampleRateRange(direction, &lower, &upper))) return lower;
  return 48000;
}

std::string Sizes(const std::map<uint32_t, uint64_t>& sizes) {
  std::string text;
  for (const auto& [size, count] : sizes) {
    text += (text.empty() ? "" : ", ") + std::to_string(size) + " x " + std::to_string(count);
  }
  return text.empty() ? "none" : text;
}

std::string Hz(ULONG value, ULONG nominal, ULONG rate) {
  char text[48];
  std::snprintf(text, sizeof text, "0x%08X (%.2f Hz)", value, nominal != 0 ? double(value) * rate / nominal : 0.0);
  return text;
}

void PrintFormat(std::ostream& out, const char* name, const streamcheck::DirectionFormat& f, ULONG transfers,
                 ULONG ms) {
  out << name << ": alternate " << f.alternate << ", " << f.channels << " channels, " << f.bits << " bits, "
      << f.bytesPerFrame << " bytes per frame; " << transfers << " transfers of " << ms << " ms in flight\n";
}

void PrintRun(std::ostream& out, const streamcheck::StreamCheckOptions& options,
              const streamcheck::StreamCheckResult& r) {
  const streamcheck::StreamerReport& report = r.report;
  out << "Playback packets sized by: " << streamcheck::ModeName(report.mode) << "\n";
  if (report.playback.active) {
    PrintFormat(out, "Playback", report.playback, options.streamer.playbackTransfers, options.streamer.playbackMs);
  }
  if (report.capture.active) {
    PrintFormat(out, "Capture", report.capture, options.streamer.captureTransfers, options.streamer.captureMs);
  }
  out << "Host: " << report.playbackTransfers << " playback transfers (" << report.playbackFailed << " failed), "
      << report.captureTransfers << " capture transfers (" << report.captureFailed << " failed), "
      << report.feedbackReads << " feedback reads (" << report.feedbackFailed << " failed)\n";
  if (report.playback.active) {
    const sim::usb::StreamCounters& c = r.playback;
    out << "Device playback: " << c.framesReceived << " frames received, " << c.framesConsumed << " played, "
        << c.underrunFrames << " underrun, " << c.overrunFrames << " overrun\n"
        << "  packet sizes (bytes x count): " << Sizes(c.packetSizes) << "\n"
        << "  frames received against those sent: " << r.comparison.framesCompared << " compared, "
        << r.comparison.mismatchedFrames << " differ\n";
  }
  if (report.capture.active) {
    const sim::usb::StreamCounters& c = r.capture;
    out << "Device capture: " << c.framesSent << " frames sent, " << c.droppedFrames << " not fetched\n"
        << "  packet sizes (bytes x count): " << Sizes(c.packetSizes) << "\n"
        << "  host received " << report.captureFrames << " frames, counter signal " << report.counterJumps << " gaps, "
        << report.counterBadFrames << " bad frames\n";
  }
  if (report.feedbackReads != 0) {
    out << "Feedback: " << report.feedbackReads - report.feedbackFailed << " values, first "
        << Hz(report.feedbackFirst, report.feedbackNominal, options.streamer.rate) << ", min "
        << Hz(report.feedbackMin, report.feedbackNominal, options.streamer.rate) << ", max "
        << Hz(report.feedbackMax, report.feedbackNominal, options.streamer.rate) << ", last "
        << Hz(report.feedbackLast, report.feedbackNominal, options.streamer.rate) << "; "
        << report.feedbackValues.size() << " distinct, " << report.feedbackReplaced
        << " replaced by the nominal value\n";
  }
}

}  // namespace

int RunUsbThroughDriver(sim::testbed::Testbed& bed, sim::usb::UsbAudioDevice& device, const std::string& label,
                        const UsbDriverOptions& options, std::ostream& out, std::ostream& err) {
  streamcheck::DriverSession session(bed, device);
  if (!session.Ok()) {
    if (session.Refused()) {
      out << "The driver refused '" << label << "': " << session.FailedStep() << " failed with "
          << StatusText(session.FailedStatus()) << "\n";
    } else {
      err << "troxsim usb: " << SessionFailureText(session) << "\n";
    }
    session.Close();
    return 1;
  }
  CUSBAudioCL& audio = *session.Audio();
  streamcheck::StreamCheckOptions check;
  check.seconds = options.seconds;
  check.streamer.rate = options.rate ? *options.rate : PickRate(audio);
  check.streamer.checkCaptureCounter = true;
  char drift[32];
  std::snprintf(drift, sizeof drift, "%+.1f ppm", options.drift);
  out << "Device '" << label << "' (" << (device.GetSpeed() == sim::usb::Speed::High ? "high" : "full")
      << " speed, clock " << drift << "): " << options.seconds << " s at " << check.streamer.rate
      << " Hz through the driver's transfer layer\n";
  streamcheck::StreamCheckResult result;
  {
    ProgressLine progress("troxsim usb", options.seconds);
    check.progress = [&progress](double seconds) { progress.Update(seconds); };
    result = streamcheck::RunStreamCheck(audio, device, check);
    check.progress = nullptr;
  }
  int code = 0;
  if (!NT_SUCCESS(result.status)) {
    out << "The driver could not stream: " << result.report.firstErrorWhere << " failed with "
        << StatusText(result.status) << "\n";
    code = 1;
  } else {
    PrintRun(out, check, result);
    const auto problems = result.Problems();
    if (problems.empty()) {
      out << "Result: clean\n";
    } else {
      out << "Problems:\n";
      for (const std::string& p : problems) out << "  " << p << "\n";
      code = 1;
    }
  }
  if (NTSTATUS removed = session.Close(); !NT_SUCCESS(removed)) {
    err << "troxsim usb: removing the device failed (" << StatusText(removed) << ")\n";
    code = 1;
  }
  return code;
}

}  // namespace troxsim
