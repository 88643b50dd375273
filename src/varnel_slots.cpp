// Slots, the token description, sessions and login.
#include <cstring>
#include <iterator>

#include "entry_points.h"
#include "jni_frame.h"
#include "status_codes.h"
#include "token_text.h"
#include "varnel.h"

using namespace varnel;

namespace {

constexpr CK_ULONG kSlotListRoom = 100;
constexpr CK_ULONG kMostSlotsListed = 99;

// A figure the token marks unavailable (all bits set) reads as 0, like a
// zero figure.
void formatCounter(char (&text)[kHandleTextSize], CK_ULONG value) noexcept {
    formatHandle(text, value == CK_UNAVAILABLE_INFORMATION ? 0 : value);
}

constexpr int kVersionTextSize = 23;

// "major.minor", each byte unsigned: minor 10 reads 1.10.
void formatVersion(char (&text)[kVersionTextSize], CK_VERSION version) noexcept {
    char digits[8];
    char* const end = digits + sizeof digits;
    char* first = decimalDigits(end, version.minor);
    *--first = '.';
    first = decimalDigits(first, version.major);
    std::memcpy(text, first, static_cast<std::size_t>(end - first));
    text[end - first] = '\0';
}

}  // namespace

// String[] GetSlotList(int tokenPresent)
extern "C" JNIEXPORT jobjectArray JNICALL Java_ka_tovik_selvo_jvarnel_JVarnel_GetSlotList(
    JNIEnv* env, jclass, jint tokenPresent) noexcept {
    CK_SLOT_ID slots[kSlotListRoom] = {};
    char slotTexts[kSlotListRoom][kHandleTextSize];
    ArrayResult<kSlotListRoom + 1> out;
    CK_ULONG count = 0;
    CK_ULONG filled = 0;  // entries of `slots` the driver wrote
    out.status = [&]() -> CK_RV {
        // The first call always counts the slots holding a token: the list
        // is then sized for those, whatever tokenPresent says.
        CK_RV rv = callDriver(CP_GetSlotList, kMissingGetSlotList, CK_TRUE, nullptr, &count);
        if (rv != CKR_OK) return rv;
        if (count == 0 || count > kMostSlotsListed) return kSlotCountOutOfRange;
        const CK_ULONG room = count;
        rv = CP_GetSlotList(tokenPresent ? CK_TRUE : CK_FALSE, slots, &count);
        if (rv != CKR_OK) return rv;
        filled = count < room ? count : room;
        return CKR_OK;
    }();
    // The array follows the driver's count, but never reads past the list.
    out.length = static_cast<int>((count < kSlotListRoom ? count : kSlotListRoom) + 1);
    for (CK_ULONG i = 0; i < filled; ++i) {
        formatHandle(slotTexts[i], slots[i]);
        out.texts[i + 1] = slotTexts[i];
    }
    return out.toJava(env);
}

// String[] GetTokenInfo(int slotID)
extern "C" JNIEXPORT jobjectArray JNICALL Java_ka_tovik_selvo_jvarnel_JVarnel_GetTokenInfo(
    JNIEnv* env, jclass, jint slotID) noexcept {
    CK_TOKEN_INFO info;
    std::memset(&info, 0, sizeof info);
    ArrayResult<19> out;
    out.status = callDriver(CP_GetTokenInfo, kMissingGetTokenInfo, ulongFromJava(slotID), &info);
    if (out.status != CKR_OK) return out.toJava(env);

    char label[convertedTextSize(sizeof info.label)];
    char manufacturer[convertedTextSize(sizeof info.manufacturerID)];
    char model[convertedTextSize(sizeof info.model)];
    char serialNumber[convertedTextSize(sizeof info.serialNumber)];
    char utcTime[convertedTextSize(sizeof info.utcTime)];
    tokenTextToJava(info.label, sizeof info.label, label);
    tokenTextToJava(info.manufacturerID, sizeof info.manufacturerID, manufacturer);
    tokenTextToJava(info.model, sizeof info.model, model);
    tokenTextToJava(info.serialNumber, sizeof info.serialNumber, serialNumber);
    tokenTextToJava(info.utcTime, sizeof info.utcTime, utcTime);

    // Elements 5 to 14 in order, then the flags as element 18.
    const CK_ULONG counters[] = {info.ulMaxSessionCount,   info.ulSessionCount,      info.ulMaxRwSessionCount,
                                 info.ulRwSessionCount,    info.ulMaxPinLen,         info.ulMinPinLen,
                                 info.ulTotalPublicMemory, info.ulFreePublicMemory,  info.ulTotalPrivateMemory,
                                 info.ulFreePrivateMemory, info.flags};
    char counterTexts[std::size(counters)][kHandleTextSize];
    for (size_t i = 0; i < std::size(counters); ++i) formatCounter(counterTexts[i], counters[i]);
    char hardwareVersion[kVersionTextSize];
    char firmwareVersion[kVersionTextSize];
    formatVersion(hardwareVersion, info.hardwareVersion);
    formatVersion(firmwareVersion, info.firmwareVersion);

    const char* fields[] = {label, manufacturer, model, serialNumber};
    for (int i = 0; i < 4; ++i) out.texts[1 + i] = fields[i];
    for (int i = 0; i < 10; ++i) out.texts[5 + i] = counterTexts[i];
    out.texts[15] = hardwareVersion;
    out.texts[16] = firmwareVersion;
    out.texts[17] = utcTime;
    out.texts[18] = counterTexts[10];
    return out.toJava(env);
}

// String[] OpenSession(int slotID, int flags)
extern "C" JNIEXPORT jobjectArray JNICALL Java_ka_tovik_selvo_jvarnel_JVarnel_OpenSession(
    JNIEnv* env, jclass, jint slotID, jint flags) noexcept {
    CK_SESSION_HANDLE session = 0;
    ArrayResult<2> out;
    out.status = callDriver(CP_OpenSession, kMissingOpenSession, ulongFromJava(slotID), ulongFromJava(flags),
                            nullptr, nullptr, &session);
    // The handle is shown whatever the status: "0" unless the driver wrote one.
    char sessionText[kHandleTextSize];
    formatHandle(sessionText, session);
    out.texts[1] = sessionText;
    return out.toJava(env);
}

// String Login(long session, int userType, String pin)
extern "C" JNIEXPORT jstring JNICALL Java_ka_tovik_selvo_jvarnel_JVarnel_Login(JNIEnv* env, jclass, jlong session,
                                                                               jint userType, jstring pin) noexcept {
    StatusResult out;
    out.status = [&]() -> CK_RV {
        if (!pin) return kNullPin;
        // Released as this lambda returns, before the status string is made.
        Utf8Chars pinChars(env, pin);
        if (!pinChars) return out.jvmFailure();
        auto* pinBytes = reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(pinChars.get()));
        return callDriver(CP_Login, kMissingLogin, handleFromJava(session), ulongFromJava(userType), pinBytes,
                          static_cast<CK_ULONG>(std::strlen(pinChars.get())));
    }();
    return out.toJava(env);
}

// String LogOut(long session)
extern "C" JNIEXPORT jstring JNICALL Java_ka_tovik_selvo_jvarnel_JVarnel_LogOut(JNIEnv* env, jclass,
                                                                                jlong session) noexcept {
    return statusString(env, callDriver(CP_Logout, kMissingLogout, handleFromJava(session)));
}

// String CloseSession(long session)
extern "C" JNIEXPORT jstring JNICALL Java_ka_tovik_selvo_jvarnel_JVarnel_CloseSession(JNIEnv* env, jclass,
                                                                                      jlong session) noexcept {
    return statusString(env, callDriver(CP_CloseSession, kMissingCloseSession, handleFromJava(session)));
}
