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
#include <pthread.h>
#include <sys/stat.h>
#endif

namespace varnel {

#if defined(_WIN32)
using ModuleHandle = HMODULE;

inline ModuleHandle openModule(const char* path) noexcept { return LoadLibraryA(path); }

template <typename Function>
inline Function findEntryPoint(ModuleHandle module, const char* name) noexcept {
    // Through void*: FARPROC's own type says nothing about the real signature.
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// A directory or a device is never a module.
inline bool mayBeModule(const char* path) noexcept {
    const DWORD attributes = GetFileAttributesA(path);
    return attributes == INVALID_FILE_ATTRIBUTES ||
           !(attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE));
}

// The JVM keeps its guard zones at the bottom of the thread's reserved stack,
// below them Windows its own guard page.
constexpr std::size_t kStackGuardBytes = 6 * 4096;

// The bottom of the calling thread's reserved stack, or 0. Read from the
// thread's own record: cheap, and nothing to keep.
inline std::uintptr_t threadStackBottom() noexcept {
    ULONG_PTR low = 0;
    ULONG_PTR high = 0;
    GetCurrentThreadStackLimits(&low, &high);
    return low;
}
#else
using ModuleHandle = void*;

inline ModuleHandle openModule(const char* path) noexcept { return dlopen(path, RTLD_NOW); }

template <typename Function>
inline Function findEntryPoint(ModuleHandle module, const char* name) noexcept {
    return reinterpret_cast<Function>(dlsym(module, name));
}

// Only a regular file (after symbolic links) can be a module. dlopen of a
// FIFO blocks in open() holding the loader's lock, which stops every thread
// of the JVM; a device or a directory is no module either. A path that does
// not exist is left to the loader, and so is a bare name, which the loader
// looks up in its search path.
inline bool mayBeModule(const char* path) noexcept {
    struct stat file;
    return !std::strchr(path, '/') || stat(path, &file) != 0 || S_ISREG(file.st_mode);
}

// HotSpot's guard zones at the bottom of a Java thread's stack: on x86 one
// reserved, two yellow and one red page.
constexpr std::size_t kStackGuardBytes = 4 * 4096;

// The bottom of the calling thread's stack, or 0. Looked up once per thread,
// since the lookup allocates and a thread's stack never moves, and kept in a
// thread-specific slot of the C library rather than in thread_local storage,
// whose lookup the dynamic linker would provide: the library needs nothing but
// the C library. The slot holds the bottom, or kStackUnknown; a new thread's
// slot reads null.
namespace stackslot {
inline pthread_key_t key;
inline pthread_once_t once = PTHREAD_ONCE_INIT;
inline bool usable = false;
inline std::atomic<bool> created{false};  // spares the call to pthread_once once it ran
inline void create() noexcept {
    usable = pthread_key_create(&key, nullptr) == 0;
    created.store(true, std::memory_order_release);
}
constexpr std::uintptr_t kStackUnknown = 1;

inline std::uintptr_t lookUp() noexcept {
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) return kStackUnknown;
    void* address = nullptr;
    std::size_t size = 0;
    const bool known = pthread_attr_getstack(&attributes, &address, &size) == 0 && address;
    pthread_attr_destroy(&attributes);
    return known ? reinterpret_cast<std::uintptr_t>(address) : kStackUnknown;
}
}  // namespace stackslot

inline std::uintptr_t threadStackBottom() noexcept {
    if (!stackslot::created.load(std::memory_order_acquire))
        pthread_once(&stackslot::once, stackslot::create);
    if (!stackslot::usable) return 0;
    auto bottom = reinterpret_cast<std::uintptr_t>(pthread_getspecific(stackslot::key));
    if (bottom == 0) {
        bottom = stackslot::lookUp();
        pthread_setspecific(stackslot::key, reinterpret_cast<void*>(bottom));
    }
    return bottom == stackslot::kStackUnknown ? 0 : bottom;
}
#endif

// The lowest address the calling thread's frames may reach without touching
// the guard zones, or 0 when the platform cannot tell.
inline std::uintptr_t lowestUsableStackAddress() noexcept {
    const std::uintptr_t bottom = threadStackBottom();
    return bottom ? bottom + kStackGuardBytes : 0;
}

}  // namespace varnel
