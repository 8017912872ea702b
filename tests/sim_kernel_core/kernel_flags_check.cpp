// Built with the product kernel's flags: proves that the headers' macros and
// inline functions serve kernel code as the Windows headers do.
#include <ntddk.h>
#include <ntstrsafe.h>

#include "kernel_flags_check.h"

namespace {

struct Item {
  LIST_ENTRY Link;
  LONG Value;
};

}  // namespace

int KernelFlagsListRoundTrip() {
  LIST_ENTRY head;
  InitializeListHead(&head);
  Item items[3];
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  for (LONG i = 0; i < 3; i++) {
    items[i].Value = i;
    ExInterlockedInsertTailList(&head, &items[i].Link, &lock);
  }
  LONG count = 0;
  KIRQL old;
  KeAcquireSpinLock(&lock, &old);
  while (!IsListEmpty(&head)) {
    Item* item = CONTAINING_RECORD(RemoveHeadList(&head), Item, Link);
    ASSERT(item->Value == count);
    InterlockedIncrement(&count);
  }
  KeReleaseSpinLock(&lock, old);
  WCHAR name[16];
  if (!NT_SUCCESS(RtlStringCchPrintfW(name, ARRAYSIZE(name), L"%d", count))) return -1;
  return count;
}

void KernelFlagsPagedFunction() { PAGED_CODE(); }
