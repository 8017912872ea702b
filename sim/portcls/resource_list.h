// Port class's resource list object (IResourceList) over the translated and
// untranslated resources of a start request. USB functions get empty lists.
#pragma once
#include <portcls.h>

#include <atomic>
#include <cstdint>
#include <vector>

namespace sim::portcls {

class ResourceList : public IResourceList {
 public:
  // Copies the first full descriptor's partial resources of both lists (either may be null).
  static ResourceList* Create(PCM_RESOURCE_LIST translated, PCM_RESOURCE_LIST untranslated);

  STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID iid, PVOID* object) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  STDMETHODIMP_(ULONG) NumberOfEntries() override;
  STDMETHODIMP_(ULONG) NumberOfEntriesOfType(CM_RESOURCE_TYPE type) override;
  STDMETHODIMP_(PCM_PARTIAL_RESOURCE_DESCRIPTOR) FindTranslatedEntry(CM_RESOURCE_TYPE type, ULONG index) override;
  STDMETHODIMP_(PCM_PARTIAL_RESOURCE_DESCRIPTOR) FindUntranslatedEntry(CM_RESOURCE_TYPE type,
                                                                       ULONG index) override;
  STDMETHODIMP_(NTSTATUS) AddEntry(PCM_PARTIAL_RESOURCE_DESCRIPTOR translated,
                                   PCM_PARTIAL_RESOURCE_DESCRIPTOR untranslated) override;
  STDMETHODIMP_(NTSTATUS) AddEntryFromParent(IResourceList* parent, CM_RESOURCE_TYPE type, ULONG index) override;
  STDMETHODIMP_(PCM_RESOURCE_LIST) TranslatedList() override;
  STDMETHODIMP_(PCM_RESOURCE_LIST) UntranslatedList() override;

 private:
  ResourceList() = default;
  virtual ~ResourceList() = default;

  // A CM_RESOURCE_LIST with one full descriptor, kept in a buffer so that
  // TranslatedList/UntranslatedList can hand out a stable pointer.
  class List {
   public:
    void Assign(PCM_RESOURCE_LIST list);
    void Append(const CM_PARTIAL_RESOURCE_DESCRIPTOR& descriptor);
    ULONG Count() const;
    PCM_PARTIAL_RESOURCE_DESCRIPTOR Find(CM_RESOURCE_TYPE type, ULONG index);
    PCM_RESOURCE_LIST Get();

   private:
    std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> descriptors_;
    std::vector<uint64_t> buffer_;  // 8-byte aligned storage of the built list
  };

  std::atomic<ULONG> references_{1};
  List translated_;
  List untranslated_;
};

}  // namespace sim::portcls
