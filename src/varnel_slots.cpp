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

// The 19 elements of the token description.
enum TokenElement : int {
    kLabel = 1,
    kManufacturer,
    kModel,
    kSerialNumber,
    kMaxSessionCount,  // then the nine other counters in the structure's order
    kHardwareVersion = 15,
    kFirmwareVersion,
    kUtcTime,
    kFlags,
    kTokenElements
};

constexpr std::size_t kVersionTextSize = 8;  // "255.255"

// Every element's room takes the largest: the label, each byte of which may
// become a three-byte U+FFFD.
using TokenDescription = TextResult<kTokenElements, convertedTextSize(sizeof CK_TOKEN_INFO{}.label)>;

// A figure the token marks unavailable (all bits set) reads as 0, like a
// zero figure.
void setCounter(TokenDescription& out, int index, CK_ULONG value) noexcept {
    out.setHandle(index, value == CK_UNAVAILABLE_INFORMATION ? 0 : value);
}

// "major.minor", each byte unsigned: minor 10 reads 1.10.
void setVersion(TokenDescription& out, int index, CK_VERSION version) noexcept {
    char digits[kVersionTextSize];
    char* const end = digits + sizeof digits - 1;
    *end = '\0';
    char* first = decimalDigits(end, static_cast<unsigned int>(version.minor));
    *--first = '.';
    first = decimalDigits(first, static_cast<unsigned int>(version.major));
    char text[kVersionTextSize] = {};
    std::memcpy(text, first, static_cast<std::size_t>(end - first));
    out.setText(index, text);
}

}  // namespace

// String[] GetSlotList(int tokenPresent)
extern "C" JNIEXPORT jobjectArray JNICALL
Java_ka_tovik_selvo_jvarnel_JVarnel_GetSlotList(JNIEnv* env, jclass, jint tokenPresent) noexcept {
    return respond<TextResult<kSlotListRoom + 1, kHandleTextSize>>(env, [&](auto& out, auto&) -> Status {
        CK_SLOT_ID slots[kSlotListRoom] = {};
        CK_ULONG count = 0;
        const auto getSlotList = driver::GetSlotList();
        // The first call always counts the slots holding a token: the list
        // is then sized for those, whatever tokenPresent says.
        CK_RV rv = getSlotList.call(CK_TRUE, nullptr, &count);
        if (rv == CKR_OK && (count == 0 || count > kMostSlotsListed)) rv = kSlotCountOutOfRange;
        CK_ULONG filled = 0;  // entries of `slots` the driver wrote
        if (rv == CKR_OK) {
            const CK_ULONG room = count;
            rv = getSlotList.call(tokenPresent ? CK_TRUE : CK_FALSE, slots, &count);
            if (rv == CKR_OK) filled = count < room ? count : room;
        }
        // The array follows the driver's count, but never reads past the list.
        out.setLength(static_cast<int>((count < kSlotListRoom ? count : kSlotListRoom) + 1));
        for (CK_ULONG i = 0; i < filled; ++i) out.setHandle(static_cast<int>(i + 1), slots[i]);
        return Status(rv);
    });
}

// String[] GetTokenInfo(int slotID)
extern "C" JNIEXPORT jobjectArray JNICALL
Java_ka_tovik_selvo_jvarnel_JVarnel_GetTokenInfo(JNIEnv* env, jclass, jint slotID) noexcept {
    return respond<TokenDescription>(env, [&](auto& out, auto&) -> Status {
        CK_TOKEN_INFO info;
        std::memset(&info, 0, sizeof info);
        const CK_RV rv = driver::GetTokenInfo().call(ulongFromJava(slotID), &info);
        if (rv != CKR_OK) return Status(rv);

        out.setField(kLabel, info.label);
        out.setField(kManufacturer, info.manufacturerID);
        out.setField(kModel, info.model);
        out.setField(kSerialNumber, info.serialNumber);
        const CK_ULONG counters[] = {info.ulMaxSessionCount,    info.ulSessionCount,
                                     info.ulMaxRwSessionCount,  info.ulRwSessionCount,
                                     info.ulMaxPinLen,          info.ulMinPinLen,
                                     info.ulTotalPublicMemory,  info.ulFreePublicMemory,
                                     info.ulTotalPrivateMemory, info.ulFreePrivateMemory};
        for (std::size_t i = 0; i < std::size(counters); ++i)
            setCounter(out, kMaxSessionCount + static_cast<int>(i), counters[i]);
        setVersion(out, kHardwareVersion, info.hardwareVersion);
        setVersion(out, kFirmwareVersion, info.firmwareVersion);
        out.setField(kUtcTime, info.utcTime);
        setCounter(out, kFlags, info.flags);
        return Status::success();
    });
}

// String[] OpenSession(int slotID, int flags)
extern "C" JNIEXPORT jobjectArray JNICALL
Java_ka_tovik_selvo_jvarnel_JVarnel_OpenSession(JNIEnv* env, jclass, jint slotID, jint flags) noexcept {
    return respond<HandleResult<1>>(env, [&](auto& out, auto&) -> Status {
        return Status(driver::OpenSession().call(ulongFromJava(slotID), ulongFromJava(flags), nullptr,
                                                 nullptr, &out.handles[0]));
    });
}

// String Login(long session, int userType, String pin)
extern "C" JNIEXPORT jstring JNICALL Java_ka_tovik_selvo_jvarnel_JVarnel_Login(JNIEnv* env, jclass,
                                                                               jlong session, jint userType,
                                                                               jstring pin) noexcept {
    return respond<StatusResult>(env, [&](auto&, auto&) -> Status {
        if (!pin) return Status(kNullPin);
        // Released as the body returns, before the status string is made.
        Utf8Chars pinChars(env, pin);
        if (!pinChars) return Status::jvmFailure();
        return Status(driver::Login().call(handleFromJava(session), ulongFromJava(userType), pinChars.bytes(),
                                           pinChars.length()));
    });
}

// String LogOut(long session)
extern "C" JNIEXPORT jstring JNICALL Java_ka_tovik_selvo_jvarnel_JVarnel_LogOut(JNIEnv* env, jclass,
                                                                                jlong session) noexcept {
    return respond<StatusResult>(
        env, [&](auto&, auto&) -> Status { return Status(driver::Logout().call(handleFromJava(session))); });
}

// String CloseSession(long session)
extern "C" JNIEXPORT jstring JNICALL
Java_ka_tovik_selvo_jvarnel_JVarnel_CloseSession(JNIEnv* env, jclass, jlong session) noexcept {
    return respond<StatusResult>(env, [&](auto&, auto&) -> Status {
        return Status(driver::CloseSession().call(handleFromJava(session)));
    });
}
