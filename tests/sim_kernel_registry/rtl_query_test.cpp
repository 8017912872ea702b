// RtlQueryRegistryValues and the RtlXxx write/check/create helpers.
#include <cstring>
#include <string>
#include <vector>

#include "registry_fixture.h"
#include "sim/kernel/core/verifier.h"

using namespace regtest;

namespace {

constexpr char16_t kPerf[] = u"\\Registry\\Machine\\SOFTWARE\\Vendor\\Perf";

using RtlQueryTest = RegistryTest;

// The two-entry DIRECT table with REG_DWORD defaults of 4 bytes that drivers
// use for optional tuning values.
NTSTATUS QueryTwoDwords(ULONG* first, ULONG* second, ULONG flags = 0, ULONG extraTypeBits = 0) {
  ULONG firstDefault = *first, secondDefault = *second;
  RTL_QUERY_REGISTRY_TABLE table[3] = {};
  table[0].Flags = RTL_QUERY_REGISTRY_DIRECT | flags;
  table[0].Name = L"param1";
  table[0].EntryContext = first;
  table[0].DefaultType = REG_DWORD | extraTypeBits;
  table[0].DefaultData = &firstDefault;
  table[0].DefaultLength = sizeof(ULONG);
  table[1] = table[0];
  table[1].Name = L"param2";
  table[1].EntryContext = second;
  table[1].DefaultData = &secondDefault;
  return RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, reinterpret_cast<PCWSTR>(kPerf), table, nullptr, nullptr);
}

TEST_F(RtlQueryTest, DirectDwordsWithDefaults) {
  ULONG a = 8, b = 16;
  // No key at all.
  EXPECT_EQ(QueryTwoDwords(&a, &b), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(a, 8u);

  // Key with one of the two values: the other takes its default.
  ASSERT_TRUE(sim::registry::SetDword(kPerf, u"PARAM1", 12));
  a = 8, b = 16;
  ASSERT_EQ(QueryTwoDwords(&a, &b), STATUS_SUCCESS);
  EXPECT_EQ(a, 12u);
  EXPECT_EQ(b, 16u);

  ASSERT_TRUE(sim::registry::SetDword(kPerf, u"param2", 0));
  ASSERT_EQ(QueryTwoDwords(&a, &b), STATUS_SUCCESS);
  EXPECT_EQ(b, 0u);
}

TEST_F(RtlQueryTest, TypeCheckRejectsAValueOfAnotherType) {
  ASSERT_TRUE(sim::registry::SetString(kPerf, u"param1", u"twelve"));
  ULONG a = 8, b = 16;
  EXPECT_EQ(QueryTwoDwords(&a, &b, RTL_QUERY_REGISTRY_TYPECHECK, REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT),
            STATUS_OBJECT_TYPE_MISMATCH);
  EXPECT_EQ(a, 8u);  // untouched

  // The matching type passes the check.
  ASSERT_TRUE(sim::registry::SetDword(kPerf, u"param1", 3));
  EXPECT_EQ(QueryTwoDwords(&a, &b, RTL_QUERY_REGISTRY_TYPECHECK, REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT),
            STATUS_SUCCESS);
  EXPECT_EQ(a, 3u);
}

TEST_F(RtlQueryTest, DirectStringIntoADwordWithoutTypeCheckIsFlagged) {
  // Windows would write a UNICODE_STRING over the ULONG.
  ASSERT_TRUE(sim::registry::SetString(kPerf, u"param1", u"twelve"));
  sim::verifier::Recorder recorder;
  ULONG a = 8, b = 16;
  EXPECT_EQ(QueryTwoDwords(&a, &b), STATUS_OBJECT_TYPE_MISMATCH);
  EXPECT_TRUE(recorder.Has("RtlQueryRegistryValues", "param1"));
  EXPECT_EQ(a, 8u);
}

TEST_F(RtlQueryTest, RequiredValueMissing) {
  ASSERT_TRUE(sim::registry::CreateKeyPath(kPerf));
  ULONG a = 8, b = 16;
  EXPECT_EQ(QueryTwoDwords(&a, &b, RTL_QUERY_REGISTRY_REQUIRED), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(QueryTwoDwords(&a, &b), STATUS_SUCCESS);
}

TEST_F(RtlQueryTest, OptionalFlagDoesNotHideAMissingKey) {
  RTL_QUERY_REGISTRY_TABLE table[2] = {};
  ULONG v = 5, d = 5;
  table[0] = {nullptr, RTL_QUERY_REGISTRY_DIRECT, L"x", &v, REG_DWORD, &d, 4};
  EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, reinterpret_cast<PCWSTR>(kPerf),
                                   table, nullptr, nullptr),
            STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(RtlQueryTest, DirectStringsAllocateOrFillTheCallersBuffer) {
  ASSERT_TRUE(sim::registry::SetString(kPerf, u"Name", u"Device"));
  UNICODE_STRING allocated = {0, 0, nullptr};
  WCHAR small[4];
  UNICODE_STRING tooSmall = {0, sizeof small, small};
  WCHAR room[32];
  UNICODE_STRING fits = {0, sizeof room, room};
  UNICODE_STRING fromDefault = {0, 0, nullptr};

  RTL_QUERY_REGISTRY_TABLE table[3] = {};
  table[0] = {nullptr, RTL_QUERY_REGISTRY_DIRECT, L"Name", &allocated, REG_NONE, nullptr, 0};
  table[1] = {nullptr, RTL_QUERY_REGISTRY_DIRECT, L"Missing", &fromDefault, REG_SZ, (PVOID)L"fallback", 0};
  ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, reinterpret_cast<PCWSTR>(kPerf), table, nullptr, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(Chars(allocated.Buffer, allocated.Length), u"Device");
  EXPECT_EQ(allocated.Buffer[6], 0);
  EXPECT_EQ(Chars(fromDefault.Buffer, fromDefault.Length), u"fallback");
  RtlFreeUnicodeString(&allocated);
  RtlFreeUnicodeString(&fromDefault);

  table[1] = {};
  table[0].EntryContext = &fits;
  ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, reinterpret_cast<PCWSTR>(kPerf), table, nullptr, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(Chars(fits.Buffer, fits.Length), u"Device");

  table[0].EntryContext = &tooSmall;
  EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, reinterpret_cast<PCWSTR>(kPerf), table, nullptr, nullptr),
            STATUS_BUFFER_TOO_SMALL);
  // The terminator must fit too.
  UNICODE_STRING noRoomForZero = {0, 12, room};
  table[0].EntryContext = &noRoomForZero;
  EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, reinterpret_cast<PCWSTR>(kPerf), table, nullptr, nullptr),
            STATUS_BUFFER_TOO_SMALL);
}

TEST_F(RtlQueryTest, DirectLargeBinaryUsesTheSizedBuffer) {
  const UCHAR blob[6] = {1, 2, 3, 4, 5, 6};
  ASSERT_TRUE(sim::registry::SetValue(kPerf, u"Blob", REG_BINARY, blob, sizeof blob));
  RTL_QUERY_REGISTRY_TABLE table[2] = {};

  // Negative size: the data alone.
  alignas(8) UCHAR dataOnly[8];
  LONG size = -static_cast<LONG>(sizeof dataOnly);
  std::memcpy(dataOnly, &size, 4);
  table[0] = {nullptr, RTL_QUERY_REGISTRY_DIRECT, L"Blob", dataOnly, REG_NONE, nullptr, 0};
  ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, reinterpret_cast<PCWSTR>(kPerf), table, nullptr, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(std::memcmp(dataOnly, blob, 6), 0);

  // Positive size: length, type, data.
  alignas(8) UCHAR withHeader[16];
  size = sizeof withHeader;
  std::memcpy(withHeader, &size, 4);
  table[0].EntryContext = withHeader;
  ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, reinterpret_cast<PCWSTR>(kPerf), table, nullptr, nullptr),
            STATUS_SUCCESS);
  ULONG header[2];
  std::memcpy(header, withHeader, 8);
  EXPECT_EQ(header[0], 6u);
  EXPECT_EQ(header[1], (ULONG)REG_BINARY);
  EXPECT_EQ(std::memcmp(withHeader + 8, blob, 6), 0);

  // Too small either way.
  size = 12;
  std::memcpy(withHeader, &size, 4);
  EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, reinterpret_cast<PCWSTR>(kPerf), table, nullptr, nullptr),
            STATUS_BUFFER_TOO_SMALL);
}

struct Seen {
  std::vector<std::u16string> names;
  std::vector<ULONG> types;
  std::vector<std::u16string> strings;
};

NTSTATUS Collect(PWSTR name, ULONG type, PVOID data, ULONG length, PVOID context, PVOID entryContext) {
  auto* seen = static_cast<Seen*>(context);
  seen->names.push_back(name ? std::u16string(reinterpret_cast<char16_t*>(name)) : u"<null>");
  seen->types.push_back(type);
  if (type == REG_SZ) seen->strings.push_back(Chars(static_cast<WCHAR*>(data), length - 2));
  if (entryContext) ++*static_cast<int*>(entryContext);
  return STATUS_SUCCESS;
}

NTSTATUS Refuse(PWSTR, ULONG, PVOID, ULONG, PVOID, PVOID) { return STATUS_INSUFFICIENT_RESOURCES; }

TEST_F(RtlQueryTest, QueryRoutines) {
  ASSERT_TRUE(sim::registry::SetMultiString(kPerf, u"List", {u"a", u"bc"}));
  ASSERT_TRUE(sim::registry::SetDword(kPerf, u"Num", 1));
  int calls = 0;
  Seen seen;
  RTL_QUERY_REGISTRY_TABLE table[3] = {};
  // A multi-string reaches the routine one string at a time.
  table[0] = {Collect, 0, L"List", &calls, REG_NONE, nullptr, 0};
  // A missing value with a default: the routine sees the default.
  ULONG dflt = 9;
  table[1] = {Collect, 0, L"Absent", &calls, REG_DWORD, &dflt, 4};
  ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, reinterpret_cast<PCWSTR>(kPerf), table, &seen, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(seen.strings, (std::vector<std::u16string>{u"a", u"bc"}));
  EXPECT_EQ(seen.types.back(), (ULONG)REG_DWORD);

  // NOEXPAND: the multi-string whole.
  seen = {};
  table[0].Flags = RTL_QUERY_REGISTRY_NOEXPAND;
  table[1] = {};
  ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, reinterpret_cast<PCWSTR>(kPerf), table, &seen, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(seen.types, std::vector<ULONG>{REG_MULTI_SZ});

  // No name: every value of the key, in order.
  seen = {};
  table[0] = {Collect, RTL_QUERY_REGISTRY_NOEXPAND, nullptr, nullptr, REG_NONE, nullptr, 0};
  ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, reinterpret_cast<PCWSTR>(kPerf), table, &seen, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(seen.names, (std::vector<std::u16string>{u"List", u"Num"}));

  // A failing routine stops the query with its status.
  table[0] = {Refuse, 0, L"Num", nullptr, REG_NONE, nullptr, 0};
  EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, reinterpret_cast<PCWSTR>(kPerf), table, &seen, nullptr),
            STATUS_INSUFFICIENT_RESOURCES);
}

TEST_F(RtlQueryTest, SubkeyEntriesSwitchTheKeyUntilTopkey) {
  ASSERT_TRUE(sim::registry::SetDword(kPerf, u"v", 1));
  ASSERT_TRUE(sim::registry::SetDword(std::u16string(kPerf) + u"\\Sub", u"v", 2));
  ULONG sub = 0, back = 0;
  RTL_QUERY_REGISTRY_TABLE table[4] = {};
  table[0] = {nullptr, RTL_QUERY_REGISTRY_SUBKEY, L"Sub", nullptr, REG_NONE, nullptr, 0};
  table[1] = {nullptr, RTL_QUERY_REGISTRY_DIRECT, L"v", &sub, REG_NONE, nullptr, 0};
  table[2] = {nullptr, RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_TOPKEY, L"v", &back, REG_NONE, nullptr, 0};
  ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, reinterpret_cast<PCWSTR>(kPerf), table, nullptr, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(sub, 2u);
  EXPECT_EQ(back, 1u);
}

TEST_F(RtlQueryTest, RelativeToHandleAndServices) {
  ASSERT_TRUE(sim::registry::SetDword(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\drv\\Parameters",
                                      u"Level", 3));
  ULONG level = 0;
  RTL_QUERY_REGISTRY_TABLE table[2] = {};
  table[0] = {nullptr, RTL_QUERY_REGISTRY_DIRECT, L"Level", &level, REG_NONE, nullptr, 0};
  ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, L"drv\\Parameters", table, nullptr, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(level, 3u);

  HANDLE h;
  ASSERT_EQ(Open(&h, u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\drv\\Parameters", KEY_READ),
            STATUS_SUCCESS);
  level = 0;
  ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(h), table, nullptr, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(level, 3u);
  ZwClose(h);

  // RTL_REGISTRY_USER is the current user's hive.
  ULONG one = 1;
  ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_USER, L"SOFTWARE", L"u", REG_DWORD, &one, 4), STATUS_SUCCESS);
  EXPECT_EQ(sim::registry::GetDword(sim::registry::CurrentUserKeyPath() + u"\\Software", u"U"), 1u);
}

TEST_F(RtlQueryTest, WriteCheckAndCreate) {
  ULONG v = 44100;
  // The last component is created; missing intermediates are not.
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, reinterpret_cast<PCWSTR>(kPerf), L"SampleRate", REG_DWORD,
                                  &v, 4),
            STATUS_OBJECT_NAME_NOT_FOUND);
  WCHAR vendor[] = L"\\Registry\\Machine\\SOFTWARE\\Vendor";
  EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_ABSOLUTE, vendor), STATUS_OBJECT_NAME_NOT_FOUND);
  ASSERT_EQ(RtlCreateRegistryKey(RTL_REGISTRY_ABSOLUTE, vendor), STATUS_SUCCESS);
  EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_ABSOLUTE, vendor), STATUS_SUCCESS);
  ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, reinterpret_cast<PCWSTR>(kPerf), L"SampleRate", REG_DWORD,
                                  &v, 4),
            STATUS_SUCCESS);
  EXPECT_EQ(sim::registry::GetDword(kPerf, u"samplerate"), 44100u);
  EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_ABSOLUTE, reinterpret_cast<PCWSTR>(kPerf), L"SampleRate"),
            STATUS_SUCCESS);
  EXPECT_FALSE(sim::registry::GetDword(kPerf, u"SampleRate"));
}

}  // namespace
