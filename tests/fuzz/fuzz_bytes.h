// Reads fuzzer input as a stream of choices; past the end every read is 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class FuzzBytes {
public:
    FuzzBytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    uint8_t byte() { return position_ < size_ ? data_[position_++] : 0; }
    bool flag() { return byte() & 1; }
    uint32_t u32() {
        uint32_t value = 0;
        for (int i = 0; i < 4; ++i) value = value << 8 | byte();
        return value;
    }
    uint64_t u64() { return uint64_t{u32()} << 32 | u32(); }
    // Mostly one of the values given, sometimes any 32-bit value.
    template <typename T>
    T pick(const std::vector<T>& values) {
        uint8_t choice = byte();
        return choice < values.size() ? values[choice] : static_cast<T>(u32());
    }
    std::vector<unsigned char> bytes(size_t most) {
        size_t length = (size_t{byte()} << 8 | byte()) % (most + 1);
        std::vector<unsigned char> out;
        for (size_t i = 0; i < length; ++i) out.push_back(byte());
        return out;
    }
    size_t remaining() const { return size_ - position_; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t position_ = 0;
};
