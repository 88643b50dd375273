// The driver entry points the library uses, in the order LoadDriver resolves
// them, each with the status reported when the driver lacks it: everything
// that walks the table expands this one list.
#pragma once

#include "cryptoki.h"
#include "visibility.h"

// VARNEL_ENTRY_POINTS(X): X(Name, missing code) per row, made by the build
// from src/entry-points.txt.
#include "entry_point_list.h"

// The entry-point table: process-wide, written only by LoadDriver. On POSIX
// these are global data symbols other code in the process may inspect.
#define VARNEL_DECLARE_ENTRY_POINT(name, code) VARNEL_API extern CK_C_##name CP_##name;
extern "C" {
VARNEL_ENTRY_POINTS(VARNEL_DECLARE_ENTRY_POINT)
}
#undef VARNEL_DECLARE_ENTRY_POINT

namespace varnel {

// One read of an entry point. A method makes all its driver calls through the
// value it read first, so a table rewritten in between (a driver calling
// LoadDriver back, or LoadDriver on another thread) cannot send a later call
// through a null pointer.
template <typename Function>
class EntryPoint {
public:
    constexpr EntryPoint(Function function, CK_RV missingCode) noexcept
        : function_(function), missingCode_(missingCode) {}

    // The driver's answer, or the entry point's missing code when LoadDriver
    // never resolved it.
    template <typename... Args>
    [[nodiscard]] CK_RV call(Args... args) const noexcept {
        return function_ ? function_(args...) : missingCode_;
    }

private:
    Function function_;
    CK_RV missingCode_;
};

// driver::Sign() and so on: the table row as it is now, with its missing code.
namespace driver {
#define VARNEL_READ_ENTRY_POINT(name, code) \
    inline EntryPoint<CK_C_##name> name() noexcept { return {CP_##name, code}; }
VARNEL_ENTRY_POINTS(VARNEL_READ_ENTRY_POINT)
#undef VARNEL_READ_ENTRY_POINT
}  // namespace driver

}  // namespace varnel
