#include "audiofunction/rate_pattern.h"

namespace {

constexpr ULONG Gcd(ULONG a, ULONG b) {
  while (b != 0) {
    const ULONG t = a % b;
    a = b;
    b = t;
  }
  return a;
}

// ceil(k × rate / unit), exact in 64 bits.
constexpr ULONGLONG CeilFrames(ULONGLONG k, ULONG rate, ULONG unit) { return (k * rate + unit - 1) / unit; }

// Entry i is the whole frames that become due in packet i when the packets
// share rate / unit frames each; the pattern ends where the fraction does.
template <ULONG Capacity>
constexpr USHORT FillPattern(USHORT (&pattern)[Capacity], ULONG rate, ULONG unit) {
  const ULONG length = unit / Gcd(rate, unit);
  for (ULONG i = 0; i < length && i < Capacity; ++i) {
    pattern[i] = static_cast<USHORT>(CeilFrames(i + 1, rate, unit) - CeilFrames(i, rate, unit));
  }
  return static_cast<USHORT>(length);
}

constexpr RatePatternRow MakeRow(ULONG rate) {
  RatePatternRow row{};
  row.Rate = rate;
  row.FullSpeedLength = FillPattern(row.FullSpeed, rate, 1000);
  row.HighSpeedLength = FillPattern(row.HighSpeed, rate, 8000);
  if (rate == 705600) {
    // The device expects this order at full speed.
    const USHORT fixed[5] = {706, 705, 706, 705, 706};
    for (ULONG i = 0; i < 5; ++i) {
      row.FullSpeed[i] = fixed[i];
    }
  }
  return row;
}

constexpr RatePatternRow kRows[] = {
    MakeRow(768000), MakeRow(705600), MakeRow(384000), MakeRow(352800), MakeRow(192000),
    MakeRow(176400), MakeRow(96000),  MakeRow(88200),  MakeRow(48000),  MakeRow(44100),
    MakeRow(32000),  MakeRow(22050),  MakeRow(16000),  MakeRow(11025),  MakeRow(8000),
};
constexpr ULONG kRowCount = sizeof(kRows) / sizeof(kRows[0]);

constexpr bool RowsFit() {
  for (const RatePatternRow& row : kRows) {
    if (row.FullSpeedLength > kRatePatternFullSpeedMax || row.HighSpeedLength > kRatePatternHighSpeedMax) {
      return false;
    }
  }
  return true;
}
static_assert(RowsFit(), "a rate pattern is longer than its row");
static_assert(kRows[9].Rate == 44100 && kRows[9].FullSpeedLength == 10 && kRows[9].HighSpeedLength == 80);

}  // namespace

const RatePatternRow* FindRatePattern(ULONG Rate) {
  for (const RatePatternRow& row : kRows) {
    if (row.Rate == Rate) {
      return &row;
    }
  }
  return nullptr;
}

ULONG RatePatternCount() { return kRowCount; }

const RatePatternRow* RatePatternAt(ULONG Index) { return Index < kRowCount ? &kRows[Index] : nullptr; }
