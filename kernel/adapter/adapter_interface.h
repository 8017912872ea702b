// The device core's interfaces: IAdapterCommon, through which the WaveRT
// miniport and streams and the private interface reach the device, and
// IDsdModeControl. Slot orders are fixed: callers in other components are
// compiled against them.
#pragma once
#include "platform.h"
#include <drmk.h>

// {1FF13534-2E82-4CE1-958D-003D9A0B2361}
DEFINE_GUID(IID_IAdapterCommon, 0x1FF13534, 0x2E82, 0x4CE1, 0x95, 0x8D, 0x00, 0x3D, 0x9A, 0x0B, 0x23, 0x61);
// {19FD9C26-3536-40BA-AD7A-1E0A00DBE2FF}
DEFINE_GUID(IID_IDsdModeControl, 0x19FD9C26, 0x3536, 0x40BA, 0xAD, 0x7A, 0x1E, 0x0A, 0x00, 0xDB, 0xE2, 0xFF);

// A stream or device format of one direction.
struct StreamFormat {
  USHORT FormatType;  // 1 PCM, 3 IEEE float
  ULONG Channels;
  ULONG BitsPerSample;
  ULONG SampleRate;
  ULONG BytesPerFrame;
};

// The miniport as the device core sees it; the WaveRT miniport implements it.
struct IMiniportEngineLink;

#undef INTERFACE
#define INTERFACE IAdapterCommon
DECLARE_INTERFACE_(IAdapterCommon, IUnknown) {
  DEFINE_ABSTRACT_UNKNOWN()
  STDMETHOD_(NTSTATUS, Init)(THIS_ PDEVICE_OBJECT PhysicalDeviceObject, PDEVICE_OBJECT FunctionalDeviceObject) PURE;
  STDMETHOD_(NTSTATUS, ReserveDirection)(THIS_ BOOLEAN Capture, BOOLEAN Render, BOOLEAN Exclusive) PURE;
  STDMETHOD_(NTSTATUS, ReleaseDirection)(THIS_ BOOLEAN Capture, BOOLEAN Render) PURE;
  STDMETHOD_(NTSTATUS, RegisterMiniport)(THIS_ PVOID Miniport) PURE;
  STDMETHOD_(NTSTATUS, UnregisterMiniport)(THIS_ PVOID Miniport) PURE;
  STDMETHOD_(NTSTATUS, SetStreamFormat)
  (THIS_ UCHAR Direction, USHORT FormatType, ULONG Channels, ULONG Bits, ULONG Rate) PURE;
  STDMETHOD_(void, ResetDirection)(THIS_ UCHAR Direction) PURE;
  STDMETHOD_(void, QueueRenderBuffer)(THIS_ PVOID Address, ULONG Bytes) PURE;
  STDMETHOD_(void, QueueCaptureBuffer)(THIS_ PVOID Address, ULONG Bytes) PURE;
  STDMETHOD_(void, FlushRenderBuffers)(THIS) PURE;
  STDMETHOD_(void, FlushCaptureBuffers)(THIS) PURE;
  STDMETHOD_(void, OnDeviceRemoval)(THIS) PURE;
  STDMETHOD_(NTSTATUS, NodeProperty)(THIS_ PVOID PropertyRequest) PURE;
  STDMETHOD_(NTSTATUS, JackProperty)(THIS_ PVOID PropertyRequest) PURE;
  STDMETHOD_(NTSTATUS, GetSignalProcessingModes)(THIS_ ULONG Pin, GUID * Modes, PULONG Count) PURE;
  STDMETHOD_(ULONG, GetDeviceSampleRate)(THIS) PURE;
  STDMETHOD_(NTSTATUS, SetSampleRate)(THIS_ ULONG Rate) PURE;
  STDMETHOD_(NTSTATUS, GetDeviceRateRange)(THIS_ PULONG Lowest, PULONG Highest) PURE;
  STDMETHOD_(NTSTATUS, GetSampleRateRange)(THIS_ UCHAR Direction, PULONG Low, PULONG High) PURE;
  STDMETHOD_(NTSTATUS, BuildFilterDescriptor)(THIS_ PVOID Descriptor) PURE;
  STDMETHOD_(void, FreeFilterDescriptor)(THIS_ PVOID Descriptor) PURE;
  STDMETHOD_(NTSTATUS, StartDirection)(THIS_ UCHAR Direction, ULONG WaveBufferBytes) PURE;
  STDMETHOD_(NTSTATUS, StopDirection)(THIS_ UCHAR Direction) PURE;
  STDMETHOD_(DRMFORWARD, GetDrmForward)(THIS_ UCHAR Direction) PURE;
};
#undef INTERFACE
typedef IAdapterCommon* PADAPTERCOMMON;

#define INTERFACE IDsdModeControl
DECLARE_INTERFACE_(IDsdModeControl, IUnknown) {
  DEFINE_ABSTRACT_UNKNOWN()
  STDMETHOD_(NTSTATUS, SetDsdMode)(THIS_ ULONG Mode) PURE;
  STDMETHOD_(BOOLEAN, IsDsdNativeSupported)(THIS) PURE;
};
#undef INTERFACE
