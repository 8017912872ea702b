#include "tools/asiohost/asio_run.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "adapter/adapter_common.h"
#include "adapter/adapter_extension.h"
#include "asio/asio_position.h"
#include "asio/asio_ring_plan.h"
#include "common/asio_requests.h"
#include "sim/kernel/core/clock.h"
#include "tools/asiohost/private_files.h"
#include "tools/enginecheck/loopback_signal.h"
#include "tools/enginecheck/wave_client.h"

namespace asiohost {
namespace {

using enginecheck::LoopbackCheck;
using enginecheck::Signal;
using enginecheck::WaveClient;
using sim::clock::kTicksPerMillisecond;
using sim::clock::kTicksPerSecond;

constexpr uint32_t kMaxOffsetMs = 500;
constexpr uint32_t kDeviceBufferMs = 6;
constexpr uint32_t kWaveBufferMs = 10;
// A read or write that takes this long has hung.
constexpr int64_t kRequestLimit = kTicksPerSecond;

std::string Hex(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(status));
  return text;
}

StreamFormat RingFormat(uint32_t channels, uint32_t bits, uint32_t rate) {
  return StreamFormat{1, channels, bits, rate, channels * bits / 8};
}

// The render lead an ASIO driver asks for: none at the smallest buffer of
// the rate, all of it at the largest (2048 frames).
uint32_t LeadPercent(uint32_t rate, uint32_t frames) {
  ULONG multiple = 1;
  AsioRateMultiple(rate, &multiple);
  const uint32_t smallest = 64 * multiple;
  constexpr uint32_t kLargest = 2048;
  if (frames <= smallest || kLargest <= smallest) return 0;
  return std::min<uint32_t>(100, (frames - smallest) * 100 / (kLargest - smallest));
}

// The host's side of the run; one object per run keeps the steps short.
class Host {
 public:
  Host(sim::testbed::Testbed& bed, PDEVICE_OBJECT pdo, sim::usb::UsbAudioDevice& device,
       const AsioRunOptions& options, AsioRunResult& result)
      : bed_(bed), pdo_(pdo), device_(device), options_(options), result_(result) {}

  void Run();

 private:
  bool Step(const char* name, NTSTATUS status) {
    if (NT_SUCCESS(status)) return true;
    result_.failedStep = name;
    result_.failedStatus = status;
    return false;
  }
  bool Probe();
  bool ChooseRate();
  bool StartWave();
  void StopWave();
  bool Prepare();
  void StreamDuplex();
  void StreamRenderOnly();
  // A finished read or write: false when it ends the run.
  bool Judge(const char* name, const std::shared_ptr<sim::io::UserRequest>& request, ULONG length);
  void CheckPosition(int64_t now);
  bool Running() const { return sim::clock::Now() - start_ < total_; }
  void Progress();
  void Snapshot();

  sim::testbed::Testbed& bed_;
  PDEVICE_OBJECT pdo_;
  sim::usb::UsbAudioDevice& device_;
  const AsioRunOptions& options_;
  AsioRunResult& result_;
  CAdapterCommon* adapter_ = nullptr;
  PrivateSession session_;
  std::unique_ptr<WaveClient> wave_;
  bool waveStarted_ = false;
  ULONG deviceRate_ = 0;
  LoopbackCheck check_;
  int64_t start_ = 0;
  int64_t total_ = 0;
  int64_t nextProgress_ = 0;
  int64_t firstRead_ = -1;
  int64_t lastDone_ = -1;
  int64_t lateBound_ = 0;
  ULONG lastPosition_ = 0;
  uint64_t underrunsAtFirstRead_ = 0;
};

bool Host::Probe() {
  ULONG range[2] = {};
  Reply reply = session_.Control(IOCTL_ASIO_GET_RATE_RANGE, nullptr, 0, range, sizeof(range));
  if (!Step("GET_RATE_RANGE", reply.status)) return false;
  ULONG value = 0;
  if (!Step("GET_DSD_SUPPORT", session_.Query(IOCTL_ASIO_GET_DSD_SUPPORT, &value).status)) return false;
  uint8_t header[6] = {};
  reply = session_.Control(IOCTL_ASIO_GET_SERIAL_NUMBER, nullptr, 0, header, sizeof(header));
  if (reply.status != STATUS_BUFFER_OVERFLOW && !Step("GET_SERIAL_NUMBER", reply.status)) return false;
  ULONG count = 0;
  std::memcpy(&count, header, sizeof(count));
  std::vector<uint8_t> serial(2 * static_cast<size_t>(count) + 6);
  reply = session_.Control(IOCTL_ASIO_GET_SERIAL_NUMBER, nullptr, 0, serial.data(), static_cast<ULONG>(serial.size()));
  if (!Step("GET_SERIAL_NUMBER", reply.status)) return false;
  if (!Step("GET_BUS_SPEED", session_.Query(IOCTL_ASIO_GET_BUS_SPEED, &value).status)) return false;
  return Step("GET_SAMPLE_RATE", session_.Query(IOCTL_ASIO_GET_SAMPLE_RATE, &deviceRate_).status);
}

bool Host::ChooseRate() {
  ULONG rate = options_.rate != 0 ? options_.rate : deviceRate_;
  if (rate == 0) {
    // Per-stream rates and none set yet: the first the device has of these.
    for (ULONG candidate : {48000u, 44100u, 96000u}) {
      if (NT_SUCCESS(adapter_->Function().IsSampleRateSupported(candidate))) {
        rate = candidate;
        break;
      }
    }
  }
  if (rate != deviceRate_ && !Step("SET_SAMPLE_RATE", session_.SendValue(IOCTL_ASIO_SET_SAMPLE_RATE, rate).status)) {
    return false;
  }
  result_.rate = rate;
  return true;
}

bool Host::StartWave() {
  const ULONG rate = result_.rate;
  const bool capture = adapter_->Function().CaptureStream() != nullptr;
  StreamFormat render = {};
  StreamFormat capture_ = {};
  auto choose = [&](UCHAR direction, StreamFormat* format) {
    ULONG channels = 0, bits = 0;
    NTSTATUS status = adapter_->Function().GetBestFormat(direction, 1, rate, &channels, &bits);
    if (NT_SUCCESS(status)) status = adapter_->SetStreamFormat(direction, 1, channels, bits, rate);
    if (NT_SUCCESS(status)) adapter_->StreamFormatFor(direction, format);
    return status;
  };
  if (!Step("WaveRT render format", choose(kDirectionRender, &render))) return false;
  if (capture && !Step("WaveRT capture format", choose(kDirectionCapture, &capture_))) return false;
  const uint32_t bufferFrames = rate / 1000 * kWaveBufferMs;
  wave_->Setup(render, capture_, bufferFrames, Signal::Constant);
  wave_->SetRunning(kDirectionRender, true);
  wave_->SetRunning(kDirectionCapture, true);
  if (capture && !Step("WaveRT capture start",
                       adapter_->StartDirection(kDirectionCapture, bufferFrames * capture_.BytesPerFrame))) {
    return false;
  }
  if (!Step("WaveRT render start", adapter_->StartDirection(kDirectionRender, bufferFrames * render.BytesPerFrame))) {
    if (capture) adapter_->StopDirection(kDirectionCapture);
    return false;
  }
  waveStarted_ = true;
  return true;
}

void Host::StopWave() {
  if (waveStarted_) {
    adapter_->StopDirection(kDirectionRender);
    if (adapter_->Function().CaptureStream() != nullptr) adapter_->StopDirection(kDirectionCapture);
    wave_->SetRunning(kDirectionRender, false);
    wave_->SetRunning(kDirectionCapture, false);
    result_.waveRenderFrames = wave_->RenderBytesTaken();
    result_.waveCaptureFrames = wave_->CaptureBytes();
    adapter_->ResetDirection(kDirectionRender);
    adapter_->ResetDirection(kDirectionCapture);
    waveStarted_ = false;
  }
}

bool Host::Prepare() {
  ASIO_FORMAT_RECORD format = {1, result_.rate, 0, 0, 0, 0};
  Reply reply = session_.Control(IOCTL_ASIO_GET_FORMAT, &format, sizeof(format), &format, sizeof(format));
  if (!Step("GET_FORMAT", reply.status)) return false;
  result_.render = RingFormat(format.RenderChannels, format.RenderBits, result_.rate);
  result_.capture = RingFormat(format.CaptureChannels, format.CaptureBits, result_.rate);
  result_.duplex = format.RenderChannels != 0 && format.CaptureChannels != 0;
  result_.bufferFrames = options_.bufferFrames;
  ASIO_PREPARE_RECORD record = {options_.bufferFrames, format.CaptureChannels != 0 ? 1u : 0u,
                                format.RenderChannels != 0 ? 1u : 0u, LeadPercent(result_.rate, options_.bufferFrames),
                                0, 1};
  if (!Step("PREPARE", session_.Control(IOCTL_ASIO_PREPARE, &record, sizeof(record), nullptr, 0).status)) {
    return false;
  }
  ULONG captureMs = 0;
  if (!Step("GET_CAPTURE_MS", session_.Query(IOCTL_ASIO_GET_CAPTURE_MS, &captureMs).status)) return false;
  result_.captureMs = captureMs;
  result_.renderMs = adapter_->Engine().Tunables().RenderMsPerTransfer;
  result_.prefillFrames = result_.duplex ? AsioRenderPrefill(result_.rate, options_.bufferFrames) : 0;
  const uint32_t transferMs = std::max(result_.captureMs, result_.renderMs);
  lateBound_ = static_cast<int64_t>(options_.bufferFrames) * kTicksPerSecond / result_.rate +
               2 * static_cast<int64_t>(transferMs) * kTicksPerMillisecond;
  return true;
}

bool Host::Judge(const char* name, const std::shared_ptr<sim::io::UserRequest>& request, ULONG length) {
  if (!request->WaitFor(kRequestLimit)) {
    ++result_.lateRequests;
    request->Cancel();
    request->Wait();
  }
  const sim::io::IoResult io = request->Result();
  session_.Count(name, io.status);
  const int64_t now = sim::clock::Now();
  if (io.status == STATUS_CANCELLED) {
    ++result_.cancelledRequests;
    return false;
  }
  if (!NT_SUCCESS(io.status)) {
    ++result_.failedRequests;
    return false;
  }
  if (io.information != length) ++result_.shortRequests;
  if (lastDone_ >= 0 && now - lastDone_ > lateBound_) ++result_.lateRequests;
  lastDone_ = now;
  return true;
}

void Host::CheckPosition(int64_t now) {
  ULONG position = 0;
  if (!NT_SUCCESS(session_.Query(IOCTL_ASIO_GET_POSITION, &position).status)) {
    ++result_.positionErrors;
    return;
  }
  ++result_.positionChecks;
  // The clock starts when the first read completes; the host wakes at that
  // instant, so the position follows the host's own clock.
  const int64_t expected =
      AsioPositionFrames(static_cast<ULONGLONG>(now - firstRead_), kTicksPerSecond, result_.rate);
  const int64_t error = static_cast<int64_t>(position) - expected;
  result_.worstPositionError = std::max(result_.worstPositionError, std::abs(error));
  if (std::abs(error) > result_.rate / 1000 || position < lastPosition_) ++result_.positionErrors;
  lastPosition_ = position;
}

void Host::Progress() {
  const int64_t now = sim::clock::Now();
  if (options_.progress && now >= nextProgress_) {
    options_.progress(static_cast<double>(now - start_) / kTicksPerSecond);
    nextProgress_ = now + kTicksPerSecond / 4;
  }
}

void Host::StreamDuplex() {
  const ULONG frames = options_.bufferFrames;
  const ULONG readBytes = frames * result_.capture.BytesPerFrame;
  const ULONG writeBytes = frames * result_.render.BytesPerFrame;
  const uint32_t slots = std::max(1u, options_.inFlight);
  std::vector<std::vector<uint8_t>> buffers(slots, std::vector<uint8_t>(readBytes));
  std::vector<std::shared_ptr<sim::io::UserRequest>> reads(slots);
  std::vector<uint8_t> output(writeBytes);
  for (uint32_t s = 0; s < slots; ++s) reads[s] = session_.Read(buffers[s].data(), readBytes);
  uint64_t played = 0;
  for (uint64_t k = 0; Running(); ++k) {
    const uint32_t slot = static_cast<uint32_t>(k % slots);
    if (!Judge("read", reads[slot], readBytes)) break;
    const int64_t now = sim::clock::Now();
    ++result_.reads;
    result_.framesRead += frames;
    if (firstRead_ < 0) {
      firstRead_ = now;
      underrunsAtFirstRead_ = device_.PlaybackCounters().underrunFrames;
    }
    check_.Feed(buffers[slot].data(), frames);
    // The buffer switch: this period's output, written at once.
    enginecheck::WriteSignal(Signal::Counter, output.data(), played, frames, result_.render);
    played += frames;
    if (!Judge("write", session_.Write(output.data(), writeBytes), writeBytes)) break;
    ++result_.writes;
    result_.framesWritten += frames;
    CheckPosition(now);
    reads[slot] = session_.Read(buffers[slot].data(), readBytes);
    Progress();
  }
  Snapshot();
  session_.Send(IOCTL_ASIO_STOP);
  // The stop completed what was still pending (cancelled, as it must).
  for (auto& read : reads) {
    read->Wait();
    session_.Count("read", read->Result().status);
  }
}

void Host::StreamRenderOnly() {
  const ULONG frames = options_.bufferFrames;
  const ULONG writeBytes = frames * result_.render.BytesPerFrame;
  const uint32_t slots = std::max(1u, options_.inFlight);
  std::vector<std::vector<uint8_t>> buffers(slots, std::vector<uint8_t>(writeBytes));
  std::vector<std::shared_ptr<sim::io::UserRequest>> writes(slots);
  uint64_t played = 0;
  auto issue = [&](uint32_t slot) {
    enginecheck::WriteSignal(Signal::Counter, buffers[slot].data(), played, frames, result_.render);
    played += frames;
    writes[slot] = session_.Write(buffers[slot].data(), writeBytes);
  };
  for (uint32_t s = 0; s < slots; ++s) issue(s);
  // Writes complete at once until the ring is full: lateness counts from then.
  for (uint64_t k = 0; Running(); ++k) {
    const uint32_t slot = static_cast<uint32_t>(k % slots);
    if (!Judge("write", writes[slot], writeBytes)) break;
    ++result_.writes;
    result_.framesWritten += frames;
    issue(slot);
    Progress();
  }
  Snapshot();
  session_.Send(IOCTL_ASIO_STOP);
  for (auto& write : writes) {
    write->Wait();
    session_.Count("write", write->Result().status);
  }
}

void Host::Snapshot() {
  const sim::usb::StreamCounters playback = device_.PlaybackCounters();
  result_.underrunFrames = firstRead_ >= 0 ? playback.underrunFrames - underrunsAtFirstRead_ : 0;
  result_.overrunFrames = playback.overrunFrames;
  EngineDirectionCounters render = {}, capture = {};
  adapter_->Engine().GetCounters(kDirectionRender, &render);
  adapter_->Engine().GetCounters(kDirectionCapture, &capture);
  result_.transferErrors = render.Errors + capture.Errors;
  result_.recoveries = render.Recoveries + capture.Recoveries;
  result_.secondsRun = static_cast<double>(sim::clock::Now() - start_) / kTicksPerSecond;
}

void Host::Run() {
  PDEVICE_OBJECT fdo = bed_.FunctionDevice(pdo_);
  adapter_ = fdo != nullptr ? static_cast<CAdapterCommon*>(GetAdapterExtension(fdo)->Adapter) : nullptr;
  const std::u16string path = PrivateFileOf(pdo_);
  if (adapter_ == nullptr || path.empty()) {
    Step("find the private file", STATUS_OBJECT_NAME_NOT_FOUND);
    return;
  }
  // The WaveRT miniport is always there for the device core (a rate change
  // goes through it); its streams play only when asked for.
  wave_ = std::make_unique<WaveClient>(adapter_);
  wave_->Register();
  if (Step("open", session_.Open(path)) && Probe() && ChooseRate()) {
    device_.SetCaptureSource(sim::usb::CaptureSource::Loopback);
    device_.SetDriftPpm(options_.driftPpm);
    result_.loopbackDelayFrames = static_cast<uint32_t>(options_.loopbackDelayMs * result_.rate / 1000.0);
    device_.SetLoopbackDelay(result_.loopbackDelayFrames);
    device_.SetBufferLevels(0, static_cast<uint32_t>(uint64_t{result_.rate} * kDeviceBufferMs / 1000));
    result_.independentClocks = adapter_->Function().CurrentPlaybackMode() == PlaybackPattern;
    if ((!options_.withWave || StartWave()) && Step("CLAIM", session_.Send(IOCTL_ASIO_CLAIM).status) &&
        Prepare()) {
      check_.Reset(Signal::Counter, result_.capture, std::min(result_.render.Channels, result_.capture.Channels),
                   result_.rate / 1000 * kMaxOffsetMs);
      if (options_.withWave) check_.SetBias(enginecheck::kConstantSignal);
      start_ = sim::clock::Now();
      total_ = static_cast<int64_t>(options_.seconds * kTicksPerSecond);
      nextProgress_ = start_ + kTicksPerSecond / 4;
      if (Step("START", session_.Send(IOCTL_ASIO_START).status) && Step("GO", session_.Send(IOCTL_ASIO_GO).status)) {
        result_.independentClocks = result_.independentClocks || adapter_->Function().CurrentPlaybackMode() ==
                                                                     PlaybackPattern;
        if (result_.duplex) {
          StreamDuplex();
        } else {
          StreamRenderOnly();
        }
      }
      session_.Send(IOCTL_ASIO_UNPREPARE);
    }
    session_.Send(IOCTL_ASIO_RELEASE);
    StopWave();
  }
  session_.Close();
  // The handle's last references go with its finished requests, through a
  // work item: the close comes a moment later.
  bed_.RunFor(10 * kTicksPerMillisecond);
  wave_->Unregister();
  result_.requests = session_.Tally();
  result_.framesCompared = check_.Compared();
  result_.framesDiffering = check_.Differing();
  result_.framesWrong = check_.Wrong();
  result_.slips = check_.Slips();
  result_.relocks = check_.Relocks();
  result_.offsetFrames = check_.FirstOffset();
}

}  // namespace

std::vector<std::string> AsioRunResult::Problems(const AsioRunOptions& options) const {
  std::vector<std::string> problems;
  if (!failedStep.empty()) {
    problems.push_back(failedStep + " failed (" + Hex(failedStatus) + ")");
    return problems;
  }
  if (Glitches() != 0) {
    problems.push_back(std::to_string(Glitches()) + " glitches (" + std::to_string(shortRequests) + " short, " +
                       std::to_string(lateRequests) + " late, " + std::to_string(cancelledRequests) + " cancelled, " +
                       std::to_string(failedRequests) + " failed)");
  }
  if (positionErrors != 0) {
    problems.push_back(std::to_string(positionErrors) + " positions off the clock (worst " +
                       std::to_string(worstPositionError) + " frames)");
  }
  if (duplex) {
    if (framesCompared == 0) problems.push_back("no captured frame could be compared with the signal");
    if (offsetFrames < 0) problems.push_back("the signal never came back");
    const double drifted = std::abs(options.driftPpm) * 1e-6 * secondsRun * rate;
    // The rings slip at whole transfers' pace, now and then back and forth
    // around the level the drift pushes them to: twice the drifted frames.
    const uint64_t allowedSlips = independentClocks ? static_cast<uint64_t>(2 * drifted) + 2 : 0;
    if (slips > allowedSlips) {
      problems.push_back(std::to_string(slips) + " loopback slips (" + std::to_string(allowedSlips) + " allowed)");
    }
    if (independentClocks) {
      // Render paced by the host, capture by the device: the rings pay the
      // difference with dropped frames and silence, so the signal moves;
      // it must still come back for nearly all the run, never as data not sent.
      if (static_cast<double>(framesCompared) < 0.99 * secondsRun * rate - 8 * static_cast<double>(rate) / 10) {
        problems.push_back("the signal came back for less than 99 % of the run");
      }
      if (framesWrong != 0) problems.push_back(std::to_string(framesWrong) + " captured frames were never sent");
    } else {
      if (relocks != 0) problems.push_back("the loopback offset moved " + std::to_string(relocks) + " times");
      if (framesDiffering != 0) {
        problems.push_back(std::to_string(framesDiffering) + " captured frames differ from the signal");
      }
    }
  } else if (framesWritten == 0) {
    problems.push_back("no render frame was written");
  }
  if (underrunFrames != 0) problems.push_back(std::to_string(underrunFrames) + " device underrun frames");
  if (overrunFrames != 0) problems.push_back(std::to_string(overrunFrames) + " device overrun frames");
  if (transferErrors != 0 || recoveries != 0) problems.push_back("transfer errors or recoveries without a fault");
  if (options.withWave && waveRenderFrames == 0) problems.push_back("Windows audio played nothing");
  return problems;
}

AsioRunResult RunAsio(sim::testbed::Testbed& bed, PDEVICE_OBJECT pdo, sim::usb::UsbAudioDevice& device,
                      const AsioRunOptions& options) {
  AsioRunResult result;
  Host(bed, pdo, device, options, result).Run();
  return result;
}

}  // namespace asiohost
