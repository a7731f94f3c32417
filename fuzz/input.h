// The fuzzers' input: a sequence of records, each a tag byte, a 16-bit little-endian length and
// that many bytes. Reading past the end of a record or of the input yields zeros, so every input
// means something. The writer builds the seed corpora in the same form.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fuzz {

using Bytes = std::vector<uint8_t>;

// Reads fields from the front of a byte string.
class Reader {
  public:
    Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    explicit Reader(const Bytes& bytes) : Reader(bytes.data(), bytes.size()) {}

    bool Empty() const {
        return at_ >= size_;
    }
    uint8_t U8();
    uint16_t U16();
    uint32_t U32();
    // Up to `count` bytes; fewer when the input ends first.
    Bytes Take(size_t count);
    Bytes Rest();

  private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

struct Record {
    uint8_t tag = 0;
    Bytes payload;
};

std::vector<Record> SplitRecords(const uint8_t* data, size_t size);

// Every record of an input decoded on its own, in order.
template <typename Item>
std::vector<Item> DecodeEach(const uint8_t* data, size_t size, Item (*decode)(const Record&)) {
    std::vector<Item> items;
    for (const Record& record : SplitRecords(data, size)) {
        items.push_back(decode(record));
    }
    return items;
}

// Appends fields and records; Bytes() is the encoded input.
class Writer {
  public:
    Writer& U8(uint8_t value);
    Writer& U16(uint16_t value);
    Writer& U32(uint32_t value);
    Writer& Append(const Bytes& bytes);
    Writer& Add(uint8_t tag, const Writer& payload);
    const Bytes& Data() const {
        return bytes_;
    }

  private:
    Bytes bytes_;
};

// Writes one corpus file; FALSE when it cannot.
bool WriteFile(const std::string& path, const Bytes& bytes);

} // namespace fuzz
