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

struct Spec {
  bool left = false, plus = false, space = false, zero = false, alt = false;
  int width = 0;
  int precision = -1;
  enum { kDefault, kShort, kChar, kLong, kLongLong, kSize, kWide } size = kDefault;
};

template <typename Ch>
void PutString(Sink& out, const Spec& spec, const Ch* s, size_t maxLen) {
  if (!s) {
    static const char kNull[] = "(null)";
    PutString(out, spec, kNull, sizeof kNull - 1);
    return;
  }
  size_t n = 0;
  size_t limit = spec.precision >= 0 ? (size_t)spec.precision : (size_t)-1;
  if (maxLen < limit) limit = maxLen;
  while (n < limit && s[n]) n++;
  int pad = spec.width > (int)n ? spec.width - (int)n : 0;
  if (!spec.left) out.Pad(' ', pad);
  for (size_t i = 0; i < n; i++) out.Put((WCHAR)(std::make_unsigned_t<Ch>)s[i]);
  if (spec.left) out.Pad(' ', pad);
}

void PutInteger(Sink& out, const Spec& spec, unsigned long long magnitude, bool negative, int base, bool upper) {
  char digits[72];
  int n = 0;
  const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  if (magnitude == 0 && spec.precision != 0) digits[n++] = '0';
  while (magnitude) {
    digits[n++] = set[magnitude % base];
    magnitude /= base;
  }
  int precisionZeros = spec.precision > n ? spec.precision - n : 0;
  char prefix[3] = {0};
  int prefixLen = 0;
  if (negative) prefix[prefixLen++] = '-';
  else if (spec.plus) prefix[prefixLen++] = '+';
  else if (spec.space) prefix[prefixLen++] = ' ';
  if (spec.alt && base == 16 && n && !(n == 1 && digits[0] == '0')) {
    prefix[prefixLen++] = '0';
    prefix[prefixLen++] = upper ? 'X' : 'x';
  } else if (spec.alt && base == 8 && precisionZeros == 0 && !(n == 1 && digits[0] == '0')) {
    precisionZeros = 1;
  }
  int total = prefixLen + precisionZeros + n;
  int pad = spec.width > total ? spec.width - total : 0;
  bool zeroPad = spec.zero && !spec.left && spec.precision < 0;
  if (!spec.left && !zeroPad) out.Pad(' ', pad);
  for (int i = 0; i < prefixLen; i++) out.Put((WCHAR)prefix[i]);
  if (zeroPad) out.Pad('0', pad);
  out.Pad('0', precisionZeros);
  while (n) out.Put((WCHAR)digits[--n]);
  if (spec.left) out.Pad(' ', pad);
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
    Spec spec;
    for (;; f++) {
      if (*f == '-') spec.left = true;
      else if (*f == '+') spec.plus = true;
      else if (*f == ' ') spec.space = true;
      else if (*f == '0') spec.zero = true;
      else if (*f == '#') spec.alt = true;
      else break;
    }
    if (*f == '*') {
      spec.width = va_arg(ap, int);
      if (spec.width < 0) {
        spec.left = true;
        spec.width = -spec.width;
      }
      f++;
    } else {
      while (*f >= '0' && *f <= '9') spec.width = spec.width * 10 + (*f++ - '0');
    }
    if (*f == '.') {
      f++;
      spec.precision = 0;
      if (*f == '*') {
        spec.precision = va_arg(ap, int);
        f++;
      } else {
        while (*f >= '0' && *f <= '9') spec.precision = spec.precision * 10 + (*f++ - '0');
      }
    }
    if (*f == 'h') {
      f++;
      spec.size = Spec::kShort;
      if (*f == 'h') {
        f++;
        spec.size = Spec::kChar;
      }
    } else if (*f == 'l') {
      f++;
      spec.size = Spec::kLong;
      if (*f == 'l') {
        f++;
        spec.size = Spec::kLongLong;
      }
    } else if (*f == 'L' || *f == 'z' || *f == 'j' || *f == 't') {
      spec.size = *f == 'L' ? Spec::kLongLong : Spec::kSize;
      f++;
    } else if (*f == 'w') {
      f++;
      spec.size = Spec::kWide;
    } else if (*f == 'I') {
      if (f[1] == '6' && f[2] == '4') {
        spec.size = Spec::kLongLong;
        f += 3;
      } else if (f[1] == '3' && f[2] == '2') {
        spec.size = Spec::kDefault;
        f += 3;
      } else {
        spec.size = Spec::kSize;
        f++;
      }
    }
    WCHAR conv = *f;
    switch (conv) {
      case 'd':
      case 'i': {
        long long v;
        if (spec.size == Spec::kLongLong || spec.size == Spec::kSize) v = va_arg(ap, long long);
        else v = va_arg(ap, int);  // LONG is 32-bit on Windows: %ld takes an int-sized value
        if (spec.size == Spec::kShort) v = (short)v;
        if (spec.size == Spec::kChar) v = (signed char)v;
        unsigned long long m = v < 0 ? 0ULL - (unsigned long long)v : (unsigned long long)v;
        PutInteger(out, spec, m, v < 0, 10, false);
        break;
      }
      case 'u':
      case 'x':
      case 'X':
      case 'o': {
        unsigned long long v;
        if (spec.size == Spec::kLongLong || spec.size == Spec::kSize) v = va_arg(ap, unsigned long long);
        else v = va_arg(ap, unsigned int);
        if (spec.size == Spec::kShort) v = (unsigned short)v;
        if (spec.size == Spec::kChar) v = (unsigned char)v;
        PutInteger(out, spec, v, false, conv == 'u' ? 10 : conv == 'o' ? 8 : 16, conv == 'X');
        break;
      }
      case 'p': {
        Spec p = spec;
        p.zero = true;
        p.width = 16;
        p.precision = -1;
        PutInteger(out, p, (unsigned long long)(ULONG_PTR)va_arg(ap, void*), false, 16, true);
        break;
      }
      case 'c':
      case 'C': {
        WCHAR c = (WCHAR)va_arg(ap, int);
        if (conv == 'C' || spec.size == Spec::kShort) c = (WCHAR)(unsigned char)c;
        int pad = spec.width > 1 ? spec.width - 1 : 0;
        if (!spec.left) out.Pad(' ', pad);
        out.Put(c);
        if (spec.left) out.Pad(' ', pad);
        break;
      }
      case 's':
      case 'S': {
        bool narrow = (conv == 'S' && spec.size != Spec::kLong && spec.size != Spec::kWide) || spec.size == Spec::kShort;
        if (narrow) PutString(out, spec, va_arg(ap, const char*), (size_t)-1);
        else PutString(out, spec, va_arg(ap, const WCHAR*), (size_t)-1);
        break;
      }
      case 'Z': {
        if (spec.size == Spec::kWide) {
          auto* u = va_arg(ap, PCUNICODE_STRING);
          if (u) PutString(out, spec, u->Buffer, u->Length / sizeof(WCHAR));
          else PutString(out, spec, (const char*)nullptr, 0);
        } else {
          auto* a = va_arg(ap, PCANSI_STRING);
          if (a) PutString(out, spec, a->Buffer, a->Length);
          else PutString(out, spec, (const char*)nullptr, 0);
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
