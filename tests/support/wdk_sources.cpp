#include "support/wdk_sources.h"

#include <fstream>
#include <iterator>

namespace velt::test {
namespace {

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && isSpace(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isSpace(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

bool isMacroName(std::string_view name) {
    if (name.empty()) {
        return false;
    }
    for (char c : name) {
        bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
        bool digit = c >= '0' && c <= '9';
        if (!letter && !digit && c != '_') {
            return false;
        }
    }
    return !(name.front() >= '0' && name.front() <= '9');
}

} // namespace

std::optional<WdkMacros> parseWdkSources(std::string_view text, std::string& error) {
    WdkMacros macros;
    std::string logical;
    int number = 0;
    int firstNumber = 0;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        std::string_view line =
            text.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at);
        at = end == std::string_view::npos ? text.size() : end + 1;
        ++number;
        line = trimmed(line.substr(0, line.find('#')));
        bool continues = !line.empty() && line.back() == '\\';
        if (continues) {
            line.remove_suffix(1);
        }
        if (logical.empty()) {
            firstNumber = number;
        }
        // nmake joins a continued line with a single space.
        logical += std::string(line) + (continues ? " " : "");
        if (continues && at < text.size()) {
            continue;
        }
        std::string_view content = trimmed(logical);
        if (!content.empty()) {
            std::string where = "line " + std::to_string(firstNumber) + ": ";
            if (content.front() == '!') {
                error = where + "preprocessing directive \"" + std::string(content) +
                        "\" is not supported";
                return std::nullopt;
            }
            std::size_t equals = content.find('=');
            std::string_view name =
                trimmed(content.substr(0, equals == std::string_view::npos ? 0 : equals));
            if (equals == std::string_view::npos || !isMacroName(name)) {
                error = where + "\"" + std::string(content) + "\" is not a macro definition";
                return std::nullopt;
            }
            macros[std::string(name)] = std::string(trimmed(content.substr(equals + 1)));
        }
        logical.clear();
    }
    return macros;
}

std::optional<WdkMacros> loadWdkSources(const std::string& path, std::string& error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = "cannot open " + path;
        return std::nullopt;
    }
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::optional<WdkMacros> macros = parseWdkSources(text, error);
    if (!macros) {
        error = path + ": " + error;
    }
    return macros;
}

std::vector<std::string> wdkWords(std::string_view value) {
    std::vector<std::string> words;
    std::size_t at = 0;
    while (at < value.size()) {
        while (at < value.size() && isSpace(value[at])) {
            ++at;
        }
        std::size_t end = at;
        while (end < value.size() && !isSpace(value[end])) {
            ++end;
        }
        if (end > at) {
            words.emplace_back(value.substr(at, end - at));
        }
        at = end;
    }
    return words;
}

} // namespace velt::test
