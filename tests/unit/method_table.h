// The 26 native methods of JVarnel, in the order of their Java declarations:
// each with the arguments it is called with on its success path (the inputs
// the benchmark times) and the reads it makes of its string and byte-array
// arguments through JNI. The benchmark's floor (bench/native/floor.cpp) is
// made from this table, and the unit suite checks it against the library.
#pragma once

#include <jni.h>

#include <functional>
#include <iterator>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

// VARNEL_JAVA_METHODS(X): X(Name) per native method, in the table's order.
// clang-format off
#define VARNEL_JAVA_METHODS(X)                                                                      \
    X(LoadDriver) X(Initialize) X(Finalize) X(GetVersion) X(GetSlotList) X(GetTokenInfo)            \
    X(OpenSession) X(Login) X(LogOut) X(CloseSession) X(FindObjectsInit) X(FindObjects)             \
    X(FindObjectsFinal) X(GetAttributeValue) X(SetAttributeValue) X(DestroyObject)                  \
    X(GenerateKeyPair) X(GenerateKey) X(SignInit) X(Sign) X(EncryptInit) X(Encrypt) X(DecryptInit) \
    X(Decrypt) X(WrapKey) X(UnwrapKey)
// clang-format on

namespace methods {

using Strings = std::vector<std::string>;

// kLoadDriver ... kUnwrapKey: a method's row in kMethods.
#define VARNEL_METHOD_ID(name) k##name,
enum Id { VARNEL_JAVA_METHODS(VARNEL_METHOD_ID) kCount };
#undef VARNEL_METHOD_ID

struct Method {
    const char* name;
    // The Java arguments in order, as text: a number in decimal, a string's
    // modified UTF-8, a byte array's bytes. LoadDriver's path is left empty
    // for the caller to name its driver.
    Strings arguments;
    // What the method does with its string and byte-array arguments, in
    // order: n takes argument n (GetStringUTFChars, or GetArrayLength then
    // GetByteArrayElements), -n gives it back (ReleaseStringUTFChars, or
    // ReleaseByteArrayElements with JNI_ABORT), 0 loads the driver named by
    // the string held (LoadDriver's own work, which the floor repeats).
    std::vector<int> reads;
};

// 32 bytes to sign or encrypt; an RSA-2048 cipher text or wrapped key as
// Base64 (344 characters, 256 bytes); the public exponent 65537.
inline const std::string kData = "thirty-two bytes of plain text!!";
inline const std::string kBase64Text = std::string(340, 'Q') + "QQ==";
inline const std::string kExponent("\1\0\1", 3);

inline const Method kMethods[] = {
    {"LoadDriver", {""}, {1, 0, -1}},
    {"Initialize", {}, {}},
    {"Finalize", {}, {}},
    {"GetVersion", {}, {}},
    {"GetSlotList", {"1"}, {}},
    {"GetTokenInfo", {"0"}, {}},
    {"OpenSession", {"0", "6"}, {}},
    {"Login", {"1", "1", "1234"}, {3, -3}},
    {"LogOut", {"1"}, {}},
    {"CloseSession", {"1"}, {}},
    {"FindObjectsInit", {"1", "bench-rsa", "0"}, {2, -2}},
    {"FindObjects", {"1"}, {}},
    {"FindObjectsFinal", {"1"}, {}},
    {"GetAttributeValue", {"1", "2", "modulus"}, {3, -3}},
    {"SetAttributeValue", {"1", "2", "3", "bench-rsa"}, {4, -4}},
    {"DestroyObject", {"1", "2"}, {}},
    {"GenerateKeyPair", {"1", "bench-rsa", "2048", kExponent, "3"}, {4, 2, -2, -4}},
    {"GenerateKey", {"1", "0"}, {}},
    {"SignInit", {"1", "2"}, {}},
    {"Sign", {"1", kData, "32"}, {2, -2}},
    {"EncryptInit", {"1", "2", "rsapkcs"}, {3, -3}},
    {"Encrypt", {"1", kData, "32"}, {2, -2}},
    {"DecryptInit", {"1", "2", "rsapkcs"}, {3, -3}},
    {"Decrypt", {"1", kBase64Text, "344"}, {2, -2}},
    {"WrapKey", {"1", "rsapkcs", "2", "4"}, {2, -2}},
    {"UnwrapKey", {"1", kBase64Text, "2", "rsapkcs"}, {4, -4, 2, -2}},
};
static_assert(std::size(kMethods) == kCount, "a row per method");

namespace detail {

template <typename P, typename Jvm>
P javaValue(Jvm& jvm, const std::string& text, size_t index) {
    const std::string name = "arg " + std::to_string(index + 1);
    if constexpr (std::is_same_v<P, jstring>)
        return jvm.string(text, name);
    else if constexpr (std::is_same_v<P, jbyteArray>)
        return jvm.byteArray(std::vector<unsigned char>(text.begin(), text.end()), name);
    else
        return static_cast<P>(std::stoll(text));
}

template <typename Jvm, typename R, typename... P, size_t... I>
std::function<jobject()> bind(Jvm& jvm, R(JNICALL* function)(JNIEnv*, jclass, P...), const Strings& arguments,
                              std::index_sequence<I...>) {
    JNIEnv* env = jvm.env();
    return [env, function, values = std::make_tuple(javaValue<P>(jvm, arguments.at(I), I)...)] {
        return static_cast<jobject>(function(env, nullptr, std::get<I>(values)...));
    };
}

}  // namespace detail

// `function`, a native method of JVarnel's type (the library's, or the
// floor's), bound to `arguments` made into Java values on `jvm` (the unit
// suite's FakeJvm) beforehand, each string and byte array named "arg N":
// calling it makes the call and nothing else.
struct Bound {
    std::function<jobject()> call;
    bool answersArray;
};
template <typename Jvm, typename R, typename... P>
Bound bind(Jvm& jvm, R(JNICALL* function)(JNIEnv*, jclass, P...), const Strings& arguments) {
    return {detail::bind(jvm, function, arguments, std::index_sequence_for<P...>()),
            std::is_same_v<R, jobjectArray>};
}

// What a bound method answered, as texts; a status string as the only one.
template <typename Jvm>
Strings texts(Jvm& jvm, const Bound& method, jobject answer) {
    if (method.answersArray) return jvm.texts(static_cast<jobjectArray>(answer));
    return {jvm.text(answer)};
}

// Binds and calls `function` once; answers what it answered.
template <typename Jvm, typename R, typename... P>
Strings call(Jvm& jvm, R(JNICALL* function)(JNIEnv*, jclass, P...), const Strings& arguments) {
    if (arguments.size() != sizeof...(P)) return {"<" + std::to_string(arguments.size()) + " arguments>"};
    const Bound method = bind(jvm, function, arguments);
    return texts(jvm, method, method.call());
}

}  // namespace methods
