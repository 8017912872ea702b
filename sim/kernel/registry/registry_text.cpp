// Text form of the registry for SaveToFile / LoadFromFile.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "sim/kernel/registry/registry_names.h"
#include "sim/kernel/registry/registry_tree.h"

namespace sim::registry {
namespace {

constexpr const char kHeader[] = "; sim registry v1";

bool IsSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDFFF; }

std::string Hex4(char16_t c) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%04x", static_cast<unsigned>(c));
  return buf;
}

// Appends the UTF-8 of a run of characters that need no escape. Surrogate
// pairs stay together; lone surrogates are the escaper's business.
void AppendPlain(std::string* out, const std::u16string& run) { *out += ToUtf8(run); }

// Escapes one key name component for a [..] header line.
std::string EscapeKeyName(std::u16string_view name) {
  std::string out;
  std::u16string run;
  for (size_t i = 0; i < name.size(); ++i) {
    char16_t c = name[i];
    bool pair = c >= 0xD800 && c <= 0xDBFF && i + 1 < name.size() && name[i + 1] >= 0xDC00 && name[i + 1] <= 0xDFFF;
    if (pair) {
      run += c;
      run += name[++i];
      continue;
    }
    if (c < 0x20 || c == 0x7F || c == u'%' || c == u'[' || c == u']' || IsSurrogate(c)) {
      AppendPlain(&out, run);
      run.clear();
      out += '%';
      out += Hex4(c);
    } else {
      run += c;
    }
  }
  AppendPlain(&out, run);
  return out;
}

std::string Quote(std::u16string_view s) {
  std::string out = "\"";
  std::u16string run;
  auto flush = [&] {
    AppendPlain(&out, run);
    run.clear();
  };
  for (size_t i = 0; i < s.size(); ++i) {
    char16_t c = s[i];
    bool pair = c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF;
    if (pair) {
      run += c;
      run += s[++i];
      continue;
    }
    const char* esc = nullptr;
    switch (c) {
      case u'\\': esc = "\\\\"; break;
      case u'"': esc = "\\\""; break;
      case u'\n': esc = "\\n"; break;
      case u'\r': esc = "\\r"; break;
      case u'\t': esc = "\\t"; break;
      case u'\0': esc = "\\0"; break;
      default: break;
    }
    if (esc) {
      flush();
      out += esc;
    } else if (c < 0x20 || c == 0x7F || IsSurrogate(c)) {
      flush();
      out += "\\u" + Hex4(c);
    } else {
      run += c;
    }
  }
  flush();
  out += '"';
  return out;
}

std::u16string Units(const std::vector<uint8_t>& data) {
  std::u16string s(data.size() / 2, u'\0');
  if (!s.empty()) std::memcpy(s.data(), data.data(), s.size() * 2);
  return s;
}

std::string FormatData(const Value& v) {
  char buf[32];
  const auto& d = v.data;
  if (v.type == kTypeDword && d.size() == 4) {
    uint32_t x;
    std::memcpy(&x, d.data(), 4);
    std::snprintf(buf, sizeof buf, "dword:%08x", x);
    return buf;
  }
  if (v.type == kTypeQword && d.size() == 8) {
    uint64_t x;
    std::memcpy(&x, d.data(), 8);
    std::snprintf(buf, sizeof buf, "qword:%016llx", static_cast<unsigned long long>(x));
    return buf;
  }
  std::u16string u = Units(d);
  bool even = d.size() % 2 == 0 && !u.empty() && u.back() == 0;
  if ((v.type == kTypeSz || v.type == kTypeExpandSz) && even && u.find(u'\0') == u.size() - 1) {
    return std::string(v.type == kTypeSz ? "sz:" : "expand_sz:") + Quote(std::u16string_view(u).substr(0, u.size() - 1));
  }
  if (v.type == kTypeMultiSz && even && (u.size() == 1 || u[u.size() - 2] == 0)) {
    std::string out = "multi_sz:";
    std::u16string_view rest(u.data(), u.size() - 1);
    bool first = true;
    while (!rest.empty()) {
      size_t z = rest.find(u'\0');
      if (!first) out += ',';
      out += Quote(rest.substr(0, z));
      rest.remove_prefix(z + 1);
      first = false;
    }
    return out;
  }
  std::snprintf(buf, sizeof buf, "hex(%u):", v.type);
  std::string out = buf;
  for (size_t i = 0; i < d.size(); ++i) {
    std::snprintf(buf, sizeof buf, i ? ",%02x" : "%02x", d[i]);
    out += buf;
  }
  return out;
}

void SaveKey(const KeyNode& key, const std::string& path, std::string* out) {
  if (key.isVolatile) return;
  *out += "\n[" + path + "]\n";
  for (auto& sv : key.values) {
    const Value& v = sv.value;
    *out += v.name.empty() ? std::string("@") : Quote(v.name);
    *out += '=';
    *out += FormatData(v);
    *out += '\n';
  }
  for (auto& [folded, child] : key.children) SaveKey(*child, path + "\\" + EscapeKeyName(child->name), out);
}

// ---- parsing ----

class LineParser {
 public:
  explicit LineParser(std::string_view line) : s_(line) {}
  bool AtEnd() const { return pos_ >= s_.size(); }
  char Peek() const { return AtEnd() ? '\0' : s_[pos_]; }
  bool Eat(char c) {
    if (Peek() != c) return false;
    ++pos_;
    return true;
  }
  bool EatWord(std::string_view w) {
    if (s_.substr(pos_, w.size()) != w) return false;
    pos_ += w.size();
    return true;
  }
  bool Hex(size_t digits, uint64_t* out) {
    if (pos_ + digits > s_.size()) return false;
    uint64_t x = 0;
    for (size_t i = 0; i < digits; ++i) {
      int d = HexDigit(s_[pos_ + i]);
      if (d < 0) return false;
      x = x * 16 + static_cast<unsigned>(d);
    }
    pos_ += digits;
    *out = x;
    return true;
  }
  bool Decimal(uint32_t* out) {
    size_t start = pos_;
    uint64_t x = 0;
    while (!AtEnd() && s_[pos_] >= '0' && s_[pos_] <= '9') {
      x = x * 10 + static_cast<unsigned>(s_[pos_++] - '0');
      if (x > 0xFFFFFFFFu) return false;
    }
    *out = static_cast<uint32_t>(x);
    return pos_ > start;
  }
  bool Quoted(std::u16string* out) {
    if (!Eat('"')) return false;
    out->clear();
    std::string run;
    auto flush = [&] {
      *out += FromUtf8(run);
      run.clear();
    };
    while (!AtEnd()) {
      char c = s_[pos_++];
      if (c == '"') {
        flush();
        return true;
      }
      if (c != '\\') {
        run += c;
        continue;
      }
      flush();
      if (AtEnd()) return false;
      char e = s_[pos_++];
      switch (e) {
        case '\\': *out += u'\\'; break;
        case '"': *out += u'"'; break;
        case 'n': *out += u'\n'; break;
        case 'r': *out += u'\r'; break;
        case 't': *out += u'\t'; break;
        case '0': *out += u'\0'; break;
        case 'u': {
          uint64_t x;
          if (!Hex(4, &x)) return false;
          *out += static_cast<char16_t>(x);
          break;
        }
        default: return false;
      }
    }
    return false;
  }

 private:
  static int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }
  std::string_view s_;
  size_t pos_ = 0;
};

bool UnescapeKeyName(std::string_view in, std::u16string* out) {
  out->clear();
  std::string run;
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '%') {
      run += in[i];
      continue;
    }
    *out += FromUtf8(run);
    run.clear();
    LineParser p(in.substr(i + 1));
    uint64_t x;
    if (!p.Hex(4, &x)) return false;
    *out += static_cast<char16_t>(x);
    i += 4;
  }
  *out += FromUtf8(run);
  return !out->empty();
}

std::vector<uint8_t> Bytes(const std::u16string& s) {
  std::vector<uint8_t> d(s.size() * 2);
  if (!d.empty()) std::memcpy(d.data(), s.data(), d.size());
  return d;
}

bool ParseData(LineParser& p, uint32_t* type, std::vector<uint8_t>* data) {
  data->clear();
  uint64_t x;
  if (p.EatWord("dword:")) {
    if (!p.Hex(8, &x)) return false;
    uint32_t v = static_cast<uint32_t>(x);
    *type = kTypeDword;
    data->resize(4);
    std::memcpy(data->data(), &v, 4);
    return true;
  }
  if (p.EatWord("qword:")) {
    if (!p.Hex(16, &x)) return false;
    *type = kTypeQword;
    data->resize(8);
    std::memcpy(data->data(), &x, 8);
    return true;
  }
  bool sz = p.EatWord("sz:");
  if (sz || p.EatWord("expand_sz:")) {
    std::u16string s;
    if (!p.Quoted(&s)) return false;
    s += u'\0';
    *type = sz ? kTypeSz : kTypeExpandSz;
    *data = Bytes(s);
    return true;
  }
  if (p.EatWord("multi_sz:")) {
    std::u16string all;
    while (p.Peek() == '"') {
      std::u16string s;
      if (!p.Quoted(&s)) return false;
      all += s;
      all += u'\0';
      if (!p.Eat(',')) break;
    }
    all += u'\0';
    *type = kTypeMultiSz;
    *data = Bytes(all);
    return true;
  }
  if (p.EatWord("hex(")) {
    if (!p.Decimal(type) || !p.EatWord("):")) return false;
    while (!p.AtEnd()) {
      if (!data->empty() && !p.Eat(',')) return false;
      if (!p.Hex(2, &x)) return false;
      data->push_back(static_cast<uint8_t>(x));
    }
    return true;
  }
  return false;
}

}  // namespace

std::string SaveToString() {
  std::string out = kHeader;
  out += '\n';
  std::lock_guard<std::mutex> lock(detail::StoreMutex());
  const KeyRef& root = detail::RootLocked();
  SaveKey(*root, "\\" + EscapeKeyName(root->name), &out);
  return out;
}

bool LoadFromString(const std::string& text, std::string* error) {
  KeyRef root = detail::NewSkeletonTree();
  KeyNode* current = nullptr;
  std::istringstream in(text);
  std::string line;
  int lineNo = 0;
  auto fail = [&](const char* what) {
    if (error) *error = "line " + std::to_string(lineNo) + ": " + what;
    return false;
  };
  while (std::getline(in, line)) {
    ++lineNo;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      if (line.size() < 3 || line.back() != ']' || line[1] != '\\') return fail("bad key line");
      std::string_view inner = std::string_view(line).substr(2, line.size() - 3);
      std::vector<std::u16string> comps;
      size_t start = 0;
      for (;;) {
        size_t end = inner.find('\\', start);
        std::u16string name;
        if (!UnescapeKeyName(inner.substr(start, end == std::string_view::npos ? end : end - start), &name))
          return fail("bad key name");
        if (name.size() > kMaxKeyNameChars) return fail("key name too long");
        comps.push_back(std::move(name));
        if (end == std::string_view::npos) break;
        start = end + 1;
      }
      if (!NamesEqual(comps[0], u"Registry")) return fail("key outside \\Registry");
      current = root.get();
      for (size_t i = 1; i < comps.size(); ++i) current = detail::AddChild(current, comps[i], false);
      continue;
    }
    if (!current) return fail("value before the first key");
    LineParser p(line);
    std::u16string name;
    if (!p.Eat('@') && !p.Quoted(&name)) return fail("bad value name");
    if (!p.Eat('=')) return fail("expected '='");
    uint32_t type = 0;
    std::vector<uint8_t> data;
    if (!ParseData(p, &type, &data) || !p.AtEnd()) return fail("bad value data");
    detail::PutValue(current, name, type, std::move(data));
  }
  detail::ReplaceTree(std::move(root));
  return true;
}

bool SaveToFile(const std::string& file, std::string* error) {
  std::string text = SaveToString();
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  if (out) out.write(text.data(), static_cast<std::streamsize>(text.size()));
  if (!out) {
    if (error) *error = "cannot write " + file;
    return false;
  }
  return true;
}

bool LoadFromFile(const std::string& file, std::string* error) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    if (error) *error = "cannot read " + file;
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  return LoadFromString(text.str(), error);
}

}  // namespace sim::registry
