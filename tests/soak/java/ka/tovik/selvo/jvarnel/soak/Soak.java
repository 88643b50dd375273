package ka.tovik.selvo.jvarnel.soak;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Paths;
import java.security.MessageDigest;
import java.util.Arrays;
import java.util.Base64;
import java.util.Locale;
import java.util.concurrent.BrokenBarrierException;
import java.util.concurrent.CyclicBarrier;
import java.util.concurrent.atomic.AtomicLong;
import java.util.function.Supplier;

import ka.tovik.selvo.jvarnel.JVarnel;

/**
 * A long run of the bridge in a real JVM, for leaks and JNI misuse that short
 * tests miss. One mode per JVM run, since loading a driver replaces the
 * bridge's entry points:
 *
 * <pre>
 * Soak mock DRIVER CALLS THREADS        the unscripted mock driver: CKR_OK, nothing written
 * Soak softhsm DRIVER PIN LABEL COUNT   COUNT signatures with the private key LABEL
 * </pre>
 *
 * Resident memory and open descriptors are sampled after a warm-up (a tenth of
 * the work, and at least -Dsoak.warmUpSeconds, default 10) and at the end;
 * growth past -Dsoak.maxRssGrowthKiB (default 20 MiB) or -Dsoak.maxFdGrowth
 * (default 0) fails the run. The answers are checked lightly, by their status
 * (the unit suite checks every field); a wrong one fails the run too.
 */
public final class Soak {
    private static final long MAX_RSS_GROWTH_KIB = Long.getLong("soak.maxRssGrowthKiB", 20 * 1024);
    private static final long MAX_FD_GROWTH = Long.getLong("soak.maxFdGrowth", 0);
    // The JIT and the allocators settle within seconds; sampled earlier, their
    // growth would pass for a leak.
    private static final long WARM_UP_NANOS = Long.getLong("soak.warmUpSeconds", 10) * 1_000_000_000L;
    private static final AtomicLong wrongAnswers = new AtomicLong();

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

    /** The answer's status: the string itself, or element 0 of the array. */
    static String statusOf(Object answer) {
        if (answer instanceof String[] array) {
            return array.length > 0 ? array[0] : "(empty array)";
        }
        return String.valueOf(answer);
    }

    /** Counts a wrong status, showing the first few. */
    static boolean expect(String what, String status, Object answer) {
        if (status.equals(statusOf(answer))) {
            return true;
        }
        if (wrongAnswers.incrementAndGet() <= 20) {
            String shown = answer instanceof String[] array ? Arrays.toString(array) : "\"" + answer + "\"";
            System.out.println("soak: WRONG ANSWER: " + what + ": expected status " + status + ", got " + shown);
        }
        return false;
    }

    /** Resident memory and open descriptors of this process. */
    record Usage(long rssKiB, int fds) {
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

    /** Prints the growth and the wrong answers; false when past a limit or any answer was wrong. */
    static boolean report(String mode, Usage before, Usage after) {
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
        if (wrongAnswers.get() != 0) {
            System.out.println("soak " + mode + ": FAILED: " + wrongAnswers.get() + " wrong answers");
            ok = false;
        }
        return ok;
    }

    // ---- the mock driver

    /** One call class and the status it answers on the unscripted mock. */
    record Call(String what, String status, Supplier<Object> call) {
    }

    static final long SESSION = 1;
    static final long KEY = 2;
    static final byte[] DATA = new byte[200];
    static final byte[] BASE64_TEXT = Base64.getEncoder().encode(new byte[150]);
    static final String LONG_TEXT = "A".repeat(10001);

    // The library's refusals need no driver; everything else answers "0",
    // the output methods with the whole room the library offered, in zeros.
    // The driver counts no slot (10031) and finds no object (10030).
    static final Call[] CALLS = {
        new Call("GetVersion", "0", JVarnel::GetVersion),
        new Call("GetSlotList", "10031", () -> JVarnel.GetSlotList(1)),
        new Call("GetTokenInfo", "0", () -> JVarnel.GetTokenInfo(3)),
        new Call("OpenSession", "0", () -> JVarnel.OpenSession(3, 6)),
        new Call("Login", "0", () -> JVarnel.Login(SESSION, 1, "1234")),
        new Call("Login, null PIN", "10034", () -> JVarnel.Login(SESSION, 1, null)),
        new Call("FindObjectsInit", "0", () -> JVarnel.FindObjectsInit(SESSION, "key", 1)),
        new Call("FindObjectsInit, null label", "10036", () -> JVarnel.FindObjectsInit(SESSION, null, 0)),
        new Call("FindObjects", "10030", () -> JVarnel.FindObjects(SESSION)),
        new Call("FindObjectsFinal", "0", () -> JVarnel.FindObjectsFinal(SESSION)),
        new Call("GetAttributeValue modulus", "0", () -> JVarnel.GetAttributeValue(SESSION, KEY, "modulus")),
        new Call("GetAttributeValue label", "0", () -> JVarnel.GetAttributeValue(SESSION, KEY, "label")),
        new Call("GetAttributeValue certificate", "0",
                () -> JVarnel.GetAttributeValue(SESSION, KEY, "certificate")),
        new Call("GetAttributeValue, null keyword", "10038", () -> JVarnel.GetAttributeValue(SESSION, KEY, null)),
        new Call("SetAttributeValue", "0", () -> JVarnel.SetAttributeValue(SESSION, KEY, KEY + 1, "renamed")),
        new Call("DestroyObject", "0", () -> JVarnel.DestroyObject(SESSION, KEY)),
        new Call("GenerateKeyPair", "0",
                () -> JVarnel.GenerateKeyPair(SESSION, "pair", 2048, new byte[] {1, 0, 1}, 3)),
        new Call("GenerateKeyPair, null exponent", "10045",
                () -> JVarnel.GenerateKeyPair(SESSION, "pair", 2048, null, 3)),
        new Call("GenerateKey", "0", () -> JVarnel.GenerateKey(SESSION, 16)),
        new Call("SignInit", "0", () -> JVarnel.SignInit(SESSION, KEY)),
        new Call("Sign", "0", () -> JVarnel.Sign(SESSION, DATA, DATA.length)),
        new Call("Sign, length past the array", "10035", () -> JVarnel.Sign(SESSION, DATA, DATA.length + 1)),
        new Call("EncryptInit", "0", () -> JVarnel.EncryptInit(SESSION, KEY, "rsapkcsoaep")),
        new Call("EncryptInit, null keyword", "10055", () -> JVarnel.EncryptInit(SESSION, KEY, null)),
        new Call("Encrypt", "0", () -> JVarnel.Encrypt(SESSION, DATA, DATA.length)),
        new Call("DecryptInit", "0", () -> JVarnel.DecryptInit(SESSION, KEY, "rsapkcs")),
        new Call("Decrypt", "0", () -> JVarnel.Decrypt(SESSION, BASE64_TEXT, BASE64_TEXT.length)),
        new Call("Decrypt, not Base64", "10063",
                () -> JVarnel.Decrypt(SESSION, "AB*D".getBytes(StandardCharsets.US_ASCII), 4)),
        new Call("Decrypt, length 10001", "10065", () -> JVarnel.Decrypt(SESSION, BASE64_TEXT, 10001)),
        new Call("WrapKey", "0", () -> JVarnel.WrapKey(SESSION, "rsapkcs", KEY, KEY + 1)),
        new Call("WrapKey, OAEP", "10064", () -> JVarnel.WrapKey(SESSION, "rsapkcsoaep", KEY, KEY + 1)),
        new Call("UnwrapKey", "0", () -> JVarnel.UnwrapKey(SESSION, "AQAB", KEY, "rsapkcs")),
        new Call("UnwrapKey, null key", "10062", () -> JVarnel.UnwrapKey(SESSION, null, KEY, "rsapkcs")),
        new Call("UnwrapKey, 10001 characters", "10066", () -> JVarnel.UnwrapKey(SESSION, LONG_TEXT, KEY, "rsapkcs")),
        new Call("LogOut", "0", () -> JVarnel.LogOut(SESSION)),
        new Call("CloseSession", "0", () -> JVarnel.CloseSession(SESSION)),
    };

    /** One thread's calls: through CALLS from a place of its own, until warmed up, then `calls` more. */
    static final class Caller implements Runnable {
        private final int index;
        private final long warmUpCalls;
        private final long warmUpEnd;
        private final long calls;
        private final CyclicBarrier pause;
        long made;   // read by main across the barrier and after join
        Throwable died;

        Caller(int index, long warmUpCalls, long warmUpEnd, long calls, CyclicBarrier pause) {
            this.index = index;
            this.warmUpCalls = warmUpCalls;
            this.warmUpEnd = warmUpEnd;
            this.calls = calls;
            this.pause = pause;
        }

        private void next() {
            Call c = CALLS[(int) ((made + index * 7L) % CALLS.length)];
            expect("thread " + index + ", " + c.what, c.status, c.call.get());
            made++;
        }

        @Override
        public void run() {
            try {
                while (made < warmUpCalls || System.nanoTime() - warmUpEnd < 0) {
                    next();
                }
                pause.await();   // main samples the warmed-up process
                pause.await();
                long target = made + calls;
                while (made < target) {
                    next();
                }
            } catch (Throwable t) {
                died = t;
                pause.reset();
            }
        }
    }

    static int runMock(String driver, long calls, int threads) throws Exception {
        if (!expect("LoadDriver", "0", JVarnel.LoadDriver(driver))
                || !expect("Initialize", "0", JVarnel.Initialize())) {
            return 1;
        }
        CyclicBarrier pause = new CyclicBarrier(threads + 1);
        long warmUpEnd = System.nanoTime() + WARM_UP_NANOS;
        Caller[] callers = new Caller[threads];
        Thread[] running = new Thread[threads];
        for (int i = 0; i < threads; i++) {
            callers[i] = new Caller(i, calls / 10 / threads, warmUpEnd, (calls + threads - 1) / threads, pause);
            running[i] = new Thread(callers[i], "soak-caller-" + i);
            running[i].start();
        }
        boolean broken = false;
        long warmUpMade = 0;
        Usage before = null;
        long start = 0;
        try {
            pause.await();
            for (Caller c : callers) {
                warmUpMade += c.made;
            }
            before = Usage.now();
            start = System.nanoTime();
            pause.await();
        } catch (BrokenBarrierException e) {
            broken = true;
        }
        for (Thread t : running) {
            t.join();
        }
        for (Caller c : callers) {
            if (c.died != null && !(c.died instanceof BrokenBarrierException)) {
                System.out.println("soak: FAILED: a caller died: " + c.died);
                c.died.printStackTrace(System.out);
                broken = true;
            }
        }
        if (broken) {
            return 1;
        }
        // The lifecycle methods, from one thread.
        for (int i = 0; i < 10; i++) {
            expect("Finalize", "0", JVarnel.Finalize());
            expect("Initialize", "0", JVarnel.Initialize());
        }
        double seconds = (System.nanoTime() - start) / 1e9;
        Usage after = Usage.now();
        expect("Finalize", "0", JVarnel.Finalize());

        long measured = 20 - warmUpMade;
        for (Caller c : callers) {
            measured += c.made;
        }
        System.out.printf(Locale.ROOT,
                "soak mock: %d calls (%d threads) in %.1f s after %d warm-up calls, %.0f calls/s%n", measured,
                threads, seconds, warmUpMade, measured / seconds);
        return report("mock", before, after) ? 0 : 1;
    }

    // ---- SoftHSM

    private static final byte[] SHA256_DIGEST_INFO = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, (byte) 0x86, 0x48,
        0x01, 0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
    static final long CKF_TOKEN_INITIALIZED = 0x400;

    /** The answer, when its status is "0"; otherwise the run stops. */
    static String[] ok(String what, Object answer) {
        if (!expect(what, "0", answer)) {
            throw new IllegalStateException(what + " failed");
        }
        return answer instanceof String[] array ? array : new String[] {(String) answer};
    }

    static int runSoftHsm(String driver, String pin, String keyLabel, int signatures) throws Exception {
        try {
            ok("LoadDriver", JVarnel.LoadDriver(driver));
            ok("Initialize", JVarnel.Initialize());
            // SoftHSM also lists a slot whose token is not initialised yet.
            String[] slots = ok("GetSlotList", JVarnel.GetSlotList(1));
            int slot = -1;
            for (int i = 1; i < slots.length && slot < 0; i++) {
                String[] info = ok("GetTokenInfo", JVarnel.GetTokenInfo(Integer.parseUnsignedInt(slots[i])));
                if ((Long.parseLong(info[18]) & CKF_TOKEN_INITIALIZED) != 0) {
                    slot = Integer.parseUnsignedInt(slots[i]);
                }
            }
            if (slot < 0) {
                throw new IllegalStateException("no slot holds an initialised token: " + Arrays.toString(slots));
            }
            long session = Long.parseLong(ok("OpenSession", JVarnel.OpenSession(slot, 6))[1]);
            ok("Login", JVarnel.Login(session, 1, pin));
            ok("FindObjectsInit", JVarnel.FindObjectsInit(session, keyLabel, 1));
            String[] keys = ok("FindObjects", JVarnel.FindObjects(session));
            ok("FindObjectsFinal", JVarnel.FindObjectsFinal(session));
            if (keys.length != 2) {
                throw new IllegalStateException("expected one private key labelled " + keyLabel + ", found "
                        + Arrays.toString(keys));
            }
            long key = Long.parseLong(keys[1]);

            int warmUp = 0;
            long warmUpEnd = System.nanoTime() + WARM_UP_NANOS;
            while (warmUp < signatures / 10 || System.nanoTime() - warmUpEnd < 0) {
                sign(session, key, warmUp++);
            }
            Usage before = Usage.now();
            long start = System.nanoTime();
            for (int i = 0; i < signatures; i++) {
                sign(session, key, warmUp + i);
            }
            double seconds = (System.nanoTime() - start) / 1e9;
            Usage after = Usage.now();
            System.out.printf(Locale.ROOT,
                    "soak softhsm: %d signatures (RSA-2048) in %.1f s after %d warm-up, %.0f/s%n", signatures, seconds,
                    warmUp, signatures / seconds);
            ok("LogOut", JVarnel.LogOut(session));
            ok("CloseSession", JVarnel.CloseSession(session));
            ok("Finalize", JVarnel.Finalize());
            return report("softhsm", before, after) ? 0 : 1;
        } catch (IllegalStateException e) {
            System.out.println("soak softhsm: FAILED: " + e.getMessage());
            return 1;
        }
    }

    /** One RSA-2048 signature of a message's SHA-256 DigestInfo: status "0" and 256 bytes. */
    static void sign(long session, long key, int n) throws Exception {
        byte[] message = ("soak message " + n).getBytes(StandardCharsets.UTF_8);
        byte[] digest = MessageDigest.getInstance("SHA-256").digest(message);
        byte[] digestInfo = Arrays.copyOf(SHA256_DIGEST_INFO, SHA256_DIGEST_INFO.length + digest.length);
        System.arraycopy(digest, 0, digestInfo, SHA256_DIGEST_INFO.length, digest.length);
        ok("SignInit", JVarnel.SignInit(session, key));
        String[] signature = ok("Sign", JVarnel.Sign(session, digestInfo, digestInfo.length));
        if (Base64.getDecoder().decode(signature[1]).length != 256) {
            throw new IllegalStateException("signature " + n + " is not 256 bytes: " + signature[1]);
        }
    }
}
