// Fuzzes the Base64 codec: every encoding decodes back to its input, and the
// decoder agrees with a separate model of its rules on any text.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base64.h"
#include "fuzz_bytes.h"

namespace {

// The decoding rules as a reader would state them: CR and LF are skipped;
// '=' counts as a zero digit and adds to a padding count that never resets;
// a complete group of four yields 3 minus that count bytes (none below 0);
// a trailing incomplete group is dropped; anything else not in the alphabet
// (or above 'z') is refused.
struct ModelResult {
    int status;
    std::vector<unsigned char> bytes;
};

int digitOf(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

ModelResult modelDecode(const std::vector<unsigned char>& text, size_t capacity) {
    ModelResult result{0, {}};
    unsigned padding = 0;
    std::vector<int> group;
    for (unsigned char c : text) {
        if (c == '\r' || c == '\n') continue;
        if (c == '=') {
            ++padding;
            group.push_back(0);
        } else if (digitOf(c) < 0) {
            result.status = 2;
            return result;
        } else {
            group.push_back(digitOf(c));
        }
        if (group.size() == 4) {
            uint32_t bits = uint32_t(group[0]) << 18 | uint32_t(group[1]) << 12 | uint32_t(group[2]) << 6 |
                            uint32_t(group[3]);
            int count = padding >= 3 ? 0 : 3 - static_cast<int>(padding);
            for (int k = 0; k < count; ++k) {
                if (result.bytes.size() >= capacity) {
                    result.status = 1;
                    return result;
                }
                result.bytes.push_back(static_cast<unsigned char>(bits >> (16 - 8 * k)));
            }
            group.clear();
        }
    }
    return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzBytes input(data, size);
    const size_t capacity = input.byte() * 40u + input.byte();
    std::vector<unsigned char> payload(data + (size > 2 ? 2 : size), data + size);

    // Round trip through buffers of exactly the size the codec needs.
    std::vector<char> text(4 * ((payload.size() + 2) / 3) + 1);
    unsigned int textLength = static_cast<unsigned int>(text.size());
    if (base64Encode(payload.data(), static_cast<int>(payload.size()), text.data(), &textLength) != 0)
        abort();
    if (textLength != text.size() - 1 || text[textLength] != '\0') abort();
    std::vector<unsigned char> back(payload.size() + 1);
    unsigned int backLength = static_cast<unsigned int>(payload.size());
    if (base64Decode(text.data(), static_cast<int>(textLength), back.data(), &backLength) != 0) abort();
    if (backLength != payload.size() ||
        (backLength && std::memcmp(back.data(), payload.data(), backLength) != 0))
        abort();

    // The payload as text, into a buffer of the fuzzed capacity.
    std::vector<unsigned char> out(capacity ? capacity : 1);
    unsigned int outLength = static_cast<unsigned int>(capacity);
    int status = base64Decode(reinterpret_cast<const char*>(payload.data()), static_cast<int>(payload.size()),
                              out.data(), &outLength);
    ModelResult model = modelDecode(payload, capacity);
    if (status != model.status) abort();
    if (status == 0 && (outLength != model.bytes.size() ||
                        (outLength && std::memcmp(out.data(), model.bytes.data(), outLength) != 0)))
        abort();
    if (status != 0 && outLength != capacity) abort();

    return 0;
}
