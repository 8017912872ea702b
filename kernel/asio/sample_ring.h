// One direction of the ASIO stream: a byte ring between the engine and the
// client's reads or writes. Data that comes too late or does not fit is kept
// as a debt and paid later with silence or by dropping bytes, so that the
// distance between input and output stays where the start put it.
#pragma once
#include "platform.h"

class CSampleRing {
 public:
  // IsInput: the capture ring (written by the engine, read by the client).
  void Initialize(BOOLEAN IsInput);

  // Storage for Frames frames of BytesPerFrame bytes, filled with the
  // silence byte. STATUS_UNSUCCESSFUL when the ring already has storage,
  // STATUS_INVALID_PARAMETER when the size does not fit 32 bits.
  NTSTATUS Allocate(ULONG Frames, ULONG BytesPerFrame, UCHAR SilenceByte);
  void Free();
  BOOLEAN HasStorage() const { return m_Storage != nullptr; }

  // Fill and write offset := PrefillFrames of silence (cut to the ring),
  // read offset and debt 0, not started. The prefill is kept for Reset().
  void Reset(ULONG PrefillFrames);
  void Reset();
  void SetStarted(BOOLEAN Started);
  BOOLEAN IsStarted() const { return m_Started != 0; }

  // Up to Bytes from Source (silence when null). Without Partial what does
  // not fit is accepted and owed to the reader as silence. Returns the bytes
  // accounted; 0 when the ring may not be written.
  ULONG Write(const UCHAR* Source, ULONG Bytes, BOOLEAN Partial);
  // Up to Bytes into Destination (discarded when null). Without Partial a
  // shortfall is padded with silence and dropped from the writer later.
  // Returns the bytes accounted; 0 when the ring may not be read.
  ULONG Read(PUCHAR Destination, ULONG Bytes, BOOLEAN Partial);
  // Debts of opposite sign in the two rings cancel, frame for frame.
  static void Balance(CSampleRing* Capture, CSampleRing* Render);

  ULONG Size() const { return m_Size; }
  ULONG Fill();
  LONG Debt();
  ULONG BytesPerFrame() const { return m_BytesPerFrame; }
  UCHAR SilenceByte() const { return m_SilenceByte; }

 private:
  BOOLEAN MayWrite() const { return m_Started != 0 || m_IsInput == 0; }
  BOOLEAN MayRead() const { return m_Started != 0 || m_IsInput != 0; }
  // Empty, no debt, no prefill, not started; under the lock.
  void ClearLevels();
  void AddDebt(LONGLONG Bytes);
  void CopyIn(const UCHAR* Source, ULONG Bytes);
  void CopyOut(PUCHAR Destination, ULONG Bytes);

  KSPIN_LOCK m_Lock;
  ULONG m_Size;
  ULONG m_Fill;
  ULONG m_BytesPerFrame;
  LONG m_Debt;
  ULONG m_WriteOffset;
  ULONG m_ReadOffset;
  PUCHAR m_Storage;
  ULONG m_StorageBytes;
  ULONG m_Prefill;  // bytes
  volatile LONG m_Started;
  UCHAR m_SilenceByte;
  ULONG m_IsInput;
};
