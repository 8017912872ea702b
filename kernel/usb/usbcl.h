// The driver's USB request layer: descriptors, configuration and alternate
// settings, synchronous requests and asynchronous transfers, all sent as IRPs
// to the next-lower device object. CUSBAudioCL derives from it.
#pragma once
#include "platform.h"
#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>
#include <usbbusif.h>
#include <usbuser.h>
#include "base/pool.h"
#include "usb/usb_layout.h"

class CUSBCL;

// Completion of an asynchronous transfer: final status, bytes transferred,
// start frame, the caller's context and the bus frames (milliseconds) the
// transfer covered. Runs at up to DISPATCH_LEVEL.
typedef VOID (*PUSB_TRANSFER_CALLBACK)(NTSTATUS Status, ULONG Bytes, ULONG StartFrame, PVOID Context, ULONG Frames);

// One transfer in flight; records come from the owner's lookaside list.
struct TransferContext {
  PURB Urb;
  PUSBD_PIPE_INFORMATION Pipe;  // inside the owner's interface array
  PUSB_TRANSFER_CALLBACK Callback;
  PVOID CallbackContext;
  CUSBCL* Owner;
  PVOID ExtraBuffer;  // owned, freed at completion with ExtraBufferTag; may be null
  ULONG ExtraBufferLength;
  ULONG ExtraBufferTag;  // pool tag of ExtraBuffer (0: the driver's tag)
  // Bytes of the buffer the transfer was submitted with. The bus driver replaces the URB's
  // TransferBufferLength with the bytes it moved, so completion needs the original bound.
  ULONG BufferLength;
};

// A string descriptor as read from the device: the whole descriptor
// (bLength, type, UTF-16 characters) in an owned buffer.
class UsbString {
 public:
  UsbString() = default;
  ~UsbString() { Reset(); }
  UsbString(const UsbString&) = delete;
  UsbString& operator=(const UsbString&) = delete;

  // The characters (not terminated); null when empty.
  const WCHAR* Characters() const {
    return (m_Buffer != nullptr && m_Length >= 2) ? reinterpret_cast<const WCHAR*>(m_Buffer + 2) : nullptr;
  }
  ULONG CharacterBytes() const { return m_Length < 2 ? 0 : m_Length - 2; }
  ULONG CharacterCount() const { return CharacterBytes() / 2; }
  // The whole descriptor.
  ULONG Length() const { return m_Length; }
  const UCHAR* Descriptor() const { return m_Buffer; }

  // Frees the buffer; the string is empty afterwards.
  void Reset();

 private:
  friend class CUSBCL;
  ULONG m_Length = 0;
  PUCHAR m_Buffer = nullptr;
};

class CUSBCL : public CPoolObject {
 public:
  // Isochronous URBs come from a list of fixed-size entries.
  static constexpr ULONG kMaxIsoPackets = 64;
  static constexpr ULONG kIsoUrbSize = 152 + 12 * kMaxIsoPackets;  // 920
  static constexpr ULONG kDefaultIrpPoolSize = 10;

  CUSBCL();
  virtual ~CUSBCL();
  CUSBCL(const CUSBCL&) = delete;
  CUSBCL& operator=(const CUSBCL&) = delete;

  // Status to report for a completed transfer (runs in completion context).
  virtual NTSTATUS CheckCompletedTransfer(NTSTATUS Status, PURB Urb, TransferContext* Context) = 0;

  // Reads the descriptors and the bus interface; PASSIVE_LEVEL.
  NTSTATUS Attach(PDEVICE_OBJECT LowerDevice, ULONG IrpPoolSize);
  NTSTATUS GetBusInterface();
  NTSTATUS QueryHighSpeed();

  // Interfaces with alternate setting 0, ended by an empty entry; free with
  // FreeInterfaceList. Null when the configuration is missing or malformed.
  PUSBD_INTERFACE_LIST_ENTRY CreateInterfaceList(PLONG EntryCount);
  static void FreeInterfaceList(PUSBD_INTERFACE_LIST_ENTRY List);
  // Selects the configuration with the first EntryCount entries of the list
  // (entry EntryCount must be the empty one). Afterwards each entry's
  // Interface points at the layer's own copy (valid until that interface's
  // alternate setting changes), or is null after a failure.
  NTSTATUS ConfigurationRequest(PUSBD_INTERFACE_LIST_ENTRY InterfaceList, LONG EntryCount);
  NTSTATUS SelectAlternate(UCHAR InterfaceNumber, UCHAR AlternateSetting);
  PUSBD_PIPE_INFORMATION FindPipe(UCHAR EndpointAddress);

  // Synchronous requests; PASSIVE_LEVEL.
  NTSTATUS SubmitUrb(PURB Urb);
  NTSTATUS ClassRequest(UCHAR RequestType, UCHAR Request, USHORT Value, USHORT Index, USHORT Length, PVOID Buffer);
  NTSTATUS GetStringDescriptor(UCHAR Index, UsbString* String, USHORT LanguageId);
  NTSTATUS GetSerialNumber(UsbString* String, USHORT LanguageId);
  NTSTATUS AbortPipe(PUSBD_PIPE_INFORMATION Pipe);
  NTSTATUS ResetPipe(PUSBD_PIPE_INFORMATION Pipe);

  // Asynchronous transfers; up to DISPATCH_LEVEL. The result is that of the
  // submission; the outcome arrives through the callback.
  NTSTATUS SubmitTransfer(PUSBD_PIPE_INFORMATION Pipe, PVOID Buffer, ULONG Length, UCHAR TransferFlags,
                          PUSB_TRANSFER_CALLBACK Callback, PVOID CallbackContext, ULONG StartFrame);
  NTSTATUS ReadTransfer(PUSBD_PIPE_INFORMATION Pipe, PVOID Buffer, ULONG Length, PUSB_TRANSFER_CALLBACK Callback,
                        PVOID CallbackContext);

  // Bus frames (milliseconds) that `Packets` packets of the pipe cover.
  ULONG PacketsToFrames(ULONG Packets, PUSBD_PIPE_INFORMATION Pipe);

  // The host controller's PCI identity and flavor; PASSIVE_LEVEL.
  NTSTATUS QueryControllerInfo(PUSB_CONTROLLER_INFO_0 Info);

  // Waits until every transfer sent through the pool has completed; PASSIVE_LEVEL.
  // A derived class whose CheckCompletedTransfer or completion routines touch
  // its own members calls this in its destructor, after stopping its streams.
  void WaitForTransfers();

  // What Attach read.
  BOOLEAN IsHighSpeed() const { return m_HighSpeed != 0; }
  const USB_DEVICE_DESCRIPTOR& DeviceDescriptor() const { return m_DeviceDescriptor; }
  // The whole configuration descriptor (wTotalLength bytes, checked), or null.
  PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor() const { return m_ConfigurationDescriptor; }
  PDEVICE_OBJECT LowerDevice() const { return m_LowerDevice; }
  const USB_BUS_INTERFACE_USBDI_V1& BusInterface() const { return m_BusInterface; }

 protected:
  // Building blocks of the transfer path for derived transfer builders.
  // A context with every field but the owner cleared; null when exhausted.
  TransferContext* AllocateTransferContext();
  // A zeroed kIsoUrbSize-byte isochronous URB; null when exhausted.
  PURB AllocateIsoUrb();
  void FreeIsoUrb(PURB Urb);
  // Returns the context's URB (an isochronous one to the URB list, so it must
  // come from AllocateIsoUrb; any other to pool, so it must come from
  // AllocateDriverPool with kPoolTagDriver), frees its extra buffer and
  // returns the context to its list.
  void ReleaseTransfer(TransferContext* Context);
  // Sends Context->Urb with a pool IRP. Completion goes to `Completion`
  // (the generic completion when null) with the context. When no IRP can be
  // had, the transfer is released and STATUS_INSUFFICIENT_RESOURCES returned.
  NTSTATUS SendTransfer(TransferContext* Context, PIO_COMPLETION_ROUTINE Completion);
  // The IRP pool, for completion routines of derived classes: an IRP that
  // has completed goes back with ReturnIrp.
  PIRP TakeIrp();
  void ReturnIrp(PIRP Irp);
  // Ends a transfer sent with SendTransfer with its own completion routine:
  // releases it and returns its IRP. Must be the last use of the context.
  void FinishTransfer(PIRP Irp, TransferContext* Context);

  // Traces an isochronous URB's fields and packets (failed transfers).
  void TraceIsoUrb(PURB Urb);

  // Members, in order.
  UCHAR m_HighSpeed;
  USB_DEVICE_DESCRIPTOR m_DeviceDescriptor;
  PUSB_CONFIGURATION_DESCRIPTOR m_ConfigurationDescriptor;
  PDEVICE_OBJECT m_LowerDevice;
  USBD_CONFIGURATION_HANDLE m_ConfigurationHandle;
  LONG m_InterfaceCount;
  PUSBD_INTERFACE_INFORMATION* m_Interfaces;
  KMUTEX m_InterfaceMutex;
  PUCHAR m_LanguageList;  // string descriptor 0; its bLength is checked against what was read
  USB_BUS_INTERFACE_USBDI_V1 m_BusInterface;
  // The lookaside list type is cache-line aligned, more than pool memory is,
  // so both lists live in a block of their own (null when it could not be had).
  PNPAGED_LOOKASIDE_LIST m_ContextList;
  PNPAGED_LOOKASIDE_LIST m_UrbList;
  KSPIN_LOCK m_IrpPoolLock;
  LIST_ENTRY m_FreeIrps;

 private:
  static NTSTATUS TransferCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
  NTSTATUS ReadDescriptor(UCHAR Type, UCHAR Index, USHORT LanguageId, PVOID Buffer, ULONG Length, PULONG Returned);
  // A read that must return exactly Length bytes (else STATUS_NOT_SUPPORTED).
  NTSTATUS ReadExactDescriptor(UCHAR Type, UCHAR Index, USHORT LanguageId, PVOID Buffer, ULONG Length);
  NTSTATUS ReadDeviceDescriptor();
  NTSTATUS ReadConfigurationDescriptor();
  NTSTATUS ReadLanguageList();
  // An internal device-control request with the two arguments, waited for.
  NTSTATUS SendInternalRequest(ULONG ControlCode, PVOID Argument1, PVOID Argument2);
  NTSTATUS QueryBusInterface(PUSB_BUS_INTERFACE_USBDI_V1 Interface);
  NTSTATUS SendPipeRequest(PUSBD_PIPE_INFORMATION Pipe, USHORT Function);
  void FreeInterfaces();
  PIRP AllocatePoolIrp();
  void AddIrpToPool(PIRP Irp);
  void FreeIrpPool();

  // Pool IRPs handed out and not yet returned (under the pool lock), and an
  // event that is signalled exactly while that count is 0.
  ULONG m_IrpsInUse;
  KEVENT m_IrpsIdle;
  PVOID m_LookasideBlock;
};
