// List operations under a caller-supplied spin lock.
#include <wdm.h>

extern "C" {

PLIST_ENTRY ExInterlockedInsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry, PKSPIN_LOCK Lock) {
  KIRQL old;
  KeAcquireSpinLock(Lock, &old);
  PLIST_ENTRY first = IsListEmpty(ListHead) ? nullptr : ListHead->Flink;
  InsertHeadList(ListHead, ListEntry);
  KeReleaseSpinLock(Lock, old);
  return first;
}

PLIST_ENTRY ExInterlockedInsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry, PKSPIN_LOCK Lock) {
  KIRQL old;
  KeAcquireSpinLock(Lock, &old);
  PLIST_ENTRY last = IsListEmpty(ListHead) ? nullptr : ListHead->Blink;
  InsertTailList(ListHead, ListEntry);
  KeReleaseSpinLock(Lock, old);
  return last;
}

PLIST_ENTRY ExInterlockedRemoveHeadList(PLIST_ENTRY ListHead, PKSPIN_LOCK Lock) {
  KIRQL old;
  KeAcquireSpinLock(Lock, &old);
  PLIST_ENTRY e = IsListEmpty(ListHead) ? nullptr : RemoveHeadList(ListHead);
  KeReleaseSpinLock(Lock, old);
  return e;
}

PSINGLE_LIST_ENTRY ExInterlockedPushEntryList(PSINGLE_LIST_ENTRY ListHead, PSINGLE_LIST_ENTRY ListEntry,
                                              PKSPIN_LOCK Lock) {
  KIRQL old;
  KeAcquireSpinLock(Lock, &old);
  PSINGLE_LIST_ENTRY first = ListHead->Next;
  PushEntryList(ListHead, ListEntry);
  KeReleaseSpinLock(Lock, old);
  return first;
}

PSINGLE_LIST_ENTRY ExInterlockedPopEntryList(PSINGLE_LIST_ENTRY ListHead, PKSPIN_LOCK Lock) {
  KIRQL old;
  KeAcquireSpinLock(Lock, &old);
  PSINGLE_LIST_ENTRY e = PopEntryList(ListHead);
  KeReleaseSpinLock(Lock, old);
  return e;
}

}  // extern "C"
