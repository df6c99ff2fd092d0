// Little-endian reading and writing over byte spans. Every read is checked against the bytes
// that are really there; a short read leaves the cursor failed instead of reading past the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace kestrel {

class ByteCursor {
public:
    ByteCursor() = default;
    ByteCursor(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    size_t position() const { return pos_; }
    size_t size() const { return size_; }
    size_t remaining() const { return size_ - pos_; }
    bool failed() const { return failed_; }
    const uint8_t* here() const { return data_ + pos_; }

    bool skip(size_t n) {
        if (failed_ || n > remaining()) return fail();
        pos_ += n;
        return true;
    }
    bool seek(size_t to) {
        if (failed_ || to > size_) return fail();
        pos_ = to;
        return true;
    }
    uint8_t u8() {
        if (failed_ || remaining() < 1) return fail(), 0;
        return data_[pos_++];
    }
    uint16_t u16() {
        if (failed_ || remaining() < 2) return fail(), 0;
        uint16_t v = uint16_t(data_[pos_] | data_[pos_ + 1] << 8);
        pos_ += 2;
        return v;
    }
    uint32_t u32() {
        if (failed_ || remaining() < 4) return fail(), 0;
        uint32_t v = uint32_t(data_[pos_]) | uint32_t(data_[pos_ + 1]) << 8 |
                     uint32_t(data_[pos_ + 2]) << 16 | uint32_t(data_[pos_ + 3]) << 24;
        pos_ += 4;
        return v;
    }
    uint64_t u64() {
        uint64_t lo = u32();
        uint64_t hi = u32();
        return failed_ ? 0 : lo | hi << 32;
    }
    int16_t i16() { return int16_t(u16()); }
    int32_t i32() { return int32_t(u32()); }
    bool bytes(void* out, size_t n) {
        if (failed_ || n > remaining()) return fail();
        std::memcpy(out, data_ + pos_, n);
        pos_ += n;
        return true;
    }

private:
    bool fail() {
        failed_ = true;
        return false;
    }
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
    size_t pos_ = 0;
    bool failed_ = false;
};

inline void PutU8(std::vector<uint8_t>& out, uint8_t v) { out.push_back(v); }
inline void PutU16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(uint8_t(v));
    out.push_back(uint8_t(v >> 8));
}
inline void PutU32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(uint8_t(v >> (8 * i)));
}
inline void PutU64(std::vector<uint8_t>& out, uint64_t v) {
    PutU32(out, uint32_t(v));
    PutU32(out, uint32_t(v >> 32));
}
inline void PutI16(std::vector<uint8_t>& out, int16_t v) { PutU16(out, uint16_t(v)); }
inline void PutI32(std::vector<uint8_t>& out, int32_t v) { PutU32(out, uint32_t(v)); }
inline void PutBytes(std::vector<uint8_t>& out, const void* p, size_t n) {
    const uint8_t* b = static_cast<const uint8_t*>(p);
    out.insert(out.end(), b, b + n);
}
// Overwrites 4 bytes at `at`, which must already exist: used to patch sizes after the fact.
inline void PatchU32(std::vector<uint8_t>& out, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) out[at + i] = uint8_t(v >> (8 * i));
}

}  // namespace kestrel
