#include "support/msbuild_project.h"

#include <fstream>
#include <iterator>

namespace velt::test {
namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool isNameChar(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
           c == ':' || c == '-' || c == '.';
}

std::string trimmed(std::string_view text) {
    while (!text.empty() && isBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isBlank(text.back())) {
        text.remove_suffix(1);
    }
    return std::string(text);
}

void appendUtf8(std::string& out, unsigned long code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

class XmlReader {
  public:
    XmlReader(std::string_view text, std::string& error) : text_(text), error_(error) {}

    std::optional<XmlElement> document() {
        skipMisc();
        if (!failed_ && !startsWith("<")) {
            fail("no root element");
        }
        if (failed_) {
            return std::nullopt;
        }
        XmlElement root;
        if (!element(root)) {
            return std::nullopt;
        }
        skipMisc();
        if (!failed_ && at_ < text_.size()) {
            fail("text after the root element");
        }
        return failed_ ? std::nullopt : std::optional<XmlElement>(std::move(root));
    }

  private:
    bool startsWith(std::string_view prefix) const {
        return text_.substr(at_, prefix.size()) == prefix;
    }

    void advance(std::size_t count) {
        for (std::size_t i = 0; i < count && at_ < text_.size(); ++i) {
            line_ += text_[at_++] == '\n' ? 1 : 0;
        }
    }

    bool fail(const std::string& message) {
        if (!failed_) {
            error_ = "line " + std::to_string(line_) + ": " + message;
            failed_ = true;
        }
        return false;
    }

    // Skips past `terminator`, failing with `what` when the text ends first.
    bool skipPast(std::string_view terminator, const char* what) {
        std::size_t end = text_.find(terminator, at_);
        if (end == std::string_view::npos) {
            return fail(std::string("unterminated ") + what);
        }
        advance(end + terminator.size() - at_);
        return true;
    }

    void skipBlanks() {
        while (at_ < text_.size() && isBlank(text_[at_])) {
            advance(1);
        }
    }

    // Blanks, comments and processing instructions, as allowed around the root element.
    void skipMisc() {
        for (;;) {
            skipBlanks();
            if (startsWith("<!--")) {
                skipPast("-->", "comment");
            } else if (startsWith("<?")) {
                skipPast("?>", "processing instruction");
            } else if (startsWith("<!")) {
                fail("document type declarations are not supported");
                return;
            } else {
                return;
            }
            if (failed_) {
                return;
            }
        }
    }

    std::string name() {
        std::size_t start = at_;
        while (at_ < text_.size() && isNameChar(text_[at_])) {
            advance(1);
        }
        return std::string(text_.substr(start, at_ - start));
    }

    // Decodes character data or an attribute value up to (not including) one of `stops`.
    bool characters(std::string_view stops, std::string& out) {
        while (at_ < text_.size() && stops.find(text_[at_]) == std::string_view::npos) {
            char c = text_[at_];
            if (c != '&') {
                out += c;
                advance(1);
                continue;
            }
            std::size_t end = text_.find(';', at_);
            if (end == std::string_view::npos || end - at_ > 10) {
                return fail("'&' without its entity");
            }
            std::string_view entity = text_.substr(at_ + 1, end - at_ - 1);
            static const std::pair<const char*, char> kEntities[] = {
                {"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}};
            bool known = false;
            for (const auto& [entityName, value] : kEntities) {
                if (entity == entityName) {
                    out += value;
                    known = true;
                }
            }
            if (!known && entity.size() > 1 && entity[0] == '#') {
                bool hex = entity[1] == 'x';
                std::string_view digits = entity.substr(hex ? 2 : 1);
                unsigned long code = 0;
                known = !digits.empty() && digits.size() <= 8;
                for (char d : digits) {
                    int value = d >= '0' && d <= '9'          ? d - '0'
                                : hex && d >= 'a' && d <= 'f' ? d - 'a' + 10
                                : hex && d >= 'A' && d <= 'F' ? d - 'A' + 10
                                                              : -1;
                    known = known && value >= 0;
                    code =
                        code * (hex ? 16 : 10) + static_cast<unsigned long>(value < 0 ? 0 : value);
                }
                known = known && code != 0 && code <= 0x10FFFF;
                if (known) {
                    appendUtf8(out, code);
                }
            }
            if (!known) {
                return fail("unknown entity &" + std::string(entity) + ";");
            }
            advance(end + 1 - at_);
        }
        return true;
    }

    bool element(XmlElement& element) {
        element.line = line_;
        advance(1);
        element.name = name();
        if (element.name.empty()) {
            return fail("element without a name");
        }
        for (;;) {
            std::size_t before = at_;
            skipBlanks();
            if (startsWith("/>")) {
                advance(2);
                return true;
            }
            if (startsWith(">")) {
                advance(1);
                break;
            }
            std::string attributeName = name();
            if (attributeName.empty() || at_ == before) {
                return fail("malformed attribute in <" + element.name + ">");
            }
            skipBlanks();
            if (!startsWith("=")) {
                return fail("attribute " + attributeName + " without a value");
            }
            advance(1);
            skipBlanks();
            char quote = at_ < text_.size() ? text_[at_] : '\0';
            if (quote != '"' && quote != '\'') {
                return fail("attribute " + attributeName + " is not quoted");
            }
            advance(1);
            int valueLine = line_;
            std::string value;
            if (!characters(std::string_view(&quote, 1), value)) {
                return false;
            }
            if (at_ >= text_.size()) {
                line_ = valueLine;
                return fail("unterminated value of attribute " + attributeName);
            }
            advance(1);
            if (!element.attributes.emplace(attributeName, value).second) {
                return fail("attribute " + attributeName + " given twice");
            }
        }
        std::string text;
        for (;;) {
            if (!characters("<", text)) {
                return false;
            }
            if (at_ >= text_.size()) {
                return fail("<" + element.name + "> is not closed");
            }
            if (startsWith("</")) {
                advance(2);
                std::string closing = name();
                skipBlanks();
                if (closing != element.name || !startsWith(">")) {
                    return fail("</" + closing + "> closes <" + element.name + ">");
                }
                advance(1);
                element.text = trimmed(text);
                return true;
            }
            if (startsWith("<!--")) {
                if (!skipPast("-->", "comment")) {
                    return false;
                }
            } else if (startsWith("<![CDATA[")) {
                std::size_t start = at_ + 9;
                if (!skipPast("]]>", "CDATA section")) {
                    return false;
                }
                text += std::string(text_.substr(start, at_ - 3 - start));
            } else if (startsWith("<?")) {
                if (!skipPast("?>", "processing instruction")) {
                    return false;
                }
            } else {
                element.children.emplace_back();
                if (!this->element(element.children.back())) {
                    return false;
                }
            }
        }
    }

    std::string_view text_;
    std::string& error_;
    std::size_t at_ = 0;
    int line_ = 1;
    bool failed_ = false;
};

std::string withoutBlanks(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (!isBlank(c)) {
            out += c;
        }
    }
    return out;
}

// A group applies to `configuration` when it has no condition or the configuration's own.
bool groupApplies(const XmlElement& group, std::string_view configuration) {
    const std::string* condition = group.attribute("Condition");
    return condition == nullptr ||
           withoutBlanks(*condition) ==
               "'$(Configuration)|$(Platform)'=='" + withoutBlanks(configuration) + "'";
}

std::optional<std::string> lastValue(const XmlElement& project, std::string_view groupName,
                                     std::string_view configuration,
                                     const std::vector<std::string_view>& path,
                                     std::size_t before) {
    std::optional<std::string> value;
    for (std::size_t at = 0; at < project.children.size() && at < before; ++at) {
        const XmlElement& group = project.children[at];
        if (group.name != groupName || !groupApplies(group, configuration)) {
            continue;
        }
        std::vector<const XmlElement*> level{&group};
        for (std::string_view step : path) {
            std::vector<const XmlElement*> next;
            for (const XmlElement* parent : level) {
                for (const XmlElement* child : parent->childrenNamed(step)) {
                    if (child->attribute("Condition") == nullptr) {
                        next.push_back(child);
                    }
                }
            }
            level = next;
        }
        if (!level.empty()) {
            value = level.back()->text;
        }
    }
    return value;
}

// Whether an Import's Project names `fileName`, after the last folder separator.
bool importsFile(const XmlElement& import, std::string_view fileName) {
    const std::string* path = import.attribute("Project");
    if (path == nullptr) {
        return false;
    }
    std::size_t separator = path->find_last_of("\\/");
    std::string_view name(*path);
    if (separator != std::string::npos) {
        name.remove_prefix(separator + 1);
    }
    return name == fileName;
}

} // namespace

const std::string* XmlElement::attribute(std::string_view attributeName) const {
    auto found = attributes.find(std::string(attributeName));
    return found == attributes.end() ? nullptr : &found->second;
}

std::vector<const XmlElement*> XmlElement::childrenNamed(std::string_view childName) const {
    std::vector<const XmlElement*> found;
    for (const XmlElement& child : children) {
        if (child.name == childName) {
            found.push_back(&child);
        }
    }
    return found;
}

std::optional<XmlElement> parseXml(std::string_view text, std::string& error) {
    // A byte-order mark, as Visual Studio writes one.
    if (text.substr(0, 3) == "\xEF\xBB\xBF") {
        text.remove_prefix(3);
    }
    return XmlReader(text, error).document();
}

std::optional<XmlElement> loadXml(const std::string& path, std::string& error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = "cannot open " + path;
        return std::nullopt;
    }
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::optional<XmlElement> root = parseXml(text, error);
    if (!root) {
        error = path + ": " + error;
    }
    return root;
}

std::vector<std::string> msbuildItems(const XmlElement& project, std::string_view kind) {
    std::vector<std::string> items;
    for (const XmlElement* group : project.childrenNamed("ItemGroup")) {
        for (const XmlElement* item : group->childrenNamed(kind)) {
            if (const std::string* include = item->attribute("Include")) {
                items.push_back(*include);
            }
        }
    }
    return items;
}

std::optional<std::size_t> msbuildImport(const XmlElement& project, std::string_view fileName) {
    for (std::size_t at = 0; at < project.children.size(); ++at) {
        const XmlElement& child = project.children[at];
        std::vector<const XmlElement*> imports;
        if (child.name == "Import") {
            imports.push_back(&child);
        } else if (child.name == "ImportGroup") {
            imports = child.childrenNamed("Import");
        }
        for (const XmlElement* import : imports) {
            if (importsFile(*import, fileName)) {
                return at;
            }
        }
    }
    return std::nullopt;
}

std::optional<std::string> msbuildProperty(const XmlElement& project, std::string_view name,
                                           std::string_view configuration, std::size_t before) {
    return lastValue(project, "PropertyGroup", configuration, {name}, before);
}

std::optional<std::string> msbuildItemDefinition(const XmlElement& project, std::string_view kind,
                                                 std::string_view name,
                                                 std::string_view configuration,
                                                 std::size_t before) {
    return lastValue(project, "ItemDefinitionGroup", configuration, {kind, name}, before);
}

} // namespace velt::test
