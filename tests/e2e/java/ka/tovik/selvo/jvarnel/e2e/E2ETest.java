package ka.tovik.selvo.jvarnel.e2e;

import java.io.ByteArrayInputStream;
import java.io.File;
import java.io.IOException;
import java.io.Reader;
import java.math.BigInteger;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.security.KeyFactory;
import java.security.MessageDigest;
import java.security.PublicKey;
import java.security.Signature;
import java.security.cert.CertificateFactory;
import java.security.interfaces.RSAPublicKey;
import java.security.spec.RSAPublicKeySpec;
import java.security.spec.X509EncodedKeySpec;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Base64;
import java.util.HashSet;
import java.util.HexFormat;
import java.util.List;
import java.util.Properties;
import java.util.Set;
import java.util.TreeSet;
import java.util.regex.Pattern;

import javax.crypto.Cipher;

import ka.tovik.selvo.jvarnel.JVarnel;

/**
 * End-to-end checks of libVarnel driving a real PKCS#11 module from Java.
 *
 * <p>Run by tests/e2e/run.sh, which prepares a fresh token and passes {@code -Dvarnel.e2e.NAME}
 * properties: {@code profile} (what this token answers where tokens differ, {@link Profile}),
 * {@code driver} (the module for this JVM's architecture), {@code tokenLabel}, {@code pin} and
 * {@code secondTokenLabel} (the tokens it made), {@code noPkcs11Lib} (a library without
 * C_Initialize), {@code foreignModule} (optional: a module of the other width), {@code keyLabel} and
 * {@code publicKey} (the RSA key pair on the token and its public half as DER), {@code certLabel} and
 * {@code certificate} (the certificate on the token and its DER), {@code spareKeyLabel} (optional: a
 * key pair to relabel and destroy, for a token that makes none through GenerateKeyPair),
 * {@code testToken} (the native half of {@link TestToken}, which also gives the driver's own view to
 * compare the bridge's answers with) and {@code primordialLauncher}.
 *
 * <p>Cases run in order and share the process-wide state of the bridge (loaded driver, initialised or
 * not), so each case states what it expects on entry and what it leaves behind. Output: one line per
 * case, {@code PASS name} or {@code FAIL name: detail}, then {@code e2e: N passed, M failed}.
 */
public final class E2ETest {

    // Statuses: the driver's CK_RV, and the library's own codes.
    static final String OK = "0", CKR_SLOT_ID_INVALID = "3", CKR_ATTRIBUTE_TYPE_INVALID = "18";
    static final String CKR_DATA_LEN_RANGE = "33", CKR_ENCRYPTED_DATA_INVALID = "64", CKR_KEY_HANDLE_INVALID = "96";
    static final String CKR_KEY_FUNCTION_NOT_PERMITTED = "104", CKR_KEY_UNEXTRACTABLE = "106";
    static final String CKR_OBJECT_HANDLE_INVALID = "130", CKR_OPERATION_ACTIVE = "144";
    static final String CKR_OPERATION_NOT_INITIALIZED = "145", CKR_PIN_INCORRECT = "160";
    static final String CKR_SESSION_HANDLE_INVALID = "179", CKR_SESSION_PARALLEL_NOT_SUPPORTED = "180";
    static final String CKR_USER_ALREADY_LOGGED_IN = "256", CKR_USER_NOT_LOGGED_IN = "257";
    static final String CKR_BUFFER_TOO_SMALL = "336", CKR_CRYPTOKI_NOT_INITIALIZED = "400";
    static final String CKR_CRYPTOKI_ALREADY_INITIALIZED = "401";
    static final String BRIDGE_LOAD_FAILED = "10001", BRIDGE_NOT_A_PKCS11_MODULE = "10002";
    static final String BRIDGE_NO_MATCH = "10030", BRIDGE_NULL_ARGUMENT = "10033", BRIDGE_NULL_PIN = "10034";
    static final String BRIDGE_BAD_DATA = "10035", BRIDGE_NULL_LABEL = "10036";
    static final String BRIDGE_UNKNOWN_ATTRIBUTE_NAME = "10044", BRIDGE_BAD_PUBLIC_EXPONENT = "10045";
    static final String BRIDGE_BAD_SEARCH_KIND = "10050", BRIDGE_BAD_BASE64 = "10063";
    static final String BRIDGE_UNKNOWN_MECHANISM_NAME = "10064";

    static final String BRIDGE_VERSION = System.getProperty("varnel.version");

    // PKCS#11 values the cases pass, or read through the native helper.
    static final int CKU_USER = 1;
    static final int CKF_SERIAL_SESSION = 4;
    static final int RW_SESSION = CKF_SERIAL_SESSION | 2;
    static final int SEARCH_LABEL = 0, SEARCH_PRIVATE_LABEL = 1, SEARCH_CERTIFICATES = 2;
    static final long CKA_CLASS = 0x0L, CKA_LABEL = 0x3L, CKA_VALUE = 0x11L, CKA_KEY_TYPE = 0x100L;
    static final long CKA_ENCRYPT = 0x104L, CKA_DECRYPT = 0x105L, CKA_WRAP = 0x106L, CKA_VALUE_LEN = 0x161L;
    static final long CKA_EXTRACTABLE = 0x162L;
    static final long CKO_CERTIFICATE = 1L, CKO_SECRET_KEY = 4L, CKK_DES3 = 0x15L, CKK_AES = 0x1fL;
    /** CKA_SENSITIVE, then CKA_ENCRYPT, DECRYPT, WRAP, UNWRAP, SIGN, VERIFY and DERIVE. */
    static final long[] AES_KEY_FLAGS = {0x103L, 0x104L, 0x105L, 0x106L, 0x107L, 0x108L, 0x10aL, 0x10cL};

    /** The public exponent 65537, big-endian. */
    static final byte[] F4 = {1, 0, 1};
    /** Base64 length of an RSA-2048 modulus, signature, cipher text or wrapped key (256 bytes). */
    static final int RSA2048_BASE64_LENGTH = 344;
    /** GetTokenInfo answers the status and 18 fields. */
    static final int TOKEN_INFO_LENGTH = 19;

    /** DER prefix of a PKCS#1 DigestInfo for SHA-256; the 32-byte digest follows it. */
    static final byte[] SHA256_DIGEST_INFO_PREFIX = {
        0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, (byte) 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01,
        0x05, 0x00, 0x04, 0x20,
    };

    private static final Pattern STATUS = Pattern.compile("-?[0-9]+");

    /**
     * What the token under test answers where tokens differ: tests/e2e/tokens/TOKEN.profile, a
     * properties file. A key it leaves out has the answer PKCS#11 prescribes, which the case names;
     * a key no case reads is a mistake, reported as a failure.
     */
    static final class Profile {
        private final Properties values = new Properties();
        private final Set<String> read = new TreeSet<>();

        Profile(String path) throws IOException {
            if (!path.isEmpty()) {
                try (Reader r = Files.newBufferedReader(Paths.get(path), StandardCharsets.UTF_8)) {
                    values.load(r);
                }
            }
        }

        /** The profile's value for {@code key}, else {@code standard}. */
        String get(String key, String standard) {
            read.add(key);
            return values.getProperty(key, standard).trim();
        }

        /** The profile's status for {@code key}, else {@code standard}. */
        String status(String key, String standard) {
            String value = get(key, standard);
            statusCode("profile key " + key, value);
            return value;
        }

        /** Whether the case runs on this token: all do unless the key "cases" lists some. */
        boolean runs(String name) {
            String only = get("cases", "");
            return only.isEmpty() || Arrays.asList(only.split("\\s+")).contains(name);
        }

        Set<String> unread() {
            Set<String> keys = new TreeSet<>(values.stringPropertyNames());
            keys.removeAll(read);
            return keys;
        }
    }

    /** What the runner hands over. */
    static final class Config {
        final Profile profile = new Profile(optional("profile"));
        final String driver = optional("driver");
        final String tokenLabel = System.getProperty("varnel.e2e.tokenLabel", "varnel-e2e");
        final String pin = System.getProperty("varnel.e2e.pin", "1234");

        Config() throws IOException {
        }

        static String optional(String name) {
            return System.getProperty("varnel.e2e." + name, "");
        }

        /** A setting the token cases cannot do without. */
        static String required(String name) {
            String value = optional(name);
            if (value.isEmpty()) {
                throw fail("-Dvarnel.e2e." + name + " is not set: run the suite through tests/e2e/run.sh");
            }
            return value;
        }
    }

    /** A failed check; its message is the FAIL detail. */
    static final class CheckFailed extends RuntimeException {
        private static final long serialVersionUID = 1L;

        CheckFailed(String message) {
            super(message);
        }
    }

    /**
     * The token refused, with the status its profile gives, what the rest of the case needs: the case
     * has checked that answer and ends there.
     */
    static final class TokenRefuses extends RuntimeException {
        private static final long serialVersionUID = 1L;

        TokenRefuses(String message) {
            super(message);
        }
    }

    @FunctionalInterface
    interface Body {
        void run() throws Exception;
    }

    record Case(String name, Body body) {
    }

    record KeyPair(long publicKey, long privateKey) {
    }

    // ---------------------------------------------------------------- checks

    static CheckFailed fail(String message) {
        return new CheckFailed(message);
    }

    /** Quotes the text; control characters (a CK_BBOOL flag read as text, CR, LF) show as escapes. */
    static String show(String s) {
        if (s == null) {
            return "null";
        }
        StringBuilder b = new StringBuilder("\"");
        if (s.length() > 400) {
            s = s.substring(0, 400) + "... (" + s.length() + " characters)";
        }
        for (char c : s.toCharArray()) {
            b.append(c < 0x20 || c == 0x7f ? String.format("\\u%04x", (int) c) : String.valueOf(c));
        }
        return b.append('"').toString();
    }

    static String show(String[] a) {
        if (a == null) {
            return "null";
        }
        List<String> shown = new ArrayList<>();
        for (String s : a) {
            shown.add(show(s));
        }
        return "{" + String.join(", ", shown) + "}";
    }

    /** The call answered with a well-formed status (a signed 32-bit decimal). */
    static int statusCode(String what, String status) {
        if (status == null || !STATUS.matcher(status).matches()) {
            throw fail(what + ": status is not a decimal number: " + show(status));
        }
        try {
            return Integer.parseInt(status);
        } catch (NumberFormatException e) {
            throw fail(what + ": status does not fit in 32 bits: " + show(status));
        }
    }

    /** The call answered exactly {@code expected}. */
    static void expectStatus(String what, String expected, String actual) {
        statusCode(what, actual);
        if (!expected.equals(actual)) {
            throw fail(what + ": expected " + expected + ", got " + show(actual));
        }
    }

    /** The array answer is exactly {@code expected}, element by element. */
    static void expectArray(String what, String[] actual, String... expected) {
        if (actual != null && actual.length > 0) {
            statusCode(what, actual[0]);
        }
        if (!Arrays.equals(expected, actual)) {
            throw fail(what + ": expected " + show(expected) + ", got " + show(actual));
        }
    }

    /** The array answer has exactly {@code length} elements and the given status. */
    static void expectShape(String what, String[] actual, String status, int length) {
        if (actual == null || actual.length == 0) {
            throw fail(what + ": returned " + show(actual) + ", expected status " + status);
        }
        expectStatus(what, status, actual[0]);
        if (actual.length != length) {
            throw fail(what + ": expected " + length + " elements, got " + show(actual));
        }
    }

    /** The array answer is the failure {@code status}, with nothing but empty text after it. */
    static void expectFailureAnswer(String what, String[] actual, String status) {
        expectShape(what, actual, status, actual == null ? 0 : actual.length);
        for (int i = 1; i < actual.length; i++) {
            if (!actual[i].isEmpty()) {
                throw fail(what + ": failed with " + status + " but answered data: " + show(actual));
            }
        }
    }

    static void expectVersion(String when) {
        expectArray("GetVersion() " + when, JVarnel.GetVersion(), OK, BRIDGE_VERSION);
    }

    static void expectBytes(String what, byte[] expected, byte[] actual) {
        if (!Arrays.equals(expected, actual)) {
            throw fail(what + ": expected the " + expected.length + " bytes " + hex(expected) + ", got "
                    + actual.length + " bytes " + hex(actual));
        }
    }

    static String hex(byte[] bytes) {
        String all = HexFormat.of().formatHex(bytes);
        return all.length() <= 80 ? all : all.substring(0, 80) + "...";
    }

    /** An unsigned decimal the bridge printed: a handle, a slot ID or a counter. */
    static long unsignedValue(String what, String text) {
        if (text == null || !text.matches("[0-9]{1,20}")) {
            throw fail(what + ": not an unsigned decimal: " + show(text));
        }
        try {
            return Long.parseUnsignedLong(text);
        } catch (NumberFormatException e) {
            throw fail(what + ": does not fit in 64 bits: " + show(text));
        }
    }

    static byte[] base64(String what, String text) {
        try {
            return Base64.getDecoder().decode(text);
        } catch (IllegalArgumentException e) {
            throw fail(what + ": not Base64 (" + e.getMessage() + "): " + show(text));
        }
    }

    static String padded(String text, int width) {
        return String.format("%-" + width + "s", text);
    }

    /** {@code length} bytes counting up from 0: a leading zero byte, and every value in turn. */
    static byte[] counting(int length) {
        byte[] b = new byte[length];
        for (int i = 0; i < length; i++) {
            b[i] = (byte) i;
        }
        return b;
    }

    // ------------------------------------------------------- driver, sessions, search

    /**
     * Starts the case from a freshly initialised driver: finalising drops every session and login a
     * failed earlier case may have left open. A driver that counts its initialisations (p11-kit's
     * proxy) needs one Finalize for each.
     */
    static void restartDriver() {
        for (int i = 0; !CKR_CRYPTOKI_NOT_INITIALIZED.equals(JVarnel.Finalize()); i++) {
            if (i == 20) {
                throw fail("Finalize() to set up the case never answered " + CKR_CRYPTOKI_NOT_INITIALIZED);
            }
        }
        expectStatus("Initialize() to set up the case", OK, JVarnel.Initialize());
    }

    /** What a second Initialize answers: a driver that counts initialisations accepts it. */
    static String secondInitialize(Config cfg) {
        return cfg.profile.get("initialize.counted", "no").equals("yes") ? OK : CKR_CRYPTOKI_ALREADY_INITIALIZED;
    }

    /** Opens a session, which must succeed, and returns its handle. */
    static long openSession(int slot, int flags) {
        String what = "OpenSession(" + Integer.toUnsignedString(slot) + ", " + flags + ")";
        String[] r = JVarnel.OpenSession(slot, flags);
        expectShape(what, r, OK, 2);
        long handle = unsignedValue(what + " handle", r[1]);
        if (handle == 0) {
            throw fail(what + ": succeeded with the invalid handle 0");
        }
        return handle;
    }

    static void login(long session, String pin) {
        expectStatus("Login(" + session + ", CKU_USER, PIN)", OK, JVarnel.Login(session, CKU_USER, pin));
    }

    static void logOutAndClose(long session) {
        expectStatus("LogOut(" + session + ")", OK, JVarnel.LogOut(session));
        closeSession(session);
    }

    static void closeSession(long session) {
        expectStatus("CloseSession(" + session + ")", OK, JVarnel.CloseSession(session));
    }

    /**
     * Runs a whole search: FindObjectsInit, FindObjects until it answers "no match", FindObjectsFinal.
     * Returns every handle found, in order; no handle may come twice.
     */
    static List<Long> findAll(long session, String label, int kind) {
        String what = "search (" + show(label) + ", kind " + kind + ")";
        expectStatus("FindObjectsInit for " + what, OK, JVarnel.FindObjectsInit(session, label, kind));
        List<Long> found = new ArrayList<>();
        for (int call = 1; ; call++) {
            String[] r = JVarnel.FindObjects(session);
            String callWhat = "FindObjects call #" + call + " for " + what;
            if (call > 50 || r == null || r.length == 0) {
                throw fail(callWhat + " answered " + show(r) + "; found " + found);
            }
            if (BRIDGE_NO_MATCH.equals(r[0])) {
                expectShape(callWhat + " (no more objects)", r, BRIDGE_NO_MATCH, 1);
                break;
            }
            expectStatus(callWhat, OK, r[0]);
            if (r.length < 2 || r.length > 101) {
                throw fail(callWhat + " succeeded with " + (r.length - 1) + " handles (expected 1 to 100)");
            }
            for (int i = 1; i < r.length; i++) {
                long h = unsignedValue(callWhat + " element " + i, r[i]);
                if (found.contains(h)) {
                    throw fail(callWhat + " gave handle " + h + " twice: " + show(r));
                }
                found.add(h);
            }
        }
        expectStatus("FindObjectsFinal for " + what, OK, JVarnel.FindObjectsFinal(session));
        return found;
    }

    /** A search that must find exactly {@code count} objects; returns them. */
    static List<Long> found(String what, long session, String label, int kind, int count) {
        List<Long> found = findAll(session, label, kind);
        if (found.size() != count) {
            throw fail(what + ": expected " + count + " object(s), found " + found.size() + ": " + found);
        }
        return found;
    }

    /** The search finds exactly the given objects, in any order. */
    static void expectFound(String what, long session, String label, int kind, Long... expected) {
        List<Long> found = findAll(session, label, kind);
        if (found.size() != expected.length || !new HashSet<>(found).equals(new HashSet<>(List.of(expected)))) {
            throw fail(what + ": search (" + show(label) + ", kind " + kind + ") found " + found + ", expected "
                    + Arrays.toString(expected));
        }
    }

    /**
     * The session to go on with after an operation failed: the same, as a failure ends the operation,
     * or, from a token that keeps it active (the profile's failure.keepsOperation), a new session of
     * the same logged-in token.
     */
    static long afterFailedOperation(Config cfg, long session) {
        if (!cfg.profile.get("failure.keepsOperation", "no").equals("yes")) {
            return session;
        }
        expectStatus("EncryptInit once an operation failed", CKR_OPERATION_ACTIVE,
                JVarnel.EncryptInit(session, 0, "rsapkcs"));
        return openSession(tokenSlot(cfg), RW_SESSION);
    }

    /** What the attribute and object calls answer for an object handle the token does not have. */
    static String invalidObject(Config cfg) {
        return cfg.profile.status("object.invalidHandle", CKR_OBJECT_HANDLE_INVALID);
    }

    /** What an operation's init answers for a key handle the token does not have. */
    static String invalidKey(Config cfg) {
        return cfg.profile.status("key.invalidHandle", CKR_KEY_HANDLE_INVALID);
    }

    // ------------------------------------------------------- the driver's own view

    /** The width of CK_ULONG: this JVM's, which the library and the driver share. */
    static int ulongBytes() {
        return Integer.parseInt(System.getProperty("sun.arch.data.model")) / 8;
    }

    /** A slot list as GetSlotList answers it: the status, then each ID in unsigned decimal. */
    static String[] slotAnswer(long[] slots) {
        String[] answer = new String[slots.length + 1];
        answer[0] = OK;
        for (int i = 0; i < slots.length; i++) {
            answer[i + 1] = Long.toUnsignedString(slots[i]);
        }
        return answer;
    }

    /**
     * What GetTokenInfo must answer for the CK_TOKEN_INFO the driver gives for {@code slot}: each text
     * up to its first zero byte, the counters and the flags in decimal (all bits set, "unavailable",
     * as 0), the versions as major.minor, in the order of the method's answer.
     */
    static String[] driverTokenInfo(Config cfg, int slot) {
        byte[] raw = TestToken.tokenInfo(cfg.driver, Integer.toUnsignedLong(slot));
        int w = ulongBytes();
        int versions = 96 + 11 * w; // after the four texts (96 bytes), the flags and the ten counters
        if (raw.length < versions + 20) {
            throw fail("CK_TOKEN_INFO of " + raw.length + " bytes");
        }
        String[] info = new String[TOKEN_INFO_LENGTH];
        info[0] = OK;
        for (int[] text : new int[][] {{1, 0, 32}, {2, 32, 32}, {3, 64, 16}, {4, 80, 16}, {17, versions + 4, 16}}) {
            int end = text[1];
            while (end < text[1] + text[2] && raw[end] != 0) {
                end++;
            }
            info[text[0]] = new String(raw, text[1], end - text[1], StandardCharsets.UTF_8);
        }
        ByteBuffer b = ByteBuffer.wrap(raw).order(ByteOrder.nativeOrder());
        for (int i = 0; i <= 10; i++) {
            long value = w == 8 ? b.getLong(96 + 8 * i) : Integer.toUnsignedLong(b.getInt(96 + 4 * i));
            boolean unavailable = value == (w == 8 ? -1L : 0xffffffffL);
            info[i == 0 ? 18 : 4 + i] = Long.toUnsignedString(unavailable ? 0 : value);
        }
        info[15] = (raw[versions] & 0xff) + "." + (raw[versions + 1] & 0xff);
        info[16] = (raw[versions + 2] & 0xff) + "." + (raw[versions + 3] & 0xff);
        return info;
    }

    /** GetTokenInfo answers what the driver's C_GetTokenInfo reads just before or just after (a clock ticks). */
    static String[] expectTokenInfo(Config cfg, int slot) {
        String[] before = driverTokenInfo(cfg, slot);
        String[] info = JVarnel.GetTokenInfo(slot);
        String[] after = driverTokenInfo(cfg, slot);
        if (!Arrays.equals(info, before) && !Arrays.equals(info, after)) {
            throw fail("GetTokenInfo(" + Integer.toUnsignedString(slot) + "): expected " + show(after) + ", got "
                    + show(info));
        }
        return info;
    }

    /** The slot of the token the setup made, found by its label in the driver's own view. */
    static int tokenSlot(Config cfg) {
        for (long slot : TestToken.slotList(cfg.driver, true)) {
            if (driverTokenInfo(cfg, (int) slot)[1].equals(padded(cfg.tokenLabel, 32))) {
                return (int) slot;
            }
        }
        throw fail("the driver lists no token labelled " + show(cfg.tokenLabel));
    }

    /** A slot ID the driver does not have. */
    static int unusedSlotId(Config cfg) {
        Set<Long> used = new HashSet<>();
        for (long slot : TestToken.slotList(cfg.driver, false)) {
            used.add(slot);
        }
        long id = 0x7ffffff0L;
        while (used.contains(id)) {
            id--;
        }
        return (int) id;
    }

    /** A CK_ULONG attribute read through the helper: sizeof(CK_ULONG) bytes in the platform's order. */
    static long ulongAttribute(Config cfg, long session, long object, long type) {
        byte[] raw = TestToken.attribute(cfg.driver, session, object, type);
        if (raw.length != ulongBytes()) {
            throw fail("attribute 0x" + Long.toHexString(type) + " of object " + object + " is " + raw.length
                    + " bytes, expected a CK_ULONG");
        }
        ByteBuffer b = ByteBuffer.wrap(raw).order(ByteOrder.nativeOrder());
        return raw.length == 8 ? b.getLong() : Integer.toUnsignedLong(b.getInt());
    }

    /** A CK_BBOOL attribute read through the helper. */
    static void expectFlag(Config cfg, String what, long session, long object, long type, boolean expected) {
        byte[] raw = TestToken.attribute(cfg.driver, session, object, type);
        if (raw.length != 1 || raw[0] != (expected ? 1 : 0)) {
            throw fail(what + ": attribute 0x" + Long.toHexString(type) + " is " + hex(raw) + ", expected "
                    + (expected ? "CK_TRUE" : "CK_FALSE"));
        }
    }

    // ------------------------------------------------------- keys, signatures, cipher text

    /** The handle of the private signing key; the session must be logged in. */
    static long signingKey(long session) {
        String label = Config.required("keyLabel");
        return found("private objects labelled " + label, session, label, SEARCH_PRIVATE_LABEL, 1).get(0);
    }

    /** The public key labelled like {@code privateKey}, its other half. */
    static long publicHalf(long session, String label, long privateKey) {
        List<Long> pair = findAll(session, label, SEARCH_LABEL);
        if (pair.size() != 2 || !pair.remove(privateKey)) {
            throw fail("expected the public key beside the private key " + privateKey + ", found " + pair);
        }
        return pair.get(0);
    }

    /** The RSA-2048 signature of a successful Sign answer. */
    static byte[] signature(String what, String[] r) {
        expectShape(what, r, OK, 2);
        if (r[1].length() != RSA2048_BASE64_LENGTH) {
            throw fail(what + ": signature is " + r[1].length() + " Base64 characters: " + show(r[1]));
        }
        return base64(what, r[1]);
    }

    /** SignInit followed by one Sign over {@code data[0..length)}. */
    static byte[] signInitAndSign(String what, long session, long key, byte[] data, int length) {
        expectStatus("SignInit(" + session + ", " + key + ") for " + what, OK, JVarnel.SignInit(session, key));
        return signature("Sign for " + what, JVarnel.Sign(session, data, length));
    }

    static PublicKey publicKey() throws Exception {
        byte[] der = Files.readAllBytes(Paths.get(Config.required("publicKey")));
        return KeyFactory.getInstance("RSA").generatePublic(new X509EncodedKeySpec(der));
    }

    /** The SHA-256 DigestInfo of {@code message}: what a PKCS#1 v1.5 SHA256withRSA signature covers. */
    static byte[] sha256DigestInfo(byte[] message) throws Exception {
        byte[] digest = MessageDigest.getInstance("SHA-256").digest(message);
        byte[] info = Arrays.copyOf(SHA256_DIGEST_INFO_PREFIX, SHA256_DIGEST_INFO_PREFIX.length + digest.length);
        System.arraycopy(digest, 0, info, SHA256_DIGEST_INFO_PREFIX.length, digest.length);
        return info;
    }

    /** The signature verifies with {@code algorithm} over {@code signed} against {@code key}. */
    static void expectVerifies(String what, PublicKey key, String algorithm, byte[] signed, byte[] signature)
            throws Exception {
        Signature verifier = Signature.getInstance(algorithm);
        verifier.initVerify(key);
        verifier.update(signed);
        if (!verifier.verify(signature)) {
            throw fail(what + ": the signature does not verify with " + algorithm + " against the public key");
        }
    }

    /**
     * GenerateKeyPair, which must succeed with two distinct handles, or answer the refusal the profile
     * gives (then the case ends).
     */
    static KeyPair generateKeyPair(Config cfg, long session, String label, int bits, byte[] exponent,
            int exponentLength) {
        String what = "GenerateKeyPair(" + show(label) + ", " + bits + ", " + Arrays.toString(exponent) + ", "
                + exponentLength + ")";
        String[] r = JVarnel.GenerateKeyPair(session, label, bits, exponent, exponentLength);
        String refusal = cfg.profile.status("generateKeyPair", OK);
        if (!OK.equals(refusal)) {
            expectArray(what, r, refusal, "0", "0");
            throw new TokenRefuses("GenerateKeyPair answers " + refusal);
        }
        expectShape(what, r, OK, 3);
        long publicKey = unsignedValue(what + " public key", r[1]);
        long privateKey = unsignedValue(what + " private key", r[2]);
        if (publicKey == 0 || privateKey == 0 || publicKey == privateKey) {
            throw fail(what + ": answered the handles " + show(r));
        }
        return new KeyPair(publicKey, privateKey);
    }

    /**
     * An RSA key pair with the exponent 65537 to work with: a new one labelled {@code label}, or,
     * where the token makes none, the one the runner made labelled {@code made} (when it made one).
     */
    static KeyPair workingKeyPair(Config cfg, long session, String label, int bits, String made) {
        if (OK.equals(cfg.profile.status("generateKeyPair", OK)) || made.isEmpty()) {
            return generateKeyPair(cfg, session, label, bits, F4, F4.length);
        }
        long privateKey = found("private objects labelled " + made, session, made, SEARCH_PRIVATE_LABEL, 1).get(0);
        return new KeyPair(publicHalf(session, made, privateKey), privateKey);
    }

    /** GetAttributeValue, which must succeed; returns the value text. */
    static String attribute(long session, long object, String keyword) {
        String what = "GetAttributeValue(" + object + ", " + show(keyword) + ")";
        String[] r = JVarnel.GetAttributeValue(session, object, keyword);
        expectShape(what, r, OK, 2);
        return r[1];
    }

    /** The public key built from the modulus and exponent GetAttributeValue reads off {@code object}. */
    static RSAPublicKey tokenPublicKey(long session, long object) throws Exception {
        BigInteger modulus = new BigInteger(1, base64("modulus of " + object, attribute(session, object, "modulus")));
        BigInteger exponent = new BigInteger(1,
                base64("exponent of " + object, attribute(session, object, "exponent")));
        return (RSAPublicKey) KeyFactory.getInstance("RSA").generatePublic(new RSAPublicKeySpec(modulus, exponent));
    }

    /** The size in bits of the modulus GetAttributeValue reads, which must have {@code base64Length} characters. */
    static int modulusBits(long session, long publicKey, int base64Length) {
        String modulus = attribute(session, publicKey, "modulus");
        if (modulus.length() != base64Length) {
            throw fail("modulus of " + publicKey + ": " + modulus.length() + " Base64 characters, expected "
                    + base64Length);
        }
        return new BigInteger(1, base64("modulus", modulus)).bitLength();
    }

    /**
     * EncryptInit and one Encrypt over {@code data[0..length)}; returns the Base64 RSA-2048 cipher text:
     * 256 bytes, or, from a token that reports its output buffer's length instead (the profile's
     * encrypt.reportedLength), the first 256 of that many bytes, the rest zeros as the library cleared
     * them.
     */
    static String encrypt(Config cfg, String what, long session, long key, String mechanism, byte[] data,
            int length) {
        expectStatus("EncryptInit(" + show(mechanism) + ") for " + what, OK,
                JVarnel.EncryptInit(session, key, mechanism));
        String[] r = JVarnel.Encrypt(session, data, length);
        expectShape("Encrypt for " + what, r, OK, 2);
        int reported = Integer.parseInt(cfg.profile.get("encrypt.reportedLength", "256"));
        byte[] bytes = base64("Encrypt for " + what, r[1]);
        if (bytes.length != reported || r[1].length() != (reported + 2) / 3 * 4) {
            throw fail("Encrypt for " + what + ": expected " + reported + " bytes, got " + bytes.length + " as "
                    + show(r[1]));
        }
        for (int i = 256; i < reported; i++) {
            if (bytes[i] != 0) {
                throw fail("Encrypt for " + what + ": byte " + i + " past the cipher text is " + bytes[i] + ", not 0");
            }
        }
        return Base64.getEncoder().encodeToString(Arrays.copyOf(bytes, 256));
    }

    /** Decrypt of {@code text[0..length)} (Base64, passed as US-ASCII bytes) in a started decryption. */
    static byte[] decrypt(String what, long session, byte[] text, int length) {
        String[] r = JVarnel.Decrypt(session, text, length);
        expectShape("Decrypt for " + what, r, OK, 2);
        return base64("Decrypt for " + what, r[1]);
    }

    /** DecryptInit and one Decrypt; the plain text must be {@code expected}. */
    static void expectDecrypts(String what, long session, long key, String mechanism, String text, byte[] expected) {
        expectStatus("DecryptInit(" + show(mechanism) + ") for " + what, OK,
                JVarnel.DecryptInit(session, key, mechanism));
        byte[] ascii = text.getBytes(StandardCharsets.US_ASCII);
        expectBytes(what, expected, decrypt(what, session, ascii, ascii.length));
    }

    // ------------------------------------------------------- child JVMs

    /** The command that starts a JVM like this one (under emulation, the emulator first). */
    static List<String> childJava() {
        String java = Paths.get(System.getProperty("java.home"), "bin", "java").toString();
        return Arrays.asList(System.getProperty("varnel.e2e.childJava", java).split("\u001f"));
    }

    /** Runs {@code command} followed by {@code args}, shows its output; it must end with 0 and no warning. */
    static void runChildJvm(String what, List<String> command, String... args) throws Exception {
        List<String> whole = new ArrayList<>(command);
        whole.addAll(Arrays.asList(args));
        Process child = new ProcessBuilder(whole).redirectErrorStream(true).start();
        String output = new String(child.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
        int status = child.waitFor();
        System.out.print(output);
        if (status != 0 || output.contains("WARNING")) {
            throw fail(what + " ended with status " + status);
        }
    }

    // ----------------------------------------------------------------- cases

    static List<Case> cases(Config cfg, Path scratch) {
        List<Case> list = new ArrayList<>();

        // --- before any driver is loaded

        list.add(new Case("version-before-load", () -> {
            expectVersion("before LoadDriver");
            // Answers are fresh arrays: changing one must not leak into the next call.
            String[] first = JVarnel.GetVersion();
            first[0] = "x";
            first[1] = "y";
            expectVersion("after the caller modified an earlier answer");
            for (int i = 0; i < 2000; i++) {
                String[] v = JVarnel.GetVersion();
                if (v == null || v.length != 2 || !OK.equals(v[0]) || !BRIDGE_VERSION.equals(v[1])) {
                    throw fail("GetVersion() call #" + i + " answered " + show(v));
                }
            }
        }));

        list.add(new Case("lifecycle-without-driver", () -> {
            expectStatus("Initialize() with no driver loaded", "10002", JVarnel.Initialize());
            expectStatus("Finalize() with no driver loaded", "10016", JVarnel.Finalize());
            expectVersion("after Initialize/Finalize with no driver");
        }));

        // --- LoadDriver refusals; each leaves no driver behind

        list.add(new Case("load-driver-unloadable-paths", () -> {
            expectStatus("LoadDriver(null)", BRIDGE_NULL_ARGUMENT, JVarnel.LoadDriver(null));
            // What the system's loader refuses: a file that is no shared object, a module of the other width.
            Path text = scratch.resolve("not-elf.so");
            Files.write(text, "this is not a shared object\n".getBytes(StandardCharsets.US_ASCII));
            expectStatus("LoadDriver(text file)", BRIDGE_LOAD_FAILED, JVarnel.LoadDriver(text.toString()));
            String foreign = Config.optional("foreignModule");
            if (!foreign.isEmpty()) {
                expectStatus("LoadDriver(module of the other architecture " + foreign + ")", BRIDGE_LOAD_FAILED,
                        JVarnel.LoadDriver(foreign));
            }
            expectVersion("after failed LoadDriver calls");
            expectStatus("Initialize() after only failed LoadDriver calls", "10002", JVarnel.Initialize());
        }));

        list.add(new Case("load-driver-not-a-pkcs11-module", () -> {
            String library = Config.optional("noPkcs11Lib");
            if (!new File(library).isFile()) {
                throw fail("library without C_Initialize not found: " + show(library));
            }
            expectStatus("LoadDriver(" + library + ")", BRIDGE_NOT_A_PKCS11_MODULE, JVarnel.LoadDriver(library));
            expectVersion("after loading a library without C_Initialize");
            expectStatus("Initialize() after the refused library", "10002", JVarnel.Initialize());
        }));

        // --- the real driver

        list.add(new Case("load-driver", () -> {
            expectStatus("LoadDriver(" + cfg.driver + ")", OK, JVarnel.LoadDriver(cfg.driver));
            expectStatus("second LoadDriver(same path)", OK, JVarnel.LoadDriver(cfg.driver));
            expectVersion("after LoadDriver");
        }));

        list.add(new Case("initialize-finalize-cycle", () -> {
            boolean counts = OK.equals(secondInitialize(cfg));
            expectStatus("Initialize()", OK, JVarnel.Initialize());
            expectStatus("second Initialize()", secondInitialize(cfg), JVarnel.Initialize());
            expectStatus("Finalize()", OK, JVarnel.Finalize());
            if (counts) {
                expectStatus("Finalize() of the second initialisation", OK, JVarnel.Finalize());
            }
            expectStatus("Finalize() once finalised", CKR_CRYPTOKI_NOT_INITIALIZED, JVarnel.Finalize());
            expectStatus("Initialize() after Finalize()", OK, JVarnel.Initialize());
            expectVersion("while initialised");
        }));

        list.add(new Case("initialize-finalize-repeated", () -> {
            // Enters initialised, leaves initialised.
            restartDriver();
            for (int i = 1; i <= 10; i++) {
                expectStatus("Finalize() in cycle " + i, OK, JVarnel.Finalize());
                expectStatus("Initialize() in cycle " + i, OK, JVarnel.Initialize());
            }
        }));

        list.add(new Case("reload-after-finalize", () -> {
            restartDriver();
            expectStatus("Finalize()", OK, JVarnel.Finalize());
            expectStatus("LoadDriver(same path) after Finalize()", OK, JVarnel.LoadDriver(cfg.driver));
            expectStatus("Initialize() after reloading", OK, JVarnel.Initialize());
            expectStatus("second Initialize() after reloading", secondInitialize(cfg), JVarnel.Initialize());
        }));

        // --- slots, token information, sessions, search, signing: compared with the driver's own answers

        list.add(new Case("slot-list", () -> {
            restartDriver();
            String[] present = slotAnswer(TestToken.slotList(cfg.driver, true));
            String[] all = slotAnswer(TestToken.slotList(cfg.driver, false));
            expectArray("GetSlotList(1)", JVarnel.GetSlotList(1), present);
            // The buffer is sized by the number of token slots: when the driver has more slots than
            // that it answers CKR_BUFFER_TOO_SMALL with the count it needed, and no slot is reported.
            // SoftHSM counts its empty last slot as holding a (not initialised) token, so it lists all.
            if (all.length > present.length) {
                Arrays.fill(all, "");
                all[0] = CKR_BUFFER_TOO_SMALL;
            }
            expectArray("GetSlotList(0)", JVarnel.GetSlotList(0), all);

            expectStatus("Finalize()", OK, JVarnel.Finalize());
            expectFailureAnswer("GetSlotList(1) after Finalize()", JVarnel.GetSlotList(1),
                    CKR_CRYPTOKI_NOT_INITIALIZED);
            expectStatus("Initialize() after the refused GetSlotList", OK, JVarnel.Initialize());
            expectArray("GetSlotList(1) once initialised again", JVarnel.GetSlotList(1), present);
        }));

        list.add(new Case("token-info", () -> {
            restartDriver();
            // Every token, the second one and SoftHSM's uninitialised one among them, as the driver
            // describes it; the labels are those the setup gave.
            Set<String> labels = new HashSet<>();
            for (long slot : TestToken.slotList(cfg.driver, true)) {
                labels.add(expectTokenInfo(cfg, (int) slot)[1]);
            }
            String second = Config.optional("secondTokenLabel");
            for (String label : second.isEmpty() ? List.of(cfg.tokenLabel) : List.of(cfg.tokenLabel, second)) {
                if (!labels.contains(padded(label, 32))) {
                    throw fail("no GetTokenInfo label reads " + show(padded(label, 32)) + ": " + labels);
                }
            }
            // A slot the driver does not have: its status and 18 empty fields.
            int unused = unusedSlotId(cfg);
            String[] refused = new String[TOKEN_INFO_LENGTH];
            Arrays.fill(refused, "");
            refused[0] = CKR_SLOT_ID_INVALID;
            expectArray("GetTokenInfo(" + unused + ", no such slot)", JVarnel.GetTokenInfo(unused), refused);
        }));

        list.add(new Case("sessions", () -> {
            restartDriver();
            int slot = tokenSlot(cfg);
            long rw = openSession(slot, RW_SESSION);
            long ro = openSession(slot, CKF_SERIAL_SESSION);
            if (ro == rw) {
                throw fail("two open sessions got the same handle " + rw);
            }
            // Without CKF_SERIAL_SESSION: refused, as PKCS#11 says, or opened all the same.
            String unserial = cfg.profile.status("session.withoutSerialFlag", CKR_SESSION_PARALLEL_NOT_SUPPORTED);
            String[] opened = JVarnel.OpenSession(slot, 0);
            if (OK.equals(unserial)) {
                expectShape("OpenSession(slot, 0)", opened, OK, 2);
                closeSession(unsignedValue("OpenSession(slot, 0) handle", opened[1]));
            } else {
                expectArray("OpenSession(slot, 0)", opened, unserial, "0");
            }
            expectShape("OpenSession(no such slot)", JVarnel.OpenSession(unusedSlotId(cfg), RW_SESSION),
                    CKR_SLOT_ID_INVALID, 2);

            expectStatus("Login with a wrong PIN", CKR_PIN_INCORRECT, JVarnel.Login(rw, CKU_USER, cfg.pin + "9"));
            // A token that counts the failure now has CKF_USER_PIN_COUNT_LOW among its flags.
            expectTokenInfo(cfg, slot);
            expectStatus("Login with a null PIN", BRIDGE_NULL_PIN, JVarnel.Login(rw, CKU_USER, null));
            login(rw, cfg.pin);
            // The login belongs to the token, so every session of it shares it.
            expectStatus("Login on the other session of the logged-in token", CKR_USER_ALREADY_LOGGED_IN,
                    JVarnel.Login(ro, CKU_USER, cfg.pin));
            expectStatus("LogOut(" + rw + ")", OK, JVarnel.LogOut(rw));
            login(ro, cfg.pin);
            logOutAndClose(ro);
            closeSession(rw);
            expectStatus("CloseSession of a closed session", CKR_SESSION_HANDLE_INVALID, JVarnel.CloseSession(rw));
            expectStatus("Login on a closed session", CKR_SESSION_HANDLE_INVALID,
                    JVarnel.Login(rw, CKU_USER, cfg.pin));
        }));

        list.add(new Case("search", () -> {
            restartDriver();
            String keyLabel = Config.required("keyLabel");
            String certLabel = Config.required("certLabel");
            long s = openSession(tokenSlot(cfg), RW_SESSION);

            // Before login the private key is hidden: only the public key carries the label.
            found("private objects labelled " + keyLabel + " before login", s, keyLabel, SEARCH_PRIVATE_LABEL, 0);
            long publicKey = found("objects labelled " + keyLabel + " before login", s, keyLabel, SEARCH_LABEL, 1)
                    .get(0);
            login(s, cfg.pin);
            long privateKey = signingKey(s);
            expectFound("the key pair", s, keyLabel, SEARCH_LABEL, publicKey, privateKey);
            // The label must match whole: a prefix or a longer text names nothing.
            for (String other : new String[] {keyLabel.substring(0, keyLabel.length() - 1), keyLabel + "x"}) {
                found("objects labelled " + show(other), s, other, SEARCH_LABEL, 0);
            }

            long cert = found("objects labelled " + certLabel, s, certLabel, SEARCH_LABEL, 1).get(0);
            if (cert == publicKey || cert == privateKey) {
                throw fail("the certificate's handle " + cert + " is one of the key pair's");
            }
            found("private objects labelled " + certLabel + " (a public certificate)", s, certLabel,
                    SEARCH_PRIVATE_LABEL, 0);
            // Kind 2 lists every certificate whatever the label, null too.
            expectFound("certificates, an unrelated label", s, "no object has this label", SEARCH_CERTIFICATES, cert);
            expectFound("certificates, a null label", s, null, SEARCH_CERTIFICATES, cert);

            // A refused kind starts no search: a valid search still starts afterwards.
            expectStatus("FindObjectsInit(kind -1)", BRIDGE_BAD_SEARCH_KIND, JVarnel.FindObjectsInit(s, keyLabel, -1));
            expectFound("the key pair after the refused kind", s, keyLabel, SEARCH_LABEL, publicKey, privateKey);

            // Out of order, the driver's own answers come back.
            // A token may answer no objects instead (the library's 10030).
            expectFailureAnswer("FindObjects with no search", JVarnel.FindObjects(s),
                    cfg.profile.status("search.findWithoutInit", CKR_OPERATION_NOT_INITIALIZED));
            expectStatus("FindObjectsFinal with no search",
                    cfg.profile.status("search.finalWithoutInit", CKR_OPERATION_NOT_INITIALIZED),
                    JVarnel.FindObjectsFinal(s));
            expectStatus("FindObjectsInit", OK, JVarnel.FindObjectsInit(s, keyLabel, SEARCH_LABEL));
            // Refused, or the search started again.
            expectStatus("FindObjectsInit during a search",
                    cfg.profile.status("search.initDuringSearch", CKR_OPERATION_ACTIVE),
                    JVarnel.FindObjectsInit(s, keyLabel, SEARCH_LABEL));
            expectStatus("FindObjectsFinal", OK, JVarnel.FindObjectsFinal(s));
            logOutAndClose(s);
        }));

        list.add(new Case("sign", () -> {
            restartDriver();
            PublicKey verifyKey = publicKey();
            long s = openSession(tokenSlot(cfg), RW_SESSION);
            login(s, cfg.pin);
            long key = signingKey(s);
            byte[] message = "Varnel signs this message with a key that never leaves the token"
                    .getBytes(StandardCharsets.UTF_8);
            byte[] digestInfo = sha256DigestInfo(message);

            // Bad data is refused before the driver sees it, so the started operation survives.
            expectStatus("SignInit", OK, JVarnel.SignInit(s, key));
            expectArray("Sign(length one past the array)", JVarnel.Sign(s, digestInfo, digestInfo.length + 1),
                    BRIDGE_BAD_DATA, "");
            // Only the first `length` bytes are signed.
            byte[] longer = Arrays.copyOf(digestInfo, digestInfo.length + 40);
            Arrays.fill(longer, digestInfo.length, longer.length, (byte) 0x5a);
            expectVerifies("SHA-256 DigestInfo signature", verifyKey, "SHA256withRSA", message,
                    signature("Sign(DigestInfo and 40 more bytes, length of the DigestInfo)",
                            JVarnel.Sign(s, longer, digestInfo.length)));
            // The signature ended the operation.
            expectFailureAnswer("Sign once the signature is made", JVarnel.Sign(s, digestInfo, digestInfo.length),
                    CKR_OPERATION_NOT_INITIALIZED);

            // Raw bytes are signed as they are.
            byte[] raw = "raw bytes, padded and signed as they are".getBytes(StandardCharsets.UTF_8);
            expectVerifies("raw signature", verifyKey, "NONEwithRSA", raw,
                    signInitAndSign("raw bytes", s, key, raw, raw.length));
            // Nothing to sign: a signature, or the token's refusal.
            String empty = cfg.profile.status("sign.empty", OK);
            if (OK.equals(empty)) {
                expectVerifies("signature over length 0", verifyKey, "NONEwithRSA", new byte[0],
                        signInitAndSign("length 0", s, key, raw, 0));
            } else {
                expectStatus("SignInit for length 0", OK, JVarnel.SignInit(s, key));
                expectFailureAnswer("Sign(length 0)", JVarnel.Sign(s, raw, 0), empty);
            }
            // Refused, as the key may only verify; a token that starts the operation all the same
            // has it ended by a Sign.
            String withPublicKey = cfg.profile.status("sign.withPublicKey", CKR_KEY_FUNCTION_NOT_PERMITTED);
            expectStatus("SignInit with the public key", withPublicKey,
                    JVarnel.SignInit(s, publicHalf(s, Config.required("keyLabel"), key)));
            if (OK.equals(withPublicKey)) {
                JVarnel.Sign(s, digestInfo, digestInfo.length);
            }
            logOutAndClose(s);
        }));

        list.add(new Case("handle-width", () -> {
            // A 64-bit library hands the whole long to the driver; a 32-bit one only has room for its
            // low 32 bits, which name the same session or key.
            restartDriver();
            PublicKey verifyKey = publicKey();
            long s = openSession(tokenSlot(cfg), RW_SESSION);
            login(s, cfg.pin);
            long key = signingKey(s);
            long wideSession = s ^ (1L << 32);
            long wideKey = key ^ (1L << 32);
            // A token that keeps object handles in 32 bits reads the same key from the wide handle.
            boolean narrowObjects = cfg.profile.get("handle.objectBits", "64").equals("32");
            byte[] raw = "handles wider than 32 bits".getBytes(StandardCharsets.UTF_8);

            if (ulongBytes() == 8) {
                // A token that crashes on a session handle it never gave out is not handed one.
                String forged = cfg.profile.get("handle.forgedSession", CKR_SESSION_HANDLE_INVALID);
                boolean crashes = forged.equals("crashes");
                if (!crashes) {
                    expectStatus("SignInit(session ^ 1<<32, key)", forged, JVarnel.SignInit(wideSession, key));
                }
                if (narrowObjects) {
                    expectVerifies("signature with key ^ 1<<32", verifyKey, "NONEwithRSA", raw,
                            signInitAndSign("key ^ 1<<32", s, wideKey, raw, raw.length));
                } else {
                    expectStatus("SignInit(session, key ^ 1<<32)", invalidKey(cfg), JVarnel.SignInit(s, wideKey));
                    expectFailureAnswer("Sign(session) after the refused SignInit calls",
                            JVarnel.Sign(s, raw, raw.length), CKR_OPERATION_NOT_INITIALIZED);
                }
                expectVerifies("signature with the handles as printed", verifyKey, "NONEwithRSA", raw,
                        signInitAndSign("the handles as printed", s, key, raw, raw.length));
                if (!crashes) {
                    expectStatus("CloseSession(session ^ 1<<32)", forged, JVarnel.CloseSession(wideSession));
                }
                closeSession(s);
            } else {
                expectVerifies("signature through session | 1<<32", verifyKey, "NONEwithRSA", raw,
                        signInitAndSign("session | 1<<32", wideSession, key, raw, raw.length));
                expectStatus("SignInit(session, key | 1<<32)", OK, JVarnel.SignInit(s, wideKey));
                expectVerifies("signature with key | 1<<32", verifyKey, "NONEwithRSA", raw,
                        signature("Sign(session | 1<<32) after SignInit(session, key | 1<<32)",
                                JVarnel.Sign(wideSession, raw, raw.length)));
                expectStatus("CloseSession(session | 1<<32)", OK, JVarnel.CloseSession(wideSession));
                expectStatus("CloseSession(session) once closed through the wide handle",
                        CKR_SESSION_HANDLE_INVALID, JVarnel.CloseSession(s));
            }
        }));

        // --- objects: reading attributes, making, relabelling and destroying keys

        list.add(new Case("attributes-of-token-objects", () -> {
            // The pkcs11-tool key pair and the certificate are public objects: readable without login.
            restartDriver();
            String keyLabel = Config.required("keyLabel");
            String certLabel = Config.required("certLabel");
            byte[] certificateDer = Files.readAllBytes(Paths.get(Config.required("certificate")));
            long s = openSession(tokenSlot(cfg), CKF_SERIAL_SESSION);

            long publicKey = found("public objects labelled " + keyLabel, s, keyLabel, SEARCH_LABEL, 1).get(0);
            RSAPublicKey exported = (RSAPublicKey) publicKey();
            RSAPublicKey read = tokenPublicKey(s, publicKey);
            if (!read.getModulus().equals(exported.getModulus())
                    || !read.getPublicExponent().equals(exported.getPublicExponent())) {
                throw fail("modulus and exponent read from " + keyLabel + " differ from the key pkcs11-tool exported");
            }
            expectArray("label of the public key", JVarnel.GetAttributeValue(s, publicKey, "label"), OK, keyLabel);

            long cert = found("objects labelled " + certLabel, s, certLabel, SEARCH_LABEL, 1).get(0);
            expectBytes("certificate read from the token", certificateDer,
                    base64("certificate", attribute(s, cert, "certificate")));
            // A certificate has no public-key attributes; an RSA public key has no CKA_VALUE.
            expectArray("GetAttributeValue(certificate, \"modulus\")", JVarnel.GetAttributeValue(s, cert, "modulus"),
                    CKR_ATTRIBUTE_TYPE_INVALID, "");
            expectArray("GetAttributeValue(public key, \"certificate\")",
                    JVarnel.GetAttributeValue(s, publicKey, "certificate"), CKR_ATTRIBUTE_TYPE_INVALID, "");
            closeSession(s);
        }));

        // The JVM unloads the library with its class loader: more cycles than the process has
        // thread-specific keys, in a JVM of its own, must leave the stack check on.
        list.add(new Case("unload-cycles", () -> runChildJvm("the unload cycles' JVM", childJava(),
                "-Xcheck:jni", "-Djava.library.path=" + System.getProperty("java.library.path"), "-cp",
                System.getProperty("java.class.path"), UnloadCycles.class.getName(), "1100")));

        // The first thread of a process started by a launcher of its own: a failed lookup of its
        // stack (no descriptor free) must not turn the check off.
        String launcher = Config.optional("primordialLauncher");
        if (!launcher.isEmpty()) {
            list.add(new Case("primordial-stack", () -> {
                List<String> command = new ArrayList<>();
                for (String word : childJava()) {
                    if (word.endsWith("/bin/java")) {
                        String home = word.substring(0, word.length() - "/bin/java".length());
                        command.addAll(Arrays.asList(launcher, home + "/lib/server/libjvm.so", "1024"));
                    } else {
                        command.add(word);
                    }
                }
                runChildJvm("the primordial thread's JVM", command, "-Xcheck:jni",
                        "-Djava.library.path=" + System.getProperty("java.library.path"),
                        "-Djava.class.path=" + System.getProperty("java.class.path"),
                        PrimordialStack.class.getName(), cfg.driver);
            }));
        }

        list.add(new Case("deep-stack", () -> {
            // A thread at the end of its stack gets whole answers, never a crash.
            restartDriver();
            String keyLabel = Config.required("keyLabel");
            long s = openSession(tokenSlot(cfg), CKF_SERIAL_SESSION);
            DeepStack deep = new DeepStack(s, found("public objects labelled " + keyLabel, s, keyLabel,
                    SEARCH_LABEL, 1).get(0));
            if (!deep.run()) {
                throw fail(deep.broken);
            }
            if (deep.overflows == 0) {
                throw fail("the recursion never reached the end of its stack");
            }
            System.out.println("deep-stack: " + deep.withoutRoom + " answers without room for the buffers, "
                    + deep.overflows + " StackOverflowError");
            closeSession(s);
        }));

        list.add(new Case("generate-key-pair", () -> {
            restartDriver();
            String label = "varnel-pair";
            long s = openSession(tokenSlot(cfg), RW_SESSION);
            // The private key is a private token object: generating it needs the login.
            expectArray("GenerateKeyPair before login", JVarnel.GenerateKeyPair(s, label, 2048, F4, F4.length),
                    CKR_USER_NOT_LOGGED_IN, "0", "0");
            login(s, cfg.pin);
            // A refused argument makes nothing.
            expectArray("GenerateKeyPair(exponent length one past the array)",
                    JVarnel.GenerateKeyPair(s, label, 2048, F4, F4.length + 1), BRIDGE_BAD_PUBLIC_EXPONENT, "0", "0");
            expectFound("after the refused GenerateKeyPair", s, label, SEARCH_LABEL);

            // Only the first exponentLength bytes are the exponent.
            KeyPair pair = generateKeyPair(cfg, s, label, 2048, new byte[] {1, 0, 1, 0x7f, 0x7f}, 3);
            long pub = pair.publicKey();
            long priv = pair.privateKey();
            expectFound("the new key pair", s, label, SEARCH_LABEL, pub, priv);
            expectFound("the new private key", s, label, SEARCH_PRIVATE_LABEL, priv);
            // The private key never leaves the token.
            expectFlag(cfg, "the new private key", s, priv, CKA_EXTRACTABLE, false);
            if (modulusBits(s, pub, RSA2048_BASE64_LENGTH) != 2048) {
                throw fail("the modulus of the 2048-bit key pair has another size");
            }
            expectArray("exponent of the public key", JVarnel.GetAttributeValue(s, pub, "exponent"), OK, "AQAB");
            expectArray("label of the public key", JVarnel.GetAttributeValue(s, pub, "label"), OK, label);
            // The flags come as the CK_BBOOL byte: CK_TRUE is U+0001, CK_FALSE the empty text. Switching one
            // off at a time tells the two keywords apart.
            expectArray("encrypt flag", JVarnel.GetAttributeValue(s, pub, "encrypt"), OK, "\u0001");
            expectArray("wrap flag", JVarnel.GetAttributeValue(s, pub, "wrap"), OK, "\u0001");
            TestToken.setFlag(cfg.driver, s, pub, CKA_ENCRYPT, false);
            expectArray("encrypt flag once CKA_ENCRYPT is false", JVarnel.GetAttributeValue(s, pub, "encrypt"), OK, "");
            expectArray("wrap flag once CKA_ENCRYPT is false", JVarnel.GetAttributeValue(s, pub, "wrap"), OK,
                    "\u0001");
            TestToken.setFlag(cfg.driver, s, pub, CKA_ENCRYPT, true);
            TestToken.setFlag(cfg.driver, s, pub, CKA_WRAP, false);
            expectArray("encrypt flag once only CKA_WRAP is false", JVarnel.GetAttributeValue(s, pub, "encrypt"), OK,
                    "\u0001");
            expectArray("wrap flag once CKA_WRAP is false", JVarnel.GetAttributeValue(s, pub, "wrap"), OK, "");

            // The private key signs; the public key rebuilt from what GetAttributeValue read verifies.
            byte[] message = "signed with a key pair made through GenerateKeyPair".getBytes(StandardCharsets.UTF_8);
            byte[] digestInfo = sha256DigestInfo(message);
            expectVerifies("signature by the generated key", tokenPublicKey(s, pub), "SHA256withRSA", message,
                    signInitAndSign("the generated key", s, priv, digestInfo, digestInfo.length));

            // Every keyword reads the five public-key attributes together, so a private key (no CKA_ENCRYPT,
            // no CKA_WRAP) answers the driver's refusal even for its modulus; a keyword is matched exactly.
            expectArray("GetAttributeValue(private key, \"modulus\")", JVarnel.GetAttributeValue(s, priv, "modulus"),
                    CKR_ATTRIBUTE_TYPE_INVALID, "");
            expectArray("GetAttributeValue(public key, \"Modulus\")", JVarnel.GetAttributeValue(s, pub, "Modulus"),
                    BRIDGE_UNKNOWN_ATTRIBUTE_NAME, "");

            // The modulus size and the exponent reach the driver. A token may refuse the exponent 3.
            String smallRefusal = cfg.profile.status("generateKeyPair.exponent3", OK);
            if (!OK.equals(smallRefusal)) {
                expectArray("GenerateKeyPair(1024 bits, exponent 3)",
                        JVarnel.GenerateKeyPair(s, label + "-1024", 1024, new byte[] {3}, 1), smallRefusal, "0", "0");
            } else {
                KeyPair small = generateKeyPair(cfg, s, label + "-1024", 1024, new byte[] {3}, 1);
                if (modulusBits(s, small.publicKey(), 172) != 1024) {
                    throw fail("the modulus of the 1024-bit key pair has another size");
                }
                expectArray("exponent of the 1024-bit key pair",
                        JVarnel.GetAttributeValue(s, small.publicKey(), "exponent"), OK, "Aw==");
            }
            logOutAndClose(s);
        }));

        list.add(new Case("public-key-lives-with-its-session", () -> {
            restartDriver();
            String label = "varnel-session";
            int slot = tokenSlot(cfg);
            long maker = openSession(slot, RW_SESSION);
            long other = openSession(slot, RW_SESSION);
            login(maker, cfg.pin);
            // Any size shows it; a small key is quick to make under emulation.
            KeyPair pair = generateKeyPair(cfg, maker, label, 1024, F4, F4.length);
            // A session object is visible to every session of the application while its session lives.
            expectFound("from the other session", other, label, SEARCH_LABEL, pair.publicKey(), pair.privateKey());
            expectStatus("label of the public key from the other session", OK,
                    JVarnel.GetAttributeValue(other, pair.publicKey(), "label")[0]);

            closeSession(maker);
            expectFound("once the session that made the pair closed", other, label, SEARCH_LABEL, pair.privateKey());
            expectArray("GetAttributeValue of the public key once its session closed",
                    JVarnel.GetAttributeValue(other, pair.publicKey(), "label"), invalidObject(cfg), "");
            expectStatus("EncryptInit with the public key once its session closed", invalidKey(cfg),
                    JVarnel.EncryptInit(other, pair.publicKey(), "rsapkcs"));
            closeSession(other);

            // The private key is a token object: it outlives the driver's session state.
            restartDriver();
            long later = openSession(slot, CKF_SERIAL_SESSION);
            login(later, cfg.pin);
            found("private key labelled " + label + " after Finalize and Initialize", later, label,
                    SEARCH_PRIVATE_LABEL, 1);
            found("objects labelled " + label + " after Finalize and Initialize", later, label, SEARCH_LABEL, 1);
            logOutAndClose(later);
        }));

        list.add(new Case("relabel-and-destroy", () -> {
            restartDriver();
            String label = "varnel-relabel";
            // Not ASCII, but within the Basic Multilingual Plane, where Java's and standard UTF-8 agree.
            String renamed = "varnel-renamed Schlüssel ✓";
            long s = openSession(tokenSlot(cfg), RW_SESSION);
            login(s, cfg.pin);
            KeyPair pair = workingKeyPair(cfg, s, label, 1024, Config.optional("spareKeyLabel"));
            long pub = pair.publicKey();
            long priv = pair.privateKey();

            expectStatus("SetAttributeValue(public key, private key, " + show(renamed) + ")", OK,
                    JVarnel.SetAttributeValue(s, pub, priv, renamed));
            expectArray("label of the renamed public key", JVarnel.GetAttributeValue(s, pub, "label"), OK, renamed);
            expectFound("the renamed pair", s, renamed, SEARCH_LABEL, pub, priv);
            expectFound("the renamed private key", s, renamed, SEARCH_PRIVATE_LABEL, priv);
            expectFound("the old label", s, label, SEARCH_LABEL);
            // The token holds the label as UTF-8, as every other client reads it.
            expectBytes("CKA_LABEL of the private key", renamed.getBytes(StandardCharsets.UTF_8),
                    TestToken.attribute(cfg.driver, s, priv, CKA_LABEL));
            expectStatus("SetAttributeValue(null label)", BRIDGE_NULL_LABEL, JVarnel.SetAttributeValue(s, pub, priv, null));
            expectArray("label after the refused null label", JVarnel.GetAttributeValue(s, pub, "label"), OK, renamed);

            // The two changes are not one transaction: a refused second object leaves the first renamed, a
            // refused first object stops the call.
            expectStatus("SetAttributeValue(public key, invalid handle)", invalidObject(cfg),
                    JVarnel.SetAttributeValue(s, pub, 0, "varnel-first-only"));
            expectArray("label of the first object", JVarnel.GetAttributeValue(s, pub, "label"), OK,
                    "varnel-first-only");
            expectFound("the private key under its earlier label", s, renamed, SEARCH_PRIVATE_LABEL, priv);
            expectStatus("SetAttributeValue(invalid handle, public key)", invalidObject(cfg),
                    JVarnel.SetAttributeValue(s, 0, pub, "varnel-never"));
            expectArray("label of the second object", JVarnel.GetAttributeValue(s, pub, "label"), OK,
                    "varnel-first-only");

            expectStatus("DestroyObject(private key)", OK, JVarnel.DestroyObject(s, priv));
            expectFound("the destroyed private key", s, renamed, SEARCH_LABEL);
            expectStatus("DestroyObject(private key) again", invalidObject(cfg), JVarnel.DestroyObject(s, priv));
            expectStatus("SignInit with the destroyed key", invalidKey(cfg), JVarnel.SignInit(s, priv));
            expectStatus("DestroyObject(public key)", OK, JVarnel.DestroyObject(s, pub));
            expectArray("GetAttributeValue of the destroyed public key", JVarnel.GetAttributeValue(s, pub, "label"),
                    invalidObject(cfg), "");
            expectFound("the destroyed public key", s, "varnel-first-only", SEARCH_LABEL);
            logOutAndClose(s);
        }));

        list.add(new Case("generate-aes-key", () -> {
            restartDriver();
            int slot = tokenSlot(cfg);
            long s = openSession(slot, RW_SESSION);
            // A token that makes no AES keys refuses before and after login.
            String refusal = cfg.profile.status("generateKey", OK);
            if (!OK.equals(refusal)) {
                expectArray("GenerateKey before login", JVarnel.GenerateKey(s, 0), refusal, "0");
                login(s, cfg.pin);
                expectArray("GenerateKey", JVarnel.GenerateKey(s, 0), refusal, "0");
                throw new TokenRefuses("GenerateKey answers " + refusal);
            }
            // A private token object: generating it needs the login.
            expectArray("GenerateKey before login", JVarnel.GenerateKey(s, 0), CKR_USER_NOT_LOGGED_IN, "0");
            login(s, cfg.pin);
            // The key has no label: private token objects with an empty label are the AES keys.
            Set<Long> before = new HashSet<>(findAll(s, "", SEARCH_PRIVATE_LABEL));
            Set<Long> made = new HashSet<>();
            for (int ignored : new int[] {0, 128, -1}) {
                String what = "GenerateKey(" + ignored + ")";
                String[] r = JVarnel.GenerateKey(s, ignored);
                expectShape(what, r, OK, 2);
                long key = unsignedValue(what + " handle", r[1]);
                if (key == 0 || !made.add(key) || before.contains(key)) {
                    throw fail(what + ": answered the handle " + key + "; earlier keys " + made + " and " + before);
                }
                long length = ulongAttribute(cfg, s, key, CKA_VALUE_LEN);
                long type = ulongAttribute(cfg, s, key, CKA_KEY_TYPE);
                if (length != 32 || type != CKK_AES) {
                    throw fail(what + ": CKA_VALUE_LEN " + length + ", CKA_KEY_TYPE 0x" + Long.toHexString(type)
                            + "; expected a 32-byte AES key");
                }
                // Sensitive, and allowed for every use.
                for (long flag : AES_KEY_FLAGS) {
                    expectFlag(cfg, what, s, key, flag, true);
                }
            }
            closeSession(s);

            // On the token: found again after Finalize and Initialize.
            restartDriver();
            long later = openSession(slot, CKF_SERIAL_SESSION);
            login(later, cfg.pin);
            List<Long> after = found("private token objects without a label after making " + made.size()
                    + " AES keys", later, "", SEARCH_PRIVATE_LABEL, before.size() + made.size());
            for (long key : after) {
                if (ulongAttribute(cfg, later, key, CKA_VALUE_LEN) != 32) {
                    throw fail("unlabelled private object " + key + " after Initialize: CKA_VALUE_LEN is not 32");
                }
            }
            logOutAndClose(later);
        }));

        // --- encryption, decryption, key wrapping

        list.add(new Case("encrypt-decrypt", () -> {
            restartDriver();
            long s = openSession(tokenSlot(cfg), RW_SESSION);
            login(s, cfg.pin);
            KeyPair pair = workingKeyPair(cfg, s, "varnel-crypt", 2048, Config.optional("keyLabel"));
            long pub = pair.publicKey();
            long priv = pair.privateKey();
            RSAPublicKey javaKey = tokenPublicKey(s, pub);
            byte[] message = "a short secret for the token".getBytes(StandardCharsets.UTF_8);

            // keyword, the JDK's name for the same padding, the longest message it leaves room for under
            // 2048 bits (PKCS#1 v1.5: 256 - 11; OAEP with SHA-1: 256 - 2 * 20 - 2)
            String[][] mechanisms = {
                {"rsapkcs", "RSA/ECB/PKCS1Padding", "245"},
                {"rsapkcsoaep", "RSA/ECB/OAEPWithSHA-1AndMGF1Padding", "214"},
            };
            for (String[] m : mechanisms) {
                String mechanism = m[0];
                int longest = Integer.parseInt(m[2]);
                // Only the first `length` bytes are encrypted.
                byte[] longer = Arrays.copyOf(message, message.length + 30);
                Arrays.fill(longer, message.length, longer.length, (byte) 0x5a);
                expectDecrypts(mechanism + " cipher text made on the token", s, priv, mechanism,
                        encrypt(cfg, mechanism, s, pub, mechanism, longer, message.length), message);

                // The JDK encrypts with the modulus and exponent read off the token; the token decrypts.
                Cipher cipher = Cipher.getInstance(m[1]);
                cipher.init(Cipher.ENCRYPT_MODE, javaKey);
                expectDecrypts(mechanism + " cipher text made by " + m[1], s, priv, mechanism,
                        Base64.getEncoder().encodeToString(cipher.doFinal(message)), message);

                // The longest message the padding leaves room for, and one byte more, which the token
                // refuses. The limits tell the paddings and OAEP's hash apart.
                byte[] full = counting(longest);
                expectDecrypts(mechanism + ", " + longest + " bytes", s, priv, mechanism,
                        encrypt(cfg, mechanism + ", " + longest + " bytes", s, pub, mechanism, full, full.length), full);
                byte[] tooLong = counting(longest + 1);
                expectStatus("EncryptInit(" + mechanism + ") for " + (longest + 1) + " bytes", OK,
                        JVarnel.EncryptInit(s, pub, mechanism));
                expectFailureAnswer("Encrypt(" + mechanism + ", " + (longest + 1) + " bytes)",
                        JVarnel.Encrypt(s, tooLong, tooLong.length),
                        cfg.profile.status("encrypt.tooLong." + mechanism, CKR_DATA_LEN_RANGE));
                s = afterFailedOperation(cfg, s);
                // Nothing to encrypt: a cipher text of the empty message, or the token's refusal.
                String empty = cfg.profile.status("encrypt.empty." + mechanism, OK);
                if (OK.equals(empty)) {
                    expectDecrypts(mechanism + ", nothing", s, priv, mechanism,
                            encrypt(cfg, mechanism + ", nothing", s, pub, mechanism, message, 0), new byte[0]);
                } else {
                    expectStatus("EncryptInit(" + mechanism + ") for nothing", OK,
                            JVarnel.EncryptInit(s, pub, mechanism));
                    expectFailureAnswer("Encrypt(" + mechanism + ", nothing)", JVarnel.Encrypt(s, message, 0), empty);
                }
            }

            // OAEP decryption refuses PKCS#1 v1.5 cipher text.
            String pkcs1 = encrypt(cfg, "PKCS#1 v1.5", s, pub, "rsapkcs", message, message.length);
            byte[] pkcs1Ascii = pkcs1.getBytes(StandardCharsets.US_ASCII);
            expectStatus("DecryptInit(rsapkcsoaep)", OK, JVarnel.DecryptInit(s, priv, "rsapkcsoaep"));
            expectFailureAnswer("Decrypt(OAEP) of PKCS#1 v1.5 cipher text",
                    JVarnel.Decrypt(s, pkcs1Ascii, pkcs1Ascii.length),
                    cfg.profile.status("decrypt.wrongPadding", CKR_ENCRYPTED_DATA_INVALID));
            s = afterFailedOperation(cfg, s);

            // A refused keyword starts no operation.
            expectStatus("EncryptInit(\"RSAPKCS\")", BRIDGE_UNKNOWN_MECHANISM_NAME, JVarnel.EncryptInit(s, pub, "RSAPKCS"));
            expectFailureAnswer("Encrypt after the refused EncryptInit", JVarnel.Encrypt(s, message, message.length),
                    CKR_OPERATION_NOT_INITIALIZED);
            // Refused text never reaches the driver, so the started operation survives it; only the first
            // `length` bytes are read, and what follows them would not decode.
            expectStatus("DecryptInit(rsapkcs)", OK, JVarnel.DecryptInit(s, priv, "rsapkcs"));
            byte[] starred = pkcs1.replace(pkcs1.charAt(100), '*').getBytes(StandardCharsets.US_ASCII);
            expectArray("Decrypt(text with '*')", JVarnel.Decrypt(s, starred, starred.length), BRIDGE_BAD_BASE64, "");
            byte[] trailing = (pkcs1 + "*!*").getBytes(StandardCharsets.US_ASCII);
            expectBytes("plain text after the refused Decrypt", message,
                    decrypt("cipher text and 3 more bytes, length of the cipher text", s, trailing, pkcs1Ascii.length));
            logOutAndClose(s);
        }));

        list.add(new Case("wrap-unwrap", () -> {
            restartDriver();
            long s = openSession(tokenSlot(cfg), RW_SESSION);
            login(s, cfg.pin);
            KeyPair pair = workingKeyPair(cfg, s, "varnel-wrap", 2048, Config.optional("keyLabel"));
            long pub = pair.publicKey();
            long priv = pair.privateKey();
            // A token that does not wrap refuses whatever the key.
            String refusal = cfg.profile.status("wrapKey", OK);
            if (!OK.equals(refusal)) {
                expectArray("WrapKey(rsapkcs, public key, private key)", JVarnel.WrapKey(s, "rsapkcs", pub, priv),
                        refusal, "");
                String text = Base64.getEncoder().encodeToString(counting(256));
                expectArray("UnwrapKey(256 bytes, private key, rsapkcs)", JVarnel.UnwrapKey(s, text, priv, "rsapkcs"),
                        refusal, "0");
                throw new TokenRefuses("WrapKey and UnwrapKey answer " + refusal);
            }
            long des3 = TestToken.generateDes3Key(cfg.driver, s, true);
            long kept = TestToken.generateDes3Key(cfg.driver, s, false);
            byte[] value = TestToken.attribute(cfg.driver, s, des3, CKA_VALUE);
            if (value.length != 24) {
                throw fail("triple-DES key value is " + value.length + " bytes");
            }

            String[] wrapped = JVarnel.WrapKey(s, "rsapkcs", pub, des3);
            expectShape("WrapKey(rsapkcs, public key, triple-DES key)", wrapped, OK, 2);
            if (wrapped[1].length() != RSA2048_BASE64_LENGTH) {
                throw fail("wrapped key: " + wrapped[1].length() + " Base64 characters: " + show(wrapped[1]));
            }
            // The wrapped key is the key's value encrypted under PKCS#1 v1.5.
            expectDecrypts("the wrapped key", s, priv, "rsapkcs", wrapped[1], value);

            String what = "UnwrapKey(wrapped key, private key, rsapkcs)";
            String[] unwrapped = JVarnel.UnwrapKey(s, wrapped[1], priv, "rsapkcs");
            expectShape(what, unwrapped, OK, 2);
            long copy = unsignedValue(what + " handle", unwrapped[1]);
            if (copy == 0 || copy == des3 || copy == kept) {
                throw fail(what + ": answered the handle " + copy);
            }
            long copyClass = ulongAttribute(cfg, s, copy, CKA_CLASS);
            long copyType = ulongAttribute(cfg, s, copy, CKA_KEY_TYPE);
            if (copyClass != CKO_SECRET_KEY || copyType != CKK_DES3) {
                throw fail(what + ": made an object of class " + copyClass + ", key type 0x"
                        + Long.toHexString(copyType) + "; expected a triple-DES secret key");
            }
            expectFlag(cfg, what, s, copy, CKA_ENCRYPT, true);
            expectFlag(cfg, what, s, copy, CKA_DECRYPT, true);
            // The unwrapped key encrypts like the original, and unlike another key.
            byte[] block = "8 bytes!".getBytes(StandardCharsets.US_ASCII);
            byte[] byOriginal = TestToken.encryptDes3Ecb(cfg.driver, s, des3, block);
            expectBytes("block encrypted by the unwrapped key", byOriginal,
                    TestToken.encryptDes3Ecb(cfg.driver, s, copy, block));
            if (Arrays.equals(byOriginal, TestToken.encryptDes3Ecb(cfg.driver, s, kept, block))) {
                throw fail("two different triple-DES keys encrypted the block alike");
            }

            // Refused, or (a token that ignores CKA_EXTRACTABLE on session keys) wrapped all the same.
            String unextractable = cfg.profile.status("wrapKey.unextractable", CKR_KEY_UNEXTRACTABLE);
            String[] keptWrapped = JVarnel.WrapKey(s, "rsapkcs", pub, kept);
            if (OK.equals(unextractable)) {
                expectShape("WrapKey of a key that is not extractable", keptWrapped, OK, 2);
            } else {
                expectFailureAnswer("WrapKey of a key that is not extractable", keptWrapped, unextractable);
            }
            // Wrapping takes PKCS#1 v1.5 only; unwrapping decodes the text before the driver sees it.
            expectArray("WrapKey(\"rsapkcsoaep\")", JVarnel.WrapKey(s, "rsapkcsoaep", pub, des3),
                    BRIDGE_UNKNOWN_MECHANISM_NAME, "");
            expectArray("UnwrapKey(text with '*')", JVarnel.UnwrapKey(s, "*" + wrapped[1].substring(1), priv,
                    "rsapkcs"), BRIDGE_BAD_BASE64, "0");
            logOutAndClose(s);
        }));

        list.add(new Case("certificate-paging", () -> {
            // Every certificate the driver's own search finds, 100 handles a call, each value one the JDK
            // parses.
            restartDriver();
            long s = openSession(tokenSlot(cfg), CKF_SERIAL_SESSION);
            Set<String> expected = new HashSet<>();
            for (long handle : TestToken.objectsOfClass(cfg.driver, s, CKO_CERTIFICATE)) {
                expected.add(Long.toUnsignedString(handle));
            }
            if (expected.isEmpty()) {
                throw fail("the driver finds no certificate on the token");
            }
            List<Integer> expectPages = new ArrayList<>();
            for (int left = expected.size(); left > 0; left -= 100) {
                expectPages.add(Math.min(left, 100));
            }
            expectStatus("FindObjectsInit(certificates)", OK, JVarnel.FindObjectsInit(s, null, SEARCH_CERTIFICATES));
            List<String> handles = new ArrayList<>();
            List<Integer> pages = new ArrayList<>();
            for (String[] r = JVarnel.FindObjects(s); !BRIDGE_NO_MATCH.equals(r[0]) && pages.size() <= expectPages.size();
                    r = JVarnel.FindObjects(s)) {
                expectStatus("FindObjects call #" + (pages.size() + 1), OK, r[0]);
                pages.add(r.length - 1);
                handles.addAll(Arrays.asList(r).subList(1, r.length));
            }
            if (!pages.equals(expectPages) || !new HashSet<>(handles).equals(expected)) {
                throw fail("FindObjects pages of " + expected.size() + " certificates: " + pages + ", expected "
                        + expectPages + "; handles " + handles + ", the driver's " + expected);
            }
            expectStatus("FindObjectsFinal", OK, JVarnel.FindObjectsFinal(s));
            CertificateFactory x509 = CertificateFactory.getInstance("X.509");
            for (String h : handles) {
                x509.generateCertificate(new ByteArrayInputStream(base64("certificate " + h,
                        attribute(s, unsignedValue("certificate handle", h), "certificate"))));
            }
            closeSession(s);
        }));

        // --- cases that need an initialised driver go above this line

        list.add(new Case("finalize-at-exit", () -> {
            restartDriver();
            expectStatus("Finalize()", OK, JVarnel.Finalize());
            expectStatus("Finalize() again", CKR_CRYPTOKI_NOT_INITIALIZED, JVarnel.Finalize());
            expectVersion("after the final Finalize()");
        }));

        return list;
    }

    // ---------------------------------------------------------------- runner

    private int passed;
    private int failed;

    private void report(String name, String detail) {
        if (detail == null) {
            passed++;
            System.out.println("PASS " + name);
        } else {
            failed++;
            System.out.println("FAIL " + name + ": " + detail.replace('\n', ' '));
        }
    }

    private void run(Case c) {
        try {
            c.body().run();
            report(c.name(), null);
        } catch (TokenRefuses e) {
            report(c.name() + " (" + e.getMessage() + ")", null);
        } catch (CheckFailed e) {
            report(c.name(), e.getMessage());
        } catch (Throwable t) {
            // A missing native method, an exception the bridge left pending, a driver call of the helper
            // that failed, an I/O error in the harness: all count against the case, with the JVM's own
            // description.
            report(c.name(), "unexpected " + t + (t.getCause() != null ? ", caused by " + t.getCause() : ""));
        }
    }

    /** Loads the bridge and the native helper; false means no case can run. */
    private boolean preflight(Config cfg) {
        if (cfg.driver.isEmpty() || !new File(cfg.driver).isFile()) {
            report("setup", "PKCS#11 module not found, set -Dvarnel.e2e.driver: " + show(cfg.driver));
            return false;
        }
        try {
            Class.forName("ka.tovik.selvo.jvarnel.JVarnel", true, E2ETest.class.getClassLoader());
            TestToken.load(Config.required("testToken"));
        } catch (Throwable t) {
            Throwable cause = t.getCause() != null ? t.getCause() : t;
            report("setup", "cannot load lib" + JVarnel.LIBRARY_NAME + " from java.library.path="
                    + System.getProperty("java.library.path") + ", or the test helper: " + cause);
            return false;
        }
        return true;
    }

    private int runAll() throws IOException {
        Config cfg = new Config();
        if (preflight(cfg)) {
            Path scratch = Files.createTempDirectory("varnel-e2e-");
            try {
                for (Case c : cases(cfg, scratch)) {
                    if (cfg.profile.runs(c.name())) {
                        run(c);
                    }
                }
                if (!cfg.profile.unread().isEmpty()) {
                    report("profile", "keys no case reads: " + cfg.profile.unread());
                }
            } finally {
                try (var walk = Files.walk(scratch)) {
                    for (Path p : (Iterable<Path>) walk.sorted((a, b) -> b.compareTo(a))::iterator) {
                        Files.deleteIfExists(p);
                    }
                }
            }
        }
        System.out.println("e2e: " + passed + " passed, " + failed + " failed");
        System.out.flush();
        return failed == 0 && passed > 0 ? 0 : 1;
    }

    public static void main(String[] args) throws IOException {
        System.exit(new E2ETest().runAll());
    }
}
