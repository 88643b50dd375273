import java.nio.charset.StandardCharsets;
import java.security.MessageDigest;

import ka.tovik.selvo.jvarnel.JVarnel;

/**
 * Signs a message with an RSA private key on a PKCS#11 token through Varnel and prints the
 * signature (SHA256withRSA) in Base64.
 *
 * <pre>
 * java -cp varnel-1.3.0.jar:. SignWithVarnel DRIVER TOKEN-LABEL PIN KEY-LABEL MESSAGE
 * </pre>
 *
 * <p>Exit status 0 when signed, 1 when a step failed (the message names it and its status), 2 for
 * wrong arguments.
 */
public final class SignWithVarnel {
    private static final String OK = "0";
    private static final String NO_MORE_OBJECTS = "10030";
    private static final int TOKEN_PRESENT = 1;
    private static final int CKF_SERIAL_SESSION = 4;
    private static final int CKU_USER = 1;
    private static final int PRIVATE_TOKEN_OBJECTS_WITH_LABEL = 1;
    /** DER prefix of a DigestInfo for SHA-256; the hash follows it. CKM_RSA_PKCS signs it as given. */
    private static final byte[] SHA256_DIGEST_INFO = {
        0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, (byte) 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01,
        0x05, 0x00, 0x04, 0x20,
    };

    /** A method answered a status other than "0". */
    private static final class Failed extends Exception {
        private static final long serialVersionUID = 1L;

        Failed(String method, String status) {
            super(method + " answered " + status);
        }
    }

    private static String check(String method, String status) throws Failed {
        if (!OK.equals(status)) {
            throw new Failed(method, status);
        }
        return status;
    }

    /** Cleanup steps report a failure but do not hide the one that ended the work. */
    private static void report(String method, String status) {
        if (!OK.equals(status)) {
            System.err.println(method + " answered " + status);
        }
    }

    public static void main(String[] args) throws Exception {
        if (args.length != 5) {
            System.err.println("usage: SignWithVarnel DRIVER TOKEN-LABEL PIN KEY-LABEL MESSAGE");
            System.exit(2);
        }
        String driver = args[0], tokenLabel = args[1], pin = args[2], keyLabel = args[3];
        byte[] message = args[4].getBytes(StandardCharsets.UTF_8);
        try {
            System.out.println(sign(driver, tokenLabel, pin, keyLabel, message));
        } catch (Failed e) {
            System.err.println("FAILED: " + e.getMessage());
            System.exit(1);
        }
    }

    static String sign(String driver, String tokenLabel, String pin, String keyLabel, byte[] message)
            throws Exception {
        check("LoadDriver", JVarnel.LoadDriver(driver));
        check("Initialize", JVarnel.Initialize());
        try {
            int slot = slotWithToken(tokenLabel);
            String[] opened = JVarnel.OpenSession(slot, CKF_SERIAL_SESSION);
            check("OpenSession", opened[0]);
            long session = Long.parseLong(opened[1]);
            try {
                check("Login", JVarnel.Login(session, CKU_USER, pin));
                try {
                    long key = privateKey(session, keyLabel);
                    check("SignInit", JVarnel.SignInit(session, key));
                    byte[] hash = MessageDigest.getInstance("SHA-256").digest(message);
                    byte[] digestInfo = new byte[SHA256_DIGEST_INFO.length + hash.length];
                    System.arraycopy(SHA256_DIGEST_INFO, 0, digestInfo, 0, SHA256_DIGEST_INFO.length);
                    System.arraycopy(hash, 0, digestInfo, SHA256_DIGEST_INFO.length, hash.length);
                    String[] signed = JVarnel.Sign(session, digestInfo, digestInfo.length);
                    check("Sign", signed[0]);
                    return signed[1];
                } finally {
                    report("LogOut", JVarnel.LogOut(session));
                }
            } finally {
                report("CloseSession", JVarnel.CloseSession(session));
            }
        } finally {
            report("Finalize", JVarnel.Finalize());
        }
    }

    /** The slot whose token has this label; GetTokenInfo's element 1 is the label, blank-padded. */
    private static int slotWithToken(String label) throws Failed {
        String[] slots = JVarnel.GetSlotList(TOKEN_PRESENT);
        check("GetSlotList", slots[0]);
        for (int i = 1; i < slots.length; i++) {
            int slot = (int) Long.parseLong(slots[i]); // unsigned text; the int carries its 32 bits
            String[] info = JVarnel.GetTokenInfo(slot);
            check("GetTokenInfo", info[0]);
            if (info[1].trim().equals(label)) {
                return slot;
            }
        }
        throw new Failed("GetSlotList", "no token labelled " + label);
    }

    /** The one private key labelled {@code label}. */
    private static long privateKey(long session, String label) throws Failed {
        check("FindObjectsInit", JVarnel.FindObjectsInit(session, label, PRIVATE_TOKEN_OBJECTS_WITH_LABEL));
        String[] found;
        try {
            found = JVarnel.FindObjects(session);
        } finally {
            report("FindObjectsFinal", JVarnel.FindObjectsFinal(session));
        }
        if (NO_MORE_OBJECTS.equals(found[0])) {
            throw new Failed("FindObjects", "10030: no private key labelled " + label);
        }
        check("FindObjects", found[0]);
        if (found.length != 2) {
            throw new Failed("FindObjects", (found.length - 1) + " keys labelled " + label);
        }
        return Long.parseLong(found[1]);
    }
}
