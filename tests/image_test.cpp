// Checks the real kernel images of both mingw-w64 builds, and that the PE
// reader behind those checks refuses malformed files cleanly.
#include "support/pe_image.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <ostream>

#if !defined(VELT_IMAGE_X64) || !defined(VELT_IMAGE_X86)
#error "VELT_IMAGE_X64 and VELT_IMAGE_X86 must name the two veltdriver.sys images"
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

INSTANTIATE_TEST_SUITE_P(Builds, DriverImageTest, ::testing::ValuesIn(kDriverImages),
                         [](const ::testing::TestParamInfo<DriverImage>& info) {
                             return std::string(info.param.arch);
                         });

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

} // namespace
} // namespace velt::test
