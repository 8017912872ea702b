// A strict little JSON reader for the tests: parses a whole document into a
// tree and fails on anything RFC 8259 does not allow (trailing commas, bare
// words, unescaped control characters, text after the value).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace jsontest {

struct Value {
  enum class Kind { Null, Bool, Number, String, Array, Object } kind = Kind::Null;
  bool boolean = false;
  double number = 0;
  std::string text;
  std::vector<Value> items;
  std::map<std::string, Value> members;

  bool Has(const std::string& key) const { return kind == Kind::Object && members.count(key) != 0; }
  // The member or item; a null value when missing.
  const Value& operator[](const std::string& key) const;
  const Value& operator[](size_t index) const;
  bool IsNull() const { return kind == Kind::Null; }
};

// The document, or nullopt with `error` naming the offset.
std::optional<Value> Parse(const std::string& text, std::string* error);

}  // namespace jsontest
