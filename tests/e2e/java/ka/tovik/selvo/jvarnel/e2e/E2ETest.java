package ka.tovik.selvo.jvarnel.e2e;

import java.io.ByteArrayInputStream;
import java.io.File;
import java.io.IOException;
import java.io.Reader;
import java.math.BigInteger;
import java.nio.ByteBuffer;
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
import java.util.stream.Collectors;

import javax.crypto.Cipher;

import ka.tovik.selvo.jvarnel.JVarnel;

/**
 * End-to-end checks of libVarnel driving a real PKCS#11 module from Java, run by tests/e2e/run.sh,
 * which makes a fresh token and passes what the cases need as {@code -Dvarnel.e2e.NAME} properties.
 * Where a case compares the bridge's answer with the driver's own view, it asks the driver through
 * {@link TestToken}. Cases run in order and share the process-wide state of the bridge (loaded
 * driver, initialised or not), so each case states what it expects on entry and what it leaves
 * behind. Output: {@code PASS name} or {@code FAIL name: detail} per case, then
 * {@code e2e: N passed, M failed}.
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
    // No C_Initialize or C_Finalize bound: no driver loaded, or a library that has none.
    static final String BRIDGE_LOAD_FAILED = "10001", BRIDGE_NO_INITIALIZE = "10002", BRIDGE_NO_FINALIZE = "10016";
    static final String BRIDGE_NO_MATCH = "10030", BRIDGE_NULL_ARGUMENT = "10033", BRIDGE_NULL_PIN = "10034";
    static final String BRIDGE_BAD_DATA = "10035", BRIDGE_NULL_LABEL = "10036";
    static final String BRIDGE_UNKNOWN_ATTRIBUTE_NAME = "10044", BRIDGE_BAD_PUBLIC_EXPONENT = "10045";
    static final String BRIDGE_BAD_SEARCH_KIND = "10050", BRIDGE_BAD_BASE64 = "10063";
    static final String BRIDGE_UNKNOWN_MECHANISM_NAME = "10064";
    static final String BRIDGE_VERSION = System.getProperty("varnel.version");

    // PKCS#11 values the cases pass, or read through the native helper.
    static final int CKU_USER = 1, RO_SESSION = 4 /* CKF_SERIAL_SESSION */, RW_SESSION = 4 | 2 /* CKF_RW_SESSION */;
    static final int SEARCH_LABEL = 0, SEARCH_PRIVATE_LABEL = 1, SEARCH_CERTIFICATES = 2;
    static final long CKA_CLASS = 0x0L, CKA_LABEL = 0x3L, CKA_VALUE = 0x11L, CKA_KEY_TYPE = 0x100L;
    static final long CKA_VALUE_LEN = 0x161L, CKA_EXTRACTABLE = 0x162L, CKO_CERTIFICATE = 1L, CKO_SECRET_KEY = 4L;
    static final long CKK_DES3 = 0x15L, CKK_AES = 0x1fL;
    /** CKA_SENSITIVE, then CKA_ENCRYPT, DECRYPT, WRAP, UNWRAP, SIGN, VERIFY and DERIVE. */
    static final long[] AES_KEY_FLAGS = {0x103L, 0x104L, 0x105L, 0x106L, 0x107L, 0x108L, 0x10aL, 0x10cL};
    /** The public exponent 65537, big-endian. */
    static final byte[] F4 = {1, 0, 1};
    /** Base64 length of an RSA-2048 modulus, signature, cipher text or wrapped key (256 bytes). */
    static final int RSA2048_BASE64_LENGTH = 344;
    /** DER prefix of a PKCS#1 DigestInfo for SHA-256; the 32-byte digest follows it. */
    static final byte[] SHA256_DIGEST_INFO_PREFIX = {
        0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, (byte) 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01,
        0x05, 0x00, 0x04, 0x20,
    };

    // What the runner hands over; optional() and required() read the rest (tests/e2e/run.sh names them).
    static final String DRIVER = optional("driver");
    static final String TOKEN_LABEL = System.getProperty("varnel.e2e.tokenLabel", "varnel-e2e");
    static final String PIN = System.getProperty("varnel.e2e.pin", "1234");
    // What the token answers where tokens differ (tests/e2e/tokens/TOKEN.profile): a key it leaves out has
    // the answer PKCS#11 prescribes, which the case names; a key no case reads is reported as a failure.
    static final Properties PROFILE = new Properties();
    static final Set<String> PROFILE_READ = new TreeSet<>();

    static String optional(String name) {
        return System.getProperty("varnel.e2e." + name, "");
    }

    static String required(String name) {
        String value = optional(name);
        check(!value.isEmpty(), "-Dvarnel.e2e." + name + " is not set: run the suite through tests/e2e/run.sh");
        return value;
    }

    static String profile(String key, String standard) {
        PROFILE_READ.add(key);
        return PROFILE.getProperty(key, standard).trim();
    }

    /** The status the profile gives, else {@code standard}. */
    static String profileStatus(String key, String standard) {
        String value = profile(key, standard);
        statusCode("profile key " + key, value);
        return value;
    }

    /** Ends a case: a failed check, or (refused) the token's refusal its profile gives, already checked. */
    static final class Stop extends RuntimeException {
        private static final long serialVersionUID = 1L;
        final boolean refused;

        Stop(String message, boolean refused) {
            super(message);
            this.refused = refused;
        }
    }

    @FunctionalInterface
    interface Body {
        void run() throws Exception;
    }

    record Case(String name, Body body) {}

    record KeyPair(long publicKey, long privateKey) {}

    // ---------------------------------------------------------------- checks

    static Stop fail(String message) {
        return new Stop(message, false);
    }

    static void check(boolean holds, String failure) {
        if (!holds) {
            throw fail(failure);
        }
    }

    /** Quotes the text; control characters (a CK_BBOOL flag read as text, CR, LF) show as escapes. */
    static String show(String s) {
        String shown = s == null || s.length() <= 400 ? s : s.substring(0, 400) + "... (" + s.length() + " characters)";
        return s == null ? "null" : "\"" + CONTROL.matcher(shown).replaceAll(
                c -> String.format("\\\\u%04x", (int) c.group().charAt(0))) + "\"";
    }

    private static final Pattern CONTROL = Pattern.compile("[\\x00-\\x1f\\x7f]");

    static String show(String[] a) {
        return a == null ? "null" : Arrays.stream(a).map(E2ETest::show).collect(Collectors.joining(", ", "{", "}"));
    }

    static String hex(byte[] bytes) {
        String all = HexFormat.of().formatHex(bytes);
        return all.length() <= 80 ? all : all.substring(0, 80) + "...";
    }

    /** The call answered with a well-formed status (a signed 32-bit decimal). */
    static void statusCode(String what, String status) {
        boolean decimal = status != null && status.matches("-?[0-9]{1,10}");
        check(decimal && Long.parseLong(status) == (int) Long.parseLong(status), what + ": status " + show(status));
    }

    static void expectStatus(String what, String expected, String actual) {
        statusCode(what, actual);
        check(expected.equals(actual), what + ": expected " + expected + ", got " + show(actual));
    }

    /** The array answer is exactly {@code expected}, element by element. */
    static void expectArray(String what, String[] actual, String... expected) {
        if (actual != null && actual.length > 0) {
            statusCode(what, actual[0]);
        }
        check(Arrays.equals(expected, actual), what + ": expected " + show(expected) + ", got " + show(actual));
    }

    /** A successful answer of {@code length} elements. */
    static String[] succeeded(String what, String[] actual, int length) {
        check(actual != null && actual.length > 0, what + ": returned " + show(actual));
        expectStatus(what, OK, actual[0]);
        check(actual.length == length, what + ": expected " + length + " elements, got " + show(actual));
        return actual;
    }

    /** A failure answer of {@code length} elements: {@code status}, then empty text. */
    static String[] failure(String status, int length) {
        String[] answer = new String[length];
        Arrays.fill(answer, "");
        answer[0] = status;
        return answer;
    }

    /** The array answer is the failure {@code status}, with nothing but empty text after it. */
    static void expectFailureAnswer(String what, String[] actual, String status) {
        expectArray(what, actual, failure(status, actual == null || actual.length == 0 ? 1 : actual.length));
    }

    static void expectAttribute(long session, long object, String keyword, String... expected) {
        expectArray("GetAttributeValue(" + object + ", " + show(keyword) + ")",
                JVarnel.GetAttributeValue(session, object, keyword), expected);
    }

    static void expectVersion(String when) {
        expectArray("GetVersion() " + when, JVarnel.GetVersion(), OK, BRIDGE_VERSION);
    }

    static void expectBytes(String what, byte[] expected, byte[] actual) {
        check(Arrays.equals(expected, actual), what + ": expected the " + expected.length + " bytes " + hex(expected)
                + ", got " + actual.length + " bytes " + hex(actual));
    }

    /** The one value of a successful answer. */
    static String value(String what, String[] r) {
        return succeeded(what, r, 2)[1];
    }

    /** An unsigned decimal the bridge printed: a handle, a slot ID or a counter. */
    static long unsignedValue(String what, String text) {
        boolean decimal = text != null && text.matches("[0-9]{1,20}");
        check(decimal && new BigInteger(text).bitLength() <= 64, what + ": not a CK_ULONG: " + show(text));
        return Long.parseUnsignedLong(text);
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
     * Starts the case from a freshly initialised driver, no session or login an earlier case left; a
     * driver that counts its initialisations (p11-kit's proxy) needs one Finalize for each.
     */
    static void restartDriver() {
        for (int i = 0; !CKR_CRYPTOKI_NOT_INITIALIZED.equals(JVarnel.Finalize()); i++) {
            check(i < 20, "Finalize() to set up the case never answered " + CKR_CRYPTOKI_NOT_INITIALIZED);
        }
        expectStatus("Initialize() to set up the case", OK, JVarnel.Initialize());
    }

    /** What a second Initialize answers: a driver that counts initialisations accepts it. */
    static String secondInitialize() {
        return profile("initialize.counted", "no").equals("yes") ? OK : CKR_CRYPTOKI_ALREADY_INITIALIZED;
    }

    /** Opens a session, which must succeed, and returns its handle. */
    static long openSession(int slot, int flags) {
        String what = "OpenSession(" + Integer.toUnsignedString(slot) + ", " + flags + ")";
        long handle = unsignedValue(what, value(what, JVarnel.OpenSession(slot, flags)));
        check(handle != 0, what + ": succeeded with the invalid handle 0");
        return handle;
    }

    static void login(long session) {
        expectStatus("Login(" + session + ", CKU_USER, PIN)", OK, JVarnel.Login(session, CKU_USER, PIN));
    }

    /** A session of the token, read/write or not, logged in or not, on a freshly initialised driver. */
    static long freshSession(int flags, boolean loggedIn) {
        restartDriver();
        long session = openSession(tokenSlot(), flags);
        if (loggedIn) {
            login(session);
        }
        return session;
    }

    static void closeSession(long session) {
        expectStatus("CloseSession(" + session + ")", OK, JVarnel.CloseSession(session));
    }

    static void logOutAndClose(long session) {
        expectStatus("LogOut(" + session + ")", OK, JVarnel.LogOut(session));
        closeSession(session);
    }

    static List<Long> findAll(long session, String label, int kind) {
        return findAll(session, label, kind, new ArrayList<>());
    }

    /**
     * Runs a whole search: FindObjectsInit, FindObjects until it answers "no match", FindObjectsFinal.
     * Returns every handle found, in order, no handle twice; {@code pages} gets each call's count.
     */
    static List<Long> findAll(long session, String label, int kind, List<Integer> pages) {
        String what = "search (" + show(label) + ", kind " + kind + ")";
        expectStatus("FindObjectsInit for " + what, OK, JVarnel.FindObjectsInit(session, label, kind));
        List<Long> found = new ArrayList<>();
        for (int call = 1; ; call++) {
            String[] r = JVarnel.FindObjects(session);
            String callWhat = "FindObjects call #" + call + " for " + what;
            check(call <= 50 && r != null && r.length > 0, callWhat + " answered " + show(r) + "; found " + found);
            if (BRIDGE_NO_MATCH.equals(r[0])) {
                expectArray(callWhat + " (no more objects)", r, BRIDGE_NO_MATCH);
                break;
            }
            expectStatus(callWhat, OK, r[0]);
            check(r.length >= 2 && r.length <= 101, callWhat + " succeeded with " + (r.length - 1) + " handles");
            pages.add(r.length - 1);
            for (int i = 1; i < r.length; i++) {
                long h = unsignedValue(callWhat + " element " + i, r[i]);
                check(!found.contains(h), callWhat + " gave handle " + h + " twice: " + show(r));
                found.add(h);
            }
        }
        expectStatus("FindObjectsFinal for " + what, OK, JVarnel.FindObjectsFinal(session));
        return found;
    }

    /** A search that must find exactly {@code count} objects; returns them. */
    static List<Long> found(String what, long session, String label, int kind, int count) {
        List<Long> found = findAll(session, label, kind);
        check(found.size() == count, what + ": expected " + count + " object(s), found " + found);
        return found;
    }

    /** The search finds exactly the given objects, in any order. */
    static void expectFound(String what, long session, String label, int kind, Long... expected) {
        List<Long> found = findAll(session, label, kind);
        check(found.size() == expected.length && new HashSet<>(found).equals(Set.of(expected)), what + ": search ("
                + show(label) + ", kind " + kind + ") found " + found + ", expected " + Arrays.toString(expected));
    }

    /** The session to go on with after an operation failed: the same, or a new one where it stays active. */
    static long afterFailedOperation(long session) {
        if (!profile("failure.keepsOperation", "no").equals("yes")) {
            return session;
        }
        expectStatus("EncryptInit once an operation failed", CKR_OPERATION_ACTIVE,
                JVarnel.EncryptInit(session, 0, "rsapkcs"));
        return openSession(tokenSlot(), RW_SESSION);
    }

    static String invalidObject() {
        return profileStatus("object.invalidHandle", CKR_OBJECT_HANDLE_INVALID);
    }

    static String invalidKey() {
        return profileStatus("key.invalidHandle", CKR_KEY_HANDLE_INVALID);
    }

    // ------------------------------------------------------- the driver's own view

    /** GetTokenInfo answers what the driver reads just before or just after it (a clock ticks). */
    static String[] expectTokenInfo(int slot) {
        String[] before = TestToken.tokenInfoAnswer(DRIVER, slot);
        String[] info = JVarnel.GetTokenInfo(slot);
        String[] after = TestToken.tokenInfoAnswer(DRIVER, slot);
        check(Arrays.equals(info, before) || Arrays.equals(info, after), "GetTokenInfo("
                + Integer.toUnsignedString(slot) + "): expected " + show(after) + ", got " + show(info));
        return info;
    }

    /** The slot of the token the setup made. */
    static int tokenSlot() {
        return TestToken.slotOf(DRIVER, padded(TOKEN_LABEL, 32));
    }

    /** A CK_BBOOL attribute read through the helper. */
    static void expectFlag(String what, long session, long object, long type, boolean expected) {
        byte[] raw = TestToken.attribute(DRIVER, session, object, type);
        check(raw.length == 1 && raw[0] == (expected ? 1 : 0), what + ": attribute 0x" + Long.toHexString(type)
                + " is " + hex(raw) + ", expected " + (expected ? "CK_TRUE" : "CK_FALSE"));
    }

    // ------------------------------------------------------- keys, signatures, cipher text

    /** The handle of the private signing key; the session must be logged in. */
    static long signingKey(long session) {
        String label = required("keyLabel");
        return found("private objects labelled " + label, session, label, SEARCH_PRIVATE_LABEL, 1).get(0);
    }

    /** The public key labelled like {@code privateKey}, its other half. */
    static long publicHalf(long session, String label, long privateKey) {
        List<Long> pair = findAll(session, label, SEARCH_LABEL);
        check(pair.size() == 2 && pair.remove(privateKey), "no public key beside " + privateKey + ": " + pair);
        return pair.get(0);
    }

    /** The RSA-2048 signature of a successful Sign answer. */
    static byte[] signature(String what, String[] r) {
        String text = value(what, r);
        check(text.length() == RSA2048_BASE64_LENGTH, what + ": signature of " + text.length() + " characters");
        return base64(what, text);
    }

    /** SignInit followed by one Sign over {@code data}. */
    static byte[] signInitAndSign(String what, long session, long key, byte[] data) {
        expectStatus("SignInit(" + session + ", " + key + ") for " + what, OK, JVarnel.SignInit(session, key));
        return signature("Sign for " + what, JVarnel.Sign(session, data, data.length));
    }

    static PublicKey publicKey() throws Exception {
        byte[] der = Files.readAllBytes(Paths.get(required("publicKey")));
        return KeyFactory.getInstance("RSA").generatePublic(new X509EncodedKeySpec(der));
    }

    /** The SHA-256 DigestInfo of {@code message}: what a PKCS#1 v1.5 SHA256withRSA signature covers. */
    static byte[] sha256DigestInfo(byte[] message) throws Exception {
        byte[] digest = MessageDigest.getInstance("SHA-256").digest(message);
        return ByteBuffer.allocate(SHA256_DIGEST_INFO_PREFIX.length + 32).put(SHA256_DIGEST_INFO_PREFIX).put(digest)
                .array();
    }

    /** The signature verifies with {@code algorithm} over {@code signed} against {@code key}. */
    static void expectVerifies(String what, PublicKey key, String algorithm, byte[] signed, byte[] signature)
            throws Exception {
        Signature verifier = Signature.getInstance(algorithm);
        verifier.initVerify(key);
        verifier.update(signed);
        check(verifier.verify(signature), what + ": the signature does not verify with " + algorithm);
    }

    /** GenerateKeyPair, which must succeed with two handles, or answer the profile's refusal (the case ends). */
    static KeyPair generateKeyPair(long session, String label, int bits, byte[] exponent, int exponentLength) {
        String what = "GenerateKeyPair(" + show(label) + ", " + bits + ", " + Arrays.toString(exponent) + ", "
                + exponentLength + ")";
        String[] r = JVarnel.GenerateKeyPair(session, label, bits, exponent, exponentLength);
        String refusal = profileStatus("generateKeyPair", OK);
        if (!OK.equals(refusal)) {
            expectArray(what, r, refusal, "0", "0");
            throw new Stop("GenerateKeyPair answers " + refusal, true);
        }
        succeeded(what, r, 3);
        KeyPair pair = new KeyPair(unsignedValue(what, r[1]), unsignedValue(what, r[2]));
        check(pair.publicKey() != 0 && pair.privateKey() != 0 && pair.publicKey() != pair.privateKey(),
                what + ": answered the handles " + show(r));
        return pair;
    }

    /** An RSA key pair (65537) to work with: a new one, or where the token makes none the runner's {@code made}. */
    static KeyPair workingKeyPair(long session, String label, int bits, String made) {
        if (OK.equals(profileStatus("generateKeyPair", OK)) || made.isEmpty()) {
            return generateKeyPair(session, label, bits, F4, F4.length);
        }
        long privateKey = found("private objects labelled " + made, session, made, SEARCH_PRIVATE_LABEL, 1).get(0);
        return new KeyPair(publicHalf(session, made, privateKey), privateKey);
    }

    /** GetAttributeValue, which must succeed; returns the value text. */
    static String attribute(long session, long object, String keyword) {
        return value("GetAttributeValue(" + object + ", " + show(keyword) + ")",
                JVarnel.GetAttributeValue(session, object, keyword));
    }

    /** The public key built from the modulus and exponent GetAttributeValue reads off {@code object}. */
    static RSAPublicKey tokenPublicKey(long session, long object) throws Exception {
        BigInteger modulus = new BigInteger(1, base64("modulus", attribute(session, object, "modulus")));
        BigInteger exponent = new BigInteger(1, base64("exponent", attribute(session, object, "exponent")));
        return (RSAPublicKey) KeyFactory.getInstance("RSA").generatePublic(new RSAPublicKeySpec(modulus, exponent));
    }

    /** The modulus GetAttributeValue reads has {@code bits} bits, in {@code base64Length} characters. */
    static void expectModulus(long session, long publicKey, int bits, int base64Length) {
        String modulus = attribute(session, publicKey, "modulus");
        int read = new BigInteger(1, base64("modulus", modulus)).bitLength();
        check(modulus.length() == base64Length && read == bits, "modulus of " + publicKey + ": " + modulus.length()
                + " Base64 characters, " + read + " bits; expected " + bits + " bits");
    }

    /**
     * EncryptInit and one Encrypt of {@code data}; returns the Base64 RSA-2048 cipher text: 256 bytes,
     * or, from a token that reports its output buffer's length instead (encrypt.reportedLength), the
     * first 256 of that many, the rest zeros as the library cleared them.
     */
    static String encrypt(String what, long session, long key, String mechanism, byte[] data) {
        expectStatus("EncryptInit(" + show(mechanism) + ") for " + what, OK,
                JVarnel.EncryptInit(session, key, mechanism));
        String text = value("Encrypt for " + what, JVarnel.Encrypt(session, data, data.length));
        int reported = Integer.parseInt(profile("encrypt.reportedLength", "256"));
        byte[] bytes = base64("Encrypt for " + what, text);
        boolean cleared = bytes.length == reported && text.length() == (reported + 2) / 3 * 4;
        for (int i = 256; cleared && i < reported; i++) {
            cleared = bytes[i] == 0;
        }
        check(cleared, "Encrypt for " + what + ": expected " + reported + " bytes, the first 256 the cipher text and "
                + "the rest zeros, got " + bytes.length + ": " + show(text));
        return Base64.getEncoder().encodeToString(Arrays.copyOf(bytes, 256));
    }

    /** The plain text of a successful Decrypt answer. */
    static byte[] decrypted(String what, String[] r) {
        return base64("Decrypt for " + what, value("Decrypt for " + what, r));
    }

    /** DecryptInit and one Decrypt of {@code text}; the plain text must be {@code expected}. */
    static void expectDecrypts(String what, long session, long key, String mechanism, String text, byte[] expected) {
        expectStatus("DecryptInit(" + show(mechanism) + ") for " + what, OK,
                JVarnel.DecryptInit(session, key, mechanism));
        byte[] ascii = text.getBytes(StandardCharsets.US_ASCII);
        expectBytes(what, expected, decrypted(what, JVarnel.Decrypt(session, ascii, ascii.length)));
    }

    // ------------------------------------------------------- child JVMs

    /** The command that starts a JVM like this one (under emulation, the emulator first). */
    static List<String> childJava() {
        String java = Paths.get(System.getProperty("java.home"), "bin", "java").toString();
        return Arrays.asList(System.getProperty("varnel.e2e.childJava", java).split("\u001f"));
    }

    /** Runs a JVM like this one (through {@code launcher} if given) with {@code args}: 0, and no warning. */
    static void runChildJvm(String what, List<String> launcher, String... args) throws Exception {
        List<String> whole = new ArrayList<>();
        for (String word : childJava()) {
            if (word.endsWith("/bin/java") && !launcher.isEmpty()) {
                whole.addAll(launcher);
                whole.add(word.substring(0, word.length() - "/bin/java".length()) + "/lib/server/libjvm.so");
                whole.add("1024");
            } else {
                whole.add(word);
            }
        }
        whole.addAll(List.of("-Xcheck:jni", "-Djava.library.path=" + System.getProperty("java.library.path"),
                "-Djava.class.path=" + System.getProperty("java.class.path")));
        whole.addAll(Arrays.asList(args));
        Process child = new ProcessBuilder(whole).redirectErrorStream(true).start();
        String output = new String(child.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
        int status = child.waitFor();
        System.out.print(output);
        check(status == 0 && !output.contains("WARNING"), what + " ended with status " + status);
    }

    // ----------------------------------------------------------------- cases

    static List<Case> cases() {
        List<Case> list = new ArrayList<>();

        list.add(new Case("version-before-load", () -> {
            expectVersion("before LoadDriver");
            // Answers are fresh arrays: changing one must not leak into the next call.
            String[] first = JVarnel.GetVersion();
            first[0] = "x";
            first[1] = "y";
            for (int i = 0; i < 2000; i++) {
                expectVersion("call #" + i + " after the caller modified an earlier answer");
            }
        }));

        list.add(new Case("lifecycle-without-driver", () -> {
            expectStatus("Initialize() with no driver loaded", BRIDGE_NO_INITIALIZE, JVarnel.Initialize());
            expectStatus("Finalize() with no driver loaded", BRIDGE_NO_FINALIZE, JVarnel.Finalize());
            expectVersion("after Initialize/Finalize with no driver");
        }));

        list.add(new Case("load-driver-unloadable-paths", () -> {
            expectStatus("LoadDriver(null)", BRIDGE_NULL_ARGUMENT, JVarnel.LoadDriver(null));
            // What the system's loader refuses: a file that is no shared object, a module of the other width.
            // The runner removes the JVM's temporary folder.
            Path text = Files.writeString(Files.createTempFile("not-elf", ".so"), "this is not a shared object\n");
            expectStatus("LoadDriver(text file)", BRIDGE_LOAD_FAILED, JVarnel.LoadDriver(text.toString()));
            String foreign = optional("foreignModule");
            if (!foreign.isEmpty()) {
                expectStatus("LoadDriver(" + foreign + ")", BRIDGE_LOAD_FAILED, JVarnel.LoadDriver(foreign));
            }
            expectVersion("after failed LoadDriver calls");
            expectStatus("Initialize() after only failed LoadDriver calls", BRIDGE_NO_INITIALIZE, JVarnel.Initialize());
        }));

        list.add(new Case("load-driver-not-a-pkcs11-module", () -> {
            String library = optional("noPkcs11Lib");
            check(new File(library).isFile(), "library without C_Initialize not found: " + show(library));
            expectStatus("LoadDriver(" + library + ")", BRIDGE_NO_INITIALIZE, JVarnel.LoadDriver(library));
            expectVersion("after loading a library without C_Initialize");
            expectStatus("Initialize() after the refused library", BRIDGE_NO_INITIALIZE, JVarnel.Initialize());
        }));

        list.add(new Case("load-driver", () -> {
            expectStatus("LoadDriver(" + DRIVER + ")", OK, JVarnel.LoadDriver(DRIVER));
            expectStatus("second LoadDriver(same path)", OK, JVarnel.LoadDriver(DRIVER));
            expectVersion("after LoadDriver");
        }));

        list.add(new Case("initialize-finalize-cycle", () -> {
            expectStatus("Initialize()", OK, JVarnel.Initialize());
            expectStatus("second Initialize()", secondInitialize(), JVarnel.Initialize());
            expectStatus("Finalize()", OK, JVarnel.Finalize());
            if (OK.equals(secondInitialize())) {
                expectStatus("Finalize() of the second initialisation", OK, JVarnel.Finalize());
            }
            expectStatus("Finalize() once finalised", CKR_CRYPTOKI_NOT_INITIALIZED, JVarnel.Finalize());
            expectStatus("Initialize() after Finalize()", OK, JVarnel.Initialize());
            expectVersion("while initialised");
        }));

        list.add(new Case("initialize-finalize-repeated", () -> {
            restartDriver();
            for (int i = 1; i <= 10; i++) {
                expectStatus("Finalize() in cycle " + i, OK, JVarnel.Finalize());
                expectStatus("Initialize() in cycle " + i, OK, JVarnel.Initialize());
            }
        }));

        list.add(new Case("reload-after-finalize", () -> {
            restartDriver();
            expectStatus("Finalize()", OK, JVarnel.Finalize());
            expectStatus("LoadDriver(same path) after Finalize()", OK, JVarnel.LoadDriver(DRIVER));
            expectStatus("Initialize() after reloading", OK, JVarnel.Initialize());
            expectStatus("second Initialize() after reloading", secondInitialize(), JVarnel.Initialize());
        }));

        list.add(new Case("slot-list", () -> {
            restartDriver();
            String[] present = TestToken.slotListAnswer(DRIVER, true);
            String[] all = TestToken.slotListAnswer(DRIVER, false);
            expectArray("GetSlotList(1)", JVarnel.GetSlotList(1), present);
            // The list has room for the slots with a token: a driver with more slots answers
            // CKR_BUFFER_TOO_SMALL, and no slot is reported. (SoftHSM's empty last slot holds a token.)
            expectArray("GetSlotList(0)", JVarnel.GetSlotList(0),
                    all.length > present.length ? failure(CKR_BUFFER_TOO_SMALL, all.length) : all);
            expectStatus("Finalize()", OK, JVarnel.Finalize());
            expectFailureAnswer("GetSlotList(1), finalised", JVarnel.GetSlotList(1), CKR_CRYPTOKI_NOT_INITIALIZED);
            expectStatus("Initialize() after the refused GetSlotList", OK, JVarnel.Initialize());
            expectArray("GetSlotList(1) once initialised again", JVarnel.GetSlotList(1), present);
        }));

        list.add(new Case("token-info", () -> {
            restartDriver();
            // Every token (SoftHSM's uninitialised one too) as the driver describes it, with the setup's labels.
            Set<String> labels = new HashSet<>();
            for (long slot : TestToken.slotList(DRIVER, true)) {
                labels.add(expectTokenInfo((int) slot)[1]);
            }
            for (String label : List.of(TOKEN_LABEL, optional("secondTokenLabel"))) {
                check(label.isEmpty() || labels.contains(padded(label, 32)), "no token label reads " + show(label));
            }
            // A slot the driver does not have: its status and 18 empty fields.
            expectArray("no slot", JVarnel.GetTokenInfo(TestToken.unusedSlot(DRIVER)), failure(CKR_SLOT_ID_INVALID, 19));
        }));

        list.add(new Case("sessions", () -> {
            restartDriver();
            int slot = tokenSlot();
            long rw = openSession(slot, RW_SESSION);
            long ro = openSession(slot, RO_SESSION);
            // Without CKF_SERIAL_SESSION: refused, as PKCS#11 says, or opened all the same.
            String unserial = profileStatus("session.withoutSerialFlag", CKR_SESSION_PARALLEL_NOT_SUPPORTED);
            String[] opened = JVarnel.OpenSession(slot, 0);
            if (OK.equals(unserial)) {
                closeSession(unsignedValue("OpenSession(slot, 0)", value("OpenSession(slot, 0)", opened)));
            } else {
                expectArray("OpenSession(slot, 0)", opened, unserial, "0");
            }
            expectStatus("Login with a wrong PIN", CKR_PIN_INCORRECT, JVarnel.Login(rw, CKU_USER, PIN + "9"));
            // A token that counts the failure now has CKF_USER_PIN_COUNT_LOW among its flags.
            expectTokenInfo(slot);
            expectStatus("Login with a null PIN", BRIDGE_NULL_PIN, JVarnel.Login(rw, CKU_USER, null));
            login(rw);
            // The login belongs to the token, so every session of it shares it.
            expectStatus("Login on the other session", CKR_USER_ALREADY_LOGGED_IN, JVarnel.Login(ro, CKU_USER, PIN));
            expectStatus("LogOut(" + rw + ")", OK, JVarnel.LogOut(rw));
            login(ro);
            logOutAndClose(ro);
            closeSession(rw);
            expectStatus("CloseSession of a closed session", CKR_SESSION_HANDLE_INVALID, JVarnel.CloseSession(rw));
        }));

        list.add(new Case("search", () -> {
            String keyLabel = required("keyLabel");
            String certLabel = required("certLabel");
            long s = freshSession(RW_SESSION, false);
            // Before login the private key is hidden: only the public key carries the label.
            found("private objects labelled " + keyLabel + " before login", s, keyLabel, SEARCH_PRIVATE_LABEL, 0);
            long pub = found("objects labelled " + keyLabel + " before login", s, keyLabel, SEARCH_LABEL, 1).get(0);
            login(s);
            long priv = signingKey(s);
            expectFound("the key pair", s, keyLabel, SEARCH_LABEL, pub, priv);
            // The label must match whole: a prefix or a longer text names nothing.
            for (String other : new String[] {keyLabel.substring(0, keyLabel.length() - 1), keyLabel + "x"}) {
                found("objects labelled " + show(other), s, other, SEARCH_LABEL, 0);
            }
            long cert = found("objects labelled " + certLabel, s, certLabel, SEARCH_LABEL, 1).get(0);
            check(cert != pub && cert != priv, "the certificate's handle " + cert + " is a key's");
            // Kind 2 lists every certificate whatever the label, null too.
            expectFound("certificates, a null label", s, null, SEARCH_CERTIFICATES, cert);
            // A refused kind starts no search: a valid search still starts afterwards.
            expectStatus("FindObjectsInit(kind -1)", BRIDGE_BAD_SEARCH_KIND, JVarnel.FindObjectsInit(s, keyLabel, -1));
            expectFound("the key pair after the refused kind", s, keyLabel, SEARCH_LABEL, pub, priv);
            // Out of order, the driver's own answers (or no objects, 10030, or the search started again).
            expectFailureAnswer("FindObjects with no search", JVarnel.FindObjects(s),
                    profileStatus("search.findWithoutInit", CKR_OPERATION_NOT_INITIALIZED));
            expectStatus("FindObjectsFinal with no search", profileStatus("search.finalWithoutInit",
                    CKR_OPERATION_NOT_INITIALIZED), JVarnel.FindObjectsFinal(s));
            expectStatus("FindObjectsInit", OK, JVarnel.FindObjectsInit(s, keyLabel, SEARCH_LABEL));
            String again = profileStatus("search.initDuringSearch", CKR_OPERATION_ACTIVE);
            expectStatus("FindObjectsInit during a search", again, JVarnel.FindObjectsInit(s, keyLabel, SEARCH_LABEL));
            expectStatus("FindObjectsFinal", OK, JVarnel.FindObjectsFinal(s));
            logOutAndClose(s);
        }));

        list.add(new Case("sign", () -> {
            PublicKey verifyKey = publicKey();
            long s = freshSession(RW_SESSION, true);
            long key = signingKey(s);
            byte[] message = "signed with a key that never leaves the token".getBytes(StandardCharsets.UTF_8);
            byte[] digestInfo = sha256DigestInfo(message);
            // Bad data is refused before the driver sees it, so the started operation survives.
            expectStatus("SignInit", OK, JVarnel.SignInit(s, key));
            expectArray("Sign(length past the array)", JVarnel.Sign(s, digestInfo, digestInfo.length + 1),
                    BRIDGE_BAD_DATA, "");
            // Only the first `length` bytes are signed.
            byte[] longer = Arrays.copyOf(digestInfo, digestInfo.length + 40);
            Arrays.fill(longer, digestInfo.length, longer.length, (byte) 0x5a);
            expectVerifies("SHA-256 DigestInfo signature", verifyKey, "SHA256withRSA", message,
                    signature("Sign(DigestInfo and 40 more bytes)", JVarnel.Sign(s, longer, digestInfo.length)));
            // Raw bytes are signed as they are.
            byte[] raw = "raw bytes, padded and signed as they are".getBytes(StandardCharsets.UTF_8);
            expectVerifies("raw", verifyKey, "NONEwithRSA", raw, signInitAndSign("raw bytes", s, key, raw));
            // Nothing to sign: a signature, or the token's refusal.
            String empty = profileStatus("sign.empty", OK);
            if (OK.equals(empty)) {
                expectVerifies("signature over length 0", verifyKey, "NONEwithRSA", new byte[0],
                        signInitAndSign("length 0", s, key, new byte[0]));
            } else {
                expectStatus("SignInit for length 0", OK, JVarnel.SignInit(s, key));
                expectFailureAnswer("Sign(length 0)", JVarnel.Sign(s, raw, 0), empty);
            }
            // Refused, as the key only verifies; a token that starts the operation has it ended by a Sign.
            String withPublicKey = profileStatus("sign.withPublicKey", CKR_KEY_FUNCTION_NOT_PERMITTED);
            long pub = publicHalf(s, required("keyLabel"), key);
            expectStatus("SignInit(public key)", withPublicKey, JVarnel.SignInit(s, pub));
            if (OK.equals(withPublicKey)) {
                JVarnel.Sign(s, digestInfo, digestInfo.length);
            }
            logOutAndClose(s);
        }));

        list.add(new Case("handle-width", () -> {
            // A 64-bit library hands the whole long to the driver; a 32-bit one its low 32 bits, the same handle.
            PublicKey verifyKey = publicKey();
            long s = freshSession(RW_SESSION, true);
            long key = signingKey(s);
            long wideSession = s ^ (1L << 32);
            long wideKey = key ^ (1L << 32);
            byte[] raw = "handles wider than 32 bits".getBytes(StandardCharsets.UTF_8);
            if (TestToken.ulongBytes() == 4) {
                expectVerifies("session | 1<<32", verifyKey, "NONEwithRSA", raw,
                        signInitAndSign("session | 1<<32", wideSession, key, raw));
                expectStatus("SignInit(session, key | 1<<32)", OK, JVarnel.SignInit(s, wideKey));
                expectVerifies("key | 1<<32", verifyKey, "NONEwithRSA", raw,
                        signature("Sign(session | 1<<32)", JVarnel.Sign(wideSession, raw, raw.length)));
                expectStatus("CloseSession(session | 1<<32)", OK, JVarnel.CloseSession(wideSession));
                expectStatus("CloseSession(session) once closed", CKR_SESSION_HANDLE_INVALID, JVarnel.CloseSession(s));
                return;
            }
            // A token that crashes on a session handle it never gave out is not handed one.
            String forged = profile("handle.forgedSession", CKR_SESSION_HANDLE_INVALID);
            boolean crashes = forged.equals("crashes");
            if (!crashes) {
                expectStatus("SignInit(session ^ 1<<32, key)", forged, JVarnel.SignInit(wideSession, key));
            }
            // A token that keeps object handles in 32 bits reads the same key from the wide handle.
            if (profile("handle.objectBits", "64").equals("32")) {
                expectVerifies("key ^ 1<<32", verifyKey, "NONEwithRSA", raw, signInitAndSign("", s, wideKey, raw));
            } else {
                expectStatus("SignInit(session, key ^ 1<<32)", invalidKey(), JVarnel.SignInit(s, wideKey));
                expectFailureAnswer("Sign, SignInit refused", JVarnel.Sign(s, raw, 1), CKR_OPERATION_NOT_INITIALIZED);
            }
            expectVerifies("handles as printed", verifyKey, "NONEwithRSA", raw, signInitAndSign("", s, key, raw));
            if (!crashes) {
                expectStatus("CloseSession(session ^ 1<<32)", forged, JVarnel.CloseSession(wideSession));
            }
            closeSession(s);
        }));

        list.add(new Case("attributes-of-token-objects", () -> {
            // The pkcs11-tool key pair and the certificate are public objects: readable without login.
            String keyLabel = required("keyLabel");
            String certLabel = required("certLabel");
            long s = freshSession(RO_SESSION, false);
            long pub = found("public objects labelled " + keyLabel, s, keyLabel, SEARCH_LABEL, 1).get(0);
            check(tokenPublicKey(s, pub).equals(publicKey()), "the modulus and exponent read from " + keyLabel
                    + " differ from the key pkcs11-tool exported");
            expectAttribute(s, pub, "label", OK, keyLabel);
            long cert = found("objects labelled " + certLabel, s, certLabel, SEARCH_LABEL, 1).get(0);
            expectBytes("certificate read from the token", Files.readAllBytes(Paths.get(required("certificate"))),
                    base64("certificate", attribute(s, cert, "certificate")));
            // A certificate has no public-key attributes; an RSA public key has no CKA_VALUE.
            expectAttribute(s, cert, "modulus", CKR_ATTRIBUTE_TYPE_INVALID, "");
            expectAttribute(s, pub, "certificate", CKR_ATTRIBUTE_TYPE_INVALID, "");
            closeSession(s);
        }));

        // More unloads with the class loader than the process has thread-specific keys leave the stack check on.
        list.add(new Case("unload-cycles", () -> runChildJvm("the unload cycles' JVM", List.of(),
                UnloadCycles.class.getName(), "1100")));

        // On a process's first thread, a failed stack lookup (no descriptor free) leaves the check on.
        String launcher = optional("primordialLauncher");
        if (!launcher.isEmpty()) {
            list.add(new Case("primordial-stack", () -> runChildJvm("the primordial thread's JVM", List.of(launcher),
                    PrimordialStack.class.getName(), DRIVER)));
        }

        list.add(new Case("deep-stack", () -> {
            // A thread at the end of its stack gets whole answers, never a crash.
            String keyLabel = required("keyLabel");
            long s = freshSession(RO_SESSION, false);
            DeepStack deep = new DeepStack(s, found("public key", s, keyLabel, SEARCH_LABEL, 1).get(0));
            check(deep.run(), String.valueOf(deep.broken));
            check(deep.overflows > 0, "the recursion never reached the end of its stack");
            System.out.println("deep-stack: " + deep.withoutRoom + " answers without room for the buffers, "
                    + deep.overflows + " StackOverflowError");
            closeSession(s);
        }));

        list.add(new Case("generate-key-pair", () -> {
            String label = "varnel-pair";
            long s = freshSession(RW_SESSION, false);
            // The private key is a private token object: generating it needs the login.
            expectArray("GenerateKeyPair before login", JVarnel.GenerateKeyPair(s, label, 2048, F4, F4.length),
                    CKR_USER_NOT_LOGGED_IN, "0", "0");
            login(s);
            // A refused argument makes nothing.
            expectArray("GenerateKeyPair(exponent length one past the array)",
                    JVarnel.GenerateKeyPair(s, label, 2048, F4, F4.length + 1), BRIDGE_BAD_PUBLIC_EXPONENT, "0", "0");
            expectFound("after the refused GenerateKeyPair", s, label, SEARCH_LABEL);
            // Only the first exponentLength bytes are the exponent.
            KeyPair pair = generateKeyPair(s, label, 2048, new byte[] {1, 0, 1, 0x7f, 0x7f}, 3);
            long pub = pair.publicKey();
            long priv = pair.privateKey();
            expectFound("the new key pair", s, label, SEARCH_LABEL, pub, priv);
            expectFound("the new private key", s, label, SEARCH_PRIVATE_LABEL, priv);
            // The private key never leaves the token.
            expectFlag("the new private key", s, priv, CKA_EXTRACTABLE, false);
            expectModulus(s, pub, 2048, RSA2048_BASE64_LENGTH);
            expectAttribute(s, pub, "exponent", OK, "AQAB");
            expectAttribute(s, pub, "label", OK, label);
            // The flags come as the CK_BBOOL byte: CK_TRUE is U+0001.
            expectAttribute(s, pub, "encrypt", OK, "\u0001");
            expectAttribute(s, pub, "wrap", OK, "\u0001");
            // The private key signs; the public key rebuilt from what GetAttributeValue read verifies.
            byte[] message = "signed with a key pair made through GenerateKeyPair".getBytes(StandardCharsets.UTF_8);
            byte[] digestInfo = sha256DigestInfo(message);
            expectVerifies("signature by the generated key", tokenPublicKey(s, pub), "SHA256withRSA", message,
                    signInitAndSign("the generated key", s, priv, digestInfo));
            // Every keyword reads the five public-key attributes at once: a private key (no CKA_ENCRYPT or
            // CKA_WRAP) answers the driver's refusal even for its modulus. A keyword is matched exactly.
            expectAttribute(s, priv, "modulus", CKR_ATTRIBUTE_TYPE_INVALID, "");
            expectAttribute(s, pub, "Modulus", BRIDGE_UNKNOWN_ATTRIBUTE_NAME, "");
            // The modulus size and the exponent reach the driver. A token may refuse the exponent 3.
            String smallRefusal = profileStatus("generateKeyPair.exponent3", OK);
            if (!OK.equals(smallRefusal)) {
                expectArray("GenerateKeyPair(1024 bits, exponent 3)",
                        JVarnel.GenerateKeyPair(s, label + "-1024", 1024, new byte[] {3}, 1), smallRefusal, "0", "0");
            } else {
                long small = generateKeyPair(s, label + "-1024", 1024, new byte[] {3}, 1).publicKey();
                expectModulus(s, small, 1024, 172);
                expectAttribute(s, small, "exponent", OK, "Aw==");
            }
            logOutAndClose(s);
        }));

        list.add(new Case("public-key-lives-with-its-session", () -> {
            restartDriver();
            String label = "varnel-session";
            int slot = tokenSlot();
            long maker = openSession(slot, RW_SESSION);
            long other = openSession(slot, RW_SESSION);
            login(maker);
            // Any size shows it; a small key is quick to make under emulation.
            KeyPair pair = generateKeyPair(maker, label, 1024, F4, F4.length);
            // A session object is visible to every session of the application while its session lives.
            expectFound("from the other session", other, label, SEARCH_LABEL, pair.publicKey(), pair.privateKey());
            expectAttribute(other, pair.publicKey(), "label", OK, label);
            closeSession(maker);
            expectFound("once the session that made the pair closed", other, label, SEARCH_LABEL, pair.privateKey());
            expectAttribute(other, pair.publicKey(), "label", invalidObject(), "");
            expectStatus("EncryptInit with the public key once its session closed", invalidKey(),
                    JVarnel.EncryptInit(other, pair.publicKey(), "rsapkcs"));
            closeSession(other);
            // The private key is a token object: it outlives the driver's session state.
            long later = freshSession(RO_SESSION, true);
            found("private key after Finalize and Initialize", later, label, SEARCH_PRIVATE_LABEL, 1);
            found("objects labelled " + label + " after Finalize and Initialize", later, label, SEARCH_LABEL, 1);
            logOutAndClose(later);
        }));

        list.add(new Case("relabel-and-destroy", () -> {
            String label = "varnel-relabel";
            // Not ASCII, but within the Basic Multilingual Plane, where Java's and standard UTF-8 agree.
            String renamed = "varnel-renamed Schlüssel ✓";
            long s = freshSession(RW_SESSION, true);
            KeyPair pair = workingKeyPair(s, label, 1024, optional("spareKeyLabel"));
            long pub = pair.publicKey();
            long priv = pair.privateKey();
            expectStatus("SetAttributeValue(public key, private key, " + show(renamed) + ")", OK,
                    JVarnel.SetAttributeValue(s, pub, priv, renamed));
            expectAttribute(s, pub, "label", OK, renamed);
            expectFound("the renamed pair", s, renamed, SEARCH_LABEL, pub, priv);
            expectFound("the renamed private key", s, renamed, SEARCH_PRIVATE_LABEL, priv);
            expectFound("the old label", s, label, SEARCH_LABEL);
            // The token holds the label as UTF-8, as every other client reads it.
            expectBytes("CKA_LABEL of the private key", renamed.getBytes(StandardCharsets.UTF_8),
                    TestToken.attribute(DRIVER, s, priv, CKA_LABEL));
            expectStatus("SetAttributeValue(null)", BRIDGE_NULL_LABEL, JVarnel.SetAttributeValue(s, pub, priv, null));
            expectAttribute(s, pub, "label", OK, renamed);
            expectStatus("DestroyObject(private key)", OK, JVarnel.DestroyObject(s, priv));
            expectFound("the destroyed private key", s, renamed, SEARCH_LABEL, pub);
            expectStatus("DestroyObject(public key)", OK, JVarnel.DestroyObject(s, pub));
            expectAttribute(s, pub, "label", invalidObject(), "");
            expectFound("the destroyed public key", s, renamed, SEARCH_LABEL);
            logOutAndClose(s);
        }));

        list.add(new Case("generate-aes-key", () -> {
            restartDriver();
            int slot = tokenSlot();
            long s = openSession(slot, RW_SESSION);
            // A token that makes no AES keys refuses before and after login.
            String refusal = profileStatus("generateKey", OK);
            if (!OK.equals(refusal)) {
                expectArray("GenerateKey before login", JVarnel.GenerateKey(s, 0), refusal, "0");
                login(s);
                expectArray("GenerateKey", JVarnel.GenerateKey(s, 0), refusal, "0");
                throw new Stop("GenerateKey answers " + refusal, true);
            }
            // A private token object: generating it needs the login.
            expectArray("GenerateKey before login", JVarnel.GenerateKey(s, 0), CKR_USER_NOT_LOGGED_IN, "0");
            login(s);
            // The key has no label: private token objects with an empty label are the AES keys.
            Set<Long> before = new HashSet<>(findAll(s, "", SEARCH_PRIVATE_LABEL));
            Set<Long> made = new HashSet<>();
            for (int ignored : new int[] {0, 128, -1}) {
                String what = "GenerateKey(" + ignored + ")";
                long key = unsignedValue(what, value(what, JVarnel.GenerateKey(s, ignored)));
                check(key != 0 && made.add(key) && !before.contains(key), what + ": answered the handle " + key
                        + "; earlier keys " + made + " and " + before);
                long length = TestToken.ulongAttribute(DRIVER, s, key, CKA_VALUE_LEN);
                long type = TestToken.ulongAttribute(DRIVER, s, key, CKA_KEY_TYPE);
                check(length == 32 && type == CKK_AES, what + ": CKA_VALUE_LEN " + length + ", CKA_KEY_TYPE 0x"
                        + Long.toHexString(type) + "; expected a 32-byte AES key");
                // Sensitive, and allowed for every use.
                for (long flag : AES_KEY_FLAGS) {
                    expectFlag(what, s, key, flag, true);
                }
            }
            closeSession(s);
            // On the token: found again after Finalize and Initialize.
            long later = freshSession(RO_SESSION, true);
            found("unlabelled private objects, " + made.size() + " AES keys made", later, "", SEARCH_PRIVATE_LABEL,
                    before.size() + made.size());
            logOutAndClose(later);
        }));

        list.add(new Case("encrypt-decrypt", () -> {
            long s = freshSession(RW_SESSION, true);
            KeyPair pair = workingKeyPair(s, "varnel-crypt", 2048, optional("keyLabel"));
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
                expectDecrypts(mechanism + " cipher text made on the token", s, priv, mechanism,
                        encrypt(mechanism, s, pub, mechanism, message), message);
                // The JDK encrypts with the modulus and exponent read off the token; the token decrypts.
                Cipher cipher = Cipher.getInstance(m[1]);
                cipher.init(Cipher.ENCRYPT_MODE, javaKey);
                expectDecrypts(mechanism + " cipher text made by " + m[1], s, priv, mechanism,
                        Base64.getEncoder().encodeToString(cipher.doFinal(message)), message);
                // The longest message the padding leaves room for, and one byte more: they tell the paddings apart.
                byte[] full = counting(longest);
                expectDecrypts(mechanism + ", " + longest + " bytes", s, priv, mechanism,
                        encrypt(mechanism + ", " + longest + " bytes", s, pub, mechanism, full), full);
                expectStatus("EncryptInit(" + mechanism + ") for " + (longest + 1) + " bytes", OK,
                        JVarnel.EncryptInit(s, pub, mechanism));
                expectFailureAnswer("Encrypt(" + mechanism + ", " + (longest + 1) + " bytes)",
                        JVarnel.Encrypt(s, counting(longest + 1), longest + 1),
                        profileStatus("encrypt.tooLong." + mechanism, CKR_DATA_LEN_RANGE));
                s = afterFailedOperation(s);
                // Nothing to encrypt: a cipher text of the empty message, or the token's refusal.
                String empty = profileStatus("encrypt.empty." + mechanism, OK);
                if (OK.equals(empty)) {
                    expectDecrypts(mechanism + ", nothing", s, priv, mechanism,
                            encrypt(mechanism + ", nothing", s, pub, mechanism, new byte[0]), new byte[0]);
                } else {
                    expectStatus("EncryptInit for nothing", OK, JVarnel.EncryptInit(s, pub, mechanism));
                    expectFailureAnswer("Encrypt(" + mechanism + ", nothing)", JVarnel.Encrypt(s, message, 0), empty);
                }
            }
            // OAEP decryption refuses PKCS#1 v1.5 cipher text.
            String pkcs1 = encrypt("PKCS#1 v1.5", s, pub, "rsapkcs", message);
            byte[] pkcs1Ascii = pkcs1.getBytes(StandardCharsets.US_ASCII);
            expectStatus("DecryptInit(rsapkcsoaep)", OK, JVarnel.DecryptInit(s, priv, "rsapkcsoaep"));
            expectFailureAnswer("Decrypt(OAEP) of PKCS#1 v1.5 cipher text",
                    JVarnel.Decrypt(s, pkcs1Ascii, pkcs1Ascii.length),
                    profileStatus("decrypt.wrongPadding", CKR_ENCRYPTED_DATA_INVALID));
            s = afterFailedOperation(s);
            // A refused keyword starts no operation.
            expectStatus("EncryptInit(RSAPKCS)", BRIDGE_UNKNOWN_MECHANISM_NAME, JVarnel.EncryptInit(s, pub, "RSAPKCS"));
            expectFailureAnswer("Encrypt after the refused EncryptInit", JVarnel.Encrypt(s, message, message.length),
                    CKR_OPERATION_NOT_INITIALIZED);
            // Refused text never reaches the driver, so the operation survives; only `length` bytes are read.
            expectStatus("DecryptInit(rsapkcs)", OK, JVarnel.DecryptInit(s, priv, "rsapkcs"));
            byte[] starred = pkcs1.replace(pkcs1.charAt(100), '*').getBytes(StandardCharsets.US_ASCII);
            expectArray("Decrypt(text with '*')", JVarnel.Decrypt(s, starred, starred.length), BRIDGE_BAD_BASE64, "");
            byte[] trailing = (pkcs1 + "*!*").getBytes(StandardCharsets.US_ASCII);
            expectBytes("plain text after the refused Decrypt", message, decrypted("cipher text and 3 more bytes",
                    JVarnel.Decrypt(s, trailing, pkcs1Ascii.length)));
            logOutAndClose(s);
        }));

        list.add(new Case("wrap-unwrap", () -> {
            long s = freshSession(RW_SESSION, true);
            KeyPair pair = workingKeyPair(s, "varnel-wrap", 2048, optional("keyLabel"));
            long pub = pair.publicKey();
            long priv = pair.privateKey();
            // A token that does not wrap refuses whatever the key.
            String refusal = profileStatus("wrapKey", OK);
            if (!OK.equals(refusal)) {
                expectArray("WrapKey(rsapkcs, public key, private key)", JVarnel.WrapKey(s, "rsapkcs", pub, priv),
                        refusal, "");
                String text = Base64.getEncoder().encodeToString(counting(256));
                expectArray("UnwrapKey(256 bytes, private key, rsapkcs)", JVarnel.UnwrapKey(s, text, priv, "rsapkcs"),
                        refusal, "0");
                throw new Stop("WrapKey and UnwrapKey answer " + refusal, true);
            }
            long des3 = TestToken.generateDes3Key(DRIVER, s, true);
            long kept = TestToken.generateDes3Key(DRIVER, s, false);
            byte[] value = TestToken.attribute(DRIVER, s, des3, CKA_VALUE);
            check(value.length == 24, "triple-DES key value is " + value.length + " bytes");
            String wrapped = value("WrapKey(triple-DES key)", JVarnel.WrapKey(s, "rsapkcs", pub, des3));
            check(wrapped.length() == RSA2048_BASE64_LENGTH, "wrapped key: " + show(wrapped));
            // The wrapped key is the key's value encrypted under PKCS#1 v1.5.
            expectDecrypts("the wrapped key", s, priv, "rsapkcs", wrapped, value);
            String what = "UnwrapKey(wrapped key, private key, rsapkcs)";
            long copy = unsignedValue(what, value(what, JVarnel.UnwrapKey(s, wrapped, priv, "rsapkcs")));
            check(copy != 0 && copy != des3 && copy != kept, what + ": answered the handle " + copy);
            long copyClass = TestToken.ulongAttribute(DRIVER, s, copy, CKA_CLASS);
            long copyType = TestToken.ulongAttribute(DRIVER, s, copy, CKA_KEY_TYPE);
            check(copyClass == CKO_SECRET_KEY && copyType == CKK_DES3, what + ": made an object of class " + copyClass
                    + ", key type 0x" + Long.toHexString(copyType) + "; expected a triple-DES secret key");
            // The unwrapped key encrypts like the original, and unlike another key.
            byte[] block = "8 bytes!".getBytes(StandardCharsets.US_ASCII);
            byte[] byOriginal = TestToken.encryptDes3Ecb(DRIVER, s, des3, block);
            expectBytes("block encrypted by the unwrapped key", byOriginal,
                    TestToken.encryptDes3Ecb(DRIVER, s, copy, block));
            check(!Arrays.equals(byOriginal, TestToken.encryptDes3Ecb(DRIVER, s, kept, block)),
                    "two different triple-DES keys encrypted the block alike");
            // Refused, or (a token that ignores CKA_EXTRACTABLE on session keys) wrapped all the same.
            String unextractable = profileStatus("wrapKey.unextractable", CKR_KEY_UNEXTRACTABLE);
            String[] keptWrapped = JVarnel.WrapKey(s, "rsapkcs", pub, kept);
            if (OK.equals(unextractable)) {
                value("WrapKey of a key that is not extractable", keptWrapped);
            } else {
                expectFailureAnswer("WrapKey of a key that is not extractable", keptWrapped, unextractable);
            }
            // Wrapping takes PKCS#1 v1.5 only; unwrapping decodes the text before the driver sees it.
            expectArray("WrapKey(\"rsapkcsoaep\")", JVarnel.WrapKey(s, "rsapkcsoaep", pub, des3),
                    BRIDGE_UNKNOWN_MECHANISM_NAME, "");
            expectArray("UnwrapKey(text with '*')", JVarnel.UnwrapKey(s, "*" + wrapped.substring(1), priv,
                    "rsapkcs"), BRIDGE_BAD_BASE64, "0");
            logOutAndClose(s);
        }));

        list.add(new Case("certificate-paging", () -> {
            // Every certificate the driver's own search finds, 100 handles a call, each one the JDK parses.
            long s = freshSession(RO_SESSION, false);
            Set<Long> expected = Arrays.stream(TestToken.objectsOfClass(DRIVER, s, CKO_CERTIFICATE)).boxed()
                    .collect(Collectors.toSet());
            check(!expected.isEmpty(), "the driver finds no certificate on the token");
            List<Integer> expectPages = new ArrayList<>();
            for (int left = expected.size(); left > 0; left -= 100) {
                expectPages.add(Math.min(left, 100));
            }
            List<Integer> pages = new ArrayList<>();
            List<Long> handles = findAll(s, null, SEARCH_CERTIFICATES, pages);
            check(pages.equals(expectPages) && new HashSet<>(handles).equals(expected), "FindObjects pages of "
                    + expected.size() + " certificates: " + pages + ", expected " + expectPages + "; handles "
                    + handles + ", the driver's " + expected);
            CertificateFactory x509 = CertificateFactory.getInstance("X.509");
            for (long h : handles) {
                x509.generateCertificate(new ByteArrayInputStream(base64("certificate " + h,
                        attribute(s, h, "certificate"))));
            }
            closeSession(s);
        }));

        // Last: the cases above need an initialised driver.
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

    /** One case's line: PASS, or FAIL with {@code failure}. */
    private void report(String name, String failure) {
        if (failure == null) {
            passed++;
            System.out.println("PASS " + name);
        } else {
            failed++;
            System.out.println("FAIL " + name + ": " + failure.replace('\n', ' '));
        }
    }

    private void run(Case c) {
        try {
            c.body().run();
            report(c.name(), null);
        } catch (Stop e) {
            report(e.refused ? c.name() + " (" + e.getMessage() + ")" : c.name(), e.refused ? null : e.getMessage());
        } catch (Throwable t) {
            // A missing native method, an exception left pending, a failed helper call: against the case.
            report(c.name(), "unexpected " + t + (t.getCause() != null ? ", caused by " + t.getCause() : ""));
        }
    }

    /** Loads the bridge and the native helper; false means no case can run. */
    private boolean preflight() {
        try {
            check(new File(DRIVER).isFile(), "PKCS#11 module not found: " + show(DRIVER));
            Class.forName("ka.tovik.selvo.jvarnel.JVarnel", true, E2ETest.class.getClassLoader());
            TestToken.load(required("testToken"));
            if (!optional("profile").isEmpty()) {
                try (Reader r = Files.newBufferedReader(Paths.get(optional("profile")), StandardCharsets.UTF_8)) {
                    PROFILE.load(r);
                }
            }
            return true;
        } catch (Throwable t) {
            report("setup", "java.library.path=" + System.getProperty("java.library.path") + ": "
                    + (t.getCause() != null ? t.getCause() : t));
            return false;
        }
    }

    private int runAll() throws IOException {
        if (preflight()) {
            String only = profile("cases", "");
            for (Case c : cases()) {
                if (only.isEmpty() || Arrays.asList(only.split("\\s+")).contains(c.name())) {
                    run(c);
                }
            }
            Set<String> unread = new TreeSet<>(PROFILE.stringPropertyNames());
            unread.removeAll(PROFILE_READ);
            if (!unread.isEmpty()) {
                report("profile", "keys no case reads: " + unread);
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
