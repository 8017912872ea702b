// A started device and user-mode sessions on its private file, driven to a
// handle state, for the private-interface and ASIO-stream tests.
#pragma once

#include <memory>
#include <string>

#include "common/asio_requests.h"
#include "core_fixture.h"
#include "tools/asiohost/private_files.h"
#include "tools/asiohost/private_session.h"

namespace trox::test {

class PrivateTest : public CoreTest {
 protected:
  void TearDown() override {
    // A closed handle's last references go through a work item: its close
    // must come before the testbed removes the device.
    Bed().RunFor(10 * sim::clock::kTicksPerMillisecond);
    CoreTest::TearDown();
  }
  // Starts the model; the sessions below open its private file.
  void StartDevice(const std::string& model = "oxley-10x6") {
    pdo_ = StartModel(model);
    ASSERT_NE(pdo_, nullptr);
    path_ = asiohost::PrivateFileOf(pdo_);
    ASSERT_FALSE(path_.empty());
  }
  std::unique_ptr<asiohost::PrivateSession> Open() {
    auto session = std::make_unique<asiohost::PrivateSession>();
    EXPECT_EQ(session->Open(path_), STATUS_SUCCESS);
    return session;
  }
  // A duplex prepare of `frames` PCM frames (render only where the device has no capture).
  ASIO_PREPARE_RECORD PrepareRecord(ULONG frames = 256) {
    const bool capture = Adapter(pdo_)->Function().CaptureStream() != nullptr;
    return ASIO_PREPARE_RECORD{frames, capture ? 1u : 0u, 1, 0, 0, 1};
  }
  // Drives an open session to `state` (1 open .. 4 running) with the usual
  // requests; each must succeed.
  void Reach(asiohost::PrivateSession& session, LONG state) {
    if (state >= 2) {
      ASSERT_EQ(session.Send(IOCTL_ASIO_CLAIM).status, STATUS_SUCCESS);
    }
    if (state >= 3) {
      const ASIO_PREPARE_RECORD record = PrepareRecord();
      ASSERT_EQ(session.Control(IOCTL_ASIO_PREPARE, &record, sizeof(record), nullptr, 0).status, STATUS_SUCCESS);
    }
    if (state >= 4) {
      ASSERT_EQ(session.Send(IOCTL_ASIO_START).status, STATUS_SUCCESS);
    }
  }

  PDEVICE_OBJECT pdo_ = nullptr;
  std::u16string path_;
};

}  // namespace trox::test
