// The records of one audio-streaming interface and its alternate settings.
#pragma once
#include "platform.h"
#include <usb.h>

class CUSBAudioTerminal;

// Descriptors of one alternate setting, pointers into the configuration
// descriptor copy (not owned). Any but the first may be null; an alternate
// setting without endpoints has all five null. A class-specific descriptor
// is only recorded when it holds all its fixed fields (the lengths in
// uac_constants.h), a type I FORMAT_TYPE of class 1.0 also its rate table.
struct AltSetting {
  const USB_INTERFACE_DESCRIPTOR* Interface;
  const USB_ENDPOINT_DESCRIPTOR* DataEndpoint;
  const UCHAR* AsGeneral;
  const UCHAR* FormatType;
  const UCHAR* EpGeneral;
  const USB_ENDPOINT_DESCRIPTOR* FeedbackEndpoint;
};

// One audio-streaming interface. Pool memory (tag "USBA"), zeroed when made;
// owned by CUSBAudioCL together with its Alternates array.
struct StreamInterface {
  StreamInterface* Next;
  UCHAR InterfaceNumber;
  UCHAR Direction;  // 1: IN (capture), 0: OUT (playback)
  ULONG AlternateCount;
  ULONG CurrentAlternate;
  AltSetting* Alternates;  // AlternateCount entries
  CUSBAudioTerminal* Terminal;
  PUSBD_PIPE_INFORMATION DataPipe;
  // The selected format, written by the format selection.
  ULONG BytesPerFrame;
  LONG NominalPacketBytes;
  LONG MinimumPacketBytes;
  LONG MaximumPacketBytes;
  UCHAR ShortPacket;
  PUSBD_PIPE_INFORMATION FeedbackPipe;
  // 16.16 frames per bus frame (full speed) or microframe (high speed).
  ULONG FeedbackRateInUse;
  ULONG AcceptedFeedbackRate;
  KSPIN_LOCK FeedbackLock;  // guards the two rates above
  ULONG LastFeedbackValue;
  ULONG FeedbackAverageCarry;  // 2^-8 of the last average's unit, carried to the next
  ULONG PacketAccumulator;
  ULONG FeedbackPeriod;  // milliseconds between feedback reads, 4 to 1024
  ULONG SampleRate;
  USHORT VendorStreamMode;

  // The pipes are published anew whenever a format is selected, while the
  // other direction may be streaming: paths that run at DISPATCH_LEVEL read
  // each one once, through these.
  PUSBD_PIPE_INFORMATION LoadDataPipe() const { return *const_cast<const volatile PUSBD_PIPE_INFORMATION*>(&DataPipe); }
  PUSBD_PIPE_INFORMATION LoadFeedbackPipe() const {
    return *const_cast<const volatile PUSBD_PIPE_INFORMATION*>(&FeedbackPipe);
  }

  // The current alternate setting's record; null when out of range.
  const AltSetting* Current() const {
    return (Alternates != nullptr && CurrentAlternate < AlternateCount) ? &Alternates[CurrentAlternate] : nullptr;
  }
  const AltSetting* Alternate(ULONG number) const {
    return (Alternates != nullptr && number < AlternateCount) ? &Alternates[number] : nullptr;
  }
};
