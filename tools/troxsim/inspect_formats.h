// What the driver's format selection makes of one rate and format type on
// each direction: the widest format, the alternate it picks, the packet sizes
// it stores and the rates it accepts. Plain records, like inspect_model.h.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

class CUSBAudioCL;

namespace troxsim {

class JsonWriter;

struct FormatRequest {
  std::optional<uint32_t> rate;  // absent: 48000, or the lowest supported rate
  uint16_t formatType = 1;       // wave format tag: 1 PCM, 3 IEEE float
};

// One direction's selection, as far as it got: a step that failed leaves the
// later fields unset.
struct DirectionSelection {
  bool capture = false;
  uint32_t interfaceNumber = 0;
  int32_t status = 0;      // the first failure, or success
  std::string failedStep;  // "GetBestFormat", "ChooseAlternate", "SelectStreamingFormat" or ""
  std::optional<uint32_t> bestChannels, bestBits;                  // GetBestFormat
  std::optional<uint32_t> alternate, chosenChannels, chosenBits;  // ChooseAlternate
  // The stream's size fields after SelectStreamingFormat.
  std::optional<uint32_t> bytesPerFrame;
  std::optional<int32_t> nominalPacketBytes, minimumPacketBytes, maximumPacketBytes;
  std::optional<bool> shortPacket;
  std::optional<uint32_t> bytesPerMillisecond;  // a 1 ms transfer (G)
  uint32_t transferMs = 0;                      // the device core's transfer length
  std::optional<uint32_t> bytesPerTransfer;
  // Implicit-feedback form only, for the device core's transfer length.
  std::optional<uint32_t> nominalTransferBytes;
  std::optional<int32_t> framesBelow, framesAbove;
  std::optional<uint32_t> nominalFeedback;  // 16.16 frames per bus frame (full speed) or microframe (high speed)
  // Selecting the empty format afterwards.
  std::optional<int32_t> resetStatus;
  std::optional<uint32_t> alternateAfter;
};

struct FormatReport {
  uint32_t rate = 0;
  bool rateDefaulted = false;  // 48000 was not supported, the lowest supported rate was taken
  uint16_t formatType = 1;
  bool implicitForm = false;  // UsesImplicitFeedback
  std::vector<uint32_t> supportedRates;
  std::vector<DirectionSelection> directions;  // playback, then capture; only those with a stream
};

// Runs the selection on each direction with a stream and selects the empty
// format again afterwards, leaving alternate 0. PASSIVE_LEVEL.
FormatReport CollectFormats(CUSBAudioCL& audio, const FormatRequest& request);

void PrintFormatsText(std::ostream& out, const FormatReport& report);
// Writes the "formatSelection" member into the open object.
void JsonFormats(JsonWriter& j, const FormatReport& report);

}  // namespace troxsim
