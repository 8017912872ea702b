// Command-line options of troxsim: "--name value" pairs and flags after the command.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace troxsim {

class Options {
 public:
  // Parses argv[first..argc). Every "--name" takes the next argument as its value unless it is
  // listed in `flags`. Returns false (with `error` set) on a stray word, a missing value, or a
  // name not in `known` (when given).
  bool Parse(int argc, char** argv, int first, const std::vector<std::string>& flags, std::string* error,
             const std::vector<std::string>& known = {});

  bool Has(const std::string& name) const { return values_.count(name) != 0; }
  std::optional<std::string> Get(const std::string& name) const;
  // A number option; `fallback` when absent. Returns false when present but not a number.
  bool GetNumber(const std::string& name, double fallback, double* value) const;
  // Names given that are not in `known`.
  std::vector<std::string> Unknown(const std::vector<std::string>& known) const;

 private:
  std::map<std::string, std::string> values_;
};

}  // namespace troxsim
