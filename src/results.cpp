// The two builders every native method ends with.
#include "results.h"

namespace varnel {

jstring statusString(JNIEnv* env, Status status) noexcept {
    if (status.jvmFailed()) return nullptr;
    char text[kStatusTextSize];
    formatStatus(text, status.rv());
    return env->NewStringUTF(text);
}

jobjectArray resultArray(JNIEnv* env, Status status, int length, const char* const* texts) noexcept {
    if (status.jvmFailed()) return nullptr;
    jclass stringClass = env->FindClass("java/lang/String");
    if (!stringClass) return nullptr;
    jstring empty = env->NewStringUTF("");
    if (!empty) return nullptr;
    jobjectArray array = env->NewObjectArray(length, stringClass, empty);
    if (!array) return nullptr;

    char statusText[kStatusTextSize];
    formatStatus(statusText, status.rv());
    for (int i = 0; i < length; ++i) {
        const char* text = i == 0 ? statusText : (texts && texts[i] ? texts[i] : "");
        jstring element = env->NewStringUTF(text);
        if (!element) return nullptr;
        env->SetObjectArrayElement(array, i, element);
        // The array holds it now; a method may count on 16 local references only.
        env->DeleteLocalRef(element);
    }
    return array;
}

}  // namespace varnel
