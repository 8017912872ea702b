// Units of the audio-control interface that the model interprets.
#pragma once
#include "audiofunction/audio_entity.h"

// FEATURE_UNIT: bSourceID byte 4, then the per-channel controls.
class CUSBAudioFeatureUnit : public CUSBAudioEntity {
 public:
  using CUSBAudioEntity::CUSBAudioEntity;

  NTSTATUS ResolveLinks() override;
  NTSTATUS GetName(PCHAR Buffer, SIZE_T Size) override { return FormatName(Buffer, Size, "Feature"); }
  ULONG GetSourceId(ULONG) override { return DescriptorByte(4); }

  CUSBAudioEntity* SourceEntity() const { return m_Source; }

 private:
  CUSBAudioEntity* m_Source = nullptr;
};

// PROCESSING_UNIT of a class 1.0 function: not supported as the last entity.
class CUSBAudioProcessingUnit : public CUSBAudioEntity {
 public:
  using CUSBAudioEntity::CUSBAudioEntity;

  NTSTATUS ResolveLinks() override;
  NTSTATUS GetName(PCHAR Buffer, SIZE_T Size) override { return FormatName(Buffer, Size, "Processing"); }
  ULONG GetSourceId(ULONG) override { return kNoEntity; }
};
