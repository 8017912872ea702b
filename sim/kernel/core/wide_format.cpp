#include "sim/kernel/core/wide_format.h"

#include <type_traits>

namespace sim::kernel {
namespace {

class Sink {
 public:
  Sink(WCHAR* dest, size_t cch) : dest_(dest), cap_(cch) {}
  void Put(WCHAR c) {
    if (pos_ + 1 < cap_) {
      dest_[pos_++] = c;
    } else {
      truncated_ = true;
    }
  }
  void Pad(WCHAR c, int n) {
    for (int i = 0; i < n; i++) Put(c);
  }
  void Finish() {
    if (cap_) dest_[pos_] = 0;
  }
  bool truncated() const { return truncated_; }
  size_t written() const { return pos_; }

 private:
  WCHAR* dest_;
  size_t cap_;
  size_t pos_ = 0;
  bool truncated_ = false;
};

struct FieldFormat {
  bool left = false, plus = false, space = false, zero = false, alt = false;
  int width = 0;
  int precision = -1;
  enum { kDefault, kShort, kChar, kLong, kLongLong, kSize, kWide } size = kDefault;
};

template <typename Ch>
void PutString(Sink& out, const FieldFormat& field, const Ch* s, size_t maxLen) {
  if (!s) {
    static const char kNull[] = "(null)";
    PutString(out, field, kNull, sizeof kNull - 1);
    return;
  }
  size_t n = 0;
  size_t limit = field.precision >= 0 ? (size_t)field.precision : (size_t)-1;
  if (maxLen < limit) limit = maxLen;
  while (n < limit && s[n]) n++;
  int pad = field.width > (int)n ? field.width - (int)n : 0;
  if (!field.left) out.Pad(' ', pad);
  for (size_t i = 0; i < n; i++) out.Put((WCHAR)(std::make_unsigned_t<Ch>)s[i]);
  if (field.left) out.Pad(' ', pad);
}

void PutInteger(Sink& out, const FieldFormat& field, unsigned long long magnitude, bool negative, int base, bool upper) {
  char digits[72];
  int n = 0;
  const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  if (magnitude == 0 && field.precision != 0) digits[n++] = '0';
  while (magnitude) {
    digits[n++] = set[magnitude % base];
    magnitude /= base;
  }
  int precisionZeros = field.precision > n ? field.precision - n : 0;
  char prefix[3] = {0};
  int prefixLen = 0;
  if (negative) prefix[prefixLen++] = '-';
  else if (field.plus) prefix[prefixLen++] = '+';
  else if (field.space) prefix[prefixLen++] = ' ';
  if (field.alt && base == 16 && n && !(n == 1 && digits[0] == '0')) {
    prefix[prefixLen++] = '0';
    prefix[prefixLen++] = upper ? 'X' : 'x';
  } else if (field.alt && base == 8 && precisionZeros == 0 && !(n == 1 && digits[0] == '0')) {
    precisionZeros = 1;
  }
  int total = prefixLen + precisionZeros + n;
  int pad = field.width > total ? field.width - total : 0;
  bool zeroPad = field.zero && !field.left && field.precision < 0;
  if (!field.left && !zeroPad) out.Pad(' ', pad);
  for (int i = 0; i < prefixLen; i++) out.Put((WCHAR)prefix[i]);
  if (zeroPad) out.Pad('0', pad);
  out.Pad('0', precisionZeros);
  while (n) out.Put((WCHAR)digits[--n]);
  if (field.left) out.Pad(' ', pad);
}

}  // namespace

bool FormatWide(WCHAR* dest, size_t cch, const WCHAR* format, va_list args, size_t* written) {
  Sink out(dest, cch);
  va_list ap;
  va_copy(ap, args);
  for (const WCHAR* f = format; *f; f++) {
    if (*f != '%') {
      out.Put(*f);
      continue;
    }
    const WCHAR* start = f++;
    FieldFormat field;
    for (;; f++) {
      if (*f == '-') field.left = true;
      else if (*f == '+') field.plus = true;
      else if (*f == ' ') field.space = true;
      else if (*f == '0') field.zero = true;
      else if (*f == '#') field.alt = true;
      else break;
    }
    if (*f == '*') {
      field.width = va_arg(ap, int);
      if (field.width < 0) {
        field.left = true;
        field.width = -field.width;
      }
      f++;
    } else {
      while (*f >= '0' && *f <= '9') field.width = field.width * 10 + (*f++ - '0');
    }
    if (*f == '.') {
      f++;
      field.precision = 0;
      if (*f == '*') {
        field.precision = va_arg(ap, int);
        f++;
      } else {
        while (*f >= '0' && *f <= '9') field.precision = field.precision * 10 + (*f++ - '0');
      }
    }
    if (*f == 'h') {
      f++;
      field.size = FieldFormat::kShort;
      if (*f == 'h') {
        f++;
        field.size = FieldFormat::kChar;
      }
    } else if (*f == 'l') {
      f++;
      field.size = FieldFormat::kLong;
      if (*f == 'l') {
        f++;
        field.size = FieldFormat::kLongLong;
      }
    } else if (*f == 'L' || *f == 'z' || *f == 'j' || *f == 't') {
      field.size = *f == 'L' ? FieldFormat::kLongLong : FieldFormat::kSize;
      f++;
    } else if (*f == 'w') {
      f++;
      field.size = FieldFormat::kWide;
    } else if (*f == 'I') {
      if (f[1] == '6' && f[2] == '4') {
        field.size = FieldFormat::kLongLong;
        f += 3;
      } else if (f[1] == '3' && f[2] == '2') {
        field.size = FieldFormat::kDefault;
        f += 3;
      } else {
        field.size = FieldFormat::kSize;
        f++;
      }
    }
    WCHAR conv = *f;
    switch (conv) {
      case 'd':
      case 'i': {
        long long v;
        if (field.size == FieldFormat::kLongLong || field.size == FieldFormat::kSize) v = va_arg(ap, long long);
        else v = va_arg(ap, int);  // LONG is 32-bit on Windows: %ld takes an int-sized value
        if (field.size == FieldFormat::kShort) v = (short)v;
        if (field.size == FieldFormat::kChar) v = (signed char)v;
        unsigned long long m = v < 0 ? 0ULL - (unsigned long long)v : (unsigned long long)v;
        PutInteger(out, field, m, v < 0, 10, false);
        break;
      }
      case 'u':
      case 'x':
      case 'X':
      case 'o': {
        unsigned long long v;
        if (field.size == FieldFormat::kLongLong || field.size == FieldFormat::kSize) v = va_arg(ap, unsigned long long);
        else v = va_arg(ap, unsigned int);
        if (field.size == FieldFormat::kShort) v = (unsigned short)v;
        if (field.size == FieldFormat::kChar) v = (unsigned char)v;
        PutInteger(out, field, v, false, conv == 'u' ? 10 : conv == 'o' ? 8 : 16, conv == 'X');
        break;
      }
      case 'p': {
        FieldFormat p = field;
        p.zero = true;
        p.width = 16;
        p.precision = -1;
        PutInteger(out, p, (unsigned long long)(ULONG_PTR)va_arg(ap, void*), false, 16, true);
        break;
      }
      case 'c':
      case 'C': {
        WCHAR c = (WCHAR)va_arg(ap, int);
        if (conv == 'C' || field.size == FieldFormat::kShort) c = (WCHAR)(unsigned char)c;
        int pad = field.width > 1 ? field.width - 1 : 0;
        if (!field.left) out.Pad(' ', pad);
        out.Put(c);
        if (field.left) out.Pad(' ', pad);
        break;
      }
      case 's':
      case 'S': {
        bool narrow = (conv == 'S' && field.size != FieldFormat::kLong && field.size != FieldFormat::kWide) || field.size == FieldFormat::kShort;
        if (narrow) PutString(out, field, va_arg(ap, const char*), (size_t)-1);
        else PutString(out, field, va_arg(ap, const WCHAR*), (size_t)-1);
        break;
      }
      case 'Z': {
        if (field.size == FieldFormat::kWide) {
          auto* u = va_arg(ap, PCUNICODE_STRING);
          if (u) PutString(out, field, u->Buffer, u->Length / sizeof(WCHAR));
          else PutString(out, field, (const char*)nullptr, 0);
        } else {
          auto* a = va_arg(ap, PCANSI_STRING);
          if (a) PutString(out, field, a->Buffer, a->Length);
          else PutString(out, field, (const char*)nullptr, 0);
        }
        break;
      }
      case '%':
        out.Put('%');
        break;
      default:
        // Unknown conversion: copy it literally.
        for (const WCHAR* c = start; c <= f && *c; c++) out.Put(*c);
        if (!*f) f--;
        break;
    }
  }
  va_end(ap);
  out.Finish();
  if (written) *written = out.written();
  return !out.truncated();
}

}  // namespace sim::kernel
