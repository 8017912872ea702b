// Trace events of the audio function model (block 3000). The values each
// event carries are listed after it, in order.
#pragma once
#include "base/trace_events.h"

#define TROX_AUDIO_EVENT(n) static_cast<TraceEvent>(TraceAudioFunctionFirst + (n))

// Attach.
constexpr TraceEvent TraceAudioAttach = TROX_AUDIO_EVENT(1);              // idVendor, idProduct, interface class
constexpr TraceEvent TraceAudioAttachDone = TROX_AUDIO_EVENT(2);          // status, class 2.0, streams, entities
constexpr TraceEvent TraceAudioNoControlInterface = TROX_AUDIO_EVENT(3);  // interface class
constexpr TraceEvent TraceAudioNoHeader = TROX_AUDIO_EVENT(4);            // offset, bLength, type, subtype
constexpr TraceEvent TraceAudioHeaderLengthBad = TROX_AUDIO_EVENT(5);     // header offset, total length, room
constexpr TraceEvent TraceAudioUsbAttachFailed = TROX_AUDIO_EVENT(6);     // status
constexpr TraceEvent TraceAudioTerminalLinkBad =
    TROX_AUDIO_EVENT(7);  // interface, terminal link, why (1 no AS_GENERAL, 2 none, 3 not a terminal, 4 no clock)
constexpr TraceEvent TraceAudioSharedClock = TROX_AUDIO_EVENT(8);  // shared, playback interface, capture interface

// Entities.
constexpr TraceEvent TraceAudioEntity = TROX_AUDIO_EVENT(20);             // bLength, type, subtype, ID
constexpr TraceEvent TraceAudioEntityWalkEnd = TROX_AUDIO_EVENT(21);      // offset, subtype
constexpr TraceEvent TraceAudioEntityTooShort = TROX_AUDIO_EVENT(22);     // offset, subtype, bLength, needed
constexpr TraceEvent TraceAudioEntityAllocFailed = TROX_AUDIO_EVENT(23);  // subtype, ID
constexpr TraceEvent TraceAudioLinkMissing = TROX_AUDIO_EVENT(24);     // entity ID, linked ID, what (1 source, 2 clock)
constexpr TraceEvent TraceAudioLinkStatus = TROX_AUDIO_EVENT(25);      // entity ID, status
constexpr TraceEvent TraceAudioClockInClass1 = TROX_AUDIO_EVENT(26);   // entity ID
constexpr TraceEvent TraceAudioProcessingUnit = TROX_AUDIO_EVENT(27);  // entity ID

// Streaming interfaces.
constexpr TraceEvent TraceAudioStreamAllocFailed = TROX_AUDIO_EVENT(40);     // interface, size
constexpr TraceEvent TraceAudioStreamParseFailed = TROX_AUDIO_EVENT(41);     // interface, status
constexpr TraceEvent TraceAudioNoAlternate1 = TROX_AUDIO_EVENT(42);          // interface
constexpr TraceEvent TraceAudioAlternate1NoEndpoint = TROX_AUDIO_EVENT(43);  // interface, bNumEndpoints
constexpr TraceEvent TraceAudioAlternateMissing = TROX_AUDIO_EVENT(44);      // interface, alternate
constexpr TraceEvent TraceAudioStream = TROX_AUDIO_EVENT(45);                // interface, direction, alternates
constexpr TraceEvent TraceAudioAlternate =
    TROX_AUDIO_EVENT(46);  // interface, alternate, data endpoint, feedback endpoint
constexpr TraceEvent TraceAudioEndpointUnusable = TROX_AUDIO_EVENT(47);    // interface, alternate, endpoint, bInterval
constexpr TraceEvent TraceAudioDescriptorTooShort = TROX_AUDIO_EVENT(48);  // interface, alternate, subtype, bLength

// Configuration and pipes.
constexpr TraceEvent TraceAudioConfigureFailed =
    TROX_AUDIO_EVENT(60);  // step (1 list, 2 configuration, 3 alternate), status, interface
constexpr TraceEvent TraceAudioPipeMissing = TROX_AUDIO_EVENT(61);     // interface, alternate, endpoint
constexpr TraceEvent TraceAudioPipeInterval = TROX_AUDIO_EVENT(62);    // endpoint, interval found, interval used
constexpr TraceEvent TraceAudioFeedbackPeriod = TROX_AUDIO_EVENT(63);  // interface, endpoint, period

// Clock and terminal requests.
constexpr TraceEvent TraceAudioRequestFailed = TROX_AUDIO_EVENT(80);  // entity ID, bRequest << 8 | selector, status
constexpr TraceEvent TraceAudioAnswerShort =
    TROX_AUDIO_EVENT(81);  // entity ID, bRequest << 8 | selector, asked, returned
constexpr TraceEvent TraceAudioRangeCountBad = TROX_AUDIO_EVENT(82);         // entity ID, subranges, second count
constexpr TraceEvent TraceAudioRangeAllocFailed = TROX_AUDIO_EVENT(83);      // entity ID, size
constexpr TraceEvent TraceAudioRateNotSupported = TROX_AUDIO_EVENT(84);      // entity ID, rate
constexpr TraceEvent TraceAudioSelectorInputBad = TROX_AUDIO_EVENT(85);      // entity ID, input, bNrInPins
constexpr TraceEvent TraceAudioSelectorInputMissing = TROX_AUDIO_EVENT(86);  // entity ID, input, source ID
constexpr TraceEvent TraceAudioSelectorNoInputs = TROX_AUDIO_EVENT(87);      // entity ID
constexpr TraceEvent TraceAudioClockInvalid = TROX_AUDIO_EVENT(88);          // entity ID, status, value

// Transfer completion checks.
constexpr TraceEvent TraceAudioCapturePacketOutside =
    TROX_AUDIO_EVENT(100);  // packet index, length, minimum << 32 | maximum, start frame
constexpr TraceEvent TraceAudioCaptureEmpty = TROX_AUDIO_EVENT(101);     // packets, start frame, bytes filled
constexpr TraceEvent TraceAudioCaptureNoStream = TROX_AUDIO_EVENT(102);  // packets
constexpr TraceEvent TraceAudioCaptureUnmapped = TROX_AUDIO_EVENT(103);  // packets

// Format selection and sample rate.
constexpr TraceEvent TraceFormatTypeNotSupported = TROX_AUDIO_EVENT(200);  // direction, format type
constexpr TraceEvent TraceFormatNoStream = TROX_AUDIO_EVENT(201);          // direction, operation
constexpr TraceEvent TraceFormatRateOutside = TROX_AUDIO_EVENT(202);       // rate, minimum, maximum
constexpr TraceEvent TraceFormatNoMatch = TROX_AUDIO_EVENT(203);  // interface, format type, channels, bits << 32 | rate
constexpr TraceEvent TraceFormatNotTypeI = TROX_AUDIO_EVENT(204);  // interface, alternate, bFormatType
constexpr TraceEvent TraceFormatRateConfirm =
    TROX_AUDIO_EVENT(205);  // interface, alternate, rate, status << 32 | rate read
constexpr TraceEvent TraceFormatRestoreFailed = TROX_AUDIO_EVENT(206);   // interface, alternate, status
constexpr TraceEvent TraceFormatRateNotInTable = TROX_AUDIO_EVENT(207);  // rate
constexpr TraceEvent TraceFormatSizesBad = TROX_AUDIO_EVENT(208);        // interface, alternate, bytes per frame, rate
constexpr TraceEvent TraceFormatStepFailed =
    TROX_AUDIO_EVENT(209);  // interface, step (1 clock, 2 alternate, 3 pipes, 4 endpoint rate, 5 frame counts), status
constexpr TraceEvent TraceFormatSelected =
    TROX_AUDIO_EVENT(210);  // interface, alternate, rate, nominal << 32 | maximum packet bytes
constexpr TraceEvent TraceFormatDeviceRateFailed = TROX_AUDIO_EVENT(211);  // interface, rate, status
constexpr TraceEvent TraceFormatRangeNotTypeI = TROX_AUDIO_EVENT(212);     // interface, alternate
constexpr TraceEvent TraceFormatStreamModeFailed = TROX_AUDIO_EVENT(213);  // interface, value, status

// Isochronous stream transfers.
constexpr TraceEvent TraceTransferNoPipe =
    TROX_AUDIO_EVENT(300);  // direction, operation (1 playback, 2 capture, 3 feedback)
constexpr TraceEvent TraceTransferNoResources =
    TROX_AUDIO_EVENT(301);  // operation, what (1 context, 2 URB, 3 staging, 4 mapping)
constexpr TraceEvent TraceTransferTooManyPackets = TROX_AUDIO_EVENT(302);  // mode, length, milliseconds
constexpr TraceEvent TraceTransferPlanBad =
    TROX_AUDIO_EVENT(303);  // mode, length, reason (1 no frame size, 2 no pattern)
constexpr TraceEvent TraceFeedbackReadFailed = TROX_AUDIO_EVENT(304);     // status, start frame
constexpr TraceEvent TraceFeedbackPacketSkipped = TROX_AUDIO_EVENT(305);  // packet index, length, offset
constexpr TraceEvent TraceFeedbackUnmapped = TROX_AUDIO_EVENT(306);       // packets
constexpr TraceEvent TraceFeedbackZeroValue = TROX_AUDIO_EVENT(307);      // packet index

#undef TROX_AUDIO_EVENT
