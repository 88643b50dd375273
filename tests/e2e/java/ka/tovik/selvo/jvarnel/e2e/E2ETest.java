package ka.tovik.selvo.jvarnel.e2e;

import java.io.ByteArrayOutputStream;
import java.io.File;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.security.KeyFactory;
import java.security.MessageDigest;
import java.security.PublicKey;
import java.security.Signature;
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
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.Set;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

import ka.tovik.selvo.jvarnel.JVarnel;

/**
 * End-to-end checks of libVarnel driving a real PKCS#11 module (SoftHSM) from Java.
 *
 * <p>Run by tests/e2e/run.sh, which prepares a fresh token and passes:
 * <ul>
 * <li>{@code varnel.e2e.driver} - path of the PKCS#11 module for this JVM's architecture (required)</li>
 * <li>{@code varnel.e2e.tokenLabel}, {@code varnel.e2e.pin}, {@code varnel.e2e.soPin} - the initialised token</li>
 * <li>{@code varnel.e2e.noPkcs11Lib} - a shared library of this architecture without C_Initialize
 *     (defaults to the JVM's own libjava.so)</li>
 * <li>{@code varnel.e2e.foreignModule} - optional: a PKCS#11 module built for the other architecture</li>
 * <li>{@code varnel.e2e.secondTokenLabel} - a second initialised token, holding no objects</li>
 * <li>{@code varnel.e2e.keyLabel}, {@code varnel.e2e.publicKey} - label of the RSA key pair on the first
 *     token (private key private, public key public) and the public key as DER SubjectPublicKeyInfo</li>
 * <li>{@code varnel.e2e.certLabel} - label of the one certificate on the first token</li>
 * <li>{@code varnel.e2e.slotListing}, {@code varnel.e2e.tokenSlotListing} - output of
 *     {@code pkcs11-tool --list-slots} and {@code --list-token-slots}: what the driver told another
 *     client, to compare the bridge's answers with</li>
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

    static final String BRIDGE_VERSION = "V1_3_0";

    // PKCS#11 values the cases pass or decode.
    static final int CKU_USER = 1;
    static final int CKF_RW_SESSION = 2;
    static final int CKF_SERIAL_SESSION = 4;
    static final long CKF_RNG = 0x1L;
    static final long CKF_LOGIN_REQUIRED = 0x4L;
    static final long CKF_USER_PIN_INITIALIZED = 0x8L;
    static final long CKF_TOKEN_INITIALIZED = 0x400L;
    static final long CKF_USER_PIN_COUNT_LOW = 0x10000L;

    static final int SEARCH_LABEL = 0;
    static final int SEARCH_PRIVATE_LABEL = 1;
    static final int SEARCH_CERTIFICATES = 2;

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

    /** Settings handed over by the runner. */
    static final class Config {
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

        Config() {
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

    static String show(String s) {
        return s == null ? "null" : '"' + s + '"';
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

    /** Puts the bridge in the initialised state whatever it was in, for cases that need a live driver. */
    static void ensureInitialized() {
        String s = JVarnel.Initialize();
        if (!OK.equals(s) && !CKR_CRYPTOKI_ALREADY_INITIALIZED.equals(s)) {
            throw fail("Initialize() to set up the case: got " + show(s));
        }
    }

    /**
     * Starts the case from a freshly initialised driver: finalising drops every session and login a
     * failed earlier case may have left open.
     */
    static void restartDriver() {
        ensureInitialized();
        expectStatus("Finalize() to set up the case", OK, JVarnel.Finalize());
        expectStatus("Initialize() to set up the case", OK, JVarnel.Initialize());
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

        list.add(new Case("load-driver-softhsm", () -> {
            expectStatus("LoadDriver(" + cfg.driver + ")", OK, JVarnel.LoadDriver(cfg.driver));
            expectStatus("second LoadDriver(same path)", OK, JVarnel.LoadDriver(cfg.driver));
            expectVersion("after LoadDriver");
        }));

        list.add(new Case("initialize-finalize-cycle", () -> {
            expectStatus("Initialize()", OK, JVarnel.Initialize());
            expectStatus("second Initialize()", CKR_CRYPTOKI_ALREADY_INITIALIZED, JVarnel.Initialize());
            expectStatus("Finalize()", OK, JVarnel.Finalize());
            expectStatus("second Finalize()", CKR_CRYPTOKI_NOT_INITIALIZED, JVarnel.Finalize());
            expectStatus("Initialize() after Finalize()", OK, JVarnel.Initialize());
            expectVersion("while initialised");
        }));

        list.add(new Case("initialize-finalize-repeated", () -> {
            // Enters initialised, leaves initialised.
            ensureInitialized();
            for (int i = 1; i <= 10; i++) {
                expectStatus("Finalize() in cycle " + i, OK, JVarnel.Finalize());
                expectStatus("Initialize() in cycle " + i, OK, JVarnel.Initialize());
            }
        }));

        list.add(new Case("reload-after-finalize", () -> {
            ensureInitialized();
            expectStatus("Finalize()", OK, JVarnel.Finalize());
            expectStatus("LoadDriver(same path) after Finalize()", OK, JVarnel.LoadDriver(cfg.driver));
            expectStatus("Initialize() after reloading", OK, JVarnel.Initialize());
            expectStatus("second Initialize() after reloading", CKR_CRYPTOKI_ALREADY_INITIALIZED,
                    JVarnel.Initialize());
        }));

        // --- the token road: slots, token information, sessions, search, signing

        list.add(new Case("slot-list", () -> {
            restartDriver();
            List<ListedSlot> tokenSlots = readListing("varnel.e2e.tokenSlotListing", cfg.tokenSlotListing);
            List<ListedSlot> allSlots = readListing("varnel.e2e.slotListing", cfg.slotListing);
            listedToken(tokenSlots, cfg.tokenLabel);
            listedToken(tokenSlots, Config.required("varnel.e2e.secondTokenLabel", cfg.secondTokenLabel));

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
            ListedSlot spare = listedToken(allSlots,
                    Config.required("varnel.e2e.secondTokenLabel", cfg.secondTokenLabel));

            String what = "GetTokenInfo(" + slotText(token) + ")";
            String[] info = JVarnel.GetTokenInfo(token.slotArgument());
            expectShape(what, info, OK, TOKEN_INFO_LENGTH);
            // Text fields keep their blank padding, and agree with what pkcs11-tool read.
            expectField(what, info, TI_LABEL, "label", padded(cfg.tokenLabel, 32));
            expectField(what, info, TI_MANUFACTURER, "manufacturerID", padded("SoftHSM project", 32));
            expectField(what, info, TI_MANUFACTURER, "manufacturerID as listed",
                    padded(token.field("token manufacturer"), 32));
            expectField(what, info, TI_MODEL, "model", padded("SoftHSM v2", 16));
            expectField(what, info, TI_MODEL, "model as listed", padded(token.field("token model"), 16));
            expectField(what, info, TI_SERIAL, "serialNumber", padded(token.field("serial num"), 16));
            // SoftHSM reports every session and memory counter as unavailable or unlimited.
            for (int i = TI_MAX_SESSIONS; i < TI_MAX_PIN; i++) {
                expectField(what, info, i, "session counter", "0");
            }
            for (int i = TI_TOTAL_PUBLIC; i <= TI_FREE_PRIVATE; i++) {
                expectField(what, info, i, "memory counter", "0");
            }
            expectField(what, info, TI_MAX_PIN, "ulMaxPinLen", "255");
            expectField(what, info, TI_MIN_PIN, "ulMinPinLen", "4");
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

            // SoftHSM fills utcTime with the current time, "YYYYMMDDhhmmss00".
            String utc = info[TI_UTC_TIME];
            if (!utc.matches("[0-9]{14}00")) {
                throw fail(what + ": utcTime is not YYYYMMDDhhmmss00: " + show(utc));
            }
            Instant tokenTime = LocalDateTime.parse(utc.substring(0, 14),
                    DateTimeFormatter.ofPattern("yyyyMMddHHmmss")).toInstant(ZoneOffset.UTC);
            if (Duration.between(tokenTime, Instant.now()).abs().compareTo(Duration.ofMinutes(10)) > 0) {
                throw fail(what + ": utcTime " + utc + " is far from now, " + Instant.now());
            }

            long flags = unsignedValue(what + " flags", info[TI_FLAGS]);
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
            String spareWhat = "GetTokenInfo(" + slotText(spare) + ")";
            String[] spareInfo = JVarnel.GetTokenInfo(spare.slotArgument());
            expectShape(spareWhat, spareInfo, OK, TOKEN_INFO_LENGTH);
            expectField(spareWhat, spareInfo, TI_LABEL, "label", padded(cfg.secondTokenLabel, 32));
            expectField(spareWhat, spareInfo, TI_SERIAL, "serialNumber", padded(spare.field("serial num"), 16));
            if (spareInfo[TI_SERIAL].equals(info[TI_SERIAL])) {
                throw fail("both tokens report serial number " + show(info[TI_SERIAL]));
            }

            // SoftHSM's last slot holds a token that is not initialised.
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
            expectArray("OpenSession(slot, 0)", JVarnel.OpenSession(slot, 0),
                    CKR_SESSION_PARALLEL_NOT_SUPPORTED, "0");
            int unused = unusedSlotId(allSlots);
            expectShape("OpenSession(" + unused + ", no such slot)",
                    JVarnel.OpenSession(unused, CKF_SERIAL_SESSION | CKF_RW_SESSION), CKR_SLOT_ID_INVALID, 2);

            String wrongPin = cfg.pin + "9";
            expectStatus("Login with a wrong PIN", CKR_PIN_INCORRECT, JVarnel.Login(rw, CKU_USER, wrongPin));
            // SoftHSM counts the failure: the token now reports CKF_USER_PIN_COUNT_LOW.
            long afterWrongPin = tokenFlags(slot);
            if (afterWrongPin != (listedFlags | CKF_USER_PIN_COUNT_LOW)) {
                throw fail("GetTokenInfo flags after a wrong PIN: 0x" + Long.toHexString(afterWrongPin)
                        + ", expected 0x" + Long.toHexString(listedFlags | CKF_USER_PIN_COUNT_LOW));
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
            expectFailureAnswer("FindObjects with no search", JVarnel.FindObjects(s), CKR_OPERATION_NOT_INITIALIZED);
            expectStatus("FindObjectsFinal with no search", CKR_OPERATION_NOT_INITIALIZED,
                    JVarnel.FindObjectsFinal(s));
            expectStatus("FindObjectsInit", OK, JVarnel.FindObjectsInit(s, keyLabel, SEARCH_LABEL));
            expectStatus("FindObjectsInit during a search", CKR_OPERATION_ACTIVE,
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
            expectVerifies("signature over length 0", verifyKey, "NONEwithRSA", new byte[0],
                    signInitAndSign("length 0", s, key, raw, 0));
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
            expectStatus("SignInit with the public key", CKR_KEY_FUNCTION_NOT_PERMITTED,
                    JVarnel.SignInit(s, pair.get(0)));

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
            long wideSession = s | (1L << 32);
            long wideKey = key | (1L << 32);
            byte[] raw = "handles wider than 32 bits".getBytes(StandardCharsets.UTF_8);

            if (is64BitJvm()) {
                expectStatus("SignInit(session | 1<<32, key)", CKR_SESSION_HANDLE_INVALID,
                        JVarnel.SignInit(wideSession, key));
                expectStatus("SignInit(session, key | 1<<32)", CKR_OBJECT_HANDLE_INVALID,
                        JVarnel.SignInit(s, wideKey));
                expectFailureAnswer("Sign(session) after the refused SignInit calls", JVarnel.Sign(s, raw, raw.length),
                        CKR_OPERATION_NOT_INITIALIZED);
                expectVerifies("signature with the handles as printed", verifyKey, "NONEwithRSA", raw,
                        signInitAndSign("the handles as printed", s, key, raw, raw.length));
                expectStatus("CloseSession(session | 1<<32)", CKR_SESSION_HANDLE_INVALID,
                        JVarnel.CloseSession(wideSession));
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

        // --- cases that need an initialised driver go above this line

        list.add(new Case("finalize-at-exit", () -> {
            ensureInitialized();
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
        } catch (CheckFailed e) {
            failCase(c.name(), e.getMessage());
        } catch (Throwable t) {
            // A missing native method, an exception the bridge left pending, an I/O error in the
            // harness: all count against the case, with the JVM's own description.
            failCase(c.name(), "unexpected " + t);
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
                    run(c);
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
