// Reader for MSBuild project files: a small XML reader (elements, attributes, character data,
// comments, the five predefined entities and numeric character references; no DTD) and the parts of
// a project that the package checks read: items by kind, imports by position, and properties and
// item definitions by configuration, up to a position.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velt::test {

struct XmlElement {
    std::string name;
    std::map<std::string, std::string> attributes;
    // The character data directly inside the element, entities decoded, outer blanks removed.
    std::string text;
    std::vector<XmlElement> children;
    int line = 0;

    const std::string* attribute(std::string_view attributeName) const;
    std::vector<const XmlElement*> childrenNamed(std::string_view childName) const;
};

// Parses a whole document into its root element. On failure returns nothing and sets `error`,
// which starts with "line N: ".
std::optional<XmlElement> parseXml(std::string_view text, std::string& error);

// Reads the file at `path` and parses it.
std::optional<XmlElement> loadXml(const std::string& path, std::string& error);

// The Include values of every item of `kind` (ClCompile, ResourceCompile, Inf, ...) in the
// project's ItemGroups, in file order.
std::vector<std::string> msbuildItems(const XmlElement& project, std::string_view kind);

// The position among the project's top-level elements of the first Import, alone or in an
// ImportGroup, whose Project is the file `fileName` (in any folder), or nothing.
std::optional<std::size_t> msbuildImport(const XmlElement& project, std::string_view fileName);

// Every position counts for the lookups below.
constexpr std::size_t kWholeProject = static_cast<std::size_t>(-1);

// The value MSBuild gives property `name` for `configuration` ("Release|x64") by the time it
// reaches the top-level element at position `before`: the last one set ahead of it in a
// PropertyGroup without a condition or conditioned on exactly that configuration. Properties
// with a condition of their own are defaults and are skipped.
std::optional<std::string> msbuildProperty(const XmlElement& project, std::string_view name,
                                           std::string_view configuration,
                                           std::size_t before = kWholeProject);

// The same for the metadata `name` of item kind `kind` in the ItemDefinitionGroups
// (Link/AdditionalDependencies, DriverSign/FileDigestAlgorithm, ...).
std::optional<std::string> msbuildItemDefinition(const XmlElement& project, std::string_view kind,
                                                 std::string_view name,
                                                 std::string_view configuration,
                                                 std::size_t before = kWholeProject);

} // namespace velt::test
