// Numbers of the driver's trace events. Events carry no texts: a number, a
// level and up to four integer values. Each component owns a block of a
// thousand numbers and adds its events inside its block; a number, once
// shipped, keeps its meaning.
#pragma once

enum TraceEvent : unsigned short {
  // 1000s: driver entry, adapter device, request routing.
  TraceDriverEntry = 1000,        // pool type, page priority
  TraceDriverEntryFailed = 1001,  // status of PcInitializeAdapterDriver
  TraceDriverUnload = 1002,       //
  TraceAddDevice = 1010,          // status, physical device object
  TraceStartDevice = 1020,        // status

  // 2000s: USB device access.
  TraceUsbFirst = 2000,
  // 3000s: audio function model, format selection, isochronous transfers.
  TraceAudioFunctionFirst = 3000,
  // 4000s: streaming engine, render scheduling, stream clients.
  TraceEngineFirst = 4000,
  // 5000s: private interface and ASIO stream.
  TraceAsioFirst = 5000,
  // 6000s: WaveRT miniport, streams and topology.
  TraceWaveRtFirst = 6000,
  // 7000s: driver parameters in the registry.
  TraceRegistryFirst = 7000,
};
