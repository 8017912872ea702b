// Counted strings (UNICODE_STRING, ANSI_STRING) and conversions.
#include <cstdio>

#include "sim/kernel/core/pool.h"
#include "sim/kernel/core/verifier.h"

namespace {

size_t WideLength(PCWSTR s) {
  size_t n = 0;
  while (s[n]) n++;
  return n;
}

// Appends bytes to a counted string, terminating when there is room.
NTSTATUS Append(PUNICODE_STRING dest, const WCHAR* src, size_t bytes) {
  if (bytes == 0) return STATUS_SUCCESS;
  if ((size_t)dest->Length + bytes > dest->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
  memmove(reinterpret_cast<char*>(dest->Buffer) + dest->Length, src, bytes);
  dest->Length = (USHORT)(dest->Length + bytes);
  if ((size_t)dest->Length + sizeof(WCHAR) <= dest->MaximumLength) dest->Buffer[dest->Length / sizeof(WCHAR)] = 0;
  return STATUS_SUCCESS;
}

int DigitValue(WCHAR c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'z') return c - 'a' + 10;
  if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
  return 99;
}

PVOID AllocateStringBuffer(SIZE_T bytes) { return ExAllocatePoolWithTag(PagedPool, bytes, sim::pool::kRtlStringTag); }

}  // namespace

extern "C" {

SIZE_T RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length) {
  const auto* a = static_cast<const unsigned char*>(Source1);
  const auto* b = static_cast<const unsigned char*>(Source2);
  SIZE_T i = 0;
  while (i < Length && a[i] == b[i]) i++;
  return i;
}

void RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  if (!SourceString) {
    DestinationString->Length = DestinationString->MaximumLength = 0;
    DestinationString->Buffer = nullptr;
    return;
  }
  size_t bytes = WideLength(SourceString) * sizeof(WCHAR);
  if (bytes > 0xfffc) bytes = 0xfffc;
  DestinationString->Length = (USHORT)bytes;
  DestinationString->MaximumLength = (USHORT)(bytes + sizeof(WCHAR));
  DestinationString->Buffer = const_cast<PWCH>(SourceString);
}

void RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString) {
  RtlInitString(DestinationString, SourceString);
}

void RtlInitString(PSTRING DestinationString, PCSZ SourceString) {
  if (!SourceString) {
    DestinationString->Length = DestinationString->MaximumLength = 0;
    DestinationString->Buffer = nullptr;
    return;
  }
  size_t n = strlen(SourceString);
  if (n > 0xfffe) n = 0xfffe;
  DestinationString->Length = (USHORT)n;
  DestinationString->MaximumLength = (USHORT)(n + 1);
  DestinationString->Buffer = const_cast<PCHAR>(SourceString);
}

WCHAR RtlUpcaseUnicodeChar(WCHAR c) {
  if (c >= 'a' && c <= 'z') return (WCHAR)(c - 0x20);
  if (c < 0x80) return c;
  if (c >= 0xe0 && c <= 0xfe && c != 0xf7) return (WCHAR)(c - 0x20);
  if (c == 0xff) return 0x178;
  if (c >= 0x100 && c <= 0x17f && c != 0x178 && c != 0x130 && c != 0x131 && c != 0x138 && c != 0x149 && c != 0x17f) {
    // Latin Extended-A pairs: even = upper in 0x100..0x137 and 0x14a..0x177, odd = upper elsewhere.
    bool evenUpper = (c <= 0x137) || (c >= 0x14a && c <= 0x177);
    if (evenUpper && (c & 1)) return (WCHAR)(c - 1);
    if (!evenUpper && !(c & 1)) return (WCHAR)(c - 1);
    return c;
  }
  if (c >= 0x3b1 && c <= 0x3c9 && c != 0x3c2) return (WCHAR)(c - 0x20);  // Greek
  if (c >= 0x430 && c <= 0x44f) return (WCHAR)(c - 0x20);                // Cyrillic
  if (c >= 0x450 && c <= 0x45f) return (WCHAR)(c - 0x50);
  if (c >= 0xff41 && c <= 0xff5a) return (WCHAR)(c - 0x20);  // full-width Latin
  return c;
}

WCHAR RtlDowncaseUnicodeChar(WCHAR c) {
  if (c >= 'A' && c <= 'Z') return (WCHAR)(c + 0x20);
  if (c < 0x80) return c;
  if (c >= 0xc0 && c <= 0xde && c != 0xd7) return (WCHAR)(c + 0x20);
  if (c == 0x178) return 0xff;
  if (c >= 0x391 && c <= 0x3a9 && c != 0x3a2) return (WCHAR)(c + 0x20);
  if (c >= 0x410 && c <= 0x42f) return (WCHAR)(c + 0x20);
  if (c >= 0x400 && c <= 0x40f) return (WCHAR)(c + 0x50);
  if (c >= 0xff21 && c <= 0xff3a) return (WCHAR)(c + 0x20);
  if (c >= 0x100 && c <= 0x17f && RtlUpcaseUnicodeChar((WCHAR)(c + 1)) == c) return (WCHAR)(c + 1);
  return c;
}

LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
  size_t n1 = String1->Length / sizeof(WCHAR), n2 = String2->Length / sizeof(WCHAR);
  size_t n = n1 < n2 ? n1 : n2;
  for (size_t i = 0; i < n; i++) {
    WCHAR a = String1->Buffer[i], b = String2->Buffer[i];
    if (CaseInSensitive) {
      a = RtlUpcaseUnicodeChar(a);
      b = RtlUpcaseUnicodeChar(b);
    }
    if (a != b) return (LONG)a - (LONG)b;
  }
  return (LONG)n1 - (LONG)n2;
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
  return String1->Length == String2->Length && RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}

BOOLEAN RtlPrefixUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
  if (String1->Length > String2->Length) return FALSE;
  UNICODE_STRING head = *String2;
  head.Length = String1->Length;
  return RtlCompareUnicodeString(String1, &head, CaseInSensitive) == 0;
}

void RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
  if (!SourceString) {
    DestinationString->Length = 0;
    return;
  }
  USHORT bytes = SourceString->Length < DestinationString->MaximumLength ? SourceString->Length
                                                                          : DestinationString->MaximumLength;
  bytes &= (USHORT)~1u;
  memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
  DestinationString->Length = bytes;
  if ((size_t)bytes + sizeof(WCHAR) <= DestinationString->MaximumLength)
    DestinationString->Buffer[bytes / sizeof(WCHAR)] = 0;
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
  if (!Source) return STATUS_SUCCESS;
  return Append(Destination, Source, WideLength(Source) * sizeof(WCHAR));
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
  return Append(Destination, Source->Buffer, Source->Length);
}

void RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
  if (UnicodeString->Buffer) ExFreePoolWithTag(UnicodeString->Buffer, sim::pool::kRtlStringTag);
  UnicodeString->Buffer = nullptr;
  UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

void RtlFreeAnsiString(PANSI_STRING AnsiString) {
  if (AnsiString->Buffer) ExFreePoolWithTag(AnsiString->Buffer, sim::pool::kRtlStringTag);
  AnsiString->Buffer = nullptr;
  AnsiString->Length = AnsiString->MaximumLength = 0;
}

NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) {
  if (Base == 0) Base = 10;
  if (Base != 2 && Base != 8 && Base != 10 && Base != 16) return STATUS_INVALID_PARAMETER;
  WCHAR digits[33];
  int n = 0;
  do {
    ULONG d = Value % Base;
    digits[n++] = (WCHAR)(d < 10 ? '0' + d : 'A' + d - 10);
    Value /= Base;
  } while (Value);
  size_t bytes = (size_t)n * sizeof(WCHAR);
  if (bytes > String->MaximumLength) return STATUS_BUFFER_OVERFLOW;
  for (int i = 0; i < n; i++) String->Buffer[i] = digits[n - 1 - i];
  String->Length = (USHORT)bytes;
  if (bytes + sizeof(WCHAR) <= String->MaximumLength) String->Buffer[n] = 0;
  return STATUS_SUCCESS;
}

NTSTATUS RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value) {
  if (Base != 0 && Base != 2 && Base != 8 && Base != 10 && Base != 16) return STATUS_INVALID_PARAMETER;
  const WCHAR* s = String->Buffer;
  size_t n = String->Length / sizeof(WCHAR), i = 0;
  while (i < n && s[i] <= ' ') i++;
  bool negative = false;
  if (i < n && (s[i] == '-' || s[i] == '+')) negative = s[i++] == '-';
  if (Base == 0) {
    Base = 10;
    if (i + 1 < n && s[i] == '0') {
      WCHAR p = s[i + 1];
      if (p == 'x' || p == 'X') Base = 16;
      else if (p == 'o' || p == 'O') Base = 8;
      else if (p == 'b' || p == 'B') Base = 2;
      if (Base != 10) i += 2;
    }
  }
  ULONG v = 0;
  for (; i < n; i++) {
    int d = DigitValue(s[i]);
    if (d >= (int)Base) break;
    v = v * Base + (ULONG)d;
  }
  *Value = negative ? (ULONG)(0u - v) : v;
  return STATUS_SUCCESS;
}

NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PCANSI_STRING SourceString,
                                      BOOLEAN AllocateDestinationString) {
  size_t bytes = (size_t)SourceString->Length * sizeof(WCHAR);
  if (bytes > 0xfffe) return STATUS_INVALID_PARAMETER_2;
  if (AllocateDestinationString) {
    DestinationString->Buffer = static_cast<PWCH>(AllocateStringBuffer(bytes + sizeof(WCHAR)));
    if (!DestinationString->Buffer) return STATUS_NO_MEMORY;
    DestinationString->MaximumLength = (USHORT)(bytes + sizeof(WCHAR));
  } else if (bytes > DestinationString->MaximumLength) {
    return STATUS_BUFFER_OVERFLOW;
  }
  for (USHORT i = 0; i < SourceString->Length; i++)
    DestinationString->Buffer[i] = (WCHAR)(unsigned char)SourceString->Buffer[i];
  DestinationString->Length = (USHORT)bytes;
  if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength) DestinationString->Buffer[bytes / 2] = 0;
  return STATUS_SUCCESS;
}

NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString, PCUNICODE_STRING SourceString,
                                      BOOLEAN AllocateDestinationString) {
  size_t n = SourceString->Length / sizeof(WCHAR);
  if (AllocateDestinationString) {
    DestinationString->Buffer = static_cast<PCHAR>(AllocateStringBuffer(n + 1));
    if (!DestinationString->Buffer) return STATUS_NO_MEMORY;
    DestinationString->MaximumLength = (USHORT)(n + 1);
  }
  NTSTATUS status = STATUS_SUCCESS;
  if (n > DestinationString->MaximumLength) {
    n = DestinationString->MaximumLength;
    status = STATUS_BUFFER_OVERFLOW;
  }
  for (size_t i = 0; i < n; i++) {
    WCHAR c = SourceString->Buffer[i];
    DestinationString->Buffer[i] = c < 0x100 ? (char)c : '?';
  }
  DestinationString->Length = (USHORT)n;
  if (n < DestinationString->MaximumLength) DestinationString->Buffer[n] = 0;
  return status;
}

NTSTATUS RtlStringFromGUID(REFGUID Guid, PUNICODE_STRING GuidString) {
  char text[40];
  snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", Guid.Data1, Guid.Data2,
           Guid.Data3, Guid.Data4[0], Guid.Data4[1], Guid.Data4[2], Guid.Data4[3], Guid.Data4[4], Guid.Data4[5],
           Guid.Data4[6], Guid.Data4[7]);
  ANSI_STRING a;
  RtlInitAnsiString(&a, text);
  return RtlAnsiStringToUnicodeString(GuidString, &a, TRUE);
}

NTSTATUS RtlGUIDFromString(PCUNICODE_STRING GuidString, GUID* Guid) {
  // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
  static const char kPattern[] = "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}";
  if (GuidString->Length != (sizeof kPattern - 1) * sizeof(WCHAR)) return STATUS_INVALID_PARAMETER;
  unsigned char nibbles[32];
  int k = 0;
  for (size_t i = 0; i < sizeof kPattern - 1; i++) {
    WCHAR c = GuidString->Buffer[i];
    if (kPattern[i] == 'x') {
      int d = DigitValue(c);
      if (d >= 16) return STATUS_INVALID_PARAMETER;
      nibbles[k++] = (unsigned char)d;
    } else if (c != (WCHAR)kPattern[i]) {
      return STATUS_INVALID_PARAMETER;
    }
  }
  auto value = [&](int from, int count) {
    ULONG v = 0;
    for (int i = 0; i < count; i++) v = v << 4 | nibbles[from + i];
    return v;
  };
  Guid->Data1 = value(0, 8);
  Guid->Data2 = (USHORT)value(8, 4);
  Guid->Data3 = (USHORT)value(12, 4);
  for (int i = 0; i < 8; i++) Guid->Data4[i] = (UCHAR)value(16 + 2 * i, 2);
  return STATUS_SUCCESS;
}

}  // extern "C"
