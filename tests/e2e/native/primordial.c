/*
 * Starts a JVM on the process's first thread and runs CLASS.main there. The
 * java launcher never runs Java on that thread: its stack has no pthread
 * attributes of its own, so the C library finds its end only by reading
 * /proc/self/maps, which fails while no descriptor is free.
 *
 * Usage: primordial LIBJVM STACK-KB [JVM-OPTION...] CLASS [ARG...]
 * LIBJVM is the JVM's libjvm.so, STACK-KB the first thread's stack limit (a
 * small one ends the recursion quickly), CLASS the first argument that does
 * not start with '-', in binary name form.
 *
 * CLASS gets one native method, exhaustDescriptors(boolean): true lowers the
 * descriptor limit to the lowest free descriptor, so that nothing more can be
 * opened; false puts it back. Exits with 0 when main returned normally.
 */
#include <dlfcn.h>
#include <jni.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

static struct rlimit descriptors;

static void JNICALL exhaustDescriptors(JNIEnv* env, jclass cls, jboolean exhausted) {
    (void)env;
    (void)cls;
    struct rlimit limit = descriptors;
    if (exhausted) {
        const int lowest = dup(0);
        if (lowest < 0) return;
        close(lowest);
        limit.rlim_cur = (rlim_t)lowest;
    }
    setrlimit(RLIMIT_NOFILE, &limit);
}

static int fail(const char* what) {
    fprintf(stderr, "primordial: %s\n", what);
    return 2;
}

int main(int argc, char** argv) {
    if (argc < 4) return fail("usage: primordial LIBJVM STACK-KB [JVM-OPTION...] CLASS [ARG...]");
    struct rlimit stack;
    if (getrlimit(RLIMIT_STACK, &stack) != 0 || getrlimit(RLIMIT_NOFILE, &descriptors) != 0)
        return fail("getrlimit failed");
    // Read by the JVM and the C library when they look up this thread's stack.
    stack.rlim_cur = (rlim_t)strtoul(argv[2], NULL, 10) * 1024;
    if (setrlimit(RLIMIT_STACK, &stack) != 0) return fail("setrlimit(RLIMIT_STACK) failed");

    void* jvm_library = dlopen(argv[1], RTLD_NOW);
    if (!jvm_library) return fail(dlerror());
    jint(JNICALL * create)(JavaVM**, void**, void*);
    *(void**)&create = dlsym(jvm_library, "JNI_CreateJavaVM");
    if (!create) return fail("no JNI_CreateJavaVM");

    int first = 3;
    while (first < argc && argv[first][0] == '-') first++;
    if (first == argc) return fail("no class named");
    JavaVMOption options[64];
    const int option_count = first - 3;
    if (option_count > 64) return fail("too many options");
    for (int i = 0; i < option_count; i++) options[i] = (JavaVMOption){.optionString = argv[3 + i]};
    JavaVMInitArgs init = {.version = JNI_VERSION_1_8, .nOptions = option_count, .options = options};
    JavaVM* vm;
    JNIEnv* env;
    if (create(&vm, (void**)&env, &init) != JNI_OK) return fail("JNI_CreateJavaVM failed");

    char* name = argv[first];
    for (char* c = name; *c; c++)
        if (*c == '.') *c = '/';
    const jclass cls = (*env)->FindClass(env, name);
    const JNINativeMethod native = {"exhaustDescriptors", "(Z)V", (void*)exhaustDescriptors};
    const jclass string_class = (*env)->FindClass(env, "java/lang/String");
    const jmethodID main_method =
        cls ? (*env)->GetStaticMethodID(env, cls, "main", "([Ljava/lang/String;)V") : NULL;
    if (!main_method || (*env)->RegisterNatives(env, cls, &native, 1) != 0) {
        (*env)->ExceptionDescribe(env);
        return fail("no main(String[]) or no native exhaustDescriptors(boolean) in the class");
    }
    const jobjectArray args = (*env)->NewObjectArray(env, argc - first - 1, string_class, NULL);
    for (int i = first + 1; args && i < argc; i++) {
        const jstring arg = (*env)->NewStringUTF(env, argv[i]);
        (*env)->SetObjectArrayElement(env, args, i - first - 1, arg);
        (*env)->DeleteLocalRef(env, arg);
    }
    if (args) (*env)->CallStaticVoidMethod(env, cls, main_method, args);
    const int threw = (*env)->ExceptionCheck(env);
    if (threw) (*env)->ExceptionDescribe(env);
    (*vm)->DestroyJavaVM(vm);
    return threw || !args ? 1 : 0;
}
