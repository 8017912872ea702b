#include "engine/chunk_list.h"

#include "adapter/miniport_link.h"
#include "base/trace.h"
#include "engine/engine_trace_events.h"

void CChunkList::Initialize() {
  KeInitializeSpinLock(&m_Lock);
  InitializeListHead(&m_List);
  m_Lookaside = nullptr;
}

BOOLEAN CChunkList::Queue(PVOID Address, ULONG Bytes) {
  if (m_Lookaside == nullptr) {
    return FALSE;
  }
  auto* chunk = static_cast<ChunkDescriptor*>(ExAllocateFromNPagedLookasideList(m_Lookaside));
  if (chunk == nullptr) {
    return FALSE;
  }
  chunk->Start = static_cast<PUCHAR>(Address);
  chunk->Current = chunk->Start;
  chunk->Remaining = Bytes;
  KLOCK_QUEUE_HANDLE handle;
  KeAcquireInStackQueuedSpinLock(&m_Lock, &handle);
  InsertTailList(&m_List, &chunk->ListEntry);
  KeReleaseInStackQueuedSpinLock(&handle);
  return TRUE;
}

void CChunkList::Flush() {
  if (m_Lookaside == nullptr) {
    return;
  }
  KLOCK_QUEUE_HANDLE handle;
  KeAcquireInStackQueuedSpinLock(&m_Lock, &handle);
  while (!IsListEmpty(&m_List)) {
    PLIST_ENTRY entry = RemoveHeadList(&m_List);
    ExFreeToNPagedLookasideList(m_Lookaside, CONTAINING_RECORD(entry, ChunkDescriptor, ListEntry));
  }
  KeReleaseInStackQueuedSpinLock(&handle);
}

BOOLEAN CChunkList::HasData() {
  KLOCK_QUEUE_HANDLE handle;
  KeAcquireInStackQueuedSpinLock(&m_Lock, &handle);
  const BOOLEAN any = !IsListEmpty(&m_List);
  KeReleaseInStackQueuedSpinLock(&handle);
  return any;
}

void CChunkList::Retire(ChunkDescriptor* Chunk) {
  RemoveEntryList(&Chunk->ListEntry);
  ExFreeToNPagedLookasideList(m_Lookaside, Chunk);
}

ULONG CChunkList::TakeInto(PUCHAR Destination, ULONG Bytes, IMiniportEngineLink* Link) {
  ULONG copied = 0;
  KLOCK_QUEUE_HANDLE handle;
  KeAcquireInStackQueuedSpinLock(&m_Lock, &handle);
  while (copied < Bytes && !IsListEmpty(&m_List)) {
    ChunkDescriptor* chunk = CONTAINING_RECORD(m_List.Flink, ChunkDescriptor, ListEntry);
    const ULONG count = chunk->Remaining < Bytes - copied ? chunk->Remaining : Bytes - copied;
    RtlCopyMemory(Destination + copied, chunk->Current, count);
    Link->FillSilence(kDirectionRender, chunk->Current, count);
    chunk->Current += count;
    chunk->Remaining -= count;
    copied += count;
    if (chunk->Remaining == 0) {
      Retire(chunk);
    }
  }
  KeReleaseInStackQueuedSpinLock(&handle);
  return copied;
}

ULONG CChunkList::ConvertInto(const Converter* Conv, const UCHAR* Source, ULONG Frames, ULONG SourceFrameBytes,
                              ULONG ChunkFrameBytes) {
  ULONG written = 0;
  if (ChunkFrameBytes == 0) {
    return 0;
  }
  KLOCK_QUEUE_HANDLE handle;
  KeAcquireInStackQueuedSpinLock(&m_Lock, &handle);
  while (Frames != 0 && !IsListEmpty(&m_List)) {
    ChunkDescriptor* chunk = CONTAINING_RECORD(m_List.Flink, ChunkDescriptor, ListEntry);
    ULONG frames = chunk->Remaining / ChunkFrameBytes;
    if (frames == 0) {
      // A piece shorter than a frame cannot take one: it is left unwritten.
      Trace(TRACE_LEVEL_WARNING, TraceEngineChunkSkipped, chunk->Remaining);
      Retire(chunk);
      continue;
    }
    if (frames > Frames) {
      frames = Frames;
    }
    ConverterApplyCopy(Conv, chunk->Current, Source, frames);
    Source += static_cast<SIZE_T>(frames) * SourceFrameBytes;
    const ULONG bytes = frames * ChunkFrameBytes;
    chunk->Current += bytes;
    chunk->Remaining -= bytes;
    written += bytes;
    Frames -= frames;
    if (chunk->Remaining == 0) {
      Retire(chunk);
    }
  }
  KeReleaseInStackQueuedSpinLock(&handle);
  return written;
}
