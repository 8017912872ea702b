// Values through ZwSetValueKey / ZwQueryValueKey / ZwEnumerateValueKey /
// ZwDeleteValueKey: types and sizes, and the buffer size rules of each class.
#include <cstring>
#include <vector>

#include "registry_fixture.h"
#include "sim/kernel/core/verifier.h"

using namespace regtest;

namespace {

class ValueTest : public RegistryTest {
 protected:
  void SetUp() override { ASSERT_EQ(Create(&key_, kTestKey), STATUS_SUCCESS); }
  void TearDown() override {
    ZwClose(key_);
    RegistryTest::TearDown();
  }

  NTSTATUS Set(const char16_t* name, ULONG type, const void* data, ULONG size) {
    UNICODE_STRING n = Us(name);
    return ZwSetValueKey(key_, &n, 0, type, const_cast<void*>(data), size);
  }
  NTSTATUS Query(const char16_t* name, KEY_VALUE_INFORMATION_CLASS cls, void* buf, ULONG len, ULONG* result) {
    UNICODE_STRING n = Us(name);
    return ZwQueryValueKey(key_, &n, cls, buf, len, result);
  }
  // The partial information of a value, queried the two-step way drivers do.
  std::vector<UCHAR> Partial(const char16_t* name) {
    ULONG size = 0;
    EXPECT_EQ(Query(name, KeyValuePartialInformation, nullptr, 0, &size), STATUS_BUFFER_TOO_SMALL);
    std::vector<UCHAR> buf(size);
    ULONG again = 0;
    EXPECT_EQ(Query(name, KeyValuePartialInformation, buf.data(), size, &again), STATUS_SUCCESS);
    EXPECT_EQ(again, size);
    return buf;
  }

  HANDLE key_ = nullptr;
};

const KEY_VALUE_PARTIAL_INFORMATION* AsPartial(const std::vector<UCHAR>& b) {
  return reinterpret_cast<const KEY_VALUE_PARTIAL_INFORMATION*>(b.data());
}

TEST_F(ValueTest, EachTypeKeepsItsExactBytes) {
  ULONG dword = 0x12345678;
  ULONGLONG qword = 0x1122334455667788ull;
  const char16_t sz[] = u"abc";  // 4 characters with the terminator
  const char16_t multi[] = u"one\0two\0";
  const UCHAR bin[] = {0, 1, 2, 0xFF, 0};
  ASSERT_EQ(Set(u"d", REG_DWORD, &dword, 4), STATUS_SUCCESS);
  ASSERT_EQ(Set(u"q", REG_QWORD, &qword, 8), STATUS_SUCCESS);
  ASSERT_EQ(Set(u"s", REG_SZ, sz, sizeof sz), STATUS_SUCCESS);
  ASSERT_EQ(Set(u"m", REG_MULTI_SZ, multi, sizeof multi), STATUS_SUCCESS);
  ASSERT_EQ(Set(u"b", REG_BINARY, bin, sizeof bin), STATUS_SUCCESS);
  ASSERT_EQ(Set(u"none", REG_NONE, nullptr, 0), STATUS_SUCCESS);

  auto d = Partial(u"d");
  EXPECT_EQ(AsPartial(d)->Type, (ULONG)REG_DWORD);
  EXPECT_EQ(AsPartial(d)->DataLength, 4u);
  EXPECT_EQ(d.size(), 16u);  // 12-byte header + 4
  EXPECT_EQ(std::memcmp(AsPartial(d)->Data, &dword, 4), 0);

  auto q = Partial(u"q");
  EXPECT_EQ(AsPartial(q)->DataLength, 8u);
  EXPECT_EQ(std::memcmp(AsPartial(q)->Data, &qword, 8), 0);

  // The stored size is what the writer gave: the terminator counts.
  auto s = Partial(u"s");
  EXPECT_EQ(AsPartial(s)->Type, (ULONG)REG_SZ);
  EXPECT_EQ(AsPartial(s)->DataLength, 8u);
  EXPECT_EQ(std::memcmp(AsPartial(s)->Data, sz, 8), 0);

  auto m = Partial(u"m");
  EXPECT_EQ(AsPartial(m)->DataLength, sizeof multi);  // "one\0two\0\0"
  EXPECT_EQ(std::memcmp(AsPartial(m)->Data, multi, sizeof multi), 0);

  auto b = Partial(u"b");
  EXPECT_EQ(AsPartial(b)->DataLength, 5u);
  EXPECT_EQ(std::memcmp(AsPartial(b)->Data, bin, 5), 0);

  ULONG size = 0;
  UCHAR buf[32];
  EXPECT_EQ(Query(u"none", KeyValuePartialInformation, buf, sizeof buf, &size), STATUS_SUCCESS);
  EXPECT_EQ(size, 12u);
}

TEST_F(ValueTest, StringWithoutTerminatorIsStoredAsWritten) {
  const char16_t chars[] = {u'x', u'y'};
  ASSERT_EQ(Set(u"s", REG_SZ, chars, sizeof chars), STATUS_SUCCESS);
  EXPECT_EQ(AsPartial(Partial(u"s"))->DataLength, 4u);
}

TEST_F(ValueTest, PartialInformationSizeRules) {
  ULONG v = 7;
  ASSERT_EQ(Set(u"Rate", REG_DWORD, &v, 4), STATUS_SUCCESS);
  alignas(8) UCHAR buf[64];
  ULONG size = 0;

  // Below the 12-byte header: nothing written.
  std::memset(buf, 0xCC, sizeof buf);
  EXPECT_EQ(Query(u"Rate", KeyValuePartialInformation, buf, 11, &size), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(size, 16u);
  EXPECT_EQ(buf[0], 0xCC);

  // Header fits, data does not: header filled, and only what fits of the data.
  std::memset(buf, 0xCC, sizeof buf);
  EXPECT_EQ(Query(u"Rate", KeyValuePartialInformation, buf, 14, &size), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(size, 16u);
  auto* p = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buf);
  EXPECT_EQ(p->Type, (ULONG)REG_DWORD);
  EXPECT_EQ(p->DataLength, 4u);
  EXPECT_EQ(p->Data[1], 0);
  EXPECT_EQ(p->Data[2], 0xCC);

  // sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG) is plenty.
  EXPECT_EQ(Query(u"Rate", KeyValuePartialInformation, buf, sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 4, &size),
            STATUS_SUCCESS);
  EXPECT_EQ(size, 16u);
  ULONG got;
  std::memcpy(&got, p->Data, 4);
  EXPECT_EQ(got, 7u);
}

TEST_F(ValueTest, BasicInformationSizeRules) {
  ULONG v = 1;
  ASSERT_EQ(Set(u"Name5", REG_DWORD, &v, 4), STATUS_SUCCESS);
  alignas(8) UCHAR buf[64];
  ULONG size = 0;
  auto* b = reinterpret_cast<KEY_VALUE_BASIC_INFORMATION*>(buf);

  EXPECT_EQ(Query(u"name5", KeyValueBasicInformation, buf, 11, &size), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(size, 12u + 10u);

  // Room for two of the five characters: the name is cut, lengths are full.
  std::memset(buf, 0, sizeof buf);
  EXPECT_EQ(Query(u"name5", KeyValueBasicInformation, buf, 16, &size), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(b->NameLength, 10u);
  EXPECT_EQ(Chars(b->Name, 4), u"Na");

  EXPECT_EQ(Query(u"name5", KeyValueBasicInformation, buf, sizeof buf, &size), STATUS_SUCCESS);
  EXPECT_EQ(b->Type, (ULONG)REG_DWORD);
  EXPECT_EQ(Chars(b->Name, b->NameLength), u"Name5");  // stored case, not the query's
}

TEST_F(ValueTest, FullInformationSizeRules) {
  const char16_t sz[] = u"hello";
  ASSERT_EQ(Set(u"Abc", REG_SZ, sz, sizeof sz), STATUS_SUCCESS);
  alignas(8) UCHAR buf[128];
  ULONG size = 0;
  auto* f = reinterpret_cast<KEY_VALUE_FULL_INFORMATION*>(buf);

  // 20-byte header + 6 bytes of name, data at the next 4-byte boundary.
  EXPECT_EQ(Query(u"abc", KeyValueFullInformation, buf, 19, &size), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(size, 28u + 12u);

  std::memset(buf, 0xCC, sizeof buf);
  EXPECT_EQ(Query(u"abc", KeyValueFullInformation, buf, 30, &size), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(f->DataOffset, 28u);
  EXPECT_EQ(f->DataLength, 12u);
  EXPECT_EQ(f->NameLength, 6u);
  EXPECT_EQ(Chars(f->Name, 6), u"Abc");
  EXPECT_EQ(buf[28], 'h');
  EXPECT_EQ(buf[30], 0xCC);

  EXPECT_EQ(Query(u"abc", KeyValueFullInformation, buf, sizeof buf, &size), STATUS_SUCCESS);
  EXPECT_EQ(size, 40u);
  EXPECT_EQ(std::memcmp(buf + f->DataOffset, sz, 12), 0);

  // No data: no data offset.
  ASSERT_EQ(Set(u"e", REG_BINARY, nullptr, 0), STATUS_SUCCESS);
  EXPECT_EQ(Query(u"e", KeyValueFullInformation, buf, sizeof buf, &size), STATUS_SUCCESS);
  EXPECT_EQ(size, 22u);
  EXPECT_EQ(f->DataOffset, 0u);
}

TEST_F(ValueTest, MissingValuesAndNamesAreCaseInsensitive) {
  ULONG size = 99;
  UCHAR buf[32];
  EXPECT_EQ(Query(u"absent", KeyValuePartialInformation, buf, sizeof buf, &size), STATUS_OBJECT_NAME_NOT_FOUND);

  ASSERT_EQ(SetDwordValue(key_, u"SampleRate", 44100), STATUS_SUCCESS);
  ASSERT_EQ(SetDwordValue(key_, u"SAMPLERATE", 48000), STATUS_SUCCESS);  // same value
  auto p = Partial(u"samplerate");
  ULONG v;
  std::memcpy(&v, AsPartial(p)->Data, 4);
  EXPECT_EQ(v, 48000u);
  EXPECT_EQ(sim::registry::ValueNames(kTestKey), std::vector<std::u16string>{u"SampleRate"});

  UNICODE_STRING n = Us(u"SAMPLErate");
  EXPECT_EQ(ZwDeleteValueKey(key_, &n), STATUS_SUCCESS);
  EXPECT_EQ(ZwDeleteValueKey(key_, &n), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(Query(u"SampleRate", KeyValuePartialInformation, buf, sizeof buf, &size), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(ValueTest, DefaultValueHasTheEmptyName) {
  const char16_t sz[] = u"dflt";
  UNICODE_STRING empty = {0, 0, nullptr};
  ASSERT_EQ(ZwSetValueKey(key_, &empty, 0, REG_SZ, const_cast<char16_t*>(sz), sizeof sz), STATUS_SUCCESS);
  EXPECT_EQ(sim::registry::GetString(kTestKey, u""), u"dflt");
  UCHAR buf[64];
  ULONG size;
  EXPECT_EQ(ZwQueryValueKey(key_, &empty, KeyValuePartialInformation, buf, sizeof buf, &size), STATUS_SUCCESS);
  EXPECT_EQ(size, 12u + sizeof sz);
}

TEST_F(ValueTest, EnumerationInOrderOfCreation) {
  ASSERT_EQ(SetDwordValue(key_, u"zeta", 1), STATUS_SUCCESS);
  ASSERT_EQ(SetDwordValue(key_, u"Alpha", 2), STATUS_SUCCESS);
  ASSERT_EQ(SetDwordValue(key_, u"mid", 3), STATUS_SUCCESS);
  ASSERT_EQ(SetDwordValue(key_, u"ZETA", 4), STATUS_SUCCESS);  // rewrite keeps the place
  std::vector<std::u16string> names;
  alignas(8) UCHAR buf[128];
  ULONG size;
  NTSTATUS status;
  for (ULONG i = 0; (status = ZwEnumerateValueKey(key_, i, KeyValueBasicInformation, buf, sizeof buf, &size)) ==
                    STATUS_SUCCESS;
       ++i) {
    auto* b = reinterpret_cast<KEY_VALUE_BASIC_INFORMATION*>(buf);
    names.push_back(Chars(b->Name, b->NameLength));
  }
  EXPECT_EQ(status, STATUS_NO_MORE_ENTRIES);
  EXPECT_EQ(names, (std::vector<std::u16string>{u"zeta", u"Alpha", u"mid"}));

  // The size rules are those of ZwQueryValueKey.
  EXPECT_EQ(ZwEnumerateValueKey(key_, 1, KeyValuePartialInformation, buf, 4, &size), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(size, 16u);
}

TEST_F(ValueTest, AccessRightsOfTheHandleAreEnforced) {
  HANDLE ro;
  ASSERT_EQ(Open(&ro, kTestKey, KEY_READ), STATUS_SUCCESS);
  EXPECT_EQ(SetDwordValue(ro, u"x", 1), STATUS_ACCESS_DENIED);
  ZwClose(ro);

  HANDLE wo;
  ASSERT_EQ(Open(&wo, kTestKey, KEY_SET_VALUE), STATUS_SUCCESS);
  EXPECT_EQ(SetDwordValue(wo, u"x", 1), STATUS_SUCCESS);
  UNICODE_STRING n = Us(u"x");
  UCHAR buf[32];
  ULONG size;
  EXPECT_EQ(ZwQueryValueKey(wo, &n, KeyValuePartialInformation, buf, sizeof buf, &size), STATUS_ACCESS_DENIED);
  ZwClose(wo);

  HANDLE generic;
  ASSERT_EQ(Open(&generic, kTestKey, GENERIC_READ), STATUS_SUCCESS);
  EXPECT_EQ(ZwQueryValueKey(generic, &n, KeyValuePartialInformation, buf, sizeof buf, &size), STATUS_SUCCESS);
  ZwClose(generic);
}

TEST_F(ValueTest, BadHandlesAreRejected) {
  UNICODE_STRING n = Us(u"x");
  UCHAR buf[32];
  ULONG size;
  EXPECT_EQ(ZwQueryValueKey(reinterpret_cast<HANDLE>(0x1234), &n, KeyValuePartialInformation, buf, sizeof buf,
                            &size),
            STATUS_INVALID_HANDLE);
  HANDLE h;
  ASSERT_EQ(Open(&h, kTestKey), STATUS_SUCCESS);
  ASSERT_EQ(ZwClose(h), STATUS_SUCCESS);
  EXPECT_EQ(SetDwordValue(h, u"x", 1), STATUS_INVALID_HANDLE);
}

TEST_F(ValueTest, NullPointersWindowsWouldFaultOnAreFlagged) {
  sim::verifier::Recorder recorder;
  ULONG v = 1;
  UCHAR buf[32];
  ULONG size;
  EXPECT_EQ(ZwSetValueKey(key_, nullptr, 0, REG_DWORD, &v, 4), STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(recorder.Has("ZwSetValueKey", "ValueName"));
  UNICODE_STRING n = Us(u"x");
  EXPECT_EQ(ZwSetValueKey(key_, &n, 0, REG_DWORD, nullptr, 4), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ZwQueryValueKey(key_, &n, KeyValuePartialInformation, buf, sizeof buf, nullptr), STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(recorder.Has("ZwQueryValueKey", "ResultLength"));
  EXPECT_EQ(ZwQueryValueKey(key_, &n, KeyValuePartialInformation, nullptr, 16, &size), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(recorder.Count(), 4u);
  EXPECT_TRUE(sim::registry::ValueNames(kTestKey).empty());
}

}  // namespace
