#include "asio/sample_ring.h"

#include "base/pool.h"
#include "base/pool_tags.h"

namespace {

ULONG Smaller(ULONG A, ULONG B) { return A < B ? A : B; }

}  // namespace

void CSampleRing::Initialize(BOOLEAN IsInput) {
  KeInitializeSpinLock(&m_Lock);
  m_Size = 0;
  m_Fill = 0;
  m_BytesPerFrame = 0;
  m_Debt = 0;
  m_WriteOffset = 0;
  m_ReadOffset = 0;
  m_Storage = nullptr;
  m_StorageBytes = 0;
  m_Prefill = 0;
  m_Started = 0;
  m_SilenceByte = 0;
  m_IsInput = IsInput ? 1 : 0;
}

NTSTATUS CSampleRing::Allocate(ULONG Frames, ULONG BytesPerFrame, UCHAR SilenceByte) {
  if (m_Storage != nullptr) {
    return STATUS_UNSUCCESSFUL;
  }
  const ULONGLONG size = static_cast<ULONGLONG>(Frames) * BytesPerFrame;
  // Rounded up to whole 32-bit words.
  const ULONGLONG storage = (size + 3) & ~3ULL;
  if (size == 0 || storage > 0xFFFFFFFF) {
    return STATUS_INVALID_PARAMETER;
  }
  auto* buffer = static_cast<PUCHAR>(AllocateDriverPool(static_cast<SIZE_T>(storage), kPoolTagDriver));
  if (buffer == nullptr) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlFillMemory(buffer, static_cast<SIZE_T>(storage), SilenceByte);
  KLOCK_QUEUE_HANDLE handle;
  KeAcquireInStackQueuedSpinLock(&m_Lock, &handle);
  m_Storage = buffer;
  m_StorageBytes = static_cast<ULONG>(storage);
  m_Size = static_cast<ULONG>(size);
  m_BytesPerFrame = BytesPerFrame;
  m_SilenceByte = SilenceByte;
  ClearLevels();
  KeReleaseInStackQueuedSpinLock(&handle);
  return STATUS_SUCCESS;
}

void CSampleRing::ClearLevels() {
  m_Fill = 0;
  m_Debt = 0;
  m_WriteOffset = 0;
  m_ReadOffset = 0;
  m_Prefill = 0;
  m_Started = 0;
}

void CSampleRing::Free() {
  KLOCK_QUEUE_HANDLE handle;
  KeAcquireInStackQueuedSpinLock(&m_Lock, &handle);
  PUCHAR storage = m_Storage;
  m_Storage = nullptr;
  m_StorageBytes = 0;
  m_Size = 0;
  ClearLevels();
  KeReleaseInStackQueuedSpinLock(&handle);
  if (storage != nullptr) {
    FreeDriverPool(storage, kPoolTagDriver);
  }
}

void CSampleRing::Reset(ULONG PrefillFrames) {
  const ULONGLONG bytes = static_cast<ULONGLONG>(PrefillFrames) * m_BytesPerFrame;
  m_Prefill = bytes < m_Size ? static_cast<ULONG>(bytes) : m_Size;
  Reset();
}

void CSampleRing::Reset() {
  KLOCK_QUEUE_HANDLE handle;
  KeAcquireInStackQueuedSpinLock(&m_Lock, &handle);
  m_Fill = m_Prefill;
  m_WriteOffset = m_Size != 0 && m_Prefill < m_Size ? m_Prefill : 0;
  m_ReadOffset = 0;
  m_Debt = 0;
  m_Started = 0;
  if (m_Storage != nullptr) {
    RtlFillMemory(m_Storage, m_StorageBytes, m_SilenceByte);
  }
  KeReleaseInStackQueuedSpinLock(&handle);
}

void CSampleRing::SetStarted(BOOLEAN Started) { InterlockedExchange(&m_Started, Started ? 1 : 0); }

ULONG CSampleRing::Fill() {
  KLOCK_QUEUE_HANDLE handle;
  KeAcquireInStackQueuedSpinLock(&m_Lock, &handle);
  const ULONG fill = m_Fill;
  KeReleaseInStackQueuedSpinLock(&handle);
  return fill;
}

LONG CSampleRing::Debt() {
  KLOCK_QUEUE_HANDLE handle;
  KeAcquireInStackQueuedSpinLock(&m_Lock, &handle);
  const LONG debt = m_Debt;
  KeReleaseInStackQueuedSpinLock(&handle);
  return debt;
}

void CSampleRing::AddDebt(LONGLONG Bytes) {
  // Held to 32 bits: a client that never reads must not wrap the debt into
  // its opposite.
  LONGLONG debt = static_cast<LONGLONG>(m_Debt) + Bytes;
  if (debt > MAXLONG) {
    debt = MAXLONG;
  } else if (debt < -MAXLONG) {
    debt = -MAXLONG;
  }
  m_Debt = static_cast<LONG>(debt);
}

void CSampleRing::CopyIn(const UCHAR* Source, ULONG Bytes) {
  ULONG done = 0;
  while (done < Bytes) {
    const ULONG piece = Smaller(Bytes - done, m_Size - m_WriteOffset);
    if (Source != nullptr) {
      RtlCopyMemory(m_Storage + m_WriteOffset, Source + done, piece);
    } else {
      RtlFillMemory(m_Storage + m_WriteOffset, piece, m_SilenceByte);
    }
    done += piece;
    m_WriteOffset += piece;
    if (m_WriteOffset == m_Size) {
      m_WriteOffset = 0;
    }
  }
  m_Fill += Bytes;
}

void CSampleRing::CopyOut(PUCHAR Destination, ULONG Bytes) {
  ULONG done = 0;
  while (done < Bytes) {
    const ULONG piece = Smaller(Bytes - done, m_Size - m_ReadOffset);
    if (Destination != nullptr) {
      RtlCopyMemory(Destination + done, m_Storage + m_ReadOffset, piece);
    }
    done += piece;
    m_ReadOffset += piece;
    if (m_ReadOffset == m_Size) {
      m_ReadOffset = 0;
    }
  }
  m_Fill -= Bytes;
}

ULONG CSampleRing::Write(const UCHAR* Source, ULONG Bytes, BOOLEAN Partial) {
  KLOCK_QUEUE_HANDLE handle;
  KeAcquireInStackQueuedSpinLock(&m_Lock, &handle);
  if (m_Storage == nullptr || !MayWrite()) {
    KeReleaseInStackQueuedSpinLock(&handle);
    return 0;
  }
  ULONG dropped = 0;
  if (m_Debt < 0) {
    // The reader already had silence for these bytes.
    dropped = Smaller(Bytes, static_cast<ULONG>(-static_cast<LONGLONG>(m_Debt)));
    AddDebt(dropped);
  }
  const ULONG remaining = Bytes - dropped;
  const ULONG k = Smaller(remaining, m_Size - m_Fill);
  ULONG overflow = 0;
  if (!Partial && k < remaining) {
    overflow = remaining - k;
    AddDebt(overflow);
  }
  CopyIn(Source != nullptr ? Source + dropped : nullptr, k);
  KeReleaseInStackQueuedSpinLock(&handle);
  return dropped + overflow + k;
}

ULONG CSampleRing::Read(PUCHAR Destination, ULONG Bytes, BOOLEAN Partial) {
  KLOCK_QUEUE_HANDLE handle;
  KeAcquireInStackQueuedSpinLock(&m_Lock, &handle);
  if (m_Storage == nullptr || !MayRead()) {
    KeReleaseInStackQueuedSpinLock(&handle);
    return 0;
  }
  ULONG silence = 0;
  if (m_Debt > 0) {
    // Owed for data the writer could not store.
    silence = Smaller(Bytes, static_cast<ULONG>(m_Debt));
    if (Destination != nullptr) {
      RtlFillMemory(Destination, silence, m_SilenceByte);
    }
    AddDebt(-static_cast<LONGLONG>(silence));
  }
  const ULONG remaining = Bytes - silence;
  const ULONG k = Smaller(remaining, m_Fill);
  ULONG shortfall = 0;
  if (!Partial && k < remaining) {
    shortfall = remaining - k;
    AddDebt(-static_cast<LONGLONG>(shortfall));
  }
  CopyOut(Destination != nullptr ? Destination + silence : nullptr, k);
  if (Destination != nullptr && shortfall != 0) {
    RtlFillMemory(Destination + silence + k, shortfall, m_SilenceByte);
  }
  KeReleaseInStackQueuedSpinLock(&handle);
  return silence + shortfall + k;
}

void CSampleRing::Balance(CSampleRing* Capture, CSampleRing* Render) {
  if (Capture == nullptr || Render == nullptr) {
    return;
  }
  KLOCK_QUEUE_HANDLE capture;
  KLOCK_QUEUE_HANDLE render;
  KeAcquireInStackQueuedSpinLock(&Capture->m_Lock, &capture);
  KeAcquireInStackQueuedSpinLock(&Render->m_Lock, &render);
  const LONGLONG a = Capture->m_Debt;
  const LONGLONG b = Render->m_Debt;
  const LONGLONG aFrame = Capture->m_BytesPerFrame;
  const LONGLONG bFrame = Render->m_BytesPerFrame;
  if (((a > 0 && b < 0) || (a < 0 && b > 0)) && aFrame != 0 && bFrame != 0) {
    const LONGLONG aFrames = (a < 0 ? -a : a) / aFrame;
    const LONGLONG bFrames = (b < 0 ? -b : b) / bFrame;
    if (aFrames <= bFrames) {
      // The capture ring's debt is the smaller: it moves to the render ring.
      Render->AddDebt(a / aFrame * bFrame);
      Capture->m_Debt = 0;
    } else {
      Capture->AddDebt(b / bFrame * aFrame);
      Render->m_Debt = 0;
    }
  }
  KeReleaseInStackQueuedSpinLock(&render);
  KeReleaseInStackQueuedSpinLock(&capture);
}
