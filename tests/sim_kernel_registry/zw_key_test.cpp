// Keys through ZwCreateKey / ZwOpenKey / ZwEnumerateKey / ZwQueryKey /
// ZwDeleteKey: paths, dispositions, relative opens, enumeration, deletion.
#include <vector>

#include "registry_fixture.h"

using namespace regtest;

namespace {

using KeyTest = RegistryTest;

TEST_F(KeyTest, CreateReportsDispositionAndCreatesOneLevelOnly) {
  HANDLE h;
  ULONG disposition = 0;
  ASSERT_EQ(Create(&h, kTestKey, &disposition), STATUS_SUCCESS);
  EXPECT_EQ(disposition, (ULONG)REG_CREATED_NEW_KEY);
  ZwClose(h);
  ASSERT_EQ(Create(&h, u"\\REGISTRY\\machine\\software\\regtest", &disposition), STATUS_SUCCESS);
  EXPECT_EQ(disposition, (ULONG)REG_OPENED_EXISTING_KEY);
  ZwClose(h);

  // A missing intermediate key is not created.
  EXPECT_EQ(Create(&h, u"\\Registry\\Machine\\SOFTWARE\\Missing\\Child", &disposition), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_FALSE(sim::registry::KeyExists(u"\\Registry\\Machine\\SOFTWARE\\Missing"));
}

TEST_F(KeyTest, OpenFindsKeysCaseInsensitivelyAndKeepsTheirCase) {
  HANDLE h;
  EXPECT_EQ(Open(&h, kTestKey), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(Open(&h, u"\\Registry\\Machine\\SOFTWARE\\No\\Such"), STATUS_OBJECT_NAME_NOT_FOUND);
  ASSERT_TRUE(sim::registry::CreateKeyPath(u"\\Registry\\Machine\\SOFTWARE\\MixedCase"));
  ASSERT_EQ(Open(&h, u"\\registry\\MACHINE\\software\\MIXEDcase"), STATUS_SUCCESS);

  alignas(8) UCHAR buf[256];
  ULONG size;
  ASSERT_EQ(ZwQueryKey(h, KeyNameInformation, buf, sizeof buf, &size), STATUS_SUCCESS);
  auto* n = reinterpret_cast<KEY_NAME_INFORMATION*>(buf);
  EXPECT_EQ(Chars(n->Name, n->NameLength), u"\\REGISTRY\\MACHINE\\SOFTWARE\\MixedCase");
  ZwClose(h);
}

TEST_F(KeyTest, PathSyntax) {
  HANDLE h;
  EXPECT_EQ(Open(&h, u"Registry\\Machine"), STATUS_OBJECT_PATH_SYNTAX_BAD);  // relative without a root
  EXPECT_EQ(Open(&h, u"\\Registry\\\\Machine"), STATUS_OBJECT_NAME_INVALID);
  EXPECT_EQ(Open(&h, u"\\Device\\Whatever"), STATUS_OBJECT_NAME_NOT_FOUND);
  ASSERT_EQ(Open(&h, u"\\Registry\\Machine\\"), STATUS_SUCCESS);
  ZwClose(h);

  std::u16string longName(256, u'x');
  std::u16string path = std::u16string(kSoftware) + u"\\" + longName;
  EXPECT_EQ(Create(&h, path.c_str()), STATUS_OBJECT_NAME_INVALID);

  UNICODE_STRING odd = Us(kSoftware);
  odd.Length = 3;
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, &odd, OBJ_KERNEL_HANDLE, nullptr, nullptr);
  EXPECT_EQ(ZwOpenKey(&h, KEY_READ, &oa), STATUS_OBJECT_NAME_INVALID);
}

TEST_F(KeyTest, RelativeToRootDirectory) {
  HANDLE soft, child, self;
  ASSERT_EQ(Open(&soft, kSoftware, KEY_READ), STATUS_SUCCESS);
  ULONG disposition;
  ASSERT_EQ(Create(&child, u"RegTest", &disposition, soft), STATUS_SUCCESS);
  EXPECT_EQ(disposition, (ULONG)REG_CREATED_NEW_KEY);
  EXPECT_TRUE(sim::registry::KeyExists(kTestKey));
  ZwClose(child);

  ASSERT_EQ(Open(&child, u"regtest", KEY_READ, soft), STATUS_SUCCESS);
  ZwClose(child);
  EXPECT_EQ(Open(&child, u"\\RegTest", KEY_READ, soft), STATUS_OBJECT_PATH_SYNTAX_BAD);

  // An empty name opens the root key itself.
  ASSERT_EQ(Open(&self, u"", KEY_READ, soft), STATUS_SUCCESS);
  alignas(8) UCHAR buf[256];
  ULONG size;
  ASSERT_EQ(ZwQueryKey(self, KeyBasicInformation, buf, sizeof buf, &size), STATUS_SUCCESS);
  auto* b = reinterpret_cast<KEY_BASIC_INFORMATION*>(buf);
  EXPECT_EQ(Chars(b->Name, b->NameLength), u"SOFTWARE");
  ZwClose(self);
  ZwClose(soft);

  // A root that is not a key handle.
  EXPECT_EQ(Open(&child, u"x", KEY_READ, reinterpret_cast<HANDLE>(0x4444)), STATUS_INVALID_HANDLE);
}

TEST_F(KeyTest, EnumerationIsSortedCaseInsensitively) {
  for (auto name : {u"beta", u"Alpha", u"GAMMA", u"alpha2"})
    ASSERT_TRUE(sim::registry::CreateKeyPath(std::u16string(kTestKey) + u"\\" + name));
  HANDLE h;
  ASSERT_EQ(Open(&h, kTestKey, KEY_READ), STATUS_SUCCESS);
  std::vector<std::u16string> names;
  alignas(8) UCHAR buf[256];
  ULONG size;
  NTSTATUS status;
  for (ULONG i = 0; (status = ZwEnumerateKey(h, i, KeyBasicInformation, buf, sizeof buf, &size)) == STATUS_SUCCESS;
       ++i) {
    auto* b = reinterpret_cast<KEY_BASIC_INFORMATION*>(buf);
    names.push_back(Chars(b->Name, b->NameLength));
  }
  EXPECT_EQ(status, STATUS_NO_MORE_ENTRIES);
  EXPECT_EQ(names, (std::vector<std::u16string>{u"Alpha", u"alpha2", u"beta", u"GAMMA"}));

  // Fixed part 16 bytes; the name is cut when it does not fit.
  EXPECT_EQ(ZwEnumerateKey(h, 0, KeyBasicInformation, buf, 15, &size), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(size, 16u + 10u);
  EXPECT_EQ(ZwEnumerateKey(h, 0, KeyBasicInformation, buf, 20, &size), STATUS_BUFFER_OVERFLOW);
  ZwClose(h);

  HANDLE noEnum;
  ASSERT_EQ(Open(&noEnum, kTestKey, KEY_QUERY_VALUE), STATUS_SUCCESS);
  EXPECT_EQ(ZwEnumerateKey(noEnum, 0, KeyBasicInformation, buf, sizeof buf, &size), STATUS_ACCESS_DENIED);
  ZwClose(noEnum);
}

TEST_F(KeyTest, FullInformationCountsSubkeysAndValues) {
  ASSERT_TRUE(sim::registry::CreateKeyPath(std::u16string(kTestKey) + u"\\Short"));
  ASSERT_TRUE(sim::registry::CreateKeyPath(std::u16string(kTestKey) + u"\\LongerName"));
  ASSERT_TRUE(sim::registry::SetDword(kTestKey, u"v", 1));
  const UCHAR blob[10] = {};
  ASSERT_TRUE(sim::registry::SetValue(kTestKey, u"blob_value", REG_BINARY, blob, sizeof blob));
  HANDLE h;
  ASSERT_EQ(Open(&h, kTestKey, KEY_READ), STATUS_SUCCESS);
  alignas(8) UCHAR buf[256];
  ULONG size;
  EXPECT_EQ(ZwQueryKey(h, KeyFullInformation, buf, 43, &size), STATUS_BUFFER_TOO_SMALL);
  ASSERT_EQ(ZwQueryKey(h, KeyFullInformation, buf, sizeof buf, &size), STATUS_SUCCESS);
  EXPECT_EQ(size, 44u);
  auto* f = reinterpret_cast<KEY_FULL_INFORMATION*>(buf);
  EXPECT_EQ(f->SubKeys, 2u);
  EXPECT_EQ(f->MaxNameLen, 20u);
  EXPECT_EQ(f->Values, 2u);
  EXPECT_EQ(f->MaxValueNameLen, 20u);
  EXPECT_EQ(f->MaxValueDataLen, 10u);
  EXPECT_EQ(f->ClassLength, 0u);
  ZwClose(h);
}

TEST_F(KeyTest, DeleteKeyRulesAndDeletedHandles) {
  HANDLE parent, child;
  ASSERT_EQ(Create(&parent, kTestKey), STATUS_SUCCESS);
  ASSERT_EQ(Create(&child, u"Child", nullptr, parent), STATUS_SUCCESS);
  EXPECT_EQ(ZwDeleteKey(parent), STATUS_CANNOT_DELETE);  // has a subkey

  ASSERT_EQ(SetDwordValue(child, u"v", 1), STATUS_SUCCESS);
  ASSERT_EQ(ZwDeleteKey(child), STATUS_SUCCESS);
  EXPECT_FALSE(sim::registry::KeyExists(std::u16string(kTestKey) + u"\\Child"));
  // The handle stays open but the key is gone.
  EXPECT_EQ(SetDwordValue(child, u"v", 2), STATUS_KEY_DELETED);
  EXPECT_EQ(ZwFlushKey(child), STATUS_KEY_DELETED);
  EXPECT_EQ(ZwDeleteKey(child), STATUS_KEY_DELETED);
  EXPECT_EQ(ZwClose(child), STATUS_SUCCESS);

  EXPECT_EQ(ZwDeleteKey(parent), STATUS_SUCCESS);
  ZwClose(parent);

  HANDLE noDelete;
  ASSERT_EQ(Create(&noDelete, kTestKey, nullptr, nullptr, 0, KEY_READ | KEY_WRITE), STATUS_SUCCESS);
  EXPECT_EQ(ZwDeleteKey(noDelete), STATUS_ACCESS_DENIED);
  ZwClose(noDelete);

  HANDLE machine;
  ASSERT_EQ(Open(&machine, u"\\Registry\\Machine"), STATUS_SUCCESS);
  EXPECT_EQ(ZwDeleteKey(machine), STATUS_CANNOT_DELETE);  // a hive root
  ZwClose(machine);
}

TEST_F(KeyTest, VolatileKeysCannotHaveStableChildren) {
  HANDLE v, child;
  ASSERT_EQ(Create(&v, kTestKey, nullptr, nullptr, REG_OPTION_VOLATILE), STATUS_SUCCESS);
  EXPECT_EQ(Create(&child, u"Stable", nullptr, v), STATUS_CHILD_MUST_BE_VOLATILE);
  ASSERT_EQ(Create(&child, u"Fleeting", nullptr, v, REG_OPTION_VOLATILE), STATUS_SUCCESS);
  ZwClose(child);
  ZwClose(v);
  // Volatile keys are not saved.
  EXPECT_EQ(sim::registry::SaveToString().find("RegTest"), std::string::npos);
}

TEST_F(KeyTest, ClassIsReportedByQueryKey) {
  HANDLE h;
  UNICODE_STRING name = Us(kTestKey);
  UNICODE_STRING cls = Us(u"Media");
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, &name, OBJ_KERNEL_HANDLE, nullptr, nullptr);
  ASSERT_EQ(ZwCreateKey(&h, KEY_ALL_ACCESS, &oa, 0, &cls, 0, nullptr), STATUS_SUCCESS);
  alignas(8) UCHAR buf[128];
  ULONG size;
  ASSERT_EQ(ZwQueryKey(h, KeyFullInformation, buf, sizeof buf, &size), STATUS_SUCCESS);
  auto* f = reinterpret_cast<KEY_FULL_INFORMATION*>(buf);
  EXPECT_EQ(size, 44u + 10u);
  EXPECT_EQ(f->ClassOffset, 44u);
  EXPECT_EQ(Chars(reinterpret_cast<WCHAR*>(buf + f->ClassOffset), f->ClassLength), u"Media");
  ZwClose(h);
}

}  // namespace
