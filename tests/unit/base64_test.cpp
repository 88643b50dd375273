#include "base64.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <iostream>
#include <memory>
#include <random>
#include <string>
#include <vector>

using namespace std::string_literals;

namespace {

constexpr char kSentinel = '#';

struct EncodeCase {
    std::string input;
    unsigned int capacity;
    std::string expected;  // full text on success, what was written on failure
    int result;
};

struct DecodeCase {
    std::string input;
    unsigned int capacity;
    std::string expected;  // bytes written, also on failure
    int result;
};

// Deliberately unlike the library: spell the input out as a bit string and cut
// it into 6-bit slices.
std::string referenceEncode(const std::vector<unsigned char>& data) {
    std::string bits;
    for (unsigned char byte : data) {
        for (int b = 7; b >= 0; --b) bits += ((byte >> b) & 1) ? '1' : '0';
    }
    while (bits.size() % 6 != 0) bits += '0';
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    for (size_t i = 0; i < bits.size(); i += 6) text += alphabet[std::stoi(bits.substr(i, 6), nullptr, 2)];
    while (text.size() % 4 != 0) text += '=';
    return text;
}

size_t encodedSize(size_t n) { return 4 * ((n + 2) / 3); }

}  // namespace

TEST(Base64Tables, ReverseTableInvertsAlphabet) {
    EXPECT_EQ(0,
              std::memcmp(bLookup, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/", 64));
    EXPECT_EQ(123u, sizeof(bRevLookup));
    int valid = 0;
    for (int c = 0; c < 123; ++c) {
        if (bRevLookup[c] == 0xFF) continue;
        ++valid;
        ASSERT_LT(bRevLookup[c], 64) << c;
        EXPECT_EQ(c, bLookup[bRevLookup[c]]) << c;
    }
    EXPECT_EQ(64, valid);
    EXPECT_EQ(0x0D, CR);
    EXPECT_EQ(0x0A, LF);
}

TEST(Base64Encode, TableOfCases) {
    const EncodeCase cases[] = {
        {"", 1, "", 0},
        {"", 0, "", 1},
        {"a", 5, "YQ==", 0},
        {"ab", 5, "YWI=", 0},
        {"abc", 5, "YWJj", 0},
        {"abcd", 9, "YWJjZA==", 0},
        {"foobar", 100, "Zm9vYmFy", 0},
        {"\0"s, 5, "AA==", 0},
        {"\xFF\xFE\x00"s, 5, "//4A", 0},
        {"\xFB\xEF\xBE"s, 5, "++++", 0},
        // Exactly the text length: every character lands, the NUL does not.
        {"abc", 4, "YWJj", 1},
        {"a", 4, "YQ==", 1},
        {"abcd", 8, "YWJjZA==", 1},
        // Stops mid-group, before the padding.
        {"abcd", 6, "YWJjZA", 1},
        {"abc", 2, "YW", 1},
        {"abc", 0, "", 1},
    };
    for (const EncodeCase& c : cases) {
        SCOPED_TRACE("input '" + c.input + "' capacity " + std::to_string(c.capacity));
        std::vector<char> out(c.capacity + 1, kSentinel);
        unsigned int length = c.capacity;
        const int rc = base64Encode(reinterpret_cast<const unsigned char*>(c.input.data()),
                                    static_cast<int>(c.input.size()), out.data(), &length);
        ASSERT_EQ(c.result, rc);
        EXPECT_EQ(c.expected, std::string(out.data(), c.expected.size()));
        if (rc == 0) {
            EXPECT_EQ(c.expected.size(), length);
            EXPECT_EQ('\0', out[c.expected.size()]);
        } else {
            EXPECT_EQ(c.capacity, length);
            EXPECT_EQ(kSentinel, out[c.expected.size()]);  // never terminated
        }
        EXPECT_EQ(kSentinel, out[c.capacity]);
    }
}

TEST(Base64Encode, NegativeLengthIsEmpty) {
    char out[4] = {kSentinel, kSentinel, kSentinel, kSentinel};
    unsigned int length = sizeof(out);
    EXPECT_EQ(0, base64Encode(reinterpret_cast<const unsigned char*>("abc"), -3, out, &length));
    EXPECT_EQ(0u, length);
    EXPECT_EQ('\0', out[0]);
}

TEST(Base64Decode, TableOfCases) {
    const DecodeCase cases[] = {
        {"YWJj", 3, "abc", 0},
        {"YWI=", 3, "ab", 0},
        {"YQ==", 3, "a", 0},
        {"Zm9vYmFy", 6, "foobar", 0},
        {"//4A", 3, "\xFF\xFE\x00"s, 0},
        {"", 0, "", 0},
        // Line breaks are not counted, even inside a group.
        {"YW\r\nJj", 3, "abc", 0},
        {"\r\nY\rW\nJ\r\nj\r\n", 3, "abc", 0},
        // Incomplete trailing groups vanish.
        {"YWJjYQ", 10, "abc", 0},
        {"YWJ", 10, "", 0},
        {"YQ=", 10, "", 0},
        // '=' anywhere in a group still counts as a zero sextet.
        {"=AAA", 10, "\0\0"s, 0},
        {"YW=j", 10, "\x61\x60"s, 0},
        // An early '=' shortens every later group too.
        {"YQ==YWJj", 10, "aa", 0},
        {"YWJjYQ==YWJjYWJj", 10, "abcaaa", 0},
        {"YWI=YWJj", 10, "abab", 0},
        {"YQ=YWJj", 10, "a\0"s, 0},
        {"Y===YWJj", 10, "", 0},
        {"========YWJj", 10, "", 0},
        // Characters outside the alphabet; 'z' (122) is the last table entry.
        {"YWJ ", 10, "", 2},
        {"YWJ\t", 10, "", 2},
        {"YWJ-", 10, "", 2},
        {"YWJ_", 10, "", 2},
        {"YWJ{", 10, "", 2},
        {"YWJ\x80", 10, "", 2},
        {"YWJ\xFF", 10, "", 2},
        {"YWJ\0"s, 10, "", 2},
        {"YWJjYWJj.", 10, "abcabc", 2},
        {"zzzz", 3, "\xCF\x3C\xF3"s, 0},
        // Output too small: stops before the first byte that does not fit.
        {"YWJj", 2, "ab", 1},
        {"YWJj", 0, "", 1},
        {"YWJjYQ==", 3, "abc", 1},
        // An invalid character after the buffer filled is never reached.
        {"YWJj!", 2, "ab", 1},
    };
    for (const DecodeCase& c : cases) {
        SCOPED_TRACE("input '" + c.input + "' capacity " + std::to_string(c.capacity));
        std::vector<unsigned char> out(c.capacity + 1, kSentinel);
        unsigned int length = c.capacity;
        const int rc = base64Decode(c.input.data(), static_cast<int>(c.input.size()), out.data(), &length);
        ASSERT_EQ(c.result, rc);
        EXPECT_EQ(c.expected, std::string(out.begin(), out.begin() + c.expected.size()));
        EXPECT_EQ(rc == 0 ? c.expected.size() : c.capacity, length);
        EXPECT_EQ(kSentinel, out[c.expected.size()]);  // never terminated
    }
}

TEST(Base64Decode, NonPositiveLengthWritesNothing) {
    unsigned char out[3] = {0, 0, 0};
    for (int n : {0, -1}) {
        unsigned int length = sizeof(out);
        EXPECT_EQ(0, base64Decode(nullptr, n, out, &length));
        EXPECT_EQ(0u, length);
    }
}

// Inputs end exactly where their heap block ends and outputs have exactly the
// stated capacity, so any stray access shows up under AddressSanitizer.
TEST(Base64Bounds, ExactHeapBlocks) {
    for (size_t n = 0; n <= 10; ++n) {
        std::unique_ptr<unsigned char[]> data(new unsigned char[n]);
        for (size_t i = 0; i < n; ++i) data[i] = static_cast<unsigned char>(0xA5 ^ i);
        const size_t textSize = encodedSize(n);
        for (size_t capacity = textSize; capacity <= textSize + 1; ++capacity) {
            std::unique_ptr<char[]> text(new char[capacity]);
            unsigned int length = static_cast<unsigned int>(capacity);
            ASSERT_EQ(capacity == textSize ? 1 : 0,
                      base64Encode(data.get(), static_cast<int>(n), text.get(), &length));
        }

        std::unique_ptr<char[]> text(new char[textSize]);
        unsigned int length = static_cast<unsigned int>(textSize);
        std::vector<char> full(textSize + 1);
        unsigned int fullLength = static_cast<unsigned int>(full.size());
        ASSERT_EQ(0, base64Encode(data.get(), static_cast<int>(n), full.data(), &fullLength));
        std::memcpy(text.get(), full.data(), textSize);
        // Also cut the text short so decoding ends mid-group at the block edge.
        for (size_t cut = 0; cut <= 2 && cut <= textSize; ++cut) {
            const size_t inSize = textSize - cut;
            std::unique_ptr<char[]> in(new char[inSize]);
            std::memcpy(in.get(), text.get(), inSize);
            const size_t want = cut == 0 ? n : (inSize / 4) * 3;
            for (size_t capacity = want > 0 ? want - 1 : 0; capacity <= want; ++capacity) {
                std::unique_ptr<unsigned char[]> out(new unsigned char[capacity]);
                length = static_cast<unsigned int>(capacity);
                const int rc = base64Decode(in.get(), static_cast<int>(inSize), out.get(), &length);
                ASSERT_EQ(capacity < want ? 1 : 0, rc) << n << " " << cut;
                if (rc == 0) {
                    ASSERT_EQ(want, length);
                    EXPECT_EQ(0, std::memcmp(out.get(), data.get(), want));
                }
            }
        }
    }
}

TEST(Base64RoundTrip, MatchesReferenceForRandomData) {
    std::mt19937 rng(20240611);
    std::uniform_int_distribution<int> byte(0, 255);
    for (size_t n = 0; n <= 1000; ++n) {
        std::vector<unsigned char> data(n);
        for (unsigned char& b : data) b = static_cast<unsigned char>(byte(rng));
        const std::string expected = referenceEncode(data);

        std::vector<char> text(expected.size() + 1);
        unsigned int length = static_cast<unsigned int>(text.size());
        ASSERT_EQ(0, base64Encode(data.data(), static_cast<int>(n), text.data(), &length)) << n;
        ASSERT_EQ(expected, std::string(text.data(), length)) << n;

        // Wrapped at 76 columns with CRLF, as PEM-style producers do.
        std::string wrapped;
        for (size_t i = 0; i < expected.size(); i += 76) wrapped += expected.substr(i, 76) + "\r\n";
        std::vector<unsigned char> back(n);
        length = static_cast<unsigned int>(n);
        ASSERT_EQ(0, base64Decode(wrapped.data(), static_cast<int>(wrapped.size()), back.data(), &length))
            << n;
        ASSERT_EQ(n, length);
        ASSERT_EQ(data, back) << n;
    }
}
