#pragma once
// Little-endian readers and writers for message and file bytes. The reader never reads
// past its buffer: a read that would overrun fails and leaves the reader failed, so a
// decoder checks ok() once at the end instead of after every field.
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

namespace qd {

class ByteReader {
public:
    explicit ByteReader(std::span<const uint8_t> bytes) : bytes_(bytes) {}

    bool ok() const { return ok_; }
    std::size_t offset() const { return pos_; }
    std::size_t remaining() const { return ok_ ? bytes_.size() - pos_ : 0; }

    uint8_t u8() {
        if (!need(1)) return 0;
        return bytes_[pos_++];
    }
    uint16_t u16() {
        if (!need(2)) return 0;
        const uint16_t v = uint16_t(bytes_[pos_] | bytes_[pos_ + 1] << 8);
        pos_ += 2;
        return v;
    }
    uint32_t u32() {
        if (!need(4)) return 0;
        const uint32_t v = uint32_t(bytes_[pos_]) | uint32_t(bytes_[pos_ + 1]) << 8 |
                           uint32_t(bytes_[pos_ + 2]) << 16 | uint32_t(bytes_[pos_ + 3]) << 24;
        pos_ += 4;
        return v;
    }
    int32_t i32() { return static_cast<int32_t>(u32()); }
    double f64() {
        if (!need(8)) return 0;
        uint64_t v = 0;
        for (int i = 7; i >= 0; --i) v = v << 8 | bytes_[pos_ + std::size_t(i)];
        pos_ += 8;
        double d;
        std::memcpy(&d, &v, 8);
        return d;
    }
    // Copies n bytes; fails (and copies nothing) when fewer remain.
    bool bytes(uint8_t* out, std::size_t n) {
        if (!need(n)) return false;
        if (n) std::memcpy(out, bytes_.data() + pos_, n);
        pos_ += n;
        return true;
    }
    std::span<const uint8_t> take(std::size_t n) {
        if (!need(n)) return {};
        auto s = bytes_.subspan(pos_, n);
        pos_ += n;
        return s;
    }
    bool skip(std::size_t n) {
        if (!need(n)) return false;
        pos_ += n;
        return true;
    }

private:
    bool need(std::size_t n) {
        if (!ok_ || n > bytes_.size() - pos_) {
            ok_ = false;
            return false;
        }
        return true;
    }

    std::span<const uint8_t> bytes_;
    std::size_t pos_ = 0;
    bool ok_ = true;
};

class ByteWriter {
public:
    ByteWriter& u8(uint8_t v) {
        out_.push_back(v);
        return *this;
    }
    ByteWriter& u16(uint16_t v) {
        out_.push_back(uint8_t(v));
        out_.push_back(uint8_t(v >> 8));
        return *this;
    }
    ByteWriter& u32(uint32_t v) {
        for (int k = 0; k < 4; ++k) out_.push_back(uint8_t(v >> (8 * k)));
        return *this;
    }
    ByteWriter& i32(int32_t v) { return u32(static_cast<uint32_t>(v)); }
    ByteWriter& f64(double d) {
        uint64_t v;
        std::memcpy(&v, &d, 8);
        for (int k = 0; k < 8; ++k) out_.push_back(uint8_t(v >> (8 * k)));
        return *this;
    }
    ByteWriter& bytes(std::span<const uint8_t> b) {
        out_.insert(out_.end(), b.begin(), b.end());
        return *this;
    }
    ByteWriter& zeros(std::size_t n) {
        out_.insert(out_.end(), n, 0);
        return *this;
    }
    // The text's bytes and a terminating NUL.
    ByteWriter& cstr(const std::string& s) {
        out_.insert(out_.end(), s.begin(), s.end());
        out_.push_back(0);
        return *this;
    }
    std::size_t size() const { return out_.size(); }
    std::vector<uint8_t> take() { return std::move(out_); }

private:
    std::vector<uint8_t> out_;
};

// Writes into a fixed buffer at absolute offsets; used for layouts given by offset.
inline void PutU16(std::vector<uint8_t>& b, std::size_t at, uint16_t v) {
    b.at(at) = uint8_t(v);
    b.at(at + 1) = uint8_t(v >> 8);
}
inline void PutU32(std::vector<uint8_t>& b, std::size_t at, uint32_t v) {
    for (std::size_t k = 0; k < 4; ++k) b.at(at + k) = uint8_t(v >> (8 * k));
}
inline void PutF64(std::vector<uint8_t>& b, std::size_t at, double d) {
    uint64_t v;
    std::memcpy(&v, &d, 8);
    for (std::size_t k = 0; k < 8; ++k) b.at(at + k) = uint8_t(v >> (8 * k));
}
// Unchecked: only for offsets inside a length the caller has already checked.
inline uint32_t GetU32(std::span<const uint8_t> b, std::size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}

}  // namespace qd
