// ETW providers print only while TROX_TRACE is set.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include <wdm.h>

namespace {

// {1A2B3C4D-0000-4000-8000-000000000001}
constexpr GUID kProvider = {0x1a2b3c4d, 0, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 1}};

std::string WriteEvent(REGHANDLE h, UCHAR level) {
  EVENT_DESCRIPTOR d = {};
  d.Id = 17;
  d.Level = level;
  ULONG value = 48000;
  USHORT small = 0xffff;
  EVENT_DATA_DESCRIPTOR data[2];
  EventDataDescCreate(&data[0], &value, sizeof value);
  EventDataDescCreate(&data[1], &small, sizeof small);
  testing::internal::CaptureStderr();
  EtwWrite(h, &d, nullptr, 2, data);
  return testing::internal::GetCapturedStderr();
}

TEST(Etw, SilentAndDisabledWithoutTroxTrace) {
  unsetenv("TROX_TRACE");
  REGHANDLE h = 0;
  ASSERT_EQ(EtwRegister(&kProvider, nullptr, nullptr, &h), STATUS_SUCCESS);
  EVENT_DESCRIPTOR d = {};
  d.Level = TRACE_LEVEL_ERROR;
  EXPECT_FALSE(EtwEventEnabled(h, &d));
  EXPECT_EQ(WriteEvent(h, TRACE_LEVEL_ERROR), "");
  EtwUnregister(h);
}

int gEnableCalls = 0;
void OnEnable(LPCGUID, ULONG code, UCHAR level, ULONGLONG, ULONGLONG, PEVENT_FILTER_DESCRIPTOR, PVOID) {
  if (code == EVENT_CONTROL_CODE_ENABLE_PROVIDER && level == 4) gEnableCalls++;
}

TEST(Etw, PrintsEventsUpToTheConfiguredLevel) {
  setenv("TROX_TRACE", "4", 1);
  gEnableCalls = 0;
  REGHANDLE h = 0;
  ASSERT_EQ(EtwRegister(&kProvider, OnEnable, nullptr, &h), STATUS_SUCCESS);
  EXPECT_EQ(gEnableCalls, 1);
  std::string line = WriteEvent(h, TRACE_LEVEL_INFORMATION);
  EXPECT_NE(line.find("1a2b3c4d"), std::string::npos) << line;
  EXPECT_NE(line.find("event 17"), std::string::npos) << line;
  EXPECT_NE(line.find("level 4"), std::string::npos) << line;
  EXPECT_NE(line.find("0xbb80=48000"), std::string::npos) << line;
  EXPECT_NE(line.find("0xffff=-1"), std::string::npos) << line;
  EXPECT_EQ(WriteEvent(h, TRACE_LEVEL_VERBOSE), "") << "above the configured level";
  setenv("TROX_TRACE", "yes", 1);
  EXPECT_NE(WriteEvent(h, TRACE_LEVEL_VERBOSE), "") << "a non-number enables every level";
  unsetenv("TROX_TRACE");
  EtwUnregister(h);
}

}  // namespace
