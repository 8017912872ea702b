// The sim-internal store: persistence, isolation, change notification,
// handle leak reports, and the PASSIVE_LEVEL rule of the kernel routines.
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "registry_fixture.h"
#include "sim/kernel/core/verifier.h"

using namespace regtest;
namespace reg = sim::registry;

namespace {

using StoreTest = RegistryTest;

TEST_F(StoreTest, SaveAndLoadRoundTripIncludingOddNames) {
  const std::u16string odd = std::u16string(kTestKey) + u"\\we[ir]d %41 \"key\"\x00e9\x4e2d";
  const std::u16string tricky = u"quote\" back\\ nl\n tab\t ctl\x0001 \xd800 end";  // lone surrogate too
  ASSERT_TRUE(reg::SetDword(odd, u"dw", 0xDEADBEEF));
  ASSERT_TRUE(reg::SetQword(odd, u"qw", 0x0102030405060708ull));
  ASSERT_TRUE(reg::SetString(odd, tricky, tricky));
  ASSERT_TRUE(reg::SetString(odd, u"", u"default", REG_EXPAND_SZ));
  ASSERT_TRUE(reg::SetMultiString(odd, u"multi", {u"a", u"", u"b,c"}));
  ASSERT_TRUE(reg::SetMultiString(odd, u"emptymulti", {}));
  const uint8_t odd3[] = {0x61, 0x00, 0x62};  // not a well-formed string
  ASSERT_TRUE(reg::SetValue(odd, u"badsz", REG_SZ, odd3, sizeof odd3));
  ASSERT_TRUE(reg::SetValue(odd, u"none", REG_NONE, nullptr, 0));
  const uint8_t big[] = {1, 2, 3, 4};
  ASSERT_TRUE(reg::SetValue(odd, u"be", REG_DWORD_BIG_ENDIAN, big, 4));
  ASSERT_TRUE(reg::CreateKeyPath(std::u16string(kTestKey) + u"\\Empty"));

  const std::string before = reg::SaveToString();
  const std::string file = ::testing::TempDir() + "registry_roundtrip.txt";
  std::string error;
  ASSERT_TRUE(reg::SaveToFile(file, &error)) << error;
  reg::Clear();
  EXPECT_FALSE(reg::KeyExists(odd));
  ASSERT_TRUE(reg::LoadFromFile(file, &error)) << error;
  std::remove(file.c_str());

  EXPECT_EQ(reg::SaveToString(), before);
  EXPECT_EQ(reg::GetDword(odd, u"DW"), 0xDEADBEEFu);
  EXPECT_EQ(reg::GetQword(odd, u"qw"), 0x0102030405060708ull);
  EXPECT_EQ(reg::GetString(odd, tricky), tricky);
  auto dflt = reg::GetValue(odd, u"");
  ASSERT_TRUE(dflt);
  EXPECT_EQ(dflt->type, (uint32_t)REG_EXPAND_SZ);
  auto multi = reg::GetValue(odd, u"multi");
  ASSERT_TRUE(multi);
  EXPECT_EQ(multi->data.size(), 16u);  // a\0 \0 b,c\0 \0
  EXPECT_EQ(reg::GetValue(odd, u"emptymulti")->data.size(), 2u);
  EXPECT_EQ(reg::GetValue(odd, u"badsz")->data, std::vector<uint8_t>(odd3, odd3 + 3));
  EXPECT_EQ(reg::GetValue(odd, u"be")->type, (uint32_t)REG_DWORD_BIG_ENDIAN);
  EXPECT_TRUE(reg::KeyExists(std::u16string(kTestKey) + u"\\Empty"));
  // Names keep their case.
  EXPECT_EQ(reg::SubKeyNames(odd.substr(0, odd.rfind(u'\\'))).back(), odd.substr(odd.rfind(u'\\') + 1));
}

TEST_F(StoreTest, FileFormatIsReadableAndErrorsNameTheLine) {
  ASSERT_TRUE(
      reg::LoadFromString("; comment\n"
                          "[\\Registry\\Machine\\SOFTWARE\\Vendor]\n"
                          "\"Rate\"=dword:0000ac44\n"
                          "@=sz:\"x\"\n"
                          "\"Bin\"=hex(3):01,ff\n"));
  EXPECT_EQ(reg::GetDword(u"\\Registry\\Machine\\SOFTWARE\\Vendor", u"rate"), 44100u);
  std::string text = reg::SaveToString();
  EXPECT_NE(text.find("[\\REGISTRY\\MACHINE\\SOFTWARE\\Vendor]\n\"Rate\"=dword:0000ac44\n@=sz:\"x\"\n"
                      "\"Bin\"=hex(3):01,ff\n"),
            std::string::npos)
      << text;

  std::string error;
  EXPECT_FALSE(reg::LoadFromString("[\\Registry\\Machine\\X]\n\"a\"=dword:12\n", &error));
  EXPECT_EQ(error, "line 2: bad value data");
  EXPECT_FALSE(reg::LoadFromString("\"a\"=dword:00000001\n", &error));
  EXPECT_EQ(error, "line 1: value before the first key");
  EXPECT_FALSE(reg::LoadFromString("[\\Other\\X]\n", &error));
  // A failed load leaves the registry as it was.
  EXPECT_EQ(reg::GetDword(u"\\Registry\\Machine\\SOFTWARE\\Vendor", u"Rate"), 44100u);
}

TEST_F(StoreTest, RestoreUndoesChangesAndDeletesOpenKeys) {
  ASSERT_TRUE(reg::SetDword(kTestKey, u"v", 1));
  reg::Snapshot snap = reg::TakeSnapshot();
  ASSERT_TRUE(reg::SetDword(kTestKey, u"v", 2));
  ASSERT_TRUE(reg::SetDword(kTestKey, u"w", 3));
  HANDLE h;
  ASSERT_EQ(Open(&h, kTestKey), STATUS_SUCCESS);
  reg::Restore(snap);
  EXPECT_EQ(reg::GetDword(kTestKey, u"v"), 1u);
  EXPECT_FALSE(reg::GetDword(kTestKey, u"w"));
  EXPECT_EQ(SetDwordValue(h, u"v", 9), STATUS_KEY_DELETED);
  ZwClose(h);
  EXPECT_EQ(reg::GetDword(kTestKey, u"v"), 1u);
}

TEST_F(StoreTest, WatchesSeeTheirKeyOrSubtree) {
  ASSERT_TRUE(reg::CreateKeyPath(std::u16string(kTestKey) + u"\\Sub"));
  std::vector<uint32_t> flat, deep, values;
  auto fl = reg::Watch(kTestKey, false, reg::kNotifyName | reg::kNotifyLastSet, [&](uint32_t w) { flat.push_back(w); });
  auto dp = reg::Watch(kTestKey, true, reg::kNotifyName | reg::kNotifyLastSet, [&](uint32_t w) { deep.push_back(w); });
  auto vl = reg::Watch(kTestKey, true, reg::kNotifyLastSet, [&](uint32_t w) { values.push_back(w); });
  ASSERT_NE(fl, 0u);

  ASSERT_TRUE(reg::SetDword(std::u16string(kTestKey) + u"\\Sub", u"x", 1));  // below: subtree watches only
  ASSERT_TRUE(reg::CreateKeyPath(std::u16string(kTestKey) + u"\\New"));      // a subkey of the key itself
  ASSERT_TRUE(reg::SetDword(kTestKey, u"y", 1));
  EXPECT_EQ(flat, (std::vector<uint32_t>{reg::kNotifyName, reg::kNotifyLastSet}));
  EXPECT_EQ(deep, (std::vector<uint32_t>{reg::kNotifyLastSet, reg::kNotifyName, reg::kNotifyLastSet}));
  EXPECT_EQ(values.size(), 2u);

  // Deleting the watched key ends the watch with one last call.
  flat.clear();
  ASSERT_TRUE(reg::DeleteKeyTree(kTestKey));
  EXPECT_EQ(flat, std::vector<uint32_t>{reg::kNotifyName});
  ASSERT_TRUE(reg::SetDword(kTestKey, u"y", 2));
  EXPECT_EQ(flat.size(), 1u);
  reg::Unwatch(fl);
  reg::Unwatch(dp);
  reg::Unwatch(vl);
  EXPECT_EQ(reg::Watch(u"\\Registry\\Machine\\SOFTWARE\\Nope", false, reg::kNotifyName, [](uint32_t) {}), 0u);
}

TEST_F(StoreTest, UnwatchWaitsForARunningCallback) {
  ASSERT_TRUE(reg::CreateKeyPath(kTestKey));
  std::atomic<bool> inside{false}, release{false}, finished{false};
  auto id = reg::Watch(kTestKey, false, reg::kNotifyLastSet, [&](uint32_t) {
    inside = true;
    while (!release) std::this_thread::yield();
    finished = true;
  });
  std::thread writer([] { reg::SetDword(kTestKey, u"v", 1); });
  while (!inside) std::this_thread::yield();
  std::thread unwatcher([&] {
    reg::Unwatch(id);
    EXPECT_TRUE(finished);
  });
  release = true;
  writer.join();
  unwatcher.join();
  ASSERT_TRUE(reg::SetDword(kTestKey, u"v", 2));  // no callback any more
}

TEST_F(StoreTest, LeakedKeyHandlesAreListed) {
  HANDLE a, b;
  ASSERT_EQ(Create(&a, kTestKey), STATUS_SUCCESS);
  ASSERT_EQ(Open(&b, kSoftware, KEY_READ), STATUS_SUCCESS);
  auto open = reg::OpenKeyHandles();
  ASSERT_EQ(open.size(), 2u);
  EXPECT_NE(reg::DescribeOpenKeyHandles().find("\\REGISTRY\\MACHINE\\SOFTWARE\\RegTest"), std::string::npos);
  ZwClose(a);
  ASSERT_EQ(reg::OpenKeyHandleCount(), 1u);
  EXPECT_EQ(reg::OpenKeyHandles()[0].handle, b);
  ZwClose(b);
}

TEST_F(StoreTest, KernelRoutinesAbovePassiveLevelAreFlagged) {
  ASSERT_TRUE(reg::SetDword(kTestKey, u"v", 1));
  HANDLE h;
  ASSERT_EQ(Open(&h, kTestKey), STATUS_SUCCESS);
  sim::verifier::Recorder recorder;
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  HANDLE h2 = nullptr;
  EXPECT_FALSE(NT_SUCCESS(Open(&h2, kTestKey)));
  EXPECT_FALSE(NT_SUCCESS(SetDwordValue(h, u"v", 2)));
  UNICODE_STRING n = Us(u"v");
  UCHAR buf[32];
  ULONG size;
  EXPECT_FALSE(NT_SUCCESS(ZwQueryValueKey(h, &n, KeyValuePartialInformation, buf, sizeof buf, &size)));
  RTL_QUERY_REGISTRY_TABLE table[2] = {};
  ULONG v = 0;
  table[0] = {nullptr, RTL_QUERY_REGISTRY_DIRECT, L"v", &v, REG_NONE, nullptr, 0};
  EXPECT_FALSE(
      NT_SUCCESS(RtlQueryRegistryValues(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(h), table, nullptr, nullptr)));
  KeLowerIrql(old);

  EXPECT_TRUE(recorder.Has("ZwOpenKey", "DISPATCH_LEVEL"));
  EXPECT_TRUE(recorder.Has("ZwSetValueKey"));
  EXPECT_TRUE(recorder.Has("ZwQueryValueKey"));
  EXPECT_TRUE(recorder.Has("RtlQueryRegistryValues"));
  EXPECT_EQ(h2, nullptr);
  EXPECT_EQ(reg::GetDword(kTestKey, u"v"), 1u);  // nothing was done
  EXPECT_EQ(v, 0u);
  ZwClose(h);
}

TEST_F(StoreTest, ConcurrentWritersKeepEveryValue) {
  constexpr int kThreads = 4, kValues = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kValues; ++i) {
        std::u16string name = u"t" + std::u16string(1, static_cast<char16_t>(u'0' + t)) + u"_" +
                              std::u16string(1, static_cast<char16_t>(u'A' + i % 26)) +
                              std::u16string(1, static_cast<char16_t>(u'A' + i / 26));
        reg::SetDword(kTestKey, name, static_cast<uint32_t>(i));
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(reg::ValueNames(kTestKey).size(), static_cast<size_t>(kThreads * kValues));
}

}  // namespace
