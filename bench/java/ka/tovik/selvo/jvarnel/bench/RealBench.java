package ka.tovik.selvo.jvarnel.bench;

import java.io.BufferedReader;
import java.io.IOException;
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
import java.security.PublicKey;
import java.security.Security;
import java.security.Signature;
import java.security.cert.Certificate;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Base64;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;

import javax.crypto.Cipher;

import ka.tovik.selvo.jvarnel.JVarnel;

/**
 * Real work on a SoftHSM token with an RSA-2048 key, in operations per second:
 * through Varnel, through the C program bench/native/direct.c calling the same
 * module (the limit; it runs as a child process and times itself), and
 * through the JDK's SunPKCS11 provider with the standard JCA classes. Each
 * trial runs every way once, in rotating order; the ratio of a trial compares
 * Varnel with the others measured in the same round.
 *
 * <p>Arguments: {@code --arch A --module PATH --slot ID --pin PIN --key-label L
 * --data-label L --p11-config FILE --direct PROGRAM [--runner qemu-i386] --out
 * DIR --tmp DIR [--trials N] [--trial-ms X]}.
 */
public final class RealBench {
    private RealBench() {
    }

    /** Runs {@code n} operations one way; answers the nanoseconds they took. */
    interface Way {
        long run(int n) throws Exception;
    }

    static int trials = 9;
    static double trialMs = 150;

    static String arch;
    static String module;
    static String slot;
    static String pin;
    static String keyLabel;
    static String dataLabel;
    static String p11Config;
    static String directProgram;
    static String runner;
    static Path out;
    static Path tmp;

    // Varnel's session and key.
    static long session;
    static long key;

    // The direct C program, driven over its standard input and output.
    static Process direct;
    static Writer toDirect;
    static BufferedReader fromDirect;

    static String ask(String command) throws IOException {
        toDirect.write(command + "\n");
        toDirect.flush();
        String answer = fromDirect.readLine();
        Stats.check(answer != null && answer.startsWith("ok "), "direct " + command + ": " + answer);
        return answer.substring(3);
    }

    static long directRun(String command, int n) throws IOException {
        return Long.parseLong(ask(command + " " + n).trim());
    }

    /** The DER DigestInfo of SHA-256("Varnel benchmark"): what every way signs. */
    static byte[] digestInfo() throws Exception {
        byte[] prefix = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, (byte) 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02,
            0x01, 0x05, 0x00, 0x04, 0x20};
        byte[] hash = MessageDigest.getInstance("SHA-256").digest("Varnel benchmark".getBytes(StandardCharsets.UTF_8));
        byte[] info = Arrays.copyOf(prefix, prefix.length + hash.length);
        System.arraycopy(hash, 0, info, prefix.length, hash.length);
        return info;
    }

    static String[] checked(String[] answer, String what) {
        Stats.check(answer != null && answer.length > 0 && "0".equals(answer[0]),
                what + " answered " + Arrays.toString(answer));
        return answer;
    }

    static void checked(String status, String what, String... accepted) {
        for (String a : accepted)
            if (a.equals(status)) return;
        throw new Stats.CheckFailed(what + " answered " + status);
    }

    public static void main(String[] args) throws Exception {
        for (int i = 0; i + 1 < args.length; i += 2) {
            String v = args[i + 1];
            switch (args[i]) {
                case "--arch": arch = v; break;
                case "--module": module = v; break;
                case "--slot": slot = v; break;
                case "--pin": pin = v; break;
                case "--key-label": keyLabel = v; break;
                case "--data-label": dataLabel = v; break;
                case "--p11-config": p11Config = v; break;
                case "--direct": directProgram = v; break;
                case "--runner": runner = v.isEmpty() ? null : v; break;
                case "--out": out = Paths.get(v); break;
                case "--tmp": tmp = Paths.get(v); break;
                case "--trials": trials = Integer.parseInt(v); break;
                case "--trial-ms": trialMs = Double.parseDouble(v); break;
                default: throw new IllegalArgumentException("unknown option " + args[i]);
            }
        }
        long started = System.nanoTime();
        final int slotId = (int) Long.parseLong(slot);

        // SunPKCS11 first: it initialises the module asking for the operating
        // system's locking, so its own cleaner thread may call in safely.
        // Varnel's Initialize then answers CKR_CRYPTOKI_ALREADY_INITIALIZED.
        Provider p11 = Security.getProvider("SunPKCS11").configure(p11Config);
        KeyStore store = KeyStore.getInstance("PKCS11", p11);
        store.load(null, pin.toCharArray());
        PrivateKey p11Key = (PrivateKey) store.getKey(keyLabel, null);
        Certificate certificate = store.getCertificate(keyLabel);
        Stats.check(p11Key != null && certificate != null, "SunPKCS11 does not see the key " + keyLabel);
        PublicKey publicKey = certificate.getPublicKey();

        Stats.check("0".equals(JVarnel.LoadDriver(module)), "LoadDriver(" + module + ")");
        checked(JVarnel.Initialize(), "Initialize", "0", "401");
        session = Long.parseLong(checked(JVarnel.OpenSession(slotId, 6), "OpenSession")[1]);
        checked(JVarnel.Login(session, 1, pin), "Login", "0", "256");
        checked(JVarnel.FindObjectsInit(session, keyLabel, 1), "FindObjectsInit", "0");
        String[] keys = checked(JVarnel.FindObjects(session), "FindObjects");
        checked(JVarnel.FindObjectsFinal(session), "FindObjectsFinal", "0");
        Stats.check(keys.length == 2, "the key label names " + (keys.length - 1) + " objects");
        key = Long.parseLong(keys[1]);

        // Cipher texts made in software with the certificate's public key.
        byte[] plain = "thirty-two bytes of plain text!!".getBytes(StandardCharsets.US_ASCII);
        Cipher pkcs1Encrypt = Cipher.getInstance("RSA/ECB/PKCS1Padding", "SunJCE");
        pkcs1Encrypt.init(Cipher.ENCRYPT_MODE, publicKey);
        final byte[] pkcs1 = pkcs1Encrypt.doFinal(plain);
        Cipher oaepEncrypt = Cipher.getInstance("RSA/ECB/OAEPWithSHA-1AndMGF1Padding", "SunJCE");
        oaepEncrypt.init(Cipher.ENCRYPT_MODE, publicKey);
        final byte[] oaep = oaepEncrypt.doFinal(plain);
        Files.createDirectories(tmp);
        Path pkcs1File = tmp.resolve("pkcs1.bin");
        Path oaepFile = tmp.resolve("oaep.bin");
        Path plainFile = tmp.resolve("plain.bin");
        Files.write(pkcs1File, pkcs1);
        Files.write(oaepFile, oaep);
        Files.write(plainFile, plain);
        final byte[] pkcs1Text = Base64.getEncoder().encode(pkcs1);
        final byte[] oaepText = Base64.getEncoder().encode(oaep);
        final String plainText = Base64.getEncoder().encodeToString(plain);

        List<String> command = new ArrayList<>();
        if (runner != null) command.add(runner);
        command.addAll(Arrays.asList(directProgram, "serve", module, slot, pin, keyLabel, dataLabel,
                pkcs1File.toString(), oaepFile.toString(), plainFile.toString()));
        direct = new ProcessBuilder(command).redirectError(ProcessBuilder.Redirect.INHERIT).start();
        toDirect = new OutputStreamWriter(direct.getOutputStream(), StandardCharsets.US_ASCII);
        fromDirect = new BufferedReader(new InputStreamReader(direct.getInputStream(), StandardCharsets.US_ASCII));
        String ready = fromDirect.readLine();
        Stats.check("ready".equals(ready), "the direct program did not start: " + ready);

        // Every way must give the same answers before any is timed.
        final byte[] toSign = digestInfo();
        checked(JVarnel.SignInit(session, key), "SignInit", "0");
        String varnelSignature = checked(JVarnel.Sign(session, toSign, toSign.length), "Sign")[1];
        final Signature p11Sign = Signature.getInstance("NONEwithRSA", p11);
        p11Sign.initSign(p11Key);
        p11Sign.update(toSign);
        String p11Signature = Base64.getEncoder().encodeToString(p11Sign.sign());
        String directSignature = ask("signature");
        Stats.check(varnelSignature.equals(p11Signature), "Varnel and SunPKCS11 signatures differ");
        Stats.check(varnelSignature.equals(directSignature), "Varnel and direct signatures differ");
        // Verified in software: the public key opens the signature to the DigestInfo.
        Cipher open = Cipher.getInstance("RSA/ECB/PKCS1Padding", "SunJCE");
        open.init(Cipher.DECRYPT_MODE, publicKey);
        Stats.check(Arrays.equals(toSign, open.doFinal(Base64.getDecoder().decode(varnelSignature))),
                "the signature does not verify");

        checked(JVarnel.DecryptInit(session, key, "rsapkcs"), "DecryptInit", "0");
        Stats.check(plainText.equals(checked(JVarnel.Decrypt(session, pkcs1Text, pkcs1Text.length), "Decrypt")[1]),
                "Varnel's PKCS#1 decryption is wrong");
        checked(JVarnel.DecryptInit(session, key, "rsapkcsoaep"), "DecryptInit", "0");
        Stats.check(plainText.equals(checked(JVarnel.Decrypt(session, oaepText, oaepText.length), "Decrypt")[1]),
                "Varnel's OAEP decryption is wrong");
        final Cipher p11Decrypt = Cipher.getInstance("RSA/ECB/PKCS1Padding", p11);
        p11Decrypt.init(Cipher.DECRYPT_MODE, p11Key);
        Stats.check(Arrays.equals(plain, p11Decrypt.doFinal(pkcs1)), "SunPKCS11's decryption is wrong");
        checked(JVarnel.FindObjectsInit(session, dataLabel, 0), "FindObjectsInit", "0");
        Stats.check(checked(JVarnel.FindObjects(session), "FindObjects").length == 101, "Varnel does not find 100");
        checked(JVarnel.FindObjectsFinal(session), "FindObjectsFinal", "0");

        // The ways, each checking every answer it gets.
        Way varnelSign = n -> {
            long t0 = System.nanoTime();
            for (int i = 0; i < n; ++i) {
                String s = JVarnel.SignInit(session, key);
                String[] r = JVarnel.Sign(session, toSign, toSign.length);
                if (!"0".equals(s) || !"0".equals(r[0])) throw new Stats.CheckFailed("Varnel sign failed");
            }
            return System.nanoTime() - t0;
        };
        Way p11SignWay = n -> {
            long t0 = System.nanoTime();
            for (int i = 0; i < n; ++i) {
                p11Sign.update(toSign);
                if (p11Sign.sign().length != 256) throw new Stats.CheckFailed("SunPKCS11 sign failed");
            }
            return System.nanoTime() - t0;
        };
        Way varnelDecrypt = n -> varnelDecrypt(n, "rsapkcs", pkcs1Text, plainText);
        Way varnelOaep = n -> varnelDecrypt(n, "rsapkcsoaep", oaepText, plainText);
        Way p11DecryptWay = n -> {
            long t0 = System.nanoTime();
            for (int i = 0; i < n; ++i)
                if (p11Decrypt.doFinal(pkcs1).length != plain.length) throw new Stats.CheckFailed("SunPKCS11 decrypt");
            return System.nanoTime() - t0;
        };
        Way varnelFind = n -> {
            long t0 = System.nanoTime();
            for (int i = 0; i < n; ++i) {
                String a = JVarnel.FindObjectsInit(session, dataLabel, 0);
                String[] r = JVarnel.FindObjects(session);
                String b = JVarnel.FindObjectsFinal(session);
                if (!"0".equals(a) || r.length != 101 || !"0".equals(b)) throw new Stats.CheckFailed("Varnel find");
            }
            return System.nanoTime() - t0;
        };

        Files.createDirectories(out);
        try (Stats.Table table = new Stats.Table(out.resolve("real.tsv"), "arch", "operation", "way", "trials",
                "ops_per_trial", "value", "median", "min", "max")) {
            Map<String, Way> ways = new LinkedHashMap<>();
            ways.put("Varnel", varnelSign);
            ways.put("direct C", n -> directRun("sign", n));
            ways.put("SunPKCS11", p11SignWay);
            compare(table, "RSA-2048 sign (PKCS#1 v1.5)", ways);

            ways = new LinkedHashMap<>();
            ways.put("Varnel", varnelDecrypt);
            ways.put("direct C", n -> directRun("decrypt", n));
            ways.put("SunPKCS11", p11DecryptWay);
            compare(table, "RSA-2048 decrypt (PKCS#1 v1.5)", ways);

            ways = new LinkedHashMap<>();
            ways.put("Varnel", varnelOaep);
            ways.put("direct C", n -> directRun("oaep", n));
            compare(table, "RSA-2048 decrypt (OAEP, SHA-1)", ways);

            ways = new LinkedHashMap<>();
            ways.put("Varnel", varnelFind);
            ways.put("direct C", n -> directRun("find", n));
            compare(table, "search finding 100 objects", ways);
        }
        toDirect.write("quit\n");
        toDirect.flush();
        Stats.check(direct.waitFor() == 0, "the direct program failed");
        System.out.printf("real-work benchmark %s: %.0f s%n", arch, (System.nanoTime() - started) / 1e9);
    }

    static long varnelDecrypt(int n, String mechanism, byte[] text, String expected) {
        long t0 = System.nanoTime();
        for (int i = 0; i < n; ++i) {
            String s = JVarnel.DecryptInit(session, key, mechanism);
            String[] r = JVarnel.Decrypt(session, text, text.length);
            if (!"0".equals(s) || !"0".equals(r[0]) || !expected.equals(r[1]))
                throw new Stats.CheckFailed("Varnel decrypt failed: " + s + " " + Arrays.toString(r));
        }
        return System.nanoTime() - t0;
    }

    /** Times every way in each trial, in rotating order, and writes the rows. */
    static void compare(Stats.Table table, String operation, Map<String, Way> ways) throws Exception {
        List<String> names = new ArrayList<>(ways.keySet());
        // Warm-up and sizing: a few operations each way, then a trial's worth of Varnel.
        for (String name : names) ways.get(name).run(3);
        long probe = ways.get("Varnel").run(5);
        int n = (int) Math.max(3, Math.round(trialMs * 1e6 / (probe / 5.0)));
        for (String name : names) ways.get(name).run(Math.max(3, n / 4));

        Map<String, Stats.Sample> rates = new LinkedHashMap<>();
        Map<String, Stats.Sample> ratios = new LinkedHashMap<>();
        for (String name : names) rates.put(name, new Stats.Sample());
        for (int t = 0; t < trials; ++t) {
            Map<String, Double> round = new LinkedHashMap<>();
            for (int k = 0; k < names.size(); ++k) {
                String name = names.get((t + k) % names.size());
                long ns = ways.get(name).run(n);
                double rate = n / (ns / 1e9);
                rates.get(name).add(rate);
                round.put(name, rate);
            }
            for (String name : names) {
                if (name.equals("Varnel")) continue;
                ratios.computeIfAbsent("Varnel / " + name, x -> new Stats.Sample())
                        .add(round.get("Varnel") / round.get(name));
            }
        }
        for (String name : names) {
            Stats.Sample s = rates.get(name);
            table.row(arch, operation, name, trials, n, "ops/s", s.fields());
            System.out.printf("%-32s %-10s %9.1f ops/s [%.1f-%.1f]%n", operation, name, s.median(), s.min(), s.max());
        }
        for (Map.Entry<String, Stats.Sample> e : ratios.entrySet()) {
            table.row(arch, operation, e.getKey(), trials, n, "ratio", e.getValue().fields());
            System.out.printf("%-32s %-22s %.3f [%.3f-%.3f]%n", operation, e.getKey(), e.getValue().median(),
                    e.getValue().min(), e.getValue().max());
        }
    }
}
