// Loading the driver module: the one place the platforms differ.
#pragma once

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
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
#else
using ModuleHandle = void*;

inline ModuleHandle openModule(const char* path) noexcept { return dlopen(path, RTLD_NOW); }

template <typename Function>
inline Function findEntryPoint(ModuleHandle module, const char* name) noexcept {
    return reinterpret_cast<Function>(dlsym(module, name));
}
#endif

}  // namespace varnel
