// A scriptable PKCS#11 module for the unit suite: exports the C_ functions
// the library resolves, answers as the test scripted, and logs every call
// with its arguments byte by byte.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "echo_answers.h"
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
    calls.push_back(Call{function, std::move(numbers), std::move(blobs)});
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

// Echo mode (see mock_control.h): answers computed from the arguments alone,
// touching no shared state, so any number of threads may call at once.
bool echoRequestedByEnvironment() {
    const char* value = std::getenv("MOCK_ECHO");
    return value && std::strcmp(value, "1") == 0;
}

std::atomic<bool> echoMode{echoRequestedByEnvironment()};

// The echo mode's C_ functions, answering from echo_answers.h.
namespace echoing {

using namespace ::echo;

CK_RV checkSession(CK_SESSION_HANDLE session) { return session ? CKR_OK : CKR_SESSION_HANDLE_INVALID; }

// Copies a value out by the length-then-value rule: a null buffer learns the
// length, a short one CKR_BUFFER_TOO_SMALL.
CK_RV giveBytes(const Bytes& value, CK_BYTE_PTR out, CK_ULONG_PTR outLength) {
    if (!outLength) return CKR_ARGUMENTS_BAD;
    const CK_ULONG room = *outLength;
    *outLength = value.size();
    if (!out) return CKR_OK;
    if (room < value.size()) return CKR_BUFFER_TOO_SMALL;
    if (!value.empty()) std::memcpy(out, value.data(), value.size());
    return CKR_OK;
}

void setField(CK_UTF8CHAR* field, size_t size, const std::string& text) {
    std::memcpy(field, text.data(), text.size() < size ? text.size() : size);
}

CK_RV getSlotList(CK_SLOT_ID_PTR list, CK_ULONG_PTR count) {
    if (!count) return CKR_ARGUMENTS_BAD;
    const CK_ULONG room = *count;
    const CK_ULONG needed = sizeof kSlots / sizeof kSlots[0];
    *count = needed;
    if (!list) return CKR_OK;
    if (room < needed) return CKR_BUFFER_TOO_SMALL;
    for (CK_ULONG i = 0; i < needed; ++i) list[i] = kSlots[i];
    return CKR_OK;
}

CK_RV getTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info) {
    if (!info) return CKR_ARGUMENTS_BAD;
    const TokenFields fields = tokenFields(slot);
    setField(info->label, sizeof info->label, fields.label);
    setField(info->manufacturerID, sizeof info->manufacturerID, fields.manufacturer);
    setField(info->model, sizeof info->model, fields.model);
    setField(info->serialNumber, sizeof info->serialNumber, fields.serialNumber);
    setField(info->utcTime, sizeof info->utcTime, fields.utcTime);
    info->flags = kTokenFlags;
    CK_ULONG* const counters[] = {&info->ulMaxSessionCount,    &info->ulSessionCount,
                                  &info->ulMaxRwSessionCount,  &info->ulRwSessionCount,
                                  &info->ulMaxPinLen,          &info->ulMinPinLen,
                                  &info->ulTotalPublicMemory,  &info->ulFreePublicMemory,
                                  &info->ulTotalPrivateMemory, &info->ulFreePrivateMemory};
    for (size_t i = 0; i < 10; ++i) *counters[i] = fields.counters[i];
    info->hardwareVersion = fields.hardwareVersion;
    info->firmwareVersion = fields.firmwareVersion;
    return CKR_OK;
}

CK_RV openSession(CK_SLOT_ID slot, CK_FLAGS flags, CK_SESSION_HANDLE_PTR session) {
    if (!session) return CKR_ARGUMENTS_BAD;
    if (!(flags & CKF_SERIAL_SESSION)) return CKR_SESSION_PARALLEL_NOT_SUPPORTED;
    *session = sessionOn(slot);
    return CKR_OK;
}

CK_RV login(CK_SESSION_HANDLE session, CK_USER_TYPE userType, CK_UTF8CHAR_PTR pin, CK_ULONG pinLength) {
    if (CK_RV rv = checkSession(session)) return rv;
    if (userType > CKU_CONTEXT_SPECIFIC) return CKR_USER_TYPE_INVALID;
    if (pinLength == 0) return CKR_PIN_LEN_RANGE;
    return pin ? CKR_OK : CKR_ARGUMENTS_BAD;
}

CK_RV checkObject(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object) {
    if (CK_RV rv = checkSession(session)) return rv;
    return object ? CKR_OK : CKR_OBJECT_HANDLE_INVALID;
}

CK_RV getAttributeValue(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_PTR attributes,
                        CK_ULONG count) {
    if (CK_RV rv = checkObject(session, object)) return rv;
    if (!attributes && count) return CKR_ARGUMENTS_BAD;
    CK_RV rv = CKR_OK;
    for (CK_ULONG i = 0; i < count; ++i) {
        CK_ATTRIBUTE& attribute = attributes[i];
        Bytes value;
        if (!attributeValue(object, attribute.type, value)) {
            attribute.ulValueLen = CK_UNAVAILABLE_INFORMATION;
            rv = CKR_ATTRIBUTE_TYPE_INVALID;
        } else if (!attribute.pValue) {
            attribute.ulValueLen = value.size();
        } else if (attribute.ulValueLen < value.size()) {
            attribute.ulValueLen = CK_UNAVAILABLE_INFORMATION;
            if (rv == CKR_OK) rv = CKR_BUFFER_TOO_SMALL;
        } else {
            if (!value.empty()) std::memcpy(attribute.pValue, value.data(), value.size());
            attribute.ulValueLen = value.size();
        }
    }
    return rv;
}

CK_RV findObjects(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE_PTR objects, CK_ULONG maxCount,
                  CK_ULONG_PTR count) {
    if (CK_RV rv = checkSession(session)) return rv;
    if (!objects || !count) return CKR_ARGUMENTS_BAD;
    const std::vector<CK_OBJECT_HANDLE> found = foundObjects(session);
    CK_ULONG written = 0;
    for (; written < found.size() && written < maxCount; ++written) objects[written] = found[written];
    *count = written;
    return CKR_OK;
}

// The CK_ULONG value of attribute `type` in a template, or `missing`.
CK_ULONG templateNumber(const CK_ATTRIBUTE* attributes, CK_ULONG count, CK_ATTRIBUTE_TYPE type,
                        CK_ULONG missing) {
    for (CK_ULONG i = 0; attributes && i < count; ++i)
        if (attributes[i].type == type && attributes[i].pValue &&
            attributes[i].ulValueLen == sizeof(CK_ULONG)) {
            CK_ULONG value;
            std::memcpy(&value, attributes[i].pValue, sizeof value);
            return value;
        }
    return missing;
}

CK_ULONG templateLength(const CK_ATTRIBUTE* attributes, CK_ULONG count, CK_ATTRIBUTE_TYPE type) {
    for (CK_ULONG i = 0; attributes && i < count; ++i)
        if (attributes[i].type == type) return attributes[i].ulValueLen;
    return 0;
}

bool isMechanism(const CK_MECHANISM* mechanism, CK_MECHANISM_TYPE type) {
    return mechanism && mechanism->mechanism == type;
}

CK_RV generateKeyPair(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_ATTRIBUTE_PTR publicTemplate,
                      CK_ULONG publicCount, CK_OBJECT_HANDLE_PTR publicKey, CK_OBJECT_HANDLE_PTR privateKey) {
    if (CK_RV rv = checkSession(session)) return rv;
    if (!isMechanism(mechanism, CKM_RSA_PKCS_KEY_PAIR_GEN)) return CKR_MECHANISM_INVALID;
    if (!publicKey || !privateKey) return CKR_ARGUMENTS_BAD;
    const CK_ULONG bits = templateNumber(publicTemplate, publicCount, CKA_MODULUS_BITS, 0);
    if (bits < 512 || bits > 16384) return CKR_KEY_SIZE_RANGE;
    if (templateLength(publicTemplate, publicCount, CKA_PUBLIC_EXPONENT) == 0)
        return CKR_ATTRIBUTE_VALUE_INVALID;
    *publicKey = publicKeyOf(session);
    *privateKey = privateKeyOf(session);
    return CKR_OK;
}

CK_RV generateKey(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE_PTR key) {
    if (CK_RV rv = checkSession(session)) return rv;
    if (!isMechanism(mechanism, CKM_AES_KEY_GEN)) return CKR_MECHANISM_INVALID;
    if (!key) return CKR_ARGUMENTS_BAD;
    *key = secretKeyOf(session);
    return CKR_OK;
}

CK_RV startOperation(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key,
                     bool oaepAllowed) {
    if (CK_RV rv = checkSession(session)) return rv;
    if (!key) return CKR_KEY_HANDLE_INVALID;
    if (isMechanism(mechanism, CKM_RSA_PKCS)) return CKR_OK;
    if (oaepAllowed && isMechanism(mechanism, CKM_RSA_PKCS_OAEP))
        return mechanism->pParameter && mechanism->ulParameterLen == sizeof(CK_RSA_PKCS_OAEP_PARAMS)
                   ? CKR_OK
                   : CKR_MECHANISM_PARAM_INVALID;
    return CKR_MECHANISM_INVALID;
}

CK_RV singlePart(unsigned char tag, CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG length,
                 CK_BYTE_PTR out, CK_ULONG_PTR outLength) {
    if (CK_RV rv = checkSession(session)) return rv;
    if (!data && length) return CKR_ARGUMENTS_BAD;
    return giveBytes(echo::singlePart(tag, session, data, length), out, outLength);
}

CK_RV wrapKey(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE wrappingKey,
              CK_OBJECT_HANDLE key, CK_BYTE_PTR wrapped, CK_ULONG_PTR wrappedLength) {
    if (CK_RV rv = checkSession(session)) return rv;
    if (!isMechanism(mechanism, CKM_RSA_PKCS)) return CKR_MECHANISM_INVALID;
    if (!wrappingKey) return CKR_WRAPPING_KEY_HANDLE_INVALID;
    if (!key) return CKR_KEY_HANDLE_INVALID;
    return giveBytes(echo::wrapped(session, wrappingKey, key), wrapped, wrappedLength);
}

CK_RV unwrapKey(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE unwrappingKey,
                CK_BYTE_PTR wrapped, CK_ULONG wrappedLength, CK_OBJECT_HANDLE_PTR key) {
    if (CK_RV rv = checkSession(session)) return rv;
    if (!isMechanism(mechanism, CKM_RSA_PKCS)) return CKR_MECHANISM_INVALID;
    if (!unwrappingKey) return CKR_UNWRAPPING_KEY_HANDLE_INVALID;
    if (!wrapped || wrappedLength == 0) return CKR_WRAPPED_KEY_LEN_RANGE;
    if (!key) return CKR_ARGUMENTS_BAD;
    *key = unwrappedKey(session, wrapped, wrappedLength);
    return CKR_OK;
}

}  // namespace echoing

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

MOCK_API void mock_echo(int on) { echoMode = on != 0; }

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

CK_RV C_Initialize(void* initArgs) {
    if (echoMode) return CKR_OK;
    return begin("C_Initialize", {flag(initArgs)}).rv;
}

CK_RV C_Finalize(void* reserved) {
    if (echoMode) return CKR_OK;
    return begin("C_Finalize", {flag(reserved)}).rv;
}

CK_RV C_GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) {
    if (echoMode) return echoing::getSlotList(list, count);
    CK_ULONG room = count ? *count : 0;
    Answer answer = begin("C_GetSlotList", {tokenPresent, flag(list), room});
    writeHandles(answer, list, room, count);
    return answer.rv;
}

CK_RV C_GetTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info) {
    if (echoMode) return echoing::getTokenInfo(slot, info);
    Answer answer = begin("C_GetTokenInfo", {slot, flag(info)});
    if (info && !answer.values.empty() && !answer.values.front().empty())
        std::memcpy(
            info, answer.values.front().data(),
            answer.values.front().size() < sizeof *info ? answer.values.front().size() : sizeof *info);
    return answer.rv;
}

CK_RV C_OpenSession(CK_SLOT_ID slot, CK_FLAGS flags, void* application, CK_NOTIFY notify,
                    CK_SESSION_HANDLE_PTR session) {
    if (echoMode) return echoing::openSession(slot, flags, session);
    Answer answer =
        begin("C_OpenSession", {slot, flags, flag(application), flag(reinterpret_cast<void*>(notify))});
    writeHandle(answer, 0, session);
    return answer.rv;
}

CK_RV C_CloseSession(CK_SESSION_HANDLE session) {
    if (echoMode) return echoing::checkSession(session);
    return begin("C_CloseSession", {session}).rv;
}

CK_RV C_Login(CK_SESSION_HANDLE session, CK_USER_TYPE userType, CK_UTF8CHAR_PTR pin, CK_ULONG pinLength) {
    if (echoMode) return echoing::login(session, userType, pin, pinLength);
    return begin("C_Login", {session, userType, pinLength}, {inputBlob(pin, pinLength)}).rv;
}

CK_RV C_Logout(CK_SESSION_HANDLE session) {
    if (echoMode) return echoing::checkSession(session);
    return begin("C_Logout", {session}).rv;
}

CK_RV C_GetAttributeValue(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_PTR attributes,
                          CK_ULONG count) {
    if (echoMode) return echoing::getAttributeValue(session, object, attributes, count);
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
    if (echoMode) return echoing::checkObject(session, object);
    return begin("C_SetAttributeValue", {session, object, count}, {templateBlob(attributes, count, true)}).rv;
}

CK_RV C_DestroyObject(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object) {
    if (echoMode) return echoing::checkObject(session, object);
    return begin("C_DestroyObject", {session, object}).rv;
}

CK_RV C_FindObjectsInit(CK_SESSION_HANDLE session, CK_ATTRIBUTE_PTR attributes, CK_ULONG count) {
    if (echoMode) return echoing::checkSession(session);
    return begin("C_FindObjectsInit", {session, count}, {templateBlob(attributes, count, true)}).rv;
}

CK_RV C_FindObjects(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE_PTR objects, CK_ULONG maxCount,
                    CK_ULONG_PTR count) {
    if (echoMode) return echoing::findObjects(session, objects, maxCount, count);
    Answer answer = begin("C_FindObjects", {session, flag(objects), maxCount, flag(count)});
    writeHandles(answer, objects, maxCount, count);
    return answer.rv;
}

CK_RV C_FindObjectsFinal(CK_SESSION_HANDLE session) {
    if (echoMode) return echoing::checkSession(session);
    return begin("C_FindObjectsFinal", {session}).rv;
}

CK_RV C_GenerateKeyPair(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism,
                        CK_ATTRIBUTE_PTR publicTemplate, CK_ULONG publicCount,
                        CK_ATTRIBUTE_PTR privateTemplate, CK_ULONG privateCount,
                        CK_OBJECT_HANDLE_PTR publicKey, CK_OBJECT_HANDLE_PTR privateKey) {
    if (echoMode)
        return echoing::generateKeyPair(session, mechanism, publicTemplate, publicCount, publicKey,
                                        privateKey);
    Answer answer = begin("C_GenerateKeyPair", {session, publicCount, privateCount},
                          {mechanismBlob(mechanism), templateBlob(publicTemplate, publicCount, true),
                           templateBlob(privateTemplate, privateCount, true)});
    writeHandle(answer, 0, publicKey);
    writeHandle(answer, 1, privateKey);
    return answer.rv;
}

CK_RV C_GenerateKey(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_ATTRIBUTE_PTR attributes,
                    CK_ULONG count, CK_OBJECT_HANDLE_PTR key) {
    if (echoMode) return echoing::generateKey(session, mechanism, key);
    Answer answer = begin("C_GenerateKey", {session, count},
                          {mechanismBlob(mechanism), templateBlob(attributes, count, true)});
    writeHandle(answer, 0, key);
    return answer.rv;
}

CK_RV C_SignInit(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key) {
    if (echoMode) return echoing::startOperation(session, mechanism, key, false);
    return begin("C_SignInit", {session, key}, {mechanismBlob(mechanism)}).rv;
}

CK_RV C_EncryptInit(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key) {
    if (echoMode) return echoing::startOperation(session, mechanism, key, true);
    return begin("C_EncryptInit", {session, key}, {mechanismBlob(mechanism)}).rv;
}

CK_RV C_DecryptInit(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key) {
    if (echoMode) return echoing::startOperation(session, mechanism, key, true);
    return begin("C_DecryptInit", {session, key}, {mechanismBlob(mechanism)}).rv;
}

// One shape for the single-part operations: data in, bytes out.
#define MOCK_SINGLE_PART(name, echoTag)                                                           \
    CK_RV name(CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG length, CK_BYTE_PTR out,     \
               CK_ULONG_PTR outLength) {                                                          \
        if (echoMode) return echoing::singlePart(echoTag, session, data, length, out, outLength); \
        Answer answer = begin(#name, {session, length, flag(out), outLength ? *outLength : 0},    \
                              {inputBlob(data, length)});                                         \
        writeOutput(answer, out, outLength);                                                      \
        return answer.rv;                                                                         \
    }
MOCK_SINGLE_PART(C_Sign, echo::kSignTag)
MOCK_SINGLE_PART(C_Encrypt, echo::kEncryptTag)
MOCK_SINGLE_PART(C_Decrypt, echo::kDecryptTag)
#undef MOCK_SINGLE_PART

CK_RV C_WrapKey(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE wrappingKey,
                CK_OBJECT_HANDLE key, CK_BYTE_PTR wrapped, CK_ULONG_PTR wrappedLength) {
    if (echoMode) return echoing::wrapKey(session, mechanism, wrappingKey, key, wrapped, wrappedLength);
    Answer answer =
        begin("C_WrapKey", {session, wrappingKey, key, flag(wrapped), wrappedLength ? *wrappedLength : 0},
              {mechanismBlob(mechanism)});
    writeOutput(answer, wrapped, wrappedLength);
    return answer.rv;
}

CK_RV C_UnwrapKey(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE unwrappingKey,
                  CK_BYTE_PTR wrapped, CK_ULONG wrappedLength, CK_ATTRIBUTE_PTR attributes, CK_ULONG count,
                  CK_OBJECT_HANDLE_PTR key) {
    if (echoMode) return echoing::unwrapKey(session, mechanism, unwrappingKey, wrapped, wrappedLength, key);
    Answer answer = begin(
        "C_UnwrapKey", {session, unwrappingKey, wrappedLength, count},
        {mechanismBlob(mechanism), inputBlob(wrapped, wrappedLength), templateBlob(attributes, count, true)});
    writeHandle(answer, 0, key);
    return answer.rv;
}

}  // extern "C"
