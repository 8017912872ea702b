// Common ground of the registry tests: every test runs on its own copy of
// the registry and must close every key handle it opens.
#pragma once

#include <gtest/gtest.h>
#include <wdm.h>

#include <string>

#include "sim/kernel/registry/key_handles.h"
#include "sim/kernel/registry/registry_store.h"

namespace regtest {

// A counted string over a literal (which outlives the test statement).
inline UNICODE_STRING Us(const char16_t* s) {
  UNICODE_STRING u;
  size_t n = 0;
  while (s[n]) ++n;
  u.Length = static_cast<USHORT>(n * 2);
  u.MaximumLength = static_cast<USHORT>(n * 2 + 2);
  u.Buffer = reinterpret_cast<PWCH>(const_cast<char16_t*>(s));
  return u;
}

inline NTSTATUS Open(HANDLE* h, const char16_t* path, ACCESS_MASK access = KEY_ALL_ACCESS, HANDLE root = nullptr) {
  UNICODE_STRING name = Us(path);
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
  return ZwOpenKey(h, access, &oa);
}

inline NTSTATUS Create(HANDLE* h, const char16_t* path, ULONG* disposition = nullptr, HANDLE root = nullptr,
                       ULONG options = REG_OPTION_NON_VOLATILE, ACCESS_MASK access = KEY_ALL_ACCESS) {
  UNICODE_STRING name = Us(path);
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
  return ZwCreateKey(h, access, &oa, 0, nullptr, options, disposition);
}

inline NTSTATUS SetDwordValue(HANDLE h, const char16_t* name, ULONG v) {
  UNICODE_STRING n = Us(name);
  return ZwSetValueKey(h, &n, 0, REG_DWORD, &v, sizeof v);
}

inline std::u16string Chars(const WCHAR* p, ULONG bytes) {
  return std::u16string(reinterpret_cast<const char16_t*>(p), bytes / 2);
}

class RegistryTest : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_EQ(sim::registry::OpenKeyHandleCount(), 0u) << sim::registry::DescribeOpenKeyHandles();
  }
  sim::registry::ScopedRegistry registry_;
};

inline constexpr char16_t kSoftware[] = u"\\Registry\\Machine\\SOFTWARE";
inline constexpr char16_t kTestKey[] = u"\\Registry\\Machine\\SOFTWARE\\RegTest";

}  // namespace regtest
