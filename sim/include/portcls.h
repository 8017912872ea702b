// Host-build stand-in for <portcls.h>: the port class library's adapter
// interface (adapter driver and device registration, IRP dispatch and the
// resource list object). Declarations as in the Windows Driver Kit.
#pragma once
#include <wdm.h>
#include <punknown.h>

#define PORTCLASSAPI

// Port class owns this many bytes at the start of the adapter device's
// extension; the adapter's own extension follows them.
#define PORT_CLASS_DEVICE_EXTENSION_SIZE (64 * sizeof(ULONG_PTR))

#ifndef CM_RESOURCE_TYPE_DEFINED
#define CM_RESOURCE_TYPE_DEFINED
typedef int CM_RESOURCE_TYPE;
#endif

// ---- IResourceList ----
DEFINE_GUID(IID_IResourceList, 0x22C6AC60L, 0x851B, 0x11D0, 0x9A, 0x7F, 0x00, 0xAA, 0x00, 0x38, 0xAC, 0xFE);

#undef INTERFACE
#define INTERFACE IResourceList
DECLARE_INTERFACE_(IResourceList, IUnknown) {
  DEFINE_ABSTRACT_UNKNOWN()
  STDMETHOD_(ULONG, NumberOfEntries)(THIS) PURE;
  STDMETHOD_(ULONG, NumberOfEntriesOfType)(THIS_ CM_RESOURCE_TYPE Type) PURE;
  STDMETHOD_(PCM_PARTIAL_RESOURCE_DESCRIPTOR, FindTranslatedEntry)(THIS_ CM_RESOURCE_TYPE Type, ULONG Index) PURE;
  STDMETHOD_(PCM_PARTIAL_RESOURCE_DESCRIPTOR, FindUntranslatedEntry)(THIS_ CM_RESOURCE_TYPE Type, ULONG Index) PURE;
  STDMETHOD_(NTSTATUS, AddEntry)
  (THIS_ PCM_PARTIAL_RESOURCE_DESCRIPTOR Translated, PCM_PARTIAL_RESOURCE_DESCRIPTOR Untranslated) PURE;
  STDMETHOD_(NTSTATUS, AddEntryFromParent)(THIS_ IResourceList * Parent, CM_RESOURCE_TYPE Type, ULONG Index) PURE;
  STDMETHOD_(PCM_RESOURCE_LIST, TranslatedList)(THIS) PURE;
  STDMETHOD_(PCM_RESOURCE_LIST, UntranslatedList)(THIS) PURE;
};
#undef INTERFACE
typedef IResourceList* PRESOURCELIST;

// ---- IAdapterPowerManagement ----
DEFINE_GUID(IID_IAdapterPowerManagement, 0x793417D0L, 0x35FE, 0x11D1, 0xAD, 0x08, 0x00, 0xA0, 0xC9, 0x0A, 0xB1, 0xB0);

#undef INTERFACE
#define INTERFACE IAdapterPowerManagement
DECLARE_INTERFACE_(IAdapterPowerManagement, IUnknown) {
  DEFINE_ABSTRACT_UNKNOWN()
  STDMETHOD_(void, PowerChangeState)(THIS_ POWER_STATE NewState) PURE;
  STDMETHOD_(NTSTATUS, QueryPowerChangeState)(THIS_ POWER_STATE NewStateQuery) PURE;
  STDMETHOD_(NTSTATUS, QueryDeviceCapabilities)(THIS_ PDEVICE_CAPABILITIES PowerDeviceCaps) PURE;
};
#undef INTERFACE
typedef IAdapterPowerManagement* PADAPTERPOWERMANAGEMENT;

// ---- adapter driver API ----
typedef NTSTATUS (*PCPFNSTARTDEVICE)(PDEVICE_OBJECT DeviceObject, PIRP Irp, PRESOURCELIST ResourceList);

#ifdef __cplusplus
extern "C" {
#endif

PORTCLASSAPI NTSTATUS PcInitializeAdapterDriver(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPathName,
                                                PDRIVER_ADD_DEVICE AddDevice);
PORTCLASSAPI NTSTATUS PcAddAdapterDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject,
                                         PCPFNSTARTDEVICE StartDevice, ULONG MaxObjects, ULONG DeviceExtensionSize);
PORTCLASSAPI NTSTATUS PcDispatchIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// Port class queries pUnknown for IAdapterPowerManagement and keeps that
// reference until the device is removed; pvContext1 is the adapter device.
PORTCLASSAPI NTSTATUS PcRegisterAdapterPowerManagement(PUNKNOWN pUnknown, PVOID pvContext1);

#ifdef __cplusplus
}
#endif
