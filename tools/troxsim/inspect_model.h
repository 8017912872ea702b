// What `troxsim inspect` reports: the driver's model of a device's audio
// function, copied out of the driver's CUSBAudioCL into plain records so that
// the printers need no kernel headers.
#pragma once

#include "tools/troxsim/inspect_core.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/troxsim/inspect_formats.h"

class CUSBAudioCL;

namespace troxsim {

// A request the model sent, with its outcome.
struct Reading {
  int32_t status = 0;  // NTSTATUS
  uint32_t value = 0;
  bool Ok() const { return status >= 0; }
};

struct ClockReport {
  Reading minimum, maximum;  // GetRange over every subrange (same status)
  Reading current;           // GetCurrentRate
  bool valid = false;        // IsValid
};

struct EntityReport {
  uint32_t id = 0;
  std::string name;  // GetName
  std::string kind;  // "input terminal", "feature unit", "clock source", ...
  uint8_t subtype = 0;
  std::vector<uint32_t> sources;         // GetSourceId of each input
  std::optional<uint32_t> clockId;       // terminals of a 2.0 function
  std::optional<std::string> clockName;  // the clock entity the terminal links to
  std::optional<uint16_t> terminalType;  // wTerminalType of terminals
  std::optional<ClockReport> clock;      // clock entities
};

struct EndpointReport {
  uint8_t address = 0;
  uint16_t maxPacket = 0;  // wMaxPacketSize as written (high-speed extra transactions in bits 11..12)
  uint8_t interval = 0;    // bInterval
  uint8_t attributes = 0;  // bmAttributes
  bool usable = false;     // isochronous interval within what the driver accepts
  std::string transfer;    // "isochronous", "bulk", ...
  std::string sync;        // "none", "asynchronous", "adaptive", "synchronous"
  std::string usage;       // "data", "feedback", "implicit feedback data", "reserved"
};

struct AltReport {
  uint32_t number = 0;
  uint8_t endpointCount = 0;  // bNumEndpoints
  bool hasAsGeneral = false;
  uint32_t terminalLink = 0;
  bool hasFormat = false;
  uint8_t formatType = 0;
  uint32_t formats = 0;  // wFormatTag (1.0) or bmFormats (2.0)
  uint32_t channels = 0;
  uint32_t subslotBytes = 0;
  uint32_t resolutionBits = 0;
  // 1.0: the discrete rates of FORMAT_TYPE, or its continuous range; 2.0:
  // the range of the terminal's clock.
  std::string ratesFrom;  // "format", "clock" or "" (none)
  std::vector<uint32_t> rates;
  bool continuous = false;
  std::optional<uint32_t> rateMinimum, rateMaximum;
  std::optional<EndpointReport> data, feedback;
  bool hasEpGeneral = false;
  uint8_t epControls = 0;  // bmAttributes (1.0) or bmControls (2.0) of EP_GENERAL
  // Selecting the alternate the way streaming start does: status, the pipe
  // interval the driver keeps and the feedback period it derives.
  std::optional<int32_t> selectStatus;
  std::optional<uint32_t> pipeInterval, pipeMaxPacket;
  std::optional<uint32_t> feedbackPeriodMs;
};

struct StreamReport {
  uint32_t interfaceNumber = 0;
  bool capture = false;
  uint32_t terminalId = 0;
  std::string terminalName;
  bool playbackStream = false, captureStream = false;  // the model's chosen pair
  std::vector<AltReport> alternates;
};

struct QuirkReport {
  uint8_t interfaceClass = 1;
  bool configureAllInterfaces = false;
  bool shortPackets = false;
  bool playbackLengthHeader = false;
};

struct ModelReport {
  std::string device;  // model name or file
  uint16_t vendorId = 0, productId = 0;
  bool highSpeed = false;
  bool class2 = false;
  uint16_t bcdAdc = 0;
  uint32_t controlInterface = 0;
  std::vector<EntityReport> entities;
  std::vector<StreamReport> streams;
  bool sharedClock = false;
  QuirkReport quirks;
  std::optional<FormatReport> formats;   // CollectFormats, filled by the inspection
  std::optional<DeviceCoreReport> core;  // what the device core decided at start
};

// Copies the model out of an attached and configured function. Selects each
// streaming alternate in turn to learn its pipes and returns every stream to
// alternate 0 afterwards. PASSIVE_LEVEL.
ModelReport CollectModel(CUSBAudioCL& audio);

}  // namespace troxsim
