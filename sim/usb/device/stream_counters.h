// What a streaming interface of the simulated device saw, for tests to check.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

namespace sim::usb {

struct StreamCounters {
  uint64_t packets = 0;            // data packets received (playback) or sent (capture)
  uint64_t framesReceived = 0;     // playback frames taken into the buffer
  uint64_t framesConsumed = 0;     // playback frames played at the device clock
  uint64_t framesSent = 0;         // capture frames sent
  uint64_t underrunFrames = 0;     // playback frames due while the buffer was empty
  uint64_t overrunFrames = 0;      // playback frames that arrived to a full buffer
  uint64_t droppedFrames = 0;      // capture frames nobody fetched (no or short packet)
  uint64_t feedbackPackets = 0;    // explicit feedback values sent
  uint32_t lastFeedback = 0;       // last value sent, as on the wire (10.14 or 16.16)
  uint64_t partialFramePackets = 0;     // playback packet not a whole number of frames
  uint64_t oversizePackets = 0;         // packet above the endpoint's wMaxPacketSize
  uint64_t extraPacketsInInterval = 0;  // more than one packet on the endpoint in an interval
  uint64_t headerErrors = 0;            // length header missing or not matching the packet
  uint64_t injectedPacketErrors = 0;
  uint64_t injectedDrops = 0;
  uint64_t babblePackets = 0;           // capture packet longer than the host's buffer
  std::map<uint32_t, uint64_t> packetSizes;  // data packet bytes -> count
  bool started = false;         // playback: the buffer reached its start level
  uint32_t bufferedFrames = 0;  // playback buffer level now
  uint32_t startLevel = 0;      // playback start level in frames
  uint32_t capacity = 0;        // playback buffer capacity in frames
};

// Playback data as the device received it (length headers stripped).
struct Recording {
  uint32_t channels = 0;
  uint32_t subslotBytes = 0;
  std::vector<uint8_t> bytes;  // whole frames
  uint64_t Frames() const { return channels && subslotBytes ? bytes.size() / (channels * subslotBytes) : 0; }
};

}  // namespace sim::usb
