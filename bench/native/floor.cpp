// The floor of every native method, made from the method table: a function
// of the library's type that takes and gives back its arguments as the
// table's reads say, then answers the library's texts the way the library's
// results do (results.cpp), and calls no driver. The unit suite
// (floor_test.cpp) checks on its fake JVM that each makes the library's JNI
// calls, one by one; the benchmark binds them to a second copy of JVarnel.
#include "floor.h"

#include <cstdlib>
#include <type_traits>

#include "method_table.h"
#include "varnel.h"
#if defined(__linux__)
#include <dlfcn.h>

#include "entry_point_list.h"
#endif

namespace {

std::vector<std::string> answers[methods::kCount];
void* volatile resolved;  // kept, so that the lookups stay

// What LoadDriver does besides JNI: open the module and resolve its entry points.
void loadDriver(const char* path) {
#if defined(__linux__)
    if (void* module = dlopen(path, RTLD_NOW)) {
#define VARNEL_RESOLVE(name, code) resolved = dlsym(module, "C_" #name);
        VARNEL_ENTRY_POINTS(VARNEL_RESOLVE)
#undef VARNEL_RESOLVE
    }
#else
    (void)path;
#endif
}

// One method's JNI calls. `kinds` has the JNI letter of every argument.
jobject run(JNIEnv* env, int method, const jobject* arguments, const char* kinds, bool array) noexcept {
    const char* chars[8] = {};
    jbyte* bytes[8] = {};
    for (int read : methods::kMethods[method].reads) {
        const int n = std::abs(read) - 1;
        if (read == 0) {
            loadDriver(chars[0]);
        } else if (kinds[n] == 'S') {
            auto string = static_cast<jstring>(arguments[n]);
            if (read < 0)
                env->ReleaseStringUTFChars(string, chars[n]);
            else if (!(chars[n] = env->GetStringUTFChars(string, nullptr)))
                return nullptr;
        } else {
            auto data = static_cast<jbyteArray>(arguments[n]);
            if (read < 0) {
                env->ReleaseByteArrayElements(data, bytes[n], JNI_ABORT);
            } else {
                (void)env->GetArrayLength(data);
                if (!(bytes[n] = env->GetByteArrayElements(data, nullptr))) return nullptr;
            }
        }
    }
    const std::vector<std::string>& texts = answers[method];
    if (!array) return env->NewStringUTF(texts.empty() ? "" : texts[0].c_str());
    jclass stringClass = env->FindClass("java/lang/String");
    if (!stringClass) return nullptr;
    jstring empty = env->NewStringUTF("");
    if (!empty) return nullptr;
    jobjectArray result = env->NewObjectArray(static_cast<jsize>(texts.size()), stringClass, empty);
    if (!result) return nullptr;
    for (size_t i = 0; i < texts.size(); ++i) {
        jstring element = env->NewStringUTF(texts[i].c_str());
        if (!element) return nullptr;
        env->SetObjectArrayElement(result, static_cast<jsize>(i), element);
        env->DeleteLocalRef(element);
    }
    return result;
}

template <typename P>
constexpr char kindOf() {
    return std::is_same_v<P, jstring>      ? 'S'
           : std::is_same_v<P, jbyteArray> ? 'B'
           : std::is_same_v<P, jlong>      ? 'J'
                                           : 'I';
}

template <typename P>
jobject reference(P value) {
    if constexpr (std::is_pointer_v<P>)
        return value;
    else
        return nullptr;
}

// The floor of method M, whose library function has type F.
template <int M, typename F>
struct Floor;

template <int M, typename R, typename... P>
struct Floor<M, R(JNICALL*)(JNIEnv*, jclass, P...) noexcept> {
    static constexpr char kinds[] = {kindOf<P>()..., 0};

    static R JNICALL method(JNIEnv* env, jclass, P... arguments) noexcept {
        const jobject references[] = {reference(arguments)..., nullptr};
        return static_cast<R>(run(env, M, references, kinds, std::is_same_v<R, jobjectArray>));
    }

    static std::string signature() {
        std::string text = "(";
        for (const char* kind = kinds; *kind; ++kind)
            text += *kind == 'S' ? "Ljava/lang/String;" : *kind == 'B' ? "[B" : std::string(1, *kind);
        return text + (std::is_same_v<R, jobjectArray> ? ")[Ljava/lang/String;" : ")Ljava/lang/String;");
    }
};

}  // namespace

const std::vector<JNINativeMethod>& floorMethods() {
    static const std::vector<std::string> signatures = {
#define VARNEL_SIGNATURE(name) \
    Floor<methods::k##name, decltype(&Java_ka_tovik_selvo_jvarnel_JVarnel_##name)>::signature(),
        VARNEL_JAVA_METHODS(VARNEL_SIGNATURE)
#undef VARNEL_SIGNATURE
    };
    static const std::vector<JNINativeMethod> table = {
#define VARNEL_FLOOR(name)                                                              \
    {const_cast<char*>(#name), const_cast<char*>(signatures[methods::k##name].c_str()), \
     reinterpret_cast<void*>(                                                           \
         &Floor<methods::k##name, decltype(&Java_ka_tovik_selvo_jvarnel_JVarnel_##name)>::method)},
        VARNEL_JAVA_METHODS(VARNEL_FLOOR)
#undef VARNEL_FLOOR
    };
    return table;
}

void floorAnswer(int method, std::vector<std::string> texts) { answers[method] = std::move(texts); }

#if defined(VARNEL_FLOOR_LIBRARY)
// In a JVM: the library the bench's second copy of JVarnel loads. It binds
// the floor to that class, and to FloorTable the table's rows and the
// answers.
namespace {

// String[] FloorTable.row(int method): the name, then the arguments; null
// past the last method. A byte argument becomes the char of that code.
jobjectArray JNICALL row(JNIEnv* env, jclass, jint method) {
    if (method < 0 || method >= methods::kCount) return nullptr;
    const methods::Method& m = methods::kMethods[method];
    jclass stringClass = env->FindClass("java/lang/String");
    jobjectArray texts = stringClass ? env->NewObjectArray(static_cast<jsize>(m.arguments.size() + 1),
                                                           stringClass, env->NewStringUTF(m.name))
                                     : nullptr;
    for (size_t i = 0; texts && i < m.arguments.size(); ++i) {
        std::vector<jchar> chars(m.arguments[i].begin(), m.arguments[i].end());
        for (jchar& c : chars) c &= 0xFF;
        env->SetObjectArrayElement(texts, static_cast<jsize>(i + 1),
                                   env->NewString(chars.data(), static_cast<jsize>(chars.size())));
    }
    return texts;
}

// void FloorTable.answer(int method, String[] texts)
void JNICALL answer(JNIEnv* env, jclass, jint method, jobjectArray texts) {
    std::vector<std::string> copied;
    for (jsize i = 0; i < env->GetArrayLength(texts); ++i) {
        auto text = static_cast<jstring>(env->GetObjectArrayElement(texts, i));
        const char* chars = env->GetStringUTFChars(text, nullptr);
        copied.emplace_back(chars);
        env->ReleaseStringUTFChars(text, chars);
    }
    if (method >= 0 && method < methods::kCount) floorAnswer(method, std::move(copied));
}

}  // namespace

extern "C" JNIEXPORT jint JNICALL JNI_OnLoad(JavaVM* vm, void*) {
    JNIEnv* env = nullptr;
    if (vm->GetEnv(reinterpret_cast<void**>(&env), JNI_VERSION_1_8) != JNI_OK) return JNI_ERR;
    const JNINativeMethod helpers[] = {
        {const_cast<char*>("row"), const_cast<char*>("(I)[Ljava/lang/String;"),
         reinterpret_cast<void*>(&row)},
        {const_cast<char*>("answer"), const_cast<char*>("(I[Ljava/lang/String;)V"),
         reinterpret_cast<void*>(&answer)}};
    jclass varnel = env->FindClass("ka/tovik/selvo/jvarnel/JVarnel");
    jclass table = varnel ? env->FindClass("ka/tovik/selvo/jvarnel/bench/FloorTable") : nullptr;
    if (!table || env->RegisterNatives(varnel, floorMethods().data(), methods::kCount) != 0 ||
        env->RegisterNatives(table, helpers, 2) != 0)
        return JNI_ERR;
    return JNI_VERSION_1_8;
}
#endif
