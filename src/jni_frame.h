// respond(), the one shape of every native method's body, and the stack check
// that comes before a body whose buffers are large.
#pragma once

#include <jni.h>

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "java_args.h"
#include "platform.h"
#include "results.h"
#include "status.h"

namespace varnel {

// Nothing beyond the result.
struct NoScratch {};

// Room below a method's frame for the driver's own calls and the JVM's.
constexpr std::size_t kCalleeStackRoom = 16 * 1024;
// Frames up to this size fit the stack the JVM keeps free for native code.
constexpr std::size_t kFrameWithinJvmReserve = 4 * 1024;

// Whether the calling thread has `frameBytes` of stack, and room for the
// calls below them, before the guard zones.
[[nodiscard]] inline bool stackHasRoom(std::size_t frameBytes) noexcept {
    const std::uintptr_t lowest = lowestUsableStackAddress();
    if (lowest == 0) return true;  // unknown: as the JVM left it
    const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    return here > lowest && here - lowest >= frameBytes + kCalleeStackRoom;
}

namespace detail {

template <typename Result, typename Scratch, typename Body>
auto respondHere(JNIEnv* env, Body& body) noexcept {
    Result out;
    Scratch scratch;
    const Status status = body(out, scratch);
    return out.toJava(env, status);
}

// Out of line, so that the result and the scratch buffers are taken only
// once the stack is known to hold them.
template <typename Result, typename Scratch, typename Body>
__attribute__((noinline)) auto respondInOwnFrame(JNIEnv* env, Body& body) noexcept {
    return respondHere<Result, Scratch>(env, body);
}

}  // namespace detail

// The shape of every native method: `body(out, scratch) -> Status` checks
// and converts the Java arguments, calls the driver, fills `out` (and may use
// `scratch`) and returns the status. Every guard it took has given back what
// it held before the result is built, last, at full length. A method whose
// result and scratch need more stack than the thread has left answers
// CKR_HOST_MEMORY without running the body, rather than write past the guard
// zones.
template <typename Result, typename Scratch = NoScratch, typename Body>
auto respond(JNIEnv* env, Body&& body) noexcept {
    static_assert(std::is_same_v<decltype(body(std::declval<Result&>(), std::declval<Scratch&>())), Status>,
                  "a body takes the result and the scratch and returns a Status");
    constexpr std::size_t kFrameBytes = sizeof(Result) + sizeof(Scratch);
    if constexpr (kFrameBytes > kFrameWithinJvmReserve) {
        if (!stackHasRoom(kFrameBytes)) return Result::withoutStack(env);
        return detail::respondInOwnFrame<Result, Scratch>(env, body);
    } else {
        return detail::respondHere<Result, Scratch>(env, body);
    }
}

}  // namespace varnel
