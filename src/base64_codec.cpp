#include "base64_codec.h"

namespace varnel::base64 {
namespace {

// Bulk tables. kPairs gives the two characters of any 12 bits, so a
// group of three bytes takes two lookups. kDigitBits gives, for any byte at
// each of the four places of a group, its bits already shifted into place,
// and a high bit for any byte outside the alphabet (CR, LF and '=' among
// them), so one OR tells whether the group needs the careful path.
struct PairTable {
    char pair[4096][2];
};

constexpr PairTable makePairTable() {
    PairTable t{};
    for (int i = 0; i < 4096; ++i) {
        t.pair[i][0] = kAlphabet[i >> 6];
        t.pair[i][1] = kAlphabet[i & 63];
    }
    return t;
}

constexpr PairTable kPairs = makePairTable();

constexpr std::uint32_t kNotADigit = 0x80000000u;

struct DigitBitsTable {
    std::uint32_t bits[4][256];
};

constexpr DigitBitsTable makeDigitBitsTable() {
    DigitBitsTable t{};
    for (int place = 0; place < 4; ++place) {
        for (int c = 0; c < 256; ++c) {
            const unsigned value = c < kRevSize ? kRev.value[c] : kInvalid;
            t.bits[place][c] = value == kInvalid ? kNotADigit : std::uint32_t{value} << (18 - 6 * place);
        }
    }
    return t;
}

constexpr DigitBitsTable kDigitBits = makeDigitBitsTable();

// Writes `groups` whole groups of three bytes as four characters each.
void encodeGroups(const unsigned char* in, unsigned int groups, char* out) {
    unsigned int done = 0;
    for (const unsigned char* i = in; done < groups; ++done, i += 3) {
        const std::uint32_t group = std::uint32_t{i[0]} << 16 | std::uint32_t{i[1]} << 8 | i[2];
        const char* high = kPairs.pair[group >> 12];
        const char* low = kPairs.pair[group & 0xFFFu];
        char* o = out + 4 * done;
        o[0] = high[0];
        o[1] = high[1];
        o[2] = low[0];
        o[3] = low[1];
    }
}

// Decodes the leading groups of four alphabet characters whose three bytes
// fit the room; stops at the first group that holds anything else (CR, LF,
// '=', a refused character) or does not fit, and returns the groups done.
unsigned int decodeGroups(const char* in, unsigned int length, unsigned char* out, unsigned int room) {
    unsigned int done = 0;
    for (; length - 4 * done >= 4 && room - 3 * done >= 3; ++done) {
        const auto* c = reinterpret_cast<const unsigned char*>(in + 4 * done);
        const std::uint32_t group = kDigitBits.bits[0][c[0]] | kDigitBits.bits[1][c[1]] |
                                    kDigitBits.bits[2][c[2]] | kDigitBits.bits[3][c[3]];
        if (group & kNotADigit) break;
        unsigned char* o = out + 3 * done;
        o[0] = static_cast<unsigned char>(group >> 16);
        o[1] = static_cast<unsigned char>(group >> 8);
        o[2] = static_cast<unsigned char>(group);
    }
    return done;
}

}  // namespace

int encode(const unsigned char* input, int inputLength, char* output, unsigned int* outputLength) noexcept {
    const unsigned int capacity = *outputLength;
    const unsigned int length = inputLength > 0 ? static_cast<unsigned int>(inputLength) : 0u;

    // Whole groups that fit the buffer go in bulk; the careful loop below
    // writes the last group, its padding and the NUL, or stops where the
    // buffer runs out.
    const unsigned int groups = length / 3 < capacity / 4 ? length / 3 : capacity / 4;
    encodeGroups(input, groups, output);
    unsigned int in = 3 * groups;
    unsigned int out = 4 * groups;
    unsigned int padCount = 0;
    std::uint32_t acc = 0;

    while (in < length) {
        for (int i = 0; i < 3; ++i) {
            acc <<= 8;
            if (in < length) {
                acc += input[in++];
            } else {
                ++padCount;
            }
        }
        for (unsigned int k = 1; k <= 4; ++k) {
            // Compared as out >= capacity so a capacity of 0 cannot wrap.
            if (out >= capacity) return 1;
            const unsigned int shift = 24 - 6 * k;
            output[out++] = (5 - k <= padCount) ? '=' : kAlphabet[(acc >> shift) & 63u];
        }
    }

    if (out >= capacity) return 1;  // no room for the NUL
    output[out] = '\0';
    *outputLength = out;
    return 0;
}

int decode(const char* input, int inputLength, unsigned char* output, unsigned int* outputLength) noexcept {
    const unsigned int capacity = *outputLength;
    const unsigned int length = inputLength > 0 ? static_cast<unsigned int>(inputLength) : 0u;
    unsigned int in = 0;
    unsigned int out = 0;
    // Deliberately kept across groups: callers depend on an early '=' also
    // shortening every later group. Saturates at 3, which already suppresses
    // every byte, so a long run of '=' cannot overflow it.
    unsigned int padCount = 0;
    std::uint32_t acc = 0;

    while (in < length) {
        // Each pass starts on a group boundary. With no padding seen so far,
        // whole groups of alphabet characters that fit decode in bulk exactly
        // as the careful loop would; the careful loop then takes one group.
        if (padCount == 0) {
            const unsigned int groups = decodeGroups(input + in, length - in, output + out, capacity - out);
            in += 4 * groups;
            out += 3 * groups;
            if (in >= length) break;
        }
        int counted = 0;
        while (counted < 4) {
            if (in >= length) {
                // Trailing incomplete group: dropped without error.
                *outputLength = out;
                return 0;
            }
            const unsigned char c = static_cast<unsigned char>(input[in++]);
            if (c == kCarriageReturn || c == kLineFeed) continue;
            if (c == '=') {
                if (padCount < 3) ++padCount;
                acc <<= 6;
            } else {
                if (c >= kRevSize) return 2;
                const unsigned char value = kRev.value[c];
                if (value == kInvalid) return 2;
                acc = (acc << 6) | value;
            }
            ++counted;
        }
        // No '=' so far: 3 bytes; one: 2; two: 1; three: none.
        for (int shift = 16; shift >= 8 * static_cast<int>(padCount); shift -= 8) {
            if (out >= capacity) return 1;
            output[out++] = static_cast<unsigned char>((acc >> shift) & 0xFFu);
        }
    }

    *outputLength = out;
    return 0;
}

}  // namespace varnel::base64
