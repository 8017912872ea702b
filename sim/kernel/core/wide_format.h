// printf-style formatting into 16-bit WCHAR buffers, independent of the C
// library's 32-bit wide functions.
#pragma once
#include <cstdarg>
#include <cstddef>

#include <wdm.h>

namespace sim::kernel {

// Formats into dest (capacity cch characters, including the terminator) and
// always terminates when cch > 0. Returns false if the output was truncated.
// Conversions: d i u x X o c C s S p % (with flags - + 0 space #, width,
// precision, '*', and the size prefixes h hh l ll L I I32 I64 z w), plus %wZ
// (PCUNICODE_STRING) and %Z (PCANSI_STRING). %s and %ls/%ws take wide
// strings, %S and %hs narrow ones; %c takes a WCHAR, %hc/%C a char.
bool FormatWide(WCHAR* dest, size_t cch, const WCHAR* format, va_list args, size_t* written);

}  // namespace sim::kernel
