// The private file interface of troxaudio: request codes and the records
// they carry. Shared by the kernel driver and both user-mode programs, so
// it depends on no header of either side.
#pragma once

namespace AsioRequest {

// CTL_CODE(FILE_DEVICE_UNKNOWN, Function, METHOD_BUFFERED, FILE_ANY_ACCESS).
constexpr unsigned int Code(unsigned int Function) { return (0x22u << 16) | (Function << 2); }

}  // namespace AsioRequest

constexpr unsigned int IOCTL_ASIO_GET_RATE_RANGE = AsioRequest::Code(0x800);
constexpr unsigned int IOCTL_ASIO_GET_FORMAT = AsioRequest::Code(0x801);
constexpr unsigned int IOCTL_ASIO_GET_SAMPLE_RATE = AsioRequest::Code(0x802);
constexpr unsigned int IOCTL_ASIO_SET_SAMPLE_RATE = AsioRequest::Code(0x803);
constexpr unsigned int IOCTL_ASIO_GET_DSD_SUPPORT = AsioRequest::Code(0x804);
constexpr unsigned int IOCTL_ASIO_GET_SERIAL_NUMBER = AsioRequest::Code(0x805);
constexpr unsigned int IOCTL_ASIO_GET_BUS_SPEED = AsioRequest::Code(0x806);
constexpr unsigned int IOCTL_ASIO_CLAIM = AsioRequest::Code(0x810);
constexpr unsigned int IOCTL_ASIO_PREPARE = AsioRequest::Code(0x811);
constexpr unsigned int IOCTL_ASIO_START = AsioRequest::Code(0x812);
constexpr unsigned int IOCTL_ASIO_STOP = AsioRequest::Code(0x813);
constexpr unsigned int IOCTL_ASIO_UNPREPARE = AsioRequest::Code(0x814);
constexpr unsigned int IOCTL_ASIO_RELEASE = AsioRequest::Code(0x815);
constexpr unsigned int IOCTL_ASIO_GET_CAPTURE_MS = AsioRequest::Code(0x816);
constexpr unsigned int IOCTL_ASIO_PING = AsioRequest::Code(0x817);
constexpr unsigned int IOCTL_ASIO_GET_RESET_NEEDED = AsioRequest::Code(0x818);
constexpr unsigned int IOCTL_ASIO_GO = AsioRequest::Code(0x819);
constexpr unsigned int IOCTL_ASIO_GET_POSITION = AsioRequest::Code(0x81A);
constexpr unsigned int IOCTL_ASIO_SYNC_POSITION = AsioRequest::Code(0x81B);
constexpr unsigned int IOCTL_ASIO_FAIL_NEXT_CAPTURE = AsioRequest::Code(0x81D);
constexpr unsigned int IOCTL_ASIO_FAIL_NEXT_RENDER = AsioRequest::Code(0x81E);
constexpr unsigned int IOCTL_ASIO_SET_RENDER_LEAD = AsioRequest::Code(0x81F);
constexpr unsigned int IOCTL_ASIO_SET_RENDER_PREFILL = AsioRequest::Code(0x820);

#pragma pack(push, 1)

// IOCTL_ASIO_GET_FORMAT, in and out: the caller gives type and rate, the
// driver fills the channels and container bits of each direction.
struct ASIO_FORMAT_RECORD {
  unsigned short FormatType;  // 1 PCM, 3 IEEE float
  unsigned int SampleRate;
  unsigned int RenderChannels;  // 0: no render interface
  unsigned int RenderBits;
  unsigned int CaptureChannels;  // 0: no capture interface
  unsigned int CaptureBits;
};

// IOCTL_ASIO_PREPARE.
struct ASIO_PREPARE_RECORD {
  unsigned int BufferFrames;  // the client's period
  unsigned int CaptureWanted;
  unsigned int RenderWanted;
  unsigned int LeadPercent;  // 0..100, more acts as 100
  unsigned short Dsd;        // 1 DSD, else PCM
  unsigned short FormatType;
};

#pragma pack(pop)

static_assert(sizeof(ASIO_FORMAT_RECORD) == 22, "the format record is 22 bytes on the wire");
static_assert(sizeof(ASIO_PREPARE_RECORD) == 20, "the prepare record is 20 bytes on the wire");
