package ka.tovik.selvo.jvarnel.demo;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.math.BigInteger;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Paths;
import java.security.GeneralSecurityException;
import java.security.KeyFactory;
import java.security.MessageDigest;
import java.security.Signature;
import java.security.interfaces.RSAPublicKey;
import java.security.spec.RSAPublicKeySpec;
import java.security.spec.X509EncodedKeySpec;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Base64;
import java.util.List;

import javax.crypto.Cipher;

import ka.tovik.selvo.jvarnel.JVarnel;

/**
 * Signs a message with an RSA key held on a PKCS#11 token, through Varnel, and checks the signature
 * with the JDK; then encrypts a short secret with RSA-OAEP and has the token decrypt it.
 *
 * <pre>
 * java -Djava.library.path=dist/linux-x86_64 -cp CLASSES ka.tovik.selvo.jvarnel.demo.SignDemo \
 *     MODULE SLOT PIN KEY-LABEL [PUBLIC-KEY.der|-] [MESSAGE]
 * </pre>
 *
 * <ul>
 * <li>MODULE: path of the token's PKCS#11 driver (a .so of the JVM's architecture)</li>
 * <li>SLOT: the slot ID (decimal or 0x-hex), or {@code first} for the first slot holding an
 *     initialised token that requires login (skipping, say, NSS's "Generic Crypto Services")</li>
 * <li>PIN: the user PIN</li>
 * <li>KEY-LABEL: CKA_LABEL of the RSA key pair. When the token has no private key with this label,
 *     the program generates an RSA-2048 key pair with it (GenerateKeyPair): the private key is a
 *     private token object and stays; the public key is a session object and goes when the session
 *     closes.</li>
 * <li>PUBLIC-KEY.der: the public key as DER SubjectPublicKeyInfo, e.g. from {@code p11tool
 *     --export-pubkey} of the private key (docs/demo.md). Left out,
 *     or {@code -}, the public key is built from the modulus and exponent of the public key object
 *     with the label, read through GetAttributeValue.</li>
 * <li>MESSAGE: the text to sign (a fixed sentence when left out)</li>
 * </ul>
 *
 * <p>The key signs with CKM_RSA_PKCS, which pads and signs the bytes it is given: the program hands it
 * the DER DigestInfo of the message's SHA-256 hash, which makes an ordinary SHA256withRSA signature.
 * The secret is encrypted with the public key object ("rsapkcsoaep": RSA-OAEP with SHA-1 and MGF1-SHA1,
 * or the JDK's RSA/ECB/OAEPWithSHA-1AndMGF1Padding when the token holds no public key object) and
 * decrypted by the private key, so the key must be allowed to sign and to decrypt.
 *
 * <p>Exit status: 0 when the signature verifies and the secret comes back unchanged, 1 when a step
 * failed or either check did not hold, 2 for wrong arguments.
 */
public final class SignDemo {

    private static final String OK = "0";
    private static final int CKU_USER = 1;
    private static final int CKF_RW_SESSION = 2;
    private static final int CKF_SERIAL_SESSION = 4;
    private static final int SEARCH_BY_LABEL = 0;
    private static final int SEARCH_PRIVATE_BY_LABEL = 1;
    private static final String NO_MORE_OBJECTS = "10030";
    private static final int GENERATED_KEY_BITS = 2048;
    private static final byte[] EXPONENT_65537 = {1, 0, 1};
    private static final String SECRET = "a short secret, sealed with RSA-OAEP";
    private static final long CKF_LOGIN_REQUIRED = 0x4L;
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
    /** Null: build the public key from the public key object on the token. */
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
        publicKeyFile = args.length > 4 && !args[4].equals("-") ? args[4] : null;
        message = args.length > 5 ? args[5] : "Signed on the token through Varnel.";
    }

    public static void main(String[] args) {
        if (args.length < 4 || args.length > 6) {
            System.err.println("usage: SignDemo MODULE SLOT|first PIN KEY-LABEL [PUBLIC-KEY.der|-] [MESSAGE]");
            System.exit(2);
        }
        System.exit(new SignDemo(args).run());
    }

    private int run() {
        boolean passed = false;
        try {
            passed = signAndDecrypt();
        } catch (StepFailed e) {
            System.out.println("FAILED: " + e.getMessage());
        } catch (IOException | GeneralSecurityException e) {
            System.out.println("FAILED: " + e);
        } finally {
            cleanUp();
        }
        System.out.println(passed ? "Result: the signature verifies and the secret came back unchanged."
                : "Result: failed.");
        return passed ? 0 : 1;
    }

    private boolean signAndDecrypt() throws StepFailed, IOException, GeneralSecurityException {
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

        long key;
        long tokenPublicKey;  // 0: none on the token
        List<Long> privateKeys = findObjects(keyLabel, SEARCH_PRIVATE_BY_LABEL);
        if (privateKeys.isEmpty()) {
            System.out.println("No private key \"" + keyLabel + "\" on the token: generating an RSA-"
                    + GENERATED_KEY_BITS + " key pair (GenerateKeyPair, exponent 65537)");
            String[] pair = JVarnel.GenerateKeyPair(session, keyLabel, GENERATED_KEY_BITS, EXPONENT_65537,
                    EXPONENT_65537.length);
            check("GenerateKeyPair", pair[0]);
            tokenPublicKey = Long.parseUnsignedLong(pair[1]);
            key = Long.parseUnsignedLong(pair[2]);
            System.out.println("  public key  object " + pair[1] + " (a session object: it goes when this session"
                    + " closes)");
            System.out.println("  private key object " + pair[2] + " (a private token object: it stays on the token)");
        } else if (privateKeys.size() == 1) {
            key = privateKeys.get(0);
            System.out.println("Private key \"" + keyLabel + "\" found: object " + Long.toUnsignedString(key));
            tokenPublicKey = findPublicKey(key);
        } else {
            throw new StepFailed(privateKeys.size() + " private objects are labelled \"" + keyLabel
                    + "\"; the label must name one key");
        }

        RSAPublicKey publicKey;
        String publicKeySource;
        if (tokenPublicKey != 0) {
            RSAPublicKey read = readPublicKey(tokenPublicKey);
            System.out.println("Public key object " + Long.toUnsignedString(tokenPublicKey)
                    + ", read through GetAttributeValue:");
            System.out.println("  modulus  " + read.getModulus().bitLength() + " bits");
            System.out.println("  exponent " + read.getPublicExponent());
            publicKey = read;
            publicKeySource = "the public key read from the token";
        } else if (publicKeyFile == null) {
            throw new StepFailed("the token has no public key object labelled \"" + keyLabel + "\" (a public key"
                    + " made by GenerateKeyPair is a session object, gone with the session that made it):"
                    + " name its DER file on the command line");
        } else {
            System.out.println("No public key object \"" + keyLabel + "\" on the token");
            publicKey = null;
            publicKeySource = null;
        }
        if (publicKeyFile != null) {
            RSAPublicKey fromToken = publicKey;
            publicKey = (RSAPublicKey) KeyFactory.getInstance("RSA")
                    .generatePublic(new X509EncodedKeySpec(Files.readAllBytes(Paths.get(publicKeyFile))));
            publicKeySource = publicKeyFile;
            System.out.println("Public key file " + publicKeyFile + ": " + publicKey.getModulus().bitLength()
                    + "-bit modulus, exponent " + publicKey.getPublicExponent()
                    + (fromToken != null && !(fromToken.getModulus().equals(publicKey.getModulus())
                            && fromToken.getPublicExponent().equals(publicKey.getPublicExponent()))
                                    ? " (NOT the public key on the token)" : ""));
        }

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

        Signature verifier = Signature.getInstance("SHA256withRSA");
        verifier.initVerify(publicKey);
        verifier.update(data);
        boolean verified = verifier.verify(signature);
        System.out.println("  SHA256withRSA verification with " + publicKeySource + ": "
                + (verified ? "valid" : "INVALID"));

        boolean unchanged = encryptAndDecrypt(tokenPublicKey, publicKey, key);
        return verified && unchanged;
    }

    /**
     * Encrypts {@link #SECRET} with RSA-OAEP (on the token when it holds the public key object, else with
     * the JDK) and decrypts it with the private key on the token; true when it comes back unchanged.
     */
    private boolean encryptAndDecrypt(long tokenPublicKey, RSAPublicKey publicKey, long privateKey)
            throws StepFailed, GeneralSecurityException {
        byte[] secret = SECRET.getBytes(StandardCharsets.UTF_8);
        System.out.println("Secret \"" + SECRET + "\"");
        String cipherText;
        if (tokenPublicKey != 0) {
            check("EncryptInit(rsapkcsoaep)", JVarnel.EncryptInit(session, tokenPublicKey, "rsapkcsoaep"));
            String[] encrypted = JVarnel.Encrypt(session, secret, secret.length);
            check("Encrypt", encrypted[0]);
            cipherText = encrypted[1];
            System.out.println("  encrypted on the token with the public key (RSA-OAEP, SHA-1, MGF1-SHA1): "
                    + Base64.getDecoder().decode(cipherText).length + " bytes");
        } else {
            Cipher oaep = Cipher.getInstance("RSA/ECB/OAEPWithSHA-1AndMGF1Padding");
            oaep.init(Cipher.ENCRYPT_MODE, publicKey);
            cipherText = Base64.getEncoder().encodeToString(oaep.doFinal(secret));
            System.out.println("  encrypted by the JDK (RSA/ECB/OAEPWithSHA-1AndMGF1Padding) with " + publicKeyFile);
        }
        System.out.println("  cipher text " + abbreviated(cipherText));

        // Decrypt takes the Base64 text as bytes and answers the plain text in Base64.
        check("DecryptInit(rsapkcsoaep)", JVarnel.DecryptInit(session, privateKey, "rsapkcsoaep"));
        byte[] text = cipherText.getBytes(StandardCharsets.US_ASCII);
        String[] decrypted = JVarnel.Decrypt(session, text, text.length);
        check("Decrypt", decrypted[0]);
        byte[] plain = Base64.getDecoder().decode(decrypted[1]);
        boolean same = Arrays.equals(secret, plain);
        System.out.println("  decrypted on the token with the private key: \""
                + new String(plain, StandardCharsets.UTF_8) + "\" " + (same ? "(unchanged)" : "(DIFFERENT)"));
        return same;
    }

    /** The public key built from the modulus and exponent of {@code object}, read through GetAttributeValue. */
    private RSAPublicKey readPublicKey(long object) throws StepFailed, GeneralSecurityException {
        String[] modulus = JVarnel.GetAttributeValue(session, object, "modulus");
        check("GetAttributeValue(modulus)", modulus[0]);
        String[] exponent = JVarnel.GetAttributeValue(session, object, "exponent");
        check("GetAttributeValue(exponent)", exponent[0]);
        RSAPublicKeySpec spec = new RSAPublicKeySpec(new BigInteger(1, Base64.getDecoder().decode(modulus[1])),
                new BigInteger(1, Base64.getDecoder().decode(exponent[1])));
        return (RSAPublicKey) KeyFactory.getInstance("RSA").generatePublic(spec);
    }

    /**
     * The slot named on the command line, or the first one holding an initialised token that requires
     * login: a token without login has no private keys to find.
     */
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
        long wanted = CKF_TOKEN_INITIALIZED | CKF_LOGIN_REQUIRED;
        for (int i = 1; i < slots.length; i++) {
            int slot = (int) Long.parseUnsignedLong(slots[i]);
            String[] info = JVarnel.GetTokenInfo(slot);
            if (OK.equals(info[0]) && (Long.parseUnsignedLong(info[18]) & wanted) == wanted) {
                System.out.println("Chose slot " + slots[i] + ", the first whose token is initialised and requires"
                        + " login");
                return slot;
            }
        }
        throw new StepFailed("no slot holds an initialised token that requires login");
    }

    /** Every object labelled {@code label} of the search kind (0: any object, 1: private token objects). */
    private List<Long> findObjects(String label, int kind) throws StepFailed {
        check("FindObjectsInit", JVarnel.FindObjectsInit(session, label, kind));
        List<Long> found = new ArrayList<>();
        try {
            while (true) {
                String[] batch = JVarnel.FindObjects(session);
                if (NO_MORE_OBJECTS.equals(batch[0])) {
                    return found;
                }
                check("FindObjects", batch[0]);
                for (int i = 1; i < batch.length; i++) {
                    found.add(Long.parseUnsignedLong(batch[i]));
                }
            }
        } finally {
            String finalStatus = JVarnel.FindObjectsFinal(session);
            if (!OK.equals(finalStatus)) {
                System.out.println("FindObjectsFinal: status " + finalStatus);
            }
        }
    }

    /**
     * The public key object sharing the private key's label: of the other objects with the label, the
     * one with a modulus to read (a certificate or another private key has none). 0 when there is none.
     */
    private long findPublicKey(long privateKey) throws StepFailed {
        for (long object : findObjects(keyLabel, SEARCH_BY_LABEL)) {
            if (object != privateKey && OK.equals(JVarnel.GetAttributeValue(session, object, "modulus")[0])) {
                return object;
            }
        }
        return 0;
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
            case "104": return " (CKR_KEY_FUNCTION_NOT_PERMITTED: the key may not be used this way)";
            case "257": return " (CKR_USER_NOT_LOGGED_IN)";
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
