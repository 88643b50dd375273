package ka.tovik.selvo.jvarnel;

/**
 * Java entry points of the Varnel bridge to a PKCS#11 driver.
 *
 * <p>Every method answers in text and never throws. A status is the decimal
 * result: "0" on success, otherwise the driver's CK_RV as a signed 32-bit
 * decimal, or a bridge code from 10001 to 10066. Methods returning an array
 * put that status at element 0 and their results after it.
 *
 * <p>The native library is loaded when the class is initialised, so
 * {@code -Djava.library.path} must name the directory holding libVarnel.
 */
public final class JVarnel {
    /** Name passed to {@link System#loadLibrary(String)}. */
    public static final String LIBRARY_NAME = "Varnel";

    static {
        System.loadLibrary(LIBRARY_NAME);
    }

    private JVarnel() {
    }

    /** Loads the PKCS#11 driver at {@code path} and resolves its entry points. */
    public static native String LoadDriver(String path);

    /** Calls C_Initialize on the loaded driver. */
    public static native String Initialize();

    /** Calls C_Finalize on the loaded driver. */
    public static native String Finalize();

    /** Returns {status, bridge version}: {"0", "V<major>_<minor>_<patch>"}. */
    public static native String[] GetVersion();

    /** Lists slot ids after the status; a non-zero {@code tokenPresent} keeps only slots holding a token. */
    public static native String[] GetSlotList(int tokenPresent);

    /** Returns the status followed by the information of the token in {@code slotID}. */
    public static native String[] GetTokenInfo(int slotID);

    /** Opens a session on {@code slotID} with the given CKF_ flags; the handle follows the status. */
    public static native String[] OpenSession(int slotID, int flags);

    /** Logs {@code userType} (CKU_SO, CKU_USER...) into the session with {@code pin}. */
    public static native String Login(long session, int userType, String pin);

    /** Logs the user out of the session. */
    public static native String LogOut(long session);

    /** Closes the session. */
    public static native String CloseSession(long session);

    /** Starts a search for objects labelled {@code label} of the kind selected by {@code searchKind}. */
    public static native String FindObjectsInit(long session, String label, int searchKind);

    /** Returns the status followed by the handles of the objects matching the current search. */
    public static native String[] FindObjects(long session);

    /** Ends the current search. */
    public static native String FindObjectsFinal(long session);

    /** Returns the status followed by the value of the named {@code attribute} of {@code object}. */
    public static native String[] GetAttributeValue(long session, long object, String attribute);

    /** Sets the label of {@code firstObject} and {@code secondObject} to {@code label}. */
    public static native String SetAttributeValue(long session, long firstObject, long secondObject, String label);

    /** Destroys {@code object}. */
    public static native String DestroyObject(long session, long object);

    /** Generates an RSA key pair labelled {@code label}; the key handles follow the status. */
    public static native String[] GenerateKeyPair(long session, String label, int modulusBits, byte[] publicExponent,
            int publicExponentLength);

    /** Generates a secret key whose handle follows the status; the int argument is not used. */
    public static native String[] GenerateKey(long session, int ignored);

    /** Starts a signing operation with {@code key}. */
    public static native String SignInit(long session, long key);

    /** Signs the first {@code length} bytes of {@code data}; the signature follows the status. */
    public static native String[] Sign(long session, byte[] data, int length);

    /** Starts an encryption with {@code key} using the mechanism named {@code mechanismName}. */
    public static native String EncryptInit(long session, long key, String mechanismName);

    /** Encrypts the first {@code length} bytes of {@code data}; the ciphertext follows the status. */
    public static native String[] Encrypt(long session, byte[] data, int length);

    /** Starts a decryption with {@code key} using the mechanism named {@code mechanismName}. */
    public static native String DecryptInit(long session, long key, String mechanismName);

    /** Decrypts the first {@code length} bytes of {@code data}; the plaintext follows the status. */
    public static native String[] Decrypt(long session, byte[] data, int length);

    /** Wraps {@code keyToWrap} with {@code wrappingKey}; the wrapped key follows the status. */
    public static native String[] WrapKey(long session, String mechanismName, long wrappingKey, long keyToWrap);

    /** Unwraps {@code wrappedKey} with {@code unwrappingKey}; the new key's handle follows the status. */
    public static native String[] UnwrapKey(long session, String wrappedKey, long unwrappingKey, String mechanismName);
}
