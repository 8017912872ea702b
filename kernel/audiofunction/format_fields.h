// Fields of the streaming descriptors that the format selection reads. The
// parser records a descriptor only when it holds its fixed fields (and, for a
// class 1.0 type I FORMAT_TYPE, its rate table), so these read within bounds
// once the format type has been checked.
#pragma once
#include "platform.h"
#include "audiofunction/stream_interface.h"
#include "audiofunction/uac_constants.h"

// Wave format tags the selection understands.
constexpr USHORT kWaveFormatPcm = 1;
constexpr USHORT kWaveFormatFloat = 3;
constexpr USHORT kWaveFormatALaw = 6;
constexpr USHORT kWaveFormatMuLaw = 7;

// Class 1.0 type I FORMAT_TYPE: bNrChannels 4, bSubframeSize 5,
// bBitResolution 6, bSamFreqType 7, rates (3 bytes each) from 8.
inline const UCHAR* Uac1TypeI(const AltSetting& alternate) {
  const UCHAR* f = alternate.FormatType;
  return (f != nullptr && f[3] == kUacFormatTypeI && f[0] >= kUac1FormatTypeIFixedLength) ? f : nullptr;
}
inline BOOLEAN Uac1Continuous(const UCHAR* format) { return format[7] == 0; }
// Rates the format lists: the two ends of a continuous range, else the list.
inline ULONG Uac1RateCount(const UCHAR* format) { return format[7] == 0 ? 2 : format[7]; }
inline ULONG Uac1Rate(const UCHAR* format, ULONG index) { return ReadLe24(format + 8 + 3 * index); }
inline BOOLEAN Uac1OffersRate(const UCHAR* format, ULONG rate) {
  if (Uac1Continuous(format)) {
    return Uac1Rate(format, 0) <= rate && rate <= Uac1Rate(format, 1);
  }
  for (ULONG i = 0; i < Uac1RateCount(format); ++i) {
    if (Uac1Rate(format, i) == rate) {
      return TRUE;
    }
  }
  return FALSE;
}
// wFormatTag of a class 1.0 AS_GENERAL.
inline USHORT Uac1FormatTag(const UCHAR* general) { return ReadLe16(general + 5); }

// Class 2.0: AS_GENERAL bFormatType 5, bmFormats 6..9, bNrChannels 10;
// type I FORMAT_TYPE bSubslotSize 4, bBitResolution 5.
inline BOOLEAN Uac2TypeI(const AltSetting& alternate) {
  return alternate.AsGeneral != nullptr && alternate.FormatType != nullptr &&
         alternate.AsGeneral[5] == kUacFormatTypeI && alternate.FormatType[3] == kUacFormatTypeI &&
         alternate.FormatType[0] >= kUac2FormatTypeILength;
}
inline ULONG Uac2Formats(const UCHAR* general) { return ReadLe32(general + 6); }
inline ULONG Uac2Channels(const UCHAR* general) { return general[10]; }
