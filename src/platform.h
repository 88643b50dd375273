// What differs between the platforms: loading the driver module, and the
// extent of the calling thread's stack.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <limits.h>
#include <pthread.h>
#endif

namespace varnel {

// HotSpot keeps guard zones at the bottom of a Java thread's stack (and of a
// thread attached to it): reserved, yellow and red. Each is set in units of
// 4 KB (-XX:StackReservedPages, -XX:StackYellowPages, -XX:StackRedPages) and
// rounded up to whole pages on its own. The largest each flag accepts, which
// the check assumes, since the library cannot read the JVM's flags: red 1-3,
// yellow 2-7 (3-8 on Windows), reserved 0-11 (0-10 on Windows).
struct GuardZones {
    std::size_t red;
    std::size_t yellow;
    std::size_t reserved;
};
#if defined(_WIN32)
constexpr GuardZones kLargestGuardZones = {3, 8, 10};
#else
constexpr GuardZones kLargestGuardZones = {3, 7, 11};
#endif

constexpr std::size_t roundUpToPage(std::size_t bytes, std::size_t pageSize) noexcept {
    return (bytes + pageSize - 1) / pageSize * pageSize;
}

// The bytes of the zones at pages of `pageSize` bytes.
constexpr std::size_t guardZoneBytes(GuardZones zones, std::size_t pageSize) noexcept {
    constexpr std::size_t kUnit = 4096;
    return roundUpToPage(zones.red * kUnit, pageSize) + roundUpToPage(zones.yellow * kUnit, pageSize) +
           roundUpToPage(zones.reserved * kUnit, pageSize);
}

// The lowest address a thread whose stack starts at `bottom` may reach
// without touching the guard zones; 0 for an unknown bottom. Windows keeps a
// guard page of its own below the JVM's zones.
constexpr std::uintptr_t lowestUsableAddress(std::uintptr_t bottom, std::size_t pageSize) noexcept {
#if defined(_WIN32)
    constexpr std::size_t kSystemGuardPages = 1;
#else
    constexpr std::size_t kSystemGuardPages = 0;
#endif
    return bottom ? bottom + guardZoneBytes(kLargestGuardZones, pageSize) + kSystemGuardPages * pageSize : 0;
}

#if defined(_WIN32)
using ModuleHandle = HMODULE;

template <typename Function>
inline Function findEntryPoint(ModuleHandle module, const char* name) noexcept {
    // Through void*: FARPROC's own type says nothing about the real signature.
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// The bottom of the calling thread's reserved stack, or 0: the base of the
// reservation that holds this frame. VirtualQuery exists on every Windows;
// GetCurrentThreadStackLimits only from Windows 8 on.
inline std::uintptr_t lookUpStackBottom() noexcept {
    MEMORY_BASIC_INFORMATION region = {};
    if (VirtualQuery(&region, &region, sizeof region) != sizeof region) return 0;
    return reinterpret_cast<std::uintptr_t>(region.AllocationBase);
}

inline std::uintptr_t threadStackBottom() noexcept { return lookUpStackBottom(); }

struct DriverPaths {};
inline std::size_t pageSize() noexcept { return 4096; }
#else
using ModuleHandle = void*;

template <typename Function>
inline Function findEntryPoint(ModuleHandle module, const char* name) noexcept {
    return reinterpret_cast<Function>(dlsym(module, name));
}

// The bottom of the calling thread's stack as the C library knows it, or 0.
// Allocates; for the process's first thread it reads /proc/self/maps.
inline std::uintptr_t lookUpStackBottom() noexcept {
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) return 0;
    void* address = nullptr;
    std::size_t size = 0;
    const bool known = pthread_attr_getstack(&attributes, &address, &size) == 0;
    pthread_attr_destroy(&attributes);
    return known ? reinterpret_cast<std::uintptr_t>(address) : 0;
}

// The bottom, looked up once per thread (a thread's stack never moves) and
// kept in a thread-specific slot of the C library rather than in thread_local
// storage, whose lookup the dynamic linker would provide: the library needs
// nothing but the C library. The key is given back when the library is
// unloaded. A failed lookup is not kept, so the next call tries again; without
// a key every call looks up.
namespace stackslot {
extern pthread_key_t key;
extern std::atomic<int> state;  // kUnmade, kMade or kNone
constexpr int kUnmade = 0;
constexpr int kMade = 1;
constexpr int kNone = 2;
void make() noexcept;
}  // namespace stackslot

inline std::uintptr_t threadStackBottom() noexcept {
    int state = stackslot::state.load(std::memory_order_acquire);
    if (state == stackslot::kUnmade) {
        stackslot::make();
        state = stackslot::state.load(std::memory_order_acquire);
    }
    if (state != stackslot::kMade) return lookUpStackBottom();
    auto bottom = reinterpret_cast<std::uintptr_t>(pthread_getspecific(stackslot::key));
    if (bottom == 0) {
        bottom = lookUpStackBottom();
        if (bottom) pthread_setspecific(stackslot::key, reinterpret_cast<void*>(bottom));
    }
    return bottom;
}

// Room for the paths LoadDriver works out before the loader gets one: on the
// stack, like every buffer of a call.
struct DriverPaths {
    char candidate[PATH_MAX];
    char real[PATH_MAX];
    alignas(Dl_serinfo) unsigned char search[4096];
};

// The page size, read when the library is loaded.
extern const std::size_t systemPageSize;
inline std::size_t pageSize() noexcept { return systemPageSize; }
#endif

// The driver module, or null where the path names none: empty, not a regular
// file wherever the loader would open it, or a file the loader refuses. The
// paths worked out on the way are written into `room`.
ModuleHandle openDriver(const char* path, DriverPaths& room) noexcept;

// The lowest address the calling thread's frames may reach without touching
// the guard zones, or 0 when the platform cannot tell.
inline std::uintptr_t lowestUsableStackAddress() noexcept {
    return lowestUsableAddress(threadStackBottom(), pageSize());
}

}  // namespace varnel
