// Registry name rules: comparison ignores case the way the Windows registry
// does (upcasing each UTF-16 unit), while names are stored as given.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace sim::registry {

char16_t UpcaseChar(char16_t c);
std::u16string Fold(std::u16string_view name);  // upcased copy, the lookup key
bool NamesEqual(std::u16string_view a, std::u16string_view b);

// Splits a backslash-separated path. A single trailing backslash is ignored;
// an empty component anywhere else makes the path invalid (false).
bool SplitPath(std::u16string_view path, std::vector<std::u16string_view>* components);

// UTF-16 <-> UTF-8 for file text and messages; unpaired surrogates are
// replaced by U+FFFD in ToUtf8 only.
std::string ToUtf8(std::u16string_view s);
std::u16string FromUtf8(std::string_view s);

}  // namespace sim::registry
