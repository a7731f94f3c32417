#include "support/inf_file.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <utility>

namespace velt::test {
namespace {

// Thrown by the parser below and turned into the caller's error text at the
// API boundary; never leaves this file.
struct Malformed : std::runtime_error {
    using std::runtime_error::runtime_error;
};

Malformed malformed(int line, const std::string& what) {
    return Malformed("line " + std::to_string(line) + ": " + what);
}

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

// A piece of a field: quoted text is taken as written, unquoted text has its
// %name% tokens replaced.
struct Segment {
    std::string text;
    bool quoted = false;
};

using Field = std::vector<Segment>;

struct RawLine {
    int number = 0;
    bool hasKey = false;
    Field key;
    std::vector<Field> values;
};

struct RawSection {
    std::string name;
    std::vector<RawLine> lines;
};

// Physical lines joined where one ends in a backslash outside quotes and
// comments; each logical line keeps the number of its first physical line.
struct LogicalLine {
    int number = 0;
    std::string text;
};

// Index of the comment that starts in `text`, or its size; quotes hide ';'.
std::size_t commentStart(std::string_view text) {
    bool quoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '"') {
            quoted = !quoted;
        } else if (text[i] == ';' && !quoted) {
            return i;
        }
    }
    return text.size();
}

std::vector<LogicalLine> logicalLines(std::string_view text) {
    std::vector<LogicalLine> lines;
    bool continued = false;
    int number = 0;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        std::string_view physical =
            text.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at);
        at = end == std::string_view::npos ? text.size() : end + 1;
        ++number;
        if (!physical.empty() && physical.back() == '\r') {
            physical.remove_suffix(1);
        }
        physical = physical.substr(0, commentStart(physical));
        while (!physical.empty() && isBlank(physical.back())) {
            physical.remove_suffix(1);
        }
        bool continues = !physical.empty() && physical.back() == '\\';
        if (continues) {
            physical.remove_suffix(1);
        }
        if (continued) {
            lines.back().text += physical;
        } else {
            lines.push_back({number, std::string(physical)});
        }
        continued = continues;
    }
    return lines;
}

void trimField(Field& field) {
    if (!field.empty() && !field.front().quoted) {
        std::string& text = field.front().text;
        text.erase(text.begin(), std::find_if_not(text.begin(), text.end(), isBlank));
    }
    if (!field.empty() && !field.back().quoted) {
        std::string& text = field.back().text;
        text.erase(std::find_if_not(text.rbegin(), text.rend(), isBlank).base(), text.end());
    }
}

RawLine splitLine(const LogicalLine& logical) {
    RawLine line;
    line.number = logical.number;
    Field field;
    auto finish = [&](bool asKey) {
        trimField(field);
        if (asKey) {
            line.hasKey = true;
            line.key = std::move(field);
        } else {
            line.values.push_back(std::move(field));
        }
        field.clear();
    };
    const std::string& text = logical.text;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '"') {
            Segment quoted{"", true};
            for (++i;; ++i) {
                if (i == text.size()) {
                    throw malformed(logical.number, "unterminated quoted string");
                }
                if (text[i] == '"' && i + 1 < text.size() && text[i + 1] == '"') {
                    quoted.text += '"';
                    ++i;
                } else if (text[i] == '"') {
                    break;
                } else {
                    quoted.text += text[i];
                }
            }
            field.push_back(std::move(quoted));
        } else if (c == ',') {
            finish(false);
        } else if (c == '=' && !line.hasKey && line.values.empty()) {
            finish(true);
        } else {
            if (field.empty() || field.back().quoted) {
                field.push_back({"", false});
            }
            field.back().text += c;
        }
    }
    finish(false);
    // A line that is only a key ("key =") has no values.
    if (line.values.size() == 1 && line.values[0].empty()) {
        line.values.clear();
    }
    return line;
}

std::vector<RawSection> readSections(std::string_view text) {
    std::vector<RawSection> sections;
    std::size_t current = 0;
    for (const LogicalLine& logical : logicalLines(text)) {
        std::string_view content = logical.text;
        std::size_t first = content.find_first_not_of(" \t");
        if (first == std::string_view::npos) {
            continue;
        }
        content.remove_prefix(first);
        if (content.front() == '[') {
            std::size_t close = content.find(']');
            if (close == std::string_view::npos) {
                throw malformed(logical.number, "section header without ']'");
            }
            if (content.find_first_not_of(" \t", close + 1) != std::string_view::npos) {
                throw malformed(logical.number, "text after the section header");
            }
            std::string_view name = content.substr(1, close - 1);
            while (!name.empty() && isBlank(name.front())) {
                name.remove_prefix(1);
            }
            while (!name.empty() && isBlank(name.back())) {
                name.remove_suffix(1);
            }
            if (name.empty()) {
                throw malformed(logical.number, "section without a name");
            }
            auto known = std::find_if(sections.begin(), sections.end(), [&](const RawSection& s) {
                return infNamesEqual(s.name, name);
            });
            // Lines of a repeated section join its first appearance.
            current = static_cast<std::size_t>(known - sections.begin());
            if (known == sections.end()) {
                sections.push_back({std::string(name), {}});
            }
            continue;
        }
        if (sections.empty()) {
            throw malformed(logical.number, "line before the first section");
        }
        sections[current].lines.push_back(splitLine(logical));
    }
    return sections;
}

std::string joined(const Field& field) {
    std::string text;
    for (const Segment& segment : field) {
        text += segment.text;
    }
    return text;
}

using Strings = std::vector<std::pair<std::string, std::string>>;

Strings readStrings(const std::vector<RawSection>& sections) {
    Strings strings;
    for (const RawSection& section : sections) {
        if (!infNamesEqual(section.name, "Strings")) {
            continue;
        }
        for (const RawLine& line : section.lines) {
            std::string key = joined(line.key);
            if (!line.hasKey || key.empty() || line.values.size() != 1) {
                throw malformed(line.number, "a line of [Strings] must be \"name = text\"");
            }
            bool known = std::any_of(strings.begin(), strings.end(), [&](const auto& entry) {
                return infNamesEqual(entry.first, key);
            });
            if (known) {
                throw malformed(line.number, "string " + key + " is defined twice");
            }
            strings.emplace_back(key, joined(line.values[0]));
        }
    }
    return strings;
}

std::string expand(const Field& field, const Strings& strings, int number) {
    std::string text;
    for (const Segment& segment : field) {
        if (segment.quoted) {
            text += segment.text;
            continue;
        }
        const std::string& raw = segment.text;
        for (std::size_t i = 0; i < raw.size(); ++i) {
            if (raw[i] != '%') {
                text += raw[i];
                continue;
            }
            std::size_t close = raw.find('%', i + 1);
            if (close == std::string::npos) {
                throw malformed(number, "'%' without its closing '%' in \"" + raw + "\"");
            }
            std::string name = raw.substr(i + 1, close - i - 1);
            i = close;
            if (name.empty()) {
                text += '%';
            } else if (std::all_of(name.begin(), name.end(),
                                   [](char c) { return c >= '0' && c <= '9'; })) {
                text += "%" + name + "%";
            } else {
                auto found = std::find_if(strings.begin(), strings.end(), [&](const auto& entry) {
                    return infNamesEqual(entry.first, name);
                });
                if (found == strings.end()) {
                    throw malformed(number, "%" + name + "% is not defined in [Strings]");
                }
                text += found->second;
            }
        }
    }
    return text;
}

} // namespace

bool infNamesEqual(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::optional<std::uint32_t> infNumber(std::string_view text) {
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    std::string_view digits = hex ? text.substr(2) : text;
    if (digits.empty() || digits.size() > (hex ? 8u : 10u)) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (char c : digits) {
        int digit = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                    : hex && std::isxdigit(static_cast<unsigned char>(c))
                        ? std::tolower(static_cast<unsigned char>(c)) - 'a' + 10
                        : -1;
        if (digit < 0) {
            return std::nullopt;
        }
        value = value * (hex ? 16 : 10) + static_cast<unsigned>(digit);
    }
    if (value > 0xffffffffu) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

std::optional<InfDriverVer> parseDriverVer(const std::vector<std::string>& values,
                                           std::string& error) {
    if (values.empty() || values.size() > 2) {
        error = "DriverVer takes a date and a version";
        return std::nullopt;
    }
    InfDriverVer driverVer;
    const std::string& date = values[0];
    bool shaped = date.size() == 10 && date[2] == '/' && date[5] == '/';
    for (std::size_t i : {0u, 1u, 3u, 4u, 6u, 7u, 8u, 9u}) {
        shaped = shaped && std::isdigit(static_cast<unsigned char>(date[i]));
    }
    if (shaped) {
        driverVer.month = std::stoi(date.substr(0, 2));
        driverVer.day = std::stoi(date.substr(3, 2));
        driverVer.year = std::stoi(date.substr(6, 4));
    }
    static const int kDaysInMonth[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = driverVer.year % 4 == 0 && (driverVer.year % 100 != 0 || driverVer.year % 400 == 0);
    if (!shaped || driverVer.month < 1 || driverVer.month > 12 || driverVer.day < 1 ||
        driverVer.day > kDaysInMonth[driverVer.month - 1] ||
        (driverVer.month == 2 && driverVer.day == 29 && !leap)) {
        error = "DriverVer date \"" + date + "\" is not a valid mm/dd/yyyy";
        return std::nullopt;
    }
    if (values.size() == 2) {
        std::string_view rest = values[1];
        int parts = 0;
        while (true) {
            std::size_t dot = rest.find('.');
            std::string_view text = rest.substr(0, dot);
            bool decimal = std::all_of(text.begin(), text.end(), [](char c) {
                return std::isdigit(static_cast<unsigned char>(c));
            });
            std::optional<std::uint32_t> part = decimal ? infNumber(text) : std::nullopt;
            if (!part || *part > 0xffff || ++parts > 4) {
                error = "DriverVer version \"" + values[1] + "\" is not w.x.y.z";
                return std::nullopt;
            }
            driverVer.version |= std::uint64_t{*part} << (64 - 16 * parts);
            if (dot == std::string_view::npos) {
                break;
            }
            rest.remove_prefix(dot + 1);
        }
    }
    return driverVer;
}

const InfSection* InfFile::section(std::string_view name) const {
    for (const InfSection& s : sections) {
        if (infNamesEqual(s.name, name)) {
            return &s;
        }
    }
    return nullptr;
}

std::vector<const InfLine*> InfFile::lines(std::string_view sectionName,
                                           std::string_view key) const {
    std::vector<const InfLine*> found;
    if (const InfSection* s = section(sectionName)) {
        for (const InfLine& line : s->lines) {
            if (line.hasKey && infNamesEqual(line.key, key)) {
                found.push_back(&line);
            }
        }
    }
    return found;
}

std::optional<std::vector<std::string>> InfFile::values(std::string_view sectionName,
                                                        std::string_view key) const {
    std::vector<const InfLine*> found = lines(sectionName, key);
    if (found.size() != 1) {
        return std::nullopt;
    }
    return found[0]->values;
}

std::optional<InfFile> parseInf(std::string_view text, std::string& error) {
    InfFile inf;
    try {
        std::vector<RawSection> raw = readSections(text);
        Strings strings = readStrings(raw);
        for (const RawSection& rawSection : raw) {
            bool literal = infNamesEqual(rawSection.name, "Strings");
            InfSection section{rawSection.name, {}};
            for (const RawLine& rawLine : rawSection.lines) {
                InfLine line;
                line.number = rawLine.number;
                line.hasKey = rawLine.hasKey;
                line.key =
                    literal ? joined(rawLine.key) : expand(rawLine.key, strings, rawLine.number);
                for (const Field& value : rawLine.values) {
                    line.values.push_back(literal ? joined(value)
                                                  : expand(value, strings, rawLine.number));
                }
                section.lines.push_back(std::move(line));
            }
            inf.sections.push_back(std::move(section));
        }
    } catch (const Malformed& e) {
        error = e.what();
        return std::nullopt;
    }
    return inf;
}

std::optional<InfFile> loadInf(const std::string& path, std::string& error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = "cannot open " + path;
        return std::nullopt;
    }
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (file.bad()) {
        error = "cannot read " + path;
        return std::nullopt;
    }
    std::optional<InfFile> inf = parseInf(text, error);
    if (!inf) {
        error = path + ": " + error;
    }
    return inf;
}

} // namespace velt::test
