// The private file's requests: the state each needs, the lengths each
// takes, the owner shared by all handles, and cleanup's unwinding.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

#include "private_fixture.h"
#include "sim/kernel/core/clock.h"

namespace trox::test {
namespace {

constexpr LONG kAny = 0;

struct Rule {
  ULONG code;
  LONG state;  // kAny: every state
};

constexpr Rule kRules[] = {
    {IOCTL_ASIO_GET_RATE_RANGE, kAny},   {IOCTL_ASIO_GET_FORMAT, kAny},        {IOCTL_ASIO_GET_SAMPLE_RATE, kAny},
    {IOCTL_ASIO_SET_SAMPLE_RATE, kAny},  {IOCTL_ASIO_GET_DSD_SUPPORT, kAny},   {IOCTL_ASIO_GET_SERIAL_NUMBER, kAny},
    {IOCTL_ASIO_GET_BUS_SPEED, kAny},    {IOCTL_ASIO_CLAIM, 1},                {IOCTL_ASIO_PREPARE, 2},
    {IOCTL_ASIO_START, 3},               {IOCTL_ASIO_STOP, 4},                 {IOCTL_ASIO_UNPREPARE, 3},
    {IOCTL_ASIO_RELEASE, 2},             {IOCTL_ASIO_GET_CAPTURE_MS, kAny},    {IOCTL_ASIO_PING, kAny},
    {IOCTL_ASIO_GET_RESET_NEEDED, kAny}, {IOCTL_ASIO_GO, 4},                   {IOCTL_ASIO_GET_POSITION, 4},
    {IOCTL_ASIO_SYNC_POSITION, 4},       {IOCTL_ASIO_FAIL_NEXT_CAPTURE, kAny}, {IOCTL_ASIO_FAIL_NEXT_RENDER, kAny},
    {IOCTL_ASIO_SET_RENDER_LEAD, kAny},  {IOCTL_ASIO_SET_RENDER_PREFILL, kAny},
};

class PrivateRequests : public PrivateTest {
 protected:
  void SetUp() override {
    PrivateTest::SetUp();
    StartDevice();
    rate_ = Adapter(pdo_)->GetDeviceSampleRate();
  }
  // A valid input for the code (the device's own rate, a default prepare).
  std::vector<uint8_t> ValidInput(ULONG code) {
    std::vector<uint8_t> input(64, 0);
    if (code == IOCTL_ASIO_GET_FORMAT) {
      ASIO_FORMAT_RECORD record = {1, rate_, 0, 0, 0, 0};
      std::memcpy(input.data(), &record, sizeof(record));
    } else if (code == IOCTL_ASIO_PREPARE) {
      const ASIO_PREPARE_RECORD record = PrepareRecord();
      std::memcpy(input.data(), &record, sizeof(record));
    } else if (code == IOCTL_ASIO_SET_SAMPLE_RATE) {
      std::memcpy(input.data(), &rate_, sizeof(rate_));
    }
    return input;
  }
  asiohost::Reply Send(asiohost::PrivateSession& session, ULONG code, ULONG inputLength, ULONG outputLength) {
    std::vector<uint8_t> input = ValidInput(code);
    input.resize(std::max<size_t>(input.size(), inputLength));
    std::vector<uint8_t> output(outputLength + 1, 0xEE);
    const asiohost::Reply reply = session.Control(code, input.data(), inputLength, output.data(), outputLength);
    EXPECT_LE(reply.information, outputLength) << asiohost::RequestName(code);
    EXPECT_EQ(output[outputLength], 0xEE) << asiohost::RequestName(code) << ": written past the output";
    return reply;
  }
  ULONG rate_ = 0;
};

TEST_F(PrivateRequests, EveryCodeInEveryStateAnswersByItsStateRule) {
  for (const Rule& rule : kRules) {
    // A fault switch set while nothing streams would fail a later start.
    const bool faultSwitch = rule.code == IOCTL_ASIO_FAIL_NEXT_CAPTURE || rule.code == IOCTL_ASIO_FAIL_NEXT_RENDER;
    for (LONG state = faultSwitch ? 4 : 1; state <= 4; ++state) {
      auto session = Open();
      Reach(*session, state);
      const asiohost::Reply reply = Send(*session, rule.code, 64, 64);
      const bool allowed = rule.state == kAny || rule.state == state;
      if (allowed) {
        EXPECT_TRUE(NT_SUCCESS(reply.status)) << asiohost::RequestName(rule.code) << " in state " << state << ": 0x"
                                              << std::hex << reply.status;
      } else {
        EXPECT_EQ(reply.status, STATUS_UNSUCCESSFUL) << asiohost::RequestName(rule.code) << " in state " << state;
        EXPECT_EQ(reply.information, 0u);
      }
    }
  }
}

TEST_F(PrivateRequests, UndefinedCodesAreRefusedInEveryState) {
  for (ULONG code : {0x222070u, 0x222084u, 0x221FFCu, 0x222001u, 0x00000000u, 0xFFFFFFFFu}) {
    for (LONG state = 1; state <= 4; ++state) {
      auto session = Open();
      Reach(*session, state);
      EXPECT_EQ(Send(*session, code, 8, 8).status, STATUS_INVALID_DEVICE_REQUEST) << std::hex << code;
    }
  }
}

struct Lengths {
  ULONG code;
  LONG state;
  ULONG input;   // the input it needs (0: none)
  ULONG output;  // the output it fills (0: none)
  NTSTATUS shortInput;
  NTSTATUS shortOutput;
};

constexpr Lengths kLengths[] = {
    {IOCTL_ASIO_GET_RATE_RANGE, 1, 0, 8, STATUS_SUCCESS, STATUS_BUFFER_TOO_SMALL},
    {IOCTL_ASIO_GET_FORMAT, 1, 22, 22, STATUS_BUFFER_TOO_SMALL, STATUS_BUFFER_TOO_SMALL},
    {IOCTL_ASIO_GET_SAMPLE_RATE, 1, 0, 4, STATUS_SUCCESS, STATUS_BUFFER_TOO_SMALL},
    {IOCTL_ASIO_SET_SAMPLE_RATE, 1, 4, 0, STATUS_INVALID_PARAMETER, STATUS_SUCCESS},
    {IOCTL_ASIO_GET_DSD_SUPPORT, 1, 0, 4, STATUS_SUCCESS, STATUS_BUFFER_TOO_SMALL},
    {IOCTL_ASIO_GET_BUS_SPEED, 1, 0, 4, STATUS_SUCCESS, STATUS_BUFFER_TOO_SMALL},
    {IOCTL_ASIO_GET_CAPTURE_MS, 1, 0, 4, STATUS_SUCCESS, STATUS_BUFFER_TOO_SMALL},
    {IOCTL_ASIO_GET_RESET_NEEDED, 1, 0, 4, STATUS_SUCCESS, STATUS_BUFFER_TOO_SMALL},
    {IOCTL_ASIO_PREPARE, 2, 20, 0, STATUS_INVALID_PARAMETER, STATUS_SUCCESS},
    {IOCTL_ASIO_GET_POSITION, 4, 0, 4, STATUS_SUCCESS, STATUS_INVALID_PARAMETER},
    {IOCTL_ASIO_SYNC_POSITION, 4, 4, 0, STATUS_INVALID_PARAMETER, STATUS_SUCCESS},
    {IOCTL_ASIO_SET_RENDER_LEAD, 1, 4, 0, STATUS_INVALID_PARAMETER, STATUS_SUCCESS},
    {IOCTL_ASIO_SET_RENDER_PREFILL, 1, 4, 0, STATUS_INVALID_PARAMETER, STATUS_SUCCESS},
};

TEST_F(PrivateRequests, LengthsZeroShortExactAndLonger) {
  for (const Lengths& c : kLengths) {
    const auto lengthsAround = [](ULONG n) {
      return n == 0 ? std::vector<ULONG>{0, 3} : std::vector<ULONG>{0, n - 1, n, n + 1};
    };
    for (ULONG input : lengthsAround(c.input)) {
      for (ULONG output : lengthsAround(c.output)) {
        auto session = Open();
        Reach(*session, c.state);
        const asiohost::Reply reply = Send(*session, c.code, input, output);
        NTSTATUS expected = STATUS_SUCCESS;
        if (input < c.input) {
          expected = c.shortInput;
        } else if (output < c.output) {
          expected = c.shortOutput;
        }
        // A short input and a short output together: the input is looked at first.
        if (c.code == IOCTL_ASIO_GET_FORMAT && input < c.input) expected = STATUS_BUFFER_TOO_SMALL;
        EXPECT_EQ(reply.status, expected) << asiohost::RequestName(c.code) << " in " << input << " out " << output;
        EXPECT_EQ(reply.information, NT_SUCCESS(reply.status) ? c.output : 0u)
            << asiohost::RequestName(c.code) << " in " << input << " out " << output;
      }
    }
  }
}

TEST_F(PrivateRequests, SerialNumberComesInTwoStepsAndTruncatesToWholeCharacters) {
  const UsbString& serial = Adapter(pdo_)->SerialNumber();
  const ULONG count = serial.CharacterCount();
  ASSERT_GT(count, 1u);
  auto session = Open();
  struct Case {
    ULONG output;
    NTSTATUS status;
    ULONG characters;  // copied
  };
  for (const Case& c : {Case{5, STATUS_BUFFER_TOO_SMALL, 0}, Case{6, STATUS_BUFFER_OVERFLOW, 0},
                        Case{7, STATUS_BUFFER_OVERFLOW, 0}, Case{2 * count + 5, STATUS_BUFFER_OVERFLOW, count - 1},
                        Case{2 * count + 6, STATUS_SUCCESS, count}, Case{2 * count + 40, STATUS_SUCCESS, count}}) {
    std::vector<uint8_t> out(c.output, 0xEE);
    const asiohost::Reply reply = session->Control(IOCTL_ASIO_GET_SERIAL_NUMBER, nullptr, 0, out.data(), c.output);
    EXPECT_EQ(reply.status, c.status) << c.output;
    if (c.status == STATUS_BUFFER_TOO_SMALL) continue;
    // Every byte the reply covers was written: the count, the characters, the zero.
    ASSERT_EQ(reply.information, 2 * c.characters + 6) << c.output;
    ULONG n = 0;
    std::memcpy(&n, out.data(), 4);
    EXPECT_EQ(n, count);
    EXPECT_EQ(std::memcmp(out.data() + 4, serial.Characters(), 2 * c.characters), 0);
    EXPECT_EQ(out[4 + 2 * c.characters], 0);
    EXPECT_EQ(out[5 + 2 * c.characters], 0);
  }
}

TEST_F(PrivateRequests, FormatQueryFollowsTheDevicesSettings) {
  auto session = Open();
  struct Case {
    USHORT type;
    ULONG rate;
    bool ok;
    NTSTATUS status;  // when it fails: that status, or any failure for 0
  };
  for (const Case& c : {Case{1, rate_, true, STATUS_SUCCESS}, Case{3, 44100, false, STATUS_NO_MATCH},
                        Case{1, 12345, false, 0}, Case{1, 0, false, 0}}) {
    ASIO_FORMAT_RECORD record = {c.type, c.rate, 7, 7, 7, 7};
    const asiohost::Reply reply =
        session->Control(IOCTL_ASIO_GET_FORMAT, &record, sizeof(record), &record, sizeof(record));
    if (!c.ok) {
      if (c.status != 0) {
        EXPECT_EQ(reply.status, c.status) << c.type << " " << c.rate;
      }
      EXPECT_FALSE(NT_SUCCESS(reply.status)) << c.type << " " << c.rate;
      EXPECT_EQ(reply.information, 0u);
      continue;
    }
    ASSERT_EQ(reply.status, STATUS_SUCCESS);
    EXPECT_EQ(reply.information, sizeof(record));
    // The record is packed: its fields are compared as values, not bound by reference.
    EXPECT_EQ(+record.FormatType, c.type);
    EXPECT_EQ(+record.SampleRate, c.rate);
    EXPECT_EQ(+record.RenderChannels, 6u);
    EXPECT_EQ(+record.CaptureChannels, 10u);
    EXPECT_GE(+record.RenderBits, 16u);
  }
}

TEST_F(PrivateRequests, PrepareRefusesWhatCannotBeStreamed) {
  auto session = Open();
  Reach(*session, 2);
  struct Case {
    ASIO_PREPARE_RECORD record;
    NTSTATUS status;
  };
  for (const Case& c : {
           Case{{0, 1, 1, 0, 0, 1}, STATUS_INVALID_PARAMETER},        // no period
           Case{{256, 0, 0, 0, 0, 1}, STATUS_INVALID_PARAMETER},      // neither direction
           Case{{256, 1, 1, 0, 0, 2}, STATUS_INVALID_DEVICE_REQUEST},  // no such type
           Case{{256, 1, 1, 0, 1, 3}, STATUS_INVALID_DEVICE_REQUEST},  // DSD as float
           Case{{256, 1, 1, 0, 0, 3}, STATUS_NO_MATCH},                // float on a PCM-only device
           Case{{0x40000000, 1, 1, 0, 0, 1}, STATUS_INVALID_PARAMETER},  // rings past 32 bits
           Case{{15728896, 1, 1, 100, 0, 1}, STATUS_INVALID_PARAMETER},  // gigabytes of pool
           Case{{65537, 1, 1, 0, 0, 1}, STATUS_INVALID_PARAMETER},       // the first period too long
       }) {
    EXPECT_EQ(session->Control(IOCTL_ASIO_PREPARE, &c.record, sizeof(c.record), nullptr, 0).status, c.status)
        << c.record.BufferFrames << " " << c.record.Dsd << " " << c.record.FormatType;
  }
  // DSD where the device has it, refused where it has not.
  const ASIO_PREPARE_RECORD dsd = {256, 1, 1, 0, 1, 1};
  const bool native = Adapter(pdo_)->IsDsdNativeSupported();
  EXPECT_EQ(session->Control(IOCTL_ASIO_PREPARE, &dsd, sizeof(dsd), nullptr, 0).status,
            native ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_REQUEST);
  if (native) {
    EXPECT_EQ(session->Send(IOCTL_ASIO_UNPREPARE).status, STATUS_SUCCESS);
  }
  // Nothing was left held: a good prepare still goes through, and a second one is refused.
  const ASIO_PREPARE_RECORD good = PrepareRecord();
  EXPECT_EQ(session->Control(IOCTL_ASIO_PREPARE, &good, sizeof(good), nullptr, 0).status, STATUS_SUCCESS);
  EXPECT_EQ(session->Control(IOCTL_ASIO_PREPARE, &good, sizeof(good), nullptr, 0).status, STATUS_UNSUCCESSFUL);
}

TEST_F(PrivateRequests, OneOwnerAtATimeAndCleanupReleasesIt) {
  auto first = Open();
  auto second = Open();
  Reach(*first, 4);
  EXPECT_EQ(second->Send(IOCTL_ASIO_CLAIM).status, STATUS_DEVICE_BUSY);
  // The other handle may still query and reads nothing of the owner's.
  ULONG rate = 0;
  EXPECT_EQ(second->Query(IOCTL_ASIO_GET_SAMPLE_RATE, &rate).status, STATUS_SUCCESS);
  std::vector<uint8_t> buffer(4096);
  auto read = second->Read(buffer.data(), static_cast<ULONG>(buffer.size()));
  ASSERT_TRUE(read->Wait());
  EXPECT_EQ(read->Result().status, STATUS_UNSUCCESSFUL);
  // Closed while running, without stop or release: cleanup unwinds all of it.
  first->Close();
  Reach(*second, 4);
  EXPECT_EQ(second->Send(IOCTL_ASIO_STOP).status, STATUS_SUCCESS);
  EXPECT_EQ(second->Send(IOCTL_ASIO_UNPREPARE).status, STATUS_SUCCESS);
  EXPECT_EQ(second->Send(IOCTL_ASIO_RELEASE).status, STATUS_SUCCESS);
  EXPECT_EQ(second->Send(IOCTL_ASIO_CLAIM).status, STATUS_SUCCESS);
}

TEST_F(PrivateRequests, TwoThreadsRacingToClaimGetOneOwner) {
  for (int round = 0; round < 8; ++round) {
    auto a = Open();
    auto b = Open();
    NTSTATUS statuses[2] = {};
    sim::clock::Thread ta("claim a", [&] { statuses[0] = a->Send(IOCTL_ASIO_CLAIM).status; });
    sim::clock::Thread tb("claim b", [&] { statuses[1] = b->Send(IOCTL_ASIO_CLAIM).status; });
    ta.Join();
    tb.Join();
    EXPECT_EQ((statuses[0] == STATUS_SUCCESS) + (statuses[1] == STATUS_SUCCESS), 1);
    EXPECT_EQ((statuses[0] == STATUS_DEVICE_BUSY) + (statuses[1] == STATUS_DEVICE_BUSY), 1);
  }
}

TEST_F(PrivateRequests, RemovalRefusesEveryRequestAndCleanupStillEnds) {
  auto session = Open();
  Reach(*session, 4);
  // Surprise removal; the device object waits for the open handle to go.
  Bed().Unplug(pdo_);
  EXPECT_EQ(session->Send(IOCTL_ASIO_PING).status, STATUS_DELETE_PENDING);
  std::vector<uint8_t> buffer(1024);
  auto read = session->Read(buffer.data(), static_cast<ULONG>(buffer.size()));
  ASSERT_TRUE(read->Wait());
  EXPECT_EQ(read->Result().status, STATUS_DELETE_PENDING);
  session->Close();
  asiohost::PrivateSession late;
  EXPECT_NE(late.Open(path_), STATUS_SUCCESS);
}

}  // namespace
}  // namespace trox::test
