// The sample format converters of the render mix and capture copy paths.
// Samples are little-endian signed integers of 2, 3 (packed) or 4 bytes;
// every conversion goes through the sample as a 32-bit left-justified value
// and narrows by keeping its most significant bytes (truncation). A mix
// adds the source into the destination, saturating at the 32-bit range.
// 1-byte samples are recognised but never converted.
#pragma once
#include "platform.h"
#include "engine/stream_endpoint.h"

// Format tags of the endpoints' formats.
constexpr USHORT kSampleFormatPcm = 1;
constexpr USHORT kSampleFormatFloat = 3;

// More channels than any stream has; keeps every stride and run length within a ULONG.
constexpr ULONG kConverterMaxChannels = 0xFFFF;

// Converts `Channels` consecutive samples of one frame.
typedef void (*ConvertFunction)(PUCHAR Destination, const UCHAR* Source, ULONG Channels);

// The conversion of one stream path; all zero is the cleared state, which converts nothing.
struct Converter {
  ConvertFunction Mix;
  ConvertFunction Copy;
  ULONG Channels;           // the smaller channel count of the two sides
  ULONG DestinationStride;  // bytes per destination frame
  ULONG SourceStride;       // bytes per source frame
};

// Destination := saturate(destination + source), named destination width From source width.
void Mix16From16(PUCHAR Destination, const UCHAR* Source, ULONG Channels);
void Mix24From16(PUCHAR Destination, const UCHAR* Source, ULONG Channels);
void Mix32From16(PUCHAR Destination, const UCHAR* Source, ULONG Channels);
void Mix16From24(PUCHAR Destination, const UCHAR* Source, ULONG Channels);
void Mix24From24(PUCHAR Destination, const UCHAR* Source, ULONG Channels);
void Mix32From24(PUCHAR Destination, const UCHAR* Source, ULONG Channels);
void Mix16From32(PUCHAR Destination, const UCHAR* Source, ULONG Channels);
void Mix24From32(PUCHAR Destination, const UCHAR* Source, ULONG Channels);
void Mix32From32(PUCHAR Destination, const UCHAR* Source, ULONG Channels);

// Destination := source narrowed or widened to the destination width.
void Copy16From16(PUCHAR Destination, const UCHAR* Source, ULONG Channels);
void Copy24From16(PUCHAR Destination, const UCHAR* Source, ULONG Channels);
void Copy32From16(PUCHAR Destination, const UCHAR* Source, ULONG Channels);
void Copy16From24(PUCHAR Destination, const UCHAR* Source, ULONG Channels);
void Copy24From24(PUCHAR Destination, const UCHAR* Source, ULONG Channels);
void Copy32From24(PUCHAR Destination, const UCHAR* Source, ULONG Channels);
void Copy16From32(PUCHAR Destination, const UCHAR* Source, ULONG Channels);
void Copy24From32(PUCHAR Destination, const UCHAR* Source, ULONG Channels);
void Copy32From32(PUCHAR Destination, const UCHAR* Source, ULONG Channels);

// Selects the converter from `Source`'s format to `Destination`'s. A null
// endpoint is STATUS_INVALID_PARAMETER, different DSD modes or formats with
// no converter STATUS_NOT_SUPPORTED; on failure the converter is cleared.
NTSTATUS ConverterBind(Converter* Conv, CStreamEndpoint* Source, CStreamEndpoint* Destination);

// Selects the converter for the formats: PCM to PCM of 8, 16, 24 or 32 bits
// where a converter exists, float to float and DSD (`Dsd` 1) of 32 bits,
// which are carried as they are and never summed. Anything else, and a
// channel count of 0 or above kConverterMaxChannels, is STATUS_NOT_SUPPORTED
// and leaves the converter cleared.
NTSTATUS ConverterSelect(Converter* Conv, USHORT SourceType, ULONG SourceBits, ULONG SourceChannels,
                         USHORT DestinationType, ULONG DestinationBits, ULONG DestinationChannels, ULONG Dsd);

// Copies or mixes `Frames` frames; destination channels beyond the source's
// keep their contents, source channels beyond the destination's are skipped.
// Returns the source after the last frame read; a cleared converter does
// nothing and returns `Source`.
const UCHAR* ConverterApplyCopy(const Converter* Conv, PUCHAR Destination, const UCHAR* Source, ULONG Frames);
const UCHAR* ConverterApplyMix(const Converter* Conv, PUCHAR Destination, const UCHAR* Source, ULONG Frames);

void ConverterClear(Converter* Conv);
