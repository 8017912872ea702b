// Pool tags of the driver. The values read as the four characters in a pool
// dump (little-endian): "USBA", "PcCr", "BPMT".
#pragma once
#include "platform.h"

// Every allocation of the driver that has no tag of its own.
constexpr ULONG kPoolTagDriver = 0x41425355;  // "USBA"
// The adapter object and the WaveRT miniport object.
constexpr ULONG kPoolTagAdapterObject = 0x72436350;  // "PcCr"
// A device's playback staging buffer.
constexpr ULONG kPoolTagPlaybackStaging = 0x544D5042;  // "BPMT"
