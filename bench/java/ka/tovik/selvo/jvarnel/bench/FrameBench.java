package ka.tovik.selvo.jvarnel.bench;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Base64;
import java.util.List;
import java.util.Random;

import ka.tovik.selvo.jvarnel.JVarnel;

/**
 * The cost of each native method's frame side by side with its floor: the
 * same JNI calls and nothing else. Every trial times, in rotating order, a
 * batch of the method against the mock driver, a batch against the null
 * driver (bench/native/null_driver.c, next to no work), and a batch of the
 * floor; then a batch of the mock's own entry points called from C. The ratio
 * of a trial is method / floor. Also: LoadDriver beside a bare dlopen + 24
 * dlsym, and how the cost grows with input size, objects found and slots
 * listed (against the mock).
 *
 * <p>Arguments: {@code --arch A --mock PATH --null PATH --out DIR --tmp DIR
 * [--trials N] [--batch-ms X] [--warmup-ms X] [--growth-trials N per pass]
 * [--growth-passes N] [--cold N] [--only M1,M2]}.
 */
public final class FrameBench {
    private FrameBench() {
    }

    /** One call of a native method, its answer handed back. */
    interface Call {
        Object call();
    }

    /** What the JIT must not drop: every answer feeds this. */
    static long sink;

    static void consume(Object answer) {
        if (answer instanceof String) {
            sink += ((String) answer).length();
        } else if (answer instanceof String[]) {
            String[] array = (String[]) answer;
            sink += array.length + array[array.length - 1].length();
        } else if (answer instanceof byte[]) {  // the peers' answers (PeerBench)
            sink += ((byte[]) answer).length;
        } else if (answer instanceof long[]) {
            sink += ((long[]) answer).length;
        } else if (answer != null) {
            sink += 1;
        } else {
            sink -= 1_000_000;  // null: never expected, and it shows
        }
    }

    /** Nanoseconds that {@code n} calls take. */
    static long time(Call call, int n) {
        long start = System.nanoTime();
        for (int i = 0; i < n; ++i) consume(call.call());
        return System.nanoTime() - start;
    }

    /** A method and its floor, with the input the mock receives. */
    static final class Case {
        final String name;
        final String input;
        final int id;
        final Call varnel;
        final Call floor;
        final int driverInput;  // bytes the driver call receives, for the mock's own timing

        Case(String name, String input, int id, int driverInput, Call varnel, Call floor) {
            this.name = name;
            this.input = input;
            this.id = id;
            this.driverInput = driverInput;
            this.varnel = varnel;
            this.floor = floor;
        }
    }

    /** One case's measurements, per call in nanoseconds. */
    static final class Result {
        final Stats.Sample varnel = new Stats.Sample();
        final Stats.Sample nul = new Stats.Sample();
        final Stats.Sample nullRatio = new Stats.Sample();
        final Stats.Sample floor = new Stats.Sample();
        final Stats.Sample mock = new Stats.Sample();
        final Stats.Sample ratio = new Stats.Sample();
        final Stats.Sample net = new Stats.Sample();
        int batch;
    }

    static final long SESSION = 1;
    static final long KEY = 2;
    static final int SLOT = 683485629;  // answer_slot_id(0) in bench/native/answers.h

    // Slots and objects the drivers list (the rest of their answers: answers.h).
    static final int SLOTS = 4;
    static final int FOUND = 100;

    static String mockPath;
    static String nullPath;

    static int trials = 61;
    static long batchNs = 500_000;
    static long warmupNs = 50_000_000;
    static int growthTrials = 5;
    static int growthPasses = 3;
    static int coldLoads = 20;
    static String only;  // a comma-separated list of methods, for a partial run
    static boolean skipRest;  // frames only

    static byte[] bytes(int n, long seed) {
        byte[] b = new byte[n];
        new Random(seed).nextBytes(b);
        return b;
    }

    static void configureDrivers(int slots, int found) {
        Stats.check(Floor.mockConfigure(slots, found), "the mock cannot be scripted");
        Stats.check(Floor.nullConfigure(nullPath, slots, found), "the null driver cannot be set");
    }

    static void useMock() {
        Stats.check("0".equals(JVarnel.LoadDriver(mockPath)), "LoadDriver(mock)");
        Floor.mockClear();
    }

    static void useNull() {
        Stats.check("0".equals(JVarnel.LoadDriver(nullPath)), "LoadDriver(null driver)");
    }

    static String[] texts(Object answer) {
        return answer instanceof String[] ? (String[]) answer : new String[] {(String) answer};
    }

    static String slotText(int index) {
        return Long.toString(683485629L + index * 104729L);
    }

    /**
     * Calls the method once, checks its answer, and hands the same strings to
     * its floor, whose answer must then equal it.
     */
    static void prepare(Case c, String[] expectedPrefix, int expectedLength, int lastLength) {
        useNull();
        String[] throughNull = texts(c.varnel.call());
        useMock();
        String[] texts = texts(c.varnel.call());
        Stats.check(Arrays.equals(texts, throughNull), c.name + ": the null driver's answer differs from the mock's");
        Stats.check(texts.length > 0 && "0".equals(texts[0]), c.name + " answered " + Arrays.toString(texts));
        Stats.check(texts.length == expectedLength, c.name + ": " + texts.length + " strings, not " + expectedLength);
        for (int i = 0; i < expectedPrefix.length; ++i)
            Stats.check(expectedPrefix[i].equals(texts[i]), c.name + ": element " + i + " is " + texts[i]);
        if (lastLength >= 0)
            Stats.check(texts[texts.length - 1].length() == lastLength,
                    c.name + ": last element has " + texts[texts.length - 1].length() + " characters");
        Stats.check(Floor.setTexts(c.id, texts), "the floor refused its texts");
        Stats.check(Arrays.equals(texts, texts(c.floor.call())), c.name + ": the floor answered differently");
    }

    /** Times one case: {@code withDrivers} adds the null driver and the mock's own time. */
    static Result measure(Case c, int trialCount, boolean withDrivers) {
        return measure(c, trialCount, withDrivers, null);
    }

    /** As above, adding to {@code into} (and keeping its batch size) when given. */
    static Result measure(Case c, int trialCount, boolean withDrivers, Result into) {
        // Warm-up: every side, until warmupNs has passed; gives the per-call
        // time that sizes the batches.
        long spent = 0;
        long calls = 0;
        long varnelNs = 0;
        while (spent < warmupNs || calls < 200) {
            if (withDrivers) useMock();
            long v = time(c.varnel, 100);
            long n = 0;
            if (withDrivers) {
                useNull();
                n = time(c.varnel, 100);
            }
            long f = time(c.floor, 100);
            spent += v + n + f;
            varnelNs += v;
            calls += 100;
        }
        Result r = into != null ? into : new Result();
        double perCall = (double) varnelNs / calls;
        if (into == null) r.batch = (int) Math.max(20, Math.min(1_000_000, batchNs / Math.max(perCall, 1)));
        final int sides = withDrivers ? 3 : 2;
        long[] ns = new long[3];
        for (int t = 0; t < trialCount; ++t) {
            for (int k = 0; k < sides; ++k) {
                int side = (t + k) % sides;  // 0 method (mock), 1 floor, 2 method (null driver)
                if (side == 0) {
                    if (withDrivers) useMock();
                    ns[0] = time(c.varnel, r.batch);
                } else if (side == 1) {
                    ns[1] = time(c.floor, r.batch);
                } else {
                    useNull();
                    ns[2] = time(c.varnel, r.batch);
                }
            }
            double vn = (double) ns[0] / r.batch;
            double fn = (double) ns[1] / r.batch;
            r.varnel.add(vn);
            r.floor.add(fn);
            r.ratio.add(vn / fn);
            if (withDrivers) {
                double nn = (double) ns[2] / r.batch;
                r.nul.add(nn);
                r.nullRatio.add(nn / fn);
                Floor.mockClear();
                long m = Floor.mockCost(c.id, r.batch, c.driverInput);
                Stats.check(m >= 0, c.name + ": the mock's own timing failed");
                double mn = (double) m / r.batch;
                r.mock.add(mn);
                r.net.add((vn - mn) / fn);
            }
        }
        if (withDrivers) useMock();
        return r;
    }

    static List<Case> cases() {
        byte[] data32 = bytes(32, 1);
        byte[] cipherText = bytes(256, 2);
        byte[] base64Text = Base64.getEncoder().encode(cipherText);  // 344 characters
        String wrapped = new String(base64Text, StandardCharsets.US_ASCII);
        byte[] exponent = {1, 0, 1};
        List<Case> list = new ArrayList<>();
        list.add(new Case("Initialize", "", Floor.INITIALIZE, 0, JVarnel::Initialize, Floor::Initialize));
        list.add(new Case("Finalize", "", Floor.FINALIZE, 0, JVarnel::Finalize, Floor::Finalize));
        list.add(new Case("GetVersion", "", Floor.GET_VERSION, 0, JVarnel::GetVersion, Floor::GetVersion));
        list.add(new Case("GetSlotList", SLOTS + " slots", Floor.GET_SLOT_LIST, 0, () -> JVarnel.GetSlotList(1),
                () -> Floor.GetSlotList(1)));
        list.add(new Case("GetTokenInfo", "19 fields", Floor.GET_TOKEN_INFO, 0, () -> JVarnel.GetTokenInfo(SLOT),
                () -> Floor.GetTokenInfo(SLOT)));
        list.add(new Case("OpenSession", "", Floor.OPEN_SESSION, 0, () -> JVarnel.OpenSession(SLOT, 6),
                () -> Floor.OpenSession(SLOT, 6)));
        list.add(new Case("Login", "4-digit PIN", Floor.LOGIN, 0, () -> JVarnel.Login(SESSION, 1, "1234"),
                () -> Floor.Login(SESSION, 1, "1234")));
        list.add(new Case("LogOut", "", Floor.LOG_OUT, 0, () -> JVarnel.LogOut(SESSION),
                () -> Floor.LogOut(SESSION)));
        list.add(new Case("CloseSession", "", Floor.CLOSE_SESSION, 0, () -> JVarnel.CloseSession(SESSION),
                () -> Floor.CloseSession(SESSION)));
        list.add(new Case("FindObjectsInit", "9-char label", Floor.FIND_OBJECTS_INIT, 0,
                () -> JVarnel.FindObjectsInit(SESSION, "bench-rsa", 0),
                () -> Floor.FindObjectsInit(SESSION, "bench-rsa", 0)));
        list.add(new Case("FindObjects", FOUND + " handles", Floor.FIND_OBJECTS, 0,
                () -> JVarnel.FindObjects(SESSION), () -> Floor.FindObjects(SESSION)));
        list.add(new Case("FindObjectsFinal", "", Floor.FIND_OBJECTS_FINAL, 0,
                () -> JVarnel.FindObjectsFinal(SESSION), () -> Floor.FindObjectsFinal(SESSION)));
        list.add(new Case("GetAttributeValue", "256-byte modulus", Floor.GET_ATTRIBUTE_VALUE, 0,
                () -> JVarnel.GetAttributeValue(SESSION, KEY, "modulus"),
                () -> Floor.GetAttributeValue(SESSION, KEY, "modulus")));
        list.add(new Case("SetAttributeValue", "2 objects", Floor.SET_ATTRIBUTE_VALUE, 0,
                () -> JVarnel.SetAttributeValue(SESSION, 2, 3, "bench-rsa"),
                () -> Floor.SetAttributeValue(SESSION, 2, 3, "bench-rsa")));
        list.add(new Case("DestroyObject", "", Floor.DESTROY_OBJECT, 0, () -> JVarnel.DestroyObject(SESSION, KEY),
                () -> Floor.DestroyObject(SESSION, KEY)));
        list.add(new Case("GenerateKeyPair", "RSA-2048", Floor.GENERATE_KEY_PAIR, 0,
                () -> JVarnel.GenerateKeyPair(SESSION, "bench-rsa", 2048, exponent, 3),
                () -> Floor.GenerateKeyPair(SESSION, "bench-rsa", 2048, exponent, 3)));
        list.add(new Case("GenerateKey", "AES-256", Floor.GENERATE_KEY, 0, () -> JVarnel.GenerateKey(SESSION, 0),
                () -> Floor.GenerateKey(SESSION, 0)));
        list.add(new Case("SignInit", "", Floor.SIGN_INIT, 0, () -> JVarnel.SignInit(SESSION, KEY),
                () -> Floor.SignInit(SESSION, KEY)));
        list.add(new Case("Sign", "32 B in, 256 B out", Floor.SIGN, 32, () -> JVarnel.Sign(SESSION, data32, 32),
                () -> Floor.Sign(SESSION, data32, 32)));
        list.add(new Case("EncryptInit", "rsapkcs", Floor.ENCRYPT_INIT, 0,
                () -> JVarnel.EncryptInit(SESSION, KEY, "rsapkcs"), () -> Floor.EncryptInit(SESSION, KEY, "rsapkcs")));
        list.add(new Case("Encrypt", "32 B in, 256 B out", Floor.ENCRYPT, 32,
                () -> JVarnel.Encrypt(SESSION, data32, 32), () -> Floor.Encrypt(SESSION, data32, 32)));
        list.add(new Case("DecryptInit", "rsapkcs", Floor.DECRYPT_INIT, 0,
                () -> JVarnel.DecryptInit(SESSION, KEY, "rsapkcs"), () -> Floor.DecryptInit(SESSION, KEY, "rsapkcs")));
        list.add(new Case("Decrypt", "344 chars in, 245 B out", Floor.DECRYPT, 256,
                () -> JVarnel.Decrypt(SESSION, base64Text, base64Text.length),
                () -> Floor.Decrypt(SESSION, base64Text, base64Text.length)));
        list.add(new Case("WrapKey", "256 B out", Floor.WRAP_KEY, 0,
                () -> JVarnel.WrapKey(SESSION, "rsapkcs", KEY, 4), () -> Floor.WrapKey(SESSION, "rsapkcs", KEY, 4)));
        list.add(new Case("UnwrapKey", "344 chars in", Floor.UNWRAP_KEY, 256,
                () -> JVarnel.UnwrapKey(SESSION, wrapped, KEY, "rsapkcs"),
                () -> Floor.UnwrapKey(SESSION, wrapped, KEY, "rsapkcs")));
        return list;
    }

    /** Checks a case's answer and gives its floor the same strings. */
    static void prepare(Case c) {
        switch (c.id) {
            case Floor.GET_VERSION:
                prepare(c, new String[] {"0", System.getProperty("varnel.version")}, 2, -1);
                break;
            case Floor.GET_SLOT_LIST: {
                String[] expected = new String[SLOTS + 1];
                expected[0] = "0";
                for (int i = 0; i < SLOTS; ++i) expected[i + 1] = slotText(i);
                prepare(c, expected, SLOTS + 1, -1);
                break;
            }
            case Floor.GET_TOKEN_INFO:
                prepare(c, new String[] {"0", String.format("%-32s", "varnel-bench")}, 19, -1);
                break;
            case Floor.OPEN_SESSION:
                prepare(c, new String[] {"0", "1"}, 2, -1);
                break;
            case Floor.FIND_OBJECTS: {
                String[] expected = new String[FOUND + 1];
                expected[0] = "0";
                for (int i = 0; i < FOUND; ++i) expected[i + 1] = Integer.toString(2 + i);
                prepare(c, expected, FOUND + 1, -1);
                break;
            }
            case Floor.GET_ATTRIBUTE_VALUE:
                prepare(c, new String[] {"0"}, 2, 344);
                break;
            case Floor.GENERATE_KEY_PAIR:
                prepare(c, new String[] {"0", "2", "3"}, 3, -1);
                break;
            case Floor.GENERATE_KEY:
                prepare(c, new String[] {"0", "4"}, 2, -1);
                break;
            case Floor.SIGN:
            case Floor.ENCRYPT:
            case Floor.WRAP_KEY:
                prepare(c, new String[] {"0"}, 2, 344);
                break;
            case Floor.DECRYPT:
                prepare(c, new String[] {"0"}, 2, 328);
                break;
            case Floor.UNWRAP_KEY:
                prepare(c, new String[] {"0", "5"}, 2, -1);
                break;
            default:
                prepare(c, new String[] {"0"}, 1, -1);
        }
    }

    static String fields(Result r) {
        return r.varnel.fields() + "\t" + r.nul.fields() + "\t" + r.floor.fields() + "\t" + r.ratio.fields() + "\t"
                + r.nullRatio.fields() + "\t" + r.mock.fields() + "\t" + r.net.fields();
    }

    // varnel: the method against the mock; null: against the null driver;
    // ratio = varnel / floor; null_ratio = null / floor; mock: the mock's own
    // entry points alone; net_ratio = (varnel - mock) / floor.
    static final String[] RESULT_HEADER = {"varnel_ns", "varnel_min", "varnel_max", "null_ns", "null_min",
        "null_max", "floor_ns", "floor_min", "floor_max", "ratio", "ratio_min", "ratio_max", "null_ratio",
        "null_ratio_min", "null_ratio_max", "mock_ns", "mock_min", "mock_max", "net_ratio", "net_ratio_min",
        "net_ratio_max"};

    static String[] header(String... first) {
        String[] h = Arrays.copyOf(first, first.length + RESULT_HEADER.length);
        System.arraycopy(RESULT_HEADER, 0, h, first.length, RESULT_HEADER.length);
        return h;
    }

    /** The methods one by one, against their floors. */
    static void frames(String arch, Path out) throws IOException {
        try (Stats.Table table = new Stats.Table(out.resolve("frame.tsv"),
                header("arch", "method", "input", "batch", "trials"))) {
            List<Case> all = cases();
            if (only != null) {
                List<Case> chosen = new ArrayList<>();
                for (String name : only.split(","))
                    for (Case c : all)
                        if (c.name.equals(name)) chosen.add(c);
                all = chosen;
            }
            // Every case first runs a while, so that the timing loop is
            // compiled once for all of them before anything is timed.
            for (Case c : all) prepare(c);
            for (int round = 0; round < 3; ++round) {
                for (Case c : all) {
                    useMock();
                    time(c.varnel, 300);
                    useNull();
                    time(c.varnel, 300);
                    time(c.floor, 300);
                }
            }
            for (Case c : all) {
                prepare(c);
                Result r = measure(c, trials, true);
                table.row(arch, c.name, c.input, r.batch, trials, fields(r));
                System.out.printf("%-18s mock %8.1f ns  null %8.1f ns  floor %8.1f ns  ratio %.3f [%.3f-%.3f]"
                        + "  null ratio %.3f [%.3f-%.3f]  mock alone %7.1f ns%n", c.name, r.varnel.median(),
                        r.nul.median(), r.floor.median(), r.ratio.median(), r.ratio.min(), r.ratio.max(),
                        r.nullRatio.median(), r.nullRatio.min(), r.nullRatio.max(), r.mock.median());
            }
        }
    }

    /** One point of a growth series: its case, and what sets the drivers up for it. */
    static final class Point {
        final String series;
        final int x;
        final Case c;
        final int slots;
        final int found;
        final String[] expectedPrefix;
        final int expectedLength;
        final int lastLength;
        Result result;

        Point(String series, int x, Case c, int slots, int found, String[] expectedPrefix, int expectedLength,
                int lastLength) {
            this.series = series;
            this.x = x;
            this.c = c;
            this.slots = slots;
            this.found = found;
            this.expectedPrefix = expectedPrefix;
            this.expectedLength = expectedLength;
            this.lastLength = lastLength;
        }
    }

    static String[] listing(int n, boolean slots) {
        String[] expected = new String[n + 1];
        expected[0] = "0";
        for (int i = 0; i < n; ++i) expected[i + 1] = slots ? slotText(i) : Integer.toString(2 + i);
        return expected;
    }

    /**
     * Sign and Decrypt against input size, FindObjects and GetSlotList against
     * count. The points are measured in several passes over the whole series,
     * so that a burst of load elsewhere on the machine spoils a few trials of
     * many points rather than every trial of one.
     */
    static void growth(String arch, Path out) throws IOException {
        List<Point> points = new ArrayList<>();
        for (int n = 0; n <= 8192; n += 512) {
            final byte[] data = bytes(n, 3);
            final int length = n;
            points.add(new Point("Sign input bytes", n, new Case("Sign", "", Floor.SIGN, n,
                    () -> JVarnel.Sign(SESSION, data, length), () -> Floor.Sign(SESSION, data, length)),
                    SLOTS, FOUND, new String[] {"0"}, 2, 344));
        }
        for (int chars = 0; chars <= 10000; chars += 500) {
            final byte[] text = Base64.getEncoder().encode(bytes(chars / 4 * 3, 4));
            Stats.check(text.length == chars, "Base64 length");
            points.add(new Point("Decrypt input chars", chars, new Case("Decrypt", "", Floor.DECRYPT, chars / 4 * 3,
                    () -> JVarnel.Decrypt(SESSION, text, text.length),
                    () -> Floor.Decrypt(SESSION, text, text.length)), SLOTS, FOUND, new String[] {"0"}, 2, 328));
        }
        int[] counts = {1, 5, 10, 20, 30, 40, 50, 60, 70, 80, 90, 100};
        for (int found : counts)
            points.add(new Point("FindObjects handles", found, new Case("FindObjects", "", Floor.FIND_OBJECTS, 0,
                    () -> JVarnel.FindObjects(SESSION), () -> Floor.FindObjects(SESSION)), SLOTS, found,
                    listing(found, false), found + 1, -1));
        for (int slots : counts) {
            final int listed = Math.min(slots, 99);  // the library lists at most 99 slots
            points.add(new Point("GetSlotList slots", listed, new Case("GetSlotList", "", Floor.GET_SLOT_LIST, 0,
                    () -> JVarnel.GetSlotList(1), () -> Floor.GetSlotList(1)), listed, FOUND,
                    listing(listed, true), listed + 1, -1));
        }
        for (int pass = 0; pass < growthPasses; ++pass) {
            for (Point p : points) {
                configureDrivers(p.slots, p.found);
                prepare(p.c, p.expectedPrefix, p.expectedLength, p.lastLength);
                p.result = measure(p.c, growthTrials, true, p.result);
            }
        }
        configureDrivers(SLOTS, FOUND);
        try (Stats.Table table = new Stats.Table(out.resolve("growth.tsv"),
                header("arch", "series", "x", "batch", "trials"))) {
            for (Point p : points)
                table.row(arch, p.series, p.x, p.result.batch, p.result.varnel.size(), fields(p.result));
        }
    }

    /** LoadDriver: repeated on the loaded mock, and on fresh copies of it. */
    static void loadDriver(String arch, Path tmp, Path out) throws IOException {
        Case c = new Case("LoadDriver", "", Floor.LOAD_DRIVER, 0, () -> JVarnel.LoadDriver(mockPath),
                () -> Floor.LoadDriver(mockPath));
        prepare(c);
        Result warm = measure(c, trials, false);
        Stats.Sample coldVarnel = new Stats.Sample();
        Stats.Sample coldFloor = new Stats.Sample();
        Stats.Sample coldRatio = new Stats.Sample();
        byte[] module = Files.readAllBytes(Paths.get(mockPath));
        for (int i = 0; i < coldLoads; ++i) {
            Path forVarnel = tmp.resolve("mock-varnel-" + i + ".so");
            Path forFloor = tmp.resolve("mock-floor-" + i + ".so");
            Files.write(forVarnel, module);
            Files.write(forFloor, module);
            String varnelPath = forVarnel.toString();
            String floorPath = forFloor.toString();
            long v;
            long f;
            String a;
            String b;
            if (i % 2 == 0) {
                long t0 = System.nanoTime();
                a = JVarnel.LoadDriver(varnelPath);
                long t1 = System.nanoTime();
                b = Floor.LoadDriver(floorPath);
                long t2 = System.nanoTime();
                v = t1 - t0;
                f = t2 - t1;
            } else {
                long t0 = System.nanoTime();
                b = Floor.LoadDriver(floorPath);
                long t1 = System.nanoTime();
                a = JVarnel.LoadDriver(varnelPath);
                long t2 = System.nanoTime();
                f = t1 - t0;
                v = t2 - t1;
            }
            Stats.check("0".equals(a) && "0".equals(b), "a fresh copy of the mock did not load: " + a + " " + b);
            coldVarnel.add(v / 1000.0);
            coldFloor.add(f / 1000.0);
            coldRatio.add((double) v / f);
        }
        Stats.check("0".equals(JVarnel.LoadDriver(mockPath)), "the mock did not load again");
        try (Stats.Table table = new Stats.Table(out.resolve("loaddriver.tsv"), "arch", "kind", "samples",
                "varnel_us", "varnel_us_min", "varnel_us_max", "floor_us", "floor_us_min", "floor_us_max", "ratio",
                "ratio_min", "ratio_max")) {
            table.row(arch, "already loaded", trials, Stats.num(warm.varnel.median() / 1000) + "\t"
                    + Stats.num(warm.varnel.min() / 1000) + "\t" + Stats.num(warm.varnel.max() / 1000) + "\t"
                    + Stats.num(warm.floor.median() / 1000) + "\t" + Stats.num(warm.floor.min() / 1000) + "\t"
                    + Stats.num(warm.floor.max() / 1000) + "\t" + warm.ratio.fields());
            table.row(arch, "fresh file", coldLoads, coldVarnel.fields() + "\t" + coldFloor.fields() + "\t"
                    + coldRatio.fields());
            System.out.printf("LoadDriver loaded: varnel %.2f us  floor %.2f us; fresh: varnel %.1f us  floor %.1f us%n",
                    warm.varnel.median() / 1000, warm.floor.median() / 1000, coldVarnel.median(),
                    coldFloor.median());
        }
    }

    public static void main(String[] args) throws Exception {
        String arch = null;
        Path out = null;
        Path tmp = null;
        for (int i = 0; i + 1 < args.length; i += 2) {
            switch (args[i]) {
                case "--arch": arch = args[i + 1]; break;
                case "--mock": mockPath = args[i + 1]; break;
                case "--null": nullPath = args[i + 1]; break;
                case "--out": out = Paths.get(args[i + 1]); break;
                case "--tmp": tmp = Paths.get(args[i + 1]); break;
                case "--trials": trials = Integer.parseInt(args[i + 1]); break;
                case "--batch-ms": batchNs = (long) (Double.parseDouble(args[i + 1]) * 1e6); break;
                case "--warmup-ms": warmupNs = (long) (Double.parseDouble(args[i + 1]) * 1e6); break;
                case "--growth-trials": growthTrials = Integer.parseInt(args[i + 1]); break;
                case "--growth-passes": growthPasses = Integer.parseInt(args[i + 1]); break;
                case "--cold": coldLoads = Integer.parseInt(args[i + 1]); break;
                case "--only": only = args[i + 1]; skipRest = true; break;
                default: throw new IllegalArgumentException("unknown option " + args[i]);
            }
        }
        if (arch == null || mockPath == null || nullPath == null || out == null || tmp == null)
            throw new IllegalArgumentException("--arch, --mock, --null, --out and --tmp are required");
        Files.createDirectories(out);
        long started = System.nanoTime();
        Stats.check("0".equals(JVarnel.LoadDriver(mockPath)), "LoadDriver(" + mockPath + ") failed");
        Stats.check(Floor.mockOpen(mockPath), "the floor cannot bind the mock module");
        configureDrivers(SLOTS, FOUND);
        frames(arch, out);
        if (!skipRest) {
            growth(arch, out);
            loadDriver(arch, tmp, out);
        }
        System.out.printf("frame benchmark %s: %.0f s (sink %d)%n", arch, (System.nanoTime() - started) / 1e9, sink);
    }
}
