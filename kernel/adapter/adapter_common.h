// The device core: the one object per started device that everything else
// hangs on. It embeds the USB audio function, owns the streaming engine and
// the stream clients, and serves the WaveRT miniport and streams and the
// private interface through IAdapterCommon.
#pragma once
#include "platform.h"
#include "adapter/adapter_interface.h"
#include "adapter/request_gate.h"
#include "asio/asio_stream.h"
#include "audiofunction/usb_audio_cl.h"
#include "base/pool.h"
#include "engine/asio_clients.h"
#include "engine/capture_path.h"
#include "engine/chunk_list.h"
#include "engine/render_path.h"
#include "engine/stream_engine.h"
#include "engine/wave_clients.h"

class CAsioFileContext;

// What Init decided, for tools and tests.
struct AdapterDecisions {
  BOOLEAN ControllerQueried;
  USB_CONTROLLER_INFO_0 Controller;
  BOOLEAN AmdWorkaround;
  BOOLEAN PerStreamFormatMode;
  BOOLEAN DsdNativeSupported;
  BOOLEAN DsdFromRegistry;
  BOOLEAN SampleRateWritten;
  ULONG TuningFlags[2];  // ReadTransferTuning's result: render, capture
  LONG DumpCapture;
};

class CAdapterCommon : public IAdapterCommon,
                       public IAdapterPowerManagement,
                       public IDsdModeControl,
                       public CPoolObject {
 public:
  // Index of the ASIO and the WaveRT client of a direction.
  static constexpr ULONG kAsioClient = 0;
  static constexpr ULONG kWaveClient = 1;

  CAdapterCommon();
  virtual ~CAdapterCommon();

  // IUnknown (the object is its own outer unknown).
  STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID InterfaceId, PVOID* Interface) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  // IAdapterCommon.
  STDMETHODIMP_(NTSTATUS) Init(PDEVICE_OBJECT PhysicalDeviceObject, PDEVICE_OBJECT FunctionalDeviceObject) override;
  STDMETHODIMP_(NTSTATUS) ReserveDirection(BOOLEAN Capture, BOOLEAN Render, BOOLEAN Exclusive) override;
  STDMETHODIMP_(NTSTATUS) ReleaseDirection(BOOLEAN Capture, BOOLEAN Render) override;
  STDMETHODIMP_(NTSTATUS) RegisterMiniport(PVOID Miniport) override;
  STDMETHODIMP_(NTSTATUS) UnregisterMiniport(PVOID Miniport) override;
  STDMETHODIMP_(NTSTATUS)
  SetStreamFormat(UCHAR Direction, USHORT FormatType, ULONG Channels, ULONG Bits, ULONG Rate) override;
  STDMETHODIMP_(void) ResetDirection(UCHAR Direction) override;
  STDMETHODIMP_(void) QueueRenderBuffer(PVOID Address, ULONG Bytes) override;
  STDMETHODIMP_(void) QueueCaptureBuffer(PVOID Address, ULONG Bytes) override;
  STDMETHODIMP_(void) FlushRenderBuffers() override;
  STDMETHODIMP_(void) FlushCaptureBuffers() override;
  STDMETHODIMP_(void) OnDeviceRemoval() override;
  STDMETHODIMP_(NTSTATUS) NodeProperty(PVOID PropertyRequest) override;
  STDMETHODIMP_(NTSTATUS) JackProperty(PVOID PropertyRequest) override;
  STDMETHODIMP_(NTSTATUS) GetSignalProcessingModes(ULONG Pin, GUID* Modes, PULONG Count) override;
  STDMETHODIMP_(ULONG) GetDeviceSampleRate() override;
  STDMETHODIMP_(NTSTATUS) SetSampleRate(ULONG Rate) override;
  STDMETHODIMP_(NTSTATUS) GetDeviceRateRange(PULONG Lowest, PULONG Highest) override;
  STDMETHODIMP_(NTSTATUS) GetSampleRateRange(UCHAR Direction, PULONG Low, PULONG High) override;
  STDMETHODIMP_(NTSTATUS) BuildFilterDescriptor(PVOID Descriptor) override;
  STDMETHODIMP_(void) FreeFilterDescriptor(PVOID Descriptor) override;
  STDMETHODIMP_(NTSTATUS) StartDirection(UCHAR Direction, ULONG WaveBufferBytes) override;
  STDMETHODIMP_(NTSTATUS) StopDirection(UCHAR Direction) override;
  STDMETHODIMP_(DRMFORWARD) GetDrmForward(UCHAR Direction) override;

  // IAdapterPowerManagement.
  STDMETHODIMP_(void) PowerChangeState(POWER_STATE NewState) override;
  STDMETHODIMP_(NTSTATUS) QueryPowerChangeState(POWER_STATE NewStateQuery) override;
  STDMETHODIMP_(NTSTATUS) QueryDeviceCapabilities(PDEVICE_CAPABILITIES PowerDeviceCaps) override;

  // IDsdModeControl.
  STDMETHODIMP_(NTSTATUS) SetDsdMode(ULONG Mode) override;
  STDMETHODIMP_(BOOLEAN) IsDsdNativeSupported() override;

  // Start and stop of the engine's directions (the WaveRT streams through
  // StartDirection, the ASIO stream directly). PASSIVE_LEVEL.
  NTSTATUS StartEngineDirection(UCHAR Direction);
  NTSTATUS StopEngineDirection(UCHAR Direction);

  // The device object is being deleted (IRP_MN_REMOVE_DEVICE).
  void ForgetDeviceObject();

  // The private interface, inside the request gate.
  CRequestGate& RequestGate() { return m_RequestGate; }
  NTSTATUS PrivateCleanup(CAsioFileContext* Context, PIRP Irp);
  NTSTATUS PrivateRead(CAsioFileContext* Context, PIRP Irp);
  NTSTATUS PrivateWrite(CAsioFileContext* Context, PIRP Irp);
  NTSTATUS PrivateDeviceControl(CAsioFileContext* Context, PIRP Irp);
  CAsioStream& AsioStream() { return m_AsioStream; }

  // What the engine asks of the device core.
  BOOLEAN IsRenderCoupled() const;
  BOOLEAN PerStreamFormatMode() const { return m_PerStreamFormatMode; }
  BOOLEAN StreamFormatFor(UCHAR Direction, StreamFormat* Format) const;
  ULONG StreamSampleRate() const { return m_StreamSampleRate; }
  ULONG CurrentDsdMode() const { return m_DsdMode; }
  BOOLEAN AmdWorkaround() const { return m_AmdWorkaround; }
  BOOLEAN DumpRenderTransfers() const { return m_Decisions.DumpCapture == -2; }
  BOOLEAN IsCaptureClockedRenderRunning() const;
  void MarkDeviceFailed();
  void OnCaptureDelivered(ULONG Bytes, ULONG Frame);
  void OnCaptureRecovered();
  // The render paths the engine mixes through, in client order.
  CRenderPath& RenderPath(ULONG Client) { return Client == kAsioClient ? m_AsioRenderPath : m_WaveRenderPath; }
  // WaveRT render chunks still queued: a stopping render drains them.
  BOOLEAN HasQueuedRenderChunks() { return m_RenderChunks.HasData(); }
  // The ASIO render ring's silence byte (0 without an ASIO stream).
  UCHAR AsioSilenceByte();
  // Tells an ASIO stream whose render follows capture that it lost its place.
  void MarkAsioResetNeeded();
  // The registered miniport with a reference, or null; DISPATCH_LEVEL or below.
  IMiniportEngineLink* ReferenceMiniport();
  // The ASIO stream's rings for the ASIO clients (null detaches); PASSIVE_LEVEL.
  void AttachAsioStream(CAsioRingAccess* Rings);
  // The start/stop gate from the render thread's recovery: returns the value
  // it held before it was set to 2 (0: recovery may go on).
  LONG EnterRecoveryGate();
  void LeaveRecoveryGate();
  void LockStreams();
  void UnlockStreams();

  // Observation for tools and tests.
  CUSBAudioCL& Function() { return m_Function; }
  CStreamEngine& Engine() { return m_Engine; }
  CCapturePath& CapturePath(ULONG Client) { return Client == kAsioClient ? m_AsioCapturePath : m_WaveCapturePath; }
  const AdapterDecisions& Decisions() const { return m_Decisions; }
  const UsbString& SerialNumber() const { return m_SerialNumber; }
  LONG StartCount(UCHAR Direction) const {
    return IsCaptureDirection(Direction) ? m_CaptureStartCount : m_RenderStartCount;
  }
  DEVICE_POWER_STATE DevicePowerState() const { return m_PowerState; }
  LONG References() const { return m_References; }

 private:
  NTSTATUS InitEngineAndFunction();
  void DecideAmdWorkaround();
  void DecideModeAndTunables();
  NTSTATUS DecideDeviceSampleRate();
  void DecideDsdSupport();
  BOOLEAN HasBothDirections() const;
  NTSTATUS StartBoth();
  NTSTATUS StopBoth();
  void EnterStartStopGate();
  void LeaveStartStopGate();
  void StopBothThreads();
  void ReleaseAllFormats();
  void QueueChunk(CChunkList* List, PVOID Address, ULONG Bytes);
  BOOLEAN RemovalSeen() { return KeReadStateEvent(&m_RemovalEvent) != 0; }
  PUSBD_PIPE_INFORMATION DataPipe(UCHAR Direction);
  // One private request whose state rule held; under the request mutex.
  NTSTATUS PrivateRequest(CAsioFileContext* Context, ULONG Code, PUCHAR System, ULONG Input, ULONG Output,
                          PULONG_PTR Information);
  void SetAsioOwnerField(LONG Value);
  void ReleaseAsioOwnership(CAsioFileContext* Context);

  volatile LONG m_References;

  // System.
  PDEVICE_OBJECT m_PhysicalDeviceObject;
  PDEVICE_OBJECT m_FunctionalDeviceObject;
  HANDLE m_DeviceKey;
  CRequestGate m_RequestGate;
  CUSBAudioCL m_Function;
  KSPIN_LOCK m_MiniportLock;
  PVOID m_Miniport;
  DEVICE_POWER_STATE m_PowerState;
  BOOLEAN m_AmdWorkaround;
  UsbString m_SerialNumber;
  AdapterDecisions m_Decisions;

  // Locks, formats and rates.
  KMUTEX m_StreamMutex;
  StreamFormat m_CaptureStreamFormat;
  StreamFormat m_RenderStreamFormat;
  BOOLEAN m_CaptureFormatSet;
  BOOLEAN m_RenderFormatSet;
  ULONG m_DeviceSampleRate;
  ULONG m_StreamSampleRate;
  LONG m_AsioOwner;

  // Chunk lists of the WaveRT streams; descriptors from a lookaside list
  // that lives in a block of its own (the list type is cache-line aligned).
  PVOID m_ChunkBlock;
  PNPAGED_LOOKASIDE_LIST m_Chunks;
  CChunkList m_RenderChunks;
  CChunkList m_CaptureChunks;

  // Engine.
  CStreamEngine m_Engine;
  KEVENT m_RemovalEvent;
  LONG m_CaptureStartCount;
  LONG m_RenderStartCount;
  ULONG m_DsdMode;
  BOOLEAN m_DsdNativeSupported;

  // Private interface.
  KMUTEX m_RequestMutex;
  BOOLEAN m_PerStreamFormatMode;
  KMUTEX m_OwnershipMutex;
  LONG m_CaptureUsers;
  LONG m_RenderUsers;
  LONG m_Exclusive;

  // Clients.
  CCapturePath m_AsioCapturePath;
  CCapturePath m_WaveCapturePath;
  CRenderPath m_AsioRenderPath;
  CRenderPath m_WaveRenderPath;
  CAsioRenderSource m_AsioRenderSource;
  CAsioCaptureSink m_AsioCaptureSink;
  CWaveRenderSource m_WaveRenderSource;
  CWaveCaptureSink m_WaveCaptureSink;
  CAsioStream m_AsioStream;

  // 0 free, 1 start or stop in progress, 2 render recovery in progress.
  volatile LONG m_StartStopGate;
  BOOLEAN m_Initialized;
};
