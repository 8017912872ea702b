// The device core's life: construction, Init, reference counting and
// interfaces, power management, DSD mode, and destruction.
#include "adapter/adapter_common.h"

#include "adapter/miniport_link.h"

#include "adapter/adapter_extension.h"
#include "adapter/asio_file_context.h"
#include "adapter/adapter_trace_events.h"
#include "base/trace.h"
#include "registry/driver_registry.h"

namespace {

// Transfers in flight at most (capture, render, feedback) plus control requests.
constexpr ULONG kFunctionIrpPool =
    kMaxCaptureTransfersInFlight + 2 * kMaxRenderTransfersInFlight + 1 + kFeedbackReadsInFlight + 4;

PVOID AllocateChunkEntry(POOL_TYPE PoolType, SIZE_T Size, ULONG Tag) {
  UNREFERENCED_PARAMETER(PoolType);
  return AllocateDriverPool(Size, Tag);
}

VOID FreeChunkEntry(PVOID Entry) { FreeDriverPool(Entry, kPoolTagDriver); }

}  // namespace

CAdapterCommon::CAdapterCommon() : m_References(1) {
  // Pool memory is zeroed before construction; only what is not 0 is set.
  m_PowerState = PowerDeviceD0;
  m_RequestGate.Initialize();
  KeInitializeSpinLock(&m_MiniportLock);
  KeInitializeMutex(&m_StreamMutex, 0);
  KeInitializeMutex(&m_RequestMutex, 0);
  KeInitializeMutex(&m_OwnershipMutex, 0);
  m_RenderChunks.Initialize();
  m_CaptureChunks.Initialize();
  KeInitializeEvent(&m_RemovalEvent, NotificationEvent, FALSE);
  m_AsioCapturePath.Initialize(this);
  m_WaveCapturePath.Initialize(this);
  m_AsioRenderSource.Initialize();
  m_AsioCaptureSink.Initialize();
  m_WaveRenderSource.Initialize(this, &m_RenderChunks);
  m_WaveCaptureSink.Initialize(this, &m_CaptureChunks, &m_WaveCapturePath);
  m_AsioRenderPath.Initialize(this, &m_AsioRenderSource, kAsioClient);
  m_WaveRenderPath.Initialize(this, &m_WaveRenderSource, kWaveClient);
  m_WaveCapturePath.SetSink(&m_WaveCaptureSink);
  m_AsioCapturePath.SetSink(&m_AsioCaptureSink);
  m_AsioStream.Initialize(this);
}

CAdapterCommon::~CAdapterCommon() {
  // Streaming has ended by now (removal stops it); the engine makes sure no
  // thread or DPC is left before anything it uses goes.
  m_Engine.Shutdown();
  m_AsioStream.Shutdown();
  FlushRenderBuffers();
  FlushCaptureBuffers();
  if (m_ChunkBlock != nullptr) {
    ExDeleteNPagedLookasideList(m_Chunks);
    FreeDriverPool(m_ChunkBlock, kPoolTagDriver);
    m_ChunkBlock = nullptr;
  }
  if (m_FunctionalDeviceObject != nullptr) {
    AdapterExtension* extension = GetAdapterExtension(m_FunctionalDeviceObject);
    if (extension->Adapter == static_cast<IAdapterCommon*>(this)) {
      extension->Adapter = nullptr;
    }
  }
  m_AsioCapturePath.ClearSink();
  m_WaveCapturePath.ClearSink();
  m_AsioRenderPath.Reset();
  m_WaveRenderPath.Reset();
  m_SerialNumber.Reset();
  // The function object's own destructor waits for its transfers.
  CloseDeviceKey(&m_DeviceKey);
}

STDMETHODIMP_(NTSTATUS) CAdapterCommon::QueryInterface(REFIID InterfaceId, PVOID* Interface) {
  if (Interface == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  *Interface = nullptr;
  if (IsEqualGUIDAligned(InterfaceId, IID_IUnknown) || IsEqualGUIDAligned(InterfaceId, IID_IAdapterCommon)) {
    *Interface = static_cast<IAdapterCommon*>(this);
  } else if (IsEqualGUIDAligned(InterfaceId, IID_IAdapterPowerManagement)) {
    *Interface = static_cast<IAdapterPowerManagement*>(this);
  } else if (IsEqualGUIDAligned(InterfaceId, IID_IDsdModeControl) && m_DsdNativeSupported) {
    *Interface = static_cast<IDsdModeControl*>(this);
  } else {
    return STATUS_INVALID_PARAMETER;
  }
  AddRef();
  return STATUS_SUCCESS;
}

STDMETHODIMP_(ULONG) CAdapterCommon::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&m_References)); }

STDMETHODIMP_(ULONG) CAdapterCommon::Release() {
  const LONG references = InterlockedDecrement(&m_References);
  if (references == 0) {
    delete this;
  }
  return static_cast<ULONG>(references);
}

STDMETHODIMP_(NTSTATUS)
CAdapterCommon::Init(PDEVICE_OBJECT PhysicalDeviceObject, PDEVICE_OBJECT FunctionalDeviceObject) {
  if (m_Initialized || PhysicalDeviceObject == nullptr || FunctionalDeviceObject == nullptr) {
    return STATUS_INVALID_DEVICE_STATE;
  }
  m_Initialized = TRUE;
  m_PhysicalDeviceObject = PhysicalDeviceObject;
  m_FunctionalDeviceObject = FunctionalDeviceObject;
  m_AsioStream.SetDevice(FunctionalDeviceObject);
  m_PowerState = PowerDeviceD0;
  NTSTATUS status = m_Engine.Initialize(this, &m_Function, FunctionalDeviceObject);
  if (NT_SUCCESS(status)) {
    constexpr SIZE_T kAlignment = alignof(NPAGED_LOOKASIDE_LIST);
    m_ChunkBlock = AllocateDriverPool(sizeof(NPAGED_LOOKASIDE_LIST) + kAlignment - 1, kPoolTagDriver);
    if (m_ChunkBlock == nullptr) {
      status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
      const ULONG_PTR aligned = (reinterpret_cast<ULONG_PTR>(m_ChunkBlock) + kAlignment - 1) & ~(kAlignment - 1);
      m_Chunks = reinterpret_cast<PNPAGED_LOOKASIDE_LIST>(aligned);
      ExInitializeNPagedLookasideList(m_Chunks, AllocateChunkEntry, FreeChunkEntry, 0, sizeof(ChunkDescriptor),
                                      kPoolTagDriver, 0);
      m_RenderChunks.SetLookaside(m_Chunks);
      m_CaptureChunks.SetLookaside(m_Chunks);
    }
  }
  m_Engine.SetCapturePath(kAsioClient, &m_AsioCapturePath);
  m_Engine.SetCapturePath(kWaveClient, &m_WaveCapturePath);
  m_Engine.SetRenderPath(kAsioClient, &m_AsioRenderPath);
  m_Engine.SetRenderPath(kWaveClient, &m_WaveRenderPath);
  m_RequestGate.Open();
  if (!NT_SUCCESS(status)) {
    Trace(TRACE_LEVEL_ERROR, TraceAdapterInitFailed, 1, status);
    return status;
  }

  status = OpenDeviceKey(PhysicalDeviceObject, &m_DeviceKey);
  if (!NT_SUCCESS(status)) {
    Trace(TRACE_LEVEL_ERROR, TraceAdapterInitFailed, 2, status);
    return status;
  }
  status = m_Function.Attach(PhysicalDeviceObject, kFunctionIrpPool);
  if (!NT_SUCCESS(status)) {
    Trace(TRACE_LEVEL_ERROR, TraceAdapterInitFailed, 3, status);
    return status;
  }
  status = m_Function.QueryControllerInfo(&m_Decisions.Controller);
  m_Decisions.ControllerQueried = NT_SUCCESS(status);
  if (m_Decisions.ControllerQueried) {
    DecideAmdWorkaround();
  }
  status = m_Function.Configure();
  if (!NT_SUCCESS(status)) {
    Trace(TRACE_LEVEL_ERROR, TraceAdapterInitFailed, 5, status);
    return status;
  }
  status = m_Function.GetSerialNumber(&m_SerialNumber, 0);
  if (status == STATUS_INVALID_DEVICE_REQUEST) {
    status = STATUS_SUCCESS;
  }
  if (!NT_SUCCESS(status)) {
    Trace(TRACE_LEVEL_ERROR, TraceAdapterInitFailed, 6, status);
    return status;
  }
  DecideDsdSupport();
  LONG dump = 0;
  if (NT_SUCCESS(QueryDeviceValue(m_DeviceKey, kDumpCaptureValue, REG_DWORD, &dump, sizeof(dump)))) {
    m_Decisions.DumpCapture = dump;
  }
  DecideModeAndTunables();
  status = DecideDeviceSampleRate();
  if (!NT_SUCCESS(status)) {
    Trace(TRACE_LEVEL_ERROR, TraceAdapterInitFailed, 9, status);
    return status;
  }
  Trace(TRACE_LEVEL_INFORMATION, TraceAdapterInit, m_DeviceSampleRate, m_PerStreamFormatMode, m_AmdWorkaround,
        m_DsdNativeSupported);
  return STATUS_SUCCESS;
}

void CAdapterCommon::DecideDsdSupport() {
  ULONG stored = 0;
  NTSTATUS status = QueryDeviceValue(m_DeviceKey, kDsdNativeModeValue, REG_DWORD, &stored, sizeof(stored));
  if (NT_SUCCESS(status)) {
    m_Decisions.DsdFromRegistry = TRUE;
    m_DsdNativeSupported = stored != 0;
  } else {
    m_DsdNativeSupported = NT_SUCCESS(m_Function.SetStreamMode(0));
  }
  m_Decisions.DsdNativeSupported = m_DsdNativeSupported;
}

BOOLEAN CAdapterCommon::HasBothDirections() const {
  return m_Function.PlaybackStream() != nullptr && m_Function.CaptureStream() != nullptr;
}

BOOLEAN CAdapterCommon::IsRenderCoupled() const {
  if (m_Function.HasSharedClock()) {
    return TRUE;
  }
  const StreamInterface* capture = m_Function.CaptureStream();
  if (capture == nullptr || capture->AlternateCount < 2) {
    return FALSE;
  }
  const AltSetting* first = capture->Alternate(1);
  const USB_ENDPOINT_DESCRIPTOR* endpoint = first != nullptr ? first->DataEndpoint : nullptr;
  // Usage type (bmAttributes bits 5..4) 10b: implicit feedback data.
  return endpoint != nullptr && ((endpoint->bmAttributes >> 4) & 0x3) == 0x2;
}

STDMETHODIMP_(void) CAdapterCommon::PowerChangeState(POWER_STATE NewState) {
  const DEVICE_POWER_STATE state = NewState.DeviceState;
  if (state == m_PowerState) {
    return;
  }
  Trace(TRACE_LEVEL_INFORMATION, TraceAdapterPower, m_PowerState, state);
  switch (state) {
    case PowerDeviceD0:
      m_PowerState = state;
      // The device lost its interface settings while powered down.
      m_Engine.ReleaseDirectionFormat(kDirectionRender);
      m_Engine.ReleaseDirectionFormat(kDirectionCapture);
      if (m_DsdNativeSupported) {
        m_Function.ResendStreamMode();
      }
      break;
    case PowerDeviceD1:
    case PowerDeviceD2:
    case PowerDeviceD3: m_PowerState = state; break;
    default: break;
  }
}

STDMETHODIMP_(NTSTATUS) CAdapterCommon::QueryPowerChangeState(POWER_STATE NewStateQuery) {
  UNREFERENCED_PARAMETER(NewStateQuery);
  return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CAdapterCommon::QueryDeviceCapabilities(PDEVICE_CAPABILITIES PowerDeviceCaps) {
  if (PowerDeviceCaps != nullptr) {
    PowerDeviceCaps->SurpriseRemovalOK = TRUE;
  }
  return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CAdapterCommon::SetDsdMode(ULONG Mode) {
  if (!m_DsdNativeSupported) {
    return Mode == 0 ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED;
  }
  NTSTATUS status = STATUS_SUCCESS;
  if (Mode != m_Function.GetStreamMode()) {
    KeWaitForSingleObject(&m_StreamMutex, Executive, KernelMode, FALSE, nullptr);
    if (m_CaptureStartCount != 0 || m_RenderStartCount != 0) {
      status = STATUS_DEVICE_BUSY;
    } else {
      status = m_Function.SetStreamMode(static_cast<USHORT>(Mode));
    }
    KeReleaseMutex(&m_StreamMutex, FALSE);
  }
  if (NT_SUCCESS(status)) {
    m_DsdMode = Mode;
  }
  return status;
}

STDMETHODIMP_(BOOLEAN) CAdapterCommon::IsDsdNativeSupported() { return m_DsdNativeSupported; }

void CAdapterCommon::ForgetDeviceObject() { m_FunctionalDeviceObject = nullptr; }

void CAdapterCommon::MarkDeviceFailed() {
  if (m_FunctionalDeviceObject != nullptr) {
    InterlockedExchange(reinterpret_cast<volatile LONG*>(&GetAdapterExtension(m_FunctionalDeviceObject)->DeviceFailed),
                        1);
  }
}

STDMETHODIMP_(NTSTATUS) CAdapterCommon::RegisterMiniport(PVOID Miniport) {
  if (Miniport == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  KLOCK_QUEUE_HANDLE handle;
  KeAcquireInStackQueuedSpinLock(&m_MiniportLock, &handle);
  m_Miniport = Miniport;
  KeReleaseInStackQueuedSpinLock(&handle);
  return STATUS_SUCCESS;
}

IMiniportEngineLink* CAdapterCommon::ReferenceMiniport() {
  KLOCK_QUEUE_HANDLE handle;
  KeAcquireInStackQueuedSpinLock(&m_MiniportLock, &handle);
  auto* miniport = static_cast<IMiniportEngineLink*>(m_Miniport);
  if (miniport != nullptr) {
    miniport->AddRef();
  }
  KeReleaseInStackQueuedSpinLock(&handle);
  return miniport;
}

STDMETHODIMP_(NTSTATUS) CAdapterCommon::UnregisterMiniport(PVOID Miniport) {
  if (Miniport == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  KLOCK_QUEUE_HANDLE handle;
  KeAcquireInStackQueuedSpinLock(&m_MiniportLock, &handle);
  if (m_Miniport == Miniport) {
    m_Miniport = nullptr;
  }
  KeReleaseInStackQueuedSpinLock(&handle);
  return STATUS_SUCCESS;
}

PUSBD_PIPE_INFORMATION CAdapterCommon::DataPipe(UCHAR Direction) {
  StreamInterface* stream = IsCaptureDirection(Direction) ? m_Function.CaptureStream() : m_Function.PlaybackStream();
  return stream != nullptr ? stream->DataPipe : nullptr;
}

STDMETHODIMP_(DRMFORWARD) CAdapterCommon::GetDrmForward(UCHAR Direction) {
  DRMFORWARD forward = {};
  forward.Flags = 0;
  forward.DeviceObject = m_Function.LowerDevice();
  forward.FileObject = nullptr;
  PUSBD_PIPE_INFORMATION pipe = DataPipe(Direction);
  forward.Context = pipe != nullptr ? pipe->PipeHandle : nullptr;
  return forward;
}

STDMETHODIMP_(NTSTATUS) CAdapterCommon::NodeProperty(PVOID PropertyRequest) {
  UNREFERENCED_PARAMETER(PropertyRequest);
  return STATUS_NOT_IMPLEMENTED;
}

STDMETHODIMP_(NTSTATUS) CAdapterCommon::JackProperty(PVOID PropertyRequest) {
  UNREFERENCED_PARAMETER(PropertyRequest);
  return STATUS_NOT_IMPLEMENTED;
}

STDMETHODIMP_(NTSTATUS) CAdapterCommon::GetSignalProcessingModes(ULONG Pin, GUID* Modes, PULONG Count) {
  UNREFERENCED_PARAMETER(Pin);
  UNREFERENCED_PARAMETER(Modes);
  UNREFERENCED_PARAMETER(Count);
  return STATUS_NOT_IMPLEMENTED;
}

STDMETHODIMP_(NTSTATUS) CAdapterCommon::BuildFilterDescriptor(PVOID Descriptor) {
  UNREFERENCED_PARAMETER(Descriptor);
  return STATUS_NOT_IMPLEMENTED;
}

STDMETHODIMP_(void) CAdapterCommon::FreeFilterDescriptor(PVOID Descriptor) { UNREFERENCED_PARAMETER(Descriptor); }
