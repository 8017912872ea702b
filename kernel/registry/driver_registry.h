// The driver's registry parameters: per-device values in the device's
// hardware key, and the machine-wide transfer tuning. PASSIVE_LEVEL only.
#pragma once
#include "platform.h"

// Per-device value names.
extern const WCHAR kSampleRateValue[];
extern const WCHAR kForceAmdChipsetValue[];
extern const WCHAR kDsdNativeModeValue[];
extern const WCHAR kDumpCaptureValue[];

// Opens the PnP device key of the physical device object (KEY_ALL_ACCESS).
NTSTATUS OpenDeviceKey(PDEVICE_OBJECT PhysicalDeviceObject, PHANDLE Key);
// Reads a value that must have exactly the expected type and size:
// STATUS_NO_MATCH otherwise, STATUS_OBJECT_NAME_NOT_FOUND when absent.
NTSTATUS QueryDeviceValue(HANDLE Key, PCWSTR Name, ULONG ExpectedType, PVOID Buffer, ULONG ExpectedSize);
NTSTATUS SetDeviceValue(HANDLE Key, PCWSTR Name, ULONG Type, PVOID Data, ULONG Size);
// Closes a non-null key and clears the handle.
void CloseDeviceKey(PHANDLE Key);

// Flags of ReadTransferTuning's result.
constexpr ULONG kTuningKeyUnreadable = 0x1;
constexpr ULONG kTuningFirstDefaulted = 0x2;
constexpr ULONG kTuningFirstLimited = 0x4;
constexpr ULONG kTuningSecondDefaulted = 0x8;
constexpr ULONG kTuningSecondLimited = 0x10;
constexpr ULONG kTuningNullOutput = 0xFFFFFFFF;
constexpr ULONG kTuningBadDefault = 0xFFFFFFFE;

// The two tuning values of a direction (milliseconds per transfer and
// transfers in flight), defaulted and bounded; the result is a set of the
// flags above, 0 when both values were taken as stored.
ULONG ReadTransferTuning(UCHAR Direction, PULONG First, PULONG Second, ULONG FirstDefault, ULONG SecondDefault);
