// One transfer of the streaming engine: the same record serves capture,
// render and feedback reads. Records come from the device core's
// transfer-context lookaside list.
#pragma once
#include "platform.h"

class CStreamEngine;

struct StreamTransfer {
  PVOID Buffer;             // pool buffer of the direction's transfer size
  PMDL Mdl;                 // over Buffer (render only)
  ULONG Length;             // bytes to send (render) or buffer size (capture, feedback)
  ULONG StartFrame;         // bus frame the transfer was scheduled at
  ULONG CompletionFrame;    // bus frame when the completion was recorded
  LONGLONG CompletionTime;  // performance counter at completion
  NTSTATUS Status;          // after the function's packet check
  ULONG BytesDone;
  ULONG FramesCovered;
  CStreamEngine* Owner;
  ULONG FeedbackUsed;         // render: the feedback value the length came from
  LIST_ENTRY ListEntry;       // render idle list or a completion list
  LIST_ENTRY PathEntries[2];  // the ASIO and WaveRT render path queues
  PIO_WORKITEM WorkItem;      // while a failed completion is deferred
  ULONG Flags;
};

constexpr ULONG kTransferInFlight = 0x100;
constexpr ULONG kTransferIndexMask = 0xFF;
