package ka.tovik.selvo.jvarnel.bench;

import com.sun.jna.Library;
import com.sun.jna.Memory;
import com.sun.jna.Native;
import com.sun.jna.NativeLong;
import com.sun.jna.Pointer;
import com.sun.jna.ptr.NativeLongByReference;

import java.io.BufferedReader;
import java.io.InputStreamReader;
import java.io.OutputStreamWriter;
import java.io.Writer;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.security.KeyStore;
import java.security.MessageDigest;
import java.security.PrivateKey;
import java.security.Provider;
import java.security.Security;
import java.security.Signature;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Base64;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Locale;
import java.util.Map;

import javax.crypto.Cipher;

import ka.tovik.selvo.jvarnel.JVarnel;
import sun.security.pkcs11.wrapper.CK_MECHANISM;
import sun.security.pkcs11.wrapper.CK_TOKEN_INFO;
import sun.security.pkcs11.wrapper.PKCS11;

/**
 * Varnel beside the other ways to do the same work: on a SoftHSM2 token with
 * an RSA-2048 key, through bench/native/direct.c (the module called straight
 * from C, in a child process that times itself) and through the JDK's
 * SunPKCS11 provider; with {@code --peers}, also through the JDK's own
 * PKCS#11 wrapper class (the layer under SunPKCS11) and a JNA binding, on the
 * token and on the null driver, where only the interfaces cost anything.
 * Every way gives the same answer before it is timed; each trial then times a
 * batch of every way in rotating order, and a ratio is Varnel's time over the
 * other's in the same trial: below 1, Varnel is faster.
 *
 * <p>Arguments: {@code --module PATH --slot ID --pin PIN --key-label L --p11-config FILE
 * --direct PROGRAM [--runner R] --tmp DIR --out DIR [--peers NULL_DRIVER] [--trials N]
 * [--trial-ms X]}.
 */
public final class RealBench {
    private RealBench() {
    }

    static final long CKM_RSA_PKCS = 1;
    static final String[] WAYS = {"Varnel", "direct C", "SunPKCS11", "JDK wrapper", "JNA"};

    /** The JNA binding: the Cryptoki functions the operations call, CK_ULONG as NativeLong. */
    public interface Cryptoki extends Library {
        NativeLong C_GetTokenInfo(NativeLong slot, Pointer info);

        NativeLong C_OpenSession(NativeLong slot, NativeLong flags, Pointer application, Pointer notify,
                NativeLongByReference session);

        NativeLong C_CloseSession(NativeLong session);

        NativeLong C_SignInit(NativeLong session, Pointer mechanism, NativeLong key);

        NativeLong C_Sign(NativeLong session, byte[] data, NativeLong length, Pointer out, NativeLongByReference size);

        NativeLong C_DecryptInit(NativeLong session, Pointer mechanism, NativeLong key);

        NativeLong C_Decrypt(NativeLong session, byte[] data, NativeLong length, Pointer out,
                NativeLongByReference size);
    }

    static NativeLong ulong(long value) {
        return new NativeLong(value);
    }

    static void ok(NativeLong rv, String what) {
        Stats.check(rv.longValue() == 0, what + " answered " + rv.longValue());
    }

    /** CK_MECHANISM {CKM_RSA_PKCS, NULL, 0}. */
    static Memory rsaPkcs() {
        Memory m = new Memory(2L * NativeLong.SIZE + Native.POINTER_SIZE);
        m.clear();
        m.setNativeLong(0, ulong(CKM_RSA_PKCS));
        return m;
    }

    /** Output of a C_Sign or C_Decrypt through JNA, into a 4 KB buffer. */
    interface JnaOutput {
        NativeLong call(Memory out, NativeLongByReference size);
    }

    static byte[] jnaBytes(JnaOutput call, String what) {
        Memory out = new Memory(4096);
        NativeLongByReference size = new NativeLongByReference(ulong(4096));
        ok(call.call(out, size), what);
        return out.getByteArray(0, size.getValue().intValue());
    }

    /** One operation's ways, by name, each answering Base64 or text to compare. */
    static final class Operation {
        final String driver;
        final String name;
        final Map<String, Stats.Call> ways = new LinkedHashMap<>();
        final Map<String, Stats.Way> batches = new LinkedHashMap<>();  // ways that time themselves

        Operation(String driver, String name) {
            this.driver = driver;
            this.name = name;
        }
    }

    static String base64(byte[] bytes) {
        return Base64.getEncoder().encodeToString(bytes);
    }

    /**
     * The operations on one driver through Varnel: SignInit + Sign and
     * DecryptInit + Decrypt; with {@code peers}, also GetTokenInfo and
     * OpenSession + CloseSession, and each through the JDK wrapper and JNA.
     */
    static List<Operation> operations(String driver, String module, long slot, long session, long key, byte[] toSign,
            byte[] cipherText, boolean peers) throws Exception {
        byte[] cipherBase64 = Base64.getEncoder().encode(cipherText);
        List<Operation> list = new ArrayList<>();
        Operation info = new Operation(driver, "GetTokenInfo");
        info.ways.put("Varnel", () -> {
            String[] t = Stats.ok(JVarnel.GetTokenInfo((int) slot), "GetTokenInfo");
            return t[1] + t[2] + t[3] + t[4];
        });
        Operation sessions = new Operation(driver, "OpenSession + CloseSession");
        sessions.ways.put("Varnel", () -> JVarnel.CloseSession(
                Long.parseLong(Stats.ok(JVarnel.OpenSession((int) slot, 6), "OpenSession")[1])));
        Operation sign = new Operation(driver, "SignInit + Sign");
        sign.ways.put("Varnel", () -> {
            Stats.ok(JVarnel.SignInit(session, key), "SignInit");
            return Stats.ok(JVarnel.Sign(session, toSign, toSign.length), "Sign")[1];
        });
        Operation decrypt = new Operation(driver, "DecryptInit + Decrypt");
        decrypt.ways.put("Varnel", () -> {
            Stats.ok(JVarnel.DecryptInit(session, key, "rsapkcs"), "DecryptInit");
            return Stats.ok(JVarnel.Decrypt(session, cipherBase64, cipherBase64.length), "Decrypt")[1];
        });
        if (!peers) return new ArrayList<>(List.of(sign, decrypt));

        PKCS11 p11 = PKCS11.getInstance(module, "C_GetFunctionList", null, true);
        // RTLD_NOW alone, as Varnel opens it: JNA's default adds RTLD_GLOBAL.
        Cryptoki jna = Native.load(module, Cryptoki.class, Map.of(Library.OPTION_OPEN_FLAGS, 2));
        NativeLong jSession = ulong(session);
        info.ways.put("JDK wrapper", () -> {
            CK_TOKEN_INFO t = p11.C_GetTokenInfo(slot);
            return new String(t.label) + new String(t.manufacturerID) + new String(t.model) + new String(t.serialNumber);
        });
        info.ways.put("JNA", () -> {
            Memory record = new Memory(512);  // CK_TOKEN_INFO: label, manufacturerID, model, serialNumber first
            ok(jna.C_GetTokenInfo(ulong(slot), record), "C_GetTokenInfo");
            return new String(record.getByteArray(0, 96), StandardCharsets.UTF_8);
        });
        sessions.ways.put("JDK wrapper", () -> {
            p11.C_CloseSession(p11.C_OpenSession(slot, 6, null, null));
            return "0";
        });
        sessions.ways.put("JNA", () -> {
            NativeLongByReference opened = new NativeLongByReference();
            ok(jna.C_OpenSession(ulong(slot), ulong(6), null, null, opened), "C_OpenSession");
            return jna.C_CloseSession(opened.getValue()).toString();
        });
        sign.ways.put("JDK wrapper", () -> {
            p11.C_SignInit(session, new CK_MECHANISM(CKM_RSA_PKCS), key);
            return base64(p11.C_Sign(session, toSign));
        });
        sign.ways.put("JNA", () -> {
            ok(jna.C_SignInit(jSession, rsaPkcs(), ulong(key)), "C_SignInit");
            return base64(jnaBytes((out, size) -> jna.C_Sign(jSession, toSign, ulong(toSign.length), out, size),
                    "C_Sign"));
        });
        decrypt.ways.put("JDK wrapper", () -> {
            p11.C_DecryptInit(session, new CK_MECHANISM(CKM_RSA_PKCS), key);
            byte[] plain = new byte[4096];
            int n = p11.C_Decrypt(session, 0, cipherText, 0, cipherText.length, 0, plain, 0, plain.length);
            return base64(Arrays.copyOf(plain, n));
        });
        decrypt.ways.put("JNA", () -> {
            ok(jna.C_DecryptInit(jSession, rsaPkcs(), ulong(key)), "C_DecryptInit");
            return base64(jnaBytes((out, size) -> jna.C_Decrypt(jSession, cipherText, ulong(cipherText.length), out,
                    size), "C_Decrypt"));
        });
        return new ArrayList<>(List.of(info, sessions, sign, decrypt));
    }

    // The direct C program, driven over its standard input and output.
    static Writer toDirect;
    static BufferedReader fromDirect;

    static String ask(String command) throws Exception {
        toDirect.write(command + "\n");
        toDirect.flush();
        String answer = fromDirect.readLine();
        Stats.check(answer != null && answer.startsWith("ok "), "direct " + command + ": " + answer);
        return answer.substring(3);
    }

    public static void main(String[] args) throws Throwable {
        Map<String, String> a = new LinkedHashMap<>();
        for (int i = 0; i + 1 < args.length; i += 2) a.put(args[i], args[i + 1]);
        int trials = Integer.parseInt(a.getOrDefault("--trials", "31"));
        double trialNs = Double.parseDouble(a.getOrDefault("--trial-ms", "40")) * 1e6;
        String module = a.get("--module");
        long slot = Long.parseLong(a.get("--slot"));
        String pin = a.get("--pin");
        String keyLabel = a.get("--key-label");
        String nullDriver = a.get("--peers");
        Path tmp = Paths.get(a.get("--tmp"));

        // SunPKCS11 first: it initialises the module asking for the operating
        // system's locking, so that its own cleaner thread may call in safely;
        // Varnel's Initialize then answers CKR_CRYPTOKI_ALREADY_INITIALIZED.
        Provider provider = Security.getProvider("SunPKCS11").configure(a.get("--p11-config"));
        KeyStore store = KeyStore.getInstance("PKCS11", provider);
        store.load(null, pin.toCharArray());
        PrivateKey p11Key = (PrivateKey) store.getKey(keyLabel, null);
        Stats.check(p11Key != null, "SunPKCS11 does not see the key " + keyLabel);
        Stats.ok(JVarnel.LoadDriver(module), "LoadDriver");
        Stats.check(Arrays.asList("0", "401").contains(JVarnel.Initialize()), "Initialize");
        long session = Long.parseLong(Stats.ok(JVarnel.OpenSession((int) slot, 6), "OpenSession")[1]);
        Stats.check(Arrays.asList("0", "256").contains(JVarnel.Login(session, 1, pin)), "Login");
        Stats.ok(JVarnel.FindObjectsInit(session, keyLabel, 1), "FindObjectsInit");
        String[] keys = Stats.ok(JVarnel.FindObjects(session), "FindObjects");
        Stats.ok(JVarnel.FindObjectsFinal(session), "FindObjectsFinal");
        Stats.check(keys.length == 2, "the key label names " + (keys.length - 1) + " objects");
        long key = Long.parseLong(keys[1]);

        // What every way signs: the DER DigestInfo of SHA-256("Varnel benchmark");
        // what they decrypt: 32 bytes, encrypted in software with the certificate's key.
        byte[] toSign = concat(new byte[] {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, (byte) 0x86, 0x48, 0x01, 0x65,
            0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20},
                MessageDigest.getInstance("SHA-256").digest("Varnel benchmark".getBytes(StandardCharsets.UTF_8)));
        byte[] plain = "thirty-two bytes of plain text!!".getBytes(StandardCharsets.US_ASCII);
        Cipher encrypt = Cipher.getInstance("RSA/ECB/PKCS1Padding", "SunJCE");
        encrypt.init(Cipher.ENCRYPT_MODE, store.getCertificate(keyLabel).getPublicKey());
        byte[] cipherText = encrypt.doFinal(plain);
        Files.createDirectories(tmp);
        Files.write(tmp.resolve("pkcs1.bin"), cipherText);
        Files.write(tmp.resolve("plain.bin"), plain);

        List<String> command = new ArrayList<>();
        if (a.containsKey("--runner") && !a.get("--runner").isEmpty()) command.add(a.get("--runner"));
        command.addAll(Arrays.asList(a.get("--direct"), "serve", module, Long.toString(slot), pin, keyLabel,
                tmp.resolve("pkcs1.bin").toString(), tmp.resolve("plain.bin").toString()));
        Process direct = new ProcessBuilder(command).redirectError(ProcessBuilder.Redirect.INHERIT).start();
        toDirect = new OutputStreamWriter(direct.getOutputStream(), StandardCharsets.US_ASCII);
        fromDirect = new BufferedReader(new InputStreamReader(direct.getInputStream(), StandardCharsets.US_ASCII));
        Stats.check("ready".equals(fromDirect.readLine()), "the direct program did not start");

        List<Operation> operations = operations("SoftHSM2", module, slot, session, key, toSign, cipherText,
                nullDriver != null);
        Signature p11Sign = Signature.getInstance("NONEwithRSA", provider);
        p11Sign.initSign(p11Key);
        Cipher p11Decrypt = Cipher.getInstance("RSA/ECB/PKCS1Padding", provider);
        p11Decrypt.init(Cipher.DECRYPT_MODE, p11Key);
        for (Operation op : operations) {
            if (op.name.startsWith("Sign")) {
                op.ways.put("SunPKCS11", () -> {
                    p11Sign.update(toSign);
                    return base64(p11Sign.sign());
                });
                op.ways.put("direct C", () -> ask("signature"));
                op.batches.put("direct C", n -> Long.parseLong(ask("sign " + n)));
            } else if (op.name.startsWith("Decrypt")) {
                op.ways.put("SunPKCS11", () -> base64(p11Decrypt.doFinal(cipherText)));
                op.ways.put("direct C", () -> ask("plain"));
                op.batches.put("direct C", n -> Long.parseLong(ask("decrypt " + n)));
            }
        }
        List<String> tsv = new ArrayList<>(List.of("driver\toperation\tway\tvarnel_ns\tratio\tratio_min\tratio_max"));
        List<String> md = new ArrayList<>(List.of("| driver | operation | Varnel µs | Varnel / " + String.join(
                " | Varnel / ", Arrays.copyOfRange(WAYS, 1, WAYS.length)) + " |", "|---|---|---|---|---|---|---|"));
        measure(operations, trials, trialNs, 200e6, tsv, md);
        toDirect.write("quit\n");
        toDirect.flush();
        Stats.check(direct.waitFor() == 0, "the direct program failed");

        if (nullDriver != null) {
            // The null driver's fixed answers: a session 1, a key 2.
            Stats.ok(JVarnel.LoadDriver(nullDriver), "LoadDriver");
            measure(operations("null driver", nullDriver, 0, 1, 2, toSign, cipherText, true), trials * 2, 500_000,
                    50e6, tsv, md);
        }
        Stats.write(Paths.get(a.get("--out")).resolve("real.tsv"), tsv);
        Stats.write(Paths.get(a.get("--out")).resolve("real.md"), md);
        System.out.println("real-work benchmark done (sink " + (Stats.sink & 1) + ")");
    }

    static byte[] concat(byte[] a, byte[] b) {
        byte[] both = Arrays.copyOf(a, a.length + b.length);
        System.arraycopy(b, 0, both, a.length, b.length);
        return both;
    }

    /** Checks that every way answers alike, times them side by side, and adds a row per operation. */
    static void measure(List<Operation> operations, int trials, double batchNs, double warmupNs, List<String> tsv,
            List<String> md) throws Throwable {
        for (Operation op : operations) {
            Object want = op.ways.get("Varnel").call();
            List<String> names = new ArrayList<>();
            List<Stats.Way> ways = new ArrayList<>();
            for (Map.Entry<String, Stats.Call> e : op.ways.entrySet()) {
                Object got = e.getValue().call();
                Stats.check(String.valueOf(want).equals(String.valueOf(got)), op.name + " on " + op.driver + ": Varnel "
                        + "answers " + want + ", " + e.getKey() + " " + got);
                names.add(e.getKey());
                ways.add(op.batches.getOrDefault(e.getKey(), Stats.loop(e.getValue())));
            }
            Stats.Sample[][] r = Stats.compare(ways, trials, batchNs, warmupNs);
            StringBuilder cells = new StringBuilder(String.format(Locale.ROOT, "| %s | %s | %.2f |", op.driver, op.name,
                    r[0][0].median() / 1000));
            for (int w = 1; w < WAYS.length; ++w) {
                int k = names.indexOf(WAYS[w]);
                cells.append(k < 0 ? " |" : " " + r[1][k].spread("%.3f") + " |");
                if (k >= 0)
                    tsv.add(String.format(Locale.ROOT, "%s\t%s\t%s\t%.1f\t%.4f\t%.4f\t%.4f", op.driver, op.name, WAYS[w],
                            r[0][0].median(), r[1][k].median(), r[1][k].at(0), r[1][k].at(1)));
            }
            md.add(cells.toString());
            System.out.println(cells);
        }
    }
}
