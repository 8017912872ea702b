// A render path: pulls its source's data and mixes it, with saturation,
// into the render transfers. Direct: just before a transfer is submitted.
// Capture-clocked: late, into transfers already queued, each time capture
// delivers, so render follows the device's capture clock with a small lead.
// One for ASIO, one for WaveRT.
#pragma once
#include "platform.h"
#include "engine/converters.h"
#include "engine/stream_endpoint.h"
#include "engine/stream_transfer.h"

class CAdapterCommon;

// What a render path did since it started; read by tools and tests.
struct RenderPathCounters {
  ULONG64 FramesPulled;
  ULONG64 FramesMixed;
  ULONG64 LateData;  // completions that left the write-ahead behind the oldest transfer
  ULONG64 Primes;
};

class CRenderPath : public CStreamEndpoint {
 public:
  void Initialize(CAdapterCommon* Adapter, CRenderSource* Source, ULONG Client);

  // The function's DSD mode and the render device format.
  ULONG GetDsdMode() override;
  USHORT GetFormatType() override;
  ULONG GetBitsPerSample() override;
  ULONG GetChannels() override;
  ULONG GetBytesPerFrame() override;
  ULONG GetSampleRate() override;

  CRenderSource* GetSource() { return m_Source; }
  PLIST_ENTRY QueueEntryOf(StreamTransfer* Transfer) { return &Transfer->PathEntries[m_Client]; }
  StreamTransfer* TransferOf(PLIST_ENTRY Entry) {
    return reinterpret_cast<StreamTransfer*>(reinterpret_cast<PUCHAR>(Entry - m_Client) -
                                             FIELD_OFFSET(StreamTransfer, PathEntries));
  }

  // PASSIVE_LEVEL, with the engine's render direction configured.
  NTSTATUS Start();
  void Reset();
  // The lead in milliseconds of the client's buffer, 0..100.
  void SetLeadPercentage(ULONG Percentage);
  // A fixed lead in frames (0: computed from the percentage).
  void SetLeadOverride(ULONG Frames);
  void ResetLead();

  // DISPATCH_LEVEL, from the engine.
  void MixDirect(PUCHAR Buffer, ULONG Length);
  void Append(StreamTransfer* Transfer);
  void Remove(StreamTransfer* Transfer);
  void EmptyQueue();
  // The transfer leaves the queue (AMD mode: at submission, with 0 and 0).
  void OnRenderCompleted(StreamTransfer* Transfer, ULONG Bytes, ULONG Frame);
  void OnCaptureCompleted(ULONG CapturedBytes, ULONG Frame);

  BOOLEAN IsStarted() const { return m_Started != 0; }
  BOOLEAN IsCaptureClocked() const { return m_CaptureClocked != 0; }
  BOOLEAN IsPrimed() const { return m_Primed != 0; }
  LONG WriteAhead() const { return m_WriteAhead; }
  void GetCounters(RenderPathCounters* Counters) const { *Counters = m_Counters; }

 private:
  // With the lock held.
  void MixQueued(ULONG Frames);
  ULONG ComputeLead() const;

  CAdapterCommon* m_Adapter;
  CRenderSource* m_Source;
  ULONG m_Client;
  KSPIN_LOCK m_Lock;
  LIST_ENTRY m_Queue;
  volatile LONG m_Started;
  volatile LONG m_CaptureClocked;
  LONG m_Primed;
  ULONG m_SyncFrame;
  LONG m_FirstPullDone;
  ULONG m_LeadPercentage;
  ULONG m_LeadOverride;
  PUCHAR m_Scratch;
  ULONG m_ScratchFrames;
  LONG m_WriteAhead;
  LONG m_Lead;  // the write-ahead a priming starts from
  Converter m_Converter;
  RenderPathCounters m_Counters;
};
