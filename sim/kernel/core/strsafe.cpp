// <ntstrsafe.h>: bounded copies, concatenation, lengths and formatting.
#include <ntstrsafe.h>

#include <cstdio>

#include "sim/kernel/core/wide_format.h"

namespace {

template <typename Ch>
size_t Length(const Ch* s, size_t max) {
  size_t n = 0;
  while (n < max && s[n]) n++;
  return n;
}

bool ValidCch(size_t cch, size_t max = NTSTRSAFE_MAX_CCH) { return cch != 0 && cch <= max; }

template <typename Ch>
NTSTATUS CopyN(Ch* dest, size_t cch, const Ch* src, size_t maxCopy) {
  if (!ValidCch(cch)) return STATUS_INVALID_PARAMETER;
  size_t i = 0;
  while (i < maxCopy && src[i] && i + 1 < cch) {
    dest[i] = src[i];
    i++;
  }
  dest[i] = 0;
  return (i < maxCopy && src[i]) ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

template <typename Ch>
NTSTATUS Cat(Ch* dest, size_t cch, const Ch* src) {
  if (!ValidCch(cch)) return STATUS_INVALID_PARAMETER;
  size_t used = Length(dest, cch);
  if (used == cch) return STATUS_INVALID_PARAMETER;  // destination not terminated
  return CopyN(dest + used, cch - used, src, (size_t)-1);
}

template <typename Ch>
NTSTATUS LengthCch(const Ch* s, size_t cchMax, size_t* cch) {
  if (!s || !ValidCch(cchMax)) {
    if (cch) *cch = 0;
    return STATUS_INVALID_PARAMETER;
  }
  size_t n = Length(s, cchMax);
  if (n == cchMax) {
    if (cch) *cch = 0;
    return STATUS_INVALID_PARAMETER;
  }
  if (cch) *cch = n;
  return STATUS_SUCCESS;
}

NTSTATUS VPrintfA(char* dest, size_t cch, const char* format, va_list args) {
  if (!ValidCch(cch)) return STATUS_INVALID_PARAMETER;
  int n = vsnprintf(dest, cch, format, args);
  if (n < 0) {
    dest[0] = 0;
    return STATUS_INVALID_PARAMETER;
  }
  return (size_t)n >= cch ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

NTSTATUS VPrintfW(WCHAR* dest, size_t cch, const WCHAR* format, va_list args) {
  if (!ValidCch(cch)) return STATUS_INVALID_PARAMETER;
  return sim::kernel::FormatWide(dest, cch, format, args, nullptr) ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

bool ValidUnicodeString(PCUNICODE_STRING s) {
  return s && (s->Length % 2) == 0 && (s->MaximumLength % 2) == 0 && s->Length <= s->MaximumLength &&
         (s->Buffer || s->MaximumLength == 0);
}

// Copies count characters after the current contents; truncates to the room left.
NTSTATUS AppendCounted(PUNICODE_STRING dest, const WCHAR* src, size_t count) {
  if (!ValidUnicodeString(dest)) return STATUS_INVALID_PARAMETER;
  size_t used = dest->Length / 2, room = dest->MaximumLength / 2 - used;
  size_t n = count < room ? count : room;
  for (size_t i = 0; i < n; i++) dest->Buffer[used + i] = src[i];
  dest->Length = (USHORT)((used + n) * 2);
  return n < count ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

}  // namespace

extern "C" {

NTSTATUS RtlStringCbPrintfA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PCSTR pszFormat, ...) {
  va_list ap;
  va_start(ap, pszFormat);
  NTSTATUS s = VPrintfA(pszDest, cbDest, pszFormat, ap);
  va_end(ap);
  return s;
}

NTSTATUS RtlStringCchPrintfA(NTSTRSAFE_PSTR pszDest, size_t cchDest, NTSTRSAFE_PCSTR pszFormat, ...) {
  va_list ap;
  va_start(ap, pszFormat);
  NTSTATUS s = VPrintfA(pszDest, cchDest, pszFormat, ap);
  va_end(ap);
  return s;
}

NTSTATUS RtlStringCbVPrintfA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PCSTR pszFormat, va_list argList) {
  return VPrintfA(pszDest, cbDest, pszFormat, argList);
}

NTSTATUS RtlStringCchVPrintfA(NTSTRSAFE_PSTR pszDest, size_t cchDest, NTSTRSAFE_PCSTR pszFormat, va_list argList) {
  return VPrintfA(pszDest, cchDest, pszFormat, argList);
}

NTSTATUS RtlStringCbCopyA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PCSTR pszSrc) {
  return CopyN(pszDest, cbDest, pszSrc, (size_t)-1);
}

NTSTATUS RtlStringCchCopyA(NTSTRSAFE_PSTR pszDest, size_t cchDest, NTSTRSAFE_PCSTR pszSrc) {
  return CopyN(pszDest, cchDest, pszSrc, (size_t)-1);
}

NTSTATUS RtlStringCbCatA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PCSTR pszSrc) {
  return Cat(pszDest, cbDest, pszSrc);
}

NTSTATUS RtlStringCchCatA(NTSTRSAFE_PSTR pszDest, size_t cchDest, NTSTRSAFE_PCSTR pszSrc) {
  return Cat(pszDest, cchDest, pszSrc);
}

NTSTATUS RtlStringCbLengthA(NTSTRSAFE_PCSTR psz, size_t cbMax, size_t* pcbLength) {
  return LengthCch(psz, cbMax, pcbLength);
}

NTSTATUS RtlStringCchLengthA(NTSTRSAFE_PCSTR psz, size_t cchMax, size_t* pcchLength) {
  return LengthCch(psz, cchMax, pcchLength);
}

NTSTATUS RtlStringCbPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszFormat, ...) {
  va_list ap;
  va_start(ap, pszFormat);
  NTSTATUS s = VPrintfW(pszDest, cbDest / sizeof(WCHAR), pszFormat, ap);
  va_end(ap);
  return s;
}

NTSTATUS RtlStringCchPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszFormat, ...) {
  va_list ap;
  va_start(ap, pszFormat);
  NTSTATUS s = VPrintfW(pszDest, cchDest, pszFormat, ap);
  va_end(ap);
  return s;
}

NTSTATUS RtlStringCbVPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszFormat, va_list argList) {
  return VPrintfW(pszDest, cbDest / sizeof(WCHAR), pszFormat, argList);
}

NTSTATUS RtlStringCchVPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszFormat,
                              va_list argList) {
  return VPrintfW(pszDest, cchDest, pszFormat, argList);
}

NTSTATUS RtlStringCbCopyW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszSrc) {
  return CopyN(pszDest, cbDest / sizeof(WCHAR), pszSrc, (size_t)-1);
}

NTSTATUS RtlStringCchCopyW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszSrc) {
  return CopyN(pszDest, cchDest, pszSrc, (size_t)-1);
}

NTSTATUS RtlStringCchCopyNW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszSrc, size_t cchToCopy) {
  return CopyN(pszDest, cchDest, pszSrc, cchToCopy);
}

NTSTATUS RtlStringCbCatW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszSrc) {
  return Cat(pszDest, cbDest / sizeof(WCHAR), pszSrc);
}

NTSTATUS RtlStringCchCatW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszSrc) {
  return Cat(pszDest, cchDest, pszSrc);
}

NTSTATUS RtlStringCbLengthW(NTSTRSAFE_PCWSTR psz, size_t cbMax, size_t* pcbLength) {
  NTSTATUS s = LengthCch(psz, cbMax / sizeof(WCHAR), pcbLength);
  if (pcbLength) *pcbLength *= sizeof(WCHAR);
  return s;
}

NTSTATUS RtlStringCchLengthW(NTSTRSAFE_PCWSTR psz, size_t cchMax, size_t* pcchLength) {
  return LengthCch(psz, cchMax, pcchLength);
}

NTSTATUS RtlUnicodeStringPrintf(PUNICODE_STRING DestinationString, NTSTRSAFE_PCWSTR pszFormat, ...) {
  if (!ValidUnicodeString(DestinationString) || DestinationString->MaximumLength == 0)
    return STATUS_INVALID_PARAMETER;
  size_t cch = DestinationString->MaximumLength / sizeof(WCHAR);
  // Format with room for a terminator, which is not part of the result.
  WCHAR* tmp = static_cast<WCHAR*>(ExAllocatePoolWithTag(PagedPool, (cch + 1) * sizeof(WCHAR), 0x53747253));
  if (!tmp) return STATUS_INSUFFICIENT_RESOURCES;
  va_list ap;
  va_start(ap, pszFormat);
  size_t written = 0;
  bool complete = sim::kernel::FormatWide(tmp, cch + 1, pszFormat, ap, &written);
  va_end(ap);
  memcpy(DestinationString->Buffer, tmp, written * sizeof(WCHAR));
  DestinationString->Length = (USHORT)(written * sizeof(WCHAR));
  ExFreePoolWithTag(tmp, 0x53747253);
  return complete ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

NTSTATUS RtlUnicodeStringCopyString(PUNICODE_STRING DestinationString, NTSTRSAFE_PCWSTR pszSrc) {
  if (!ValidUnicodeString(DestinationString)) return STATUS_INVALID_PARAMETER;
  DestinationString->Length = 0;
  return AppendCounted(DestinationString, pszSrc, Length(pszSrc, NTSTRSAFE_UNICODE_STRING_MAX_CCH));
}

NTSTATUS RtlUnicodeStringCatString(PUNICODE_STRING DestinationString, NTSTRSAFE_PCWSTR pszSrc) {
  return AppendCounted(DestinationString, pszSrc, Length(pszSrc, NTSTRSAFE_UNICODE_STRING_MAX_CCH));
}

NTSTATUS RtlUnicodeStringCopy(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
  if (!ValidUnicodeString(DestinationString) || !ValidUnicodeString(SourceString)) return STATUS_INVALID_PARAMETER;
  DestinationString->Length = 0;
  return AppendCounted(DestinationString, SourceString->Buffer, SourceString->Length / 2);
}

NTSTATUS RtlUnicodeStringCat(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
  if (!ValidUnicodeString(SourceString)) return STATUS_INVALID_PARAMETER;
  return AppendCounted(DestinationString, SourceString->Buffer, SourceString->Length / 2);
}

}  // extern "C"
