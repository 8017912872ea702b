#include "engine/converters.h"

namespace {

constexpr LONGLONG kSampleMax = 0x7FFFFFFF;
constexpr LONGLONG kSampleMin = -kSampleMax - 1;

// The sample at `Sample` as a 32-bit left-justified value. Assembled byte by
// byte, as the buffers give no alignment, and in little-endian order, which
// the compiler turns into plain loads; the shifts stay unsigned.
template <ULONG Bytes>
inline ULONG LoadSample(const UCHAR* Sample) {
  static_assert(Bytes >= 2 && Bytes <= 4);
  ULONG value = static_cast<ULONG>(Sample[0]) | static_cast<ULONG>(Sample[1]) << 8;
  if constexpr (Bytes >= 3) {
    value |= static_cast<ULONG>(Sample[2]) << 16;
  }
  if constexpr (Bytes == 4) {
    value |= static_cast<ULONG>(Sample[3]) << 24;
  }
  return value << (8 * (4 - Bytes));
}

// Stores the `Bytes` most significant bytes of the left-justified `Value`.
template <ULONG Bytes>
inline void StoreSample(PUCHAR Sample, ULONG Value) {
  static_assert(Bytes >= 2 && Bytes <= 4);
  const ULONG value = Value >> (8 * (4 - Bytes));
  Sample[0] = static_cast<UCHAR>(value);
  Sample[1] = static_cast<UCHAR>(value >> 8);
  if constexpr (Bytes >= 3) {
    Sample[2] = static_cast<UCHAR>(value >> 16);
  }
  if constexpr (Bytes == 4) {
    Sample[3] = static_cast<UCHAR>(value >> 24);
  }
}

template <ULONG DestinationBytes, ULONG SourceBytes>
inline void MixSamples(PUCHAR Destination, const UCHAR* Source, ULONG Channels) {
  for (ULONG i = 0; i < Channels; ++i) {
    LONGLONG sum = static_cast<LONGLONG>(static_cast<LONG>(LoadSample<DestinationBytes>(Destination))) +
                   static_cast<LONG>(LoadSample<SourceBytes>(Source));
    if (sum > kSampleMax) {
      sum = kSampleMax;
    } else if (sum < kSampleMin) {
      sum = kSampleMin;
    }
    StoreSample<DestinationBytes>(Destination, static_cast<ULONG>(sum));
    Destination += DestinationBytes;
    Source += SourceBytes;
  }
}

template <ULONG DestinationBytes, ULONG SourceBytes>
inline void CopySamples(PUCHAR Destination, const UCHAR* Source, ULONG Channels) {
  if constexpr (DestinationBytes == SourceBytes) {
    RtlCopyMemory(Destination, Source, static_cast<SIZE_T>(Channels) * SourceBytes);
  } else {
    for (ULONG i = 0; i < Channels; ++i) {
      StoreSample<DestinationBytes>(Destination, LoadSample<SourceBytes>(Source));
      Destination += DestinationBytes;
      Source += SourceBytes;
    }
  }
}

}  // namespace

void Mix16From16(PUCHAR Destination, const UCHAR* Source, ULONG Channels) {
  MixSamples<2, 2>(Destination, Source, Channels);
}
void Mix24From16(PUCHAR Destination, const UCHAR* Source, ULONG Channels) {
  MixSamples<3, 2>(Destination, Source, Channels);
}
void Mix32From16(PUCHAR Destination, const UCHAR* Source, ULONG Channels) {
  MixSamples<4, 2>(Destination, Source, Channels);
}
void Mix16From24(PUCHAR Destination, const UCHAR* Source, ULONG Channels) {
  MixSamples<2, 3>(Destination, Source, Channels);
}
void Mix24From24(PUCHAR Destination, const UCHAR* Source, ULONG Channels) {
  MixSamples<3, 3>(Destination, Source, Channels);
}
void Mix32From24(PUCHAR Destination, const UCHAR* Source, ULONG Channels) {
  MixSamples<4, 3>(Destination, Source, Channels);
}
void Mix16From32(PUCHAR Destination, const UCHAR* Source, ULONG Channels) {
  MixSamples<2, 4>(Destination, Source, Channels);
}
void Mix24From32(PUCHAR Destination, const UCHAR* Source, ULONG Channels) {
  MixSamples<3, 4>(Destination, Source, Channels);
}
void Mix32From32(PUCHAR Destination, const UCHAR* Source, ULONG Channels) {
  MixSamples<4, 4>(Destination, Source, Channels);
}

void Copy16From16(PUCHAR Destination, const UCHAR* Source, ULONG Channels) {
  CopySamples<2, 2>(Destination, Source, Channels);
}
void Copy24From16(PUCHAR Destination, const UCHAR* Source, ULONG Channels) {
  CopySamples<3, 2>(Destination, Source, Channels);
}
void Copy32From16(PUCHAR Destination, const UCHAR* Source, ULONG Channels) {
  CopySamples<4, 2>(Destination, Source, Channels);
}
void Copy16From24(PUCHAR Destination, const UCHAR* Source, ULONG Channels) {
  CopySamples<2, 3>(Destination, Source, Channels);
}
void Copy24From24(PUCHAR Destination, const UCHAR* Source, ULONG Channels) {
  CopySamples<3, 3>(Destination, Source, Channels);
}
void Copy32From24(PUCHAR Destination, const UCHAR* Source, ULONG Channels) {
  CopySamples<4, 3>(Destination, Source, Channels);
}
void Copy16From32(PUCHAR Destination, const UCHAR* Source, ULONG Channels) {
  CopySamples<2, 4>(Destination, Source, Channels);
}
void Copy24From32(PUCHAR Destination, const UCHAR* Source, ULONG Channels) {
  CopySamples<3, 4>(Destination, Source, Channels);
}
void Copy32From32(PUCHAR Destination, const UCHAR* Source, ULONG Channels) {
  CopySamples<4, 4>(Destination, Source, Channels);
}

namespace {

// Indexed [source bytes - 1][destination bytes - 1]; 1-byte samples have no converters.
constexpr ConvertFunction kMixTable[4][4] = {
    {nullptr, nullptr, nullptr, nullptr},
    {nullptr, Mix16From16, Mix24From16, Mix32From16},
    {nullptr, Mix16From24, Mix24From24, Mix32From24},
    {nullptr, Mix16From32, Mix24From32, Mix32From32},
};
constexpr ConvertFunction kCopyTable[4][4] = {
    {nullptr, nullptr, nullptr, nullptr},
    {nullptr, Copy16From16, Copy24From16, Copy32From16},
    {nullptr, Copy16From24, Copy24From24, Copy32From24},
    {nullptr, Copy16From32, Copy24From32, Copy32From32},
};

// Bytes per sample of a whole-byte width the tables cover; 0 for any other.
ULONG SampleBytes(ULONG Bits) {
  if (Bits != 8 && Bits != 16 && Bits != 24 && Bits != 32) {
    return 0;
  }
  return Bits / 8;
}

// Frames of exactly `Channels` samples on both sides follow each other with
// no gap, so the whole run converts in one call; the widths are those of the
// table entry the function sits in.
BOOLEAN IsContiguous(const Converter* Conv, ConvertFunction Function) {
  for (ULONG source = 0; source < 4; ++source) {
    for (ULONG destination = 0; destination < 4; ++destination) {
      if (kCopyTable[source][destination] == Function || kMixTable[source][destination] == Function) {
        return Conv->SourceStride == Conv->Channels * (source + 1) &&
               Conv->DestinationStride == Conv->Channels * (destination + 1);
      }
    }
  }
  return FALSE;
}

const UCHAR* Apply(const Converter* Conv, ConvertFunction Function, PUCHAR Destination, const UCHAR* Source,
                   ULONG Frames) {
  if (Function == nullptr || Frames == 0) {
    return Source;
  }
  // Per-frame calls would cost more than the samples of a narrow frame.
  if (Frames <= MAXULONG / Conv->Channels && IsContiguous(Conv, Function)) {
    Function(Destination, Source, Conv->Channels * Frames);
    return Source + static_cast<SIZE_T>(Frames) * Conv->SourceStride;
  }
  for (ULONG frame = 0; frame < Frames; ++frame) {
    Function(Destination, Source, Conv->Channels);
    Destination += Conv->DestinationStride;
    Source += Conv->SourceStride;
  }
  return Source;
}

}  // namespace

NTSTATUS ConverterBind(Converter* Conv, CStreamEndpoint* Source, CStreamEndpoint* Destination) {
  ConverterClear(Conv);
  if (Source == nullptr || Destination == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  const ULONG dsd = Source->GetDsdMode();
  if (Destination->GetDsdMode() != dsd) {
    return STATUS_NOT_SUPPORTED;
  }
  return ConverterSelect(Conv, Source->GetFormatType(), Source->GetBitsPerSample(), Source->GetChannels(),
                         Destination->GetFormatType(), Destination->GetBitsPerSample(), Destination->GetChannels(),
                         dsd);
}

NTSTATUS ConverterSelect(Converter* Conv, USHORT SourceType, ULONG SourceBits, ULONG SourceChannels,
                         USHORT DestinationType, ULONG DestinationBits, ULONG DestinationChannels, ULONG Dsd) {
  ConverterClear(Conv);
  // A converter of no channels would take frames and convert nothing, forever.
  if (SourceChannels == 0 || DestinationChannels == 0 || SourceChannels > kConverterMaxChannels ||
      DestinationChannels > kConverterMaxChannels) {
    return STATUS_NOT_SUPPORTED;
  }
  const ULONG sourceBytes = SampleBytes(SourceBits);
  const ULONG destinationBytes = SampleBytes(DestinationBits);
  const BOOLEAN both32 = SourceBits == 32 && DestinationBits == 32;
  ConvertFunction mix = nullptr;
  ConvertFunction copy = nullptr;
  if (Dsd == 1) {
    // A DSD bit stream has no sample values to sum: the later stream wins.
    if (both32) {
      mix = Copy32From32;
      copy = Copy32From32;
    }
  } else if (SourceType == kSampleFormatPcm) {
    if (DestinationType == kSampleFormatPcm && sourceBytes != 0 && destinationBytes != 0) {
      mix = kMixTable[sourceBytes - 1][destinationBytes - 1];
      copy = kCopyTable[sourceBytes - 1][destinationBytes - 1];
    }
  } else if (SourceType == kSampleFormatFloat && DestinationType == kSampleFormatFloat) {
    // Float is carried as it is; summing it would take floating point in the DPC.
    if (both32) {
      mix = Copy32From32;
      copy = Copy32From32;
    }
  }
  if (mix == nullptr || copy == nullptr) {
    return STATUS_NOT_SUPPORTED;
  }
  Conv->Mix = mix;
  Conv->Copy = copy;
  Conv->Channels = SourceChannels < DestinationChannels ? SourceChannels : DestinationChannels;
  Conv->DestinationStride = DestinationChannels * destinationBytes;
  Conv->SourceStride = SourceChannels * sourceBytes;
  return STATUS_SUCCESS;
}

const UCHAR* ConverterApplyCopy(const Converter* Conv, PUCHAR Destination, const UCHAR* Source, ULONG Frames) {
  return Apply(Conv, Conv->Copy, Destination, Source, Frames);
}

const UCHAR* ConverterApplyMix(const Converter* Conv, PUCHAR Destination, const UCHAR* Source, ULONG Frames) {
  return Apply(Conv, Conv->Mix, Destination, Source, Frames);
}

void ConverterClear(Converter* Conv) {
  Conv->Mix = nullptr;
  Conv->Copy = nullptr;
  Conv->Channels = 0;
  Conv->DestinationStride = 0;
  Conv->SourceStride = 0;
}
