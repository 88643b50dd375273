#include "base64_codec.h"

#include <atomic>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#define VARNEL_BASE64_X86 1
#include <cpuid.h>
#include <immintrin.h>
// Compiled for these instruction sets whatever the build's baseline, and run
// only where fastestPath() found them.
#define VARNEL_SSSE3 __attribute__((target("ssse3")))
#define VARNEL_AVX2 __attribute__((target("avx2")))
#else
#define VARNEL_BASE64_X86 0
#endif

namespace varnel::base64 {
namespace {

// Scalar bulk tables. kPairs gives the two characters of any 12 bits, so a
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

#if VARNEL_BASE64_X86

// Encoding, 12 bytes to 16 characters in each 128-bit lane. The shuffle puts
// the bytes b0 b1 b2 of a group into a 32-bit lane as b1 b0 b2 b1, so that the
// 16-bit word w0 = b0:b1 holds the first two digits at bits 15..10 and 9..4
// and w1 = b1:b2 the last two at bits 11..6 and 5..0; a multiply-high shifts
// the first and third right into byte 0 and 2, a multiply-low the second and
// fourth left into byte 1 and 3.
#define VARNEL_SPREAD_GROUPS 1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10
// Added to a digit to make its character, picked by the digit's range:
// index 0 for 26..51, 1..12 for 52..63 (digit - 51), 13 for 0..25.
#define VARNEL_DIGIT_OFFSETS 71, -4, -4, -4, -4, -4, -4, -4, -4, -4, -4, -19, -16, 65, 0, 0

// Decoding, 16 characters to 12 bytes in each lane. A character is refused
// when the class of its high nibble meets a class its low nibble is not
// valid in: class 1 is "+/" (high 2), 2 the digits (high 3), 4 "A-O" and
// "a-o" (high 4 and 6), 8 "P-Z" and "p-z" (high 5 and 7), 16 every other high
// nibble, which no low nibble is valid in.
#define VARNEL_HIGH_CLASSES 16, 16, 1, 2, 4, 8, 4, 8, 16, 16, 16, 16, 16, 16, 16, 16
#define VARNEL_LOW_INVALID \
    0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13, 0x1A, 0x1B, 0x1B, 0x1B, 0x1A
// Added to a character to make its digit, picked by its high nibble, with
// '/' moved to index 1 so it is told from '+'.
#define VARNEL_CHARACTER_OFFSETS 0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0
// The three bytes of each 32-bit lane, most significant first.
#define VARNEL_GATHER_BYTES 2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1

VARNEL_SSSE3 inline __m128i digitsToText(__m128i digits) {
    __m128i index = _mm_subs_epu8(digits, _mm_set1_epi8(51));
    const __m128i belowLowerCase = _mm_cmpgt_epi8(_mm_set1_epi8(26), digits);
    index = _mm_or_si128(index, _mm_and_si128(belowLowerCase, _mm_set1_epi8(13)));
    return _mm_add_epi8(digits, _mm_shuffle_epi8(_mm_setr_epi8(VARNEL_DIGIT_OFFSETS), index));
}

VARNEL_SSSE3 inline void encode12(const unsigned char* in, char* out) {
    const __m128i spread = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in)),
                                            _mm_setr_epi8(VARNEL_SPREAD_GROUPS));
    const __m128i high =
        _mm_mulhi_epu16(_mm_and_si128(spread, _mm_set1_epi32(0x0FC0FC00)), _mm_set1_epi32(0x04000040));
    const __m128i low =
        _mm_mullo_epi16(_mm_and_si128(spread, _mm_set1_epi32(0x003F03F0)), _mm_set1_epi32(0x01000010));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), digitsToText(_mm_or_si128(high, low)));
}

VARNEL_AVX2 inline void encode24(const unsigned char* in, char* out) {
    const __m256i bytes =
        _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in))),
                                _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 12)), 1);
    const __m256i spread =
        _mm256_shuffle_epi8(bytes, _mm256_broadcastsi128_si256(_mm_setr_epi8(VARNEL_SPREAD_GROUPS)));
    const __m256i high = _mm256_mulhi_epu16(_mm256_and_si256(spread, _mm256_set1_epi32(0x0FC0FC00)),
                                            _mm256_set1_epi32(0x04000040));
    const __m256i low = _mm256_mullo_epi16(_mm256_and_si256(spread, _mm256_set1_epi32(0x003F03F0)),
                                           _mm256_set1_epi32(0x01000010));
    const __m256i digits = _mm256_or_si256(high, low);
    __m256i index = _mm256_subs_epu8(digits, _mm256_set1_epi8(51));
    const __m256i belowLowerCase = _mm256_cmpgt_epi8(_mm256_set1_epi8(26), digits);
    index = _mm256_or_si256(index, _mm256_and_si256(belowLowerCase, _mm256_set1_epi8(13)));
    const __m256i offsets = _mm256_broadcastsi128_si256(_mm_setr_epi8(VARNEL_DIGIT_OFFSETS));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out),
                        _mm256_add_epi8(digits, _mm256_shuffle_epi8(offsets, index)));
}

// Digits of 16 characters, or false when any is outside the alphabet.
VARNEL_SSSE3 inline bool textToDigits(__m128i text, __m128i* digits) {
    const __m128i nibble = _mm_set1_epi8(0x0F);
    const __m128i highNibbles = _mm_and_si128(_mm_srli_epi32(text, 4), nibble);
    const __m128i classes =
        _mm_and_si128(_mm_shuffle_epi8(_mm_setr_epi8(VARNEL_HIGH_CLASSES), highNibbles),
                      _mm_shuffle_epi8(_mm_setr_epi8(VARNEL_LOW_INVALID), _mm_and_si128(text, nibble)));
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(classes, _mm_setzero_si128())) != 0xFFFF) return false;
    const __m128i index = _mm_add_epi8(highNibbles, _mm_cmpeq_epi8(text, _mm_set1_epi8('/')));
    *digits = _mm_add_epi8(text, _mm_shuffle_epi8(_mm_setr_epi8(VARNEL_CHARACTER_OFFSETS), index));
    return true;
}

// Four digits of a 32-bit lane into its three bytes, packed into bytes 0..11.
VARNEL_SSSE3 inline __m128i digitsToBytes(__m128i digits) {
    const __m128i pairs = _mm_maddubs_epi16(digits, _mm_set1_epi32(0x01400140));
    const __m128i groups = _mm_madd_epi16(pairs, _mm_set1_epi32(0x00011000));
    return _mm_shuffle_epi8(groups, _mm_setr_epi8(VARNEL_GATHER_BYTES));
}

// Exactly 12 bytes are stored: the careful path's partial output must not
// find bytes beyond what it wrote.
VARNEL_SSSE3 inline bool decode16(const char* in, unsigned char* out) {
    __m128i digits;
    if (!textToDigits(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in)), &digits)) return false;
    const __m128i bytes = digitsToBytes(digits);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), bytes);
    const std::uint32_t last = static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(bytes, 8)));
    std::memcpy(out + 8, &last, sizeof last);
    return true;
}

// Exactly 24 bytes are stored.
VARNEL_AVX2 inline bool decode32(const char* in, unsigned char* out) {
    const __m256i text = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in));
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    const __m256i highNibbles = _mm256_and_si256(_mm256_srli_epi32(text, 4), nibble);
    const __m256i classes = _mm256_and_si256(
        _mm256_shuffle_epi8(_mm256_broadcastsi128_si256(_mm_setr_epi8(VARNEL_HIGH_CLASSES)), highNibbles),
        _mm256_shuffle_epi8(_mm256_broadcastsi128_si256(_mm_setr_epi8(VARNEL_LOW_INVALID)),
                            _mm256_and_si256(text, nibble)));
    if (_mm256_movemask_epi8(_mm256_cmpeq_epi8(classes, _mm256_setzero_si256())) != -1) return false;
    const __m256i index = _mm256_add_epi8(highNibbles, _mm256_cmpeq_epi8(text, _mm256_set1_epi8('/')));
    const __m256i digits = _mm256_add_epi8(
        text,
        _mm256_shuffle_epi8(_mm256_broadcastsi128_si256(_mm_setr_epi8(VARNEL_CHARACTER_OFFSETS)), index));
    const __m256i pairs = _mm256_maddubs_epi16(digits, _mm256_set1_epi32(0x01400140));
    const __m256i groups = _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x00011000));
    const __m256i lanes =
        _mm256_shuffle_epi8(groups, _mm256_broadcastsi128_si256(_mm_setr_epi8(VARNEL_GATHER_BYTES)));
    // Each lane holds 12 bytes; close the gap between them.
    const __m256i bytes = _mm256_permutevar8x32_epi32(lanes, _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 7, 7));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(bytes));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 16), _mm256_extracti128_si256(bytes, 1));
    return true;
}

#undef VARNEL_SPREAD_GROUPS
#undef VARNEL_DIGIT_OFFSETS
#undef VARNEL_HIGH_CLASSES
#undef VARNEL_LOW_INVALID
#undef VARNEL_CHARACTER_OFFSETS
#undef VARNEL_GATHER_BYTES

// The kernels above are inlined into these loops, one per instruction set.
// The encoders read 16 bytes for 12 and so stop 4 bytes short of the input's
// end; `available` is the input left from `in`, `groups` the groups to write.
VARNEL_AVX2 unsigned int encodeAvx2(const unsigned char* in, unsigned int groups, unsigned int available,
                                    char* out) {
    unsigned int done = 0;
    for (; groups - done >= 8 && available - 3 * done >= 28; done += 8)
        encode24(in + 3 * done, out + 4 * done);
    return done;
}

VARNEL_SSSE3 unsigned int encodeSsse3(const unsigned char* in, unsigned int groups, unsigned int available,
                                      char* out) {
    unsigned int done = 0;
    for (; groups - done >= 4 && available - 3 * done >= 16; done += 4)
        encode12(in + 3 * done, out + 4 * done);
    return done;
}

VARNEL_AVX2 unsigned int decodeAvx2(const char* in, unsigned int length, unsigned char* out,
                                    unsigned int room) {
    unsigned int done = 0;
    while (length - 4 * done >= 32 && room - 3 * done >= 24 && decode32(in + 4 * done, out + 3 * done))
        done += 8;
    return done;
}

VARNEL_SSSE3 unsigned int decodeSsse3(const char* in, unsigned int length, unsigned char* out,
                                      unsigned int room) {
    unsigned int done = 0;
    while (length - 4 * done >= 16 && room - 3 * done >= 12 && decode16(in + 4 * done, out + 3 * done))
        done += 4;
    return done;
}

std::uint64_t enabledRegisterState() {
    std::uint32_t low;
    std::uint32_t high;
    __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return std::uint64_t{high} << 32 | low;
}

Path detectPath() noexcept {
    unsigned int eax, ebx, ecx, edx;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx) || !(ecx & bit_SSSE3)) return Path::kScalar;
    // AVX2 also needs the operating system to save the 256-bit registers
    // (XMM and YMM state enabled in XCR0).
    const bool wideRegisters = (ecx & bit_OSXSAVE) && (ecx & bit_AVX) && (enabledRegisterState() & 6) == 6;
    if (wideRegisters && __get_cpuid_max(0, nullptr) >= 7) {
        __cpuid_count(7, 0, eax, ebx, ecx, edx);
        if (ebx & bit_AVX2) return Path::kAvx2;
    }
    return Path::kSsse3;
}

#else

Path detectPath() noexcept { return Path::kScalar; }

#endif  // VARNEL_BASE64_X86

// Writes `groups` whole groups of three bytes as four characters each.
void encodeGroups(Path path, const unsigned char* in, unsigned int groups, unsigned int available,
                  char* out) {
    unsigned int done = 0;
#if VARNEL_BASE64_X86
    if (path == Path::kAvx2) done = encodeAvx2(in, groups, available, out);
    if (path >= Path::kSsse3)
        done += encodeSsse3(in + 3 * done, groups - done, available - 3 * done, out + 4 * done);
#else
    (void)path;
    (void)available;
#endif
    for (const unsigned char* i = in + 3 * done; done < groups; ++done, i += 3) {
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
unsigned int decodeGroups(Path path, const char* in, unsigned int length, unsigned char* out,
                          unsigned int room) {
    unsigned int done = 0;
#if VARNEL_BASE64_X86
    if (path == Path::kAvx2) done = decodeAvx2(in, length, out, room);
    if (path >= Path::kSsse3)
        done += decodeSsse3(in + 4 * done, length - 4 * done, out + 3 * done, room - 3 * done);
#else
    (void)path;
#endif
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

// Relaxed: every thread that races to fill it stores the same value.
std::atomic<int> chosenPath{-1};

}  // namespace

Path fastestPath() noexcept {
    int path = chosenPath.load(std::memory_order_relaxed);
    if (path < 0) {
        path = static_cast<int>(detectPath());
        chosenPath.store(path, std::memory_order_relaxed);
    }
    return static_cast<Path>(path);
}

int encode(Path path, const unsigned char* input, int inputLength, char* output,
           unsigned int* outputLength) noexcept {
    const unsigned int capacity = *outputLength;
    const unsigned int length = inputLength > 0 ? static_cast<unsigned int>(inputLength) : 0u;

    // Whole groups that fit the buffer go in bulk; the careful loop below
    // writes the last group, its padding and the NUL, or stops where the
    // buffer runs out.
    const unsigned int groups = length / 3 < capacity / 4 ? length / 3 : capacity / 4;
    encodeGroups(path, input, groups, length, output);
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

int decode(Path path, const char* input, int inputLength, unsigned char* output,
           unsigned int* outputLength) noexcept {
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
            const unsigned int groups =
                decodeGroups(path, input + in, length - in, output + out, capacity - out);
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
