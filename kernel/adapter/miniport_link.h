// The WaveRT miniport's private interface to the device core's engine and
// rate changes: the device core reaches the miniport that registered itself
// through it. Slot order is fixed.
#pragma once
#include "platform.h"

// {58B65D85-5426-40F9-9ACA-796DD184726D}
DEFINE_GUID(IID_IMiniportEngineLink, 0x58B65D85, 0x5426, 0x40F9, 0x9A, 0xCA, 0x79, 0x6D, 0xD1, 0x84, 0x72, 0x6D);

#undef INTERFACE
#define INTERFACE IMiniportEngineLink
DECLARE_INTERFACE_(IMiniportEngineLink, IUnknown) {
  DEFINE_ABSTRACT_UNKNOWN()
  STDMETHOD_(void, FillSilence)(THIS_ UCHAR Direction, PVOID Address, ULONG Bytes) PURE;
  STDMETHOD_(void, AdvancePosition)(THIS_ UCHAR Direction, ULONG Bytes) PURE;
  STDMETHOD_(BOOLEAN, BeginStreamAccess)(THIS_ UCHAR Direction) PURE;
  STDMETHOD_(void, EndStreamAccess)(THIS_ UCHAR Direction) PURE;
  STDMETHOD_(void, DetachFromDevice)(THIS) PURE;
  STDMETHOD_(void, TransferData)(THIS_ UCHAR Direction, ULONG Bytes) PURE;
  STDMETHOD_(NTSTATUS, UnregisterFromPort)(THIS_ PDEVICE_OBJECT DeviceObject) PURE;
  STDMETHOD_(NTSTATUS, GetStreamPosition)(THIS_ UCHAR Direction, PULONGLONG Position) PURE;
};
#undef INTERFACE
