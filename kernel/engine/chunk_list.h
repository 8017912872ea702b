// The queued pieces of one WaveRT cyclic buffer: the stream queues the bytes
// it wants moved, the render source copies out of them and the capture sink
// converts into them. Descriptors come from the device core's lookaside list.
#pragma once
#include "platform.h"
#include "base/vocabulary.h"
#include "engine/converters.h"

struct IMiniportEngineLink;

struct ChunkDescriptor {
  LIST_ENTRY ListEntry;
  PUCHAR Start;
  PUCHAR Current;
  ULONG Remaining;
};

class CChunkList {
 public:
  void Initialize();
  void SetLookaside(PNPAGED_LOOKASIDE_LIST Lookaside) { m_Lookaside = Lookaside; }
  // FALSE when no descriptor was free (the chunk is dropped).
  BOOLEAN Queue(PVOID Address, ULONG Bytes);
  void Flush();
  BOOLEAN HasData();
  // Render: copies up to Bytes out of the chunks and lets the miniport
  // silence what was taken. Returns the bytes copied. DISPATCH_LEVEL.
  ULONG TakeInto(PUCHAR Destination, ULONG Bytes, IMiniportEngineLink* Link);
  // Capture: converts whole frames into the chunks with the copy function.
  // Returns the chunk bytes written. DISPATCH_LEVEL.
  ULONG ConvertInto(const Converter* Conv, const UCHAR* Source, ULONG Frames, ULONG SourceFrameBytes,
                    ULONG ChunkFrameBytes);

 private:
  // With the lock held: unlinks and frees an exhausted head chunk.
  void Retire(ChunkDescriptor* Chunk);

  KSPIN_LOCK m_Lock;
  LIST_ENTRY m_List;
  PNPAGED_LOOKASIDE_LIST m_Lookaside;
};
