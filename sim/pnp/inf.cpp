// A small INF reader: sections, entries, %strings% and the chain from [Manufacturer] through the
// models and install sections to AddService.
#include "inf.h"

#include <host/host.h>
#include <host/user_io.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

namespace sim::pnp {
namespace {

// SPSVCINST_ASSOCSERVICE: the service is the device's function driver.
constexpr unsigned long AssociatedService = 0x2;
constexpr unsigned long KernelDriverService = 1;

struct Entry {
    std::string key; // empty for a line without '='
    std::string value;
};

using Sections = std::map<std::string, std::vector<Entry>>;

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string Trim(const std::string& text) {
    size_t begin = text.find_first_not_of(" \t\r");
    if (begin == std::string::npos) {
        return "";
    }
    size_t end = text.find_last_not_of(" \t\r");
    return text.substr(begin, end - begin + 1);
}

// Drops a comment that starts outside quotes.
std::string StripComment(const std::string& line) {
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '"') {
            quoted = !quoted;
        } else if (line[i] == ';' && !quoted) {
            return line.substr(0, i);
        }
    }
    return line;
}

std::string Unquote(const std::string& text) {
    std::string t = Trim(text);
    if (t.size() >= 2 && t.front() == '"' && t.back() == '"') {
        return t.substr(1, t.size() - 2);
    }
    return t;
}

Sections ReadSections(const std::string& text) {
    Sections sections;
    std::vector<Entry>* current = nullptr;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        line = Trim(StripComment(line));
        if (line.empty()) {
            continue;
        }
        if (line.front() == '[' && line.back() == ']') {
            current = &sections[Lower(Trim(line.substr(1, line.size() - 2)))];
            continue;
        }
        if (current == nullptr) {
            continue;
        }
        size_t equals = line.find('=');
        if (equals == std::string::npos) {
            current->push_back({"", line});
        } else {
            current->push_back({Trim(line.substr(0, equals)), Trim(line.substr(equals + 1))});
        }
    }
    return sections;
}

// Replaces %key% with its [Strings] value; %12% and other unknown tokens stay as written.
std::string Expand(const std::string& text, const Sections& sections) {
    std::map<std::string, std::string> strings;
    auto found = sections.find("strings");
    if (found != sections.end()) {
        for (const Entry& e : found->second) {
            strings[Lower(e.key)] = Unquote(e.value);
        }
    }
    std::string result;
    size_t at = 0;
    while (at < text.size()) {
        size_t open = text.find('%', at);
        size_t close = open == std::string::npos ? open : text.find('%', open + 1);
        if (close == std::string::npos) {
            result += text.substr(at);
            break;
        }
        result += text.substr(at, open - at);
        auto value = strings.find(Lower(text.substr(open + 1, close - open - 1)));
        result += value != strings.end() ? value->second : text.substr(open, close - open + 1);
        at = close + 1;
    }
    return result;
}

unsigned long Number(const std::string& text) {
    return std::strtoul(Trim(text).c_str(), nullptr, 0);
}

std::vector<std::string> Fields(const std::string& value) {
    std::vector<std::string> fields;
    std::istringstream parts(value);
    std::string part;
    while (std::getline(parts, part, ',')) {
        fields.push_back(Unquote(part));
    }
    return fields;
}

const std::vector<Entry>* Section(const Sections& sections, const std::string& name) {
    auto found = sections.find(Lower(name));
    return found == sections.end() ? nullptr : &found->second;
}

std::string ValueOf(const std::vector<Entry>& section, const std::string& key) {
    for (const Entry& e : section) {
        if (Lower(e.key) == Lower(key)) {
            return e.value;
        }
    }
    return "";
}

// The install section as Windows picks it: the platform decoration, then .NT, then undecorated.
std::string ChooseInstallSection(const Sections& sections, const std::string& install,
                                 const std::string& decoration) {
    for (const std::string& name : {install + "." + decoration, install + ".NT", install}) {
        if (Section(sections, name) != nullptr) {
            return name;
        }
    }
    return "";
}

std::string FunctionService(const Sections& sections, const std::string& installSection) {
    const std::vector<Entry>* services = Section(sections, installSection + ".Services");
    if (services == nullptr) {
        return "";
    }
    for (const Entry& e : *services) {
        if (Lower(e.key) != "addservice") {
            continue;
        }
        std::vector<std::string> fields = Fields(e.value);
        if (fields.size() < 3 || (Number(fields[1]) & AssociatedService) == 0) {
            continue;
        }
        const std::vector<Entry>* install = Section(sections, fields[2]);
        if (install != nullptr && Number(ValueOf(*install, "ServiceType")) == KernelDriverService) {
            return fields[0];
        }
    }
    return "";
}

// The Security value of the device's hardware key: an HKR line of an add-registry section that
// the install section's .HW section names ("INF AddReg Directive"; the value is REG_SZ, flags
// empty or 0). A later line overrides an earlier one, as the registry keeps the last write.
std::string DeviceSecurity(const Sections& sections, const std::string& installSection) {
    const std::vector<Entry>* hardware = Section(sections, installSection + ".HW");
    if (hardware == nullptr) {
        return "";
    }
    std::string security;
    for (const Entry& e : *hardware) {
        if (Lower(e.key) != "addreg") {
            continue;
        }
        for (const std::string& name : Fields(e.value)) {
            const std::vector<Entry>* addReg = Section(sections, name);
            if (addReg == nullptr) {
                continue;
            }
            for (const Entry& line : *addReg) {
                std::vector<std::string> fields = Fields(line.value);
                if (line.key.empty() && fields.size() == 5 && Lower(fields[0]) == "hkr" &&
                    fields[1].empty() && Lower(fields[2]) == "security" && Number(fields[3]) == 0) {
                    security = Expand(fields[4], sections);
                }
            }
        }
    }
    return security;
}

} // namespace

std::string PlatformDecoration() {
    return sizeof(void*) == 8 ? "NTamd64" : "NTx86";
}

std::vector<InfModel> ParseInfModels(const std::string& text, const std::string& decoration) {
    Sections sections = ReadSections(text);
    std::vector<InfModel> models;
    const std::vector<Entry>* manufacturers = Section(sections, "Manufacturer");
    if (manufacturers == nullptr) {
        return models;
    }
    for (const Entry& manufacturer : *manufacturers) {
        std::vector<std::string> fields = Fields(manufacturer.value);
        if (fields.empty()) {
            continue;
        }
        std::string modelsName = fields[0];
        if (fields.size() > 1) {
            auto match = std::find_if(fields.begin() + 1, fields.end(), [&](const std::string& d) {
                return Lower(d) == Lower(decoration);
            });
            if (match == fields.end()) {
                continue;
            }
            modelsName += "." + decoration;
        }
        const std::vector<Entry>* modelLines = Section(sections, modelsName);
        if (modelLines == nullptr) {
            continue;
        }
        for (const Entry& line : *modelLines) {
            std::vector<std::string> parts = Fields(line.value);
            if (parts.size() < 2) {
                continue;
            }
            std::string install = ChooseInstallSection(sections, parts[0], decoration);
            std::string service = install.empty() ? "" : FunctionService(sections, install);
            std::string security = install.empty() ? "" : DeviceSecurity(sections, install);
            for (size_t i = 1; i < parts.size(); ++i) {
                models.push_back(
                    {parts[i], Expand(line.key, sections), install, service, security});
            }
        }
    }
    return models;
}

bool ReadInfModels(const std::string& path, std::vector<InfModel>& models) {
    std::ifstream file(path);
    if (!file) {
        return false;
    }
    std::ostringstream text;
    text << file.rdbuf();
    models = ParseInfModels(text.str());
    return true;
}

bool ApplyDeviceSecurity(const InfModel& model, PDEVICE_OBJECT stackMember) {
    if (model.security.empty()) {
        return true;
    }
    PDEVICE_OBJECT bottom = stackMember;
    while (host::AttachedTo(bottom) != nullptr) {
        bottom = host::AttachedTo(bottom);
    }
    for (PDEVICE_OBJECT device = bottom; device != nullptr; device = device->AttachedDevice) {
        if (!host::SetDeviceSecurity(device, model.security)) {
            return false;
        }
    }
    return true;
}

} // namespace sim::pnp
