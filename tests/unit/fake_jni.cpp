#include "fake_jni.h"

#include <cstdlib>
#include <cstring>

namespace {
enum Kind { kString, kClass, kObjectArray, kByteArray };

const char* functionName(FakeJvm::Function function) {
    static const char* const names[] = {
        "FindClass",      "NewStringUTF",          "GetStringUTFChars",    "ReleaseStringUTFChars",
        "NewObjectArray", "SetObjectArrayElement", "GetByteArrayElements", "ReleaseByteArrayElements",
        "GetArrayLength", "DeleteLocalRef"};
    return names[static_cast<int>(function)];
}
}  // namespace

struct FakeJvm::Object {
    int kind;
    enum { kNoLocalRef, kLocalRef, kLocalRefDeleted } ref = kNoLocalRef;
    std::string name;
    std::string text;
    std::vector<jobject> elements;
    std::vector<unsigned char> bytes;
};

bool isModifiedUtf8(const char* text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    while (*p) {
        int continuation;
        if (*p < 0x80)
            continuation = 0;
        else if ((*p & 0xE0) == 0xC0)
            continuation = 1;
        else if ((*p & 0xF0) == 0xE0)
            continuation = 2;
        else
            return false;
        ++p;
        for (int i = 0; i < continuation; ++i, ++p)
            if ((*p & 0xC0) != 0x80) return false;
    }
    return true;
}

std::u16string javaChars(const std::string& modifiedUtf8) {
    std::u16string chars;
    for (size_t i = 0; i < modifiedUtf8.size();) {
        const auto lead = static_cast<unsigned char>(modifiedUtf8[i++]);
        const int continuation = lead < 0x80 ? 0 : lead < 0xE0 ? 1 : 2;
        unsigned unit = continuation == 0 ? lead : lead & (continuation == 1 ? 0x1F : 0x0F);
        for (int k = 0; k < continuation && i < modifiedUtf8.size(); ++k)
            unit = (unit << 6) | (static_cast<unsigned char>(modifiedUtf8[i++]) & 0x3F);
        chars += static_cast<char16_t>(unit);
    }
    return chars;
}

FakeJvm::FakeJvm() {
    table_.FindClass = &findClass;
    table_.NewStringUTF = &newStringUtf;
    table_.GetStringUTFChars = &getStringUtfChars;
    table_.ReleaseStringUTFChars = &releaseStringUtfChars;
    table_.NewObjectArray = &newObjectArray;
    table_.SetObjectArrayElement = &setObjectArrayElement;
    table_.GetByteArrayElements = &getByteArrayElements;
    table_.ReleaseByteArrayElements = &releaseByteArrayElements;
    table_.GetArrayLength = &getArrayLength;
    table_.DeleteLocalRef = &deleteLocalRef;
    box_.env.functions = &table_;
    box_.owner = this;
}

FakeJvm::~FakeJvm() {
    for (auto& entry : chars_) std::free(const_cast<char*>(entry.first));
    for (auto& entry : elements_) std::free(entry.first);
}

jobject FakeJvm::track(std::unique_ptr<Object> object) {
    objects_.push_back(std::move(object));
    return reinterpret_cast<jobject>(objects_.back().get());
}

jstring FakeJvm::string(const std::string& modifiedUtf8, const std::string& name) {
    auto object = std::make_unique<Object>();
    object->kind = kString;
    object->name = name;
    object->text = modifiedUtf8;
    return static_cast<jstring>(track(std::move(object)));
}

jbyteArray FakeJvm::byteArray(const std::vector<unsigned char>& bytes, const std::string& name) {
    auto object = std::make_unique<Object>();
    object->kind = kByteArray;
    object->name = name;
    object->bytes = bytes;
    return static_cast<jbyteArray>(track(std::move(object)));
}

// Marks a reference a JNI call returned as a local reference.
jobject FakeJvm::local(jobject reference) {
    reinterpret_cast<Object*>(reference)->ref = Object::kLocalRef;
    ++localRefs_;
    return reference;
}

FakeJvm::Object* FakeJvm::object(jobject reference, int kind) {
    for (auto& candidate : objects_)
        if (reinterpret_cast<jobject>(candidate.get()) == reference) {
            if (candidate->ref == Object::kLocalRefDeleted)
                violations_.push_back("a local reference used after DeleteLocalRef");
            if (candidate->kind == kind) return candidate.get();
            break;
        }
    return nullptr;
}

std::string FakeJvm::text(jobject string) const {
    if (!string) return "<null>";
    return reinterpret_cast<const Object*>(string)->text;
}

std::vector<std::string> FakeJvm::texts(jobjectArray array) const {
    std::vector<std::string> result;
    if (!array) return result;
    for (jobject element : reinterpret_cast<const Object*>(array)->elements) result.push_back(text(element));
    return result;
}

size_t FakeJvm::nullElements(jobjectArray array) const {
    size_t count = 0;
    for (jobject element : reinterpret_cast<const Object*>(array)->elements) count += element == nullptr;
    return count;
}

void FakeJvm::failCall(Function function, int nth) { failCountdown_[static_cast<int>(function)] = nth; }

int FakeJvm::totalCalls() const {
    int total = 0;
    for (int count : calls_) total += count;
    return total;
}

bool FakeJvm::enter(Function function) {
    int index = static_cast<int>(function);
    ++calls_[index];
    bool release = function == Function::ReleaseStringUTFChars ||
                   function == Function::ReleaseByteArrayElements || function == Function::DeleteLocalRef;
    if (failed_ && !release)
        violations_.push_back(std::string(functionName(function)) + " called after a failed JNI call");
    if (failCountdown_[index] > 0 && --failCountdown_[index] == 0) {
        failed_ = true;
        return true;
    }
    return false;
}

void FakeJvm::note(const char* call, const std::string& what) {
    if (journaling_) journal_.push_back(std::string(call) + "(" + what + ")");
}

std::string FakeJvm::describe(jobject reference) const {
    for (const auto& candidate : objects_)
        if (reinterpret_cast<jobject>(candidate.get()) == reference) {
            if (!candidate->name.empty()) return candidate->name;
            return candidate->kind == kString ? "\"" + candidate->text + "\"" : "an unnamed object";
        }
    return reference ? "an unknown reference" : "null";
}

jclass JNICALL FakeJvm::findClass(JNIEnv* env, const char* name) {
    FakeJvm& jvm = of(env);
    jvm.note("FindClass", name);
    if (jvm.enter(Function::FindClass)) return nullptr;
    if (std::strcmp(name, "java/lang/String") != 0)
        jvm.violations_.push_back(std::string("FindClass ") + name);
    auto object = std::make_unique<Object>();
    object->kind = kClass;
    object->text = name;
    return static_cast<jclass>(jvm.local(jvm.track(std::move(object))));
}

jstring JNICALL FakeJvm::newStringUtf(JNIEnv* env, const char* utf) {
    FakeJvm& jvm = of(env);
    jvm.note("NewStringUTF", utf ? "\"" + std::string(utf) + "\"" : "null");
    if (jvm.enter(Function::NewStringUTF)) return nullptr;
    if (!utf) {
        jvm.violations_.push_back("NewStringUTF(null)");
        return nullptr;
    }
    if (!isModifiedUtf8(utf))
        jvm.violations_.push_back(std::string("NewStringUTF of invalid modified UTF-8: ") + utf);
    return static_cast<jstring>(jvm.local(jvm.string(utf)));
}

const char* JNICALL FakeJvm::getStringUtfChars(JNIEnv* env, jstring string, jboolean* isCopy) {
    FakeJvm& jvm = of(env);
    jvm.note("GetStringUTFChars", jvm.describe(string));
    if (jvm.enter(Function::GetStringUTFChars)) return nullptr;
    Object* object = jvm.object(string, kString);
    if (!object) {
        jvm.violations_.push_back("GetStringUTFChars on something that is not a string");
        return nullptr;
    }
    // A fresh heap copy per acquisition, so a use after release shows up
    // under the sanitizers.
    char* chars = static_cast<char*>(std::malloc(object->text.size() + 1));
    std::memcpy(chars, object->text.c_str(), object->text.size() + 1);
    jvm.chars_[chars] = string;
    if (isCopy) *isCopy = JNI_TRUE;
    return chars;
}

void JNICALL FakeJvm::releaseStringUtfChars(JNIEnv* env, jstring string, const char* chars) {
    FakeJvm& jvm = of(env);
    jvm.note("ReleaseStringUTFChars", jvm.describe(string));
    jvm.enter(Function::ReleaseStringUTFChars);
    auto found = jvm.chars_.find(chars);
    if (found == jvm.chars_.end()) {
        jvm.violations_.push_back("ReleaseStringUTFChars of characters not acquired (or released twice)");
        return;
    }
    if (found->second != string) jvm.violations_.push_back("ReleaseStringUTFChars with another string");
    std::free(const_cast<char*>(found->first));
    jvm.chars_.erase(found);
}

jobjectArray JNICALL FakeJvm::newObjectArray(JNIEnv* env, jsize length, jclass elementClass,
                                             jobject initial) {
    FakeJvm& jvm = of(env);
    jvm.note("NewObjectArray", std::to_string(length));
    if (jvm.enter(Function::NewObjectArray)) return nullptr;
    if (length < 0 || !jvm.object(elementClass, kClass)) {
        jvm.violations_.push_back("NewObjectArray with a bad length or class");
        return nullptr;
    }
    auto object = std::make_unique<Object>();
    object->kind = kObjectArray;
    object->elements.assign(static_cast<size_t>(length), initial);
    return static_cast<jobjectArray>(jvm.local(jvm.track(std::move(object))));
}

void JNICALL FakeJvm::setObjectArrayElement(JNIEnv* env, jobjectArray array, jsize index, jobject value) {
    FakeJvm& jvm = of(env);
    jvm.note("SetObjectArrayElement", std::to_string(index));
    jvm.enter(Function::SetObjectArrayElement);
    Object* object = jvm.object(array, kObjectArray);
    if (!object || index < 0 || static_cast<size_t>(index) >= object->elements.size()) {
        jvm.violations_.push_back("SetObjectArrayElement out of bounds");
        return;
    }
    object->elements[static_cast<size_t>(index)] = value;
}

jbyte* JNICALL FakeJvm::getByteArrayElements(JNIEnv* env, jbyteArray array, jboolean* isCopy) {
    FakeJvm& jvm = of(env);
    jvm.note("GetByteArrayElements", jvm.describe(array));
    if (jvm.enter(Function::GetByteArrayElements)) return nullptr;
    Object* object = jvm.object(array, kByteArray);
    if (!object) {
        jvm.violations_.push_back("GetByteArrayElements on something that is not a byte array");
        return nullptr;
    }
    // Exactly the array's size, so reading past its end trips the sanitizers.
    size_t size = object->bytes.size();
    auto* elements = static_cast<jbyte*>(std::malloc(size ? size : 1));
    if (size) std::memcpy(elements, object->bytes.data(), size);
    jvm.elements_[elements] = array;
    if (isCopy) *isCopy = JNI_TRUE;
    return elements;
}

void JNICALL FakeJvm::releaseByteArrayElements(JNIEnv* env, jbyteArray array, jbyte* elements, jint mode) {
    FakeJvm& jvm = of(env);
    jvm.note("ReleaseByteArrayElements",
             jvm.describe(array) + ", " + (mode == JNI_ABORT ? "JNI_ABORT" : "mode " + std::to_string(mode)));
    jvm.enter(Function::ReleaseByteArrayElements);
    auto found = jvm.elements_.find(elements);
    if (found == jvm.elements_.end()) {
        jvm.violations_.push_back("ReleaseByteArrayElements of elements not acquired (or released twice)");
        return;
    }
    if (found->second != array) jvm.violations_.push_back("ReleaseByteArrayElements with another array");
    if (mode != JNI_ABORT) jvm.violations_.push_back("ReleaseByteArrayElements without JNI_ABORT");
    std::free(found->first);
    jvm.elements_.erase(found);
}

jsize JNICALL FakeJvm::getArrayLength(JNIEnv* env, jarray array) {
    FakeJvm& jvm = of(env);
    jvm.note("GetArrayLength", jvm.describe(array));
    jvm.enter(Function::GetArrayLength);
    if (Object* bytes = jvm.object(array, kByteArray)) return static_cast<jsize>(bytes->bytes.size());
    if (Object* objects = jvm.object(array, kObjectArray))
        return static_cast<jsize>(objects->elements.size());
    jvm.violations_.push_back("GetArrayLength on something that is not an array");
    return 0;
}

void JNICALL FakeJvm::deleteLocalRef(JNIEnv* env, jobject reference) {
    FakeJvm& jvm = of(env);
    jvm.enter(Function::DeleteLocalRef);
    jvm.note("DeleteLocalRef", jvm.describe(reference));
    if (!reference) return;
    for (auto& candidate : jvm.objects_)
        if (reinterpret_cast<jobject>(candidate.get()) == reference && candidate->ref == Object::kLocalRef) {
            candidate->ref = Object::kLocalRefDeleted;
            --jvm.localRefs_;
            return;
        }
    jvm.violations_.push_back("DeleteLocalRef of no live local reference");
}
