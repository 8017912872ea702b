// The JSON writer of troxsim.
#include "tools/troxsim/json_writer.h"

#include <cstdio>

namespace troxsim {

std::string JsonWriter::Quote(std::string_view text) {
  std::string out = "\"";
  for (char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\u%04X", c);
          out += escape;
        } else {
          // Bytes from 0x80 pass through: the text is UTF-8 already.
          out += ch;
        }
    }
  }
  out += '"';
  return out;
}

void JsonWriter::Indent() {
  out_ << '\n';
  for (size_t i = 0; i < stack_.size(); ++i) out_ << "  ";
}

void JsonWriter::BeforeValue() {
  if (afterKey_) {
    afterKey_ = false;
    return;
  }
  if (stack_.empty()) {
    wroteRoot_ = true;
    return;
  }
  if (!stack_.back().empty) out_ << ',';
  stack_.back().empty = false;
  Indent();
}

JsonWriter& JsonWriter::Key(std::string_view name) {
  BeforeValue();
  out_ << Quote(name) << ": ";
  afterKey_ = true;
  return *this;
}

JsonWriter& JsonWriter::BeginObject() {
  BeforeValue();
  out_ << '{';
  stack_.push_back({true, true});
  return *this;
}

JsonWriter& JsonWriter::BeginArray() {
  BeforeValue();
  out_ << '[';
  stack_.push_back({false, true});
  return *this;
}

JsonWriter& JsonWriter::Close(char bracket) {
  if (stack_.empty()) return *this;
  const bool empty = stack_.back().empty;
  stack_.pop_back();
  if (!empty) Indent();
  out_ << bracket;
  if (stack_.empty()) out_ << '\n';
  return *this;
}

JsonWriter& JsonWriter::EndObject() { return Close('}'); }
JsonWriter& JsonWriter::EndArray() { return Close(']'); }

JsonWriter& JsonWriter::String(std::string_view value) {
  BeforeValue();
  out_ << Quote(value);
  return *this;
}

JsonWriter& JsonWriter::Number(int64_t value) {
  BeforeValue();
  out_ << value;
  return *this;
}

JsonWriter& JsonWriter::Number(uint64_t value) {
  BeforeValue();
  out_ << value;
  return *this;
}

JsonWriter& JsonWriter::Bool(bool value) {
  BeforeValue();
  out_ << (value ? "true" : "false");
  return *this;
}

JsonWriter& JsonWriter::Null() {
  BeforeValue();
  out_ << "null";
  return *this;
}

}  // namespace troxsim
