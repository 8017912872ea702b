// The private file's device-control requests, reads, writes and cleanup:
// per-handle states, the device-wide owner, and what each code does.
#include "adapter/adapter_common.h"
#include "adapter/asio_file_context.h"
#include "asio/asio_trace_events.h"
#include "asio/format_query.h"
#include "base/trace.h"

namespace {

// What a request may be sent in: any state, or exactly one.
constexpr LONG kAnyState = -1;

struct RequestRule {
  ULONG Code;
  LONG State;
};

constexpr RequestRule kRules[] = {
    {IOCTL_ASIO_GET_RATE_RANGE, kAnyState},   {IOCTL_ASIO_GET_FORMAT, kAnyState},
    {IOCTL_ASIO_GET_SAMPLE_RATE, kAnyState},  {IOCTL_ASIO_SET_SAMPLE_RATE, kAnyState},
    {IOCTL_ASIO_GET_DSD_SUPPORT, kAnyState},  {IOCTL_ASIO_GET_SERIAL_NUMBER, kAnyState},
    {IOCTL_ASIO_GET_BUS_SPEED, kAnyState},    {IOCTL_ASIO_CLAIM, kAsioHandleOpen},
    {IOCTL_ASIO_PREPARE, kAsioHandleOwner},   {IOCTL_ASIO_START, kAsioHandleConfigured},
    {IOCTL_ASIO_STOP, kAsioHandleRunning},    {IOCTL_ASIO_UNPREPARE, kAsioHandleConfigured},
    {IOCTL_ASIO_RELEASE, kAsioHandleOwner},   {IOCTL_ASIO_GET_CAPTURE_MS, kAnyState},
    {IOCTL_ASIO_PING, kAnyState},             {IOCTL_ASIO_GET_RESET_NEEDED, kAnyState},
    {IOCTL_ASIO_GO, kAsioHandleRunning},      {IOCTL_ASIO_GET_POSITION, kAsioHandleRunning},
    {IOCTL_ASIO_SYNC_POSITION, kAsioHandleRunning}, {IOCTL_ASIO_FAIL_NEXT_CAPTURE, kAnyState},
    {IOCTL_ASIO_FAIL_NEXT_RENDER, kAnyState}, {IOCTL_ASIO_SET_RENDER_LEAD, kAnyState},
    {IOCTL_ASIO_SET_RENDER_PREFILL, kAnyState},
};

const RequestRule* RuleOf(ULONG Code) {
  for (const RequestRule& rule : kRules) {
    if (rule.Code == Code) {
      return &rule;
    }
  }
  return nullptr;
}

// The request's lengths and its one buffer (METHOD_BUFFERED: input first,
// output written over it).
struct Buffers {
  PUCHAR System;
  ULONG Input;
  ULONG Output;
};

ULONG ReadUlong(const Buffers& Io) {
  ULONG value = 0;
  RtlCopyMemory(&value, Io.System, sizeof(value));
  return value;
}

// A 32-bit answer: STATUS_BUFFER_TOO_SMALL below 4 bytes.
NTSTATUS AnswerUlong(const Buffers& Io, ULONG Value, PULONG_PTR Information) {
  if (Io.Output < sizeof(ULONG)) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  RtlCopyMemory(Io.System, &Value, sizeof(Value));
  *Information = sizeof(Value);
  return STATUS_SUCCESS;
}

}  // namespace

void CAdapterCommon::SetAsioOwnerField(LONG Value) {
  LockStreams();
  m_AsioOwner = Value;
  UnlockStreams();
}

void CAdapterCommon::ReleaseAsioOwnership(CAsioFileContext* Context) {
  if (!m_AsioStream.Release()) {
    Trace(TRACE_LEVEL_WARNING, TraceAsioOwnerNotSet, Context->State());
  }
  Context->SetState(kAsioHandleOpen);
  SetAsioOwnerField(0);
}

NTSTATUS CAdapterCommon::PrivateCleanup(CAsioFileContext* Context, PIRP Irp) {
  UNREFERENCED_PARAMETER(Irp);
  KeWaitForSingleObject(&m_RequestMutex, Executive, KernelMode, FALSE, nullptr);
  if (Context->State() == kAsioHandleRunning) {
    m_AsioStream.Stop();
    Context->SetState(kAsioHandleConfigured);
  }
  if (Context->State() == kAsioHandleConfigured) {
    m_AsioStream.Unprepare();
    Context->SetState(kAsioHandleOwner);
  }
  if (Context->State() == kAsioHandleOwner) {
    ReleaseAsioOwnership(Context);
  }
  KeReleaseMutex(&m_RequestMutex, FALSE);
  return STATUS_SUCCESS;
}

NTSTATUS CAdapterCommon::PrivateRead(CAsioFileContext* Context, PIRP Irp) {
  // Only the handle that runs the stream moves its data: another one would
  // take the owner's frames.
  if (Context->State() != kAsioHandleRunning || !m_AsioStream.IsStreaming()) {
    return STATUS_UNSUCCESSFUL;
  }
  return m_AsioStream.Read(Irp);
}

NTSTATUS CAdapterCommon::PrivateWrite(CAsioFileContext* Context, PIRP Irp) {
  if (Context->State() != kAsioHandleRunning || !m_AsioStream.IsStreaming()) {
    return STATUS_UNSUCCESSFUL;
  }
  return m_AsioStream.Write(Irp);
}

NTSTATUS CAdapterCommon::PrivateDeviceControl(CAsioFileContext* Context, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  Buffers io = {static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer),
                stack->Parameters.DeviceIoControl.InputBufferLength,
                stack->Parameters.DeviceIoControl.OutputBufferLength};
  if (io.System == nullptr) {
    // No buffer came with the request: neither side has any bytes.
    io.Input = 0;
    io.Output = 0;
  }
  ULONG_PTR information = 0;
  KeWaitForSingleObject(&m_RequestMutex, Executive, KernelMode, FALSE, nullptr);
  const RequestRule* rule = RuleOf(code);
  NTSTATUS status;
  if (rule == nullptr) {
    status = STATUS_INVALID_DEVICE_REQUEST;
  } else if (rule->State != kAnyState && rule->State != Context->State()) {
    status = STATUS_UNSUCCESSFUL;
  } else {
    status = PrivateRequest(Context, code, io.System, io.Input, io.Output, &information);
  }
  KeReleaseMutex(&m_RequestMutex, FALSE);
  Irp->IoStatus.Information = (NT_SUCCESS(status) || status == STATUS_BUFFER_OVERFLOW) ? information : 0;
  Trace(TRACE_LEVEL_VERBOSE, TraceAsioRequest, code, Context->State(), status);
  return status;
}

NTSTATUS CAdapterCommon::PrivateRequest(CAsioFileContext* Context, ULONG Code, PUCHAR System, ULONG Input,
                                        ULONG Output, PULONG_PTR Information) {
  const Buffers io = {System, Input, Output};
  switch (Code) {
    case IOCTL_ASIO_GET_RATE_RANGE: {
      if (Output < 2 * sizeof(ULONG)) {
        return STATUS_BUFFER_TOO_SMALL;
      }
      if (m_Function.PlaybackStream() == nullptr && m_Function.CaptureStream() == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
      }
      ULONG range[2] = {0, 0};
      const NTSTATUS status = GetDeviceRateRange(&range[0], &range[1]);
      if (NT_SUCCESS(status)) {
        RtlCopyMemory(System, range, sizeof(range));
        *Information = sizeof(range);
      }
      return status;
    }
    case IOCTL_ASIO_GET_FORMAT: {
      if (Input < sizeof(ASIO_FORMAT_RECORD) || Output < sizeof(ASIO_FORMAT_RECORD)) {
        return STATUS_BUFFER_TOO_SMALL;
      }
      ASIO_FORMAT_RECORD record;
      RtlCopyMemory(&record, System, sizeof(record));
      const NTSTATUS status = QueryAsioFormat(m_Function, record.FormatType, record.SampleRate, &record);
      if (NT_SUCCESS(status)) {
        RtlCopyMemory(System, &record, sizeof(record));
        *Information = sizeof(record);
      }
      return status;
    }
    case IOCTL_ASIO_GET_SAMPLE_RATE:
      return AnswerUlong(io, m_DeviceSampleRate, Information);
    case IOCTL_ASIO_SET_SAMPLE_RATE: {
      if (Input < sizeof(ULONG)) {
        return STATUS_INVALID_PARAMETER;
      }
      const ULONG rate = ReadUlong(io);
      if (m_DeviceSampleRate != 0) {
        return SetSampleRate(rate);
      }
      // Per-stream rates: ASIO streaming stops (the handle keeps its state)
      // and the rate becomes the stream rate.
      m_AsioStream.Stop();
      const NTSTATUS status = m_Function.IsSampleRateSupported(rate);
      if (NT_SUCCESS(status)) {
        m_StreamSampleRate = rate;
      }
      return status;
    }
    case IOCTL_ASIO_GET_DSD_SUPPORT:
      return AnswerUlong(io, m_DsdNativeSupported ? 1 : 0, Information);
    case IOCTL_ASIO_GET_SERIAL_NUMBER: {
      constexpr ULONG kHeader = sizeof(ULONG) + sizeof(WCHAR);
      if (Output < kHeader) {
        return STATUS_BUFFER_TOO_SMALL;
      }
      const ULONG length = m_SerialNumber.CharacterBytes();
      const ULONG room = Output - kHeader;
      // Whole characters only, so that the terminating zero follows the
      // last byte written.
      const ULONG copy = (length < room ? length : room) & ~1UL;
      const ULONG count = length / 2;
      RtlCopyMemory(System, &count, sizeof(count));
      if (copy != 0) {
        RtlCopyMemory(System + sizeof(ULONG), m_SerialNumber.Characters(), copy);
      }
      const WCHAR zero = 0;
      RtlCopyMemory(System + sizeof(ULONG) + copy, &zero, sizeof(zero));
      *Information = copy + kHeader;
      return room < length ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
    }
    case IOCTL_ASIO_GET_BUS_SPEED:
      return AnswerUlong(io, m_Function.IsHighSpeed() ? 2 : 1, Information);
    case IOCTL_ASIO_CLAIM:
      if (!m_AsioStream.Claim()) {
        return STATUS_DEVICE_BUSY;
      }
      Context->SetState(kAsioHandleOwner);
      SetAsioOwnerField(1);
      return STATUS_SUCCESS;
    case IOCTL_ASIO_PREPARE: {
      if (Input < sizeof(ASIO_PREPARE_RECORD)) {
        return STATUS_INVALID_PARAMETER;
      }
      ASIO_PREPARE_RECORD record;
      RtlCopyMemory(&record, System, sizeof(record));
      const NTSTATUS status = m_AsioStream.Prepare(record);
      if (NT_SUCCESS(status)) {
        Context->SetState(kAsioHandleConfigured);
      }
      return status;
    }
    case IOCTL_ASIO_START: {
      const NTSTATUS status = RemovalSeen() ? STATUS_DELETE_PENDING : m_AsioStream.Start();
      if (NT_SUCCESS(status)) {
        Context->SetState(kAsioHandleRunning);
      }
      return status;
    }
    case IOCTL_ASIO_STOP:
      m_AsioStream.Stop();
      Context->SetState(kAsioHandleConfigured);
      return STATUS_SUCCESS;
    case IOCTL_ASIO_UNPREPARE:
      m_AsioStream.Unprepare();
      Context->SetState(kAsioHandleOwner);
      return STATUS_SUCCESS;
    case IOCTL_ASIO_RELEASE:
      ReleaseAsioOwnership(Context);
      return STATUS_SUCCESS;
    case IOCTL_ASIO_GET_CAPTURE_MS:
      return AnswerUlong(io, m_Engine.Tunables().CaptureMsPerTransfer, Information);
    case IOCTL_ASIO_PING:
      return STATUS_SUCCESS;
    case IOCTL_ASIO_GET_RESET_NEEDED:
      return AnswerUlong(io, m_AsioStream.ResetNeeded(), Information);
    case IOCTL_ASIO_GO:
      m_AsioStream.Go();
      return STATUS_SUCCESS;
    case IOCTL_ASIO_GET_POSITION:
      if (Output < sizeof(ULONG)) {
        return STATUS_INVALID_PARAMETER;
      }
      return AnswerUlong(io, m_AsioStream.GetPosition(), Information);
    case IOCTL_ASIO_SYNC_POSITION:
      if (Input < sizeof(ULONG)) {
        return STATUS_INVALID_PARAMETER;
      }
      m_AsioStream.SyncPosition(ReadUlong(io));
      return STATUS_SUCCESS;
    case IOCTL_ASIO_FAIL_NEXT_CAPTURE:
      m_Engine.FailNextCompletion(kDirectionCapture);
      return STATUS_SUCCESS;
    case IOCTL_ASIO_FAIL_NEXT_RENDER:
      m_Engine.FailNextCompletion(kDirectionRender);
      return STATUS_SUCCESS;
    case IOCTL_ASIO_SET_RENDER_LEAD:
    case IOCTL_ASIO_SET_RENDER_PREFILL:
      if (Input < sizeof(ULONG)) {
        return STATUS_INVALID_PARAMETER;
      }
      if (Code == IOCTL_ASIO_SET_RENDER_LEAD) {
        CAsioStream::SetRenderLeadOverride(ReadUlong(io));
      } else {
        CAsioStream::SetRenderPrefillOverride(ReadUlong(io));
      }
      return STATUS_SUCCESS;
    default:
      return STATUS_INVALID_DEVICE_REQUEST;
  }
}
