// Codes and fixed sizes of the USB Audio Class 1.0 and 2.0 descriptors and
// requests that the audio function model uses.
#pragma once
#include "platform.h"

// Interface subclasses.
constexpr UCHAR kUacSubclassAudioControl = 0x01;
constexpr UCHAR kUacSubclassAudioStreaming = 0x02;

// Class-specific descriptor types.
constexpr UCHAR kUacCsInterface = 0x24;
constexpr UCHAR kUacCsEndpoint = 0x25;

// Audio-control descriptor subtypes (both versions unless marked).
constexpr UCHAR kUacAcHeader = 0x01;
constexpr UCHAR kUacAcInputTerminal = 0x02;
constexpr UCHAR kUacAcOutputTerminal = 0x03;
constexpr UCHAR kUacAcFeatureUnit = 0x06;
constexpr UCHAR kUac1AcProcessingUnit = 0x07;
constexpr UCHAR kUac2AcClockSource = 0x0A;
constexpr UCHAR kUac2AcClockSelector = 0x0B;

// Audio-streaming descriptor subtypes.
constexpr UCHAR kUacAsGeneral = 0x01;
constexpr UCHAR kUacAsFormatType = 0x02;
constexpr UCHAR kUacEpGeneral = 0x01;

// bcdADC of an Audio Class 2.0 function.
constexpr USHORT kUacVersion2 = 0x0200;

// Requests.
constexpr UCHAR kUacRequestTypeGetInterface = 0xA1;
constexpr UCHAR kUacRequestTypeSetInterface = 0x21;
constexpr UCHAR kUacRequestTypeSetEndpoint = 0x22;
constexpr UCHAR kUacRequestTypeGetEndpoint = 0xA2;
constexpr UCHAR kUac1RequestSetCur = 0x01;
constexpr UCHAR kUac1RequestGetCur = 0x81;
constexpr UCHAR kUac2RequestCur = 0x01;
constexpr UCHAR kUac2RequestRange = 0x02;

// Control selectors.
constexpr UCHAR kUac2ClockSourceFrequency = 0x01;  // CS_SAM_FREQ_CONTROL
constexpr UCHAR kUac2ClockSourceValid = 0x02;      // CS_CLOCK_VALID_CONTROL
constexpr UCHAR kUac2ClockSelectorInput = 0x01;    // CX_CLOCK_SELECTOR_CONTROL
constexpr UCHAR kUac2TerminalConnector = 0x02;     // TE_CONNECTOR_CONTROL

// A RANGE answer of a 4-byte control: wNumSubRanges, then dMIN, dMAX, dRES
// per subrange. The largest count whose answer fits a 16-bit wLength.
constexpr ULONG kUac2RangeHeaderBytes = 2;
constexpr ULONG kUac2RangeSubrangeBytes = 12;
constexpr ULONG kUac2RangeMaxSubranges = 5461;
// The first RANGE read, which only learns the count.
constexpr USHORT kUac2RangeProbeBytes = 16;

// Smallest descriptor lengths that hold every fixed field the model and the
// format selection read. Shorter descriptors are malformed.
constexpr UCHAR kUac1HeaderMinLength = 8;
constexpr UCHAR kUac2HeaderMinLength = 9;
constexpr UCHAR kUacEntityMinLength = 4;  // up to the entity ID
constexpr UCHAR kUac1InputTerminalLength = 12;
constexpr UCHAR kUac2InputTerminalLength = 17;
constexpr UCHAR kUac1OutputTerminalLength = 9;
constexpr UCHAR kUac2OutputTerminalLength = 12;
constexpr UCHAR kUac1FeatureUnitMinLength = 7;
constexpr UCHAR kUac2FeatureUnitMinLength = 6;
constexpr UCHAR kUac2ClockSourceLength = 8;
constexpr UCHAR kUac2ClockSelectorFixedLength = 7;  // plus one byte per input
constexpr UCHAR kUac1AsGeneralLength = 7;
constexpr UCHAR kUac2AsGeneralLength = 16;
constexpr UCHAR kUac1FormatTypeIFixedLength = 8;  // plus 3 bytes per rate, 6 for a range
constexpr UCHAR kUac2FormatTypeILength = 6;
constexpr UCHAR kUacFormatTypeOtherMinLength = 4;  // up to bFormatType
constexpr UCHAR kUac1EpGeneralLength = 7;
constexpr UCHAR kUac2EpGeneralLength = 8;
constexpr UCHAR kUac1EndpointLength = 9;  // with bRefresh and bSynchAddress
constexpr UCHAR kUacFormatTypeI = 0x01;

// Little-endian fields of descriptors and answers (no alignment assumed).
inline USHORT ReadLe16(const UCHAR* p) { return static_cast<USHORT>(p[0] | (p[1] << 8)); }
inline ULONG ReadLe24(const UCHAR* p) { return static_cast<ULONG>(p[0] | (p[1] << 8) | (p[2] << 16)); }
inline ULONG ReadLe32(const UCHAR* p) {
  return static_cast<ULONG>(p[0]) | (static_cast<ULONG>(p[1]) << 8) | (static_cast<ULONG>(p[2]) << 16) |
         (static_cast<ULONG>(p[3]) << 24);
}
