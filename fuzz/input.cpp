#include "input.h"

#include <algorithm>
#include <fstream>

namespace fuzz {

uint8_t Reader::U8() {
    return at_ < size_ ? data_[at_++] : 0;
}

uint16_t Reader::U16() {
    uint16_t low = U8();
    return static_cast<uint16_t>(low | (U8() << 8));
}

uint32_t Reader::U32() {
    uint32_t low = U16();
    return low | (static_cast<uint32_t>(U16()) << 16);
}

Bytes Reader::Take(size_t count) {
    size_t available = at_ < size_ ? size_ - at_ : 0;
    size_t taken = std::min(count, available);
    Bytes bytes(data_ + at_, data_ + at_ + taken);
    at_ += taken;
    return bytes;
}

Bytes Reader::Rest() {
    return Take(size_);
}

std::vector<Record> SplitRecords(const uint8_t* data, size_t size) {
    std::vector<Record> records;
    Reader reader(data, size);
    while (!reader.Empty()) {
        Record record;
        record.tag = reader.U8();
        record.payload = reader.Take(reader.U16());
        records.push_back(std::move(record));
    }
    return records;
}

Writer& Writer::U8(uint8_t value) {
    bytes_.push_back(value);
    return *this;
}

Writer& Writer::U16(uint16_t value) {
    U8(static_cast<uint8_t>(value));
    return U8(static_cast<uint8_t>(value >> 8));
}

Writer& Writer::U32(uint32_t value) {
    U16(static_cast<uint16_t>(value));
    return U16(static_cast<uint16_t>(value >> 16));
}

Writer& Writer::Append(const Bytes& bytes) {
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    return *this;
}

Writer& Writer::Add(uint8_t tag, const Writer& payload) {
    U8(tag);
    U16(static_cast<uint16_t>(payload.Data().size()));
    return Append(payload.Data());
}

bool WriteFile(const std::string& path, const Bytes& bytes) {
    std::ofstream file(path, std::ios::binary);
    file.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(file);
}

} // namespace fuzz
