package ka.tovik.selvo.jvarnel.bench;

import java.io.IOException;
import java.net.URL;
import java.net.URLClassLoader;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Locale;
import java.util.function.Supplier;

/**
 * What the exploit mitigations cost, method by method: the hardened library
 * and the same sources built without the mitigations run side by side in one
 * JVM. Each is given to a JVarnel of its own, loaded by a class loader of its
 * own whose {@code findLibrary} names that library; both drive the null
 * driver with FrameBench's inputs. Every trial times a batch through each, in
 * rotating order; a method's figure is the median of the per-trial ratios
 * hardened / plain, with the smallest and largest. With {@code --control}, a
 * copy of the plain library runs as a third side: its ratio to the plain one,
 * the same code at another address, shows how far apart two equal libraries
 * come out.
 *
 * <p>Arguments: {@code --hardened LIB --plain LIB [--control LIB] --null DRIVER
 * --classes DIR --out FILE [--trials N] [--batch-ms X] [--warmup-ms X] [--goal R]}.
 */
public final class HardeningBench {
    private HardeningBench() {
    }

    /** Gives the classes in {@code classes} a JVarnel bound to {@code library}. */
    static final class VariantLoader extends URLClassLoader {
        private final String library;

        VariantLoader(URL classes, String library) {
            // Not the application loader: that one would hand out its own JVarnel.
            super(new URL[] {classes}, ClassLoader.getPlatformClassLoader());
            this.library = Paths.get(library).toAbsolutePath().toString();
        }

        @Override
        protected String findLibrary(String name) {
            return "Varnel".equals(name) ? library : null;
        }
    }

    /** Runs inside a variant's loader: its cases, as JDK types only. */
    public static final class Variant {
        private Variant() {
        }

        /** {name, input, Supplier} per method, the driver loaded and initialised. */
        public static List<Object[]> calls(String driver) {
            Stats.check("0".equals(ka.tovik.selvo.jvarnel.JVarnel.LoadDriver(driver)), "LoadDriver(" + driver + ")");
            List<Object[]> calls = new ArrayList<>();
            for (FrameBench.Case c : FrameBench.cases()) {
                Supplier<Object> call = c.varnel::call;
                calls.add(new Object[] {c.name, c.input, call});
            }
            return calls;
        }
    }

    static long sink;

    static long time(Supplier<Object> call, int n) {
        long start = System.nanoTime();
        for (int i = 0; i < n; ++i) {
            Object answer = call.get();
            sink += answer instanceof String[] ? ((String[]) answer).length : String.valueOf(answer).length();
        }
        return System.nanoTime() - start;
    }

    static String[] texts(Object answer) {
        return answer instanceof String[] ? (String[]) answer : new String[] {String.valueOf(answer)};
    }

    @SuppressWarnings("unchecked")
    static List<Object[]> load(URL classes, String library, String driver) throws ReflectiveOperationException {
        ClassLoader loader = new VariantLoader(classes, library);
        Class<?> variant = Class.forName(Variant.class.getName(), true, loader);
        return (List<Object[]>) variant.getMethod("calls", String.class).invoke(null, driver);
    }

    public static void main(String[] args) throws IOException, ReflectiveOperationException {
        String hardenedLib = null;
        String plainLib = null;
        String controlLib = null;
        String driver = null;
        Path classes = null;
        Path out = null;
        int trials = 201;
        long batchNs = 1_000_000;
        long warmupNs = 100_000_000;
        double goal = 1.03;
        for (int i = 0; i + 1 < args.length; i += 2) {
            String v = args[i + 1];
            switch (args[i]) {
                case "--hardened": hardenedLib = v; break;
                case "--plain": plainLib = v; break;
                case "--control": controlLib = v; break;
                case "--null": driver = v; break;
                case "--classes": classes = Paths.get(v); break;
                case "--out": out = Paths.get(v); break;
                case "--trials": trials = Integer.parseInt(v); break;
                case "--batch-ms": batchNs = (long) (Double.parseDouble(v) * 1e6); break;
                case "--warmup-ms": warmupNs = (long) (Double.parseDouble(v) * 1e6); break;
                case "--goal": goal = Double.parseDouble(v); break;
                default: throw new IllegalArgumentException("unknown argument " + args[i]);
            }
        }
        if (hardenedLib == null || plainLib == null || driver == null || classes == null || out == null)
            throw new IllegalArgumentException("needs --hardened, --plain, --null, --classes and --out");
        URL classUrl = classes.toUri().toURL();
        List<Object[]> hardened = load(classUrl, hardenedLib, driver);
        List<Object[]> plain = load(classUrl, plainLib, driver);
        List<Object[]> control = controlLib == null ? null : load(classUrl, controlLib, driver);
        Stats.check(hardened.size() == plain.size() && (control == null || control.size() == plain.size()),
                "the variants have different cases");
        final int sides = control == null ? 2 : 3;

        int over = 0;
        try (Stats.Table table = new Stats.Table(out, "method", "input", "hardened_ns", "plain_ns", "ratio_median",
                "ratio_min", "ratio_max", "control_ratio_median", "trials")) {
            for (int m = 0; m < hardened.size(); ++m) {
                String name = (String) hardened.get(m)[0];
                String input = (String) hardened.get(m)[1];
                @SuppressWarnings("unchecked")
                Supplier<Object> h = (Supplier<Object>) hardened.get(m)[2];
                @SuppressWarnings("unchecked")
                Supplier<Object> p = (Supplier<Object>) plain.get(m)[2];
                @SuppressWarnings("unchecked")
                Supplier<Object> c = control == null ? p : (Supplier<Object>) control.get(m)[2];
                List<Supplier<Object>> side = List.of(h, p, c);
                String[] answer = texts(h.get());
                Stats.check("0".equals(answer[0]), name + " answered " + Arrays.toString(answer));
                Stats.check(Arrays.equals(answer, texts(p.get())) && Arrays.equals(answer, texts(c.get())),
                        name + ": the variants answer differently");

                long spent = 0;
                long calls = 0;
                while (spent < warmupNs || calls < 1000) {
                    for (int k = 0; k < sides; ++k) spent += time(side.get(k), 100);
                    calls += 100 * sides;
                }
                int batch = (int) Math.max(20, Math.min(1_000_000, batchNs / Math.max(1.0, (double) spent / calls)));
                Stats.Sample hNs = new Stats.Sample();
                Stats.Sample pNs = new Stats.Sample();
                Stats.Sample ratio = new Stats.Sample();
                Stats.Sample controlRatio = new Stats.Sample();
                long[] ns = new long[3];
                for (int t = 0; t < trials; ++t) {
                    for (int k = 0; k < sides; ++k) {
                        int s = (t + k) % sides;
                        ns[s] = time(side.get(s), batch);
                    }
                    hNs.add((double) ns[0] / batch);
                    pNs.add((double) ns[1] / batch);
                    ratio.add((double) ns[0] / ns[1]);
                    if (sides == 3) controlRatio.add((double) ns[2] / ns[1]);
                }
                table.row(name, input, hNs.median(), pNs.median(), ratio.median(), ratio.min(), ratio.max(),
                        controlRatio.median(), trials);
                boolean tooSlow = ratio.median() > goal;
                if (tooSlow) ++over;
                System.out.printf(Locale.ROOT, "%-18s %-24s %9.1f ns %9.1f ns  %s%.3f [%.3f-%.3f]%s%s%n", name, input,
                        hNs.median(), pNs.median(), tooSlow ? "**" : "", ratio.median(), ratio.min(), ratio.max(),
                        tooSlow ? "**" : "",
                        sides == 3 ? String.format(Locale.ROOT, "  control %.3f", controlRatio.median()) : "");
            }
        }
        System.out.printf(Locale.ROOT, "hardened / plain: %d of %d methods over %.2f (sink %d)%n", over,
                hardened.size(), goal, sink & 1);
        if (over > 0) System.exit(1);
    }
}
