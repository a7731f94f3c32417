// Reader for PE/COFF images, used by the tests that inspect the real driver
// builds. Every read is bounds-checked: a malformed file yields an error
// message, never a crash.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
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

constexpr std::size_t kDirectoryImport = 1;

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

    // File offset of the byte at `rva`, if that byte is stored in the file
    // (headers or a section's raw data; not the zero-filled tail).
    std::optional<std::uint32_t> rvaToFileOffset(std::uint32_t rva) const;

    // RVA of the first symbol named `name` that lives in a section.
    std::optional<std::uint32_t> symbolRva(std::string_view name) const;

    const PeDataDirectory* directory(std::size_t index) const;
};

// Parses `bytes` as a PE image. On failure returns nothing and sets `error`.
std::optional<PeImage> parsePeImage(std::vector<std::uint8_t> bytes, std::string& error);

// Reads the file at `path` and parses it.
std::optional<PeImage> loadPeImage(const std::string& path, std::string& error);

// Image checksum as the loader and imagehlp compute it: the folded 16-bit
// one's-complement sum of the file with the CheckSum field taken as zero,
// plus the file length.
std::uint32_t computePeChecksum(const PeImage& image);

} // namespace velt::test
