// The sample format converters: one sample of every width pair, the formats
// a converter is bound for, and frames of different channel counts.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "platform.h"
#include "engine/converters.h"

namespace trox::test {
namespace {

using Bytes = std::array<UCHAR, 4>;

struct SampleCase {
  const char* what;
  bool mix;
  ULONG sourceBits;
  ULONG destinationBits;
  Bytes source;
  Bytes destination;  // before; bytes past the destination width must stay
  Bytes expected;
};

// One frame of one channel through a PCM converter of the pair.
Bytes Convert(const SampleCase& c) {
  Converter conv = {};
  EXPECT_EQ(ConverterSelect(&conv, kSampleFormatPcm, c.sourceBits, 1, kSampleFormatPcm, c.destinationBits, 1, 0),
            STATUS_SUCCESS);
  Bytes destination = c.destination;
  const UCHAR* end = c.mix ? ConverterApplyMix(&conv, destination.data(), c.source.data(), 1)
                           : ConverterApplyCopy(&conv, destination.data(), c.source.data(), 1);
  EXPECT_EQ(end, c.source.data() + c.sourceBits / 8);
  return destination;
}

TEST(Converter, ConvertsOneSampleOfEveryWidthPair) {
  const Bytes aa = {0xAA, 0xAA, 0xAA, 0xAA};
  const SampleCase cases[] = {
      {"mix 16 from 16 saturates up", true, 16, 16, {0x00, 0x70}, {0x00, 0x70}, {0xFF, 0x7F}},
      {"mix 16 from 16 saturates down", true, 16, 16, {0x00, 0x90}, {0x00, 0x90}, {0x00, 0x80}},
      {"mix 24 from 16 keeps the low byte", true, 16, 24, {0x34, 0x12}, {0x01}, {0x01, 0x34, 0x12}},
      {"mix 32 from 16 negative", true, 16, 32, {0x00, 0x80}, {0x01}, {0x01, 0x00, 0x00, 0x80}},
      {"mix 16 from negative 24 saturates", true, 24, 16, {0x00, 0x00, 0x90}, {0x00, 0x90}, {0x00, 0x80}},
      {"mix 24 from 24 saturates", true, 24, 24, {0x00, 0x00, 0x40}, {0x00, 0x00, 0x40}, {0xFF, 0xFF, 0x7F}},
      {"mix 32 from 24", true, 24, 32, {0x56, 0x34, 0x12}, {0xFF}, {0xFF, 0x56, 0x34, 0x12}},
      {"mix 16 from 32 truncates", true, 32, 16, {0xFF, 0xFF, 0x01, 0x00}, {0x01, 0x00}, {0x02, 0x00}},
      {"mix 24 from 32 truncates", true, 32, 24, {0xFF, 0xFF, 0xFF, 0xFF}, {0x00, 0x01}, {0xFF, 0x00}},
      {"mix 32 from 32 saturates", true, 32, 32, {0x01}, {0xFF, 0xFF, 0xFF, 0x7F}, {0xFF, 0xFF, 0xFF, 0x7F}},
      {"copy 16 from 16", false, 16, 16, {0x34, 0x12}, aa, {0x34, 0x12, 0xAA, 0xAA}},
      {"copy 24 from 16", false, 16, 24, {0x34, 0x12}, aa, {0x00, 0x34, 0x12, 0xAA}},
      {"copy 32 from 16", false, 16, 32, {0xFE, 0xFF}, aa, {0x00, 0x00, 0xFE, 0xFF}},
      {"copy 16 from 24", false, 24, 16, {0x56, 0x34, 0x12}, aa, {0x34, 0x12, 0xAA, 0xAA}},
      {"copy 24 from 24", false, 24, 24, {0x56, 0x34, 0x12}, aa, {0x56, 0x34, 0x12, 0xAA}},
      {"copy 32 from 24", false, 24, 32, {0x56, 0x34, 0x12}, aa, {0x00, 0x56, 0x34, 0x12}},
      {"copy 16 from 32", false, 32, 16, {0x78, 0x56, 0x34, 0x12}, aa, {0x34, 0x12, 0xAA, 0xAA}},
      {"copy 24 from 32", false, 32, 24, {0x78, 0x56, 0x34, 0x12}, aa, {0x56, 0x34, 0x12, 0xAA}},
      {"copy 32 from 32", false, 32, 32, {0x78, 0x56, 0x34, 0x12}, aa, {0x78, 0x56, 0x34, 0x12}},
  };
  for (const SampleCase& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Convert(c), c.expected);
  }
}

// Speaks the format it is made with.
class TestEndpoint : public CStreamEndpoint {
 public:
  TestEndpoint(USHORT type, ULONG bits, ULONG channels, ULONG dsd)
      : type_(type), bits_(bits), channels_(channels), dsd_(dsd) {}
  ULONG GetDsdMode() override { return dsd_; }
  USHORT GetFormatType() override { return type_; }
  ULONG GetBitsPerSample() override { return bits_; }
  ULONG GetChannels() override { return channels_; }
  ULONG GetBytesPerFrame() override { return channels_ * bits_ / 8; }
  ULONG GetSampleRate() override { return 48000; }
  USHORT type_;
  ULONG bits_, channels_, dsd_;
};

struct BindCase {
  const char* what;
  TestEndpoint source;
  TestEndpoint destination;
  NTSTATUS expected;
};

TEST(Converter, BindsOnlyFormatsItConverts) {
  BindCase cases[] = {
      {"PCM 16 to 24", {1, 16, 2, 0}, {1, 24, 2, 0}, STATUS_SUCCESS},
      {"PCM 16 to 8", {1, 16, 2, 0}, {1, 8, 2, 0}, STATUS_NOT_SUPPORTED},
      {"PCM 20 bits", {1, 20, 2, 0}, {1, 16, 2, 0}, STATUS_NOT_SUPPORTED},
      {"PCM to float", {1, 32, 2, 0}, {3, 32, 2, 0}, STATUS_NOT_SUPPORTED},
      {"float to PCM", {3, 32, 2, 0}, {1, 32, 2, 0}, STATUS_NOT_SUPPORTED},
      {"float 24 bits", {3, 24, 2, 0}, {3, 24, 2, 0}, STATUS_NOT_SUPPORTED},
      {"float 32 bits", {3, 32, 2, 0}, {3, 32, 2, 0}, STATUS_SUCCESS},
      {"DSD 24 bits", {1, 24, 2, 1}, {1, 24, 2, 1}, STATUS_NOT_SUPPORTED},
      {"DSD 32 bits", {1, 32, 2, 1}, {1, 32, 2, 1}, STATUS_SUCCESS},
      {"DSD into PCM", {1, 32, 2, 1}, {1, 32, 2, 0}, STATUS_NOT_SUPPORTED},
      {"no source channels", {1, 16, 0, 0}, {1, 16, 2, 0}, STATUS_NOT_SUPPORTED},
      {"no destination channels", {1, 16, 2, 0}, {1, 16, 0, 0}, STATUS_NOT_SUPPORTED},
      {"more channels than a stride holds", {1, 32, 0x10000, 0}, {1, 32, 0x10000, 0}, STATUS_NOT_SUPPORTED},
  };
  for (BindCase& c : cases) {
    SCOPED_TRACE(c.what);
    Converter conv = {};
    ASSERT_EQ(ConverterSelect(&conv, 1, 16, 2, 1, 16, 2, 0), STATUS_SUCCESS);
    EXPECT_EQ(ConverterBind(&conv, &c.source, &c.destination), c.expected);
    // A failure leaves nothing of the converter it replaced.
    const bool cleared = conv.Mix == nullptr && conv.Copy == nullptr && conv.Channels == 0 &&
                         conv.DestinationStride == 0 && conv.SourceStride == 0;
    EXPECT_EQ(cleared, !NT_SUCCESS(c.expected));
  }
  Converter conv = {};
  EXPECT_EQ(ConverterBind(&conv, nullptr, &cases[0].destination), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ConverterBind(&conv, &cases[0].source, nullptr), STATUS_INVALID_PARAMETER);
}

// Stereo 16-bit frames copied, then mixed again, into a destination of
// `channels` 32-bit channels prefilled with 0xAA bytes.
TEST(Converter, ConvertsOnlyTheChannelsBothSidesHave) {
  const SHORT source[3][2] = {{0x0111, -0x0222}, {0x0333, -0x0444}, {0x0555, -0x0666}};
  const UCHAR* sourceBytes = reinterpret_cast<const UCHAR*>(source);
  for (ULONG channels : {4u, 2u, 1u}) {
    SCOPED_TRACE(channels);
    Converter conv = {};
    ASSERT_EQ(ConverterSelect(&conv, 1, 16, 2, 1, 32, channels, 0), STATUS_SUCCESS);
    std::vector<LONG> destination(3 * channels, static_cast<LONG>(0xAAAAAAAA));
    PUCHAR destinationBytes = reinterpret_cast<PUCHAR>(destination.data());
    EXPECT_EQ(ConverterApplyCopy(&conv, destinationBytes, sourceBytes, 3), sourceBytes + sizeof(source));
    EXPECT_EQ(ConverterApplyMix(&conv, destinationBytes, sourceBytes, 3), sourceBytes + sizeof(source));
    for (ULONG i = 0; i < destination.size(); ++i) {
      const ULONG frame = i / channels;
      const ULONG channel = i % channels;
      const LONG expected = channel < 2 ? source[frame][channel] * 0x20000 : static_cast<LONG>(0xAAAAAAAA);
      EXPECT_EQ(destination[i], expected) << "frame " << frame << " channel " << channel;
    }
  }
}

TEST(Converter, FloatAndDsdMixesDoNotSum) {
  for (ULONG dsd : {0u, 1u}) {
    Converter conv = {};
    ASSERT_EQ(ConverterSelect(&conv, dsd ? 1 : 3, 32, 1, dsd ? 1 : 3, 32, 1, dsd), STATUS_SUCCESS);
    const Bytes later = {0x01, 0x02, 0x03, 0x04};
    Bytes destination = {0x10, 0x20, 0x30, 0x40};
    ConverterApplyMix(&conv, destination.data(), later.data(), 1);
    EXPECT_EQ(destination, later) << "DSD mode " << dsd;
  }
}

}  // namespace
}  // namespace trox::test
