// Reader for the macro definitions of a WDK "sources" file, in the nmake
// syntax that the WDK's build utility reads: NAME=value lines, '#' comments
// and a trailing backslash that continues a line. Macro references such as
// $(DDK_LIB_PATH) are kept as written.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velt::test {

using WdkMacros = std::map<std::string, std::string>;

// Parses `text`; a later definition of a name replaces an earlier one, as in
// nmake. Preprocessing directives (lines starting with '!') are refused, so
// that no definition is read that nmake might skip. On failure returns
// nothing and sets `error`.
std::optional<WdkMacros> parseWdkSources(std::string_view text, std::string& error);

// Reads the file at `path` and parses it.
std::optional<WdkMacros> loadWdkSources(const std::string& path, std::string& error);

// The whitespace-separated words of a macro value.
std::vector<std::string> wdkWords(std::string_view value);

} // namespace velt::test
