package ka.tovik.selvo.jvarnel.e2e;

/**
 * Direct calls into the PKCS#11 module Varnel has loaded, from the same process and with the session
 * handles Varnel handed out: what the cases must make or look at that the bridge has no method for,
 * and the driver's own answers to compare the bridge's conversions with.
 *
 * <p>The native half is tests/e2e/native/testtoken.c, built by tests/e2e/run.sh for the JVM's
 * architecture. It never loads or initialises the module itself: {@code module} must be the path
 * Varnel loaded, and the driver must be initialised. A failed driver call throws {@link DriverError};
 * a module that is not loaded, or data of the wrong size, throws {@link IllegalStateException}.
 */
final class TestToken {

    /** A driver call that did not answer CKR_OK. */
    static final class DriverError extends RuntimeException {
        private static final long serialVersionUID = 1L;

        /** The CK_RV the driver answered. */
        final long rv;

        DriverError(String message, long rv) {
            super(message);
            this.rv = rv;
        }
    }

    private static String loadedFrom;

    private TestToken() {
    }

    /** Loads the native half from {@code path}, once. */
    static synchronized void load(String path) {
        if (loadedFrom == null) {
            System.load(path);
            loadedFrom = path;
        }
    }

    /**
     * Generates a triple-DES session key (CKM_DES3_KEY_GEN) allowed to encrypt and decrypt, not
     * sensitive, and extractable or not; returns its handle.
     */
    static native long generateDes3Key(String module, long session, boolean extractable);

    /** Encrypts {@code data} (1 to 8 whole DES blocks) with CKM_DES3_ECB under {@code key}. */
    static native byte[] encryptDes3Ecb(String module, long session, long key, byte[] data);

    /** The raw value of attribute {@code type} of {@code object}, as the driver stores it. */
    static native byte[] attribute(String module, long session, long object, long type);

    /** Sets the CK_BBOOL attribute {@code type} of {@code object}. */
    static native void setFlag(String module, long session, long object, long type, boolean value);

    /** The slots C_GetSlotList lists: those holding a token, or all. */
    static native long[] slotList(String module, boolean tokenPresent);

    /** The bytes of the CK_TOKEN_INFO C_GetTokenInfo fills in for {@code slot}. */
    static native byte[] tokenInfo(String module, long slot);

    /** The handles a whole C_FindObjects search of {@code session} for CKA_CLASS {@code objectClass} finds. */
    static native long[] objectsOfClass(String module, long session, long objectClass);
}
