// The driver binding and the library's lifecycle methods.
#include "varnel.h"

#include "entry_points.h"
#include "jni_frame.h"
#include "platform.h"
#include "status_codes.h"

#define VARNEL_DEFINE_ENTRY_POINT(name, code) CK_C_##name CP_##name = nullptr;
extern "C" {
VARNEL_ENTRY_POINTS(VARNEL_DEFINE_ENTRY_POINT)
}
#undef VARNEL_DEFINE_ENTRY_POINT

namespace varnel {
namespace {

// The driver module as the loader returned it; null before the first load and
// after a failed one. Never unloaded: methods may still hold entry points.
ModuleHandle libHandle = nullptr;

// V<major>_<minor>_<patch>, from the build.
constexpr char kLibraryVersion[] = VARNEL_VERSION_TEXT;

// Resolves the table in order and stops at the first missing entry point:
// rows before it point into the new driver, the row itself is null, and the
// rows after it keep what they held.
CK_RV resolveEntryPoints(ModuleHandle module) noexcept {
#define VARNEL_RESOLVE(name, code)                               \
    CP_##name = findEntryPoint<CK_C_##name>(module, "C_" #name); \
    if (!CP_##name) return code;
    VARNEL_ENTRY_POINTS(VARNEL_RESOLVE)
#undef VARNEL_RESOLVE
    return CKR_OK;
}

}  // namespace
}  // namespace varnel

using namespace varnel;

// String LoadDriver(String path)
extern "C" JNIEXPORT jstring JNICALL Java_ka_tovik_selvo_jvarnel_JVarnel_LoadDriver(JNIEnv* env, jclass,
                                                                                    jstring path) noexcept {
    return respond<StatusResult, DriverPaths>(env, [&](auto&, DriverPaths& room) -> Status {
        if (!path) return Status(kNullDriverPath);
        Utf8Chars chars(env, path);
        if (!chars) return Status::jvmFailure();
        // A path that names no driver leaves the entry points as they were.
        libHandle = openDriver(chars.get(), room);
        if (!libHandle) return Status(kDriverNotLoaded);
        return Status(resolveEntryPoints(libHandle));
    });
}

// String Initialize()
extern "C" JNIEXPORT jstring JNICALL Java_ka_tovik_selvo_jvarnel_JVarnel_Initialize(JNIEnv* env,
                                                                                    jclass) noexcept {
    // A null argument: no locking callbacks, so the caller serialises its calls.
    return respond<StatusResult>(
        env, [](auto&, auto&) -> Status { return Status(driver::Initialize().call(nullptr)); });
}

// String Finalize()
extern "C" JNIEXPORT jstring JNICALL Java_ka_tovik_selvo_jvarnel_JVarnel_Finalize(JNIEnv* env,
                                                                                  jclass) noexcept {
    return respond<StatusResult>(
        env, [](auto&, auto&) -> Status { return Status(driver::Finalize().call(nullptr)); });
}

// String[] GetVersion()
extern "C" JNIEXPORT jobjectArray JNICALL Java_ka_tovik_selvo_jvarnel_JVarnel_GetVersion(JNIEnv* env,
                                                                                         jclass) noexcept {
    return respond<TextResult<2, sizeof kLibraryVersion>>(env, [](auto& out, auto&) -> Status {
        out.setText(1, kLibraryVersion);
        return Status::success();
    });
}
