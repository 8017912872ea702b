// The arithmetic of an ASIO stream's rings: how large each ring is for a
// period, and how much silence the render ring starts with.
#pragma once
#include "platform.h"

struct AsioRingPlan {
  ULONG CaptureFrames;  // 0: no capture ring
  ULONG RenderFrames;   // 0: no render ring
};

// 1 below 44100 Hz, else the rate's multiple of 44100 or 48000; other rates
// are refused with STATUS_INVALID_DEVICE_REQUEST.
NTSTATUS AsioRateMultiple(ULONG Rate, PULONG Multiple);

// Ring sizes in frames for a period of Frames frames: three periods (or
// three milliseconds, whichever is more) per ring; a duplex render ring
// holds the rate multiple's worth more; a render-only ring covers three
// render transfers. STATUS_INVALID_PARAMETER for a period of 0 or sizes that
// do not fit 32 bits.
NTSTATUS AsioRingFrames(ULONG Rate, ULONG Frames, BOOLEAN Capture, BOOLEAN Render, ULONG RenderMsPerTransfer,
                        AsioRingPlan* Plan);

// Frames of silence the duplex render ring starts with: the period's part
// of a millisecond plus a share that grows with the period.
ULONG AsioRenderPrefill(ULONG Rate, ULONG Frames);
