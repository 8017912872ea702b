// What the mingw-w64 binutils report about a PE image of the windows build.
#pragma once
#include <map>
#include <optional>
#include <set>
#include <string>

namespace trox::test {

struct PeImage {
  std::string format;                                 // "pei-x86-64"
  std::string subsystem;                              // "NT native", "Windows GUI", ...
  std::set<std::string> dllCharacteristics;           // "NX_COMPAT", "DYNAMIC_BASE", ...
  std::map<std::string, std::set<std::string>> imports;  // lower-case module -> functions
  std::map<std::string, unsigned long long> symbols;    // symbol -> address (nm)
};

// Output of a command, or nothing if it could not run or failed.
std::optional<std::string> RunCommand(const std::string& command);

// Parses `objdump -p` output.
PeImage ParseObjdump(const std::string& objdumpOutput);
// Adds the symbols of `nm` output.
void ParseNm(const std::string& nmOutput, PeImage& image);

// Where the windows preset put its binaries (the TROX_WINDOWS_BUILD_DIR cache variable).
std::string WindowsBuildDir();
bool WindowsBinariesRequired();

}  // namespace trox::test
