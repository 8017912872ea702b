// A small streaming JSON writer: objects, arrays, strings (escaped), numbers,
// booleans and null, indented two spaces per level. Keys and values are
// written in order; the writer adds the commas and the layout.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace troxsim {

class JsonWriter {
 public:
  explicit JsonWriter(std::ostream& out) : out_(out) {}

  JsonWriter& BeginObject();
  JsonWriter& EndObject();
  JsonWriter& BeginArray();
  JsonWriter& EndArray();
  // The name of the next member of the open object.
  JsonWriter& Key(std::string_view name);

  JsonWriter& String(std::string_view value);
  JsonWriter& Number(int64_t value);
  JsonWriter& Number(uint64_t value);
  JsonWriter& Number(uint32_t value) { return Number(static_cast<uint64_t>(value)); }
  JsonWriter& Number(int value) { return Number(static_cast<int64_t>(value)); }
  JsonWriter& Bool(bool value);
  JsonWriter& Null();

  // Key and value in one call.
  template <typename T>
  JsonWriter& Member(std::string_view name, T value) {
    Key(name);
    return Value(value);
  }

  // True once the outermost value is complete.
  bool Done() const { return stack_.empty() && wroteRoot_; }

  // `text` as a JSON string literal, quotes included.
  static std::string Quote(std::string_view text);

 private:
  JsonWriter& Value(std::string_view v) { return String(v); }
  JsonWriter& Value(const std::string& v) { return String(v); }
  JsonWriter& Value(const char* v) { return String(v); }
  JsonWriter& Value(bool v) { return Bool(v); }
  JsonWriter& Value(int v) { return Number(v); }
  JsonWriter& Value(uint32_t v) { return Number(v); }
  JsonWriter& Value(int64_t v) { return Number(v); }
  JsonWriter& Value(uint64_t v) { return Number(v); }

  struct Level {
    bool object;
    bool empty;
  };
  // Separator and indentation before a value; after a key only the space.
  void BeforeValue();
  void Indent();
  JsonWriter& Close(char bracket);

  std::ostream& out_;
  std::vector<Level> stack_;
  bool afterKey_ = false;
  bool wroteRoot_ = false;
};

}  // namespace troxsim
