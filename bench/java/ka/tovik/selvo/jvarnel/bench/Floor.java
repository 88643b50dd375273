package ka.tovik.selvo.jvarnel.bench;

/**
 * The benchmark's floor (bench/native/floor.c): one native method per JVarnel
 * method, with the same signature, making the same JNI calls and nothing
 * else; plus the helpers that script the mock module and time it.
 *
 * <p>The library is loaded from the path in the system property
 * {@code varnel.bench.floor}.
 */
final class Floor {
    static {
        System.load(System.getProperty("varnel.bench.floor"));
    }

    private Floor() {
    }

    // Method numbers, in JVarnel's order (bench/native/floor.h).
    static final int LOAD_DRIVER = 0;
    static final int INITIALIZE = 1;
    static final int FINALIZE = 2;
    static final int GET_VERSION = 3;
    static final int GET_SLOT_LIST = 4;
    static final int GET_TOKEN_INFO = 5;
    static final int OPEN_SESSION = 6;
    static final int LOGIN = 7;
    static final int LOG_OUT = 8;
    static final int CLOSE_SESSION = 9;
    static final int FIND_OBJECTS_INIT = 10;
    static final int FIND_OBJECTS = 11;
    static final int FIND_OBJECTS_FINAL = 12;
    static final int GET_ATTRIBUTE_VALUE = 13;
    static final int SET_ATTRIBUTE_VALUE = 14;
    static final int DESTROY_OBJECT = 15;
    static final int GENERATE_KEY_PAIR = 16;
    static final int GENERATE_KEY = 17;
    static final int SIGN_INIT = 18;
    static final int SIGN = 19;
    static final int ENCRYPT_INIT = 20;
    static final int ENCRYPT = 21;
    static final int DECRYPT_INIT = 22;
    static final int DECRYPT = 23;
    static final int WRAP_KEY = 24;
    static final int UNWRAP_KEY = 25;

    // The mirrors.
    static native String LoadDriver(String path);
    static native String Initialize();
    static native String Finalize();
    static native String[] GetVersion();
    static native String[] GetSlotList(int tokenPresent);
    static native String[] GetTokenInfo(int slotID);
    static native String[] OpenSession(int slotID, int flags);
    static native String Login(long session, int userType, String pin);
    static native String LogOut(long session);
    static native String CloseSession(long session);
    static native String FindObjectsInit(long session, String label, int searchKind);
    static native String[] FindObjects(long session);
    static native String FindObjectsFinal(long session);
    static native String[] GetAttributeValue(long session, long object, String attribute);
    static native String SetAttributeValue(long session, long firstObject, long secondObject, String label);
    static native String DestroyObject(long session, long object);
    static native String[] GenerateKeyPair(long session, String label, int modulusBits, byte[] publicExponent,
            int publicExponentLength);
    static native String[] GenerateKey(long session, int ignored);
    static native String SignInit(long session, long key);
    static native String[] Sign(long session, byte[] data, int length);
    static native String EncryptInit(long session, long key, String mechanismName);
    static native String[] Encrypt(long session, byte[] data, int length);
    static native String DecryptInit(long session, long key, String mechanismName);
    static native String[] Decrypt(long session, byte[] data, int length);
    static native String[] WrapKey(long session, String mechanismName, long wrappingKey, long keyToWrap);
    static native String[] UnwrapKey(long session, String wrappedKey, long unwrappingKey, String mechanismName);

    /** The strings method {@code method} answers with (element 0 the status). */
    static native boolean setTexts(int method, String[] texts);

    /** Binds the mock module the library loaded from {@code path}. */
    static native boolean mockOpen(String path);

    /** Scripts every entry point of the mock with a sticky answer, listing these counts. */
    static native boolean mockConfigure(int slots, int found);

    /** Sets the counts the null driver (bench/native/null_driver.c) at {@code path} lists. */
    static native boolean nullConfigure(String path, int slots, int found);

    /** Empties the mock's call log (and scripts the same answers again). */
    static native void mockClear();

    /**
     * Nanoseconds {@code calls} repetitions of the driver calls of
     * {@code method} take, made from C straight to the mock; -1 on failure.
     */
    static native long mockCost(int method, int calls, int inputLength);
}
