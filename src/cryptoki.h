// Standard Cryptoki declarations. p11-kit's header packs structures on Windows
// as the standard requires there, and keeps the platform's CK_ULONG width.
#pragma once

#include <p11-kit/pkcs11.h>
