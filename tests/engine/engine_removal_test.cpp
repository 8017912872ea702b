// Surprise removal at every stage of a device's life under the driver, with
// a client that holds the private interface open as the ASIO driver does:
// nothing hangs, a new private open is refused once removal was seen, and
// the testbed's teardown finds nothing left behind.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "core_fixture.h"
#include "sim/kernel/core/clock.h"
#include "sim/kernel/io/pnp.h"
#include "sim/usb/device/device_models.h"

namespace trox::test {
namespace {

using sim::clock::kTicksPerMillisecond;

enum class Stage { kInit, kStart, kStreaming, kRecovery, kStop };

const char* StageName(Stage stage) {
  switch (stage) {
    case Stage::kInit: return "init";
    case Stage::kStart: return "start";
    case Stage::kStreaming: return "streaming";
    case Stage::kRecovery: return "recovery";
    case Stage::kStop: return "stop";
  }
  return "?";
}

class Removal : public CoreTest {
 protected:
  // Gets the device to just before `stage`, runs the stage's step on a
  // client thread and pulls the device out `delay` after the step began.
  void RemoveDuring(const std::string& model, Stage stage, int64_t delay) {
    SCOPED_TRACE(std::string(StageName(stage)) + " +" + std::to_string(delay / kTicksPerMillisecond) + " ms " + model);
    PDEVICE_OBJECT pdo = Bed().PlugModel(model);
    ASSERT_NE(pdo, nullptr);
    std::unique_ptr<sim::io::UserHandle> handle;
    CAdapterCommon* adapter = nullptr;
    if (stage != Stage::kInit) {
      ASSERT_EQ(Bed().Start(pdo), STATUS_SUCCESS);
      ASSERT_EQ(OpenPrivate(pdo, &handle), STATUS_SUCCESS);
      // The open handle keeps the device core alive until it is closed.
      adapter = Adapter(pdo);
      ASSERT_NE(adapter, nullptr);
    }
    if (stage == Stage::kStreaming || stage == Stage::kRecovery || stage == Stage::kStop) {
      ASSERT_EQ(adapter->StartDirection(kDirectionCapture, 0), STATUS_SUCCESS);
      Bed().RunFor(20 * kTicksPerMillisecond);
    }
    NTSTATUS stepStatus = STATUS_PENDING;
    NTSTATUS reopenStatus = STATUS_PENDING;
    sim::clock::Thread client("removal client", [&] {
      switch (stage) {
        case Stage::kInit: stepStatus = Bed().Start(pdo); break;
        case Stage::kStart: stepStatus = adapter->StartDirection(kDirectionCapture, 0); break;
        case Stage::kStreaming: stepStatus = STATUS_SUCCESS; break;
        case Stage::kRecovery:
          adapter->Engine().FailNextCompletion(kDirectionCapture);
          stepStatus = STATUS_SUCCESS;
          break;
        case Stage::kStop: stepStatus = adapter->StopDirection(kDirectionCapture); break;
      }
      if (handle == nullptr) return;
      // Stay open until the removal is under way, as a client would until
      // its requests fail; then a new open must be refused.
      for (int i = 0; i < 5000 && sim::pnp::State(pdo) == sim::pnp::DeviceState::Started; ++i) {
        Bed().RunFor(kTicksPerMillisecond);
      }
      if (stage != Stage::kStop && NT_SUCCESS(stepStatus)) adapter->StopDirection(kDirectionCapture);
      std::unique_ptr<sim::io::UserHandle> late;
      reopenStatus = OpenPrivate(pdo, &late);
      if (late != nullptr) late->Close();
      handle->Close();
    });
    Bed().RunFor(delay);
    EXPECT_TRUE(Bed().Unplug(pdo)) << "the removal did not complete";
    client.Join();
    EXPECT_NE(stepStatus, STATUS_PENDING);
    if (stage != Stage::kInit) {
      EXPECT_EQ(reopenStatus, STATUS_DELETE_PENDING);
    }
  }
};

TEST_F(Removal, AtEveryStage) {
  const Stage stages[] = {Stage::kStreaming, Stage::kInit, Stage::kStart, Stage::kRecovery, Stage::kStop};
  for (Stage stage : stages) {
    for (int64_t delay : {0, 1, 2, 5, 40}) {
      RemoveDuring(sim::usb::kDefaultModel, stage, delay * kTicksPerMillisecond);
    }
  }
}

TEST_F(Removal, WaitsForAPrivateRequestInsideTheGate) {
  PDEVICE_OBJECT pdo = StartModel(sim::usb::kDefaultModel);
  std::unique_ptr<sim::io::UserHandle> handle;
  ASSERT_EQ(OpenPrivate(pdo, &handle), STATUS_SUCCESS);
  CAdapterCommon* adapter = Adapter(pdo);
  ASSERT_TRUE(adapter->RequestGate().Acquire());  // a request is inside
  bool removed = false;
  sim::clock::Thread remover("remover", [&] { removed = Bed().Unplug(pdo); });
  Bed().RunFor(50 * kTicksPerMillisecond);
  // The removal waits at the gate; the request still sees a live device core.
  EXPECT_FALSE(removed);
  EXPECT_EQ(adapter->RequestGate().Inside(), 1);
  adapter->RequestGate().Release();
  Bed().RunFor(kTicksPerMillisecond);
  std::unique_ptr<sim::io::UserHandle> late;
  EXPECT_EQ(OpenPrivate(pdo, &late), STATUS_DELETE_PENDING);
  handle->Close();
  remover.Join();
  EXPECT_TRUE(removed);
}

// A seeded schedule of removals at random stages and moments, on random
// models: the run's seed replays it.
TEST_F(Removal, SeededScheduleOfAThousand) {
  sim::clock::Random random("removal schedule");
  const std::vector<sim::usb::ModelInfo>& models = sim::usb::ListModels();
  for (int i = 0; i < 1000 && !HasFatalFailure(); ++i) {
    const Stage stage = static_cast<Stage>(random.Below(5));
    const int64_t delay = static_cast<int64_t>(random.Below(30 * kTicksPerMillisecond));
    RemoveDuring(models[random.Below(models.size())].name, stage, delay);
    if (HasFailure()) {
      ADD_FAILURE() << "removal " << i << " of the schedule";
      break;
    }
  }
  PrintSeedOnFailure(Bed());
}

}  // namespace
}  // namespace trox::test
