// Reader for PE/COFF images, used by the tests that inspect the real driver
// builds. Every read is bounds-checked: a malformed file yields an error
// message, never a crash.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velt::test {

constexpr std::uint16_t kPeMagic32 = 0x10b;
constexpr std::uint16_t kPeMagic64 = 0x20b;
constexpr std::uint16_t kMachineI386 = 0x14c;
constexpr std::uint16_t kMachineAmd64 = 0x8664;

constexpr std::uint16_t kFileRelocsStripped = 0x0001;
constexpr std::uint16_t kFileExecutableImage = 0x0002;
constexpr std::uint16_t kFileDll = 0x2000;

constexpr std::uint16_t kSubsystemNative = 1;

constexpr std::uint16_t kDllNxCompat = 0x0100;

constexpr std::uint32_t kSectionCode = 0x00000020;
constexpr std::uint32_t kSectionDiscardable = 0x02000000;
constexpr std::uint32_t kSectionExecute = 0x20000000;
constexpr std::uint32_t kSectionWrite = 0x80000000;

constexpr std::size_t kDirectoryImport = 1;
constexpr std::size_t kDirectoryResource = 2;
constexpr std::size_t kDirectoryBaseRelocation = 5;

constexpr std::uint16_t kRelocationAbsolute = 0;
constexpr std::uint16_t kRelocationHighLow = 3;
constexpr std::uint16_t kRelocationDir64 = 10;

constexpr std::uint16_t kResourceTypeVersion = 16;

struct PeDataDirectory {
    std::uint32_t virtualAddress = 0;
    std::uint32_t size = 0;
};

struct PeSection {
    std::string name;
    std::uint32_t virtualAddress = 0;
    std::uint32_t virtualSize = 0;
    std::uint32_t pointerToRawData = 0;
    std::uint32_t sizeOfRawData = 0;
    std::uint32_t characteristics = 0;
};

// One entry of a DLL's import lookup table: by name (with its hint) or by
// ordinal.
struct PeImportedFunction {
    bool byOrdinal = false;
    std::uint16_t ordinal = 0;
    std::uint16_t hint = 0;
    std::string name;
};

struct PeImportedDll {
    std::string name;
    std::vector<PeImportedFunction> functions;
};

// A COFF symbol table record; sectionNumber is 1-based, 0 and below are
// undefined, absolute and debug symbols.
struct PeSymbol {
    std::string name;
    std::uint32_t value = 0;
    std::int16_t sectionNumber = 0;
    std::uint16_t type = 0;
    std::uint8_t storageClass = 0;
};

// One level of a resource's path (type, name, language): an ID or a name.
struct PeResourceKey {
    bool isName = false;
    std::uint16_t id = 0;
    std::string name;
};

// A leaf of the resource tree with a copy of its data.
struct PeResource {
    PeResourceKey type;
    PeResourceKey name;
    PeResourceKey language;
    std::uint32_t dataRva = 0;
    std::uint32_t codePage = 0;
    std::vector<std::uint8_t> data;
};

// One block of the base relocation table: a 4 KiB page and its entries, the
// type in each entry's top four bits and the page offset in the rest.
struct PeRelocationBlock {
    std::uint32_t pageRva = 0;
    std::vector<std::uint16_t> entries;
};

struct PeImage {
    std::vector<std::uint8_t> bytes;

    std::uint16_t machine = 0;
    std::uint16_t characteristics = 0;
    std::uint32_t timeDateStamp = 0;
    std::uint32_t pointerToSymbolTable = 0;
    std::uint32_t numberOfSymbols = 0;

    std::uint16_t magic = 0;
    std::uint32_t addressOfEntryPoint = 0;
    std::uint64_t imageBase = 0;
    std::uint32_t sectionAlignment = 0;
    std::uint32_t fileAlignment = 0;
    std::uint32_t sizeOfImage = 0;
    std::uint32_t sizeOfHeaders = 0;
    std::uint32_t checkSum = 0;
    std::uint32_t checkSumFileOffset = 0;
    std::uint16_t subsystem = 0;
    std::uint16_t dllCharacteristics = 0;
    std::vector<PeDataDirectory> dataDirectories;

    std::vector<PeSection> sections;
    std::vector<PeImportedDll> imports;
    std::vector<PeSymbol> symbols;
    std::vector<PeResource> resources;
    std::vector<PeRelocationBlock> relocations;

    // File offset of the byte at `rva`, if that byte is stored in the file
    // (headers or a section's raw data; not the zero-filled tail).
    std::optional<std::uint32_t> rvaToFileOffset(std::uint32_t rva) const;

    // RVA of the first symbol named `name` that lives in a section.
    std::optional<std::uint32_t> symbolRva(std::string_view name) const;

    const PeDataDirectory* directory(std::size_t index) const;
};

// VS_FIXEDFILEINFO, the binary part of a version resource.
struct PeFixedFileInfo {
    std::uint32_t signature = 0;
    std::uint32_t structVersion = 0;
    std::uint64_t fileVersion = 0;
    std::uint64_t productVersion = 0;
    std::uint32_t fileFlagsMask = 0;
    std::uint32_t fileFlags = 0;
    std::uint32_t fileOs = 0;
    std::uint32_t fileType = 0;
    std::uint32_t fileSubtype = 0;
    std::uint64_t fileDate = 0;
};

constexpr std::uint32_t kFixedFileInfoSignature = 0xfeef04bd;

// A StringFileInfo table: its key names language and code page in hex
// ("040904B0"); its strings in file order, UTF-16 converted to UTF-8.
struct PeStringTable {
    std::string key;
    std::vector<std::pair<std::string, std::string>> strings;
};

// A parsed VS_VERSIONINFO resource.
struct PeVersionInfo {
    PeFixedFileInfo fixed;
    std::vector<PeStringTable> stringTables;
    // The VarFileInfo "Translation" pairs: language in the low word, code
    // page in the high word.
    std::vector<std::uint32_t> translations;

    // The string `name` of the table whose key is `tableKey` (compared
    // without regard to case).
    std::optional<std::string> string(std::string_view tableKey, std::string_view name) const;
};

// Parses the data of an RT_VERSION resource.
std::optional<PeVersionInfo> parseVersionInfo(const std::vector<std::uint8_t>& data,
                                              std::string& error);

// "a.b.c.d" of a 64-bit version as VS_FIXEDFILEINFO stores it.
std::string versionText(std::uint64_t version);

// Parses `bytes` as a PE image. On failure returns nothing and sets `error`.
std::optional<PeImage> parsePeImage(std::vector<std::uint8_t> bytes, std::string& error);

// Reads the file at `path` and parses it.
std::optional<PeImage> loadPeImage(const std::string& path, std::string& error);

// Image checksum as the loader and imagehlp compute it: the folded 16-bit
// one's-complement sum of the file with the CheckSum field taken as zero,
// plus the file length.
std::uint32_t computePeChecksum(const PeImage& image);

} // namespace velt::test
