package ka.tovik.selvo.jvarnel.demo;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Paths;
import java.security.GeneralSecurityException;
import java.security.KeyFactory;
import java.security.MessageDigest;
import java.security.PublicKey;
import java.security.Signature;
import java.security.spec.X509EncodedKeySpec;
import java.util.Base64;

import ka.tovik.selvo.jvarnel.JVarnel;

/**
 * Signs a message with an RSA key held on a PKCS#11 token, through Varnel, and checks the signature
 * with the JDK.
 *
 * <pre>
 * java -Djava.library.path=dist/linux-x86_64 -cp CLASSES ka.tovik.selvo.jvarnel.demo.SignDemo \
 *     MODULE SLOT PIN KEY-LABEL PUBLIC-KEY.der [MESSAGE]
 * </pre>
 *
 * <ul>
 * <li>MODULE: path of the token's PKCS#11 driver (a .so of the JVM's architecture)</li>
 * <li>SLOT: the slot ID (decimal or 0x-hex), or {@code first} for the first slot holding an
 *     initialised token</li>
 * <li>PIN: the user PIN</li>
 * <li>KEY-LABEL: CKA_LABEL of the private RSA key (a private token object)</li>
 * <li>PUBLIC-KEY.der: its public key as DER SubjectPublicKeyInfo, e.g. from
 *     {@code pkcs11-tool --read-object --type pubkey --label KEY-LABEL -o PUBLIC-KEY.der}</li>
 * <li>MESSAGE: the text to sign (a fixed sentence when left out)</li>
 * </ul>
 *
 * <p>The key signs with CKM_RSA_PKCS, which pads and signs the bytes it is given: the program hands it
 * the DER DigestInfo of the message's SHA-256 hash, which makes an ordinary SHA256withRSA signature.
 *
 * <p>Exit status: 0 when the signature verifies, 1 when a step failed or the signature does not
 * verify, 2 for wrong arguments.
 */
public final class SignDemo {

    private static final String OK = "0";
    private static final int CKU_USER = 1;
    private static final int CKF_RW_SESSION = 2;
    private static final int CKF_SERIAL_SESSION = 4;
    private static final int SEARCH_PRIVATE_BY_LABEL = 1;
    private static final long CKF_TOKEN_INITIALIZED = 0x400L;

    /** DER prefix of a PKCS#1 DigestInfo for SHA-256; the 32-byte hash follows it. */
    private static final byte[] SHA256_DIGEST_INFO_PREFIX = {
        0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, (byte) 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01,
        0x05, 0x00, 0x04, 0x20,
    };

    /** CK_TOKEN_INFO flags worth naming in the account. */
    private static final Object[][] TOKEN_FLAGS = {
        {0x1L, "RNG"},
        {0x2L, "WRITE_PROTECTED"},
        {0x4L, "LOGIN_REQUIRED"},
        {0x8L, "USER_PIN_INITIALIZED"},
        {0x20L, "RESTORE_KEY_NOT_NEEDED"},
        {0x40L, "CLOCK_ON_TOKEN"},
        {0x100L, "PROTECTED_AUTHENTICATION_PATH"},
        {0x200L, "DUAL_CRYPTO_OPERATIONS"},
        {0x400L, "TOKEN_INITIALIZED"},
        {0x800L, "SECONDARY_AUTHENTICATION"},
        {0x10000L, "USER_PIN_COUNT_LOW"},
        {0x20000L, "USER_PIN_FINAL_TRY"},
        {0x40000L, "USER_PIN_LOCKED"},
        {0x80000L, "USER_PIN_TO_BE_CHANGED"},
        {0x100000L, "SO_PIN_COUNT_LOW"},
        {0x200000L, "SO_PIN_FINAL_TRY"},
        {0x400000L, "SO_PIN_LOCKED"},
        {0x800000L, "SO_PIN_TO_BE_CHANGED"},
        {0x1000000L, "ERROR_STATE"},
    };

    /** A step that failed; the message says which and how. */
    private static final class StepFailed extends Exception {
        private static final long serialVersionUID = 1L;

        StepFailed(String message) {
            super(message);
        }
    }

    private final String module;
    private final String slotArgument;
    private final String pin;
    private final String keyLabel;
    private final String publicKeyFile;
    private final String message;

    private boolean initialized;
    private long session;
    private boolean sessionOpen;
    private boolean loggedIn;

    private SignDemo(String[] args) {
        module = args[0];
        slotArgument = args[1];
        pin = args[2];
        keyLabel = args[3];
        publicKeyFile = args[4];
        message = args.length > 5 ? args[5] : "Signed on the token through Varnel.";
    }

    public static void main(String[] args) {
        if (args.length < 5 || args.length > 6) {
            System.err.println("usage: SignDemo MODULE SLOT|first PIN KEY-LABEL PUBLIC-KEY.der [MESSAGE]");
            System.exit(2);
        }
        System.exit(new SignDemo(args).run());
    }

    private int run() {
        boolean verified = false;
        try {
            verified = signAndVerify();
        } catch (StepFailed e) {
            System.out.println("FAILED: " + e.getMessage());
        } catch (IOException | GeneralSecurityException e) {
            System.out.println("FAILED: " + e);
        } finally {
            cleanUp();
        }
        System.out.println(verified ? "Result: the signature verifies." : "Result: no verified signature.");
        return verified ? 0 : 1;
    }

    private boolean signAndVerify() throws StepFailed, IOException, GeneralSecurityException {
        String[] version = JVarnel.GetVersion();
        System.out.println("Varnel " + version[1] + " on a " + System.getProperty("sun.arch.data.model", "?")
                + "-bit JVM");

        check("LoadDriver(" + module + ")", JVarnel.LoadDriver(module));
        check("Initialize", JVarnel.Initialize());
        initialized = true;
        System.out.println("Driver loaded and initialised: " + module);

        int slot = chooseSlot();
        String[] info = JVarnel.GetTokenInfo(slot);
        check("GetTokenInfo(" + Integer.toUnsignedString(slot) + ")", info[0]);
        System.out.println("Token in slot " + Integer.toUnsignedString(slot) + ":");
        System.out.println("  label         " + info[1].strip());
        System.out.println("  manufacturer  " + info[2].strip());
        System.out.println("  model         " + info[3].strip());
        System.out.println("  serial number " + info[4].strip());
        System.out.println("  versions      hardware " + info[15] + ", firmware " + info[16]);
        System.out.println("  flags         " + info[18] + " = " + flagNames(Long.parseUnsignedLong(info[18])));

        String[] opened = JVarnel.OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION);
        check("OpenSession", opened[0]);
        session = Long.parseUnsignedLong(opened[1]);
        sessionOpen = true;
        System.out.println("Session " + opened[1] + " opened (serial, read/write)");

        check("Login", JVarnel.Login(session, CKU_USER, pin));
        loggedIn = true;
        System.out.println("Logged in as user");

        long key = findPrivateKey();
        System.out.println("Private key \"" + keyLabel + "\" found: object " + Long.toUnsignedString(key));

        byte[] data = message.getBytes(StandardCharsets.UTF_8);
        byte[] digestInfo = sha256DigestInfo(data);
        check("SignInit", JVarnel.SignInit(session, key));
        String[] signed = JVarnel.Sign(session, digestInfo, digestInfo.length);
        check("Sign", signed[0]);
        byte[] signature = Base64.getDecoder().decode(signed[1]);
        System.out.println("Message \"" + message + "\"");
        System.out.println("  signed on the token (SHA-256 DigestInfo, CKM_RSA_PKCS): " + signature.length
                + " bytes");
        System.out.println("  signature " + abbreviated(signed[1]));

        PublicKey publicKey = KeyFactory.getInstance("RSA")
                .generatePublic(new X509EncodedKeySpec(Files.readAllBytes(Paths.get(publicKeyFile))));
        Signature verifier = Signature.getInstance("SHA256withRSA");
        verifier.initVerify(publicKey);
        verifier.update(data);
        boolean verified = verifier.verify(signature);
        System.out.println("  SHA256withRSA verification with " + publicKeyFile + ": "
                + (verified ? "valid" : "INVALID"));
        return verified;
    }

    /** The slot named on the command line, or the first one holding an initialised token. */
    private int chooseSlot() throws StepFailed {
        String[] slots = JVarnel.GetSlotList(1);
        check("GetSlotList", slots[0]);
        StringBuilder listed = new StringBuilder();
        for (int i = 1; i < slots.length; i++) {
            listed.append(i == 1 ? "" : ", ").append(slots[i]);
        }
        System.out.println("Slots with a token: " + listed);

        if (!slotArgument.equals("first")) {
            try {
                String digits = slotArgument.toLowerCase();
                long id = digits.startsWith("0x") ? Long.parseUnsignedLong(digits.substring(2), 16)
                        : Long.parseUnsignedLong(digits);
                if (id >>> 32 != 0) {
                    throw new StepFailed("slot " + slotArgument + " does not fit in 32 bits");
                }
                return (int) id;
            } catch (NumberFormatException e) {
                throw new StepFailed("slot must be a number or \"first\": " + slotArgument);
            }
        }
        for (int i = 1; i < slots.length; i++) {
            int slot = (int) Long.parseUnsignedLong(slots[i]);
            String[] info = JVarnel.GetTokenInfo(slot);
            if (OK.equals(info[0]) && (Long.parseUnsignedLong(info[18]) & CKF_TOKEN_INITIALIZED) != 0) {
                return slot;
            }
        }
        throw new StepFailed("no slot holds an initialised token");
    }

    /** The one private token object labelled {@link #keyLabel}. */
    private long findPrivateKey() throws StepFailed {
        check("FindObjectsInit", JVarnel.FindObjectsInit(session, keyLabel, SEARCH_PRIVATE_BY_LABEL));
        String[] found = JVarnel.FindObjects(session);
        String finalStatus = JVarnel.FindObjectsFinal(session);
        if ("10030".equals(found[0])) {
            throw new StepFailed("no private object labelled \"" + keyLabel + "\" on the token");
        }
        check("FindObjects", found[0]);
        check("FindObjectsFinal", finalStatus);
        if (found.length != 2) {
            throw new StepFailed((found.length - 1) + " private objects are labelled \"" + keyLabel
                    + "\"; the label must name one key");
        }
        return Long.parseUnsignedLong(found[1]);
    }

    /** Logs out, closes the session and finalises, whatever happened before. */
    private void cleanUp() {
        if (loggedIn) {
            report("LogOut", JVarnel.LogOut(session));
        }
        if (sessionOpen) {
            report("CloseSession", JVarnel.CloseSession(session));
        }
        if (initialized) {
            report("Finalize", JVarnel.Finalize());
        }
    }

    private static void report(String step, String status) {
        System.out.println(step + ": " + (OK.equals(status) ? "done" : "status " + status));
    }

    private static void check(String step, String status) throws StepFailed {
        if (!OK.equals(status)) {
            throw new StepFailed(step + " answered status " + status + describe(status));
        }
    }

    /** A few statuses a user of this program is likely to meet. */
    private static String describe(String status) {
        switch (status) {
            case "160": return " (CKR_PIN_INCORRECT)";
            case "164": return " (CKR_PIN_LOCKED)";
            case "3": return " (CKR_SLOT_ID_INVALID)";
            case "224": return " (CKR_TOKEN_NOT_PRESENT)";
            case "10001": return " (the driver could not be loaded)";
            case "10002": return " (the file is not a PKCS#11 driver)";
            case "10031": return " (no slot holds a token)";
            default: return "";
        }
    }

    private static String flagNames(long flags) {
        StringBuilder names = new StringBuilder();
        long rest = flags;
        for (Object[] flag : TOKEN_FLAGS) {
            long bit = (Long) flag[0];
            if ((flags & bit) != 0) {
                names.append(names.length() == 0 ? "" : " | ").append(flag[1]);
                rest &= ~bit;
            }
        }
        if (rest != 0) {
            names.append(names.length() == 0 ? "" : " | ").append("0x").append(Long.toHexString(rest));
        }
        return names.length() == 0 ? "none" : names.toString();
    }

    private static byte[] sha256DigestInfo(byte[] data) throws GeneralSecurityException {
        ByteArrayOutputStream digestInfo = new ByteArrayOutputStream();
        digestInfo.writeBytes(SHA256_DIGEST_INFO_PREFIX);
        digestInfo.writeBytes(MessageDigest.getInstance("SHA-256").digest(data));
        return digestInfo.toByteArray();
    }

    private static String abbreviated(String base64) {
        return base64.length() <= 40 ? base64
                : base64.substring(0, 24) + "..." + base64.substring(base64.length() - 12)
                        + " (" + base64.length() + " Base64 characters)";
    }
}
