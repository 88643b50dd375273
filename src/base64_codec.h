// The Base64 codec behind base64Encode and base64Decode: its tables, checked
// as they are compiled, and the two functions.
#pragma once

#include <cstdint>

namespace varnel::base64 {

inline constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
static_assert(sizeof(kAlphabet) == 64 + 1, "alphabet must have 64 characters");

inline constexpr unsigned char kInvalid = 0xFF;
inline constexpr int kRevSize = 123;  // 'z' is the highest code in the alphabet
inline constexpr unsigned char kCarriageReturn = 0x0D;
inline constexpr unsigned char kLineFeed = 0x0A;

struct RevTable {
    unsigned char value[kRevSize];
};

// Built from the character ranges rather than by inverting kAlphabet, so the
// check below compares two independent descriptions of the same mapping.
constexpr RevTable makeRevTable() {
    RevTable t{};
    for (int c = 0; c < kRevSize; ++c) t.value[c] = kInvalid;
    for (int c = 'A'; c <= 'Z'; ++c) t.value[c] = static_cast<unsigned char>(c - 'A');
    for (int c = 'a'; c <= 'z'; ++c) t.value[c] = static_cast<unsigned char>(c - 'a' + 26);
    for (int c = '0'; c <= '9'; ++c) t.value[c] = static_cast<unsigned char>(c - '0' + 52);
    t.value[static_cast<int>('+')] = 62;
    t.value[static_cast<int>('/')] = 63;
    return t;
}

inline constexpr RevTable kRev = makeRevTable();

constexpr bool isExactInverse() {
    int valid = 0;
    for (int c = 0; c < kRevSize; ++c) {
        if (kRev.value[c] != kInvalid) ++valid;
    }
    if (valid != 64) return false;
    for (int i = 0; i < 64; ++i) {
        const int c = static_cast<unsigned char>(kAlphabet[i]);
        if (c >= kRevSize || kRev.value[c] != i) return false;
    }
    return true;
}
static_assert(isExactInverse(), "reverse table must invert the alphabet exactly");

// Same arguments and results as base64Encode and base64Decode.
int encode(const unsigned char* input, int inputLength, char* output, unsigned int* outputLength) noexcept;
int decode(const char* input, int inputLength, unsigned char* output, unsigned int* outputLength) noexcept;

}  // namespace varnel::base64
