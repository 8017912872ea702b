#include "sim/portcls/resource_list.h"

#include <cstring>

namespace sim::portcls {

void ResourceList::List::Assign(PCM_RESOURCE_LIST list) {
  descriptors_.clear();
  if (list == nullptr || list->Count == 0) return;
  const CM_PARTIAL_RESOURCE_LIST& partial = list->List[0].PartialResourceList;
  descriptors_.assign(partial.PartialDescriptors, partial.PartialDescriptors + partial.Count);
}

void ResourceList::List::Append(const CM_PARTIAL_RESOURCE_DESCRIPTOR& descriptor) {
  descriptors_.push_back(descriptor);
}

ULONG ResourceList::List::Count() const { return static_cast<ULONG>(descriptors_.size()); }

PCM_PARTIAL_RESOURCE_DESCRIPTOR ResourceList::List::Find(CM_RESOURCE_TYPE type, ULONG index) {
  for (CM_PARTIAL_RESOURCE_DESCRIPTOR& d : descriptors_) {
    if (d.Type == type && index-- == 0) return &d;
  }
  return nullptr;
}

PCM_RESOURCE_LIST ResourceList::List::Get() {
  size_t count = descriptors_.size();
  size_t bytes = offsetof(CM_RESOURCE_LIST, List[0].PartialResourceList.PartialDescriptors) +
                 (count == 0 ? 1 : count) * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR);
  buffer_.assign((bytes + sizeof(uint64_t) - 1) / sizeof(uint64_t), 0);
  auto* list = reinterpret_cast<PCM_RESOURCE_LIST>(buffer_.data());
  list->Count = 1;
  list->List[0].InterfaceType = PNPBus;
  list->List[0].PartialResourceList.Version = 1;
  list->List[0].PartialResourceList.Revision = 1;
  list->List[0].PartialResourceList.Count = static_cast<ULONG>(count);
  if (count != 0) {
    memcpy(list->List[0].PartialResourceList.PartialDescriptors, descriptors_.data(),
           count * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR));
  }
  return list;
}

ResourceList* ResourceList::Create(PCM_RESOURCE_LIST translated, PCM_RESOURCE_LIST untranslated) {
  auto* list = new ResourceList();
  list->translated_.Assign(translated);
  list->untranslated_.Assign(untranslated);
  return list;
}

STDMETHODIMP_(NTSTATUS) ResourceList::QueryInterface(REFIID iid, PVOID* object) {
  if (object == nullptr) return STATUS_INVALID_PARAMETER;
  if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IResourceList)) {
    *object = static_cast<IResourceList*>(this);
    AddRef();
    return STATUS_SUCCESS;
  }
  *object = nullptr;
  return STATUS_INVALID_PARAMETER;
}

STDMETHODIMP_(ULONG) ResourceList::AddRef() { return ++references_; }

STDMETHODIMP_(ULONG) ResourceList::Release() {
  ULONG left = --references_;
  if (left == 0) delete this;
  return left;
}

STDMETHODIMP_(ULONG) ResourceList::NumberOfEntries() { return translated_.Count(); }

STDMETHODIMP_(ULONG) ResourceList::NumberOfEntriesOfType(CM_RESOURCE_TYPE type) {
  ULONG count = 0;
  while (translated_.Find(type, count) != nullptr) ++count;
  return count;
}

STDMETHODIMP_(PCM_PARTIAL_RESOURCE_DESCRIPTOR) ResourceList::FindTranslatedEntry(CM_RESOURCE_TYPE type,
                                                                                 ULONG index) {
  return translated_.Find(type, index);
}

STDMETHODIMP_(PCM_PARTIAL_RESOURCE_DESCRIPTOR) ResourceList::FindUntranslatedEntry(CM_RESOURCE_TYPE type,
                                                                                   ULONG index) {
  return untranslated_.Find(type, index);
}

STDMETHODIMP_(NTSTATUS) ResourceList::AddEntry(PCM_PARTIAL_RESOURCE_DESCRIPTOR translated,
                                               PCM_PARTIAL_RESOURCE_DESCRIPTOR untranslated) {
  if (translated == nullptr || untranslated == nullptr) return STATUS_INVALID_PARAMETER;
  translated_.Append(*translated);
  untranslated_.Append(*untranslated);
  return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) ResourceList::AddEntryFromParent(IResourceList* parent, CM_RESOURCE_TYPE type,
                                                         ULONG index) {
  if (parent == nullptr) return STATUS_INVALID_PARAMETER;
  PCM_PARTIAL_RESOURCE_DESCRIPTOR translated = parent->FindTranslatedEntry(type, index);
  PCM_PARTIAL_RESOURCE_DESCRIPTOR untranslated = parent->FindUntranslatedEntry(type, index);
  if (translated == nullptr || untranslated == nullptr) return STATUS_INVALID_PARAMETER;
  return AddEntry(translated, untranslated);
}

STDMETHODIMP_(PCM_RESOURCE_LIST) ResourceList::TranslatedList() { return translated_.Get(); }

STDMETHODIMP_(PCM_RESOURCE_LIST) ResourceList::UntranslatedList() { return untranslated_.Get(); }

}  // namespace sim::portcls
