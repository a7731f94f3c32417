#include "support/pe_image.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <utility>

namespace velt::test {
namespace {

constexpr std::size_t kCoffHeaderSize = 20;
constexpr std::size_t kSectionHeaderSize = 40;
constexpr std::size_t kSymbolSize = 18;
constexpr std::size_t kImportDescriptorSize = 20;
constexpr std::size_t kOptionalFixedSize32 = 96;
constexpr std::size_t kOptionalFixedSize64 = 112;
constexpr std::size_t kCheckSumFieldOffset = 64;

constexpr std::size_t kResourceDirectorySize = 16;
constexpr std::size_t kResourceEntrySize = 8;
constexpr std::size_t kResourceDataEntrySize = 16;
constexpr std::uint32_t kResourceSubdirectory = 0x80000000;
constexpr std::size_t kRelocationBlockHeaderSize = 8;
constexpr std::size_t kFixedFileInfoSize = 52;

// Caps on table lengths, so that a crafted image whose tables map onto the
// same bytes over and over cannot keep the reader busy for hours.
constexpr std::size_t kMaxImportedDlls = 4096;
constexpr std::size_t kMaxImportsPerDll = 65536;
constexpr std::size_t kMaxResourceNodes = 65536;
constexpr int kResourceLevels = 3;
// VS_VERSIONINFO, StringFileInfo, a string table, a string.
constexpr int kVersionInfoLevels = 4;

// Thrown by the readers below and turned into the caller's error text at the
// API boundary; never leaves this file.
struct Malformed : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::string hex(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

// Bounds-checked little-endian reads from the file.
class Reader {
  public:
    explicit Reader(const std::vector<std::uint8_t>& bytes) : bytes_(bytes) {}

    void require(std::uint64_t offset, std::uint64_t length, const std::string& what) const {
        if (offset > bytes_.size() || length > bytes_.size() - offset) {
            throw Malformed(what + " at file offset " + hex(offset) + " (" + hex(length) +
                            " bytes) runs past the end of the file (size " + hex(bytes_.size()) +
                            ")");
        }
    }

    std::uint64_t le(std::uint64_t offset, unsigned width, const std::string& what) const {
        require(offset, width, what);
        std::uint64_t value = 0;
        for (unsigned i = width; i-- > 0;) {
            value = (value << 8) | bytes_[offset + i];
        }
        return value;
    }
    std::uint8_t u8(std::uint64_t offset, const std::string& what) const {
        return static_cast<std::uint8_t>(le(offset, 1, what));
    }
    std::uint16_t u16(std::uint64_t offset, const std::string& what) const {
        return static_cast<std::uint16_t>(le(offset, 2, what));
    }
    std::uint32_t u32(std::uint64_t offset, const std::string& what) const {
        return static_cast<std::uint32_t>(le(offset, 4, what));
    }
    std::uint64_t u64(std::uint64_t offset, const std::string& what) const {
        return le(offset, 8, what);
    }

    std::string cString(std::uint64_t offset, const std::string& what) const {
        require(offset, 1, what);
        auto begin = bytes_.begin() + static_cast<std::ptrdiff_t>(offset);
        auto end = std::find(begin, bytes_.end(), std::uint8_t{0});
        if (end == bytes_.end()) {
            throw Malformed(what + " at file offset " + hex(offset) +
                            " has no terminating NUL before the end of the file");
        }
        return std::string(begin, end);
    }

    // `units` UTF-16 code units at `offset`, as UTF-8; stops early at a NUL.
    std::string utf16(std::uint64_t offset, std::size_t units, const std::string& what) const {
        require(offset, std::uint64_t{units} * 2, what);
        std::string text;
        for (std::size_t i = 0; i < units; ++i) {
            std::uint32_t c = u16(offset + 2 * i, what);
            if (c == 0) {
                break;
            }
            if (c >= 0xd800 && c < 0xdc00 && i + 1 < units) {
                std::uint32_t low = u16(offset + 2 * (i + 1), what);
                if (low >= 0xdc00 && low < 0xe000) {
                    c = 0x10000 + ((c - 0xd800) << 10) + (low - 0xdc00);
                    ++i;
                }
            }
            if (c >= 0xd800 && c < 0xe000) {
                c = 0xfffd;
            }
            appendUtf8(text, c);
        }
        return text;
    }

    // A fixed-width name field, NUL-padded.
    std::string fixedString(std::uint64_t offset, std::size_t width,
                            const std::string& what) const {
        require(offset, width, what);
        auto begin = bytes_.begin() + static_cast<std::ptrdiff_t>(offset);
        auto end = std::find(begin, begin + static_cast<std::ptrdiff_t>(width), std::uint8_t{0});
        return std::string(begin, end);
    }

  private:
    static void appendUtf8(std::string& text, std::uint32_t c) {
        if (c < 0x80) {
            text += static_cast<char>(c);
        } else if (c < 0x800) {
            text += static_cast<char>(0xc0 | (c >> 6));
            text += static_cast<char>(0x80 | (c & 0x3f));
        } else if (c < 0x10000) {
            text += static_cast<char>(0xe0 | (c >> 12));
            text += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
            text += static_cast<char>(0x80 | (c & 0x3f));
        } else {
            text += static_cast<char>(0xf0 | (c >> 18));
            text += static_cast<char>(0x80 | ((c >> 12) & 0x3f));
            text += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
            text += static_cast<char>(0x80 | (c & 0x3f));
        }
    }

    const std::vector<std::uint8_t>& bytes_;
};

std::uint64_t align4(std::uint64_t offset) {
    return (offset + 3) & ~std::uint64_t{3};
}

std::uint32_t mapRva(const PeImage& image, std::uint32_t rva, const std::string& what) {
    std::optional<std::uint32_t> offset = image.rvaToFileOffset(rva);
    if (!offset) {
        throw Malformed(what + " at RVA " + hex(rva) + " is not stored in the file");
    }
    return *offset;
}

// File offset of `length` bytes at `rva`, which must be stored in the file in
// one piece.
std::uint32_t mapRange(const PeImage& image, std::uint64_t rva, std::uint32_t length,
                       const std::string& what) {
    if (rva > 0xffffffffu || length == 0 || length - 1 > 0xffffffffu - rva) {
        throw Malformed(what + " at RVA " + hex(rva) + " (" + hex(length) +
                        " bytes) lies outside the 32-bit address space");
    }
    std::uint32_t first = mapRva(image, static_cast<std::uint32_t>(rva), what);
    std::optional<std::uint32_t> last =
        image.rvaToFileOffset(static_cast<std::uint32_t>(rva + length - 1));
    if (!last || *last < first || *last - first != length - 1) {
        throw Malformed(what + " at RVA " + hex(rva) + " (" + hex(length) +
                        " bytes) is not stored in the file in one piece");
    }
    return first;
}

// Returns the file offset of the optional header.
std::uint64_t parseHeaders(const Reader& in, PeImage& image, std::uint16_t& sectionCount,
                           std::uint16_t& optionalSize) {
    if (in.u16(0, "DOS header") != 0x5a4d) {
        throw Malformed("no DOS header: the file does not start with \"MZ\"");
    }
    std::uint32_t peOffset = in.u32(0x3c, "DOS header e_lfanew");
    if (in.u32(peOffset, "PE signature") != 0x00004550) {
        throw Malformed("no PE signature at file offset " + hex(peOffset));
    }
    std::uint64_t coff = std::uint64_t{peOffset} + 4;
    in.require(coff, kCoffHeaderSize, "COFF file header");
    image.machine = in.u16(coff, "Machine");
    sectionCount = in.u16(coff + 2, "NumberOfSections");
    image.timeDateStamp = in.u32(coff + 4, "TimeDateStamp");
    image.pointerToSymbolTable = in.u32(coff + 8, "PointerToSymbolTable");
    image.numberOfSymbols = in.u32(coff + 12, "NumberOfSymbols");
    optionalSize = in.u16(coff + 16, "SizeOfOptionalHeader");
    image.characteristics = in.u16(coff + 18, "Characteristics");
    return coff + kCoffHeaderSize;
}

void parseOptionalHeader(const Reader& in, std::uint64_t at, std::uint16_t size, PeImage& image) {
    in.require(at, size, "optional header");
    if (size < 2) {
        throw Malformed("optional header is missing (SizeOfOptionalHeader " + hex(size) + ")");
    }
    image.magic = in.u16(at, "optional header Magic");
    bool pe64 = image.magic == kPeMagic64;
    if (!pe64 && image.magic != kPeMagic32) {
        throw Malformed("optional header Magic " + hex(image.magic) +
                        " is neither PE32 (0x10b) nor PE32+ (0x20b)");
    }
    std::size_t fixed = pe64 ? kOptionalFixedSize64 : kOptionalFixedSize32;
    if (size < fixed) {
        throw Malformed("optional header of " + hex(size) + " bytes is shorter than the " +
                        hex(fixed) + " bytes of its fixed part");
    }
    image.addressOfEntryPoint = in.u32(at + 16, "AddressOfEntryPoint");
    image.imageBase = pe64 ? in.u64(at + 24, "ImageBase") : in.u32(at + 28, "ImageBase");
    image.sectionAlignment = in.u32(at + 32, "SectionAlignment");
    image.fileAlignment = in.u32(at + 36, "FileAlignment");
    image.sizeOfImage = in.u32(at + 56, "SizeOfImage");
    image.sizeOfHeaders = in.u32(at + 60, "SizeOfHeaders");
    image.checkSum = in.u32(at + kCheckSumFieldOffset, "CheckSum");
    image.checkSumFileOffset = static_cast<std::uint32_t>(at + kCheckSumFieldOffset);
    image.subsystem = in.u16(at + 68, "Subsystem");
    image.dllCharacteristics = in.u16(at + 70, "DllCharacteristics");
    std::uint32_t count = in.u32(at + fixed - 4, "NumberOfRvaAndSizes");
    if (count > (size - fixed) / 8) {
        throw Malformed("optional header of " + hex(size) + " bytes has no room for its " +
                        hex(count) + " data directories");
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint64_t entry = at + fixed + std::uint64_t{i} * 8;
        image.dataDirectories.push_back(
            {in.u32(entry, "data directory"), in.u32(entry + 4, "data directory")});
    }
}

void parseSymbols(const Reader& in, PeImage& image) {
    if (image.pointerToSymbolTable == 0) {
        return;
    }
    std::uint64_t table = image.pointerToSymbolTable;
    std::uint64_t tableSize = std::uint64_t{image.numberOfSymbols} * kSymbolSize;
    in.require(table, tableSize, "COFF symbol table");
    std::uint64_t strings = table + tableSize;
    std::uint32_t stringsSize = in.u32(strings, "COFF string table size");
    in.require(strings, stringsSize, "COFF string table");

    for (std::uint32_t i = 0; i < image.numberOfSymbols; ++i) {
        std::uint64_t at = table + std::uint64_t{i} * kSymbolSize;
        PeSymbol symbol;
        if (in.u32(at, "symbol name") == 0) {
            std::uint32_t nameOffset = in.u32(at + 4, "symbol name offset");
            if (nameOffset < 4 || nameOffset >= stringsSize) {
                throw Malformed("symbol " + std::to_string(i) + " names string table offset " +
                                hex(nameOffset) + " outside the string table of " +
                                hex(stringsSize) + " bytes");
            }
            symbol.name = in.cString(strings + nameOffset, "symbol name");
        } else {
            symbol.name = in.fixedString(at, 8, "symbol name");
        }
        symbol.value = in.u32(at + 8, "symbol value");
        symbol.sectionNumber = static_cast<std::int16_t>(in.u16(at + 12, "symbol section"));
        symbol.type = in.u16(at + 14, "symbol type");
        symbol.storageClass = in.u8(at + 16, "symbol storage class");
        i += in.u8(at + 17, "symbol aux count");
        image.symbols.push_back(std::move(symbol));
    }

    // Section names longer than eight characters are "/<decimal offset>"
    // into the string table.
    for (PeSection& section : image.sections) {
        const std::string& name = section.name;
        if (name.size() < 2 || name[0] != '/' ||
            !std::all_of(name.begin() + 1, name.end(),
                         [](char c) { return c >= '0' && c <= '9'; })) {
            continue;
        }
        std::uint64_t nameOffset = std::stoull(name.substr(1));
        if (nameOffset < 4 || nameOffset >= stringsSize) {
            throw Malformed("section name " + name + " points outside the string table");
        }
        section.name = in.cString(strings + nameOffset, "section name");
    }
}

void parseSections(const Reader& in, std::uint64_t at, std::uint16_t count, PeImage& image) {
    in.require(at, std::uint64_t{count} * kSectionHeaderSize, "section table");
    for (std::uint16_t i = 0; i < count; ++i) {
        std::uint64_t header = at + std::uint64_t{i} * kSectionHeaderSize;
        PeSection section;
        section.name = in.fixedString(header, 8, "section name");
        section.virtualSize = in.u32(header + 8, "VirtualSize");
        section.virtualAddress = in.u32(header + 12, "VirtualAddress");
        section.sizeOfRawData = in.u32(header + 16, "SizeOfRawData");
        section.pointerToRawData = in.u32(header + 20, "PointerToRawData");
        section.characteristics = in.u32(header + 36, "section Characteristics");
        if (section.sizeOfRawData != 0) {
            in.require(section.pointerToRawData, section.sizeOfRawData,
                       "raw data of section " + section.name);
        }
        image.sections.push_back(std::move(section));
    }
}

void parseImports(const Reader& in, PeImage& image) {
    const PeDataDirectory* dir = image.directory(kDirectoryImport);
    if (dir == nullptr || dir->virtualAddress == 0 || dir->size == 0) {
        return;
    }
    bool pe64 = image.magic == kPeMagic64;
    unsigned thunkSize = pe64 ? 8 : 4;
    std::uint64_t ordinalFlag = pe64 ? 0x8000000000000000ull : 0x80000000ull;

    for (std::uint32_t d = 0;; ++d) {
        if (d == kMaxImportedDlls) {
            throw Malformed("import directory has no terminating entry within " +
                            std::to_string(kMaxImportedDlls) + " DLLs");
        }
        std::uint64_t descRva = std::uint64_t{dir->virtualAddress} + d * kImportDescriptorSize;
        std::uint32_t desc =
            mapRva(image, static_cast<std::uint32_t>(descRva), "import descriptor");
        in.require(desc, kImportDescriptorSize, "import descriptor");
        std::uint32_t lookup = in.u32(desc, "OriginalFirstThunk");
        std::uint32_t nameRva = in.u32(desc + 12, "import DLL name");
        std::uint32_t firstThunk = in.u32(desc + 16, "FirstThunk");
        if (nameRva == 0 && firstThunk == 0) {
            break;
        }
        PeImportedDll dll;
        dll.name = in.cString(mapRva(image, nameRva, "import DLL name"), "import DLL name");
        std::uint32_t thunks = lookup != 0 ? lookup : firstThunk;
        for (std::uint32_t t = 0;; ++t) {
            if (t == kMaxImportsPerDll) {
                throw Malformed("import table of " + dll.name + " has no terminating entry");
            }
            std::uint64_t thunkRva = std::uint64_t{thunks} + std::uint64_t{t} * thunkSize;
            std::string what = "import thunk of " + dll.name;
            std::uint32_t at = mapRva(image, static_cast<std::uint32_t>(thunkRva), what);
            std::uint64_t thunk = in.le(at, thunkSize, what);
            if (thunk == 0) {
                break;
            }
            PeImportedFunction function;
            if (thunk & ordinalFlag) {
                function.byOrdinal = true;
                function.ordinal = static_cast<std::uint16_t>(thunk);
            } else {
                std::uint32_t hintName =
                    mapRva(image, static_cast<std::uint32_t>(thunk & 0x7fffffff), what);
                function.hint = in.u16(hintName, what);
                function.name = in.cString(std::uint64_t{hintName} + 2, what);
            }
            dll.functions.push_back(std::move(function));
        }
        image.imports.push_back(std::move(dll));
    }
}

// Walks the three levels of the resource tree (type, name, language) and
// copies every leaf's data.
class ResourceWalker {
  public:
    ResourceWalker(const Reader& in, PeImage& image, const PeDataDirectory& dir)
        : in_(in), image_(image), dir_(dir) {}

    void walk(std::uint32_t offset, int level, PeResource& path) {
        visit("resource directory");
        std::uint32_t at = map(offset, kResourceDirectorySize, "resource directory");
        std::uint32_t count = std::uint32_t{in_.u16(at + 12, "resource directory")} +
                              in_.u16(at + 14, "resource directory");
        std::uint32_t entries = map(offset + std::uint64_t{kResourceDirectorySize},
                                    count * kResourceEntrySize, "resource directory entries");
        for (std::uint32_t i = 0; i < count; ++i) {
            std::uint64_t entry = entries + std::uint64_t{i} * kResourceEntrySize;
            PeResourceKey key = readKey(in_.u32(entry, "resource entry"));
            std::uint32_t target = in_.u32(entry + 4, "resource entry");
            (level == 0 ? path.type : level == 1 ? path.name : path.language) = key;
            bool subdirectory = (target & kResourceSubdirectory) != 0;
            if (subdirectory != (level + 1 < kResourceLevels)) {
                throw Malformed("resource entry at level " + std::to_string(level + 1) +
                                (subdirectory ? " leads to a fourth level"
                                              : " leads to data before the language level"));
            }
            if (subdirectory) {
                walk(target & ~kResourceSubdirectory, level + 1, path);
            } else {
                readLeaf(target, path);
            }
        }
    }

  private:
    void visit(const std::string& what) {
        if (++nodes_ > kMaxResourceNodes) {
            throw Malformed("resource tree has more than " + std::to_string(kMaxResourceNodes) +
                            " nodes at " + what);
        }
    }

    // Offsets inside the tree are relative to the resource directory and must
    // stay within it.
    std::uint32_t map(std::uint64_t offset, std::uint64_t length, const std::string& what) {
        if (offset > dir_.size || length > dir_.size - offset) {
            throw Malformed(what + " at offset " + hex(offset) + " (" + hex(length) +
                            " bytes) lies outside the resource directory of " + hex(dir_.size) +
                            " bytes");
        }
        if (length == 0) {
            return 0;
        }
        return mapRange(image_, dir_.virtualAddress + offset, static_cast<std::uint32_t>(length),
                        what);
    }

    PeResourceKey readKey(std::uint32_t raw) {
        PeResourceKey key;
        if (raw & kResourceSubdirectory) {
            std::uint32_t offset = raw & ~kResourceSubdirectory;
            key.isName = true;
            std::uint16_t units = in_.u16(map(offset, 2, "resource name"), "resource name");
            key.name = in_.utf16(map(offset + 2ull, units * 2ull, "resource name"), units,
                                 "resource name");
        } else if (raw > 0xffff) {
            throw Malformed("resource ID " + hex(raw) + " does not fit 16 bits");
        } else {
            key.id = static_cast<std::uint16_t>(raw);
        }
        return key;
    }

    void readLeaf(std::uint32_t offset, PeResource path) {
        visit("resource data entry");
        std::uint32_t at = map(offset, kResourceDataEntrySize, "resource data entry");
        path.dataRva = in_.u32(at, "resource data entry");
        std::uint32_t size = in_.u32(at + 4, "resource data entry");
        path.codePage = in_.u32(at + 8, "resource data entry");
        if (size != 0) {
            std::uint32_t data = mapRange(image_, path.dataRva, size, "resource data");
            auto begin = image_.bytes.begin() + static_cast<std::ptrdiff_t>(data);
            path.data.assign(begin, begin + static_cast<std::ptrdiff_t>(size));
        }
        image_.resources.push_back(std::move(path));
    }

    const Reader& in_;
    PeImage& image_;
    const PeDataDirectory& dir_;
    std::size_t nodes_ = 0;
};

void parseResources(const Reader& in, PeImage& image) {
    const PeDataDirectory* dir = image.directory(kDirectoryResource);
    if (dir == nullptr || dir->virtualAddress == 0 || dir->size == 0) {
        return;
    }
    PeResource path;
    ResourceWalker(in, image, *dir).walk(0, 0, path);
}

void parseRelocations(const Reader& in, PeImage& image) {
    const PeDataDirectory* dir = image.directory(kDirectoryBaseRelocation);
    if (dir == nullptr || dir->virtualAddress == 0 || dir->size == 0) {
        return;
    }
    std::uint32_t offset = 0;
    while (offset < dir->size) {
        std::uint64_t rva = std::uint64_t{dir->virtualAddress} + offset;
        if (dir->size - offset < kRelocationBlockHeaderSize) {
            throw Malformed("base relocation block header at RVA " + hex(rva) +
                            " runs past the end of the directory");
        }
        std::uint32_t at =
            mapRange(image, rva, kRelocationBlockHeaderSize, "base relocation block");
        PeRelocationBlock block;
        block.pageRva = in.u32(at, "base relocation block");
        std::uint32_t blockSize = in.u32(at + 4, "base relocation block");
        // Blocks start on 32-bit boundaries, so their sizes are multiples of four.
        if (blockSize < kRelocationBlockHeaderSize || blockSize % 4 != 0 ||
            blockSize > dir->size - offset) {
            throw Malformed("base relocation block at RVA " + hex(rva) + " has SizeOfBlock " +
                            hex(blockSize) + " in a directory of " + hex(dir->size) + " bytes");
        }
        std::uint32_t count = (blockSize - kRelocationBlockHeaderSize) / 2;
        if (count != 0) {
            std::uint32_t entries = mapRange(image, rva + kRelocationBlockHeaderSize, count * 2,
                                             "base relocation entries");
            for (std::uint32_t i = 0; i < count; ++i) {
                block.entries.push_back(in.u16(entries + 2ull * i, "base relocation entry"));
            }
        }
        image.relocations.push_back(std::move(block));
        offset += blockSize;
    }
}

// One node of a version resource: a key, an optional value (bytes, or
// UTF-16 text when textual) and child nodes, each 32-bit aligned.
struct VersionNode {
    std::string key;
    bool text = false;
    std::uint64_t valueAt = 0;
    std::uint32_t valueBytes = 0;
    std::vector<VersionNode> children;
};

// Parses the node at `at`, which must end by `limit`; sets `end` past it.
VersionNode parseVersionNode(const Reader& in, std::uint64_t at, std::uint64_t limit, int level,
                             std::uint64_t& end) {
    if (level > kVersionInfoLevels) {
        throw Malformed("version resource nests deeper than " + std::to_string(kVersionInfoLevels) +
                        " levels at offset " + hex(at));
    }
    std::uint16_t length = in.u16(at, "version node wLength");
    std::uint16_t valueLength = in.u16(at + 2, "version node wValueLength");
    std::uint16_t type = in.u16(at + 4, "version node wType");
    if (length < 6 || at + length > limit) {
        throw Malformed("version node at offset " + hex(at) + " claims " + hex(length) +
                        " bytes, more than the " + hex(limit - at) + " left in its parent");
    }
    end = at + length;
    VersionNode node;
    node.text = type == 1;
    std::uint64_t keyEnd = at + 6;
    while (keyEnd + 2 <= end && in.u16(keyEnd, "version node key") != 0) {
        keyEnd += 2;
    }
    if (keyEnd + 2 > end) {
        throw Malformed("version node key at offset " + hex(at + 6) + " has no terminating NUL");
    }
    node.key = in.utf16(at + 6, static_cast<std::size_t>((keyEnd - at - 6) / 2), "version node");
    std::uint64_t pos = align4(keyEnd + 2);
    node.valueBytes = node.text ? valueLength * 2u : valueLength;
    if (node.valueBytes != 0) {
        if (pos + node.valueBytes > end) {
            throw Malformed("value of version node \"" + node.key + "\" (" + hex(node.valueBytes) +
                            " bytes) runs past the node's end");
        }
        node.valueAt = pos;
        pos = align4(pos + node.valueBytes);
    }
    while (pos < end) {
        std::uint64_t childEnd = 0;
        node.children.push_back(parseVersionNode(in, pos, end, level + 1, childEnd));
        pos = align4(childEnd);
    }
    return node;
}

PeFixedFileInfo readFixedFileInfo(const Reader& in, const VersionNode& root) {
    if (root.text || root.valueBytes != kFixedFileInfoSize) {
        throw Malformed("VS_VERSION_INFO carries " + hex(root.valueBytes) +
                        " value bytes, not a VS_FIXEDFILEINFO of 0x34");
    }
    auto version = [&](std::uint64_t at) {
        return std::uint64_t{in.u32(at, "VS_FIXEDFILEINFO")} << 32 |
               in.u32(at + 4, "VS_FIXEDFILEINFO");
    };
    std::uint64_t at = root.valueAt;
    PeFixedFileInfo fixed;
    fixed.signature = in.u32(at, "VS_FIXEDFILEINFO");
    fixed.structVersion = in.u32(at + 4, "VS_FIXEDFILEINFO");
    fixed.fileVersion = version(at + 8);
    fixed.productVersion = version(at + 16);
    fixed.fileFlagsMask = in.u32(at + 24, "VS_FIXEDFILEINFO");
    fixed.fileFlags = in.u32(at + 28, "VS_FIXEDFILEINFO");
    fixed.fileOs = in.u32(at + 32, "VS_FIXEDFILEINFO");
    fixed.fileType = in.u32(at + 36, "VS_FIXEDFILEINFO");
    fixed.fileSubtype = in.u32(at + 40, "VS_FIXEDFILEINFO");
    fixed.fileDate = version(at + 44);
    return fixed;
}

bool sameText(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

} // namespace

std::optional<std::uint32_t> PeImage::rvaToFileOffset(std::uint32_t rva) const {
    if (rva < sizeOfHeaders && rva < bytes.size()) {
        return rva;
    }
    for (const PeSection& section : sections) {
        std::uint32_t span = section.virtualSize != 0 ? section.virtualSize : section.sizeOfRawData;
        if (rva < section.virtualAddress) {
            continue;
        }
        std::uint32_t delta = rva - section.virtualAddress;
        if (delta >= span || delta >= section.sizeOfRawData) {
            continue;
        }
        std::uint64_t offset = std::uint64_t{section.pointerToRawData} + delta;
        if (offset < bytes.size()) {
            return static_cast<std::uint32_t>(offset);
        }
    }
    return std::nullopt;
}

std::optional<std::uint32_t> PeImage::symbolRva(std::string_view name) const {
    for (const PeSymbol& symbol : symbols) {
        if (symbol.name == name && symbol.sectionNumber >= 1 &&
            static_cast<std::size_t>(symbol.sectionNumber) <= sections.size()) {
            return sections[static_cast<std::size_t>(symbol.sectionNumber) - 1].virtualAddress +
                   symbol.value;
        }
    }
    return std::nullopt;
}

const PeDataDirectory* PeImage::directory(std::size_t index) const {
    return index < dataDirectories.size() ? &dataDirectories[index] : nullptr;
}

std::optional<PeImage> parsePeImage(std::vector<std::uint8_t> bytes, std::string& error) {
    PeImage image;
    image.bytes = std::move(bytes);
    Reader in(image.bytes);
    try {
        std::uint16_t sectionCount = 0;
        std::uint16_t optionalSize = 0;
        std::uint64_t optional = parseHeaders(in, image, sectionCount, optionalSize);
        parseOptionalHeader(in, optional, optionalSize, image);
        parseSections(in, optional + optionalSize, sectionCount, image);
        parseSymbols(in, image);
        parseImports(in, image);
        parseResources(in, image);
        parseRelocations(in, image);
    } catch (const Malformed& e) {
        error = e.what();
        return std::nullopt;
    }
    return image;
}

std::optional<PeImage> loadPeImage(const std::string& path, std::string& error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = "cannot open " + path;
        return std::nullopt;
    }
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                                    std::istreambuf_iterator<char>());
    if (file.bad()) {
        error = "cannot read " + path;
        return std::nullopt;
    }
    std::optional<PeImage> image = parsePeImage(std::move(bytes), error);
    if (!image) {
        error = path + ": " + error;
    }
    return image;
}

std::uint32_t computePeChecksum(const PeImage& image) {
    const std::vector<std::uint8_t>& bytes = image.bytes;
    auto byteAt = [&](std::size_t i) -> std::uint32_t {
        bool inField = i >= image.checkSumFileOffset && i - image.checkSumFileOffset < 4;
        return i < bytes.size() && !inField ? bytes[i] : 0;
    };
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < bytes.size(); i += 2) {
        sum += byteAt(i) | (byteAt(i + 1) << 8);
        sum = (sum & 0xffff) + (sum >> 16);
    }
    sum = (sum & 0xffff) + (sum >> 16);
    return sum + static_cast<std::uint32_t>(bytes.size());
}

std::optional<std::string> PeVersionInfo::string(std::string_view tableKey,
                                                 std::string_view name) const {
    for (const PeStringTable& table : stringTables) {
        if (!sameText(table.key, tableKey)) {
            continue;
        }
        for (const auto& [key, value] : table.strings) {
            if (key == name) {
                return value;
            }
        }
    }
    return std::nullopt;
}

std::optional<PeVersionInfo> parseVersionInfo(const std::vector<std::uint8_t>& data,
                                              std::string& error) {
    Reader in(data);
    PeVersionInfo info;
    try {
        std::uint64_t end = 0;
        VersionNode root = parseVersionNode(in, 0, data.size(), 1, end);
        if (root.key != "VS_VERSION_INFO") {
            throw Malformed("version resource starts with key \"" + root.key +
                            "\", not \"VS_VERSION_INFO\"");
        }
        info.fixed = readFixedFileInfo(in, root);
        for (const VersionNode& child : root.children) {
            if (child.key == "StringFileInfo") {
                for (const VersionNode& tableNode : child.children) {
                    PeStringTable table;
                    table.key = tableNode.key;
                    for (const VersionNode& string : tableNode.children) {
                        std::string value = string.text
                                                ? in.utf16(string.valueAt, string.valueBytes / 2,
                                                           "version string " + string.key)
                                                : std::string();
                        table.strings.emplace_back(string.key, std::move(value));
                    }
                    info.stringTables.push_back(std::move(table));
                }
            } else if (child.key == "VarFileInfo") {
                for (const VersionNode& var : child.children) {
                    if (var.key != "Translation") {
                        continue;
                    }
                    for (std::uint32_t i = 0; i + 4 <= var.valueBytes; i += 4) {
                        info.translations.push_back(in.u32(var.valueAt + i, "Translation"));
                    }
                }
            }
        }
    } catch (const Malformed& e) {
        error = e.what();
        return std::nullopt;
    }
    return info;
}

std::string versionText(std::uint64_t version) {
    return std::to_string(version >> 48) + "." + std::to_string((version >> 32) & 0xffff) + "." +
           std::to_string((version >> 16) & 0xffff) + "." + std::to_string(version & 0xffff);
}

} // namespace velt::test
