// The device's USB audio function: a model of its audio-control entities and
// audio-streaming interfaces, built once at device start from the class
// descriptors of the configuration, on top of the USB request layer.
#pragma once
#include "platform.h"
#include "base/vocabulary.h"
#include "usb/usbcl.h"
#include "audiofunction/audio_entity.h"
#include "audiofunction/playback_plan.h"
#include "audiofunction/stream_interface.h"

class CUSBAudioClock;
class CUSBAudioTerminal;
// A row of the playback rate pattern table (format selection).
struct RatePatternRow;

class CUSBAudioCL : public CUSBCL {
 public:
  CUSBAudioCL();
  ~CUSBAudioCL() override;

  // Capture packet bounds and the silence of an empty capture transfer;
  // staged playback reports its audio bytes without the length headers.
  NTSTATUS CheckCompletedTransfer(NTSTATUS Status, PURB Urb, TransferContext* Context) override;
  // Reads the descriptors and builds the whole model; PASSIVE_LEVEL.
  virtual NTSTATUS Attach(PDEVICE_OBJECT LowerDevice, ULONG IrpPoolSize);
  // Selects the configuration and alternate setting 0 of every stream.
  virtual NTSTATUS Configure();
  virtual NTSTATUS EnumerateStreamInterfaces();
  virtual NTSTATUS ParseStreamInterface(StreamInterface* Stream);

  // First entity with that ID, or null.
  CUSBAudioEntity* FindEntity(ULONG Id) const;
  // Data and feedback pipes of every stream's current alternate setting.
  NTSTATUS UpdatePipes();
  // A class request to an entity of the audio-control interface: wValue =
  // selector × 256 + channel, wIndex = entity × 256 + interface number.
  NTSTATUS AudioRequest(UCHAR RequestType, UCHAR Request, UCHAR Selector, UCHAR Channel, UCHAR EntityId, USHORT Length,
                        PVOID Buffer);
  // A class GET request (0xA1) that also reports how many bytes came back.
  NTSTATUS AudioReadAny(UCHAR Request, UCHAR Selector, UCHAR Channel, UCHAR EntityId, USHORT Length, PVOID Buffer,
                        PULONG Returned);
  // The same, failing with STATUS_UNSUCCESSFUL when fewer than `Needed`
  // bytes came back.
  NTSTATUS AudioRead(UCHAR Request, UCHAR Selector, UCHAR Channel, UCHAR EntityId, USHORT Length, PVOID Buffer,
                     ULONG Needed);
  // Input and output terminals in the entity list.
  ULONG CountTerminals() const;

  // The model, read without locks once Attach has returned.
  BOOLEAN IsClass2() const { return m_Class2 != 0; }
  BOOLEAN HasSharedClock() const { return m_SharedClock != 0; }
  BOOLEAN HasShortPacketQuirk() const { return m_ShortPacketQuirk != 0; }
  // Playback packets carry a 4-byte length header (one device).
  BOOLEAN HasPlaybackLengthHeader() const;
  // bInterfaceClass of the audio interfaces (vendor specific for some devices).
  UCHAR AudioInterfaceClass() const;
  const USB_INTERFACE_DESCRIPTOR* ControlInterface() const { return m_ControlInterface; }
  const UCHAR* ControlHeader() const { return m_ControlHeader; }
  CUSBAudioEntity* Entities() const { return m_Entities; }
  LONG StreamCount() const { return m_StreamCount; }
  StreamInterface* Streams() const { return m_Streams; }
  StreamInterface* PlaybackStream() const { return m_PlaybackStream; }
  StreamInterface* CaptureStream() const { return m_CaptureStream; }
  ULONG DeviceSampleRate() const { return m_DeviceSampleRate; }

  // ---- Stream format selection and sample rate -------------------------
  // Format types are wave format tags (1 PCM, 3 IEEE float, 6 A-law,
  // 7 mu-law); a direction is 0 for playback and non-zero for capture. All
  // of these send requests and run at PASSIVE_LEVEL, one at a time per
  // device. Result pointers may be null when the caller does not want them.
  //
  // Channels and container bits of the widest alternate of that type
  // (type 1 or 3 only).
  NTSTATUS GetBestFormat(UCHAR Direction, USHORT FormatType, ULONG Rate, PULONG Channels, PULONG Bits);
  // The alternate setting of `Stream` for the format: an exact match, else
  // the widest that passes the filters. Channels, bits or rate 0 is
  // alternate 0 without any request.
  NTSTATUS ChooseAlternate(StreamInterface* Stream, USHORT FormatType, ULONG Channels, ULONG Bits, ULONG Rate,
                           PULONG ChosenChannels, PULONG ChosenBits, PULONG Alternate);
  NTSTATUS CheckFormat(UCHAR Direction, USHORT FormatType, ULONG Channels, ULONG Bits, ULONG Rate);
  // Selects the alternate, sets the rate and stores the packet sizes; the
  // empty format (all 0) selects alternate 0. MaxTransferBytes is what one
  // transfer of TransferMs milliseconds can carry.
  NTSTATUS SelectStreamingFormat(UCHAR Direction, USHORT FormatType, ULONG Channels, ULONG Bits, ULONG Rate,
                                 ULONG TransferMs, PULONG ChosenChannels, PULONG ChosenBits, PULONG MaxTransferBytes);
  // The form for devices whose playback follows the capture stream: no rate
  // table, no playback pattern state, and the per-transfer bounds.
  NTSTATUS SelectStreamingFormat(UCHAR Direction, USHORT FormatType, ULONG Channels, ULONG Bits, ULONG Rate,
                                 ULONG TransferMs, PULONG ChosenChannels, PULONG ChosenBits,
                                 PULONG NominalTransferBytes, PLONG FramesBelow, PLONG FramesAbove,
                                 PULONG MaxTransferBytes);
  // Whether the device core must use the implicit-feedback form.
  BOOLEAN UsesImplicitFeedback() const;
  // Nominal frames per bus frame (full speed) or microframe (high speed),
  // 16.16 fixed point; 0 without a stream.
  ULONG NominalFeedback(UCHAR Direction) const;
  NTSTATUS IsSampleRateSupported(ULONG Rate);
  // Smallest and largest supported rates within *Lower..*Upper, written back.
  NTSTATUS GetSampleRateRange(UCHAR Direction, PULONG Lower, PULONG Upper);
  NTSTATUS GetStreamCaps(UCHAR Direction, PULONG MaxChannels, PULONG MinBits, PULONG MaxBits, PULONG MinRate,
                         PULONG MaxRate);
  NTSTATUS SetDeviceSampleRate(ULONG Rate);
  BOOLEAN IsClockStable(UCHAR Direction);
  ULONG GetCurrentAlternate(UCHAR Direction) const;
  // The firmware's stream mode, sent to every streaming interface.
  NTSTATUS SetStreamMode(USHORT Value);
  NTSTATUS ResendStreamMode();
  USHORT GetStreamMode() const;
  // Playback pattern state for the transfer builder.
  const RatePatternRow* PlaybackRateRow() const { return m_PlaybackRateRow; }
  ULONG PlaybackPatternPosition() const { return m_PlaybackPatternPosition; }
  ULONG PlaybackPacketInterval() const { return m_PlaybackPacketInterval; }

 protected:
  // What one selection produced, for both forms.
  struct FormatSelection {
    ULONG Channels;
    ULONG Bits;
    ULONG BytesPerFrame;
    ULONG MaxTransferBytes;
    ULONG NominalTransferBytes;
    LONG FramesBelow;
    LONG FramesAbove;
  };
  NTSTATUS SelectFormat(UCHAR Direction, USHORT FormatType, ULONG Channels, ULONG Bits, ULONG Rate, ULONG TransferMs,
                        BOOLEAN Implicit, FormatSelection* Result);
  // Reads the rate a class 1.0 endpoint runs at with `Alternate` selected,
  // selecting it for the read and the previous alternate again afterwards.
  NTSTATUS ConfirmRate(StreamInterface* Stream, ULONG Alternate, PULONG Rate);
  // ---- End of stream format selection and sample rate ------------------

 public:
  // ---- Isochronous stream transfers ------------------------------------
  // Submissions run at up to DISPATCH_LEVEL; the outcome arrives through the
  // callback. Playback takes a buffer address or an MDL (one of them).
  NTSTATUS SubmitPlayback(PVOID Buffer, PMDL Mdl, ULONG Length, ULONG Milliseconds, PUSB_TRANSFER_CALLBACK Callback,
                          PVOID CallbackContext);
  NTSTATUS SubmitCapture(PVOID Buffer, ULONG Length, PUSB_TRANSFER_CALLBACK Callback, PVOID CallbackContext);
  // Reads the playback feedback endpoint; the callback's byte count carries
  // the averaged 16.16 feedback value and its frame count is 0.
  NTSTATUS RecvFeedback(PVOID Buffer, ULONG Length, PUSB_TRANSFER_CALLBACK Callback, PVOID CallbackContext);
  // Bytes for one feedback read (four milliseconds of packets); 0 without a feedback pipe.
  ULONG FeedbackReadLength() const;
  // Bytes the next playback transfer of that many milliseconds carries at
  // the 16.16 feedback rate (ignored without a feedback pipe); moves nothing.
  ULONG PlaybackBytes(ULONG Milliseconds, ULONG Rate) const;
  // What sizes the playback packets on this device now.
  PlaybackMode CurrentPlaybackMode() const;

 protected:
  using PlaybackPlan = ::PlaybackPlan;
  // Packets per millisecond of the playback stream.
  ULONG PlaybackPacketsPerMs() const;
  NTSTATUS PlanPlayback(PlaybackMode Mode, ULONG Length, ULONG Milliseconds, PlaybackPlan* Plan) const;
  void LayoutPlayback(PlaybackMode Mode, const PlaybackPlan& Plan, PURB Urb, ULONG Length);
  NTSTATUS LayoutStaging(const PlaybackPlan& Plan, PVOID Buffer, PMDL Mdl, ULONG Length, TransferContext* Context,
                         PURB Urb);
  static NTSTATUS RecvFeedbackCompletionRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
  // The averaged feedback value of a completed read; updates the last value.
  ULONG ReadFeedbackPackets(PURB Urb, ULONG BufferLength);
  // ---- End of isochronous stream transfers -----------------------------

 public:
 protected:
  NTSTATUS ParseEntities();
  NTSTATUS CheckSourceChains();
  NTSTATUS LinkStreamTerminals();
  void DecideSharedClock();
  void FreeModel();
  static NTSTATUS CreateEntity(const UCHAR* Descriptor, BOOLEAN Class2, CUSBAudioCL* Owner, CUSBAudioEntity** Entity);
  void ParseAlternate(StreamInterface* Stream, ULONG Number, const USB_INTERFACE_DESCRIPTOR* Interface);
  BOOLEAN EndpointUsable(const USB_ENDPOINT_DESCRIPTOR* Endpoint) const;
  void RefreshPipes(StreamInterface* Stream, NTSTATUS* Status);
  void CheckPipeInterval(PUSBD_PIPE_INFORMATION Pipe);
  ULONG FeedbackPeriod(const StreamInterface* Stream) const;
  NTSTATUS FillCaptureSilence(PURB Urb, TransferContext* Context);
  void ReportStagedPayload(PURB Urb, const TransferContext* Context) const;

  // Members, after those of CUSBCL, in order.
  ULONG m_DeviceSampleRate;
  UCHAR m_ShortPacketQuirk;
  const RatePatternRow* m_PlaybackRateRow;
  ULONG m_PlaybackPatternPosition;
  ULONG m_PlaybackPacketInterval;
  UCHAR m_Class2;
  const USB_INTERFACE_DESCRIPTOR* m_ControlInterface;
  const UCHAR* m_ControlHeader;
  CUSBAudioEntity* m_Entities;
  LONG m_StreamCount;
  StreamInterface* m_Streams;
  StreamInterface* m_PlaybackStream;
  StreamInterface* m_CaptureStream;
  UCHAR m_SharedClock;
};
