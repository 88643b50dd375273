package ka.tovik.selvo.jvarnel.bench;

import com.sun.jna.Library;
import com.sun.jna.Memory;
import com.sun.jna.Native;
import com.sun.jna.NativeLong;
import com.sun.jna.Pointer;
import com.sun.jna.ptr.NativeLongByReference;

import java.nio.charset.StandardCharsets;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Base64;
import java.util.List;
import java.util.Map;
import java.util.function.Function;

import ka.tovik.selvo.jvarnel.JVarnel;
import sun.security.pkcs11.wrapper.CK_ATTRIBUTE;
import sun.security.pkcs11.wrapper.CK_MECHANISM;
import sun.security.pkcs11.wrapper.CK_TOKEN_INFO;
import sun.security.pkcs11.wrapper.PKCS11;
import sun.security.pkcs11.wrapper.PKCS11Exception;

/**
 * Varnel beside two other ways a Java program calls the same driver
 * functions: the JDK's own PKCS#11 wrapper class (the layer under SunPKCS11)
 * and a JNA binding. Each operation is run once every way and the answers
 * compared before anything is timed; then FrameBench's harness times Varnel
 * and one peer in alternating batches, and the ratio of a trial is Varnel /
 * peer. On the null driver the ratio is the cost of the three interfaces
 * alone; on SoftHSM2 the token's own work is added to each.
 *
 * <p>Arguments: {@code --arch A --null PATH --module PATH --slot ID --pin PIN
 * --data-label L --out DIR [--trials N] [--batch-ms X] [--warmup-ms X]}.
 * Needs {@code --add-exports jdk.crypto.cryptoki/sun.security.pkcs11.wrapper=ALL-UNNAMED}
 * and JNA on the class path.
 */
public final class PeerBench {
    private PeerBench() {
    }

    static final long CKF_SESSION = 6;  // CKF_RW_SESSION | CKF_SERIAL_SESSION
    static final long CKA_LABEL = 0x3;
    static final long CKA_MODULUS = 0x120;
    static final long CKM_RSA_PKCS = 0x1;

    /** The JNA binding: the Cryptoki functions the operations call, CK_ULONG as NativeLong. */
    public interface Cryptoki extends Library {
        NativeLong C_GetTokenInfo(NativeLong slot, Pointer info);

        NativeLong C_OpenSession(NativeLong slot, NativeLong flags, Pointer application, Pointer notify,
                NativeLongByReference session);

        NativeLong C_CloseSession(NativeLong session);

        NativeLong C_FindObjectsInit(NativeLong session, Pointer template, NativeLong count);

        NativeLong C_FindObjects(NativeLong session, Pointer objects, NativeLong most, NativeLongByReference count);

        NativeLong C_FindObjectsFinal(NativeLong session);

        NativeLong C_GetAttributeValue(NativeLong session, NativeLong object, Pointer template, NativeLong count);

        NativeLong C_SignInit(NativeLong session, Pointer mechanism, NativeLong key);

        NativeLong C_Sign(NativeLong session, byte[] data, NativeLong length, Pointer signature,
                NativeLongByReference signatureLength);

        NativeLong C_DecryptInit(NativeLong session, Pointer mechanism, NativeLong key);

        NativeLong C_Decrypt(NativeLong session, byte[] data, NativeLong length, Pointer plain,
                NativeLongByReference plainLength);
    }

    static final int ULONG = NativeLong.SIZE;
    static final int TRIPLE = 2 * ULONG + Native.POINTER_SIZE;  // CK_ATTRIBUTE and CK_MECHANISM

    static NativeLong ulong(long value) {
        return new NativeLong(value);
    }

    static void ok(NativeLong rv, String what) {
        if (rv.longValue() != 0) throw new Stats.CheckFailed(what + " answered " + rv.longValue());
    }

    /** One {type, pValue, ulValueLen} triple, the layout of CK_ATTRIBUTE and CK_MECHANISM. */
    static Memory triple(long type, Pointer value, long length) {
        Memory m = new Memory(TRIPLE);
        m.setNativeLong(0, ulong(type));
        m.setPointer(ULONG, value);
        m.setNativeLong(ULONG + Native.POINTER_SIZE, ulong(length));
        return m;
    }

    interface WrapperCall {
        Object call() throws PKCS11Exception;
    }

    /** The wrapper throws on any non-zero status; the benchmark stops on it. */
    static FrameBench.Call unchecked(WrapperCall call) {
        return () -> {
            try {
                return call.call();
            } catch (PKCS11Exception e) {
                throw new Stats.CheckFailed("the JDK wrapper failed: " + e.getMessage());
            }
        };
    }

    static String text(char[] field) {
        return new String(field);
    }

    static String text(Pointer p, long offset, int size) {
        return new String(p.getByteArray(offset, size), StandardCharsets.UTF_8);
    }

    /**
     * An operation three ways, each answering in its own kind (Varnel texts,
     * the peers byte arrays, handle arrays and objects); for the check before
     * timing, {@code varnelAnswer} and {@link #peerText} read them into one form.
     */
    static final class Operation {
        final String name;
        final String why;  // why the ratios differ from 1 on this driver
        final FrameBench.Call varnel;
        final FrameBench.Call wrapper;
        final FrameBench.Call jna;
        final Function<Object, String> varnelAnswer;

        Operation(String name, String why, FrameBench.Call varnel, FrameBench.Call wrapper, FrameBench.Call jna,
                Function<Object, String> varnelAnswer) {
            this.name = name;
            this.why = why;
            this.varnel = varnel;
            this.wrapper = wrapper;
            this.jna = jna;
            this.varnelAnswer = varnelAnswer;
        }
    }

    static String[] checked(Object answer, String what) {
        String[] texts = FrameBench.texts(answer);
        Stats.check(texts.length > 0 && "0".equals(texts[0]), what + " answered " + Arrays.toString(texts));
        return texts;
    }

    static String base64(byte[] bytes) {
        return Base64.getEncoder().encodeToString(bytes);
    }

    /** A peer's answer as the text Varnel's answer reads as. */
    static String peerText(Object answer) {
        if (answer instanceof byte[]) return base64((byte[]) answer);
        if (answer instanceof long[]) {
            StringBuilder s = new StringBuilder("0");
            for (long handle : (long[]) answer) s.append(',').append(handle);
            return s.toString();
        }
        if (answer instanceof CK_TOKEN_INFO) {
            CK_TOKEN_INFO info = (CK_TOKEN_INFO) answer;
            return text(info.label) + text(info.manufacturerID) + text(info.model) + text(info.serialNumber);
        }
        return String.valueOf(answer);
    }

    /** The six operations on one driver, Varnel's session and keys already set up. */
    static List<Operation> operations(boolean nullDriver, PKCS11 p11, Cryptoki jna, long slot, long session,
            long publicKey, long privateKey, String label, byte[] toSign, byte[] cipherText) {
        final NativeLong jSession = ulong(session);
        final byte[] cipherBase64 = Base64.getEncoder().encode(cipherText);
        final byte[] labelBytes = label.getBytes(StandardCharsets.UTF_8);
        List<Operation> list = new ArrayList<>();
        Function<Object, String> allElements = a -> String.join(",", checked(a, "Varnel"));
        Function<Object, String> element1 = a -> checked(a, "Varnel")[1];

        list.add(new Operation("GetTokenInfo",
                nullDriver ? "Varnel makes 19 strings from the record, the wrapper a CK_TOKEN_INFO object with "
                        + "char arrays, JNA reads four texts out of native memory it allocates per call."
                        : "SoftHSM2 gathers the token's state on every call, which takes most of the time.",
                () -> JVarnel.GetTokenInfo((int) slot),
                unchecked(() -> p11.C_GetTokenInfo(slot)),
                () -> {
                    Memory info = new Memory(512);  // CK_TOKEN_INFO is 208 bytes on LP64
                    ok(jna.C_GetTokenInfo(ulong(slot), info), "C_GetTokenInfo");
                    return text(info, 0, 32) + text(info, 32, 32) + text(info, 64, 16) + text(info, 80, 16);
                },
                a -> {
                    String[] t = checked(a, "GetTokenInfo");
                    return t[1] + t[2] + t[3] + t[4];
                }));

        list.add(new Operation("OpenSession + CloseSession",
                nullDriver ? "Varnel formats the handle as text, calls FindClass and builds a String[]; the "
                        + "wrapper returns a long; JNA boxes every argument through reflection."
                        : "SoftHSM2's own work is small here, so the frames still show: Varnel's text handle and "
                        + "String[] against the wrapper's long, JNA's reflection against both.",
                () -> {
                    String[] opened = checked(JVarnel.OpenSession((int) slot, (int) CKF_SESSION), "OpenSession");
                    return JVarnel.CloseSession(Long.parseLong(opened[1]));
                },
                unchecked(() -> {
                    p11.C_CloseSession(p11.C_OpenSession(slot, CKF_SESSION, null, null));
                    return "0";
                }),
                () -> {
                    NativeLongByReference opened = new NativeLongByReference();
                    ok(jna.C_OpenSession(ulong(slot), ulong(CKF_SESSION), null, null, opened), "C_OpenSession");
                    return jna.C_CloseSession(opened.getValue()).toString();
                },
                String::valueOf));

        list.add(new Operation("search: FindObjectsInit + FindObjects + FindObjectsFinal",
                nullDriver ? "Varnel formats 100 handles as text in a String[] of 101; the wrapper converts its "
                        + "CK_ATTRIBUTE template into C through JNI on every call and returns a long[]; JNA copies "
                        + "the handles out of native memory one by one."
                        : "SoftHSM2 compares the label of every object on the token, which takes most of the time.",
                () -> {
                    JVarnel.FindObjectsInit(session, label, 0);
                    String[] found = JVarnel.FindObjects(session);
                    JVarnel.FindObjectsFinal(session);
                    return found;
                },
                unchecked(() -> {
                    p11.C_FindObjectsInit(session, new CK_ATTRIBUTE[] {new CK_ATTRIBUTE(CKA_LABEL, labelBytes)});
                    long[] found = p11.C_FindObjects(session, 100);
                    p11.C_FindObjectsFinal(session);
                    return found;
                }),
                () -> {
                    Memory value = new Memory(labelBytes.length);
                    value.write(0, labelBytes, 0, labelBytes.length);
                    ok(jna.C_FindObjectsInit(jSession, triple(CKA_LABEL, value, labelBytes.length), ulong(1)),
                            "C_FindObjectsInit");
                    Memory handles = new Memory(100L * ULONG);
                    NativeLongByReference count = new NativeLongByReference();
                    ok(jna.C_FindObjects(jSession, handles, ulong(100), count), "C_FindObjects");
                    ok(jna.C_FindObjectsFinal(jSession), "C_FindObjectsFinal");
                    long[] found = new long[count.getValue().intValue()];
                    for (int i = 0; i < found.length; ++i) found[i] = handles.getNativeLong((long) i * ULONG).longValue();
                    return found;
                },
                allElements));

        list.add(new Operation("modulus read: GetAttributeValue",
                nullDriver ? "Varnel asks for five attributes, allocates five buffers and answers Base64 text; the "
                        + "peers ask for the modulus alone, but the wrapper converts its template into C and the "
                        + "value back into Java objects through JNI, and JNA allocates native memory twice and "
                        + "marshals each call through reflection."
                        : "SoftHSM2 looks the object up twice (length, then value) every way, which takes most "
                        + "of the time; Varnel asks it for five attributes where the peers ask for one, and JNA's "
                        + "marshalling still shows.",
                () -> JVarnel.GetAttributeValue(session, publicKey, "modulus"),
                unchecked(() -> {
                    CK_ATTRIBUTE[] modulus = {new CK_ATTRIBUTE(CKA_MODULUS)};
                    p11.C_GetAttributeValue(session, publicKey, modulus);
                    return modulus[0].getByteArray();
                }),
                () -> {
                    Memory template = triple(CKA_MODULUS, null, 0);
                    ok(jna.C_GetAttributeValue(jSession, ulong(publicKey), template, ulong(1)), "length");
                    long length = template.getNativeLong(ULONG + Native.POINTER_SIZE).longValue();
                    Memory value = new Memory(length);
                    template.setPointer(ULONG, value);
                    ok(jna.C_GetAttributeValue(jSession, ulong(publicKey), template, ulong(1)), "value");
                    return value.getByteArray(0, (int) length);
                },
                element1));

        list.add(new Operation("SignInit + Sign",
                nullDriver ? "Varnel zeroes a 4 KB buffer, encodes the signature as Base64 and builds a String[]; "
                        + "the wrapper answers a byte[]; JNA copies the data in and out through reflection."
                        : "The RSA-2048 private-key operation in SoftHSM2 is nearly all of the time.",
                () -> {
                    JVarnel.SignInit(session, privateKey);
                    return JVarnel.Sign(session, toSign, toSign.length);
                },
                unchecked(() -> {
                    p11.C_SignInit(session, new CK_MECHANISM(CKM_RSA_PKCS), privateKey);
                    return p11.C_Sign(session, toSign);
                }),
                () -> {
                    ok(jna.C_SignInit(jSession, triple(CKM_RSA_PKCS, null, 0), ulong(privateKey)), "C_SignInit");
                    Memory signature = new Memory(4096);
                    NativeLongByReference length = new NativeLongByReference(ulong(4096));
                    ok(jna.C_Sign(jSession, toSign, ulong(toSign.length), signature, length), "C_Sign");
                    return signature.getByteArray(0, length.getValue().intValue());
                },
                element1));

        list.add(new Operation("DecryptInit + Decrypt",
                nullDriver ? "Varnel decodes 344 Base64 characters, zeroes a 10 KB buffer and answers Base64 "
                        + "text; the peers take and give bytes."
                        : "The RSA-2048 private-key operation in SoftHSM2 is nearly all of the time.",
                () -> {
                    JVarnel.DecryptInit(session, privateKey, "rsapkcs");
                    return JVarnel.Decrypt(session, cipherBase64, cipherBase64.length);
                },
                unchecked(() -> {
                    p11.C_DecryptInit(session, new CK_MECHANISM(CKM_RSA_PKCS), privateKey);
                    byte[] plain = new byte[4096];
                    int n = p11.C_Decrypt(session, 0, cipherText, 0, cipherText.length, 0, plain, 0, plain.length);
                    return Arrays.copyOf(plain, n);
                }),
                () -> {
                    ok(jna.C_DecryptInit(jSession, triple(CKM_RSA_PKCS, null, 0), ulong(privateKey)),
                            "C_DecryptInit");
                    Memory plain = new Memory(4096);
                    NativeLongByReference length = new NativeLongByReference(ulong(4096));
                    ok(jna.C_Decrypt(jSession, cipherText, ulong(cipherText.length), plain, length), "C_Decrypt");
                    return plain.getByteArray(0, length.getValue().intValue());
                },
                element1));
        return list;
    }

    static int trials = 61;

    public static void main(String[] args) throws Exception {
        String arch = null;
        String nullPath = null;
        String module = null;
        long slot = 0;
        String pin = null;
        String dataLabel = null;
        Path out = null;
        for (int i = 0; i + 1 < args.length; i += 2) {
            String v = args[i + 1];
            switch (args[i]) {
                case "--arch": arch = v; break;
                case "--null": nullPath = v; break;
                case "--module": module = v; break;
                case "--slot": slot = Long.parseLong(v); break;
                case "--pin": pin = v; break;
                case "--data-label": dataLabel = v; break;
                case "--out": out = Paths.get(v); break;
                case "--trials": trials = Integer.parseInt(v); break;
                case "--batch-ms": FrameBench.batchNs = (long) (Double.parseDouble(v) * 1e6); break;
                case "--warmup-ms": FrameBench.warmupNs = (long) (Double.parseDouble(v) * 1e6); break;
                default: throw new IllegalArgumentException("unknown option " + args[i]);
            }
        }
        if (arch == null || nullPath == null || module == null || pin == null || dataLabel == null || out == null)
            throw new IllegalArgumentException("--arch, --null, --module, --slot, --pin, --data-label, --out");
        long started = System.nanoTime();
        try (Stats.Table table = new Stats.Table(out.resolve("peers.tsv"), "arch", "driver", "operation", "peer",
                "batch", "trials", "varnel_ns", "varnel_min", "varnel_max", "peer_ns", "peer_min", "peer_max",
                "ratio", "ratio_min", "ratio_max", "why")) {
            // The null driver's fixed answers (bench/native/answers.h).
            Stats.check("0".equals(JVarnel.LoadDriver(nullPath)), "LoadDriver(null driver)");
            run(table, arch, "null driver", true, nullPath, FrameBench.SLOT, FrameBench.SESSION, FrameBench.KEY,
                    FrameBench.KEY, "bench-rsa", FrameBench.bytes(32, 1), FrameBench.bytes(256, 2));

            // SoftHSM2: a fresh RSA-2048 pair made through Varnel (the public key
            // a session object, so its modulus can be read), a cipher text made
            // with it, and the token's 100 data objects to search for.
            Stats.check("0".equals(JVarnel.LoadDriver(module)), "LoadDriver(" + module + ")");
            RealBench.checked(JVarnel.Initialize(), "Initialize", "0", "401");
            long session = Long.parseLong(checked(JVarnel.OpenSession((int) slot, (int) CKF_SESSION),
                    "OpenSession")[1]);
            RealBench.checked(JVarnel.Login(session, 1, pin), "Login", "0", "256");
            String[] pair = checked(JVarnel.GenerateKeyPair(session, "bench-peers", 2048, new byte[] {1, 0, 1}, 3),
                    "GenerateKeyPair");
            long publicKey = Long.parseLong(pair[1]);
            long privateKey = Long.parseLong(pair[2]);
            byte[] plain = "thirty-two bytes of plain text!!".getBytes(StandardCharsets.US_ASCII);
            RealBench.checked(JVarnel.EncryptInit(session, publicKey, "rsapkcs"), "EncryptInit", "0");
            byte[] cipherText = Base64.getDecoder().decode(checked(JVarnel.Encrypt(session, plain, plain.length),
                    "Encrypt")[1]);
            run(table, arch, "SoftHSM2", false, module, slot, session, publicKey, privateKey, dataLabel,
                    RealBench.digestInfo(), cipherText);
            JVarnel.DestroyObject(session, privateKey);
            JVarnel.CloseSession(session);
        }
        System.out.printf("peer benchmark %s: %.0f s (sink %d)%n", arch, (System.nanoTime() - started) / 1e9,
                FrameBench.sink);
    }

    static void run(Stats.Table table, String arch, String driver, boolean nullDriver, String module, long slot,
            long session, long publicKey, long privateKey, String label, byte[] toSign, byte[] cipherText)
            throws Exception {
        // Both peers bind the module Varnel has loaded and initialised.
        PKCS11 p11 = PKCS11.getInstance(module, "C_GetFunctionList", null, true);
        // Opened local (RTLD_NOW), as Varnel opens it: JNA's default adds
        // RTLD_GLOBAL, and the null driver's C_ functions would then stand in
        // for those of every module loaded after it.
        Cryptoki jna = Native.load(module, Cryptoki.class, Map.of(Library.OPTION_OPEN_FLAGS, 2));
        for (Operation op : operations(nullDriver, p11, jna, slot, session, publicKey, privateKey, label, toSign,
                cipherText)) {
            String want = op.varnelAnswer.apply(op.varnel.call());
            String byWrapper = peerText(op.wrapper.call());
            String byJna = peerText(op.jna.call());
            Stats.check(want.equals(byWrapper), op.name + " on " + driver + ": Varnel answers '" + want
                    + "', the JDK wrapper '" + byWrapper + "'");
            Stats.check(want.equals(byJna), op.name + " on " + driver + ": Varnel answers '" + want
                    + "', the JNA binding '" + byJna + "'");
            for (String peer : new String[] {"JDK wrapper", "JNA"}) {
                FrameBench.Call call = peer.equals("JNA") ? op.jna : op.wrapper;
                FrameBench.Result r = FrameBench.measure(new FrameBench.Case(op.name, driver, 0, 0, op.varnel, call),
                        nullDriver ? trials : Math.max(11, trials / 3), false);
                table.row(arch, driver, op.name, peer, r.batch, r.ratio.size(), r.varnel.fields(),
                        r.floor.fields(), r.ratio.fields(), op.why);
                System.out.printf("%-12s %-58s Varnel %9.1f ns  %-11s %9.1f ns  ratio %.3f [%.3f-%.3f]%n", driver,
                        op.name, r.varnel.median(), peer, r.floor.median(), r.ratio.median(), r.ratio.min(),
                        r.ratio.max());
            }
        }
    }
}
