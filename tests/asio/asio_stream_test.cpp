// ASIO streaming through the private file: a simulated host's loopback on
// every model, the round trip per buffer size, render-only streaming, both
// ways of passing buffers, and reads and writes at the edges: before go,
// after an interruption, out of turn, cancelled by the host's thread,
// handle or process.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>

#include "private_fixture.h"
#include "sim/usb/device/device_models.h"
#include "tools/asiohost/asio_run.h"

namespace trox::test {
namespace {

using asiohost::AsioRunOptions;
using asiohost::AsioRunResult;
using sim::clock::kTicksPerMillisecond;

// Simulated seconds of each model's run; TROX_ASIO_SECONDS overrides it.
double LoopbackSeconds() {
  const char* text = std::getenv("TROX_ASIO_SECONDS");
  return text != nullptr ? std::atof(text) : TROX_ASIO_DEFAULT_SECONDS;
}

AsioRunResult RunClean(sim::testbed::Testbed& bed, PDEVICE_OBJECT pdo, const AsioRunOptions& options) {
  const AsioRunResult r = asiohost::RunAsio(bed, pdo, *bed.Device(pdo), options);
  EXPECT_TRUE(r.Problems(options).empty()) << ::testing::PrintToString(r.Problems(options));
  return r;
}

struct LoopbackCase {
  std::string model;
  double ppm;
};

class AsioLoopback : public PrivateTest, public ::testing::WithParamInterface<LoopbackCase> {};

TEST_P(AsioLoopback, ComesBackExactWithWindowsAudioBeside) {
  StartDevice(GetParam().model);
  AsioRunOptions options;
  options.seconds = LoopbackSeconds();
  options.driftPpm = GetParam().ppm;
  options.withWave = true;
  const AsioRunResult r = RunClean(Bed(), pdo_, options);
  const double expected = options.seconds * r.rate;
  if (!r.independentClocks) {
    EXPECT_NEAR(static_cast<double>(r.framesCompared), expected, expected * 0.002 + 4000);
  }
  std::printf("[ asio round trip ] %s %+.0f ppm, %u frames: %lld frames, %.3f ms\n", GetParam().model.c_str(),
              GetParam().ppm, r.bufferFrames, static_cast<long long>(r.offsetFrames), r.OffsetMs());
  PrintSeedOnFailure(Bed());
}

std::vector<LoopbackCase> Cases() {
  std::vector<LoopbackCase> cases;
  for (const sim::usb::ModelInfo& model : sim::usb::ListModels()) {
    if (model.channelsOut == 0 || model.channelsIn == 0) continue;
    for (double ppm : {100.0, -100.0}) cases.push_back({model.name, ppm});
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Models, AsioLoopback, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<LoopbackCase>& info) {
                           std::string name = info.param.model + (info.param.ppm > 0 ? "_fast" : "_slow");
                           for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                           return name;
                         });

TEST_F(PrivateTest, RoundTripGrowsWithTheBuffer) {
  StartDevice();
  int64_t previous = 0;
  for (uint32_t frames : {64u, 128u, 256u}) {
    AsioRunOptions options;
    options.bufferFrames = frames;
    options.rate = 48000;
    options.seconds = 3;
    const AsioRunResult r = RunClean(Bed(), pdo_, options);
    std::printf("[ asio round trip ] %u frames at 48 kHz: %lld frames (%.3f ms): prefill %u, capture %u ms, "
                "render %u ms, device %u frames\n",
                frames, static_cast<long long>(r.offsetFrames), r.OffsetMs(), r.prefillFrames, r.captureMs,
                r.renderMs, r.loopbackDelayFrames);
    // One period more to wait for, and a larger prefill.
    EXPECT_GT(r.offsetFrames, previous + static_cast<int64_t>(frames / 2));
    previous = r.offsetFrames;
  }
}

TEST_F(PrivateTest, RenderOnlyDeviceIsFedByTheWriterThread) {
  PDEVICE_OBJECT pdo = Bed().PlugDescriptors(TROX_TEST_DATA_DIR "/headset-uac1.hex");
  ASSERT_NE(pdo, nullptr);
  ASSERT_EQ(Bed().Start(pdo), STATUS_SUCCESS);
  AsioRunOptions options;
  options.seconds = 10;
  options.driftPpm = -100;
  const AsioRunResult r = RunClean(Bed(), pdo, options);
  EXPECT_FALSE(r.duplex);
  const double expected = options.seconds * r.rate;
  EXPECT_NEAR(static_cast<double>(r.framesWritten), expected, expected * 0.002 + 4000);
}

TEST_F(PrivateTest, BufferedAndDirectIoBothStream) {
  StartDevice();
  for (bool buffered : {true, false}) {
    PDEVICE_OBJECT fdo = Bed().FunctionDevice(pdo_);
    fdo->Flags = buffered ? (fdo->Flags | DO_BUFFERED_IO) & ~DO_DIRECT_IO : (fdo->Flags | DO_DIRECT_IO) & ~DO_BUFFERED_IO;
    AsioRunOptions options;
    options.seconds = 2;
    const AsioRunResult r = RunClean(Bed(), pdo_, options);
    EXPECT_GT(r.framesCompared, 0u) << (buffered ? "buffered" : "direct");
  }
}

class AsioEdges : public PrivateTest {
 protected:
  void SetUp() override {
    PrivateTest::SetUp();
    StartDevice();
    session_ = Open();
    Reach(*session_, 4);
    const CSampleRing& ring = Adapter(pdo_)->AsioStream().CaptureRing();
    periodBytes_ = 256 * ring.BytesPerFrame();
    renderBytes_ = 256 * Adapter(pdo_)->AsioStream().RenderRing().BytesPerFrame();
    buffer_.assign(16 * std::max(periodBytes_, renderBytes_), 0);
  }
  void TearDown() override {
    session_.reset();
    PrivateTest::TearDown();
  }
  std::shared_ptr<sim::io::UserRequest> Read(ULONG bytes) { return session_->Read(buffer_.data(), bytes); }
  NTSTATUS Finished(const std::shared_ptr<sim::io::UserRequest>& request, int64_t within = 100 * kTicksPerMillisecond) {
    return request->WaitFor(within) ? request->Result().status : STATUS_PENDING;
  }

  std::unique_ptr<asiohost::PrivateSession> session_;
  ULONG periodBytes_ = 0;
  ULONG renderBytes_ = 0;
  std::vector<uint8_t> buffer_;
};

TEST_F(AsioEdges, AReadBeforeGoWaitsForIt) {
  auto read = Read(periodBytes_);
  EXPECT_EQ(Finished(read), STATUS_PENDING);
  EXPECT_EQ(session_->Send(IOCTL_ASIO_GO).status, STATUS_SUCCESS);
  EXPECT_EQ(Finished(read), STATUS_SUCCESS);
  EXPECT_EQ(read->Result().information, periodBytes_);
}

TEST_F(AsioEdges, AnInterruptionNeedsAStopAndAStart) {
  ASSERT_EQ(session_->Send(IOCTL_ASIO_GO).status, STATUS_SUCCESS);
  ASSERT_EQ(Finished(Read(periodBytes_)), STATUS_SUCCESS);
  auto pending = Read(periodBytes_ * 8);
  ASSERT_EQ(session_->Send(IOCTL_ASIO_FAIL_NEXT_CAPTURE).status, STATUS_SUCCESS);
  EXPECT_EQ(Finished(pending, 500 * kTicksPerMillisecond), STATUS_CANCELLED);
  EXPECT_EQ(Finished(Read(periodBytes_)), STATUS_REINITIALIZATION_NEEDED);
  EXPECT_EQ(session_->Write(buffer_.data(), renderBytes_)->Result().status, STATUS_REINITIALIZATION_NEEDED);
  ULONG needed = 0;
  EXPECT_EQ(session_->Query(IOCTL_ASIO_GET_RESET_NEEDED, &needed).status, STATUS_SUCCESS);
  EXPECT_EQ(needed, 1u);
  for (ULONG code : {IOCTL_ASIO_STOP, IOCTL_ASIO_START, IOCTL_ASIO_GO}) {
    EXPECT_EQ(session_->Send(code).status, STATUS_SUCCESS) << asiohost::RequestName(code);
  }
  EXPECT_EQ(session_->Query(IOCTL_ASIO_GET_RESET_NEEDED, &needed).status, STATUS_SUCCESS);
  EXPECT_EQ(needed, 0u);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(Finished(Read(periodBytes_)), STATUS_SUCCESS);
}

TEST_F(AsioEdges, ReadsAndWritesOfEveryLength) {
  ASSERT_EQ(session_->Send(IOCTL_ASIO_GO).status, STATUS_SUCCESS);
  const ULONG ringBytes = Adapter(pdo_)->AsioStream().RenderRing().Size();
  struct Case {
    bool read;
    ULONG bytes;
    NTSTATUS status;
    ULONG information;
  };
  for (const Case& c : {Case{true, 0, STATUS_SUCCESS, 0}, Case{false, 0, STATUS_SUCCESS, 0},
                        Case{true, 1, STATUS_INVALID_PARAMETER, 0}, Case{false, 1, STATUS_INVALID_PARAMETER, 0},
                        Case{true, periodBytes_ + 1, STATUS_INVALID_PARAMETER, 0},
                        Case{false, renderBytes_ - 1, STATUS_INVALID_PARAMETER, 0},
                        Case{true, periodBytes_, STATUS_SUCCESS, periodBytes_},
                        // Larger than the ring's room: taken whole, the excess played as silence later.
                        Case{false, 2 * ringBytes, STATUS_SUCCESS, 2 * ringBytes}}) {
    std::vector<uint8_t> data(std::max<ULONG>(c.bytes, 1));
    auto request = c.read ? session_->Read(data.data(), c.bytes) : session_->Write(data.data(), c.bytes);
    EXPECT_EQ(Finished(request), c.status) << (c.read ? "read " : "write ") << c.bytes;
    EXPECT_EQ(request->Result().information, c.information) << (c.read ? "read " : "write ") << c.bytes;
  }
  EXPECT_GT(Adapter(pdo_)->AsioStream().RenderRing().Debt(), 0);
  // Out of turn: after the stop neither is taken.
  ASSERT_EQ(session_->Send(IOCTL_ASIO_STOP).status, STATUS_SUCCESS);
  EXPECT_EQ(Finished(Read(periodBytes_)), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(Finished(session_->Write(buffer_.data(), renderBytes_)), STATUS_UNSUCCESSFUL);
}

TEST_F(AsioEdges, ARateChangeFromAnotherHandleLeavesTheStreamRunning) {
  ASSERT_EQ(session_->Send(IOCTL_ASIO_GO).status, STATUS_SUCCESS);
  auto other = Open();
  const ULONG rate = Adapter(pdo_)->GetDeviceSampleRate() == 48000 ? 44100 : 48000;
  EXPECT_EQ(other->SendValue(IOCTL_ASIO_SET_SAMPLE_RATE, rate).status, STATUS_DEVICE_BUSY);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(Finished(Read(periodBytes_)), STATUS_SUCCESS);
}

// Every way a host lets go of its pending reads: each is cancelled, and the
// device is free for the next host.
TEST_F(AsioEdges, PendingReadsEndWithTheirThreadHandleOrProcess) {
  struct Way {
    const char* name;
    std::function<void(asiohost::PrivateSession&)> letGo;
  };
  const Way ways[] = {
      {"CancelIoEx", [](asiohost::PrivateSession& s) { s.Handle()->CancelAll(); }},
      {"CancelIo", [](asiohost::PrivateSession& s) { s.Handle()->CancelOwn(); }},
      {"close", [](asiohost::PrivateSession& s) { s.Close(); }},
      {"process end", [](asiohost::PrivateSession& s) { s.EndProcess(); }},
  };
  session_->Close();
  for (const Way& way : ways) {
    auto host = Open();
    Reach(*host, 4);
    auto first = host->Read(buffer_.data(), periodBytes_);
    auto second = host->Read(buffer_.data() + periodBytes_, periodBytes_);
    EXPECT_EQ(Finished(first), STATUS_PENDING) << way.name;
    way.letGo(*host);
    EXPECT_EQ(Finished(first), STATUS_CANCELLED) << way.name;
    EXPECT_EQ(Finished(second), STATUS_CANCELLED) << way.name;
    host->Close();
  }
  // A thread that ends with its reads pending: Windows cancels them.
  auto host = Open();
  Reach(*host, 4);
  std::shared_ptr<sim::io::UserRequest> left;
  sim::clock::Thread thread("host thread", [&] {
    left = host->Read(buffer_.data(), periodBytes_);
    sim::io::EndUserThread();
  });
  thread.Join();
  EXPECT_EQ(Finished(left), STATUS_CANCELLED);
  // The device is free again.
  host->Close();
  auto next = Open();
  Reach(*next, 4);
}

}  // namespace
}  // namespace trox::test
