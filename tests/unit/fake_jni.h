// A JNIEnv for the unit suite. Its function table fills only the slots the
// library may use; every other slot is null, so an unexpected JNI call
// crashes the test instead of passing silently. A ledger records every
// acquisition and release and every misuse, such as a release in the wrong
// mode or a JNI call made after the JVM failed one. On request a journal
// records every JNI call with what it touched, so that two callers can be
// compared call by call.
#pragma once

#include <jni.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

class FakeJvm {
public:
    enum class Function {
        FindClass,
        NewStringUTF,
        GetStringUTFChars,
        ReleaseStringUTFChars,
        NewObjectArray,
        SetObjectArrayElement,
        GetByteArrayElements,
        ReleaseByteArrayElements,
        GetArrayLength,
        DeleteLocalRef,
        kCount
    };

    FakeJvm();
    ~FakeJvm();
    FakeJvm(const FakeJvm&) = delete;
    FakeJvm& operator=(const FakeJvm&) = delete;

    JNIEnv* env() { return &box_.env; }

    // Java values to pass in. A string is given as its modified UTF-8 bytes.
    // A name ("arg 2") is what the journal calls the value.
    jstring string(const std::string& modifiedUtf8, const std::string& name = "");
    jbyteArray byteArray(const std::vector<unsigned char>& bytes, const std::string& name = "");

    // Reads results back. A null reference reads as "<null>".
    std::string text(jobject string) const;
    std::vector<std::string> texts(jobjectArray array) const;
    // How many elements of an array are null references.
    size_t nullElements(jobjectArray array) const;

    // The nth call of `function` from now (1 = the next) returns null, as a
    // JVM out of memory would. Only the functions that can fail that way:
    // FindClass, NewStringUTF, GetStringUTFChars, NewObjectArray and
    // GetByteArrayElements.
    void failCall(Function function, int nth = 1);

    int calls(Function function) const { return calls_[static_cast<int>(function)]; }
    int totalCalls() const;
    // Strings and byte-array elements acquired and not yet released.
    size_t outstanding() const { return chars_.size() + elements_.size(); }
    // Local references made by JNI calls and not deleted: a native method may
    // count on 16 only.
    int localRefs() const { return localRefs_; }
    const std::vector<std::string>& violations() const { return violations_; }

    // From now on, every JNI call is journaled as the call and what it
    // touched: "GetStringUTFChars(arg 2)", "NewStringUTF(\"0\")",
    // "ReleaseByteArrayElements(arg 2, JNI_ABORT)", "NewObjectArray(2)".
    void keepJournal() { journaling_ = true; }
    const std::vector<std::string>& journal() const { return journal_; }

private:
    struct Object;
    struct EnvBox {
        JNIEnv env;
        FakeJvm* owner;
    };

    static FakeJvm& of(JNIEnv* env) { return *reinterpret_cast<EnvBox*>(env)->owner; }
    // Counts the call, reports misuse after a failure, and says whether this
    // call is the one scripted to fail.
    bool enter(Function function);
    void note(const char* call, const std::string& what);
    // How the journal names a value: its name, else a string's text.
    std::string describe(jobject reference) const;
    Object* object(jobject reference, int kind);
    jobject track(std::unique_ptr<Object> object);

    static jclass JNICALL findClass(JNIEnv* env, const char* name);
    static jstring JNICALL newStringUtf(JNIEnv* env, const char* utf);
    static const char* JNICALL getStringUtfChars(JNIEnv* env, jstring string, jboolean* isCopy);
    static void JNICALL releaseStringUtfChars(JNIEnv* env, jstring string, const char* chars);
    static jobjectArray JNICALL newObjectArray(JNIEnv* env, jsize length, jclass elementClass,
                                               jobject initial);
    static void JNICALL setObjectArrayElement(JNIEnv* env, jobjectArray array, jsize index, jobject value);
    static jbyte* JNICALL getByteArrayElements(JNIEnv* env, jbyteArray array, jboolean* isCopy);
    static void JNICALL releaseByteArrayElements(JNIEnv* env, jbyteArray array, jbyte* elements, jint mode);
    static jsize JNICALL getArrayLength(JNIEnv* env, jarray array);
    static void JNICALL deleteLocalRef(JNIEnv* env, jobject reference);
    jobject local(jobject reference);

    JNINativeInterface_ table_{};
    EnvBox box_{};
    std::vector<std::unique_ptr<Object>> objects_;
    std::map<const char*, jstring> chars_;
    std::map<jbyte*, jbyteArray> elements_;
    std::vector<std::string> violations_;
    std::vector<std::string> journal_;
    bool journaling_ = false;
    int calls_[static_cast<int>(Function::kCount)] = {};
    int failCountdown_[static_cast<int>(Function::kCount)] = {};
    bool failed_ = false;
    int localRefs_ = 0;
};

// Whether bytes are the modified UTF-8 a JVM accepts from NewStringUTF: no
// raw zero, no four-byte sequences, every sequence complete.
bool isModifiedUtf8(const char* text);

// The UTF-16 string a JVM makes of valid modified UTF-8, as Java sees it.
std::u16string javaChars(const std::string& modifiedUtf8);
