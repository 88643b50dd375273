package ka.tovik.selvo.jvarnel.e2e;

import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.charset.StandardCharsets;
import java.util.Arrays;
import java.util.Set;
import java.util.stream.Collectors;
import java.util.stream.Stream;

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

    /** The slots C_GetSlotList lists: those holding a token, or all. */
    static native long[] slotList(String module, boolean tokenPresent);

    /** What GetSlotList must answer for the driver's list: the status, then each ID in unsigned decimal. */
    static String[] slotListAnswer(String module, boolean tokenPresent) {
        Stream<String> ids = Arrays.stream(slotList(module, tokenPresent)).mapToObj(Long::toUnsignedString);
        return Stream.concat(Stream.of("0"), ids).toArray(String[]::new);
    }

    /** The slot whose token has {@code label} (blank-padded to 32 characters). */
    static int slotOf(String module, String label) {
        for (long slot : slotList(module, true)) {
            if (tokenInfoAnswer(module, (int) slot)[1].equals(label)) {
                return (int) slot;
            }
        }
        throw new IllegalStateException("the driver lists no token labelled \"" + label.trim() + "\"");
    }

    /** A slot ID the driver does not have. */
    static int unusedSlot(String module) {
        Set<Long> used = Arrays.stream(slotList(module, false)).boxed().collect(Collectors.toSet());
        long id = 0x7ffffff0L;
        while (used.contains(id)) {
            id--;
        }
        return (int) id;
    }

    /** The bytes of the CK_TOKEN_INFO C_GetTokenInfo fills in for {@code slot}. */
    private static native byte[] tokenInfo(String module, long slot);

    /** The handles a whole C_FindObjects search of {@code session} for CKA_CLASS {@code objectClass} finds. */
    static native long[] objectsOfClass(String module, long session, long objectClass);

    /** The width of CK_ULONG: this JVM's, which the library and the driver share. */
    static int ulongBytes() {
        return Integer.parseInt(System.getProperty("sun.arch.data.model")) / 8;
    }

    /** The CK_ULONG at {@code offset} of {@code raw}, in the platform's width and order. */
    private static long ulongAt(byte[] raw, int offset) {
        ByteBuffer b = ByteBuffer.wrap(raw).order(ByteOrder.nativeOrder());
        return ulongBytes() == 8 ? b.getLong(offset) : Integer.toUnsignedLong(b.getInt(offset));
    }

    /** The CK_ULONG attribute {@code type} of {@code object}. */
    static long ulongAttribute(String module, long session, long object, long type) {
        byte[] raw = attribute(module, session, object, type);
        if (raw.length != ulongBytes()) {
            throw new IllegalStateException("attribute 0x" + Long.toHexString(type) + " is " + raw.length + " bytes");
        }
        return ulongAt(raw, 0);
    }

    /**
     * What GetTokenInfo must answer for the CK_TOKEN_INFO the driver gives for {@code slot}: each text
     * up to its first zero byte, the counters and the flags in decimal (all bits set, "unavailable",
     * as 0), the versions as major.minor, in the order of the method's answer.
     */
    static String[] tokenInfoAnswer(String module, int slot) {
        byte[] raw = tokenInfo(module, Integer.toUnsignedLong(slot));
        int w = ulongBytes();
        int versions = 96 + 11 * w; // after the four texts (96 bytes), the flags and the ten counters
        if (raw.length < versions + 20) {
            throw new IllegalStateException("CK_TOKEN_INFO of " + raw.length + " bytes");
        }
        String[] info = new String[19];
        info[0] = "0";
        for (int[] text : new int[][] {{1, 0, 32}, {2, 32, 32}, {3, 64, 16}, {4, 80, 16}, {17, versions + 4, 16}}) {
            int end = text[1];
            while (end < text[1] + text[2] && raw[end] != 0) {
                end++;
            }
            info[text[0]] = new String(raw, text[1], end - text[1], StandardCharsets.UTF_8);
        }
        for (int i = 0; i <= 10; i++) {
            long value = ulongAt(raw, 96 + w * i);
            boolean unavailable = value == (w == 8 ? -1L : 0xffffffffL);
            info[i == 0 ? 18 : 4 + i] = Long.toUnsignedString(unavailable ? 0 : value);
        }
        info[15] = (raw[versions] & 0xff) + "." + (raw[versions + 1] & 0xff);
        info[16] = (raw[versions + 2] & 0xff) + "." + (raw[versions + 3] & 0xff);
        return info;
    }
}
