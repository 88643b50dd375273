package ka.tovik.selvo.jvarnel.bench;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Locale;

/** What the benchmarks share: timing ways side by side, samples, checks and the result files. */
final class Stats {
    private Stats() {
    }

    /** One call, its answer handed back. */
    interface Call {
        Object call() throws Throwable;
    }

    /** {@code n} operations one way; answers the nanoseconds they took. */
    interface Way {
        long run(int n) throws Throwable;
    }

    /** What the JIT must not drop: every answer feeds this. */
    static long sink;

    static Way loop(Call call) {
        return n -> {
            long start = System.nanoTime();
            for (int i = 0; i < n; ++i) {
                Object answer = call.call();
                sink += answer instanceof Object[] ? ((Object[]) answer).length
                        : answer instanceof byte[] ? ((byte[]) answer).length : answer == null ? -1_000_000 : 1;
            }
            return System.nanoTime() - start;
        };
    }

    /** Measurements of one quantity. */
    static final class Sample {
        private final List<Double> values = new ArrayList<>();

        void add(double value) {
            values.add(value);
        }

        /** The value a fraction of the way from the smallest to the largest. */
        double at(double fraction) {
            double[] v = values.stream().mapToDouble(Double::doubleValue).sorted().toArray();
            return v[(int) Math.round(fraction * (v.length - 1))];
        }

        double median() {
            return at(0.5);
        }

        /** "median [smallest–largest]" */
        String spread(String format) {
            return String.format(Locale.ROOT, format + " [" + format + "–" + format + "]", median(), at(0), at(1));
        }
    }

    /**
     * Times the ways side by side: a warm-up, then per trial a batch of each
     * in rotating order, the batch sized to {@code batchNs} of the first way.
     * Answers, per way, its nanoseconds per operation and the per-trial
     * ratios of the first way's time to its own.
     */
    static Sample[][] compare(List<Way> ways, int trials, double batchNs, double warmupNs) throws Throwable {
        final int count = ways.size();
        long spent = 0;
        long first = 0;
        int done = 0;
        for (int round = 0; spent < warmupNs || round < 2; ++round, done += 4) {
            for (int k = 0; k < count; ++k) {
                long ns = ways.get(k).run(4);
                spent += ns;
                if (k == 0) first += ns;
            }
        }
        int n = (int) Math.max(3, Math.min(1_000_000, batchNs / Math.max(1.0, (double) first / done)));
        Sample[] ns = new Sample[count];
        Sample[] ratios = new Sample[count];
        for (int k = 0; k < count; ++k) {
            ns[k] = new Sample();
            ratios[k] = new Sample();
        }
        long[] times = new long[count];
        for (int t = 0; t < trials; ++t) {
            for (int k = 0; k < count; ++k) times[(t + k) % count] = ways.get((t + k) % count).run(n);
            for (int k = 0; k < count; ++k) {
                ns[k].add((double) times[k] / n);
                ratios[k].add((double) times[0] / times[k]);
            }
        }
        return new Sample[][] {ns, ratios};
    }

    static String[] texts(Object answer) {
        return answer instanceof String[] ? (String[]) answer : new String[] {String.valueOf(answer)};
    }

    /** A failed check: the benchmark stops rather than time a wrong answer. */
    static void check(boolean condition, String what) {
        if (!condition) throw new IllegalStateException(what);
    }

    static String[] ok(Object answer, String what) {
        String[] texts = texts(answer);
        check("0".equals(texts[0]), what + " answered " + Arrays.toString(texts));
        return texts;
    }

    /** Writes a result file: lines joined by newlines. */
    static void write(Path file, List<String> lines) throws IOException {
        Files.createDirectories(file.toAbsolutePath().getParent());
        Files.write(file, lines, StandardCharsets.UTF_8);
    }
}
