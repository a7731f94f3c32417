// Reader for Windows setup information (INF) files, enough to check the
// driver's own: sections, lines of "key = value, value" or of bare values,
// comments, quoted strings, line continuations and %string% tokens replaced
// from [Strings]. Errors name the line; nothing is guessed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velt::test {

struct InfLine {
    int number = 0;
    // Empty for a line without '='.
    std::string key;
    bool hasKey = false;
    std::vector<std::string> values;
};

struct InfSection {
    std::string name;
    std::vector<InfLine> lines;
};

struct InfFile {
    // Sections in file order; a name given twice is one section, as setup
    // reads it.
    std::vector<InfSection> sections;

    // Section and key names compare without regard to case.
    const InfSection* section(std::string_view name) const;
    // The lines of `section` whose key is `key`.
    std::vector<const InfLine*> lines(std::string_view section, std::string_view key) const;
    // The values of the one line of `section` with key `key`; nothing if
    // there is no such line or more than one.
    std::optional<std::vector<std::string>> values(std::string_view section,
                                                   std::string_view key) const;
};

// Parses INF text. %name% is replaced from [Strings] everywhere but in
// [Strings] itself, %% becomes %, and a number between percent signs (a
// directory ID such as %12%) stays as it is. On failure returns nothing and
// sets `error`.
std::optional<InfFile> parseInf(std::string_view text, std::string& error);

// Reads the file at `path` and parses it.
std::optional<InfFile> loadInf(const std::string& path, std::string& error);

// Compares names the way setup does: ASCII letters without regard to case.
bool infNamesEqual(std::string_view a, std::string_view b);

// A decimal or 0x-prefixed hexadecimal number of an INF field.
std::optional<std::uint32_t> infNumber(std::string_view text);

// The DriverVer directive's values: "mm/dd/yyyy" and an optional version of
// up to four dot-separated parts, missing parts counting as zero.
struct InfDriverVer {
    int month = 0;
    int day = 0;
    int year = 0;
    // Packed as VS_FIXEDFILEINFO packs it: the first part in the top 16 bits.
    std::uint64_t version = 0;
};

std::optional<InfDriverVer> parseDriverVer(const std::vector<std::string>& values,
                                           std::string& error);

} // namespace velt::test
