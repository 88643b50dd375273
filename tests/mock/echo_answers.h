// What the mock module answers in echo mode, as plain values worked out from
// the arguments alone: the module's echo mode answers from these, and the
// threads test checks what the library made of them.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "cryptoki.h"

namespace echo {

using Bytes = std::vector<unsigned char>;

const CK_SLOT_ID kSlots[] = {2, 7, 4294967295UL};
constexpr unsigned char kSignTag = 0x5A;
constexpr unsigned char kEncryptTag = 0xA5;
constexpr unsigned char kDecryptTag = 0x3C;
constexpr unsigned char kWrapTag = 0x77;
constexpr CK_FLAGS kTokenFlags =
    CKF_RNG | CKF_LOGIN_REQUIRED | CKF_USER_PIN_INITIALIZED | CKF_TOKEN_INITIALIZED;

inline CK_SESSION_HANDLE sessionOn(CK_SLOT_ID slot) { return slot + 1000; }
inline CK_ULONG handleBase(CK_SESSION_HANDLE session) { return session * 0x10000UL; }
inline CK_OBJECT_HANDLE publicKeyOf(CK_SESSION_HANDLE session) { return handleBase(session) + 1; }
inline CK_OBJECT_HANDLE privateKeyOf(CK_SESSION_HANDLE session) { return handleBase(session) + 2; }
inline CK_OBJECT_HANDLE secretKeyOf(CK_SESSION_HANDLE session) { return handleBase(session) + 3; }

// The token record's text fields, space-padded to their widths, and its
// figures: counters slot + 1 .. slot + 10 in the structure's order.
struct TokenFields {
    std::string label, manufacturer, model, serialNumber, utcTime;
    CK_ULONG counters[10];
    CK_VERSION hardwareVersion, firmwareVersion;
};

inline std::string padded(std::string text, size_t width) {
    text.resize(width, ' ');
    return text;
}

inline TokenFields tokenFields(CK_SLOT_ID slot) {
    char serial[32];
    char time[32];
    std::snprintf(serial, sizeof serial, "%016lx", static_cast<unsigned long>(slot));
    std::snprintf(time, sizeof time, "%016lu", static_cast<unsigned long>(slot % 10000000000000000ULL));
    TokenFields fields{padded("echo slot " + std::to_string(static_cast<unsigned long>(slot)), 32),
                       padded("Varnel echo", 32),
                       padded("mock", 16),
                       serial,
                       time,
                       {},
                       {static_cast<CK_BYTE>(slot & 0xFF), 1},
                       {static_cast<CK_BYTE>((slot >> 8) & 0xFF), 2}};
    for (CK_ULONG i = 0; i < 10; ++i) fields.counters[i] = slot + 1 + i;
    return fields;
}

inline std::vector<CK_OBJECT_HANDLE> foundObjects(CK_SESSION_HANDLE session) {
    std::vector<CK_OBJECT_HANDLE> found;
    for (CK_ULONG i = 0; i < 1 + session % 4; ++i) found.push_back(handleBase(session) + 0x10 + i);
    return found;
}

// The n bytes (seed + 7 * i) & 0xFF.
inline Bytes pattern(CK_ULONG seed, CK_ULONG length) {
    Bytes bytes(length);
    for (CK_ULONG i = 0; i < length; ++i) bytes[i] = static_cast<unsigned char>((seed + 7 * i) & 0xFF);
    return bytes;
}

// The value of attribute `type` of `object`; false for a type it lacks.
inline bool attributeValue(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type, Bytes& value) {
    const std::string label = "object " + std::to_string(static_cast<unsigned long>(object));
    switch (type) {
        case CKA_MODULUS:
            value = pattern(object, 32 + object % 32);
            return true;
        case CKA_LABEL:
            value.assign(label.begin(), label.end());
            return true;
        case CKA_PUBLIC_EXPONENT:
            value = {1, static_cast<unsigned char>(object & 0xFF), 1};
            return true;
        case CKA_ENCRYPT:
            value = {static_cast<unsigned char>(object & 1)};
            return true;
        case CKA_WRAP:
            value = {static_cast<unsigned char>((object >> 1) & 1)};
            return true;
        case CKA_VALUE:
            value = pattern(object ^ 0x55, 100 + object % 100);
            return true;
        default:
            return false;
    }
}

// Sign, Encrypt, Decrypt: the tag, the session's low byte, then each input
// byte ^ tag ^ that byte.
inline Bytes singlePart(unsigned char tag, CK_SESSION_HANDLE session, const unsigned char* data,
                        CK_ULONG length) {
    const auto sessionByte = static_cast<unsigned char>(session & 0xFF);
    Bytes result{tag, sessionByte};
    for (CK_ULONG i = 0; i < length; ++i)
        result.push_back(static_cast<unsigned char>(data[i] ^ tag ^ sessionByte));
    return result;
}

// The tag, the session's low byte, then the low 32 bits of both keys,
// little-endian.
inline Bytes wrapped(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE wrappingKey, CK_OBJECT_HANDLE key) {
    Bytes result{kWrapTag, static_cast<unsigned char>(session & 0xFF)};
    for (CK_ULONG handle : {wrappingKey, key})
        for (int shift = 0; shift < 32; shift += 8)
            result.push_back(static_cast<unsigned char>((handle >> shift) & 0xFF));
    return result;
}

inline CK_OBJECT_HANDLE unwrappedKey(CK_SESSION_HANDLE session, const unsigned char* wrappedKey,
                                     CK_ULONG length) {
    CK_ULONG sum = 0;
    for (CK_ULONG i = 0; i < length; ++i) sum += wrappedKey[i];
    return handleBase(session) + 0x8000 + (sum & 0x7FFF);
}

}  // namespace echo
