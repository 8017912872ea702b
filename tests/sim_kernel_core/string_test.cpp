// Rtl counted strings and <ntstrsafe.h>.
#include <gtest/gtest.h>
#include <ntstrsafe.h>

#include <string>

#include "sim/kernel/core/pool.h"

namespace {

// Narrow copy of a wide string for comparisons (ASCII only).
std::string Narrow(const WCHAR* s, size_t n = (size_t)-1) {
  std::string r;
  for (size_t i = 0; i < n && s[i]; i++) r += s[i] < 0x80 ? (char)s[i] : '?';
  return r;
}

std::string Narrow(const UNICODE_STRING& u) { return Narrow(u.Buffer, u.Length / sizeof(WCHAR)); }

TEST(RtlStrings, CompareIsCaseInsensitiveOnRequest) {
  UNICODE_STRING a, b, c;
  RtlInitUnicodeString(&a, L"\\Device\\ASIO");
  RtlInitUnicodeString(&b, L"\\device\\asio");
  RtlInitUnicodeString(&c, L"\\device\\asio2");
  EXPECT_NE(RtlCompareUnicodeString(&a, &b, FALSE), 0);
  EXPECT_EQ(RtlCompareUnicodeString(&a, &b, TRUE), 0);
  EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, TRUE));
  EXPECT_FALSE(RtlEqualUnicodeString(&a, &c, TRUE));
  EXPECT_LT(RtlCompareUnicodeString(&b, &c, TRUE), 0) << "a proper prefix sorts first";
  EXPECT_EQ(RtlUpcaseUnicodeChar(L'\u00e9'), L'\u00c9');
  EXPECT_EQ(RtlUpcaseUnicodeChar(L'\u00f7'), L'\u00f7');
}

TEST(RtlStrings, AppendFailsWithoutTruncatingWhenTheBufferIsTooSmall) {
  WCHAR buf[8];
  UNICODE_STRING s;
  RtlInitEmptyUnicodeString(&s, buf, sizeof buf);
  EXPECT_EQ(RtlAppendUnicodeToString(&s, L"abcd"), STATUS_SUCCESS);
  EXPECT_EQ(RtlAppendUnicodeToString(&s, L"efghi"), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(Narrow(s), "abcd");
  UNICODE_STRING tail;
  RtlInitUnicodeString(&tail, L"efgh");
  EXPECT_EQ(RtlAppendUnicodeStringToString(&s, &tail), STATUS_SUCCESS);
  EXPECT_EQ(Narrow(s), "abcdefgh");
  EXPECT_EQ(s.Length, 16);
}

TEST(RtlStrings, CopyTruncatesToTheDestination) {
  WCHAR buf[4];
  UNICODE_STRING d, src;
  RtlInitEmptyUnicodeString(&d, buf, sizeof buf);
  RtlInitUnicodeString(&src, L"123456");
  RtlCopyUnicodeString(&d, &src);
  EXPECT_EQ(d.Length, 8);
  EXPECT_EQ(Narrow(d), "1234");
}

TEST(RtlStrings, IntegerConversionsBothWays) {
  WCHAR buf[12];
  UNICODE_STRING s;
  RtlInitEmptyUnicodeString(&s, buf, sizeof buf);
  EXPECT_EQ(RtlIntegerToUnicodeString(48000, 10, &s), STATUS_SUCCESS);
  EXPECT_EQ(Narrow(s), "48000");
  EXPECT_EQ(RtlIntegerToUnicodeString(0xBEEF, 16, &s), STATUS_SUCCESS);
  EXPECT_EQ(Narrow(s), "BEEF");
  WCHAR small[2];
  UNICODE_STRING tiny;
  RtlInitEmptyUnicodeString(&tiny, small, sizeof small);
  EXPECT_EQ(RtlIntegerToUnicodeString(123, 10, &tiny), STATUS_BUFFER_OVERFLOW);

  ULONG v = 0;
  UNICODE_STRING in;
  RtlInitUnicodeString(&in, L"  -42");
  EXPECT_EQ(RtlUnicodeStringToInteger(&in, 0, &v), STATUS_SUCCESS);
  EXPECT_EQ((LONG)v, -42);
  RtlInitUnicodeString(&in, L"0x1F");
  EXPECT_EQ(RtlUnicodeStringToInteger(&in, 0, &v), STATUS_SUCCESS);
  EXPECT_EQ(v, 31u);
  RtlInitUnicodeString(&in, L"12ab");
  EXPECT_EQ(RtlUnicodeStringToInteger(&in, 10, &v), STATUS_SUCCESS);
  EXPECT_EQ(v, 12u);
  EXPECT_EQ(RtlUnicodeStringToInteger(&in, 7, &v), STATUS_INVALID_PARAMETER);
}

TEST(RtlStrings, AllocatedStringsAreFreedWithRtlFreeUnicodeString) {
  size_t before = sim::pool::OutstandingCount();
  GUID g = {0x12345678, 0x9abc, 0xdef0, {1, 2, 3, 4, 5, 6, 7, 8}};
  UNICODE_STRING s;
  ASSERT_EQ(RtlStringFromGUID(g, &s), STATUS_SUCCESS);
  EXPECT_EQ(Narrow(s), "{12345678-9ABC-DEF0-0102-030405060708}");
  GUID back{};
  EXPECT_EQ(RtlGUIDFromString(&s, &back), STATUS_SUCCESS);
  EXPECT_TRUE(IsEqualGUID(g, back));
  EXPECT_EQ(sim::pool::Outstanding().back().tag, sim::pool::kRtlStringTag);
  RtlFreeUnicodeString(&s);
  EXPECT_EQ(s.Buffer, nullptr);
  EXPECT_EQ(sim::pool::OutstandingCount(), before);
}

TEST(StrSafe, NarrowPrintfAndCopyTruncateWithATerminator) {
  char buf[8];
  EXPECT_EQ(RtlStringCbPrintfA(buf, sizeof buf, "%d-%s", 12, "ab"), STATUS_SUCCESS);
  EXPECT_STREQ(buf, "12-ab");
  EXPECT_EQ(RtlStringCbPrintfA(buf, sizeof buf, "%s", "123456789"), STATUS_BUFFER_OVERFLOW);
  EXPECT_STREQ(buf, "1234567");
  EXPECT_EQ(RtlStringCbCopyA(buf, sizeof buf, "abcdefghij"), STATUS_BUFFER_OVERFLOW);
  EXPECT_STREQ(buf, "abcdefg");
  size_t len = 0;
  EXPECT_EQ(RtlStringCbLengthA("abc", 10, &len), STATUS_SUCCESS);
  EXPECT_EQ(len, 3u);
  EXPECT_EQ(RtlStringCbLengthA("abc", 3, &len), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(RtlStringCbCopyA(buf, 0, "x"), STATUS_INVALID_PARAMETER);
}

TEST(StrSafe, WidePrintfFormatsWithoutTheCLibrary) {
  WCHAR buf[64];
  EXPECT_EQ(RtlStringCchPrintfW(buf, 64, L"%d|%u|%x|%X|%ld|%lu|%lx", -5, 7u, 255u, 255u, (LONG)-6, (ULONG)8,
                                (ULONG)0xabc),
            STATUS_SUCCESS);
  EXPECT_EQ(Narrow(buf), "-5|7|ff|FF|-6|8|abc");
  EXPECT_EQ(RtlStringCchPrintfW(buf, 64, L"%s/%ls/%S/%c/%%/%04d/%-3d|", L"wide", L"also", "narrow", L'Z', 42, 7),
            STATUS_SUCCESS);
  EXPECT_EQ(Narrow(buf), "wide/also/narrow/Z/%/0042/7  |");
  EXPECT_EQ(RtlStringCchPrintfW(buf, 64, L"%I64u %lld %08X", 1ULL << 40, -3LL, 0x1234u), STATUS_SUCCESS);
  EXPECT_EQ(Narrow(buf), "1099511627776 -3 00001234");
  UNICODE_STRING u;
  RtlInitUnicodeString(&u, L"ustr");
  EXPECT_EQ(RtlStringCchPrintfW(buf, 64, L"[%wZ]", &u), STATUS_SUCCESS);
  EXPECT_EQ(Narrow(buf), "[ustr]");
}

TEST(StrSafe, WideTruncationReportsOverflowAndTerminates) {
  WCHAR buf[6];
  EXPECT_EQ(RtlStringCbPrintfW(buf, sizeof buf, L"%s%d", L"Ch", 12345), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(Narrow(buf), "Ch123");
  EXPECT_EQ(RtlStringCchCopyW(buf, 6, L"abcdefgh"), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(Narrow(buf), "abcde");
  EXPECT_EQ(RtlStringCbCopyW(buf, sizeof buf, L"ok"), STATUS_SUCCESS);
  EXPECT_EQ(Narrow(buf), "ok");
  size_t cb = 0;
  EXPECT_EQ(RtlStringCbLengthW(L"four", 64, &cb), STATUS_SUCCESS);
  EXPECT_EQ(cb, 8u);
  EXPECT_EQ(RtlStringCbLengthW(L"four", 8, &cb), STATUS_INVALID_PARAMETER);
}

TEST(StrSafe, UnicodeStringPrintfHasNoTerminator) {
  WCHAR buf[4];
  UNICODE_STRING s;
  RtlInitEmptyUnicodeString(&s, buf, sizeof buf);
  EXPECT_EQ(RtlUnicodeStringPrintf(&s, L"%d", 1234), STATUS_SUCCESS);
  EXPECT_EQ(s.Length, 8);
  EXPECT_EQ(Narrow(s), "1234");
  EXPECT_EQ(RtlUnicodeStringPrintf(&s, L"%d", 12345), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(Narrow(s), "1234");
}

}  // namespace
