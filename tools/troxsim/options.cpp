// Parsing of troxsim's command-line options.
#include "tools/troxsim/options.h"

#include <algorithm>
#include <cstdlib>

namespace troxsim {

bool Options::Parse(int argc, char** argv, int first, const std::vector<std::string>& flags, std::string* error,
                    const std::vector<std::string>& known) {
  for (int i = first; i < argc; ++i) {
    std::string word = argv[i];
    if (word.size() < 3 || word.compare(0, 2, "--") != 0) {
      *error = "unexpected argument '" + word + "'";
      return false;
    }
    std::string name = word.substr(2);
    if (!known.empty() && std::find(known.begin(), known.end(), name) == known.end()) {
      *error = "unknown option --" + name;
      return false;
    }
    if (std::find(flags.begin(), flags.end(), name) != flags.end()) {
      values_[name] = "1";
      continue;
    }
    if (i + 1 >= argc) {
      *error = "option --" + name + " needs a value";
      return false;
    }
    values_[name] = argv[++i];
  }
  return true;
}

std::optional<std::string> Options::Get(const std::string& name) const {
  auto it = values_.find(name);
  if (it == values_.end()) return std::nullopt;
  return it->second;
}

bool Options::GetNumber(const std::string& name, double fallback, double* value) const {
  auto text = Get(name);
  if (!text) {
    *value = fallback;
    return true;
  }
  char* end = nullptr;
  double v = std::strtod(text->c_str(), &end);
  if (end == text->c_str() || *end != '\0') return false;
  *value = v;
  return true;
}

std::vector<std::string> Options::Unknown(const std::vector<std::string>& known) const {
  std::vector<std::string> out;
  for (const auto& [name, value] : values_) {
    if (std::find(known.begin(), known.end(), name) == known.end()) out.push_back(name);
  }
  return out;
}

}  // namespace troxsim
