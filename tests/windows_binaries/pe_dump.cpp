#include "pe_dump.h"

#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace trox::test {
namespace {

std::string Trim(const std::string& s) {
  size_t begin = s.find_first_not_of(" \t\r");
  if (begin == std::string::npos) return "";
  size_t end = s.find_last_not_of(" \t\r");
  return s.substr(begin, end - begin + 1);
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool StartsWith(const std::string& s, const std::string& prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

}  // namespace

std::optional<std::string> RunCommand(const std::string& command) {
  FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
  if (pipe == nullptr) return std::nullopt;
  std::string output;
  std::array<char, 4096> chunk;
  size_t n;
  while ((n = fread(chunk.data(), 1, chunk.size(), pipe)) > 0) output.append(chunk.data(), n);
  int rc = pclose(pipe);
  if (rc != 0) return std::nullopt;
  return output;
}

PeImage ParseObjdump(const std::string& text) {
  PeImage image;
  std::istringstream in(text);
  std::string line;
  std::string currentDll;
  bool inDllCharacteristics = false;
  while (std::getline(in, line)) {
    std::string t = Trim(line);
    size_t formatPos = line.find("file format ");
    if (formatPos != std::string::npos && image.format.empty()) {
      image.format = Trim(line.substr(formatPos + 12));
      continue;
    }
    if (StartsWith(t, "DllCharacteristics")) {
      inDllCharacteristics = true;
      continue;
    }
    if (inDllCharacteristics) {
      // Flag names follow on indented lines of their own.
      if (!t.empty() && t.find_first_of(" \t") == std::string::npos && std::isupper(static_cast<unsigned char>(t[0]))) {
        image.dllCharacteristics.insert(t);
        continue;
      }
      inDllCharacteristics = false;
    }
    if (StartsWith(t, "Subsystem")) {
      size_t open = t.find('(');
      size_t close = t.rfind(')');
      if (open != std::string::npos && close != std::string::npos && close > open) {
        image.subsystem = t.substr(open + 1, close - open - 1);
      }
      continue;
    }
    if (StartsWith(t, "DLL Name:")) {
      currentDll = Lower(Trim(t.substr(9)));
      image.imports[currentDll];
      continue;
    }
    if (!currentDll.empty()) {
      // Import entries: "<hint-rva> <ordinal> <name>"; anything else ends the module.
      std::istringstream fields(t);
      std::string rva, ordinal, name;
      if (fields >> rva >> ordinal >> name && std::isxdigit(static_cast<unsigned char>(rva[0])) &&
          std::isdigit(static_cast<unsigned char>(ordinal[0])) &&
          !std::isdigit(static_cast<unsigned char>(name[0]))) {
        image.imports[currentDll].insert(name);
      } else if (!StartsWith(t, "vma:")) {
        currentDll.clear();
      }
    }
  }
  return image;
}

void ParseNm(const std::string& text, PeImage& image) {
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string address, type, name;
    if (fields >> address >> type >> name) image.symbols[name] = std::strtoull(address.c_str(), nullptr, 16);
  }
}

std::string WindowsBuildDir() { return TROX_WINDOWS_BUILD_DIR; }

bool WindowsBinariesRequired() {
  const char* value = std::getenv("TROX_REQUIRE_WINDOWS_BINARIES");
  return value != nullptr && std::string(value) == "1";
}

}  // namespace trox::test
