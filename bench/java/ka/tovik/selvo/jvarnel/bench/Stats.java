package ka.tovik.selvo.jvarnel.bench;

import java.io.IOException;
import java.io.PrintWriter;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Locale;

/** Samples and their summary, and the tab-separated result files. */
final class Stats {
    private Stats() {
    }

    /** A set of measurements of one quantity. */
    static final class Sample {
        private final List<Double> values = new ArrayList<>();

        void add(double value) {
            values.add(value);
        }

        int size() {
            return values.size();
        }

        private double[] sorted() {
            double[] v = values.stream().mapToDouble(Double::doubleValue).toArray();
            Arrays.sort(v);
            return v;
        }

        double median() {
            double[] v = sorted();
            if (v.length == 0) return Double.NaN;
            int h = v.length / 2;
            return v.length % 2 == 1 ? v[h] : (v[h - 1] + v[h]) / 2;
        }

        double min() {
            double[] v = sorted();
            return v.length == 0 ? Double.NaN : v[0];
        }

        double max() {
            double[] v = sorted();
            return v.length == 0 ? Double.NaN : v[v.length - 1];
        }

        /** median, min, max as three tab-separated fields. */
        String fields() {
            return num(median()) + "\t" + num(min()) + "\t" + num(max());
        }
    }

    static String num(double value) {
        return String.format(Locale.ROOT, "%.6g", value);
    }

    /** Writes a header and rows to a tab-separated file. */
    static final class Table implements AutoCloseable {
        private final PrintWriter out;

        Table(Path path, String... header) throws IOException {
            Files.createDirectories(path.toAbsolutePath().getParent());
            out = new PrintWriter(Files.newBufferedWriter(path, StandardCharsets.UTF_8));
            out.println(String.join("\t", header));
        }

        void row(Object... fields) {
            StringBuilder line = new StringBuilder();
            for (int i = 0; i < fields.length; ++i) {
                if (i > 0) line.append('\t');
                Object f = fields[i];
                line.append(f instanceof Double ? num((Double) f) : String.valueOf(f));
            }
            out.println(line);
            out.flush();
        }

        @Override
        public void close() {
            out.close();
        }
    }

    /** A failed check: the benchmark stops rather than time a wrong answer. */
    static final class CheckFailed extends RuntimeException {
        private static final long serialVersionUID = 1L;

        CheckFailed(String message) {
            super(message);
        }
    }

    static void check(boolean condition, String what) {
        if (!condition) throw new CheckFailed(what);
    }
}
