#include "engine/frame_check.h"

NTSTATUS CheckCompletionFrame(FrameBook* Book, BOOLEAN First, ULONG Frame, ULONG Ms, ULONG InFlight, NTSTATUS Status,
                              PULONG Findings) {
  ULONG findings = 0;
  if (First) {
    Book->Lag = 0;
    Book->LagTotal = 0;
    Book->LastFrame = Frame;
    *Findings = kFrameFirst;
    return Status;
  }
  // Unsigned: a frame number that went backwards is a jump as well.
  const ULONG diff = Frame - Book->LastFrame;
  const ULONGLONG loss = static_cast<ULONGLONG>(InFlight) * Ms;
  BOOLEAN lost = FALSE;
  if (diff >= loss) {
    findings |= kFrameJump;
    lost = TRUE;
  } else if (diff > Ms) {
    findings |= kFrameGap;
  }
  // A jump is a loss already and recovery starts the book afresh, so the
  // lag takes at most the in-flight span: the sum can never wrap.
  const LONGLONG step = static_cast<LONGLONG>(lost ? loss : diff) - static_cast<LONGLONG>(Ms);
  LONGLONG lag = static_cast<LONGLONG>(Book->Lag) + step;
  if (lag > 0x7FFFFFFF) {
    lag = 0x7FFFFFFF;
  } else if (lag < -0x7FFFFFFF) {
    lag = -0x7FFFFFFF;
  }
  Book->Lag = static_cast<LONG>(lag);
  if (Book->Lag != 0) {
    findings |= kFrameLagging;
    const ULONGLONG total = static_cast<ULONGLONG>(Book->LagTotal) + diff;
    Book->LagTotal = total > 0xFFFFFFFF ? 0xFFFFFFFF : static_cast<ULONG>(total);
    if (Book->LagTotal >= kFrameLagLimitFrames) {
      findings |= kFrameLagLimit;
      lost = TRUE;
    }
  } else {
    Book->LagTotal = 0;
  }
  Book->LastFrame = Frame;
  *Findings = findings;
  if (lost && NT_SUCCESS(Status)) {
    return STATUS_UNEXPECTED_IO_ERROR;
  }
  return Status;
}
