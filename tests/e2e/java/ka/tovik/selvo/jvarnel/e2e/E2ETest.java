package ka.tovik.selvo.jvarnel.e2e;

import java.io.ByteArrayInputStream;
import java.io.ByteArrayOutputStream;
import java.io.File;
import java.io.IOException;
import java.io.Reader;
import java.math.BigInteger;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.security.KeyFactory;
import java.security.MessageDigest;
import java.security.cert.CertificateFactory;
import java.security.PublicKey;
import java.security.Signature;
import java.security.interfaces.RSAPublicKey;
import java.security.spec.RSAPublicKeySpec;
import java.security.spec.X509EncodedKeySpec;
import java.time.Duration;
import java.time.Instant;
import java.time.LocalDateTime;
import java.time.ZoneOffset;
import java.time.format.DateTimeFormatter;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Base64;
import java.util.Collections;
import java.util.HashSet;
import java.util.HexFormat;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.Properties;
import java.util.Set;
import java.util.TreeSet;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

import javax.crypto.Cipher;

import ka.tovik.selvo.jvarnel.JVarnel;

/**
 * End-to-end checks of libVarnel driving a real PKCS#11 module from Java.
 *
 * <p>Run by tests/e2e/run.sh, which prepares a fresh token and passes:
 * <ul>
 * <li>{@code varnel.e2e.profile} - what this token answers where tokens differ ({@link Profile})</li>
 * <li>{@code varnel.e2e.driver} - path of the PKCS#11 module for this JVM's architecture (required)</li>
 * <li>{@code varnel.e2e.tokenLabel}, {@code varnel.e2e.pin}, {@code varnel.e2e.soPin} - the initialised token</li>
 * <li>{@code varnel.e2e.noPkcs11Lib} - a shared library of this architecture without C_Initialize
 *     (defaults to the JVM's own libjava.so)</li>
 * <li>{@code varnel.e2e.foreignModule} - optional: a PKCS#11 module built for the other architecture</li>
 * <li>{@code varnel.e2e.secondTokenLabel} - optional: a second initialised token, holding no objects</li>
 * <li>{@code varnel.e2e.keyLabel}, {@code varnel.e2e.publicKey} - label of the RSA key pair on the first
 *     token (private key private, public key public) and the public key as DER SubjectPublicKeyInfo</li>
 * <li>{@code varnel.e2e.certLabel} - label of the one certificate on the first token</li>
 * <li>{@code varnel.e2e.slotListing}, {@code varnel.e2e.tokenSlotListing} - output of
 *     {@code pkcs11-tool --list-slots} and {@code --list-token-slots}: what the driver told another
 *     client, to compare the bridge's answers with</li>
 * <li>{@code varnel.e2e.certificate} - the DER of that certificate</li>
 * <li>{@code varnel.e2e.certificateCount} - how many certificates pkcs11-tool found on the token</li>
 * <li>{@code varnel.e2e.spareKeyLabel} - optional: a second RSA key pair the runner made, for a token
 *     that makes none through GenerateKeyPair, to relabel and destroy</li>
 * <li>{@code varnel.e2e.testToken} - the test-only native library behind {@link TestToken}, built for
 *     this JVM's architecture</li>
 * </ul>
 *
 * <p>Cases run in order and share the process-wide state of the bridge (loaded driver, initialised or
 * not), so each case states what it expects on entry and what it leaves behind. Output: one line per
 * case, {@code PASS name} or {@code FAIL name: detail}, then {@code e2e: N passed, M failed}.
 */
public final class E2ETest {

    // Status strings the bridge returns.
    static final String OK = "0";
    static final String CKR_CRYPTOKI_NOT_INITIALIZED = "400";
    static final String CKR_CRYPTOKI_ALREADY_INITIALIZED = "401";
    static final String BRIDGE_LOAD_FAILED = "10001";
    static final String BRIDGE_NOT_A_PKCS11_MODULE = "10002";
    static final String BRIDGE_NULL_ARGUMENT = "10033";

    static final String CKR_SLOT_ID_INVALID = "3";
    static final String CKR_OBJECT_HANDLE_INVALID = "130";
    static final String CKR_KEY_HANDLE_INVALID = "96";
    static final String CKR_KEY_FUNCTION_NOT_PERMITTED = "104";
    static final String CKR_OPERATION_ACTIVE = "144";
    static final String CKR_OPERATION_NOT_INITIALIZED = "145";
    static final String CKR_PIN_INCORRECT = "160";
    static final String CKR_SESSION_HANDLE_INVALID = "179";
    static final String CKR_SESSION_PARALLEL_NOT_SUPPORTED = "180";
    static final String CKR_USER_ALREADY_LOGGED_IN = "256";
    static final String CKR_BUFFER_TOO_SMALL = "336";
    static final String BRIDGE_NO_MATCH = "10030";
    static final String BRIDGE_NULL_PIN = "10034";
    static final String BRIDGE_BAD_DATA = "10035";
    static final String BRIDGE_NULL_LABEL = "10036";
    static final String BRIDGE_BAD_SEARCH_KIND = "10050";

    static final String CKR_DATA_LEN_RANGE = "33";
    static final String CKR_ENCRYPTED_DATA_INVALID = "64";
    static final String CKR_ATTRIBUTE_TYPE_INVALID = "18";
    static final String CKR_KEY_UNEXTRACTABLE = "106";
    static final String CKR_USER_NOT_LOGGED_IN = "257";
    static final String BRIDGE_NULL_ATTRIBUTE_NAME = "10038";
    static final String BRIDGE_UNKNOWN_ATTRIBUTE_NAME = "10044";
    static final String BRIDGE_BAD_PUBLIC_EXPONENT = "10045";
    static final String BRIDGE_NULL_MECHANISM_NAME = "10055";
    static final String BRIDGE_NULL_WRAPPED_KEY = "10062";
    static final String BRIDGE_BAD_BASE64 = "10063";
    static final String BRIDGE_UNKNOWN_MECHANISM_NAME = "10064";
    static final String BRIDGE_DATA_TOO_LONG = "10065";
    static final String BRIDGE_WRAPPED_KEY_TOO_LONG = "10066";

    static final String BRIDGE_VERSION = System.getProperty("varnel.version");

    // PKCS#11 values the cases pass or decode.
    static final int CKU_USER = 1;
    static final int CKF_RW_SESSION = 2;
    static final int CKF_SERIAL_SESSION = 4;
    static final long CKF_RNG = 0x1L;
    static final long CKF_LOGIN_REQUIRED = 0x4L;
    static final long CKF_CLOCK_ON_TOKEN = 0x40L;
    static final long CKF_USER_PIN_INITIALIZED = 0x8L;
    static final long CKF_TOKEN_INITIALIZED = 0x400L;

    static final int SEARCH_LABEL = 0;
    static final int SEARCH_PRIVATE_LABEL = 1;
    static final int SEARCH_CERTIFICATES = 2;

    // Attribute types, classes and key types the native helper reads or sets.
    static final long CKA_CLASS = 0x0L;
    static final long CKA_LABEL = 0x3L;
    static final long CKA_VALUE = 0x11L;
    static final long CKA_KEY_TYPE = 0x100L;
    static final long CKA_ENCRYPT = 0x104L;
    static final long CKA_WRAP = 0x106L;
    static final long CKA_VALUE_LEN = 0x161L;
    static final long CKO_SECRET_KEY = 4L;
    static final long CKK_DES3 = 0x15L;
    static final long CKK_AES = 0x1fL;
    /** CKA_SENSITIVE, then CKA_ENCRYPT, DECRYPT, WRAP, UNWRAP, SIGN, VERIFY and DERIVE. */
    static final long[] AES_KEY_FLAGS = {0x103L, 0x104L, 0x105L, 0x106L, 0x107L, 0x108L, 0x10aL, 0x10cL};

    /** The public exponent 65537, big-endian. */
    static final byte[] F4 = {1, 0, 1};
    /** Base64 length of an RSA-2048 modulus, cipher text or wrapped key (256 bytes). */
    static final int RSA2048_BASE64_LENGTH = 344;

    /** GetTokenInfo answers the status and 18 fields, in this order. */
    static final int TI_LABEL = 1;
    static final int TI_MANUFACTURER = 2;
    static final int TI_MODEL = 3;
    static final int TI_SERIAL = 4;
    static final int TI_MAX_SESSIONS = 5;
    static final int TI_MAX_PIN = 9;
    static final int TI_MIN_PIN = 10;
    static final int TI_TOTAL_PUBLIC = 11;
    static final int TI_FREE_PRIVATE = 14;
    static final int TI_HARDWARE = 15;
    static final int TI_FIRMWARE = 16;
    static final int TI_UTC_TIME = 17;
    static final int TI_FLAGS = 18;
    static final int TOKEN_INFO_LENGTH = 19;

    /** DER prefix of a PKCS#1 DigestInfo for SHA-256; the 32-byte digest follows it. */
    static final byte[] SHA256_DIGEST_INFO_PREFIX = {
        0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, (byte) 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01,
        0x05, 0x00, 0x04, 0x20,
    };
    /** Base64 length of an RSA-2048 signature (256 bytes). */
    static final int RSA2048_SIGNATURE_BASE64_LENGTH = 344;

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

        /** The profile's value for {@code key}, which it must give. */
        String required(String key) {
            read.add(key);
            String value = values.getProperty(key);
            if (value == null) {
                throw fail("the token profile has no " + key);
            }
            return value.trim();
        }

        /** Whether the case runs on this token: all do unless the key "cases" lists some. */
        boolean runs(String name) {
            read.add("cases");
            String only = values.getProperty("cases");
            return only == null || Arrays.asList(only.trim().split("\\s+")).contains(name);
        }

        Set<String> unread() {
            Set<String> keys = new TreeSet<>(values.stringPropertyNames());
            keys.removeAll(read);
            return keys;
        }
    }

    /** Settings handed over by the runner. */
    static final class Config {
        final Profile profile;
        final String driver;
        final String tokenLabel;
        final String pin;
        final String soPin;
        final String noPkcs11Lib;
        final String foreignModule;
        final String secondTokenLabel;
        final String keyLabel;
        final String publicKey;
        final String certLabel;
        final String slotListing;
        final String tokenSlotListing;
        final String certificate;
        final String testToken;
        final String certificateCount;
        final String spareKeyLabel;

        Config() throws IOException {
            profile = new Profile(System.getProperty("varnel.e2e.profile", ""));
            driver = System.getProperty("varnel.e2e.driver", "");
            tokenLabel = System.getProperty("varnel.e2e.tokenLabel", "varnel-e2e");
            pin = System.getProperty("varnel.e2e.pin", "1234");
            soPin = System.getProperty("varnel.e2e.soPin", "5678");
            noPkcs11Lib = System.getProperty("varnel.e2e.noPkcs11Lib",
                    System.getProperty("java.home") + File.separator + "lib" + File.separator + "libjava.so");
            foreignModule = System.getProperty("varnel.e2e.foreignModule", "");
            secondTokenLabel = System.getProperty("varnel.e2e.secondTokenLabel", "");
            keyLabel = System.getProperty("varnel.e2e.keyLabel", "");
            publicKey = System.getProperty("varnel.e2e.publicKey", "");
            certLabel = System.getProperty("varnel.e2e.certLabel", "");
            slotListing = System.getProperty("varnel.e2e.slotListing", "");
            tokenSlotListing = System.getProperty("varnel.e2e.tokenSlotListing", "");
            certificate = System.getProperty("varnel.e2e.certificate", "");
            testToken = System.getProperty("varnel.e2e.testToken", "");
            certificateCount = System.getProperty("varnel.e2e.certificateCount", "");
            spareKeyLabel = System.getProperty("varnel.e2e.spareKeyLabel", "");
        }

        /** A setting the token cases cannot do without. */
        static String required(String property, String value) {
            if (value.isEmpty()) {
                throw fail("-D" + property + " is not set: run the suite through tests/e2e/run.sh");
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

    // ---------------------------------------------------------------- checks

    static CheckFailed fail(String message) {
        return new CheckFailed(message);
    }

    /** Quotes the text; control characters (a CK_BBOOL flag read as text, CR, LF) show as escapes. */
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

    static String show(String s) {
        if (s == null) {
            return "null";
        }
        StringBuilder b = new StringBuilder("\"");
        if (s.length() > 400) {
            s = s.substring(0, 400) + "... (" + s.length() + " characters)";
        }
        for (char c : s.toCharArray()) {
            if (c < 0x20 || c == 0x7f) {
                b.append(String.format("\\u%04x", (int) c));
            } else {
                b.append(c);
            }
        }
        return b.append('"').toString();
    }

    static String show(String[] a) {
        if (a == null) {
            return "null";
        }
        StringBuilder b = new StringBuilder("{");
        for (int i = 0; i < a.length; i++) {
            b.append(i == 0 ? "" : ", ").append(show(a[i]));
        }
        return b.append('}').toString();
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

    /** The call answered a well-formed status other than success. */
    static void expectFailure(String what, String actual) {
        statusCode(what, actual);
        if (OK.equals(actual)) {
            throw fail(what + ": expected a failure status, got 0");
        }
    }

    /** The array answer is exactly {@code expected}, element by element. */
    static void expectArray(String what, String[] actual, String... expected) {
        if (actual == null) {
            throw fail(what + ": returned null, expected " + show(expected));
        }
        if (actual.length > 0) {
            statusCode(what, actual[0]);
        }
        if (!Arrays.equals(expected, actual)) {
            throw fail(what + ": expected " + show(expected) + ", got " + show(actual));
        }
    }

    /** The bridge version is reported correctly; {@code when} names the state being checked. */
    static void expectVersion(String when) {
        expectArray("GetVersion() " + when, JVarnel.GetVersion(), OK, BRIDGE_VERSION);
    }

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

    /** Whether the driver counts initialisations: a second Initialize succeeds and needs its Finalize. */
    static boolean countsInitializations(Config cfg) {
        return cfg.profile.get("initialize.counted", "no").equals("yes");
    }

    /** True when this JVM, and so the library it loaded, is 64-bit. */
    static boolean is64BitJvm() {
        String model = System.getProperty("sun.arch.data.model", "");
        if (model.equals("64") || model.equals("32")) {
            return model.equals("64");
        }
        String arch = System.getProperty("os.arch", "");
        if (arch.equals("amd64") || arch.equals("x86_64")) {
            return true;
        }
        if (arch.equals("x86") || arch.equals("i386") || arch.equals("i686")) {
            return false;
        }
        throw fail("cannot tell whether this JVM is 32- or 64-bit: sun.arch.data.model=" + show(model)
                + ", os.arch=" + show(arch));
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
        if (actual == null || actual.length == 0) {
            throw fail(what + ": returned " + show(actual) + ", expected status " + status);
        }
        expectStatus(what, status, actual[0]);
        for (int i = 1; i < actual.length; i++) {
            if (!actual[i].isEmpty()) {
                throw fail(what + ": failed with " + status + " but answered data: " + show(actual));
            }
        }
    }

    static String padded(String text, int width) {
        return String.format("%-" + width + "s", text);
    }

    /** Element {@code index} of a GetTokenInfo answer is exactly {@code expected}. */
    static void expectField(String what, String[] info, int index, String name, String expected) {
        if (!expected.equals(info[index])) {
            throw fail(what + ": " + name + " (element " + index + ") expected " + show(expected) + ", got "
                    + show(info[index]));
        }
    }

    /** The flags word GetTokenInfo reports for {@code slot} now. */
    static long tokenFlags(int slot) {
        String what = "GetTokenInfo(" + Integer.toUnsignedString(slot) + ")";
        String[] info = JVarnel.GetTokenInfo(slot);
        expectShape(what, info, OK, TOKEN_INFO_LENGTH);
        return unsignedValue(what + " flags", info[TI_FLAGS]);
    }

    /** A search found exactly {@code count} objects. */
    static List<Long> expectHandles(String what, List<Long> found, int count) {
        if (found.size() != count) {
            throw fail(what + ": expected " + count + " object(s), found " + found.size() + ": " + found);
        }
        return Collections.unmodifiableList(found);
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
            if (call > 50) {
                throw fail("FindObjects for " + what + " never answered " + BRIDGE_NO_MATCH + "; found " + found);
            }
            String[] r = JVarnel.FindObjects(session);
            if (r == null || r.length == 0) {
                throw fail("FindObjects call #" + call + " for " + what + " returned " + show(r));
            }
            if (BRIDGE_NO_MATCH.equals(r[0])) {
                expectShape("FindObjects call #" + call + " for " + what + " (no more objects)", r,
                        BRIDGE_NO_MATCH, 1);
                break;
            }
            expectStatus("FindObjects call #" + call + " for " + what, OK, r[0]);
            if (r.length < 2 || r.length > 101) {
                throw fail("FindObjects for " + what + " succeeded with " + (r.length - 1)
                        + " handles (expected 1 to 100): " + show(r));
            }
            for (int i = 1; i < r.length; i++) {
                long h = unsignedValue("FindObjects for " + what + " element " + i, r[i]);
                if (found.contains(h)) {
                    throw fail("FindObjects for " + what + " gave handle " + h + " twice: " + show(r));
                }
                found.add(h);
            }
        }
        expectStatus("FindObjectsFinal for " + what, OK, JVarnel.FindObjectsFinal(session));
        return found;
    }

    /**
     * The session to go on with after an operation failed: the same, as a failure ends the operation,
     * or, from a token that keeps it active (the profile's failure.keepsOperation), a new session of
     * the same logged-in token.
     */
    static long afterFailedOperation(Config cfg, long session) throws IOException {
        if (!cfg.profile.get("failure.keepsOperation", "no").equals("yes")) {
            return session;
        }
        expectStatus("EncryptInit once an operation failed", CKR_OPERATION_ACTIVE,
                JVarnel.EncryptInit(session, 0, "rsapkcs"));
        return openSession(tokenSlot(cfg), CKF_SERIAL_SESSION | CKF_RW_SESSION);
    }

    /** What the attribute and object calls answer for an object handle the token does not have. */
    static String invalidObject(Config cfg) {
        return cfg.profile.status("object.invalidHandle", CKR_OBJECT_HANDLE_INVALID);
    }

    /** What an operation's init answers for a key handle the token does not have. */
    static String invalidKey(Config cfg) {
        return cfg.profile.status("key.invalidHandle", CKR_KEY_HANDLE_INVALID);
    }

    /** The handle of the private signing key; the session must be logged in. */
    static long signingKey(Config cfg, long session) {
        List<Long> keys = findAll(session, cfg.keyLabel, SEARCH_PRIVATE_LABEL);
        if (keys.size() != 1) {
            throw fail("private objects labelled " + show(cfg.keyLabel) + ": expected 1, found " + keys);
        }
        return keys.get(0);
    }

    /** Signs {@code data[0..length)} in a session where SignInit succeeded; returns the raw signature. */
    static byte[] sign(String what, long session, byte[] data, int length) {
        String[] r = JVarnel.Sign(session, data, length);
        expectShape(what, r, OK, 2);
        if (r[1].length() != RSA2048_SIGNATURE_BASE64_LENGTH) {
            throw fail(what + ": signature is " + r[1].length() + " Base64 characters, expected "
                    + RSA2048_SIGNATURE_BASE64_LENGTH + ": " + show(r[1]));
        }
        byte[] signature;
        try {
            signature = Base64.getDecoder().decode(r[1]);
        } catch (IllegalArgumentException e) {
            throw fail(what + ": signature is not Base64 (" + e.getMessage() + "): " + show(r[1]));
        }
        if (signature.length != 256) {
            throw fail(what + ": signature decodes to " + signature.length + " bytes, expected 256");
        }
        return signature;
    }

    /** SignInit followed by one Sign over {@code data[0..length)}. */
    static byte[] signInitAndSign(String what, long session, long key, byte[] data, int length) {
        expectStatus("SignInit(" + session + ", " + key + ") for " + what, OK, JVarnel.SignInit(session, key));
        return sign("Sign for " + what, session, data, length);
    }

    static PublicKey publicKey(Config cfg) throws Exception {
        Path der = Paths.get(Config.required("varnel.e2e.publicKey", cfg.publicKey));
        return KeyFactory.getInstance("RSA").generatePublic(new X509EncodedKeySpec(Files.readAllBytes(der)));
    }

    /** The SHA-256 DigestInfo of {@code message}: what a PKCS#1 v1.5 SHA256withRSA signature covers. */
    static byte[] sha256DigestInfo(byte[] message) throws Exception {
        ByteArrayOutputStream b = new ByteArrayOutputStream();
        b.write(SHA256_DIGEST_INFO_PREFIX);
        b.write(MessageDigest.getInstance("SHA-256").digest(message));
        return b.toByteArray();
    }

    /** The signature verifies with {@code algorithm} over {@code signed} against the exported public key. */
    static void expectVerifies(String what, PublicKey key, String algorithm, byte[] signed, byte[] signature)
            throws Exception {
        Signature verifier = Signature.getInstance(algorithm);
        verifier.initVerify(key);
        verifier.update(signed);
        if (!verifier.verify(signature)) {
            throw fail(what + ": the signature does not verify with " + algorithm + " against the public key");
        }
    }

    // ------------------------------------------------------- keys, attributes, cipher text

    /** The slot of the token the cases use, as pkcs11-tool listed it. */
    static int tokenSlot(Config cfg) throws IOException {
        return listedToken(readListing("varnel.e2e.slotListing", cfg.slotListing), cfg.tokenLabel).slotArgument();
    }

    /** Loads the test-only native helper; cases calling {@link TestToken} start with this. */
    static void loadTestToken(Config cfg) {
        String path = Config.required("varnel.e2e.testToken", cfg.testToken);
        if (!new File(path).isFile()) {
            throw fail("test helper library not found: " + path);
        }
        TestToken.load(path);
    }

    /** A CK_ULONG attribute read through the helper: sizeof(CK_ULONG) bytes in the platform's order. */
    static long ulongAttribute(Config cfg, long session, long object, long type) {
        byte[] raw = TestToken.attribute(cfg.driver, session, object, type);
        int width = is64BitJvm() ? 8 : 4;
        if (raw.length != width) {
            throw fail("attribute 0x" + Long.toHexString(type) + " of object " + object + " is " + raw.length
                    + " bytes, expected a " + width + "-byte CK_ULONG");
        }
        long value = 0;
        for (int i = width - 1; i >= 0; i--) {
            value = (value << 8) | (raw[i] & 0xff);
        }
        return value;
    }

    record KeyPair(long publicKey, long privateKey) {
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
        long privateKey = expectHandles("private objects labelled " + made,
                findAll(session, made, SEARCH_PRIVATE_LABEL), 1).get(0);
        List<Long> pair = findAll(session, made, SEARCH_LABEL);
        pair.remove(Long.valueOf(privateKey));
        if (pair.size() != 1) {
            throw fail("expected the public key beside the private key " + privateKey + ", found " + pair);
        }
        return new KeyPair(pair.get(0), privateKey);
    }

    /** The searches by label find exactly the given objects, in any order. */
    static void expectFound(String what, long session, String label, int kind, Long... expected) {
        List<Long> found = findAll(session, label, kind);
        if (found.size() != expected.length || !new HashSet<>(found).equals(new HashSet<>(List.of(expected)))) {
            throw fail(what + ": search (" + show(label) + ", kind " + kind + ") found " + found + ", expected "
                    + Arrays.toString(expected));
        }
    }

    /** GetAttributeValue, which must succeed; returns the value text. */
    static String attribute(long session, long object, String keyword) {
        String what = "GetAttributeValue(" + object + ", " + show(keyword) + ")";
        String[] r = JVarnel.GetAttributeValue(session, object, keyword);
        expectShape(what, r, OK, 2);
        return r[1];
    }

    static byte[] base64(String what, String text) {
        try {
            return Base64.getDecoder().decode(text);
        } catch (IllegalArgumentException e) {
            throw fail(what + ": not Base64 (" + e.getMessage() + "): " + show(text));
        }
    }

    /** The public key built from the modulus and exponent GetAttributeValue reads off {@code object}. */
    static RSAPublicKey tokenPublicKey(long session, long object) throws Exception {
        BigInteger modulus = new BigInteger(1, base64("modulus of " + object, attribute(session, object, "modulus")));
        BigInteger exponent = new BigInteger(1,
                base64("exponent of " + object, attribute(session, object, "exponent")));
        return (RSAPublicKey) KeyFactory.getInstance("RSA").generatePublic(new RSAPublicKeySpec(modulus, exponent));
    }

    /** EncryptInit and one Encrypt over {@code data[0..length)}; returns the Base64 cipher text. */
    static String encrypt(Config cfg, String what, long session, long key, String mechanism, byte[] data,
            int length) {
        expectStatus("EncryptInit(" + show(mechanism) + ") for " + what, OK,
                JVarnel.EncryptInit(session, key, mechanism));
        return cipherText(cfg, "Encrypt for " + what, JVarnel.Encrypt(session, data, length));
    }

    /**
     * The RSA-2048 cipher text of a successful Encrypt answer, in Base64: 256 bytes, or, from a token
     * that reports its output buffer's length instead (the profile's encrypt.reportedLength), the first
     * 256 of that many bytes, the rest zeros as the library cleared them.
     */
    static String cipherText(Config cfg, String what, String[] r) {
        expectShape(what, r, OK, 2);
        int reported = Integer.parseInt(cfg.profile.get("encrypt.reportedLength", "256"));
        byte[] bytes = base64(what, r[1]);
        if (bytes.length != reported || r[1].length() != (reported + 2) / 3 * 4) {
            throw fail(what + ": expected " + reported + " bytes as " + (reported + 2) / 3 * 4
                    + " Base64 characters, got " + bytes.length + " as " + show(r[1]));
        }
        for (int i = 256; i < reported; i++) {
            if (bytes[i] != 0) {
                throw fail(what + ": byte " + i + " past the cipher text is " + bytes[i] + ", not 0");
            }
        }
        return Base64.getEncoder().encodeToString(Arrays.copyOf(bytes, 256));
    }

    /** Decrypt of {@code text} (Base64, passed as its US-ASCII bytes) in a started decryption. */
    static byte[] decrypt(String what, long session, String text) {
        byte[] ascii = text.getBytes(StandardCharsets.US_ASCII);
        String[] r = JVarnel.Decrypt(session, ascii, ascii.length);
        expectShape("Decrypt for " + what, r, OK, 2);
        return base64("Decrypt for " + what, r[1]);
    }

    /** DecryptInit and one Decrypt; the plain text must be {@code expected}. */
    static void expectDecrypts(String what, long session, long key, String mechanism, String text, byte[] expected) {
        expectStatus("DecryptInit(" + show(mechanism) + ") for " + what, OK,
                JVarnel.DecryptInit(session, key, mechanism));
        expectBytes(what, expected, decrypt(what, session, text));
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

    /** {@code length} bytes counting up from 0: a leading zero byte, and every value in turn. */
    static byte[] counting(int length) {
        byte[] b = new byte[length];
        for (int i = 0; i < length; i++) {
            b[i] = (byte) i;
        }
        return b;
    }

    // ------------------------------------------------------- the driver's own view

    /** A slot as pkcs11-tool listed it: its ID and the "name : value" lines under it. */
    record ListedSlot(long id, Map<String, String> fields) {
        String field(String name) {
            String v = fields.get(name);
            if (v == null) {
                throw fail("pkcs11-tool listing: slot 0x" + Long.toHexString(id) + " has no " + show(name)
                        + " line: " + fields);
            }
            return v;
        }

        boolean initialized() {
            return fields.containsKey("token label");
        }

        /** The slot ID as the int the Java methods take. */
        int slotArgument() {
            return (int) id;
        }
    }

    private static final Pattern LISTED_SLOT = Pattern.compile("^Slot [0-9]+ \\(0x([0-9a-fA-F]+)\\):.*");
    private static final Pattern LISTED_FIELD = Pattern.compile("^\\s+([^:]*[^:\\s])\\s*:\\s*(.*)$");

    /** Reads the output of {@code pkcs11-tool --list-slots} or {@code --list-token-slots}. */
    static List<ListedSlot> readListing(String property, String path) throws IOException {
        List<String> lines = Files.readAllLines(Paths.get(Config.required(property, path)), StandardCharsets.UTF_8);
        List<ListedSlot> slots = new ArrayList<>();
        Map<String, String> fields = null;
        for (String line : lines) {
            Matcher slot = LISTED_SLOT.matcher(line);
            if (slot.matches()) {
                fields = new LinkedHashMap<>();
                slots.add(new ListedSlot(Long.parseUnsignedLong(slot.group(1), 16), fields));
                continue;
            }
            Matcher field = LISTED_FIELD.matcher(line);
            if (fields != null && field.matches()) {
                fields.put(field.group(1), field.group(2));
            }
        }
        if (slots.isEmpty()) {
            throw fail("no slot in the pkcs11-tool listing " + path + ": " + lines);
        }
        return slots;
    }

    static ListedSlot listedToken(List<ListedSlot> slots, String label) {
        for (ListedSlot s : slots) {
            if (s.initialized() && s.field("token label").equals(label)) {
                return s;
            }
        }
        throw fail("the pkcs11-tool listing shows no token labelled " + show(label));
    }

    /** pkcs11-tool's names for CK_TOKEN_INFO flags; what it has no name for it prints as "other flags=0x..". */
    private static final Map<String, Long> TOKEN_FLAG_NAMES = Map.ofEntries(
            Map.entry("rng", 0x1L),
            Map.entry("readonly", 0x2L),
            Map.entry("login required", 0x4L),
            Map.entry("PIN initialized", 0x8L),
            Map.entry("PIN pad present", 0x100L),
            Map.entry("token initialized", 0x400L),
            Map.entry("user PIN count low", 0x10000L),
            Map.entry("final user PIN try", 0x20000L),
            Map.entry("user PIN locked", 0x40000L),
            Map.entry("user PIN to be changed", 0x80000L),
            Map.entry("SO PIN count low", 0x100000L),
            Map.entry("final SO PIN try", 0x200000L),
            Map.entry("SO PIN locked", 0x400000L),
            Map.entry("SO PIN to be changed", 0x800000L));

    /** The flags word behind pkcs11-tool's "token flags" line. */
    static long listedFlags(ListedSlot slot) {
        long flags = 0;
        for (String name : slot.field("token flags").split(",")) {
            name = name.trim();
            Long bit = TOKEN_FLAG_NAMES.get(name);
            if (bit != null) {
                flags |= bit;
            } else if (name.startsWith("other flags=0x")) {
                flags |= Long.parseUnsignedLong(name.substring("other flags=0x".length()), 16);
            } else {
                throw fail("pkcs11-tool listing: unknown token flag " + show(name));
            }
        }
        return flags;
    }

    /** A slot ID that none of the listed slots has. */
    static int unusedSlotId(List<ListedSlot> allSlots) {
        Set<Long> used = new HashSet<>();
        for (ListedSlot s : allSlots) {
            used.add(s.id());
        }
        long id = 0x7ffffff0L;
        while (used.contains(id)) {
            id--;
        }
        return (int) id;
    }

    static String slotText(ListedSlot s) {
        return Long.toUnsignedString(s.id());
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
            expectFailure("Initialize() with no driver loaded", JVarnel.Initialize());
            expectFailure("Finalize() with no driver loaded", JVarnel.Finalize());
            expectVersion("after Initialize/Finalize with no driver");
        }));

        // --- LoadDriver refusals; each leaves no driver behind

        list.add(new Case("load-driver-unloadable-paths", () -> {
            expectStatus("LoadDriver(null)", BRIDGE_NULL_ARGUMENT, JVarnel.LoadDriver(null));
            expectVersion("after LoadDriver(null)");

            Path missing = scratch.resolve("no-such-module.so");
            expectStatus("LoadDriver(missing file)", BRIDGE_LOAD_FAILED, JVarnel.LoadDriver(missing.toString()));

            Path text = scratch.resolve("not-elf.so");
            Files.write(text, "this is not a shared object\n".getBytes(StandardCharsets.US_ASCII));
            expectStatus("LoadDriver(text file)", BRIDGE_LOAD_FAILED, JVarnel.LoadDriver(text.toString()));

            expectStatus("LoadDriver(directory)", BRIDGE_LOAD_FAILED, JVarnel.LoadDriver(scratch.toString()));

            if (!cfg.foreignModule.isEmpty()) {
                expectStatus("LoadDriver(module of the other architecture " + cfg.foreignModule + ")",
                        BRIDGE_LOAD_FAILED, JVarnel.LoadDriver(cfg.foreignModule));
            }
            expectVersion("after failed LoadDriver calls");
            expectFailure("Initialize() after only failed LoadDriver calls", JVarnel.Initialize());
        }));

        list.add(new Case("load-driver-not-a-pkcs11-module", () -> {
            if (!new File(cfg.noPkcs11Lib).isFile()) {
                throw fail("library without C_Initialize not found: " + cfg.noPkcs11Lib);
            }
            expectStatus("LoadDriver(" + cfg.noPkcs11Lib + ")", BRIDGE_NOT_A_PKCS11_MODULE,
                    JVarnel.LoadDriver(cfg.noPkcs11Lib));
            expectVersion("after loading a library without C_Initialize");
            expectFailure("Initialize() after the refused library", JVarnel.Initialize());
        }));

        // --- the real driver

        list.add(new Case("load-driver", () -> {
            expectStatus("LoadDriver(" + cfg.driver + ")", OK, JVarnel.LoadDriver(cfg.driver));
            expectStatus("second LoadDriver(same path)", OK, JVarnel.LoadDriver(cfg.driver));
            expectVersion("after LoadDriver");
        }));

        list.add(new Case("initialize-finalize-cycle", () -> {
            boolean counts = countsInitializations(cfg);
            expectStatus("Initialize()", OK, JVarnel.Initialize());
            expectStatus("second Initialize()", counts ? OK : CKR_CRYPTOKI_ALREADY_INITIALIZED, JVarnel.Initialize());
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
            expectStatus("second Initialize() after reloading",
                    countsInitializations(cfg) ? OK : CKR_CRYPTOKI_ALREADY_INITIALIZED, JVarnel.Initialize());
        }));

        // --- the token road: slots, token information, sessions, search, signing

        list.add(new Case("slot-list", () -> {
            restartDriver();
            List<ListedSlot> tokenSlots = readListing("varnel.e2e.tokenSlotListing", cfg.tokenSlotListing);
            List<ListedSlot> allSlots = readListing("varnel.e2e.slotListing", cfg.slotListing);
            listedToken(tokenSlots, cfg.tokenLabel);
            if (!cfg.secondTokenLabel.isEmpty()) {
                listedToken(tokenSlots, cfg.secondTokenLabel);
            }

            List<String> present = new ArrayList<>(List.of(OK));
            for (ListedSlot s : tokenSlots) {
                present.add(slotText(s));
            }
            String[] expectPresent = present.toArray(new String[0]);
            expectArray("GetSlotList(1)", JVarnel.GetSlotList(1), expectPresent);

            // The buffer is sized by the number of token slots: when the driver has more slots than
            // that it answers CKR_BUFFER_TOO_SMALL with the count it needed, and no slot is reported.
            // SoftHSM counts its empty last slot as holding a (not initialised) token, so it lists
            // every slot.
            String[] all = JVarnel.GetSlotList(0);
            if (allSlots.size() > tokenSlots.size()) {
                String[] expectAll = new String[allSlots.size() + 1];
                Arrays.fill(expectAll, "");
                expectAll[0] = CKR_BUFFER_TOO_SMALL;
                expectArray("GetSlotList(0) with " + allSlots.size() + " slots, " + tokenSlots.size()
                        + " of them with a token", all, expectAll);
            } else {
                List<String> every = new ArrayList<>(List.of(OK));
                for (ListedSlot s : allSlots) {
                    every.add(slotText(s));
                }
                expectArray("GetSlotList(0), every slot holding a token", all, every.toArray(new String[0]));
            }

            expectStatus("Finalize()", OK, JVarnel.Finalize());
            expectFailureAnswer("GetSlotList(1) after Finalize()", JVarnel.GetSlotList(1),
                    CKR_CRYPTOKI_NOT_INITIALIZED);
            expectStatus("Initialize() after the refused GetSlotList", OK, JVarnel.Initialize());
            expectArray("GetSlotList(1) once initialised again", JVarnel.GetSlotList(1), expectPresent);
        }));

        list.add(new Case("token-info", () -> {
            restartDriver();
            List<ListedSlot> allSlots = readListing("varnel.e2e.slotListing", cfg.slotListing);
            ListedSlot token = listedToken(allSlots, cfg.tokenLabel);

            String what = "GetTokenInfo(" + slotText(token) + ")";
            String[] info = JVarnel.GetTokenInfo(token.slotArgument());
            expectShape(what, info, OK, TOKEN_INFO_LENGTH);
            // Text fields keep their blank padding, and agree with what pkcs11-tool read.
            expectField(what, info, TI_LABEL, "label", padded(cfg.tokenLabel, 32));
            expectField(what, info, TI_MANUFACTURER, "manufacturerID as listed",
                    padded(token.field("token manufacturer"), 32));
            // A token may pad with NUL, where the text ends.
            String model = token.field("token model");
            expectField(what, info, TI_MODEL, "model as listed",
                    cfg.profile.get("token.modelPadding", "blank").equals("nul") ? model : padded(model, 16));
            expectField(what, info, TI_SERIAL, "serialNumber", padded(token.field("serial num"), 16));
            // The session and memory counters (pkcs11-tool shows none of them), as the token reports
            // them with no session open: unlimited, unavailable, or a number.
            String counters = String.join(" ", Arrays.copyOfRange(info, TI_MAX_SESSIONS, TI_MAX_PIN)) + " "
                    + String.join(" ", Arrays.copyOfRange(info, TI_TOTAL_PUBLIC, TI_FREE_PRIVATE + 1));
            String expectCounters = cfg.profile.required("token.counters").replaceAll("\\s+", " ");
            if (!counters.equals(expectCounters)) {
                throw fail(what + ": session and memory counters " + show(counters) + ", expected "
                        + show(expectCounters));
            }
            String[] minMax = token.field("pin min/max").split("/");
            if (minMax.length != 2) {
                throw fail("pkcs11-tool listing: pin min/max is not min/max: " + show(token.field("pin min/max")));
            }
            expectField(what, info, TI_MIN_PIN, "ulMinPinLen as listed", minMax[0]);
            expectField(what, info, TI_MAX_PIN, "ulMaxPinLen as listed", minMax[1]);
            expectField(what, info, TI_HARDWARE, "hardwareVersion", token.field("hardware version"));
            expectField(what, info, TI_FIRMWARE, "firmwareVersion", token.field("firmware version"));
            if (!info[TI_HARDWARE].matches("[0-9]+\\.[0-9]+")) {
                throw fail(what + ": hardwareVersion is not major.minor: " + show(info[TI_HARDWARE]));
            }

            long flags = unsignedValue(what + " flags", info[TI_FLAGS]);
            // A token with a clock fills utcTime with the current time, "YYYYMMDDhhmmss00" (or in a
            // form of its own, which the profile gives); without one the field means nothing.
            String utc = info[TI_UTC_TIME];
            String clock = cfg.profile.get("token.clock", "[0-9]{14}00");
            if ((flags & CKF_CLOCK_ON_TOKEN) != 0 && !clock.equals("[0-9]{14}00")) {
                if (!utc.matches(clock)) {
                    throw fail(what + ": utcTime does not match " + clock + ": " + show(utc));
                }
            } else if ((flags & CKF_CLOCK_ON_TOKEN) != 0) {
                if (!utc.matches(clock)) {
                    throw fail(what + ": utcTime is not YYYYMMDDhhmmss00: " + show(utc));
                }
                Instant tokenTime = LocalDateTime.parse(utc.substring(0, 14),
                        DateTimeFormatter.ofPattern("yyyyMMddHHmmss")).toInstant(ZoneOffset.UTC);
                if (Duration.between(tokenTime, Instant.now()).abs().compareTo(Duration.ofMinutes(10)) > 0) {
                    throw fail(what + ": utcTime " + utc + " is far from now, " + Instant.now());
                }
            } else if (utc.length() != 16) {
                throw fail(what + ": utcTime is not 16 characters: " + show(utc));
            }

            long required = CKF_RNG | CKF_LOGIN_REQUIRED | CKF_USER_PIN_INITIALIZED | CKF_TOKEN_INITIALIZED;
            if ((flags & required) != required) {
                throw fail(what + ": flags 0x" + Long.toHexString(flags) + " lack some of 0x"
                        + Long.toHexString(required));
            }
            if (flags != listedFlags(token)) {
                throw fail(what + ": flags 0x" + Long.toHexString(flags) + ", pkcs11-tool read 0x"
                        + Long.toHexString(listedFlags(token)) + " (" + token.field("token flags") + ")");
            }

            // The second token: its own label and serial number.
            if (!cfg.secondTokenLabel.isEmpty()) {
                ListedSlot spare = listedToken(allSlots, cfg.secondTokenLabel);
                String spareWhat = "GetTokenInfo(" + slotText(spare) + ")";
                String[] spareInfo = JVarnel.GetTokenInfo(spare.slotArgument());
                expectShape(spareWhat, spareInfo, OK, TOKEN_INFO_LENGTH);
                expectField(spareWhat, spareInfo, TI_LABEL, "label", padded(cfg.secondTokenLabel, 32));
                expectField(spareWhat, spareInfo, TI_SERIAL, "serialNumber", padded(spare.field("serial num"), 16));
                if (spareInfo[TI_SERIAL].equals(info[TI_SERIAL])) {
                    throw fail("both tokens report serial number " + show(info[TI_SERIAL]));
                }
            }

            // Slots whose token is not initialised (SoftHSM's last one).
            for (ListedSlot s : allSlots) {
                if (s.initialized()) {
                    continue;
                }
                String emptyWhat = "GetTokenInfo(" + slotText(s) + ", uninitialised token)";
                String[] empty = JVarnel.GetTokenInfo(s.slotArgument());
                expectShape(emptyWhat, empty, OK, TOKEN_INFO_LENGTH);
                long emptyFlags = unsignedValue(emptyWhat + " flags", empty[TI_FLAGS]);
                if ((emptyFlags & CKF_TOKEN_INITIALIZED) != 0) {
                    throw fail(emptyWhat + ": flags 0x" + Long.toHexString(emptyFlags)
                            + " claim CKF_TOKEN_INITIALIZED");
                }
            }

            // A slot the driver does not have: its status and 18 empty fields.
            int unused = unusedSlotId(allSlots);
            String[] refused = new String[TOKEN_INFO_LENGTH];
            Arrays.fill(refused, "");
            refused[0] = CKR_SLOT_ID_INVALID;
            expectArray("GetTokenInfo(" + unused + ", no such slot)", JVarnel.GetTokenInfo(unused), refused);
        }));

        list.add(new Case("sessions", () -> {
            restartDriver();
            List<ListedSlot> allSlots = readListing("varnel.e2e.slotListing", cfg.slotListing);
            ListedSlot token = listedToken(allSlots, cfg.tokenLabel);
            int slot = token.slotArgument();
            long listedFlags = listedFlags(token);

            long rw = openSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION);
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
            int unused = unusedSlotId(allSlots);
            expectShape("OpenSession(" + unused + ", no such slot)",
                    JVarnel.OpenSession(unused, CKF_SERIAL_SESSION | CKF_RW_SESSION), CKR_SLOT_ID_INVALID, 2);

            String wrongPin = cfg.pin + "9";
            expectStatus("Login with a wrong PIN", CKR_PIN_INCORRECT, JVarnel.Login(rw, CKU_USER, wrongPin));
            // A token that counts the failure reports CKF_USER_PIN_COUNT_LOW.
            long countLow = Long.decode(cfg.profile.get("login.wrongPinFlags", "0"));
            long afterWrongPin = tokenFlags(slot);
            if (afterWrongPin != (listedFlags | countLow)) {
                throw fail("GetTokenInfo flags after a wrong PIN: 0x" + Long.toHexString(afterWrongPin)
                        + ", expected 0x" + Long.toHexString(listedFlags | countLow));
            }
            expectStatus("Login with a null PIN", BRIDGE_NULL_PIN, JVarnel.Login(rw, CKU_USER, null));
            login(rw, cfg.pin);
            long afterLogin = tokenFlags(slot);
            if (afterLogin != listedFlags) {
                throw fail("GetTokenInfo flags after a good PIN: 0x" + Long.toHexString(afterLogin)
                        + ", expected 0x" + Long.toHexString(listedFlags));
            }
            // The login belongs to the token, so every session of it shares it.
            expectStatus("Login on the other session of the logged-in token", CKR_USER_ALREADY_LOGGED_IN,
                    JVarnel.Login(ro, CKU_USER, cfg.pin));
            expectStatus("LogOut(" + rw + ")", OK, JVarnel.LogOut(rw));
            expectStatus("Login on the read-only session after LogOut", OK, JVarnel.Login(ro, CKU_USER, cfg.pin));
            expectStatus("LogOut(" + ro + ")", OK, JVarnel.LogOut(ro));

            closeSession(ro);
            closeSession(rw);
            expectStatus("CloseSession of a closed session", CKR_SESSION_HANDLE_INVALID, JVarnel.CloseSession(rw));
            expectStatus("Login on a closed session", CKR_SESSION_HANDLE_INVALID,
                    JVarnel.Login(rw, CKU_USER, cfg.pin));
            expectStatus("LogOut on a closed session", CKR_SESSION_HANDLE_INVALID, JVarnel.LogOut(rw));
            expectStatus("FindObjectsInit on a closed session", CKR_SESSION_HANDLE_INVALID,
                    JVarnel.FindObjectsInit(rw, cfg.tokenLabel, SEARCH_LABEL));
            expectStatus("SignInit on a closed session", CKR_SESSION_HANDLE_INVALID, JVarnel.SignInit(rw, 1));
        }));

        list.add(new Case("search", () -> {
            restartDriver();
            String keyLabel = Config.required("varnel.e2e.keyLabel", cfg.keyLabel);
            String certLabel = Config.required("varnel.e2e.certLabel", cfg.certLabel);
            int slot = listedToken(readListing("varnel.e2e.slotListing", cfg.slotListing), cfg.tokenLabel)
                    .slotArgument();
            long s = openSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION);

            // Before login the private key is hidden: only the public key carries the label.
            expectHandles("private objects labelled " + keyLabel + " before login",
                    findAll(s, keyLabel, SEARCH_PRIVATE_LABEL), 0);
            List<Long> publicKey = expectHandles("objects labelled " + keyLabel + " before login",
                    findAll(s, keyLabel, SEARCH_LABEL), 1);

            login(s, cfg.pin);
            List<Long> pair = expectHandles("objects labelled " + keyLabel, findAll(s, keyLabel, SEARCH_LABEL), 2);
            if (!pair.containsAll(publicKey)) {
                throw fail("the key pair " + pair + " does not include the public key found before login "
                        + publicKey);
            }
            List<Long> privateKey = expectHandles("private objects labelled " + keyLabel,
                    findAll(s, keyLabel, SEARCH_PRIVATE_LABEL), 1);
            if (!pair.containsAll(privateKey) || publicKey.equals(privateKey)) {
                throw fail("private key " + privateKey + " is not the other half of the pair " + pair);
            }
            // The label must match whole: a prefix or a longer text names nothing.
            expectHandles("objects labelled with a prefix of " + keyLabel,
                    findAll(s, keyLabel.substring(0, keyLabel.length() - 1), SEARCH_LABEL), 0);
            expectHandles("objects labelled " + keyLabel + "x", findAll(s, keyLabel + "x", SEARCH_LABEL), 0);
            expectHandles("objects with a label nothing has", findAll(s, "no object has this label", SEARCH_LABEL), 0);

            List<Long> cert = expectHandles("objects labelled " + certLabel, findAll(s, certLabel, SEARCH_LABEL), 1);
            if (pair.containsAll(cert)) {
                throw fail("the certificate's handle " + cert + " is one of the key pair's " + pair);
            }
            expectHandles("private objects labelled " + certLabel + " (a public certificate)",
                    findAll(s, certLabel, SEARCH_PRIVATE_LABEL), 0);
            // Kind 2 lists every certificate whatever the label.
            if (!cert.equals(findAll(s, "no object has this label", SEARCH_CERTIFICATES))) {
                throw fail("certificate search with an unrelated label did not find exactly " + cert);
            }
            if (!cert.equals(findAll(s, null, SEARCH_CERTIFICATES))) {
                throw fail("certificate search with a null label did not find exactly " + cert);
            }

            // Refused arguments start no search: a valid search still starts afterwards.
            expectStatus("FindObjectsInit(null label, kind 0)", BRIDGE_NULL_LABEL,
                    JVarnel.FindObjectsInit(s, null, SEARCH_LABEL));
            expectStatus("FindObjectsInit(null label, kind 1)", BRIDGE_NULL_LABEL,
                    JVarnel.FindObjectsInit(s, null, SEARCH_PRIVATE_LABEL));
            expectStatus("FindObjectsInit(kind 3)", BRIDGE_BAD_SEARCH_KIND, JVarnel.FindObjectsInit(s, keyLabel, 3));
            expectStatus("FindObjectsInit(kind -1)", BRIDGE_BAD_SEARCH_KIND, JVarnel.FindObjectsInit(s, keyLabel, -1));
            if (!pair.equals(findAll(s, keyLabel, SEARCH_LABEL))) {
                throw fail("search after refused FindObjectsInit calls did not find the pair " + pair);
            }

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

            expectStatus("LogOut", OK, JVarnel.LogOut(s));
            closeSession(s);
        }));

        list.add(new Case("sign", () -> {
            restartDriver();
            String keyLabel = Config.required("varnel.e2e.keyLabel", cfg.keyLabel);
            PublicKey verifyKey = publicKey(cfg);
            int slot = listedToken(readListing("varnel.e2e.slotListing", cfg.slotListing), cfg.tokenLabel)
                    .slotArgument();
            long s = openSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION);
            login(s, cfg.pin);
            long key = signingKey(cfg, s);

            byte[] message = "Varnel signs this message with a key that never leaves the token"
                    .getBytes(StandardCharsets.UTF_8);
            byte[] digestInfo = sha256DigestInfo(message);

            expectFailureAnswer("Sign before SignInit", JVarnel.Sign(s, digestInfo, digestInfo.length),
                    CKR_OPERATION_NOT_INITIALIZED);

            // Bad data is refused before the driver sees it, so the started operation survives.
            expectStatus("SignInit", OK, JVarnel.SignInit(s, key));
            expectArray("Sign(null data)", JVarnel.Sign(s, null, 0), BRIDGE_BAD_DATA, "");
            expectArray("Sign(length one past the array)", JVarnel.Sign(s, digestInfo, digestInfo.length + 1),
                    BRIDGE_BAD_DATA, "");
            expectArray("Sign(length -1)", JVarnel.Sign(s, digestInfo, -1), BRIDGE_BAD_DATA, "");
            expectArray("Sign(length Integer.MIN_VALUE)", JVarnel.Sign(s, digestInfo, Integer.MIN_VALUE),
                    BRIDGE_BAD_DATA, "");
            // Only the first `length` bytes are signed.
            byte[] longer = Arrays.copyOf(digestInfo, digestInfo.length + 40);
            Arrays.fill(longer, digestInfo.length, longer.length, (byte) 0x5a);
            byte[] signature = sign("Sign(DigestInfo and 40 more bytes, length of the DigestInfo)", s, longer,
                    digestInfo.length);
            expectVerifies("SHA-256 DigestInfo signature", verifyKey, "SHA256withRSA", message, signature);
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
            // PKCS#1 v1.5 is deterministic: the same DigestInfo signs to the same bytes.
            if (!Arrays.equals(signature, signInitAndSign("the DigestInfo again", s, key, digestInfo,
                    digestInfo.length))) {
                throw fail("signing the same DigestInfo twice gave two different signatures");
            }

            List<Long> pair = findAll(s, keyLabel, SEARCH_LABEL);
            pair.remove(Long.valueOf(key));
            if (pair.size() != 1) {
                throw fail("expected the public key beside the private key " + key + ", found " + pair);
            }
            // Refused, as the key may only verify; a token that starts the operation all the same
            // has it ended by a Sign.
            String withPublicKey = cfg.profile.status("sign.withPublicKey", CKR_KEY_FUNCTION_NOT_PERMITTED);
            expectStatus("SignInit with the public key", withPublicKey, JVarnel.SignInit(s, pair.get(0)));
            if (OK.equals(withPublicKey)) {
                JVarnel.Sign(s, digestInfo, digestInfo.length);
            }

            expectStatus("LogOut", OK, JVarnel.LogOut(s));
            closeSession(s);
        }));

        list.add(new Case("handle-width", () -> {
            // A 64-bit library hands the whole long to the driver; a 32-bit one only has room for its
            // low 32 bits, which name the same session or key.
            restartDriver();
            PublicKey verifyKey = publicKey(cfg);
            int slot = listedToken(readListing("varnel.e2e.slotListing", cfg.slotListing), cfg.tokenLabel)
                    .slotArgument();
            long s = openSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION);
            login(s, cfg.pin);
            long key = signingKey(cfg, s);
            long wideSession = s ^ (1L << 32);
            long wideKey = key ^ (1L << 32);
            // A token that keeps object handles in 32 bits reads the same key from the wide handle.
            boolean narrowObjects = cfg.profile.get("handle.objectBits", "64").equals("32");
            byte[] raw = "handles wider than 32 bits".getBytes(StandardCharsets.UTF_8);

            if (is64BitJvm()) {
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
                        sign("Sign(session | 1<<32) after SignInit(session, key | 1<<32)", wideSession, raw,
                                raw.length));
                expectStatus("CloseSession(session | 1<<32)", OK, JVarnel.CloseSession(wideSession));
                expectStatus("CloseSession(session) once closed through the wide handle",
                        CKR_SESSION_HANDLE_INVALID, JVarnel.CloseSession(s));
            }
        }));

        // --- objects: reading attributes, making, relabelling and destroying keys

        list.add(new Case("attributes-of-token-objects", () -> {
            // The pkcs11-tool key pair and the certificate are public objects: readable without login.
            restartDriver();
            String keyLabel = Config.required("varnel.e2e.keyLabel", cfg.keyLabel);
            String certLabel = Config.required("varnel.e2e.certLabel", cfg.certLabel);
            byte[] certificateDer = Files.readAllBytes(Paths.get(Config.required("varnel.e2e.certificate",
                    cfg.certificate)));
            long s = openSession(tokenSlot(cfg), CKF_SERIAL_SESSION);

            long publicKey = expectHandles("public objects labelled " + keyLabel,
                    findAll(s, keyLabel, SEARCH_LABEL), 1).get(0);
            RSAPublicKey exported = (RSAPublicKey) publicKey(cfg);
            RSAPublicKey read = tokenPublicKey(s, publicKey);
            if (!read.getModulus().equals(exported.getModulus())
                    || !read.getPublicExponent().equals(exported.getPublicExponent())) {
                throw fail("modulus and exponent read from " + keyLabel + " differ from the key pkcs11-tool exported");
            }
            expectArray("label of the public key", JVarnel.GetAttributeValue(s, publicKey, "label"), OK, keyLabel);

            long cert = expectHandles("objects labelled " + certLabel, findAll(s, certLabel, SEARCH_LABEL), 1).get(0);
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
        String launcher = System.getProperty("varnel.e2e.primordialLauncher", "");
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
            String keyLabel = Config.required("varnel.e2e.keyLabel", cfg.keyLabel);
            long s = openSession(tokenSlot(cfg), CKF_SERIAL_SESSION);
            long publicKey = expectHandles("public objects labelled " + keyLabel,
                    findAll(s, keyLabel, SEARCH_LABEL), 1).get(0);
            DeepStack deep = new DeepStack(s, publicKey);
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
            loadTestToken(cfg);
            restartDriver();
            String label = "varnel-pair";
            long s = openSession(tokenSlot(cfg), CKF_SERIAL_SESSION | CKF_RW_SESSION);
            // The private key is a private token object: generating it needs the login.
            expectArray("GenerateKeyPair before login", JVarnel.GenerateKeyPair(s, label, 2048, F4, F4.length),
                    CKR_USER_NOT_LOGGED_IN, "0", "0");
            login(s, cfg.pin);

            // Refused arguments make nothing.
            expectArray("GenerateKeyPair(null exponent)", JVarnel.GenerateKeyPair(s, label, 2048, null, 3),
                    BRIDGE_BAD_PUBLIC_EXPONENT, "0", "0");
            expectArray("GenerateKeyPair(exponent length -1)", JVarnel.GenerateKeyPair(s, label, 2048, F4, -1),
                    BRIDGE_BAD_PUBLIC_EXPONENT, "0", "0");
            expectArray("GenerateKeyPair(exponent length one past the array)",
                    JVarnel.GenerateKeyPair(s, label, 2048, F4, F4.length + 1), BRIDGE_BAD_PUBLIC_EXPONENT, "0", "0");
            expectArray("GenerateKeyPair(null label)", JVarnel.GenerateKeyPair(s, null, 2048, F4, F4.length),
                    BRIDGE_NULL_LABEL, "0", "0");
            expectFound("after the refused GenerateKeyPair calls", s, label, SEARCH_LABEL);

            // Only the first exponentLength bytes are the exponent.
            KeyPair pair = generateKeyPair(cfg, s, label, 2048, new byte[] {1, 0, 1, 0x7f, 0x7f}, 3);
            expectFound("the new key pair", s, label, SEARCH_LABEL, pair.publicKey(), pair.privateKey());
            expectFound("the new private key", s, label, SEARCH_PRIVATE_LABEL, pair.privateKey());

            long pub = pair.publicKey();
            String modulus = attribute(s, pub, "modulus");
            if (modulus.length() != RSA2048_BASE64_LENGTH) {
                throw fail("modulus of a 2048-bit key: " + modulus.length() + " Base64 characters, expected "
                        + RSA2048_BASE64_LENGTH);
            }
            int bits = new BigInteger(1, base64("modulus", modulus)).bitLength();
            if (bits != 2048) {
                throw fail("modulus of the 2048-bit key pair has " + bits + " bits");
            }
            expectArray("GetAttributeValue(public key, \"exponent\")", JVarnel.GetAttributeValue(s, pub, "exponent"),
                    OK, "AQAB");
            expectArray("GetAttributeValue(public key, \"label\")", JVarnel.GetAttributeValue(s, pub, "label"),
                    OK, label);
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
                    signInitAndSign("the generated key", s, pair.privateKey(), digestInfo, digestInfo.length));

            // Every keyword reads the five public-key attributes together, so a private key (no CKA_ENCRYPT,
            // no CKA_WRAP) answers the driver's refusal to each, and an unknown keyword too.
            for (String keyword : new String[] {"modulus", "exponent", "label", "encrypt", "wrap", "no-such"}) {
                expectArray("GetAttributeValue(private key, " + show(keyword) + ")",
                        JVarnel.GetAttributeValue(s, pair.privateKey(), keyword), CKR_ATTRIBUTE_TYPE_INVALID, "");
            }
            for (String keyword : new String[] {"Modulus", "modulus ", "", "publicExponent"}) {
                expectArray("GetAttributeValue(public key, " + show(keyword) + ")",
                        JVarnel.GetAttributeValue(s, pub, keyword), BRIDGE_UNKNOWN_ATTRIBUTE_NAME, "");
            }
            expectArray("GetAttributeValue(public key, null)", JVarnel.GetAttributeValue(s, pub, null),
                    BRIDGE_NULL_ATTRIBUTE_NAME, "");

            // The modulus size and the exponent reach the driver.
            // A token may refuse the exponent 3.
            String smallRefusal = cfg.profile.status("generateKeyPair.exponent3", OK);
            if (!OK.equals(smallRefusal)) {
                expectArray("GenerateKeyPair(1024 bits, exponent 3)",
                        JVarnel.GenerateKeyPair(s, label + "-1024", 1024, new byte[] {3}, 1), smallRefusal, "0", "0");
            } else {
                KeyPair small = generateKeyPair(cfg, s, label + "-1024", 1024, new byte[] {3}, 1);
                String smallModulus = attribute(s, small.publicKey(), "modulus");
                int smallBits = new BigInteger(1, base64("modulus", smallModulus)).bitLength();
                if (smallModulus.length() != 172 || smallBits != 1024) {
                    throw fail("modulus of the 1024-bit key pair: " + smallModulus.length() + " Base64 characters, "
                            + smallBits + " bits");
                }
                expectArray("exponent of the 1024-bit key pair", JVarnel.GetAttributeValue(s, small.publicKey(),
                        "exponent"), OK, "Aw==");
            }

            expectStatus("LogOut", OK, JVarnel.LogOut(s));
            closeSession(s);
        }));

        list.add(new Case("public-key-lives-with-its-session", () -> {
            restartDriver();
            String label = "varnel-session";
            int slot = tokenSlot(cfg);
            long maker = openSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION);
            long other = openSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION);
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
            expectHandles("private key labelled " + label + " after Finalize and Initialize",
                    findAll(later, label, SEARCH_PRIVATE_LABEL), 1);
            expectHandles("objects labelled " + label + " after Finalize and Initialize",
                    findAll(later, label, SEARCH_LABEL), 1);
            expectStatus("LogOut", OK, JVarnel.LogOut(later));
            closeSession(later);
        }));

        list.add(new Case("relabel-and-destroy", () -> {
            loadTestToken(cfg);
            restartDriver();
            String label = "varnel-relabel";
            // Not ASCII, but within the Basic Multilingual Plane, where Java's and standard UTF-8 agree.
            String renamed = "varnel-renamed Schlüssel ✓";
            long s = openSession(tokenSlot(cfg), CKF_SERIAL_SESSION | CKF_RW_SESSION);
            login(s, cfg.pin);
            KeyPair pair = workingKeyPair(cfg, s, label, 1024, cfg.spareKeyLabel);
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

            expectStatus("LogOut", OK, JVarnel.LogOut(s));
            closeSession(s);
        }));

        list.add(new Case("generate-aes-key", () -> {
            loadTestToken(cfg);
            restartDriver();
            int slot = tokenSlot(cfg);
            long s = openSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION);
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
                    byte[] raw = TestToken.attribute(cfg.driver, s, key, flag);
                    if (raw.length != 1 || raw[0] != 1) {
                        throw fail(what + ": attribute 0x" + Long.toHexString(flag) + " is " + hex(raw)
                                + ", expected CK_TRUE");
                    }
                }
            }
            closeSession(s);

            // On the token: found again after Finalize and Initialize.
            restartDriver();
            long later = openSession(slot, CKF_SERIAL_SESSION);
            login(later, cfg.pin);
            List<Long> after = findAll(later, "", SEARCH_PRIVATE_LABEL);
            if (after.size() != before.size() + made.size()) {
                throw fail("private token objects without a label: " + before.size() + " before, " + after.size()
                        + " after making " + made.size() + " AES keys");
            }
            for (long key : after) {
                if (ulongAttribute(cfg, later, key, CKA_VALUE_LEN) != 32) {
                    throw fail("unlabelled private object " + key + " after Initialize: CKA_VALUE_LEN is not 32");
                }
            }
            expectStatus("LogOut", OK, JVarnel.LogOut(later));
            closeSession(later);
        }));

        // --- encryption, decryption, key wrapping

        list.add(new Case("encrypt-decrypt", () -> {
            restartDriver();
            long s = openSession(tokenSlot(cfg), CKF_SERIAL_SESSION | CKF_RW_SESSION);
            login(s, cfg.pin);
            KeyPair pair = workingKeyPair(cfg, s, "varnel-crypt", 2048, cfg.keyLabel);
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
                String cipherText = encrypt(cfg, mechanism, s, pub, mechanism, longer, message.length);
                expectDecrypts(mechanism + " cipher text made on the token", s, priv, mechanism, cipherText, message);
                // The padding is random: the same message encrypts differently each time.
                if (cipherText.equals(encrypt(cfg, mechanism + ", again", s, pub, mechanism, message, message.length))) {
                    throw fail(mechanism + ": the same message encrypted twice to the same cipher text");
                }

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
            expectStatus("DecryptInit(rsapkcsoaep)", OK, JVarnel.DecryptInit(s, priv, "rsapkcsoaep"));
            byte[] pkcs1Ascii = pkcs1.getBytes(StandardCharsets.US_ASCII);
            expectFailureAnswer("Decrypt(OAEP) of PKCS#1 v1.5 cipher text",
                    JVarnel.Decrypt(s, pkcs1Ascii, pkcs1Ascii.length),
                    cfg.profile.status("decrypt.wrongPadding", CKR_ENCRYPTED_DATA_INVALID));
            s = afterFailedOperation(cfg, s);

            // Base64 broken into CR LF lines decodes as one.
            String lines = Base64.getMimeEncoder().encodeToString(base64("PKCS#1 v1.5 cipher text", pkcs1));
            if (!lines.contains("\r\n")) {
                throw fail("MIME Base64 of 256 bytes has no line break: " + show(lines));
            }
            expectDecrypts("cipher text in CR LF lines", s, priv, "rsapkcs", lines, message);

            // Mechanism keywords are exact.
            for (String keyword : new String[] {"RSAPKCS", "rsapkcs ", " rsapkcs", "", "rsapkcsoaep ", "rsa"}) {
                expectStatus("EncryptInit(" + show(keyword) + ")", BRIDGE_UNKNOWN_MECHANISM_NAME,
                        JVarnel.EncryptInit(s, pub, keyword));
                expectStatus("DecryptInit(" + show(keyword) + ")", BRIDGE_UNKNOWN_MECHANISM_NAME,
                        JVarnel.DecryptInit(s, priv, keyword));
            }
            expectStatus("EncryptInit(null)", BRIDGE_NULL_MECHANISM_NAME, JVarnel.EncryptInit(s, pub, null));
            expectStatus("DecryptInit(null)", BRIDGE_NULL_MECHANISM_NAME, JVarnel.DecryptInit(s, priv, null));
            // A refused keyword starts no operation.
            expectFailureAnswer("Encrypt after refused EncryptInit calls", JVarnel.Encrypt(s, message, message.length),
                    CKR_OPERATION_NOT_INITIALIZED);
            expectFailureAnswer("Decrypt after refused DecryptInit calls",
                    JVarnel.Decrypt(s, pkcs1Ascii, pkcs1Ascii.length), CKR_OPERATION_NOT_INITIALIZED);

            // Refused data never reaches the driver, so the started operation survives it.
            expectStatus("EncryptInit(rsapkcs)", OK, JVarnel.EncryptInit(s, pub, "rsapkcs"));
            expectArray("Encrypt(null data)", JVarnel.Encrypt(s, null, 0), BRIDGE_BAD_DATA, "");
            expectArray("Encrypt(length -1)", JVarnel.Encrypt(s, message, -1), BRIDGE_BAD_DATA, "");
            expectArray("Encrypt(length one past the array)", JVarnel.Encrypt(s, message, message.length + 1),
                    BRIDGE_BAD_DATA, "");
            String survived = cipherText(cfg, "Encrypt after the refused calls", JVarnel.Encrypt(s, message,
                    message.length));
            expectDecrypts("cipher text made after the refused calls", s, priv, "rsapkcs", survived, message);

            expectStatus("DecryptInit(rsapkcs)", OK, JVarnel.DecryptInit(s, priv, "rsapkcs"));
            byte[] tooMuch = new byte[10001];
            Arrays.fill(tooMuch, (byte) 'A');
            expectArray("Decrypt(10001 bytes)", JVarnel.Decrypt(s, tooMuch, tooMuch.length), BRIDGE_DATA_TOO_LONG, "");
            expectArray("Decrypt(null data, length 10001)", JVarnel.Decrypt(s, null, 10001), BRIDGE_DATA_TOO_LONG, "");
            expectArray("Decrypt(null data)", JVarnel.Decrypt(s, null, 4), BRIDGE_BAD_DATA, "");
            expectArray("Decrypt(length one past the array)", JVarnel.Decrypt(s, pkcs1Ascii, pkcs1Ascii.length + 1),
                    BRIDGE_DATA_TOO_LONG, "");
            StringBuilder starred = new StringBuilder(pkcs1);
            starred.setCharAt(100, '*');
            byte[] broken = starred.toString().getBytes(StandardCharsets.US_ASCII);
            expectArray("Decrypt(text with '*')", JVarnel.Decrypt(s, broken, broken.length), BRIDGE_BAD_BASE64, "");
            // Only the first `length` bytes are read: what follows would not decode.
            byte[] trailing = (pkcs1 + "*!*").getBytes(StandardCharsets.US_ASCII);
            String[] plain = JVarnel.Decrypt(s, trailing, pkcs1Ascii.length);
            expectShape("Decrypt(cipher text and 3 more bytes, length of the cipher text)", plain, OK, 2);
            expectBytes("plain text after the refused calls", message, base64("Decrypt", plain[1]));

            expectStatus("LogOut", OK, JVarnel.LogOut(s));
            closeSession(s);
        }));

        list.add(new Case("wrap-unwrap", () -> {
            loadTestToken(cfg);
            restartDriver();
            long s = openSession(tokenSlot(cfg), CKF_SERIAL_SESSION | CKF_RW_SESSION);
            login(s, cfg.pin);
            KeyPair pair = workingKeyPair(cfg, s, "varnel-wrap", 2048, cfg.keyLabel);
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
                throw fail("wrapped key: " + wrapped[1].length() + " Base64 characters, expected "
                        + RSA2048_BASE64_LENGTH + ": " + show(wrapped[1]));
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
            for (String keyword : new String[] {"rsapkcsoaep", "RSAPKCS", "rsapkcs ", "", null}) {
                expectArray("WrapKey(" + show(keyword) + ")", JVarnel.WrapKey(s, keyword, pub, des3),
                        BRIDGE_UNKNOWN_MECHANISM_NAME, "");
                expectArray("UnwrapKey(" + show(keyword) + ")", JVarnel.UnwrapKey(s, wrapped[1], priv, keyword),
                        BRIDGE_UNKNOWN_MECHANISM_NAME, "0");
            }
            // The keyword is judged first, then the text.
            expectArray("UnwrapKey(null text, unknown keyword)", JVarnel.UnwrapKey(s, null, priv, "rsapkcsoaep"),
                    BRIDGE_UNKNOWN_MECHANISM_NAME, "0");
            expectArray("UnwrapKey(null text)", JVarnel.UnwrapKey(s, null, priv, "rsapkcs"),
                    BRIDGE_NULL_WRAPPED_KEY, "0");
            expectArray("UnwrapKey(10001 characters)", JVarnel.UnwrapKey(s, "A".repeat(10001), priv, "rsapkcs"),
                    BRIDGE_WRAPPED_KEY_TOO_LONG, "0");
            expectArray("UnwrapKey(text with '*')", JVarnel.UnwrapKey(s, "*" + wrapped[1].substring(1), priv,
                    "rsapkcs"), BRIDGE_BAD_BASE64, "0");

            expectStatus("LogOut", OK, JVarnel.LogOut(s));
            closeSession(s);
        }));

        list.add(new Case("certificate-paging", () -> {
            // Every certificate, 100 handles a call, each value one the JDK parses.
            restartDriver();
            int expected = Integer.parseInt(Config.required("varnel.e2e.certificateCount", cfg.certificateCount));
            long s = openSession(tokenSlot(cfg), CKF_SERIAL_SESSION);
            expectStatus("FindObjectsInit(certificates)", OK, JVarnel.FindObjectsInit(s, null, SEARCH_CERTIFICATES));
            List<String> handles = new ArrayList<>();
            List<Integer> pages = new ArrayList<>();
            List<Integer> expectPages = new ArrayList<>();
            for (int left = expected; left > 0; left -= 100) {
                expectPages.add(Math.min(left, 100));
            }
            for (String[] r = JVarnel.FindObjects(s); !BRIDGE_NO_MATCH.equals(r[0]) && pages.size() <= expectPages.size();
                    r = JVarnel.FindObjects(s)) {
                expectStatus("FindObjects call #" + (pages.size() + 1), OK, r[0]);
                pages.add(r.length - 1);
                handles.addAll(Arrays.asList(r).subList(1, r.length));
            }
            if (!pages.equals(expectPages)) {
                throw fail("FindObjects pages of " + expected + " certificates: " + pages + ", expected " + expectPages);
            }
            expectStatus("FindObjectsFinal", OK, JVarnel.FindObjectsFinal(s));
            CertificateFactory x509 = CertificateFactory.getInstance("X.509");
            for (String h : handles) {
                long handle = unsignedValue("certificate handle", h);
                x509.generateCertificate(new ByteArrayInputStream(base64("certificate " + h,
                        attribute(s, handle, "certificate"))));
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

    private void pass(String name) {
        passed++;
        System.out.println("PASS " + name);
    }

    private void failCase(String name, String detail) {
        failed++;
        System.out.println("FAIL " + name + ": " + detail.replace('\n', ' '));
    }

    private void run(Case c) {
        try {
            c.body().run();
            pass(c.name());
        } catch (TokenRefuses e) {
            pass(c.name() + " (" + e.getMessage() + ")");
        } catch (CheckFailed e) {
            failCase(c.name(), e.getMessage());
        } catch (Throwable t) {
            // A missing native method, an exception the bridge left pending, an I/O error in the
            // harness: all count against the case, with the JVM's own description.
            failCase(c.name(), "unexpected " + t + (t.getCause() != null ? ", caused by " + t.getCause() : ""));
        }
    }

    /** Loads the bridge; false means no case can run. */
    private boolean preflight(Config cfg) {
        if (cfg.driver.isEmpty() || !new File(cfg.driver).isFile()) {
            failCase("setup", "PKCS#11 module not found, set -Dvarnel.e2e.driver: " + show(cfg.driver));
            return false;
        }
        try {
            Class.forName("ka.tovik.selvo.jvarnel.JVarnel", true, E2ETest.class.getClassLoader());
        } catch (Throwable t) {
            Throwable cause = t.getCause() != null ? t.getCause() : t;
            failCase("setup", "cannot load lib" + JVarnel.LIBRARY_NAME + " from java.library.path="
                    + System.getProperty("java.library.path") + ": " + cause);
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
                    failCase("profile", "keys no case reads: " + cfg.profile.unread());
                }
            } finally {
                deleteTree(scratch);
            }
        }
        System.out.println("e2e: " + passed + " passed, " + failed + " failed");
        System.out.flush();
        return failed == 0 && passed > 0 ? 0 : 1;
    }

    private static void deleteTree(Path dir) throws IOException {
        try (var walk = Files.walk(dir)) {
            for (Path p : (Iterable<Path>) walk.sorted((a, b) -> b.compareTo(a))::iterator) {
                Files.deleteIfExists(p);
            }
        }
    }

    public static void main(String[] args) throws IOException {
        System.exit(new E2ETest().runAll());
    }
}
