// The library's own status codes. Driver return values pass through
// unchanged; these come only from checks the library makes itself. Codes for
// a missing entry point live with the entry-point list.
#pragma once

#include "cryptoki.h"

namespace varnel {

// Driver binding.
constexpr CK_RV kDriverNotLoaded = 10001;
constexpr CK_RV kNullDriverPath = 10033;

// Slots and object search.
constexpr CK_RV kNoObjectFound = 10030;
constexpr CK_RV kSlotCountOutOfRange = 10031;
constexpr CK_RV kUnknownSearchKind = 10050;

// Null or out-of-range Java arguments.
constexpr CK_RV kNullPin = 10034;
constexpr CK_RV kBadData = 10035;
constexpr CK_RV kNullLabel = 10036;
constexpr CK_RV kNullAttributeName = 10038;
constexpr CK_RV kUnknownAttributeName = 10044;
constexpr CK_RV kBadPublicExponent = 10045;
constexpr CK_RV kNullMechanismName = 10055;
constexpr CK_RV kNullWrappedKey = 10062;
constexpr CK_RV kUnknownMechanismName = 10064;
constexpr CK_RV kDataTooLong = 10065;
constexpr CK_RV kWrappedKeyTooLong = 10066;

// Output that does not fit its buffer, or input that does not decode.
constexpr CK_RV kSignatureOrWrappedKeyTooLong = 10037;
constexpr CK_RV kModulusTooLong = 10041;
constexpr CK_RV kExponentTooLong = 10046;
constexpr CK_RV kCertificateTooLong = 10049;
constexpr CK_RV kCipherTextTooLong = 10057;
constexpr CK_RV kPlainTextTooLong = 10058;
constexpr CK_RV kBadBase64 = 10063;

}  // namespace varnel
