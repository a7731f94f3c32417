// Checks the real kernel images of both mingw-w64 builds, the package folder
// made from them, the WDK project against what mingw compiles, and that the
// PE reader behind those checks refuses malformed files cleanly.
#include "support/inf_file.h"
#include "support/msbuild_project.h"
#include "support/pe_image.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <set>
#include <sstream>

#if !defined(VELT_IMAGE_X64) || !defined(VELT_IMAGE_X86)
#error "VELT_IMAGE_X64 and VELT_IMAGE_X86 must name the two veltdriver.sys images"
#endif
#if !defined(VELT_SOURCE_DIR) || !defined(VELT_PACKAGE_DIR) || !defined(VELT_IMAGE_SOURCES_X64) || \
    !defined(VELT_IMAGE_SOURCES_X86)
#error                                                                                             \
    "the package checks need the source tree, the package folder and the mingw builds' file lists"
#endif

namespace velt::test {
namespace {

bool sameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

struct DriverImage {
    const char* arch;
    const char* path;
    std::uint16_t magic;
    std::uint16_t machine;
    const char* entrySymbol;
};

// Names the case in failure reports instead of a byte dump.
void PrintTo(const DriverImage& image, std::ostream* os) {
    *os << image.arch << " " << image.path;
}

const DriverImage kDriverImages[] = {
    {"x64", VELT_IMAGE_X64, kPeMagic64, kMachineAmd64, "DriverEntry"},
    {"x86", VELT_IMAGE_X86, kPeMagic32, kMachineI386, "_DriverEntry@8"},
};

const char* const kAllowedImports[] = {"ntoskrnl.exe", "HAL.dll", "USBD.SYS"};

class DriverImageTest : public ::testing::TestWithParam<DriverImage> {
  protected:
    void SetUp() override {
        const char* path = GetParam().path;
        if (!std::filesystem::exists(path)) {
            FAIL() << "driver image not found: expected " << path
                   << "; both veltdriver.sys images are built by the default build, run it first";
        }
        std::string error;
        image_ = loadPeImage(path, error);
        ASSERT_TRUE(image_) << error;
    }

    std::optional<PeImage> image_;
};

TEST_P(DriverImageTest, IsNativeKernelImageForItsMachine) {
    const DriverImage& expected = GetParam();
    EXPECT_EQ(image_->magic, expected.magic)
        << std::hex << "optional header Magic 0x" << image_->magic;
    EXPECT_EQ(image_->machine, expected.machine) << std::hex << "Machine 0x" << image_->machine;
    EXPECT_TRUE(image_->characteristics & kFileExecutableImage)
        << std::hex << "Characteristics 0x" << image_->characteristics;
    EXPECT_TRUE(image_->characteristics & kFileDll)
        << std::hex << "Characteristics 0x" << image_->characteristics;
    EXPECT_FALSE(image_->characteristics & kFileRelocsStripped)
        << "the kernel loads drivers at an address of its choosing, so relocations must stay";
    EXPECT_EQ(image_->subsystem, kSubsystemNative);
}

TEST_P(DriverImageTest, EntryPointIsDriverEntry) {
    const DriverImage& expected = GetParam();
    if (image_->symbols.empty()) {
        FAIL() << expected.path << " carries no COFF symbol table, so its entry point cannot be "
               << "matched with " << expected.entrySymbol << "; link it without stripping";
    }
    std::optional<std::uint32_t> rva = image_->symbolRva(expected.entrySymbol);
    ASSERT_TRUE(rva) << "no symbol " << expected.entrySymbol << " in any section of "
                     << expected.path;
    EXPECT_EQ(image_->addressOfEntryPoint, *rva)
        << std::hex << "AddressOfEntryPoint 0x" << image_->addressOfEntryPoint << ", "
        << expected.entrySymbol << " at 0x" << *rva;
}

TEST_P(DriverImageTest, ImportsOnlyFromKernelHalAndUsbd) {
    bool importsFromKernel = false;
    for (const PeImportedDll& dll : image_->imports) {
        bool allowed = std::any_of(std::begin(kAllowedImports), std::end(kAllowedImports),
                                   [&](const char* name) { return sameName(dll.name, name); });
        std::string functions;
        for (const PeImportedFunction& function : dll.functions) {
            functions +=
                " " + (function.byOrdinal ? "#" + std::to_string(function.ordinal) : function.name);
        }
        EXPECT_TRUE(allowed) << "imports from " << dll.name
                             << ", not from ntoskrnl.exe, HAL.dll or USBD.SYS:" << functions;
        if (sameName(dll.name, "ntoskrnl.exe") && !dll.functions.empty()) {
            importsFromKernel = true;
        }
    }
    EXPECT_TRUE(importsFromKernel) << "no import from ntoskrnl.exe";
}

TEST_P(DriverImageTest, ChecksumMatchesContents) {
    // Windows validates the checksum of driver images, and signing tools expect a sound one.
    EXPECT_NE(image_->checkSum, 0u) << "no checksum in the optional header";
    EXPECT_EQ(image_->checkSum, computePeChecksum(*image_))
        << std::hex << "CheckSum 0x" << image_->checkSum << ", contents sum to 0x"
        << computePeChecksum(*image_);
}

std::uint64_t alignUp(std::uint64_t value, std::uint64_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

bool isPowerOfTwo(std::uint32_t value) {
    return value != 0 && (value & (value - 1)) == 0;
}

std::string describe(const PeSection& section) {
    std::ostringstream text;
    text << "section " << section.name << ", characteristics 0x" << std::hex
         << section.characteristics;
    return text.str();
}

TEST_P(DriverImageTest, SectionLayoutSuitsTheKernelLoader) {
    const PeImage& image = *image_;
    ASSERT_TRUE(isPowerOfTwo(image.sectionAlignment) && image.sectionAlignment >= 0x1000)
        << std::hex << "SectionAlignment 0x" << image.sectionAlignment << " is not a page multiple";
    ASSERT_TRUE(isPowerOfTwo(image.fileAlignment) && image.fileAlignment >= 0x200 &&
                image.fileAlignment <= image.sectionAlignment)
        << std::hex << "FileAlignment 0x" << image.fileAlignment;
    EXPECT_EQ(image.sizeOfHeaders % image.fileAlignment, 0u)
        << std::hex << "SizeOfHeaders 0x" << image.sizeOfHeaders;
    EXPECT_TRUE(image.dllCharacteristics & kDllNxCompat)
        << std::hex << "DllCharacteristics 0x" << image.dllCharacteristics << " lacks NX_COMPAT";
    ASSERT_FALSE(image.sections.empty());

    // The loader maps sections back to back from the first page after the headers.
    std::uint64_t expectedRva = alignUp(image.sizeOfHeaders, image.sectionAlignment);
    for (const PeSection& section : image.sections) {
        std::uint32_t flags = section.characteristics;
        SCOPED_TRACE(describe(section));
        EXPECT_EQ(section.virtualAddress, expectedRva);
        expectedRva = alignUp(std::uint64_t{section.virtualAddress} +
                                  std::max(section.virtualSize, section.sizeOfRawData),
                              image.sectionAlignment);
        EXPECT_EQ(section.pointerToRawData % image.fileAlignment, 0u);
        EXPECT_EQ(section.sizeOfRawData % image.fileAlignment, 0u);
        EXPECT_FALSE((flags & kSectionWrite) && (flags & kSectionExecute))
            << "writable and executable";
        if (flags & kSectionCode) {
            EXPECT_TRUE(flags & kSectionExecute) << "code that cannot run";
            EXPECT_FALSE(flags & kSectionWrite) << "writable code";
        }
        if (section.name.rfind("INIT", 0) == 0) {
            EXPECT_TRUE(flags & kSectionDiscardable)
                << "initialisation code kept after DriverEntry";
        }
    }
    EXPECT_EQ(image.sizeOfImage, expectedRva) << std::hex << "SizeOfImage 0x" << image.sizeOfImage;
}

TEST_P(DriverImageTest, CarriesBaseRelocationsForItsMachine) {
    // The kernel loads a driver wherever it chooses, so every absolute address in the image must
    // be listed, and each must point into the image at its preferred base.
    const PeImage& image = *image_;
    std::uint16_t machineType = image.magic == kPeMagic64 ? kRelocationDir64 : kRelocationHighLow;
    unsigned width = image.magic == kPeMagic64 ? 8 : 4;
    ASSERT_FALSE(image.relocations.empty()) << "no base relocation table";
    std::size_t applied = 0;
    for (const PeRelocationBlock& block : image.relocations) {
        EXPECT_EQ(block.pageRva % 0x1000, 0u) << std::hex << "block page 0x" << block.pageRva;
        for (std::uint16_t entry : block.entries) {
            std::uint16_t type = entry >> 12;
            std::uint32_t rva = block.pageRva + (entry & 0xfff);
            if (type == kRelocationAbsolute) {
                continue;
            }
            ASSERT_EQ(type, machineType) << std::hex << "relocation at RVA 0x" << rva;
            std::optional<std::uint32_t> first = image.rvaToFileOffset(rva);
            std::optional<std::uint32_t> last = image.rvaToFileOffset(rva + width - 1);
            ASSERT_TRUE(first && last && *last - *first == width - 1)
                << std::hex << "relocation at RVA 0x" << rva << " patches bytes not in the file";
            std::uint64_t address = 0;
            for (unsigned i = width; i-- > 0;) {
                address = (address << 8) | image.bytes[*first + i];
            }
            EXPECT_TRUE(address >= image.imageBase && address < image.imageBase + image.sizeOfImage)
                << std::hex << "relocation at RVA 0x" << rva << " patches 0x" << address
                << ", outside the image at 0x" << image.imageBase;
            ++applied;
        }
    }
    EXPECT_GT(applied, 0u) << "the relocation table lists no address";
}

constexpr std::uint32_t kVersionFileOsNtWindows32 = 0x00040004;
constexpr std::uint32_t kVersionFileTypeDriver = 3;
constexpr std::uint32_t kVersionFileSubtypeSystemDriver = 7;
constexpr std::uint32_t kVersionFlagDebug = 0x1;
constexpr std::uint16_t kLanguageEnglishUs = 0x409;
constexpr std::uint32_t kTranslationEnglishUnicode = 0x04b00409;

TEST_P(DriverImageTest, CarriesVersionResource) {
    std::vector<const PeResource*> versions;
    for (const PeResource& resource : image_->resources) {
        if (!resource.type.isName && resource.type.id == kResourceTypeVersion) {
            versions.push_back(&resource);
        }
    }
    ASSERT_EQ(versions.size(), 1u) << "expected one version resource";
    const PeResource& resource = *versions[0];
    EXPECT_FALSE(resource.name.isName);
    EXPECT_EQ(resource.name.id, 1) << "VS_VERSION_INFO is resource 1";
    EXPECT_EQ(resource.language.id, kLanguageEnglishUs);

    std::string error;
    std::optional<PeVersionInfo> info = parseVersionInfo(resource.data, error);
    ASSERT_TRUE(info) << error;
    const PeFixedFileInfo& fixed = info->fixed;
    EXPECT_EQ(fixed.signature, kFixedFileInfoSignature);
    EXPECT_EQ(fixed.structVersion, 0x10000u);
    EXPECT_NE(fixed.fileVersion, 0u);
    EXPECT_EQ(fixed.productVersion, fixed.fileVersion);
    EXPECT_EQ(fixed.fileOs, kVersionFileOsNtWindows32);
    EXPECT_EQ(fixed.fileType, kVersionFileTypeDriver);
    EXPECT_EQ(fixed.fileSubtype, kVersionFileSubtypeSystemDriver);
    EXPECT_FALSE(fixed.fileFlags & fixed.fileFlagsMask & kVersionFlagDebug)
        << "a release image marked as a debug build";

    // Explorer and the device manager read the table that the translation names.
    ASSERT_EQ(info->translations, std::vector<std::uint32_t>{kTranslationEnglishUnicode});
    const char* table = "040904B0";
    EXPECT_EQ(info->string(table, "FileVersion"), versionText(fixed.fileVersion));
    EXPECT_EQ(info->string(table, "ProductVersion"), versionText(fixed.productVersion));
    EXPECT_EQ(info->string(table, "OriginalFilename"), "veltdriver.sys");
    EXPECT_EQ(info->string(table, "InternalName"), "veltdriver");
    for (const char* name : {"CompanyName", "FileDescription", "ProductName"}) {
        std::optional<std::string> value = info->string(table, name);
        EXPECT_TRUE(value && !value->empty()) << "no " << name;
    }
}

INSTANTIATE_TEST_SUITE_P(Builds, DriverImageTest, ::testing::ValuesIn(kDriverImages),
                         [](const ::testing::TestParamInfo<DriverImage>& info) {
                             return std::string(info.param.arch);
                         });

std::optional<std::vector<std::uint8_t>> readFile(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return std::nullopt;
    }
    return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(file)),
                                     std::istreambuf_iterator<char>());
}

// The version resource of an image, or a failure naming what was wrong.
std::optional<PeVersionInfo> versionOf(const std::string& path) {
    std::string error;
    std::optional<PeImage> image = loadPeImage(path, error);
    if (!image) {
        ADD_FAILURE() << error;
        return std::nullopt;
    }
    for (const PeResource& resource : image->resources) {
        if (!resource.type.isName && resource.type.id == kResourceTypeVersion) {
            std::optional<PeVersionInfo> info = parseVersionInfo(resource.data, error);
            if (!info) {
                ADD_FAILURE() << path << ": " << error;
            }
            return info;
        }
    }
    ADD_FAILURE() << path << " has no version resource";
    return std::nullopt;
}

const std::filesystem::path kDriverDir = std::filesystem::path(VELT_SOURCE_DIR) / "driver";
const std::filesystem::path kInfPath = kDriverDir / "install" / "veltdriver.inf";

TEST(DriverPackage, HoldsEachImageWithTheInfAndTheInstallScript) {
    std::optional<std::vector<std::uint8_t>> inf = readFile(kInfPath);
    ASSERT_TRUE(inf) << "cannot read " << kInfPath;
    const std::filesystem::path script = kDriverDir / "install" / "install.ps1";
    for (const DriverImage& image : kDriverImages) {
        std::filesystem::path folder = std::filesystem::path(VELT_PACKAGE_DIR) / image.arch;
        ASSERT_TRUE(std::filesystem::is_directory(folder))
            << folder << " is missing; the default build makes it";
        std::set<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(folder)) {
            names.insert(entry.path().filename().string());
        }
        EXPECT_EQ(names, (std::set<std::string>{"install.ps1", "veltdriver.inf", "veltdriver.sys"}))
            << folder;
        std::optional<std::vector<std::uint8_t>> packaged = readFile(folder / "veltdriver.sys");
        EXPECT_TRUE(packaged && packaged == readFile(image.path))
            << folder / "veltdriver.sys"
            << " is not the image built at " << image.path;
        packaged = readFile(folder / "veltdriver.inf");
        EXPECT_TRUE(packaged && packaged == inf) << folder / "veltdriver.inf"
                                                 << " is not " << kInfPath;
        packaged = readFile(folder / "install.ps1");
        EXPECT_TRUE(packaged && packaged == readFile(script)) << folder / "install.ps1"
                                                              << " is not " << script;
    }
}

TEST(DriverPackage, InfAndImagesAgreeOnVersionCompanyAndFileName) {
    std::string error;
    std::optional<InfFile> inf = loadInf(kInfPath.string(), error);
    ASSERT_TRUE(inf) << error;
    std::optional<std::vector<std::string>> driverVerValues = inf->values("Version", "DriverVer");
    ASSERT_TRUE(driverVerValues);
    std::optional<InfDriverVer> driverVer = parseDriverVer(*driverVerValues, error);
    ASSERT_TRUE(driverVer) << error;
    std::optional<std::vector<std::string>> provider = inf->values("Version", "Provider");
    ASSERT_TRUE(provider && provider->size() == 1);

    for (const DriverImage& image : kDriverImages) {
        SCOPED_TRACE(image.path);
        std::optional<PeVersionInfo> info = versionOf(image.path);
        ASSERT_TRUE(info);
        EXPECT_EQ(versionText(info->fixed.fileVersion), versionText(driverVer->version))
            << "the image's FileVersion and the INF's DriverVer differ";
        EXPECT_EQ(info->string("040904B0", "CompanyName"), provider->front())
            << "the image's CompanyName and the INF's Provider differ";
        EXPECT_EQ(info->string("040904B0", "OriginalFilename"),
                  std::filesystem::path(image.path).filename().string());
    }
}

// Driver source files relative to the driver folder, with forward slashes.
std::set<std::string> relativeToDriver(const std::vector<std::string>& paths, bool windowsStyle) {
    std::set<std::string> relative;
    for (std::string path : paths) {
        if (windowsStyle) {
            std::replace(path.begin(), path.end(), '\\', '/');
        }
        std::filesystem::path full(path);
        if (full.is_absolute()) {
            full = full.lexically_relative(kDriverDir);
        }
        relative.insert(full.generic_string());
    }
    return relative;
}

// One file a line, written as the project writes it.
std::string listed(const std::set<std::string>& files) {
    std::string text;
    for (std::string file : files) {
        std::replace(file.begin(), file.end(), '/', '\\');
        text += "\n    " + file;
    }
    return text;
}

TEST(WdkBuildFiles, ProjectCompilesEveryFileTheMingwBuildsCompile) {
    std::string error;
    std::optional<XmlElement> project =
        loadXml((kDriverDir / "veltdriver.vcxproj").string(), error);
    ASSERT_TRUE(project) << error;
    std::vector<std::string> items = msbuildItems(*project, "ClCompile");
    for (const std::string& resource : msbuildItems(*project, "ResourceCompile")) {
        items.push_back(resource);
    }
    std::set<std::string> listedFiles = relativeToDriver(items, true);
    EXPECT_EQ(listedFiles.size(), items.size()) << "the project lists a file twice";

    // MSBuild puts every object in one folder, named after its source file.
    std::set<std::string> stems;
    for (const std::string& file : listedFiles) {
        EXPECT_TRUE(stems.insert(std::filesystem::path(file).stem().string()).second)
            << "two files in the project would build the same object: " << file;
        EXPECT_TRUE(std::filesystem::exists(kDriverDir / file))
            << "the project names missing " << file;
    }

    for (const char* compiledList : {VELT_IMAGE_SOURCES_X64, VELT_IMAGE_SOURCES_X86}) {
        std::ifstream file(compiledList);
        ASSERT_TRUE(file) << "cannot read " << compiledList
                          << ", written by the mingw build: run the default build first";
        std::vector<std::string> lines;
        for (std::string line; std::getline(file, line);) {
            if (!line.empty()) {
                lines.push_back(line);
            }
        }
        std::set<std::string> compiled = relativeToDriver(lines, false);
        std::set<std::string> missing;
        std::set<std::string> extra;
        std::set_difference(compiled.begin(), compiled.end(), listedFiles.begin(),
                            listedFiles.end(), std::inserter(missing, missing.end()));
        std::set_difference(listedFiles.begin(), listedFiles.end(), compiled.begin(),
                            compiled.end(), std::inserter(extra, extra.end()));
        EXPECT_TRUE(missing.empty())
            << "driver/veltdriver.vcxproj lacks files that the mingw build compiles ("
            << compiledList
            << "); add them as ClCompile or ResourceCompile items:" << listed(missing);
        EXPECT_TRUE(extra.empty())
            << "driver/veltdriver.vcxproj compiles files that the mingw build does not ("
            << compiledList << "); remove them:" << listed(extra);
    }
}

// A minimal PE32+ image: one section holding an import of ntoskrnl.exe (one
// function by name, one by ordinal), and a symbol table with an aux record
// and a long name.
namespace layout {
constexpr std::size_t kPeHeader = 0x40;
constexpr std::size_t kOptional = 0x58;
constexpr std::size_t kImportDirectory = kOptional + 112 + 8;
constexpr std::size_t kSectionTable = kOptional + 0xf0;
constexpr std::size_t kSectionData = 0x200;
constexpr std::size_t kSymbols = 0x400;
constexpr std::size_t kStrings = kSymbols + 3 * 18;
constexpr std::size_t kSize = kStrings + 16;
} // namespace layout

void put(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint64_t value, unsigned width) {
    for (unsigned i = 0; i < width; ++i) {
        bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

void putText(std::vector<std::uint8_t>& bytes, std::size_t at, std::string_view text) {
    std::copy(text.begin(), text.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
}

std::vector<std::uint8_t> minimalImage() {
    using namespace layout;
    std::vector<std::uint8_t> b(kSize, 0);
    putText(b, 0, "MZ");
    put(b, 0x3c, kPeHeader, 4);
    putText(b, kPeHeader, "PE");
    put(b, kPeHeader + 4, kMachineAmd64, 2);
    put(b, kPeHeader + 6, 1, 2);
    put(b, kPeHeader + 12, kSymbols, 4);
    put(b, kPeHeader + 16, 3, 4);
    put(b, kPeHeader + 20, 0xf0, 2);
    put(b, kPeHeader + 22, kFileExecutableImage | kFileDll, 2);

    put(b, kOptional, kPeMagic64, 2);
    put(b, kOptional + 16, 0x1010, 4);
    put(b, kOptional + 24, 0x10000, 8);
    put(b, kOptional + 32, 0x1000, 4);
    put(b, kOptional + 36, 0x200, 4);
    put(b, kOptional + 56, 0x2000, 4);
    put(b, kOptional + 60, 0x200, 4);
    put(b, kOptional + 64, 0x1234, 4);
    put(b, kOptional + 68, kSubsystemNative, 2);
    put(b, kOptional + 108, 16, 4);
    put(b, kImportDirectory, 0x1000, 4);
    put(b, kImportDirectory + 4, 40, 4);

    putText(b, kSectionTable, ".text");
    put(b, kSectionTable + 8, 0x200, 4);
    put(b, kSectionTable + 12, 0x1000, 4);
    put(b, kSectionTable + 16, 0x200, 4);
    put(b, kSectionTable + 20, kSectionData, 4);
    put(b, kSectionTable + 36, 0x60000020, 4);

    // Import descriptor at RVA 0x1000, lookup table at 0x1040, address
    // table at 0x1060, DLL name at 0x1080, hint/name at 0x1090.
    put(b, kSectionData, 0x1040, 4);
    put(b, kSectionData + 12, 0x1080, 4);
    put(b, kSectionData + 16, 0x1060, 4);
    put(b, kSectionData + 0x40, 0x1090, 8);
    put(b, kSectionData + 0x48, 0x8000000000000005ull, 8);
    putText(b, kSectionData + 0x80, "ntoskrnl.exe");
    put(b, kSectionData + 0x90, 0x12, 2);
    putText(b, kSectionData + 0x92, "IoCreateDevice");

    putText(b, kSymbols, ".text");
    put(b, kSymbols + 12, 1, 2);
    put(b, kSymbols + 16, 3, 1);
    put(b, kSymbols + 17, 1, 1);
    put(b, kSymbols + 36 + 4, 4, 4);
    put(b, kSymbols + 36 + 8, 0x10, 4);
    put(b, kSymbols + 36 + 12, 1, 2);
    put(b, kSymbols + 36 + 16, 2, 1);
    put(b, kStrings, 16, 4);
    putText(b, kStrings + 4, "DriverEntry");
    return b;
}

TEST(PeReader, ReadsMinimalImage) {
    std::string error;
    std::optional<PeImage> image = parsePeImage(minimalImage(), error);
    ASSERT_TRUE(image) << error;
    ASSERT_EQ(image->sections.size(), 1u);
    EXPECT_EQ(image->sections[0].name, ".text");
    EXPECT_EQ(image->symbolRva("DriverEntry"), std::optional<std::uint32_t>(0x1010));
    EXPECT_EQ(image->rvaToFileOffset(0x1090), std::optional<std::uint32_t>(0x290));
    EXPECT_EQ(image->rvaToFileOffset(0x1200), std::nullopt);

    ASSERT_EQ(image->imports.size(), 1u);
    const PeImportedDll& dll = image->imports[0];
    EXPECT_EQ(dll.name, "ntoskrnl.exe");
    ASSERT_EQ(dll.functions.size(), 2u);
    EXPECT_FALSE(dll.functions[0].byOrdinal);
    EXPECT_EQ(dll.functions[0].name, "IoCreateDevice");
    EXPECT_EQ(dll.functions[0].hint, 0x12);
    EXPECT_TRUE(dll.functions[1].byOrdinal);
    EXPECT_EQ(dll.functions[1].ordinal, 5);

    // The CheckSum field itself must not count; any other byte must.
    std::uint32_t sum = computePeChecksum(*image);
    put(image->bytes, layout::kOptional + 64, 0xdeadbeef, 4);
    EXPECT_EQ(computePeChecksum(*image), sum);
    image->bytes[layout::kSectionData + 0x100] ^= 1;
    EXPECT_NE(computePeChecksum(*image), sum);
}

TEST(PeReader, RejectsEveryTruncation) {
    std::vector<std::uint8_t> whole = minimalImage();
    for (std::size_t size = 0; size < whole.size(); ++size) {
        std::string error;
        std::vector<std::uint8_t> prefix(whole.begin(),
                                         whole.begin() + static_cast<std::ptrdiff_t>(size));
        EXPECT_FALSE(parsePeImage(std::move(prefix), error)) << "accepted " << size << " bytes";
        EXPECT_FALSE(error.empty());
    }
}

struct Corruption {
    const char* what;
    std::size_t offset;
    std::uint64_t value;
    unsigned width;
    const char* expectedError;
};

const Corruption kCorruptions[] = {
    {"DOS magic", 0, 0x5858, 2, "MZ"},
    {"e_lfanew past the end", 0x3c, 0xfffffff0, 4, "PE signature"},
    {"PE signature", layout::kPeHeader, 0x4e50, 4, "no PE signature"},
    {"optional header magic", layout::kOptional, 0x30b, 2, "Magic 0x30b"},
    {"optional header too short", layout::kPeHeader + 20, 0x60, 2, "fixed part"},
    {"too many data directories", layout::kOptional + 108, 0x1000, 4, "data directories"},
    {"section count", layout::kPeHeader + 6, 0x100, 2, "section table"},
    {"section raw data", layout::kSectionTable + 20, 0xfffff000, 4, "raw data of section .text"},
    {"import directory outside sections", layout::kImportDirectory, 0x5000, 4, "not stored"},
    {"DLL name outside sections", layout::kSectionData + 12, 0x9000, 4, "import DLL name"},
    {"hint/name outside sections", layout::kSectionData + 0x40, 0x7fff0000, 8, "import thunk"},
    {"symbol table past the end", layout::kPeHeader + 12, 0x100000, 4, "symbol table"},
    {"symbol name past string table", layout::kSymbols + 40, 0x400, 4, "string table"},
};

TEST(PeReader, RejectsCorruptHeadersAndTables) {
    for (const Corruption& c : kCorruptions) {
        std::vector<std::uint8_t> bytes = minimalImage();
        put(bytes, c.offset, c.value, c.width);
        std::string error;
        EXPECT_FALSE(parsePeImage(std::move(bytes), error)) << c.what;
        EXPECT_NE(error.find(c.expectedError), std::string::npos)
            << c.what << ": error was \"" << error << "\"";
    }
}

void pad4(std::vector<std::uint8_t>& bytes) {
    while (bytes.size() % 4 != 0) {
        bytes.push_back(0);
    }
}

std::vector<std::uint8_t> utf16z(std::u16string_view text) {
    std::vector<std::uint8_t> bytes;
    for (char16_t c : text) {
        bytes.push_back(static_cast<std::uint8_t>(c));
        bytes.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    bytes.insert(bytes.end(), 2, 0);
    return bytes;
}

// One node of a version resource, laid out as the resource compiler lays it out.
std::vector<std::uint8_t> versionNode(std::u16string_view key, bool text,
                                      const std::vector<std::uint8_t>& value,
                                      const std::vector<std::vector<std::uint8_t>>& children = {}) {
    std::vector<std::uint8_t> node(6, 0);
    std::vector<std::uint8_t> keyBytes = utf16z(key);
    node.insert(node.end(), keyBytes.begin(), keyBytes.end());
    pad4(node);
    node.insert(node.end(), value.begin(), value.end());
    for (const std::vector<std::uint8_t>& child : children) {
        pad4(node);
        node.insert(node.end(), child.begin(), child.end());
    }
    put(node, 0, node.size(), 2);
    put(node, 2, text ? value.size() / 2 : value.size(), 2);
    put(node, 4, text ? 1 : 0, 2);
    return node;
}

// Version 1.2.3.4 of a driver, two strings (one beyond ASCII) and the US
// English Unicode translation.
std::vector<std::uint8_t> versionBlob() {
    std::vector<std::uint8_t> fixed(52, 0);
    put(fixed, 0, kFixedFileInfoSignature, 4);
    put(fixed, 4, 0x10000, 4);
    put(fixed, 8, 0x00010002, 4);
    put(fixed, 12, 0x00030004, 4);
    put(fixed, 16, 0x00010002, 4);
    put(fixed, 20, 0x00030005, 4);
    put(fixed, 36, 3, 4);
    auto string = [](std::u16string_view key, std::u16string_view value) {
        return versionNode(key, true, utf16z(value));
    };
    std::vector<std::uint8_t> table = versionNode(
        u"040904B0", true, {},
        {string(u"CompanyName", u"\u00c4 \U0001F3AE"), string(u"OriginalFilename", u"x.sys")});
    std::vector<std::uint8_t> translation(4, 0);
    put(translation, 0, 0x0409, 2);
    put(translation, 2, 1200, 2);
    return versionNode(
        u"VS_VERSION_INFO", false, fixed,
        {versionNode(u"StringFileInfo", true, {}, {table}),
         versionNode(u"VarFileInfo", true, {}, {versionNode(u"Translation", false, translation)})});
}

// The minimal image grown by a .rsrc section with one RT_VERSION resource
// (type, name and language directories, a data entry, the data) and a
// .reloc section with one block.
namespace rich {
constexpr std::size_t kRsrcHeader = layout::kSectionTable + 40;
constexpr std::size_t kRelocHeader = layout::kSectionTable + 80;
constexpr std::size_t kRsrcData = 0x600;
constexpr std::size_t kRelocData = 0x800;
constexpr std::size_t kSize = 0xa00;
constexpr std::uint32_t kRsrcRva = 0x2000;
constexpr std::uint32_t kRelocRva = 0x3000;
constexpr std::size_t kNameDirectory = 0x18;
constexpr std::size_t kLanguageDirectory = 0x30;
constexpr std::size_t kDataEntry = 0x48;
constexpr std::size_t kVersionData = 0x58;
} // namespace rich

std::vector<std::uint8_t> richImage() {
    using namespace rich;
    std::vector<std::uint8_t> b = minimalImage();
    b.resize(kSize, 0);
    std::vector<std::uint8_t> version = versionBlob();
    std::size_t rsrcSize = kVersionData + version.size();
    put(b, layout::kPeHeader + 6, 3, 2);
    put(b, layout::kOptional + 56, 0x4000, 4);
    put(b, layout::kOptional + 112 + 8 * kDirectoryResource, kRsrcRva, 4);
    put(b, layout::kOptional + 112 + 8 * kDirectoryResource + 4, rsrcSize, 4);
    put(b, layout::kOptional + 112 + 8 * kDirectoryBaseRelocation, kRelocRva, 4);
    put(b, layout::kOptional + 112 + 8 * kDirectoryBaseRelocation + 4, 12, 4);

    putText(b, kRsrcHeader, ".rsrc");
    put(b, kRsrcHeader + 8, rsrcSize, 4);
    put(b, kRsrcHeader + 12, kRsrcRva, 4);
    put(b, kRsrcHeader + 16, 0x200, 4);
    put(b, kRsrcHeader + 20, kRsrcData, 4);
    put(b, kRsrcHeader + 36, 0x40000040, 4);
    putText(b, kRelocHeader, ".reloc");
    put(b, kRelocHeader + 8, 12, 4);
    put(b, kRelocHeader + 12, kRelocRva, 4);
    put(b, kRelocHeader + 16, 0x200, 4);
    put(b, kRelocHeader + 20, kRelocData, 4);
    put(b, kRelocHeader + 36, 0x42000040, 4);

    put(b, kRsrcData + 14, 1, 2);
    put(b, kRsrcData + 16, kResourceTypeVersion, 4);
    put(b, kRsrcData + 20, 0x80000000 | kNameDirectory, 4);
    put(b, kRsrcData + kNameDirectory + 14, 1, 2);
    put(b, kRsrcData + kNameDirectory + 16, 1, 4);
    put(b, kRsrcData + kNameDirectory + 20, 0x80000000 | kLanguageDirectory, 4);
    put(b, kRsrcData + kLanguageDirectory + 14, 1, 2);
    put(b, kRsrcData + kLanguageDirectory + 16, 0x409, 4);
    put(b, kRsrcData + kLanguageDirectory + 20, kDataEntry, 4);
    put(b, kRsrcData + kDataEntry, kRsrcRva + kVersionData, 4);
    put(b, kRsrcData + kDataEntry + 4, version.size(), 4);
    std::copy(version.begin(), version.end(),
              b.begin() + static_cast<std::ptrdiff_t>(kRsrcData + kVersionData));

    put(b, kRelocData, 0x1000, 4);
    put(b, kRelocData + 4, 12, 4);
    put(b, kRelocData + 8, 0xa010, 2);
    return b;
}

TEST(PeReader, ReadsResourcesRelocationsAndVersionInfo) {
    std::string error;
    std::optional<PeImage> image = parsePeImage(richImage(), error);
    ASSERT_TRUE(image) << error;

    ASSERT_EQ(image->resources.size(), 1u);
    const PeResource& resource = image->resources[0];
    EXPECT_EQ(resource.type.id, kResourceTypeVersion);
    EXPECT_EQ(resource.name.id, 1);
    EXPECT_EQ(resource.language.id, 0x409);
    EXPECT_EQ(resource.data, versionBlob());

    ASSERT_EQ(image->relocations.size(), 1u);
    EXPECT_EQ(image->relocations[0].pageRva, 0x1000u);
    EXPECT_EQ(image->relocations[0].entries, (std::vector<std::uint16_t>{0xa010, 0}));

    std::optional<PeVersionInfo> info = parseVersionInfo(resource.data, error);
    ASSERT_TRUE(info) << error;
    EXPECT_EQ(versionText(info->fixed.fileVersion), "1.2.3.4");
    EXPECT_EQ(versionText(info->fixed.productVersion), "1.2.3.5");
    EXPECT_EQ(info->fixed.fileType, 3u);
    EXPECT_EQ(info->translations, std::vector<std::uint32_t>{0x04b00409});
    EXPECT_EQ(info->string("040904b0", "CompanyName"), "\xc3\x84 \xf0\x9f\x8e\xae");
    EXPECT_EQ(info->string("040904B0", "OriginalFilename"), "x.sys");
    EXPECT_EQ(info->string("040704B0", "OriginalFilename"), std::nullopt);
}

const Corruption kResourceAndRelocationCorruptions[] = {
    {"resource entry count", rich::kRsrcData + 14, 0xffff, 2, "resource directory entries"},
    {"subdirectory outside the tree", rich::kRsrcData + 20, 0x80000f00, 4,
     "outside the resource directory"},
    {"resource ID wider than 16 bits", rich::kRsrcData + 16, 0x10010, 4, "16 bits"},
    {"language level leads to a directory", rich::kRsrcData + rich::kLanguageDirectory + 20,
     0x80000000, 4, "fourth level"},
    {"name level leads to data", rich::kRsrcData + rich::kNameDirectory + 20, rich::kDataEntry, 4,
     "before the language level"},
    {"resource data outside sections", rich::kRsrcData + rich::kDataEntry, 0x9000, 4,
     "resource data"},
    {"resource data across a section end", rich::kRsrcData + rich::kDataEntry + 4, 0x1000, 4,
     "in one piece"},
    {"empty relocation block", rich::kRelocData + 4, 0, 4, "SizeOfBlock"},
    {"relocation block past the directory", rich::kRelocData + 4, 16, 4, "SizeOfBlock"},
    {"relocation block off 32-bit boundary", rich::kRelocData + 4, 10, 4, "SizeOfBlock"},
};

TEST(PeReader, RejectsCorruptResourcesAndRelocations) {
    for (const Corruption& c : kResourceAndRelocationCorruptions) {
        std::vector<std::uint8_t> bytes = richImage();
        put(bytes, c.offset, c.value, c.width);
        std::string error;
        EXPECT_FALSE(parsePeImage(std::move(bytes), error)) << c.what;
        EXPECT_NE(error.find(c.expectedError), std::string::npos)
            << c.what << ": error was \"" << error << "\"";
    }
}

// Offsets in versionBlob(): the root's header and key, its fixed info at 40,
// StringFileInfo right after it.
const Corruption kVersionCorruptions[] = {
    {"root longer than the data", 0, 0xfff0, 2, "more than"},
    {"root key", 6, 'X', 2, "not \"VS_VERSION_INFO\""},
    {"fixed info size", 2, 50, 2, "not a VS_FIXEDFILEINFO"},
    {"child longer than its parent", 92, 0xfff0, 2, "more than"},
    {"child shorter than its header", 92, 4, 2, "claims 0x4 bytes"},
    {"text value past its node", 92 + 2, 0x7ff, 2, "runs past the node's end"},
};

TEST(VersionInfoReader, RejectsMalformedData) {
    for (const Corruption& c : kVersionCorruptions) {
        std::vector<std::uint8_t> bytes = versionBlob();
        put(bytes, c.offset, c.value, c.width);
        std::string error;
        EXPECT_FALSE(parseVersionInfo(bytes, error)) << c.what;
        EXPECT_NE(error.find(c.expectedError), std::string::npos)
            << c.what << ": error was \"" << error << "\"";
    }
    // A key that runs to the end of its node.
    std::vector<std::uint8_t> unterminated = {10, 0, 0, 0, 0, 0, 'V', 0, 'S', 0};
    std::string error;
    EXPECT_FALSE(parseVersionInfo(unterminated, error));
    EXPECT_NE(error.find("no terminating NUL"), std::string::npos) << error;
}

} // namespace
} // namespace velt::test
