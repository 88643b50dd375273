// A scriptable PKCS#11 module for the unit suite: exports the C_ functions
// the library resolves, answers as the test scripted, and logs every call
// with its arguments byte by byte.
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "mock_control.h"

// On Windows p11-kit declares the C_ functions dllimport (dllexport with
// CRYPTOKI_EXPORTS, which would export them whatever a .def file says). The
// mock wants neither: each module's .def file lists what it exports, so that a
// variant can leave entry points out. Defining a function drops the dllimport,
// which GCC reports under -Wattributes.
#if defined(_WIN32)
#pragma GCC diagnostic ignored "-Wattributes"
#endif

namespace {

using Bytes = std::vector<unsigned char>;

struct Answer {
    CK_RV rv = CKR_OK;
    bool hasCount = false;
    CK_ULONG count = 0;
    std::vector<CK_ULONG> handles;
    std::vector<Bytes> values;
    std::vector<CK_ULONG> valueLengths;
    void (*hook)(void) = nullptr;
};

struct Call {
    std::string function;
    std::vector<CK_ULONG> numbers;
    std::vector<Bytes> blobs;
};

struct Script {
    std::deque<Answer> queued;
    bool sticky = false;
    Answer stickyAnswer;
};

std::recursive_mutex mutex;
std::map<std::string, Script> scripts;
Answer* lastQueued = nullptr;
std::vector<Call> calls;
constexpr size_t kCallsLogged = 65536;

void appendRaw(Bytes& blob, const void* data, size_t size) {
    if (!size) return;
    size_t end = blob.size();
    blob.resize(end + size);
    std::memcpy(blob.data() + end, data, size);
}

void appendUlong(Bytes& blob, CK_ULONG value) { appendRaw(blob, &value, sizeof value); }

void appendBytes(Bytes& blob, const void* data, CK_ULONG size) {
    blob.push_back(data ? 1 : 0);
    if (data) appendRaw(blob, data, size);
}

Bytes templateBlob(const CK_ATTRIBUTE* attributes, CK_ULONG count, bool withValues) {
    Bytes blob;
    for (CK_ULONG i = 0; attributes && i < count; ++i) {
        appendUlong(blob, attributes[i].type);
        appendUlong(blob, attributes[i].ulValueLen);
        if (withValues)
            appendBytes(blob, attributes[i].pValue, attributes[i].ulValueLen);
        else
            blob.push_back(attributes[i].pValue ? 1 : 0);
    }
    return blob;
}

Bytes mechanismBlob(const CK_MECHANISM* mechanism) {
    Bytes blob;
    if (!mechanism) return blob;
    appendUlong(blob, mechanism->mechanism);
    appendUlong(blob, mechanism->ulParameterLen);
    appendBytes(blob, mechanism->pParameter, mechanism->ulParameterLen);
    if (mechanism->mechanism == CKM_RSA_PKCS_OAEP && mechanism->pParameter &&
        mechanism->ulParameterLen >= sizeof(CK_RSA_PKCS_OAEP_PARAMS)) {
        const auto* oaep = static_cast<const CK_RSA_PKCS_OAEP_PARAMS*>(mechanism->pParameter);
        appendUlong(blob, oaep->hashAlg);
        appendUlong(blob, oaep->mgf);
        appendUlong(blob, oaep->source);
        appendUlong(blob, oaep->ulSourceDataLen);
        appendBytes(blob, oaep->pSourceData, oaep->ulSourceDataLen);
    }
    return blob;
}

Answer take(const char* function, std::vector<CK_ULONG> numbers, std::vector<Bytes> blobs) {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    if (calls.size() < kCallsLogged) calls.push_back(Call{function, std::move(numbers), std::move(blobs)});
    Script& script = scripts[function];
    if (!script.queued.empty()) {
        Answer answer = script.queued.front();
        script.queued.pop_front();
        return answer;
    }
    return script.sticky ? script.stickyAnswer : Answer{};
}

// Logs the call and returns the answer scripted for it, once its hook ran.
Answer begin(const char* function, std::vector<CK_ULONG> numbers, std::vector<Bytes> blobs = {}) {
    Answer answer = take(function, std::move(numbers), std::move(blobs));
    if (answer.hook) answer.hook();
    return answer;
}

Bytes inputBlob(const void* data, CK_ULONG size) {
    Bytes blob;
    appendBytes(blob, data, size);
    return blob;
}

// Writes the scripted output bytes into a caller's buffer, never past the
// room it offered, and reports the scripted length (which may be larger).
void writeOutput(const Answer& answer, CK_BYTE_PTR out, CK_ULONG_PTR outLength) {
    if (!outLength) return;
    const Bytes empty;
    const Bytes& value = answer.values.empty() ? empty : answer.values.front();
    if (out) {
        CK_ULONG n = value.size() < *outLength ? value.size() : *outLength;
        if (n) std::memcpy(out, value.data(), n);
    }
    if (answer.hasCount || !answer.values.empty()) *outLength = answer.hasCount ? answer.count : value.size();
}

// Writes up to `room` scripted handles and reports the scripted count.
void writeHandles(const Answer& answer, CK_ULONG_PTR list, CK_ULONG room, CK_ULONG_PTR count) {
    if (list)
        for (CK_ULONG i = 0; i < room && i < answer.handles.size(); ++i) list[i] = answer.handles[i];
    if (count) *count = answer.hasCount ? answer.count : answer.handles.size();
}

void writeHandle(const Answer& answer, size_t index, CK_ULONG_PTR handle) {
    if (handle && index < answer.handles.size()) *handle = answer.handles[index];
}

CK_ULONG flag(const void* pointer) { return pointer ? 1 : 0; }

}  // namespace

extern "C" {

MOCK_API void mock_reset(void) {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    scripts.clear();
    calls.clear();
    lastQueued = nullptr;
}

MOCK_API void mock_script(const char* function, CK_RV rv) {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    Script& script = scripts[function];
    script.queued.push_back(Answer{});
    lastQueued = &script.queued.back();
    lastQueued->rv = rv;
}

MOCK_API void mock_script_count(CK_ULONG count) {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    lastQueued->hasCount = true;
    lastQueued->count = count;
}

MOCK_API void mock_script_handles(const CK_ULONG* handles, size_t count) {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    lastQueued->handles.assign(handles, handles + count);
}

MOCK_API void mock_script_value(const unsigned char* bytes, size_t size) {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    lastQueued->values.emplace_back(bytes, bytes + size);
}

MOCK_API void mock_script_value_length(CK_ULONG length) {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    lastQueued->valueLengths.push_back(length);
}

MOCK_API void mock_script_sticky(void) {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    for (auto& [name, script] : scripts) {
        if (!script.queued.empty() && &script.queued.back() == lastQueued) {
            script.sticky = true;
            script.stickyAnswer = script.queued.back();
            script.queued.pop_back();
            lastQueued = &script.stickyAnswer;
            return;
        }
    }
}

MOCK_API void mock_script_hook(void (*hook)(void)) {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    lastQueued->hook = hook;
}

MOCK_API size_t mock_call_count(void) {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    return calls.size();
}

MOCK_API const char* mock_call_function(size_t call) {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    return calls.at(call).function.c_str();
}

MOCK_API size_t mock_call_number_count(size_t call) {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    return calls.at(call).numbers.size();
}

MOCK_API CK_ULONG mock_call_number(size_t call, size_t index) {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    return calls.at(call).numbers.at(index);
}

MOCK_API size_t mock_call_blob_count(size_t call) {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    return calls.at(call).blobs.size();
}

MOCK_API const unsigned char* mock_call_blob(size_t call, size_t index, size_t* size) {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    const Bytes& blob = calls.at(call).blobs.at(index);
    *size = blob.size();
    return blob.data();
}

CK_RV C_Initialize(void* initArgs) { return begin("C_Initialize", {flag(initArgs)}).rv; }

CK_RV C_Finalize(void* reserved) { return begin("C_Finalize", {flag(reserved)}).rv; }

CK_RV C_GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) {
    CK_ULONG room = count ? *count : 0;
    Answer answer = begin("C_GetSlotList", {tokenPresent, flag(list), room});
    writeHandles(answer, list, room, count);
    return answer.rv;
}

CK_RV C_GetTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info) {
    Answer answer = begin("C_GetTokenInfo", {slot, flag(info)});
    if (info && !answer.values.empty() && !answer.values.front().empty())
        std::memcpy(
            info, answer.values.front().data(),
            answer.values.front().size() < sizeof *info ? answer.values.front().size() : sizeof *info);
    return answer.rv;
}

CK_RV C_OpenSession(CK_SLOT_ID slot, CK_FLAGS flags, void* application, CK_NOTIFY notify,
                    CK_SESSION_HANDLE_PTR session) {
    Answer answer =
        begin("C_OpenSession", {slot, flags, flag(application), flag(reinterpret_cast<void*>(notify))});
    writeHandle(answer, 0, session);
    return answer.rv;
}

CK_RV C_CloseSession(CK_SESSION_HANDLE session) { return begin("C_CloseSession", {session}).rv; }

CK_RV C_Login(CK_SESSION_HANDLE session, CK_USER_TYPE userType, CK_UTF8CHAR_PTR pin, CK_ULONG pinLength) {
    return begin("C_Login", {session, userType, pinLength}, {inputBlob(pin, pinLength)}).rv;
}

CK_RV C_Logout(CK_SESSION_HANDLE session) { return begin("C_Logout", {session}).rv; }

CK_RV C_GetAttributeValue(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_PTR attributes,
                          CK_ULONG count) {
    Answer answer =
        begin("C_GetAttributeValue", {session, object, count}, {templateBlob(attributes, count, false)});
    for (CK_ULONG i = 0; attributes && i < count; ++i) {
        CK_ATTRIBUTE& attribute = attributes[i];
        const Bytes* value = i < answer.values.size() ? &answer.values[i] : nullptr;
        if (attribute.pValue && value) {
            CK_ULONG n = value->size() < attribute.ulValueLen ? value->size() : attribute.ulValueLen;
            if (n) std::memcpy(attribute.pValue, value->data(), n);
        }
        if (i < answer.valueLengths.size())
            attribute.ulValueLen = answer.valueLengths[i];
        else if (value)
            attribute.ulValueLen = value->size();
    }
    return answer.rv;
}

CK_RV C_SetAttributeValue(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_PTR attributes,
                          CK_ULONG count) {
    return begin("C_SetAttributeValue", {session, object, count}, {templateBlob(attributes, count, true)}).rv;
}

CK_RV C_DestroyObject(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object) {
    return begin("C_DestroyObject", {session, object}).rv;
}

CK_RV C_FindObjectsInit(CK_SESSION_HANDLE session, CK_ATTRIBUTE_PTR attributes, CK_ULONG count) {
    return begin("C_FindObjectsInit", {session, count}, {templateBlob(attributes, count, true)}).rv;
}

CK_RV C_FindObjects(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE_PTR objects, CK_ULONG maxCount,
                    CK_ULONG_PTR count) {
    Answer answer = begin("C_FindObjects", {session, flag(objects), maxCount, flag(count)});
    writeHandles(answer, objects, maxCount, count);
    return answer.rv;
}

CK_RV C_FindObjectsFinal(CK_SESSION_HANDLE session) { return begin("C_FindObjectsFinal", {session}).rv; }

CK_RV C_GenerateKeyPair(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism,
                        CK_ATTRIBUTE_PTR publicTemplate, CK_ULONG publicCount,
                        CK_ATTRIBUTE_PTR privateTemplate, CK_ULONG privateCount,
                        CK_OBJECT_HANDLE_PTR publicKey, CK_OBJECT_HANDLE_PTR privateKey) {
    Answer answer = begin("C_GenerateKeyPair", {session, publicCount, privateCount},
                          {mechanismBlob(mechanism), templateBlob(publicTemplate, publicCount, true),
                           templateBlob(privateTemplate, privateCount, true)});
    writeHandle(answer, 0, publicKey);
    writeHandle(answer, 1, privateKey);
    return answer.rv;
}

CK_RV C_GenerateKey(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_ATTRIBUTE_PTR attributes,
                    CK_ULONG count, CK_OBJECT_HANDLE_PTR key) {
    Answer answer = begin("C_GenerateKey", {session, count},
                          {mechanismBlob(mechanism), templateBlob(attributes, count, true)});
    writeHandle(answer, 0, key);
    return answer.rv;
}

CK_RV C_SignInit(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key) {
    return begin("C_SignInit", {session, key}, {mechanismBlob(mechanism)}).rv;
}

CK_RV C_EncryptInit(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key) {
    return begin("C_EncryptInit", {session, key}, {mechanismBlob(mechanism)}).rv;
}

CK_RV C_DecryptInit(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key) {
    return begin("C_DecryptInit", {session, key}, {mechanismBlob(mechanism)}).rv;
}

// One shape for the single-part operations: data in, bytes out.
#define MOCK_SINGLE_PART(name)                                                                 \
    CK_RV name(CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG length, CK_BYTE_PTR out,  \
               CK_ULONG_PTR outLength) {                                                       \
        Answer answer = begin(#name, {session, length, flag(out), outLength ? *outLength : 0}, \
                              {inputBlob(data, length)});                                      \
        writeOutput(answer, out, outLength);                                                   \
        return answer.rv;                                                                      \
    }
MOCK_SINGLE_PART(C_Sign)
MOCK_SINGLE_PART(C_Encrypt)
MOCK_SINGLE_PART(C_Decrypt)
#undef MOCK_SINGLE_PART

CK_RV C_WrapKey(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE wrappingKey,
                CK_OBJECT_HANDLE key, CK_BYTE_PTR wrapped, CK_ULONG_PTR wrappedLength) {
    Answer answer =
        begin("C_WrapKey", {session, wrappingKey, key, flag(wrapped), wrappedLength ? *wrappedLength : 0},
              {mechanismBlob(mechanism)});
    writeOutput(answer, wrapped, wrappedLength);
    return answer.rv;
}

CK_RV C_UnwrapKey(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE unwrappingKey,
                  CK_BYTE_PTR wrapped, CK_ULONG wrappedLength, CK_ATTRIBUTE_PTR attributes, CK_ULONG count,
                  CK_OBJECT_HANDLE_PTR key) {
    Answer answer = begin(
        "C_UnwrapKey", {session, unwrappingKey, wrappedLength, count},
        {mechanismBlob(mechanism), inputBlob(wrapped, wrappedLength), templateBlob(attributes, count, true)});
    writeHandle(answer, 0, key);
    return answer.rv;
}

}  // extern "C"
