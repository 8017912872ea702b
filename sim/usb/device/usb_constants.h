// Numeric values of the USB 2.0 chapter 9 and USB Audio Class 1.0/2.0
// descriptors and requests used by the simulated devices.
#pragma once

#include <cstdint>

namespace sim::usb {

// Descriptor types.
inline constexpr uint8_t kDescDevice = 0x01;
inline constexpr uint8_t kDescConfiguration = 0x02;
inline constexpr uint8_t kDescString = 0x03;
inline constexpr uint8_t kDescInterface = 0x04;
inline constexpr uint8_t kDescEndpoint = 0x05;
inline constexpr uint8_t kDescDeviceQualifier = 0x06;
inline constexpr uint8_t kDescOtherSpeedConfiguration = 0x07;
inline constexpr uint8_t kDescInterfaceAssociation = 0x0B;
inline constexpr uint8_t kDescCsInterface = 0x24;
inline constexpr uint8_t kDescCsEndpoint = 0x25;

// Standard requests.
inline constexpr uint8_t kReqGetStatus = 0x00;
inline constexpr uint8_t kReqClearFeature = 0x01;
inline constexpr uint8_t kReqSetFeature = 0x03;
inline constexpr uint8_t kReqSetAddress = 0x05;
inline constexpr uint8_t kReqGetDescriptor = 0x06;
inline constexpr uint8_t kReqSetDescriptor = 0x07;
inline constexpr uint8_t kReqGetConfiguration = 0x08;
inline constexpr uint8_t kReqSetConfiguration = 0x09;
inline constexpr uint8_t kReqGetInterface = 0x0A;
inline constexpr uint8_t kReqSetInterface = 0x0B;
inline constexpr uint16_t kFeatureEndpointHalt = 0x00;
inline constexpr uint16_t kFeatureRemoteWakeup = 0x01;

// bmRequestType fields.
inline constexpr uint8_t kDirIn = 0x80;
inline constexpr uint8_t kTypeMask = 0x60;
inline constexpr uint8_t kTypeStandard = 0x00;
inline constexpr uint8_t kTypeClass = 0x20;
inline constexpr uint8_t kTypeVendor = 0x40;
inline constexpr uint8_t kRecipientMask = 0x1F;
inline constexpr uint8_t kRecipientDevice = 0x00;
inline constexpr uint8_t kRecipientInterface = 0x01;
inline constexpr uint8_t kRecipientEndpoint = 0x02;

// Endpoint attributes.
inline constexpr uint8_t kXferIsochronous = 0x01;
inline constexpr uint8_t kXferBulk = 0x02;
inline constexpr uint8_t kXferInterrupt = 0x03;
inline constexpr uint8_t kSyncNone = 0x00;
inline constexpr uint8_t kSyncAsync = 0x04;
inline constexpr uint8_t kSyncAdaptive = 0x08;
inline constexpr uint8_t kSyncSync = 0x0C;
inline constexpr uint8_t kUsageData = 0x00;
inline constexpr uint8_t kUsageFeedback = 0x10;
inline constexpr uint8_t kUsageImplicitFeedback = 0x20;

// Audio interface classes.
inline constexpr uint8_t kClassAudio = 0x01;
inline constexpr uint8_t kClassVendor = 0xFF;
inline constexpr uint8_t kSubclassAudioControl = 0x01;
inline constexpr uint8_t kSubclassAudioStreaming = 0x02;
inline constexpr uint8_t kProtocolAudio20 = 0x20;

// Audio-control descriptor subtypes (both versions unless noted).
inline constexpr uint8_t kAcHeader = 0x01;
inline constexpr uint8_t kAcInputTerminal = 0x02;
inline constexpr uint8_t kAcOutputTerminal = 0x03;
inline constexpr uint8_t kAcMixerUnit = 0x04;
inline constexpr uint8_t kAcSelectorUnit = 0x05;
inline constexpr uint8_t kAcFeatureUnit = 0x06;
inline constexpr uint8_t kAc1ProcessingUnit = 0x07;
inline constexpr uint8_t kAc2EffectUnit = 0x07;
inline constexpr uint8_t kAc2ClockSource = 0x0A;
inline constexpr uint8_t kAc2ClockSelector = 0x0B;
inline constexpr uint8_t kAc2ClockMultiplier = 0x0C;

// Audio-streaming descriptor subtypes.
inline constexpr uint8_t kAsGeneral = 0x01;
inline constexpr uint8_t kAsFormatType = 0x02;
inline constexpr uint8_t kEpGeneral = 0x01;
inline constexpr uint8_t kFormatTypeI = 0x01;

// Audio Class 2.0 requests and control selectors.
inline constexpr uint8_t kAc2Cur = 0x01;
inline constexpr uint8_t kAc2Range = 0x02;
inline constexpr uint8_t kCsSamFreqControl = 0x01;
inline constexpr uint8_t kCsClockValidControl = 0x02;
inline constexpr uint8_t kCxClockSelectorControl = 0x01;
inline constexpr uint8_t kTeConnectorControl = 0x02;

// Audio Class 1.0 requests and control selectors.
inline constexpr uint8_t kAc1SetCur = 0x01;
inline constexpr uint8_t kAc1GetCur = 0x81;
inline constexpr uint8_t kAc1GetMin = 0x82;
inline constexpr uint8_t kAc1GetMax = 0x83;
inline constexpr uint8_t kAc1GetRes = 0x84;
inline constexpr uint8_t kAc1SamplingFreqControl = 0x01;

// Feature unit control selectors (same numbers in both versions).
inline constexpr uint8_t kFuMuteControl = 0x01;
inline constexpr uint8_t kFuVolumeControl = 0x02;

// Vendor whose devices take the stream-mode request.
inline constexpr uint16_t kStreamModeVendor = 0x7F3A;

}  // namespace sim::usb
