package ka.tovik.selvo.jvarnel.soak;

import java.io.IOException;
import java.math.BigInteger;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Paths;
import java.security.GeneralSecurityException;
import java.security.KeyFactory;
import java.security.MessageDigest;
import java.security.PublicKey;
import java.security.Signature;
import java.security.spec.RSAPublicKeySpec;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Base64;
import java.util.HashMap;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import java.util.concurrent.BrokenBarrierException;
import java.util.concurrent.CyclicBarrier;

import ka.tovik.selvo.jvarnel.JVarnel;

/**
 * A long run of the bridge in a real JVM, for leaks and JNI misuse that short
 * tests miss. One mode per JVM run, since loading a driver replaces the
 * bridge's entry points:
 *
 * <pre>
 * Soak mock DRIVER CALLS THREADS        the mock driver in echo mode (MOCK_ECHO=1)
 * Soak softhsm DRIVER PIN LABEL COUNT   COUNT signatures with the private key LABEL
 * </pre>
 *
 * Every answer is checked. Resident memory and open descriptors are sampled
 * after a warm-up (a tenth of the work, and at least -Dsoak.warmUpSeconds,
 * default 10) and at the end; growth past -Dsoak.maxRssGrowthKiB (default
 * 20 MiB) or -Dsoak.maxFdGrowth (default 0) fails the run, as does any wrong
 * answer. Exits 0 only when everything held.
 */
public final class Soak {
    private static final long MAX_RSS_GROWTH_KIB = Long.getLong("soak.maxRssGrowthKiB", 20 * 1024);
    private static final long MAX_FD_GROWTH = Long.getLong("soak.maxFdGrowth", 0);
    // The JIT and the allocators settle within seconds; sampled earlier, their
    // growth would pass for a leak.
    private static final long WARM_UP_NANOS = Long.getLong("soak.warmUpSeconds", 10) * 1_000_000_000L;
    private static final int FAILURES_SHOWN = 20;

    private static final List<String> failures = new ArrayList<>();
    private static long failureCount;

    private Soak() {
    }

    public static void main(String[] args) throws Exception {
        int rc;
        if (args.length == 4 && args[0].equals("mock")) {
            rc = runMock(args[1], Long.parseLong(args[2]), Integer.parseInt(args[3]));
        } else if (args.length == 5 && args[0].equals("softhsm")) {
            rc = runSoftHsm(args[1], args[2], args[3], Integer.parseInt(args[4]));
        } else {
            System.err.println("usage: Soak mock DRIVER CALLS THREADS | Soak softhsm DRIVER PIN LABEL COUNT");
            rc = 2;
        }
        System.exit(rc);
    }

    static synchronized void fail(String what) {
        failureCount++;
        if (failures.size() < FAILURES_SHOWN) {
            failures.add(what);
            System.out.println("soak: WRONG ANSWER: " + what);
        }
    }

    // ---- resources

    /** Resident memory and open descriptors of this process. */
    static final class Usage {
        final long rssKiB;
        final int fds;

        Usage(long rssKiB, int fds) {
            this.rssKiB = rssKiB;
            this.fds = fds;
        }

        static Usage now() throws IOException {
            System.gc();
            long rss = -1;
            for (String line : Files.readAllLines(Paths.get("/proc/self/status"))) {
                if (line.startsWith("VmRSS:")) {
                    rss = Long.parseLong(line.replaceAll("[^0-9]", ""));
                }
            }
            // The directory listing's own descriptor is counted in every sample alike.
            String[] fds = Paths.get("/proc/self/fd").toFile().list();
            if (rss < 0 || fds == null) {
                throw new IOException("cannot read /proc/self/status or /proc/self/fd");
            }
            return new Usage(rss, fds.length);
        }
    }

    /** Prints the growth from warm-up to the end; false when past a limit. */
    static boolean reportGrowth(String mode, Usage before, Usage after) {
        long rssGrowth = after.rssKiB - before.rssKiB;
        long fdGrowth = after.fds - before.fds;
        System.out.printf(Locale.ROOT, "soak %s: RSS %.1f MiB -> %.1f MiB (%+.1f MiB, limit +%.1f MiB)%n", mode,
                before.rssKiB / 1024.0, after.rssKiB / 1024.0, rssGrowth / 1024.0, MAX_RSS_GROWTH_KIB / 1024.0);
        System.out.printf(Locale.ROOT, "soak %s: open fds %d -> %d (%+d, limit +%d)%n", mode, before.fds, after.fds,
                fdGrowth, MAX_FD_GROWTH);
        boolean ok = true;
        if (rssGrowth > MAX_RSS_GROWTH_KIB) {
            System.out.println("soak " + mode + ": FAILED: resident memory grew past the limit");
            ok = false;
        }
        if (fdGrowth > MAX_FD_GROWTH) {
            System.out.println("soak " + mode + ": FAILED: open file descriptors grew");
            ok = false;
        }
        return ok;
    }

    static boolean reportAnswers(String mode) {
        synchronized (Soak.class) {
            if (failureCount == 0) {
                return true;
            }
            System.out.println("soak " + mode + ": FAILED: " + failureCount + " wrong answers");
            return false;
        }
    }

    static String status(int code) {
        return Integer.toString(code);
    }

    static String base64(byte[] bytes) {
        return Base64.getEncoder().encodeToString(bytes);
    }

    // ---- the mock driver in echo mode

    // Driver statuses the echo mode answers (PKCS#11 values).
    static final int CKR_KEY_SIZE_RANGE = 0x62;
    static final int CKR_KEY_HANDLE_INVALID = 0x60;
    static final int CKR_OBJECT_HANDLE_INVALID = 0x82;
    static final int CKR_PIN_LEN_RANGE = 0xA2;
    static final int CKR_SESSION_HANDLE_INVALID = 0xB3;
    static final int CKR_SESSION_PARALLEL_NOT_SUPPORTED = 0xB4;
    static final int CKR_USER_TYPE_INVALID = 0x103;
    static final int CKR_BUFFER_TOO_SMALL = 0x150;
    static final int CKF_SERIAL_SESSION = 4;
    static final int CKF_RW_SESSION = 2;
    static final long CKF_TOKEN_INITIALIZED = 0x400;
    // Rounds whose arguments differ; round r repeats round r % DISTINCT_ROUNDS.
    static final int DISTINCT_ROUNDS = 32;

    /**
     * One thread's share of the calls, every answer checked: against its
     * documented status, or, where the echo driver's answer carries data
     * (tests/mock/echo_answers.h; the unit suite's threads test checks the
     * library's making of it), against what the same call answered while the
     * thread ran alone, before any other started.
     */
    static final class Caller implements Runnable {
        private final int index;
        private final long warmUpCalls;
        private final long warmUpEnd;
        private final long calls;
        private final CyclicBarrier pause;
        private final byte[] tooLong = new byte[4095];   // its echo is 4097 bytes: one past the output buffer
        private final byte[] fitsExactly = new byte[4094];
        private final String longText;
        long made;
        Throwable died;
        private final Map<String, String[]> alone = new HashMap<>();
        private boolean recording;

        Caller(int index, long warmUpCalls, long warmUpEnd, long calls, CyclicBarrier pause) {
            this.index = index;
            this.warmUpCalls = warmUpCalls;
            this.warmUpEnd = warmUpEnd;
            this.calls = calls;
            this.pause = pause;
            Arrays.fill(fitsExactly, (byte) (index + 1));
            char[] a = new char[10001];
            Arrays.fill(a, 'A');
            longText = new String(a);
        }

        @Override
        public void run() {
            try {
                int round = 0;
                while (made < warmUpCalls || System.nanoTime() - warmUpEnd < 0) {
                    round(round++);
                }
                pause.await();   // main samples the warmed-up process
                pause.await();
                long target = made + calls;
                while (made < target) {
                    round(round++);
                }
            } catch (Throwable t) {
                died = t;
                pause.reset();
            }
        }

        private void same(String what, String want, String got) {
            made++;
            if (!want.equals(got)) {
                fail("thread " + index + ", " + what + ": expected " + quote(want) + ", got " + quote(got));
            }
        }

        /** Runs every distinct round once, keeping each answer for the threaded run. */
        void recordAlone() {
            recording = true;
            for (int r = 0; r < DISTINCT_ROUNDS; r++) {
                round(r);
            }
            recording = false;
            made = 0;
        }

        private String[] sameAsAlone(String what, String[] got) {
            if (recording) {
                made++;
                alone.put(what, got);
                return got;
            }
            same(what, alone.get(what), got);
            return got;
        }

        private void same(String what, String[] want, String[] got) {
            made++;
            if (!Arrays.equals(want, got)) {
                fail("thread " + index + ", " + what + ": expected " + quote(want) + ", got " + quote(got));
            }
        }

        private static String quote(Object value) {
            if (value instanceof String[]) {
                return Arrays.toString((String[]) value);
            }
            return value == null ? "null" : "\"" + value + "\"";
        }

        private static byte[] inputFor(int thread, int round, int salt) {
            int length = (thread * 37 + round * 11 + salt) % 200;
            byte[] bytes = new byte[length];
            for (int i = 0; i < length; i++) {
                bytes[i] = (byte) (thread * 59 + round * 3 + i * salt);
            }
            return bytes;
        }

        private void round(int round) {
            final int r = round % DISTINCT_ROUNDS;
            final String at = " (round " + r + ")";
            same("GetVersion" + at, new String[] {"0", System.getProperty("varnel.version")}, JVarnel.GetVersion());
            same("GetSlotList" + at, new String[] {"0", "2", "7", "4294967295"}, JVarnel.GetSlotList(r % 2));

            final int slot = 40 + index * 300 + r % 3;
            sameAsAlone("GetTokenInfo" + at, JVarnel.GetTokenInfo(slot));
            final long session = Long.parseUnsignedLong(
                    sameAsAlone("OpenSession" + at, JVarnel.OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION))[1]);
            same("OpenSession without CKF_SERIAL_SESSION" + at,
                    new String[] {status(CKR_SESSION_PARALLEL_NOT_SUPPORTED), "0"},
                    JVarnel.OpenSession(slot, CKF_RW_SESSION));

            same("Login" + at, "0", JVarnel.Login(session, 1, "pin-" + r));
            same("Login, empty PIN" + at, status(CKR_PIN_LEN_RANGE), JVarnel.Login(session, 1, ""));
            same("Login, null PIN" + at, "10034", JVarnel.Login(session, 1, null));
            same("Login, user type -1" + at, status(CKR_USER_TYPE_INVALID), JVarnel.Login(session, -1, "pin"));

            same("FindObjectsInit" + at, "0", JVarnel.FindObjectsInit(session, "key " + index, r % 3));
            same("FindObjectsInit, null label" + at, "10036", JVarnel.FindObjectsInit(session, null, 0));
            same("FindObjectsInit, kind 7" + at, "10050", JVarnel.FindObjectsInit(session, "key", 7));
            sameAsAlone("FindObjects" + at, JVarnel.FindObjects(session));
            same("FindObjectsFinal" + at, "0", JVarnel.FindObjectsFinal(session));

            final long object = session * 7 + r;
            for (String keyword : new String[] {"modulus", "label", "exponent", "encrypt", "wrap", "certificate",
                "Modulus"}) {
                sameAsAlone("GetAttributeValue " + keyword + at, JVarnel.GetAttributeValue(session, object, keyword));
            }
            same("GetAttributeValue, null keyword" + at, new String[] {"10038", ""},
                    JVarnel.GetAttributeValue(session, object, null));
            same("GetAttributeValue, object 0" + at, new String[] {status(CKR_OBJECT_HANDLE_INVALID), ""},
                    JVarnel.GetAttributeValue(session, 0, "label"));
            same("SetAttributeValue" + at, "0", JVarnel.SetAttributeValue(session, object, object + 1, "renamed"));
            same("SetAttributeValue, second object 0" + at, status(CKR_OBJECT_HANDLE_INVALID),
                    JVarnel.SetAttributeValue(session, object, 0, "renamed"));
            same("SetAttributeValue, null label" + at, "10036",
                    JVarnel.SetAttributeValue(session, object, object + 1, null));
            same("DestroyObject" + at, "0", JVarnel.DestroyObject(session, object));

            final byte[] exponent = {1, 0, 1};
            final String[] pair = sameAsAlone("GenerateKeyPair" + at,
                    JVarnel.GenerateKeyPair(session, "pair", 2048, exponent, 3));
            same("GenerateKeyPair, 256 bits" + at, new String[] {status(CKR_KEY_SIZE_RANGE), "0", "0"},
                    JVarnel.GenerateKeyPair(session, "pair", 256, exponent, 3));
            same("GenerateKeyPair, null exponent" + at, new String[] {"10045", "0", "0"},
                    JVarnel.GenerateKeyPair(session, "pair", 2048, null, 3));
            same("GenerateKeyPair, exponent length 4" + at, new String[] {"10045", "0", "0"},
                    JVarnel.GenerateKeyPair(session, "pair", 2048, exponent, 4));
            same("GenerateKeyPair, exponent length -1" + at, new String[] {"10045", "0", "0"},
                    JVarnel.GenerateKeyPair(session, "pair", 2048, exponent, -1));
            same("GenerateKeyPair, null label" + at, new String[] {"10036", "0", "0"},
                    JVarnel.GenerateKeyPair(session, null, 2048, exponent, 3));
            final String[] secret = sameAsAlone("GenerateKey" + at, JVarnel.GenerateKey(session, r));

            final long key = Long.parseUnsignedLong(pair[2]);
            final byte[] data = inputFor(index, r, 1);
            same("SignInit" + at, "0", JVarnel.SignInit(session, key));
            same("SignInit, key 0" + at, status(CKR_KEY_HANDLE_INVALID), JVarnel.SignInit(session, 0));
            sameAsAlone("Sign" + at, JVarnel.Sign(session, data, data.length));
            same("Sign, null data" + at, new String[] {"10035", ""}, JVarnel.Sign(session, null, 0));
            same("Sign, length past the array" + at, new String[] {"10035", ""},
                    JVarnel.Sign(session, data, data.length + 1));
            same("Sign, length -1" + at, new String[] {"10035", ""}, JVarnel.Sign(session, data, -1));
            sameAsAlone("Sign, first bytes only" + at, JVarnel.Sign(session, data, data.length / 2));
            same("Sign, output one past the room" + at, new String[] {status(CKR_BUFFER_TOO_SMALL), ""},
                    JVarnel.Sign(session, tooLong, tooLong.length));
            if (r % 8 == 0) {
                sameAsAlone("Sign, output filling the room" + at, JVarnel.Sign(session, fitsExactly, fitsExactly.length));
            }

            final String mechanism = r % 2 == 0 ? "rsapkcs" : "rsapkcsoaep";
            final byte[] plain = inputFor(index, r, 2);
            same("EncryptInit" + at, "0", JVarnel.EncryptInit(session, key, mechanism));
            same("EncryptInit, null keyword" + at, "10055", JVarnel.EncryptInit(session, key, null));
            same("EncryptInit, unknown keyword" + at, "10064", JVarnel.EncryptInit(session, key, "RSAPKCS"));
            sameAsAlone("Encrypt" + at, JVarnel.Encrypt(session, plain, plain.length));
            same("Encrypt, output one past the room" + at, new String[] {status(CKR_BUFFER_TOO_SMALL), ""},
                    JVarnel.Encrypt(session, tooLong, tooLong.length));

            final byte[] cipher = inputFor(index, r, 3);
            final byte[] cipherText = base64(cipher).getBytes(StandardCharsets.US_ASCII);
            same("DecryptInit" + at, "0", JVarnel.DecryptInit(session, key, mechanism));
            sameAsAlone("Decrypt" + at, JVarnel.Decrypt(session, cipherText, cipherText.length));
            same("Decrypt, not Base64" + at, new String[] {"10063", ""},
                    JVarnel.Decrypt(session, "AB*D".getBytes(StandardCharsets.US_ASCII), 4));
            same("Decrypt, null data" + at, new String[] {"10035", ""}, JVarnel.Decrypt(session, null, 4));
            same("Decrypt, length 10001" + at, new String[] {"10065", ""},
                    JVarnel.Decrypt(session, cipherText, 10001));
            same("Decrypt, length past the array" + at, new String[] {"10065", ""},
                    JVarnel.Decrypt(session, cipherText, cipherText.length + 1));

            final long wrappingKey = Long.parseUnsignedLong(pair[1]);
            final long keyToWrap = Long.parseUnsignedLong(secret[1]) + r;
            sameAsAlone("WrapKey" + at, JVarnel.WrapKey(session, "rsapkcs", wrappingKey, keyToWrap));
            same("WrapKey, OAEP" + at, new String[] {"10064", ""},
                    JVarnel.WrapKey(session, "rsapkcsoaep", wrappingKey, keyToWrap));
            same("WrapKey, null keyword" + at, new String[] {"10064", ""},
                    JVarnel.WrapKey(session, null, wrappingKey, keyToWrap));

            final byte[] wrappedKey = inputFor(index, r, 5);
            sameAsAlone("UnwrapKey" + at, JVarnel.UnwrapKey(session, base64(wrappedKey), wrappingKey, "rsapkcs"));
            same("UnwrapKey, null key" + at, new String[] {"10062", "0"},
                    JVarnel.UnwrapKey(session, null, wrappingKey, "rsapkcs"));
            same("UnwrapKey, 10001 characters" + at, new String[] {"10066", "0"},
                    JVarnel.UnwrapKey(session, longText, wrappingKey, "rsapkcs"));
            same("UnwrapKey, not Base64" + at, new String[] {"10063", "0"},
                    JVarnel.UnwrapKey(session, "AB*D", wrappingKey, "rsapkcs"));

            same("LogOut" + at, "0", JVarnel.LogOut(session));
            same("LogOut, session 0" + at, status(CKR_SESSION_HANDLE_INVALID), JVarnel.LogOut(0));
            same("CloseSession" + at, "0", JVarnel.CloseSession(session));
        }
    }

    static int runMock(String driver, long calls, int threads) throws Exception {
        String loaded = JVarnel.LoadDriver(driver);
        if (!"0".equals(loaded)) {
            System.out.println("soak mock: FAILED: LoadDriver answered " + loaded);
            return 1;
        }
        long lifecycleCalls = 0;
        lifecycleCalls += checkStatus("Initialize", JVarnel.Initialize());

        long warmUp = calls / 10;
        CyclicBarrier pause = new CyclicBarrier(threads + 1);
        long warmUpEnd = System.nanoTime() + WARM_UP_NANOS;
        Caller[] callers = new Caller[threads];
        Thread[] running = new Thread[threads];
        for (int i = 0; i < threads; i++) {
            callers[i] = new Caller(i, warmUp / threads, warmUpEnd, (calls + threads - 1) / threads, pause);
            callers[i].recordAlone();
            running[i] = new Thread(callers[i], "soak-caller-" + i);
            running[i].start();
        }
        try {
            pause.await();
        } catch (BrokenBarrierException e) {
            for (Thread t : running) {
                t.join();
            }
            return died(callers);
        }
        long warmUpMade = 0;
        for (Caller c : callers) {
            warmUpMade += c.made;
        }
        Usage before = Usage.now();
        long start = System.nanoTime();
        pause.await();
        for (Thread t : running) {
            t.join();
        }
        if (died(callers) != 0) {
            return 1;
        }
        // The lifecycle methods, single-threaded: the echo driver keeps no state.
        for (int i = 0; i < 10; i++) {
            lifecycleCalls += checkStatus("Finalize", JVarnel.Finalize());
            lifecycleCalls += checkStatus("Initialize", JVarnel.Initialize());
        }
        double seconds = (System.nanoTime() - start) / 1e9;
        Usage after = Usage.now();
        lifecycleCalls += checkStatus("Finalize", JVarnel.Finalize());

        long total = lifecycleCalls;
        for (Caller c : callers) {
            total += c.made;
        }
        long measured = total - warmUpMade;
        System.out.printf(Locale.ROOT,
                "soak mock: %d calls (%d threads) in %.1f s after %d warm-up calls, %.0f calls/s%n", measured,
                threads, seconds, warmUpMade, measured / seconds);
        boolean answersRight = reportAnswers("mock");
        boolean bounded = reportGrowth("mock", before, after);
        return answersRight && bounded ? 0 : 1;
    }

    static int died(Caller[] callers) {
        int rc = 0;
        for (Caller c : callers) {
            if (c.died != null && !(c.died instanceof BrokenBarrierException)) {
                System.out.println("soak: FAILED: a caller died: " + c.died);
                c.died.printStackTrace(System.out);
                rc = 1;
            }
        }
        return rc;
    }

    static long checkStatus(String what, String got) {
        if (!"0".equals(got)) {
            fail(what + ": expected \"0\", got \"" + got + "\"");
        }
        return 1;
    }

    // ---- SoftHSM

    private static final byte[] SHA256_DIGEST_INFO = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, (byte) 0x86, 0x48,
        0x01, 0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};

    /** Counts the bridge calls and fails the run on a wrong status. */
    static final class Token {
        long calls;

        String[] array(String what, String[] answer) {
            calls++;
            if (answer == null || answer.length == 0 || !"0".equals(answer[0])) {
                fail(what + ": answered " + (answer == null ? "null" : Arrays.toString(answer)));
                throw new IllegalStateException(what + " failed");
            }
            return answer;
        }

        void status(String what, String answer) {
            array(what, new String[] {answer});
        }
    }

    static int runSoftHsm(String driver, String pin, String keyLabel, int signatures) throws Exception {
        Token token = new Token();
        String loaded = JVarnel.LoadDriver(driver);
        if (!"0".equals(loaded)) {
            System.out.println("soak softhsm: FAILED: LoadDriver answered " + loaded);
            return 1;
        }
        long signed = 0;
        try {
            token.status("Initialize", JVarnel.Initialize());
            // SoftHSM also lists a slot whose token is not initialised yet.
            String[] slots = token.array("GetSlotList", JVarnel.GetSlotList(1));
            int slot = 0;
            boolean found = false;
            for (int i = 1; i < slots.length && !found; i++) {
                slot = (int) Long.parseLong(slots[i]);
                String[] info = token.array("GetTokenInfo", JVarnel.GetTokenInfo(slot));
                found = (Long.parseLong(info[18]) & CKF_TOKEN_INITIALIZED) != 0;
            }
            if (!found) {
                fail("no slot holds an initialised token: " + Arrays.toString(slots));
                return finishSoftHsm(token, signed, signatures, null, null);
            }
            long session = Long.parseLong(
                    token.array("OpenSession", JVarnel.OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION))[1]);
            token.status("Login", JVarnel.Login(session, 1, pin));

            token.status("FindObjectsInit", JVarnel.FindObjectsInit(session, keyLabel, 1));
            String[] privateKeys = token.array("FindObjects", JVarnel.FindObjects(session));
            token.status("FindObjectsFinal", JVarnel.FindObjectsFinal(session));
            token.status("FindObjectsInit", JVarnel.FindObjectsInit(session, keyLabel, 0));
            String[] bothKeys = token.array("FindObjects", JVarnel.FindObjects(session));
            token.status("FindObjectsFinal", JVarnel.FindObjectsFinal(session));
            if (privateKeys.length != 2 || bothKeys.length != 3) {
                fail("expected one private key and a key pair labelled " + keyLabel + ", found "
                        + Arrays.toString(privateKeys) + " and " + Arrays.toString(bothKeys));
                return finishSoftHsm(token, signed, 0, null, null);
            }
            long privateKey = Long.parseLong(privateKeys[1]);
            long publicKey = Long.parseLong(bothKeys[1].equals(privateKeys[1]) ? bothKeys[2] : bothKeys[1]);
            PublicKey verifier = publicKeyOf(token, session, publicKey);

            int warmUp = 0;
            long warmUpEnd = System.nanoTime() + WARM_UP_NANOS;
            while (warmUp < signatures / 10 || System.nanoTime() - warmUpEnd < 0) {
                signAndVerify(token, session, privateKey, verifier, warmUp++);
            }
            Usage before = Usage.now();
            long start = System.nanoTime();
            for (int i = 0; i < signatures; i++) {
                signAndVerify(token, session, privateKey, verifier, warmUp + i);
                signed++;
            }
            double seconds = (System.nanoTime() - start) / 1e9;
            Usage after = Usage.now();
            System.out.printf(Locale.ROOT,
                    "soak softhsm: %d signatures (RSA-2048, each verified) in %.1f s after %d warm-up, %.0f/s%n",
                    signed, seconds, warmUp, signed / seconds);

            token.status("LogOut", JVarnel.LogOut(session));
            token.status("CloseSession", JVarnel.CloseSession(session));
            token.status("Finalize", JVarnel.Finalize());
            return finishSoftHsm(token, signed, signatures, before, after);
        } catch (IllegalStateException e) {
            return finishSoftHsm(token, signed, signatures, null, null);
        }
    }

    static int finishSoftHsm(Token token, long signed, int wanted, Usage before, Usage after) {
        System.out.println("soak softhsm: " + token.calls + " bridge calls in all");
        boolean ok = reportAnswers("softhsm");
        if (signed != wanted) {
            System.out.println("soak softhsm: FAILED: " + signed + " of " + wanted + " signatures made");
            ok = false;
        }
        if (before != null && after != null) {
            ok &= reportGrowth("softhsm", before, after);
        }
        return ok ? 0 : 1;
    }

    static PublicKey publicKeyOf(Token token, long session, long publicKey) throws GeneralSecurityException {
        byte[] modulus = Base64.getDecoder()
                .decode(token.array("GetAttributeValue modulus", JVarnel.GetAttributeValue(session, publicKey,
                        "modulus"))[1]);
        byte[] exponent = Base64.getDecoder()
                .decode(token.array("GetAttributeValue exponent", JVarnel.GetAttributeValue(session, publicKey,
                        "exponent"))[1]);
        return KeyFactory.getInstance("RSA")
                .generatePublic(new RSAPublicKeySpec(new BigInteger(1, modulus), new BigInteger(1, exponent)));
    }

    static void signAndVerify(Token token, long session, long privateKey, PublicKey verifier, int n)
            throws GeneralSecurityException {
        byte[] message = ("soak message " + n).getBytes(StandardCharsets.UTF_8);
        byte[] digest = MessageDigest.getInstance("SHA-256").digest(message);
        byte[] digestInfo = Arrays.copyOf(SHA256_DIGEST_INFO, SHA256_DIGEST_INFO.length + digest.length);
        System.arraycopy(digest, 0, digestInfo, SHA256_DIGEST_INFO.length, digest.length);

        token.status("SignInit", JVarnel.SignInit(session, privateKey));
        byte[] signature = Base64.getDecoder()
                .decode(token.array("Sign", JVarnel.Sign(session, digestInfo, digestInfo.length))[1]);
        Signature check = Signature.getInstance("SHA256withRSA");
        check.initVerify(verifier);
        check.update(message);
        if (signature.length != 256 || !check.verify(signature)) {
            fail("signature " + n + " does not verify");
            throw new IllegalStateException("bad signature");
        }
    }
}
