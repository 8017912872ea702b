// Port class's table of registered subdevices: lookup by the create's file
// name, the MaxObjects limit, and the references it holds.
#include <portcls.h>

#include <gtest/gtest.h>

#include "sim/portcls/subdevice_table.h"

namespace trox::test {
namespace {

class CountedUnknown : public IUnknown {
 public:
  STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID, PVOID* object) override {
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++references; }
  STDMETHODIMP_(ULONG) Release() override { return --references; }
  ULONG references = 1;
};

UNICODE_STRING FileName(const char16_t* text) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, reinterpret_cast<PCWSTR>(text));
  return name;
}

TEST(SubdeviceTable, FindsTheSubdeviceByBackslashAndNameIgnoringCase) {
  CountedUnknown wave;
  sim::portcls::SubdeviceTable table(2);
  ASSERT_EQ(table.Add(u"Wave", &wave), STATUS_SUCCESS);
  UNICODE_STRING exact = FileName(u"\\Wave");
  UNICODE_STRING upper = FileName(u"\\WAVE");
  UNICODE_STRING bare = FileName(u"Wave");
  UNICODE_STRING longer = FileName(u"\\Wave2");
  UNICODE_STRING empty = FileName(u"");
  EXPECT_EQ(table.FindByFileName(&exact), &wave);
  EXPECT_EQ(table.FindByFileName(&upper), &wave);
  EXPECT_EQ(table.FindByFileName(&bare), nullptr);
  EXPECT_EQ(table.FindByFileName(&longer), nullptr);
  EXPECT_EQ(table.FindByFileName(&empty), nullptr);
  EXPECT_EQ(table.FindByFileName(nullptr), nullptr);
}

TEST(SubdeviceTable, HoldsAReferenceUntilCleared) {
  CountedUnknown wave;
  {
    sim::portcls::SubdeviceTable table(1);
    ASSERT_EQ(table.Add(u"Wave", &wave), STATUS_SUCCESS);
    EXPECT_EQ(wave.references, 2u);
    table.Clear();
    EXPECT_EQ(wave.references, 1u);
    ASSERT_EQ(table.Add(u"Wave", &wave), STATUS_SUCCESS);
  }
  EXPECT_EQ(wave.references, 1u);
}

TEST(SubdeviceTable, RefusesDuplicatesAndMoreThanMaxObjects) {
  CountedUnknown first, second;
  sim::portcls::SubdeviceTable table(1);
  ASSERT_EQ(table.Add(u"Wave", &first), STATUS_SUCCESS);
  EXPECT_EQ(table.Add(u"wave", &second), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(table.Add(u"Topology", &second), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(second.references, 1u);
  EXPECT_EQ(table.Count(), 1u);
}

}  // namespace
}  // namespace trox::test
