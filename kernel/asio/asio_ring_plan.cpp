#include "asio/asio_ring_plan.h"

NTSTATUS AsioRateMultiple(ULONG Rate, PULONG Multiple) {
  if (Rate < 44100) {
    *Multiple = 1;
  } else if (Rate % 44100 == 0) {
    *Multiple = Rate / 44100;
  } else if (Rate % 48000 == 0) {
    *Multiple = Rate / 48000;
  } else {
    *Multiple = 0;
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  return STATUS_SUCCESS;
}

NTSTATUS AsioRingFrames(ULONG Rate, ULONG Frames, BOOLEAN Capture, BOOLEAN Render, ULONG RenderMsPerTransfer,
                        AsioRingPlan* Plan) {
  Plan->CaptureFrames = 0;
  Plan->RenderFrames = 0;
  if (Frames == 0 || (!Capture && !Render)) {
    return STATUS_INVALID_PARAMETER;
  }
  ULONG multiple = 0;
  NTSTATUS status = AsioRateMultiple(Rate, &multiple);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  const ULONGLONG perMs = (static_cast<ULONGLONG>(Rate) + 999) / 1000;
  const ULONGLONG period = perMs > Frames ? perMs : Frames;
  ULONGLONG capture = 0;
  ULONGLONG render = 0;
  if (Capture) {
    capture = 3 * period;
    render = Render ? 3 * multiple * period : 0;
  } else {
    const ULONGLONG transfer = perMs * RenderMsPerTransfer;
    render = 3 * (transfer > Frames ? transfer : Frames);
  }
  if (capture > 0xFFFFFFFF || render > 0xFFFFFFFF) {
    return STATUS_INVALID_PARAMETER;
  }
  Plan->CaptureFrames = static_cast<ULONG>(capture);
  Plan->RenderFrames = static_cast<ULONG>(render);
  return STATUS_SUCCESS;
}

ULONG AsioRenderPrefill(ULONG Rate, ULONG Frames) {
  const ULONGLONG perMs = (static_cast<ULONGLONG>(Rate) + 500) / 1000;
  ULONGLONG part = Frames;
  if (perMs != 0 && Frames >= perMs) {
    part = Frames % perMs;
    if (part == 0) {
      part = perMs;
    }
  }
  // Periods below 64 frames add nothing for their length (the factor would
  // be negative).
  const ULONGLONG above = Frames > 64 ? Frames - 64 : 0;
  ULONGLONG share = (8ULL * Rate / 1000) * above / 448;
  if (Rate == 48000) {
    share += 4;
  }
  const ULONGLONG total = part + share;
  return total > 0xFFFFFFFF ? 0xFFFFFFFF : static_cast<ULONG>(total);
}
