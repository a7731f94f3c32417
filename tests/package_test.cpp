// Checks the driver's installation INF, its WDK project and solution and the package's install
// script in the tree, and the readers behind those checks.
#include "support/inf_file.h"
#include "support/msbuild_project.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <set>

#if !defined(VELT_SOURCE_DIR)
#error "VELT_SOURCE_DIR must name the top of the source tree"
#endif

namespace velt::test {
namespace {

TEST(InfReader, ReadsSectionsQuotesContinuationsAndStrings) {
    const char* text = "; leading comment\r\n"
                       "[Version]\r\n"
                       "Signature = \"$Windows NT$\" ; trailing comment\r\n"
                       "[models]\n"
                       "%Desc% = Install, USB\\VID_1&PID_2 \\\n"
                       "         , USB\\VID_1\n"
                       "[Service]\n"
                       "ServiceBinary = %12%\\x.sys\n"
                       "Quoted = \"a; b, \"\"c\"\" %Desc%\", 100%%\n"
                       "bare, , value\n"
                       "Empty =\n"
                       "[MODELS]\n"
                       "%desc% = Other\n"
                       "[Strings]\n"
                       "Desc = \"A \"\"quoted\"\" name\"\n";
    std::string error;
    std::optional<InfFile> inf = parseInf(text, error);
    ASSERT_TRUE(inf) << error;

    EXPECT_EQ(inf->values("version", "SIGNATURE"), std::vector<std::string>{"$Windows NT$"});
    ASSERT_NE(inf->section("Models"), nullptr);
    const std::vector<InfLine>& models = inf->section("Models")->lines;
    ASSERT_EQ(models.size(), 2u) << "a repeated section joins the first";
    EXPECT_EQ(models[0].key, "A \"quoted\" name");
    EXPECT_EQ(models[0].values,
              (std::vector<std::string>{"Install", "USB\\VID_1&PID_2", "USB\\VID_1"}));
    EXPECT_EQ(models[0].number, 5);
    EXPECT_EQ(models[1].number, 13);

    EXPECT_EQ(inf->values("Service", "ServiceBinary"), std::vector<std::string>{"%12%\\x.sys"});
    EXPECT_EQ(inf->values("Service", "Quoted"),
              (std::vector<std::string>{"a; b, \"c\" %Desc%", "100%"}));
    const std::vector<InfLine>& service = inf->section("Service")->lines;
    ASSERT_EQ(service.size(), 4u);
    EXPECT_FALSE(service[2].hasKey);
    EXPECT_EQ(service[2].values, (std::vector<std::string>{"bare", "", "value"}));
    EXPECT_TRUE(service[3].hasKey);
    EXPECT_TRUE(service[3].values.empty());
}

TEST(InfReader, RejectsMalformedText) {
    struct Case {
        const char* text;
        const char* expectedError;
    };
    const Case cases[] = {
        {"[Version]\nSignature = \"$Windows NT$\n", "line 2: unterminated quoted string"},
        {"[Version\n", "line 1: section header without ']'"},
        {"[Version] x\n", "line 1: text after the section header"},
        {"[ ]\n", "line 1: section without a name"},
        {"Signature = x\n[Version]\n", "line 1: line before the first section"},
        {"[Models]\n%Missing% = Install\n", "line 2: %Missing% is not defined"},
        {"[Models]\nx = 50%\n", "line 2: '%' without its closing '%'"},
        {"[Strings]\nA = 1\n[strings]\na = 2\n", "line 4: string a is defined twice"},
        {"[Strings]\nA\n", "line 2: a line of [Strings] must be"},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_FALSE(parseInf(c.text, error)) << c.text;
        EXPECT_NE(error.find(c.expectedError), std::string::npos)
            << c.text << "\nerror was \"" << error << "\"";
    }
}

TEST(InfReader, ReadsDriverVer) {
    struct Case {
        std::vector<std::string> values;
        std::optional<std::uint64_t> version;
    };
    const Case cases[] = {
        {{"12/09/2026", "1.2.3.4"}, 0x0001000200030004ull},
        {{"02/29/2024", "7.1"}, 0x0007000100000000ull},
        {{"01/31/2026"}, 0},
        {{"02/29/2026", "1.0.0.0"}, std::nullopt},
        {{"13/01/2026", "1.0.0.0"}, std::nullopt},
        {{"2026-12-09", "1.0.0.0"}, std::nullopt},
        {{"12/09/2026", "1.0.0.0.0"}, std::nullopt},
        {{"12/09/2026", "1.0x1"}, std::nullopt},
        {{"12/09/2026", "65536.0"}, std::nullopt},
        {{"12/09/2026", "1..0"}, std::nullopt},
    };
    for (const Case& c : cases) {
        std::string error;
        std::optional<InfDriverVer> driverVer = parseDriverVer(c.values, error);
        std::string shown = c.values[0] + (c.values.size() > 1 ? "," + c.values[1] : "");
        ASSERT_EQ(driverVer.has_value(), c.version.has_value()) << shown << ": " << error;
        if (driverVer) {
            EXPECT_EQ(driverVer->version, *c.version) << shown;
        }
    }
}

TEST(XmlReader, ReadsElementsAttributesEntitiesAndComments) {
    std::string error;
    std::optional<XmlElement> root = parseXml(
        "\xEF\xBB\xBF<?xml version=\"1.0\"?>\n"
        "<!-- leading -->\n"
        "<Project a='1' b=\"x &amp; &lt;y&gt; &#65;&#x42;\">\n"
        "  <Group Condition=\"'$(C)'=='D'\"><Item Include=\"a\\b.cpp\" /><!-- c --></Group>\n"
        "  <Name>  text <![CDATA[<raw>]]> &quot;q&apos; </Name>\n"
        "</Project>\n",
        error);
    ASSERT_TRUE(root) << error;
    EXPECT_EQ(root->name, "Project");
    ASSERT_NE(root->attribute("b"), nullptr);
    EXPECT_EQ(*root->attribute("b"), "x & <y> AB");
    EXPECT_EQ(root->attribute("c"), nullptr);
    ASSERT_EQ(root->children.size(), 2u);
    const XmlElement& group = root->children[0];
    EXPECT_EQ(*group.attribute("Condition"), "'$(C)'=='D'");
    ASSERT_EQ(group.childrenNamed("Item").size(), 1u);
    EXPECT_EQ(*group.childrenNamed("Item")[0]->attribute("Include"), "a\\b.cpp");
    EXPECT_EQ(group.childrenNamed("Item")[0]->line, 4);
    EXPECT_EQ(root->children[1].text, "text <raw> \"q'");
}

TEST(XmlReader, RejectsMalformedDocuments) {
    struct Case {
        const char* text;
        const char* expectedError;
    };
    const Case cases[] = {
        {"", "line 1: no root element"},
        {"<a>\n<b></a>", "line 2: </a> closes <b>"},
        {"<a>\n", "line 2: <a> is not closed"},
        {"<a></a><b/>", "line 1: text after the root element"},
        {"<a x=1/>", "line 1: attribute x is not quoted"},
        {"<a x='1' x='2'/>", "line 1: attribute x given twice"},
        {"<a x/>", "line 1: attribute x without a value"},
        {"<a>&nbsp;</a>", "line 1: unknown entity &nbsp;"},
        {"<a>&#0;</a>", "line 1: unknown entity &#0;"},
        {"<a>& b</a>", "line 1: '&' without its entity"},
        {"<!-- open\n<a/>", "line 1: unterminated comment"},
        {"<!DOCTYPE a><a/>", "line 1: document type declarations are not supported"},
        {"<a x='1\n", "line 1: unterminated value of attribute x"},
        {"< a/>", "line 1: element without a name"},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_FALSE(parseXml(c.text, error)) << c.text;
        EXPECT_NE(error.find(c.expectedError), std::string::npos)
            << c.text << "\nerror was \"" << error << "\"";
    }
}

TEST(MsbuildReader, TakesTheLastValueOfTheGroupsThatApply) {
    std::string error;
    std::optional<XmlElement> project = parseXml(
        "<Project>\n"
        "  <PropertyGroup><Kind>All</Kind><Other>1</Other></PropertyGroup>\n"
        "  <PropertyGroup Condition=\" '$(Configuration)|$(Platform)' == 'Debug|x64' \">\n"
        "    <Kind>Debug</Kind></PropertyGroup>\n"
        "  <PropertyGroup Condition=\"'$(Configuration)|$(Platform)'=='Release|x64'\">\n"
        "    <Kind>Release</Kind></PropertyGroup>\n"
        "  <PropertyGroup><Other Condition=\"'$(Other)'==''\">2</Other></PropertyGroup>\n"
        "  <ItemDefinitionGroup><Link><Libs>a.lib</Libs></Link></ItemDefinitionGroup>\n"
        "  <ItemDefinitionGroup Condition=\"'$(Configuration)|$(Platform)'=='Debug|x64'\">\n"
        "    <Link><Libs>b.lib</Libs></Link></ItemDefinitionGroup>\n"
        "  <ItemGroup><ClCompile Include=\"a.cpp\" /><Inf Include=\"x.inf\" /></ItemGroup>\n"
        "  <ItemGroup><ClCompile Include=\"b.cpp\" /></ItemGroup>\n"
        "  <Import Project=\"$(Path)\\First.props\" />\n"
        "  <PropertyGroup><Kind>Late</Kind></PropertyGroup>\n"
        "  <ImportGroup><Import Project=\"Other.props\" /><Import Project=\"x/Last.targets\" />\n"
        "  </ImportGroup>\n"
        "</Project>\n",
        error);
    ASSERT_TRUE(project) << error;
    std::optional<std::size_t> first = msbuildImport(*project, "First.props");
    ASSERT_EQ(first, 8u);
    EXPECT_EQ(msbuildImport(*project, "Last.targets"), 10u) << "an import in an ImportGroup";
    EXPECT_EQ(msbuildImport(*project, "First"), std::nullopt);
    EXPECT_EQ(msbuildImport(*project, "Missing.props"), std::nullopt);
    EXPECT_EQ(msbuildProperty(*project, "Kind", "Debug|x64"), "Late");
    EXPECT_EQ(msbuildProperty(*project, "Kind", "Debug|x64", *first), "Debug");
    EXPECT_EQ(msbuildProperty(*project, "Kind", "Release|x64", *first), "Release");
    EXPECT_EQ(msbuildProperty(*project, "Kind", "Debug|Win32", *first), "All");
    EXPECT_EQ(msbuildProperty(*project, "Kind", "Debug|x64", 1), "All") << "before the Debug group";
    EXPECT_EQ(msbuildProperty(*project, "Other", "Debug|x64"), "1") << "a conditioned default";
    EXPECT_EQ(msbuildProperty(*project, "Missing", "Debug|x64"), std::nullopt);
    EXPECT_EQ(msbuildItemDefinition(*project, "Link", "Libs", "Debug|x64"), "b.lib");
    EXPECT_EQ(msbuildItemDefinition(*project, "Link", "Libs", "Debug|x64", 5), "a.lib");
    EXPECT_EQ(msbuildItemDefinition(*project, "Link", "Libs", "Release|x64"), "a.lib");
    EXPECT_EQ(msbuildItems(*project, "ClCompile"), (std::vector<std::string>{"a.cpp", "b.cpp"}));
    EXPECT_EQ(msbuildItems(*project, "Inf"), std::vector<std::string>{"x.inf"});
}

// The default controller: the device the INF binds. Its children must never match, or the
// driver would load on its own children in place of the HID stack.
constexpr const char* kControllerHardwareId = "USB\\VID_F3A1&PID_5C20";
const char* const kChildHardwareIds[] = {"USB\\VID_F3A1&PID_5C2D", "USB\\VID_054C&PID_09CC"};

constexpr const char* kImageName = "veltdriver.sys";
constexpr const char* kServiceName = "veltdriver";

// Both processor decorations, with the suffix that setup also tries for the install
// sections and the source-disk sections.
struct Platform {
    const char* decoration;
    const char* architecture;
};
const Platform kPlatforms[] = {{"NTx86", "x86"}, {"NTamd64", "amd64"}};

constexpr std::uint32_t kServiceKernelDriver = 1;
constexpr std::uint32_t kServiceDemandStart = 3;
constexpr std::uint32_t kServiceErrorNormal = 1;
constexpr std::uint32_t kAddServiceAssociate = 0x2;
constexpr std::uint32_t kDirIdDrivers = 12;

// The setup classes a function driver of this kind may install under, by name and GUID.
struct SetupClass {
    const char* name;
    const char* guid;
};
const SetupClass kSetupClasses[] = {
    {"System", "{4D36E97D-E325-11CE-BFC1-08002BE10318}"},
    {"USBDevice", "{88BAE032-5A81-49F0-BC3D-A4FF138216D6}"},
    {"HIDClass", "{745A17A0-74D3-11D0-B6FE-00A0C90F57DA}"},
};

std::string lowercase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

bool startsWithId(const std::string& id, const std::string& prefix) {
    std::string lower = lowercase(id);
    std::string lowerPrefix = lowercase(prefix);
    return lower.rfind(lowerPrefix, 0) == 0 &&
           (lower.size() == lowerPrefix.size() || lower[lowerPrefix.size()] == '&');
}

class DriverInfTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        inf_ = loadInf(std::string(VELT_SOURCE_DIR) + "/driver/install/veltdriver.inf", error);
        ASSERT_TRUE(inf_) << error;
    }

    std::string single(std::string_view section, std::string_view key) const {
        std::optional<std::vector<std::string>> values = inf_->values(section, key);
        if (!values || values->size() != 1) {
            ADD_FAILURE() << "[" << section << "] needs exactly one line \"" << key << " = value\"";
            return std::string();
        }
        return values->front();
    }

    // The install section setup picks for a platform: decorated, then .NT, then plain.
    std::string installSection(const std::string& name, const Platform& platform) const {
        for (std::string candidate :
             {name + "." + platform.decoration, name + ".NT", std::string(name)}) {
            if (inf_->section(candidate) != nullptr) {
                return candidate;
            }
        }
        return std::string();
    }

    // A platform-specific section if present, else the plain one.
    const InfSection* sourceSection(const std::string& name, const Platform& platform) const {
        const InfSection* specific = inf_->section(name + "." + platform.architecture);
        return specific != nullptr ? specific : inf_->section(name);
    }

    // Hardware ID -> install section of each model for a decoration, from every manufacturer.
    std::vector<std::pair<std::string, std::string>> models(const Platform& platform) const {
        std::vector<std::pair<std::string, std::string>> found;
        const InfSection* manufacturer = inf_->section("Manufacturer");
        if (manufacturer == nullptr) {
            return found;
        }
        for (const InfLine& line : manufacturer->lines) {
            if (line.values.empty()) {
                continue;
            }
            const InfSection* section = inf_->section(line.values[0] + "." + platform.decoration);
            if (section == nullptr) {
                continue;
            }
            for (const InfLine& model : section->lines) {
                for (std::size_t i = 1; i < model.values.size(); ++i) {
                    found.emplace_back(model.values[i], model.values[0]);
                }
            }
        }
        return found;
    }

    std::optional<InfFile> inf_;
};

TEST_F(DriverInfTest, VersionSectionIsComplete) {
    EXPECT_TRUE(infNamesEqual(single("Version", "Signature"), "$Windows NT$"));
    std::string className = single("Version", "Class");
    std::string classGuid = single("Version", "ClassGuid");
    auto setupClass =
        std::find_if(std::begin(kSetupClasses), std::end(kSetupClasses),
                     [&](const SetupClass& c) { return infNamesEqual(c.name, className); });
    ASSERT_NE(setupClass, std::end(kSetupClasses)) << "unexpected setup class " << className;
    EXPECT_TRUE(infNamesEqual(classGuid, setupClass->guid))
        << "class " << className << " has GUID " << setupClass->guid << ", not " << classGuid;
    EXPECT_FALSE(single("Version", "Provider").empty());

    std::optional<std::vector<std::string>> driverVer = inf_->values("Version", "DriverVer");
    ASSERT_TRUE(driverVer) << "no single DriverVer line";
    std::string error;
    std::optional<InfDriverVer> parsed = parseDriverVer(*driverVer, error);
    ASSERT_TRUE(parsed) << error;
    EXPECT_EQ(driverVer->size(), 2u) << "DriverVer without a version";
    EXPECT_NE(parsed->version, 0u);

    std::string catalog = single("Version", "CatalogFile");
    EXPECT_TRUE(catalog.size() > 4 && lowercase(catalog.substr(catalog.size() - 4)) == ".cat")
        << "CatalogFile " << catalog;
}

TEST_F(DriverInfTest, ModelsBindOnlyTheControllerOnBothProcessors) {
    const InfSection* manufacturer = inf_->section("Manufacturer");
    ASSERT_NE(manufacturer, nullptr) << "no [Manufacturer]";
    ASSERT_FALSE(manufacturer->lines.empty()) << "[Manufacturer] is empty";
    for (const InfLine& line : manufacturer->lines) {
        ASSERT_TRUE(line.hasKey && !line.key.empty() && !line.values.empty())
            << "line " << line.number << " of [Manufacturer] is not \"name = models, ...\"";
        for (const Platform& platform : kPlatforms) {
            bool decorated = std::any_of(line.values.begin() + 1, line.values.end(),
                                         [&](const std::string& value) {
                                             return infNamesEqual(value, platform.decoration);
                                         });
            EXPECT_TRUE(decorated) << line.key << " lists no " << platform.decoration << " models";
            EXPECT_NE(inf_->section(line.values[0] + "." + platform.decoration), nullptr)
                << "no [" << line.values[0] << "." << platform.decoration << "]";
        }
    }

    std::set<std::string> idsOfFirst;
    for (const Platform& platform : kPlatforms) {
        SCOPED_TRACE(platform.decoration);
        std::set<std::string> ids;
        bool bindsController = false;
        for (const auto& [id, install] : models(platform)) {
            ids.insert(lowercase(id));
            EXPECT_TRUE(startsWithId(id, kControllerHardwareId))
                << id << " is not the controller's hardware ID";
            for (const char* child : kChildHardwareIds) {
                EXPECT_FALSE(startsWithId(id, child)) << id << " would bind the driver to a child";
            }
            bindsController = bindsController || infNamesEqual(id, kControllerHardwareId);
            EXPECT_FALSE(installSection(install, platform).empty())
                << "model " << id << " names install section " << install << ", which is missing";
        }
        EXPECT_TRUE(bindsController) << "no model for " << kControllerHardwareId;
        if (&platform == &kPlatforms[0]) {
            idsOfFirst = ids;
        } else {
            EXPECT_EQ(ids, idsOfFirst) << "the processors bind different devices";
        }
    }
}

TEST_F(DriverInfTest, InstallSectionsCopyAndStartTheDriver) {
    for (const Platform& platform : kPlatforms) {
        SCOPED_TRACE(platform.decoration);
        std::set<std::string> installs;
        for (const auto& model : models(platform)) {
            installs.insert(installSection(model.second, platform));
        }
        ASSERT_FALSE(installs.empty());
        for (const std::string& install : installs) {
            SCOPED_TRACE(install);
            std::set<std::string> copied;
            for (const InfLine* copyFiles : inf_->lines(install, "CopyFiles")) {
                for (const std::string& copySection : copyFiles->values) {
                    const InfSection* files = inf_->section(copySection);
                    ASSERT_NE(files, nullptr) << "CopyFiles names missing [" << copySection << "]";
                    std::optional<std::vector<std::string>> destination =
                        inf_->values("DestinationDirs", copySection);
                    if (!destination) {
                        destination = inf_->values("DestinationDirs", "DefaultDestDir");
                    }
                    ASSERT_TRUE(destination && !destination->empty())
                        << "no destination for [" << copySection << "]";
                    EXPECT_EQ(infNumber(destination->front()), kDirIdDrivers)
                        << "[" << copySection << "] goes to " << destination->front();
                    for (const InfLine& file : files->lines) {
                        ASSERT_FALSE(file.values.empty());
                        copied.insert(lowercase(file.hasKey ? file.key : file.values[0]));
                    }
                }
            }
            EXPECT_EQ(copied, std::set<std::string>{kImageName});

            // Every copied file comes from a disk that the INF describes.
            const InfSection* diskFiles = sourceSection("SourceDisksFiles", platform);
            ASSERT_NE(diskFiles, nullptr) << "no [SourceDisksFiles]";
            for (const std::string& name : copied) {
                std::optional<std::vector<std::string>> disk = inf_->values(diskFiles->name, name);
                ASSERT_TRUE(disk && !disk->empty())
                    << name << " is not in [" << diskFiles->name << "]";
                const InfSection* disks = sourceSection("SourceDisksNames", platform);
                ASSERT_NE(disks, nullptr) << "no [SourceDisksNames]";
                std::optional<std::vector<std::string>> described =
                    inf_->values(disks->name, disk->front());
                EXPECT_TRUE(described && !described->empty() && !described->front().empty())
                    << name << " is on disk " << disk->front() << ", which [" << disks->name
                    << "] does not describe";
            }

            std::vector<const InfLine*> addService =
                inf_->lines(install + ".Services", "AddService");
            ASSERT_EQ(addService.size(), 1u)
                << "expected one AddService in [" << install << ".Services]";
            const std::vector<std::string>& service = addService[0]->values;
            ASSERT_EQ(service.size(), 3u) << "AddService = name, flags, section";
            EXPECT_EQ(service[0], kServiceName);
            std::optional<std::uint32_t> flags = infNumber(service[1]);
            EXPECT_TRUE(flags && (*flags & kAddServiceAssociate))
                << "the service is not the device's function driver (flags " << service[1] << ")";
            const std::string& serviceSection = service[2];
            ASSERT_NE(inf_->section(serviceSection), nullptr) << "no [" << serviceSection << "]";
            EXPECT_FALSE(single(serviceSection, "DisplayName").empty());
            EXPECT_EQ(infNumber(single(serviceSection, "ServiceType")), kServiceKernelDriver);
            EXPECT_EQ(infNumber(single(serviceSection, "StartType")), kServiceDemandStart);
            EXPECT_EQ(infNumber(single(serviceSection, "ErrorControl")), kServiceErrorNormal);
            EXPECT_EQ(single(serviceSection, "ServiceBinary"), std::string("%12%\\") + kImageName);
        }
    }
}

const std::string kDriverDir = std::string(VELT_SOURCE_DIR) + "/driver";

// The configurations a Visual Studio driver project builds: both processors, debug and release.
const char* const kProjectConfigurations[] = {"Debug|Win32", "Debug|x64", "Release|Win32",
                                              "Release|x64"};

std::vector<std::string> splitList(const std::string& list) {
    std::vector<std::string> parts;
    std::size_t at = 0;
    while (at <= list.size()) {
        std::size_t end = std::min(list.find(';', at), list.size());
        if (end > at) {
            parts.push_back(list.substr(at, end - at));
        }
        at = end + 1;
    }
    return parts;
}

TEST(WdkProject, BuildsATestSignedWdmDriverForBothProcessors) {
    std::string error;
    std::optional<XmlElement> project = loadXml(kDriverDir + "/veltdriver.vcxproj", error);
    ASSERT_TRUE(project) << error;
    ASSERT_EQ(project->name, "Project");
    std::optional<InfFile> inf = loadInf(kDriverDir + "/install/veltdriver.inf", error);
    ASSERT_TRUE(inf) << error;
    std::optional<std::vector<std::string>> driverVer = inf->values("Version", "DriverVer");
    ASSERT_TRUE(driverVer && driverVer->size() == 2u);

    std::set<std::string> declared;
    for (const XmlElement* group : project->childrenNamed("ItemGroup")) {
        for (const XmlElement* configuration : group->childrenNamed("ProjectConfiguration")) {
            declared.insert(*configuration->attribute("Include"));
        }
    }
    EXPECT_EQ(declared, std::set<std::string>(std::begin(kProjectConfigurations),
                                              std::end(kProjectConfigurations)));

    // What the WDK's kernel-mode driver template sets, and what this driver needs on top.
    const std::pair<const char*, const char*> kProperties[] = {
        {"PlatformToolset", "WindowsKernelModeDriver10.0"},
        {"ConfigurationType", "Driver"},
        {"DriverType", "WDM"},
        {"TargetName", "veltdriver"},
        {"EnableInf2cat", "true"},
        {"SignMode", "TestSign"},
        {"DebuggerFlavor", "DbgengKernelDebugger"},
    };
    for (const char* configuration : kProjectConfigurations) {
        SCOPED_TRACE(configuration);
        for (const auto& [name, value] : kProperties) {
            EXPECT_EQ(msbuildProperty(*project, name, configuration), value) << name;
        }
        EXPECT_EQ(msbuildProperty(*project, "UseDebugLibraries", configuration),
                  std::string(configuration).rfind("Debug", 0) == 0 ? "true" : "false");
        std::optional<std::string> libraries =
            msbuildItemDefinition(*project, "Link", "AdditionalDependencies", configuration);
        ASSERT_TRUE(libraries);
        std::vector<std::string> libraryList = splitList(*libraries);
        EXPECT_NE(std::find(libraryList.begin(), libraryList.end(), "$(DDK_LIB_PATH)\\usbd.lib"),
                  libraryList.end())
            << "the driver calls the USBD library: " << *libraries;
        EXPECT_EQ(
            msbuildItemDefinition(*project, "DriverSign", "FileDigestAlgorithm", configuration),
            "sha256");
        // Later WDK 10 kits deprecate ExAllocatePoolWithTag, which the driver calls, and /WX
        // would make the warning an error.
        EXPECT_EQ(
            msbuildItemDefinition(*project, "ClCompile", "TreatWarningAsError", configuration),
            "true");
        std::optional<std::string> disabled =
            msbuildItemDefinition(*project, "ClCompile", "DisableSpecificWarnings", configuration);
        ASSERT_TRUE(disabled) << "C4996 would fail the build";
        std::vector<std::string> disabledList = splitList(*disabled);
        EXPECT_NE(std::find(disabledList.begin(), disabledList.end(), "4996"), disabledList.end())
            << "C4996 would fail the build: " << *disabled;
        // StampInf writes the packaged INF's DriverVer version from TimeStamp, or else from the
        // build's time.
        EXPECT_EQ(msbuildItemDefinition(*project, "Inf", "SpecifyDriverVerDirectiveVersion",
                                        configuration),
                  "true");
        EXPECT_EQ(msbuildItemDefinition(*project, "Inf", "TimeStamp", configuration),
                  driverVer->back())
            << "the INF's DriverVer version";
    }

    EXPECT_EQ(msbuildItems(*project, "Inf"), std::vector<std::string>{"install\\veltdriver.inf"});
    EXPECT_EQ(msbuildItems(*project, "ResourceCompile"),
              std::vector<std::string>{"install\\veltdriver.rc"});
    EXPECT_EQ(msbuildItems(*project, "FilesToPackage"), std::vector<std::string>{"$(TargetPath)"});

    // Every header of the driver shows in the project, and only those.
    std::set<std::string> headers;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(kDriverDir)) {
        if (entry.path().extension() == ".h") {
            std::string relative = entry.path().lexically_relative(kDriverDir).generic_string();
            std::replace(relative.begin(), relative.end(), '/', '\\');
            headers.insert(relative);
        }
    }
    std::vector<std::string> listedHeaders = msbuildItems(*project, "ClInclude");
    EXPECT_EQ(std::set<std::string>(listedHeaders.begin(), listedHeaders.end()), headers);
}

// MSBuild reads a project top to bottom: Microsoft.Cpp.props picks the toolset's files by the
// configuration properties set before it, and Microsoft.Cpp.targets derives its settings from what
// was set before it. The project's parts must come in the WDK templates' order.
TEST(WdkProject, SetsEachPartBeforeTheImportThatReadsIt) {
    std::string error;
    std::optional<XmlElement> project = loadXml(kDriverDir + "/veltdriver.vcxproj", error);
    ASSERT_TRUE(project) << error;
    std::optional<std::size_t> defaults = msbuildImport(*project, "Microsoft.Cpp.Default.props");
    std::optional<std::size_t> props = msbuildImport(*project, "Microsoft.Cpp.props");
    std::optional<std::size_t> targets = msbuildImport(*project, "Microsoft.Cpp.targets");
    ASSERT_TRUE(defaults && props && targets);
    EXPECT_LT(*defaults, *props);
    EXPECT_LT(*props, *targets);

    std::set<std::string> configured;
    for (std::size_t at = 0; at < project->children.size(); ++at) {
        const XmlElement& part = project->children[at];
        const std::string* label = part.attribute("Label");
        std::string shown = "<" + part.name + "> on line " + std::to_string(part.line);
        if (label != nullptr && (*label == "ProjectConfigurations" || *label == "Globals")) {
            EXPECT_LT(at, *defaults) << shown << " comes after Microsoft.Cpp.Default.props";
        }
        if (part.name == "PropertyGroup" && label != nullptr && *label == "Configuration") {
            EXPECT_TRUE(at > *defaults && at < *props)
                << shown << " is not between Microsoft.Cpp.Default.props and Microsoft.Cpp.props";
            configured.insert(part.attribute("Condition") ? *part.attribute("Condition") : "");
        }
        // Microsoft.Cpp.props sets defaults of its own for these, which would override them.
        if (part.name == "ItemDefinitionGroup" || (part.name == "PropertyGroup" && !label)) {
            EXPECT_TRUE(at > *props && at < *targets)
                << shown << " is not between Microsoft.Cpp.props and Microsoft.Cpp.targets";
        }
        if (at > *targets) {
            EXPECT_TRUE(part.name == "ImportGroup" && label != nullptr &&
                        *label == "ExtensionTargets")
                << shown << " comes after Microsoft.Cpp.targets has derived its settings";
        }
    }
    EXPECT_EQ(configured.size(), std::size(kProjectConfigurations))
        << "one Configuration group for each configuration";

    // What Microsoft.Cpp.props selects the toolset and the driver's settings by.
    for (const char* configuration : kProjectConfigurations) {
        SCOPED_TRACE(configuration);
        for (const char* name : {"PlatformToolset", "ConfigurationType", "DriverType",
                                 "TargetVersion", "DriverTargetPlatform", "UseDebugLibraries"}) {
            std::optional<std::string> seen =
                msbuildProperty(*project, name, configuration, *props);
            EXPECT_TRUE(seen) << name << " is not set before Microsoft.Cpp.props";
            EXPECT_EQ(seen, msbuildProperty(*project, name, configuration))
                << name << " changes after Microsoft.Cpp.props has read it";
        }
    }
}

TEST(WdkProject, SolutionBuildsTheProjectInEveryConfiguration) {
    std::ifstream file(kDriverDir + "/veltdriver.sln", std::ios::binary);
    ASSERT_TRUE(file) << "no driver/veltdriver.sln";
    std::string error;
    std::optional<XmlElement> project = loadXml(kDriverDir + "/veltdriver.vcxproj", error);
    ASSERT_TRUE(project) << error;
    std::optional<std::string> guid = msbuildProperty(*project, "ProjectGuid", "Debug|x64");
    ASSERT_TRUE(guid && !guid->empty());

    std::set<std::string> lines;
    for (std::string line; std::getline(file, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.insert(line.substr(std::min(line.find_first_not_of('\t'), line.size())));
    }
    EXPECT_EQ(lines.count("Project(\"{8BC9CEB8-8B4A-11D0-8D11-00A0C91BC942}\") = \"veltdriver\", "
                          "\"veltdriver.vcxproj\", \"" +
                          *guid + "\""),
              1u)
        << "the solution does not hold veltdriver.vcxproj as a C++ project with its GUID";
    // The solution's x86 is the project's Win32.
    for (const char* configuration : kProjectConfigurations) {
        std::string projectSide = configuration;
        std::string solutionSide = projectSide;
        std::size_t win32 = solutionSide.find("Win32");
        if (win32 != std::string::npos) {
            solutionSide.replace(win32, 5, "x86");
        }
        EXPECT_EQ(lines.count(solutionSide + " = " + solutionSide), 1u) << solutionSide;
        for (const char* step : {"ActiveCfg", "Build.0"}) {
            EXPECT_EQ(lines.count(*guid + "." + solutionSide + "." + step + " = " + projectSide),
                      1u)
                << solutionSide << " " << step;
        }
    }
}

// The installation script of the package folder: it cannot run here, so what it names is
// checked against the INF and the package it serves.
TEST(InstallScript, NamesThePackageFilesFoldersAndTools) {
    std::ifstream file(kDriverDir + "/install/install.ps1", std::ios::binary);
    ASSERT_TRUE(file) << "no driver/install/install.ps1";
    std::string error;
    std::optional<InfFile> inf = loadInf(kDriverDir + "/install/veltdriver.inf", error);
    ASSERT_TRUE(inf) << error;

    // $name = 'value' lines, $name = @{ 'key' = 'value'; ... } tables, and the lines that run a
    // tool.
    std::map<std::string, std::string> variables;
    std::map<std::string, std::map<std::string, std::string>> tables;
    std::vector<std::string> toolLines;
    for (std::string line; std::getline(file, line);) {
        std::smatch match;
        static const std::regex kAssignment(R"(^\$(\w+) = '([^']*)'\s*$)");
        static const std::regex kTable(R"(^\$(\w+) = @\{(.*)\}\s*$)");
        static const std::regex kTableEntry(R"('(\w+)' = '(\w+)')");
        if (std::regex_match(line, match, kAssignment)) {
            variables[match[1]] = match[2];
        } else if (std::regex_match(line, match, kTable)) {
            std::map<std::string, std::string>& table = tables[match[1]];
            std::string entries = match[2];
            for (auto it = std::sregex_iterator(entries.begin(), entries.end(), kTableEntry);
                 it != std::sregex_iterator(); ++it) {
                table[(*it)[1]] = (*it)[2];
            }
        } else if (line.find(".exe") != std::string::npos) {
            toolLines.push_back(line);
        }
    }
    EXPECT_EQ(variables["image"], kImageName);
    std::optional<std::vector<std::string>> catalog = inf->values("Version", "CatalogFile");
    ASSERT_TRUE(catalog && catalog->size() == 1);
    EXPECT_EQ(variables["catalog"], catalog->front()) << "the INF's CatalogFile";
    EXPECT_EQ(variables["inf"], "veltdriver.inf") << "the name the package gives the INF";
    EXPECT_NE(inf->values("SourceDisksFiles", variables["image"]), std::nullopt)
        << "the image the script signs is not the one the INF copies";
    // The package's folders, with the Inf2Cat name of Windows 10 and the processor that Windows
    // reports in PROCESSOR_ARCHITECTURE for each.
    EXPECT_EQ(tables["inf2catOs"],
              (std::map<std::string, std::string>{{"x64", "10_X64"}, {"x86", "10_X86"}}));
    EXPECT_EQ(tables["processorOfFolder"],
              (std::map<std::string, std::string>{{"x64", "AMD64"}, {"x86", "x86"}}));

    // The tools it runs, on the files above.
    struct Use {
        const char* what;
        std::regex line;
    };
    const Use kUses[] = {
        {"signtool signs the image", std::regex(R"(signtool\.exe"? sign .*\$image\b)")},
        {"Inf2Cat catalogs the folder for the table's Windows",
         std::regex(R"(Inf2Cat\.exe"? .*"/os:\$os")")},
        {"signtool signs the catalog", std::regex(R"(signtool\.exe"? sign .*\$catalog\b)")},
        {"pnputil installs the INF", std::regex(R"(pnputil\.exe /add-driver \$inf /install)")},
    };
    for (const Use& use : kUses) {
        EXPECT_TRUE(
            std::any_of(toolLines.begin(), toolLines.end(),
                        [&](const std::string& line) { return std::regex_search(line, use.line); }))
            << "the script lacks a line where " << use.what;
    }
}

} // namespace
} // namespace velt::test
