// The unit suite's view of the mock module: a C++ front over its C control
// interface, and where the module and its variants live.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "mock_control.h"

namespace mock {

using Bytes = std::vector<unsigned char>;

struct Call {
    std::string function;
    std::vector<CK_ULONG> numbers;
    std::vector<Bytes> blobs;
};

inline std::vector<Call> calls() {
    std::vector<Call> result;
    for (size_t i = 0; i < mock_call_count(); ++i) {
        Call call{mock_call_function(i), {}, {}};
        for (size_t k = 0; k < mock_call_number_count(i); ++k) call.numbers.push_back(mock_call_number(i, k));
        for (size_t k = 0; k < mock_call_blob_count(i); ++k) {
            size_t size = 0;
            const unsigned char* blob = mock_call_blob(i, k, &size);
            call.blobs.emplace_back(blob, blob + size);
        }
        result.push_back(std::move(call));
    }
    return result;
}

inline std::vector<std::string> functionsCalled() {
    std::vector<std::string> names;
    for (size_t i = 0; i < mock_call_count(); ++i) names.push_back(mock_call_function(i));
    return names;
}

// Scripts one answer: mock::answer("C_Sign", CKR_OK).value(bytes).count(300);
class answer {
public:
    answer(const char* function, CK_RV rv) { mock_script(function, rv); }
    answer& count(CK_ULONG n) {
        mock_script_count(n);
        return *this;
    }
    answer& handles(const std::vector<CK_ULONG>& list) {
        mock_script_handles(list.data(), list.size());
        return *this;
    }
    answer& value(const Bytes& bytes) {
        mock_script_value(bytes.data(), bytes.size());
        return *this;
    }
    answer& valueLength(CK_ULONG length) {
        mock_script_value_length(length);
        return *this;
    }
    answer& hook(void (*function)()) {
        mock_script_hook(function);
        return *this;
    }
    answer& sticky() {
        mock_script_sticky();
        return *this;
    }
};

// The encodings the mock logs, built independently for comparison.
inline Bytes ulongBytes(CK_ULONG value) {
    Bytes bytes(sizeof value);
    std::memcpy(bytes.data(), &value, sizeof value);
    return bytes;
}

inline Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// Byte by byte: GCC 12 misreads range inserts of small vectors at -O2.
inline void append(Bytes& blob, const Bytes& part) {
    for (unsigned char byte : part) blob.push_back(byte);
}

struct Attribute {
    CK_ULONG type;
    Bytes value;
};

// A template with every value present, as C_FindObjectsInit and the other
// writing calls receive it.
inline Bytes templateBlob(const std::vector<Attribute>& attributes) {
    Bytes blob;
    for (const auto& attribute : attributes) {
        append(blob, ulongBytes(attribute.type));
        append(blob, ulongBytes(attribute.value.size()));
        blob.push_back(1);
        append(blob, attribute.value);
    }
    return blob;
}

// A mechanism without parameter.
inline Bytes mechanismBlob(CK_ULONG type) {
    Bytes blob = ulongBytes(type);
    append(blob, ulongBytes(0));
    blob.push_back(0);
    return blob;
}

// Byte input as logged: a non-null flag, then the bytes.
inline Bytes inputBlob(const Bytes& bytes) {
    Bytes blob{1};
    append(blob, bytes);
    return blob;
}

// Sticky answers that take every method down its success path, with the
// sizes the benchmark uses.
inline void scriptSuccess() {
    for (const char* function : {"C_Initialize", "C_Finalize", "C_Login", "C_Logout", "C_CloseSession",
                                 "C_FindObjectsInit", "C_FindObjectsFinal", "C_SetAttributeValue",
                                 "C_DestroyObject", "C_SignInit", "C_EncryptInit", "C_DecryptInit"})
        answer(function, CKR_OK).sticky();
    answer("C_GetSlotList", CKR_OK).handles({11, 12, 13, 14}).sticky();
    std::vector<CK_ULONG> handles;
    for (CK_ULONG i = 0; i < 100; ++i) handles.push_back(2 + i);
    answer("C_FindObjects", CKR_OK).handles(handles).sticky();
    answer("C_OpenSession", CKR_OK).handles({1}).sticky();
    answer("C_GenerateKeyPair", CKR_OK).handles({2, 3}).sticky();
    answer("C_GenerateKey", CKR_OK).handles({4}).sticky();
    answer("C_UnwrapKey", CKR_OK).handles({5}).sticky();
    CK_TOKEN_INFO info;
    std::memset(&info, ' ', sizeof info);
    info.flags = CKF_TOKEN_INITIALIZED;
    const auto* infoBytes = reinterpret_cast<const unsigned char*>(&info);
    answer("C_GetTokenInfo", CKR_OK).value(Bytes(infoBytes, infoBytes + sizeof info)).sticky();
    answer("C_GetAttributeValue", CKR_OK)
        .value(Bytes(256, 0xA5))
        .value(text("bench-rsa"))
        .value({1, 0, 1})
        .value({1})
        .value({1})
        .sticky();
    answer("C_Sign", CKR_OK).value(Bytes(256, 1)).sticky();
    answer("C_Encrypt", CKR_OK).value(Bytes(256, 2)).sticky();
    answer("C_Decrypt", CKR_OK).value(Bytes(245, 3)).sticky();
    answer("C_WrapKey", CKR_OK).value(Bytes(256, 4)).sticky();
}

// Paths of the module and of its variants without chosen entry points.
inline std::string modulePath() { return MOCK_MODULE_PATH; }

inline std::string variantPath(const std::string& without) {
    std::string path = MOCK_VARIANT_PATTERN;
    return path.replace(path.find('@'), 1, without);
}

}  // namespace mock
