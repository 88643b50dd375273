// How a method's work ended.
#pragma once

#include "cryptoki.h"

namespace varnel {

// A status for Java, or a JVM call that failed, after which the method
// returns null and leaves the JVM's own error pending. A JVM failure is not
// ok(), so a step that stops on failure stops on it too, and it converts to
// no CK_RV. Made only from a CK_RV, explicitly, or by a named factory: a
// bool or a count never passes for a status.
class [[nodiscard]] Status {
public:
    constexpr explicit Status(CK_RV rv) noexcept : rv_(rv), jvmFailed_(false) {}
    template <typename Other>
    Status(Other) = delete;
    static constexpr Status success() noexcept { return Status(CKR_OK); }
    static constexpr Status jvmFailure() noexcept { return Status(CKR_OK, true); }

    constexpr bool ok() const noexcept { return rv_ == CKR_OK && !jvmFailed_; }
    constexpr bool jvmFailed() const noexcept { return jvmFailed_; }
    constexpr CK_RV rv() const noexcept { return rv_; }

private:
    constexpr Status(CK_RV rv, bool jvmFailed) noexcept : rv_(rv), jvmFailed_(jvmFailed) {}
    CK_RV rv_;
    bool jvmFailed_;
};

}  // namespace varnel
