// What the ASIO render source and capture sink need of the ASIO stream: its
// rings and formats. The ASIO stream implements it; the adapter attaches it
// while ASIO streaming is prepared.
#pragma once
#include "platform.h"
#include "adapter/adapter_interface.h"

class CAsioRingAccess {
 public:
  // The formats of the two rings (the device's own formats, DSD flag apart).
  virtual ULONG DsdMode() = 0;
  virtual StreamFormat RenderFormat() = 0;
  virtual StreamFormat CaptureFormat() = 0;
  virtual BOOLEAN HasCaptureRing() = 0;
  virtual BOOLEAN HasRenderRing() = 0;
  virtual BOOLEAN IsRenderRingStarted() = 0;
  // Render ring: up to Bytes into Buffer; without Partial a shortfall is
  // padded with silence and counted as debt. Returns the bytes given.
  virtual ULONG RenderRingRead(PUCHAR Buffer, ULONG Bytes, BOOLEAN Partial) = 0;
  // Capture ring: all of Bytes (what does not fit becomes debt). Returns the bytes taken.
  virtual ULONG CaptureRingWrite(const UCHAR* Buffer, ULONG Bytes) = 0;
  virtual void CompletePendingReads() = 0;
  // Keeps the two rings' fill levels in step.
  virtual void Balance() = 0;
  // Wakes the render-only writer thread.
  virtual void WakeWriter() = 0;
  // 0x96 after a DSD prepare, else 0.
  virtual UCHAR RenderSilenceByte() = 0;
  // Render lost its place: the client must start again.
  virtual void MarkResetNeeded() = 0;
};
