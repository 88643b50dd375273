package ka.tovik.selvo.jvarnel.bench;

import java.lang.invoke.MethodHandle;
import java.lang.invoke.MethodHandles;
import java.lang.invoke.MethodType;
import java.lang.reflect.Method;
import java.net.URL;
import java.net.URLClassLoader;
import java.nio.charset.StandardCharsets;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Locale;

import ka.tovik.selvo.jvarnel.JVarnel;

/**
 * Every native method's time beside its floor's: the same JNI calls and
 * nothing else (bench/native/floor.cpp, made from tests/unit/method_table.h).
 * The floor is bound to a second copy of JVarnel, loaded by a class loader of
 * its own, and takes its methods and their arguments from the floor library's
 * table; every method runs against the null driver. With {@code --plain}, the
 * same sources built without the exploit mitigations run as a third side, in
 * a third copy. Each trial times a batch of every side, in rotating order.
 *
 * <p>Arguments: {@code --null DRIVER --floor LIB [--plain LIB] --out DIR [--trials N]
 * [--batch-ms X] [--warmup-ms X]}.
 */
public final class FrameBench {
    private FrameBench() {
    }

    /** These classes again, their JVarnel bound to {@code library}. */
    static final class Bound extends URLClassLoader {
        private final String library;

        Bound(String library) {
            super(new URL[] {FrameBench.class.getProtectionDomain().getCodeSource().getLocation()},
                    ClassLoader.getPlatformClassLoader());
            this.library = Paths.get(library).toAbsolutePath().toString();
        }

        @Override
        protected String findLibrary(String name) {
            return "Varnel".equals(name) ? library : null;
        }

        Class<?> varnel() throws ClassNotFoundException {
            return Class.forName(JVarnel.class.getName(), true, this);
        }
    }

    static Method declared(Class<?> varnel, String name) {
        for (Method m : varnel.getMethods())
            if (m.getName().equals(name)) return m;
        throw new IllegalArgumentException("JVarnel has no method " + name);
    }

    /** A table row's texts as the Java values the method takes. */
    static Object[] values(Class<?>[] types, String[] row) {
        Object[] values = new Object[types.length];
        for (int i = 0; i < types.length; ++i) {
            String text = row[i + 1];
            values[i] = types[i] == int.class ? (Object) Integer.parseInt(text)
                    : types[i] == long.class ? (Object) Long.parseLong(text)
                    : types[i] == byte[].class ? text.getBytes(StandardCharsets.ISO_8859_1) : text;
        }
        return values;
    }

    static Stats.Call bind(Class<?> varnel, String name, Object[] values) throws IllegalAccessException {
        MethodHandle h = MethodHandles.insertArguments(MethodHandles.publicLookup().unreflect(declared(varnel, name)),
                0, values).asType(MethodType.methodType(Object.class));
        return () -> (Object) h.invokeExact();
    }

    public static void main(String[] args) throws Throwable {
        String nullDriver = null;
        String floorLibrary = null;
        String plainLibrary = null;
        Path out = null;
        int trials = 61;
        double batchNs = 500_000;
        double warmupNs = 50_000_000;
        for (int i = 0; i + 1 < args.length; i += 2) {
            String v = args[i + 1];
            switch (args[i]) {
                case "--null": nullDriver = v; break;
                case "--floor": floorLibrary = v; break;
                case "--plain": plainLibrary = v; break;
                case "--out": out = Paths.get(v); break;
                case "--trials": trials = Integer.parseInt(v); break;
                case "--batch-ms": batchNs = Double.parseDouble(v) * 1e6; break;
                case "--warmup-ms": warmupNs = Double.parseDouble(v) * 1e6; break;
                default: throw new IllegalArgumentException("unknown option " + args[i]);
            }
        }
        if (nullDriver == null || floorLibrary == null || out == null)
            throw new IllegalArgumentException("--null, --floor and --out are required");
        Bound floor = new Bound(floorLibrary);
        List<Class<?>> sides = new ArrayList<>(List.of(JVarnel.class, floor.varnel()));
        if (plainLibrary != null) sides.add(new Bound(plainLibrary).varnel());
        Class<?> table = Class.forName(FloorTable.class.getName(), true, floor);
        MethodHandle row = MethodHandles.publicLookup().findStatic(table, "row",
                MethodType.methodType(String[].class, int.class));
        MethodHandle answer = MethodHandles.publicLookup().findStatic(table, "answer",
                MethodType.methodType(void.class, int.class, String[].class));

        // Every method's sides, each answer checked; then all of them run a
        // while, so that the timing loop is compiled once for all.
        for (Class<?> side : sides)  // the floor needs no driver
            if (side != sides.get(1)) Stats.ok(bind(side, "LoadDriver", new Object[] {nullDriver}).call(), "LoadDriver");
        List<String> names = new ArrayList<>();
        List<List<Stats.Way>> cases = new ArrayList<>();
        for (int m = 0;; ++m) {
            String[] texts = (String[]) row.invokeExact(m);
            if (texts == null) break;
            String name = texts[0];
            if (name.equals("LoadDriver")) texts[1] = nullDriver;
            Object[] values = values(declared(JVarnel.class, name).getParameterTypes(), texts);
            List<Stats.Way> ways = new ArrayList<>();
            String[] expected = null;
            for (Class<?> side : sides) {
                Stats.Call call = bind(side, name, values);
                if (expected == null) answer.invokeExact(m, expected = Stats.ok(call.call(), name));
                Stats.check(Arrays.equals(expected, Stats.texts(call.call())), name + ": the sides answer differently");
                ways.add(Stats.loop(call));
            }
            names.add(name);
            cases.add(ways);
        }
        for (List<Stats.Way> ways : cases)
            for (Stats.Way way : ways) way.run(2000);

        boolean plain = plainLibrary != null;
        List<String> tsv = new ArrayList<>(List.of("method\tvarnel_ns\tfloor_ns\tratio\tratio_min\tratio_max"
                + (plain ? "\tplain_ns\thardened_over_plain" : "")));
        List<String> md = new ArrayList<>(List.of("| method | Varnel ns | floor ns | Varnel / floor |"
                + (plain ? " hardened / plain |" : ""), "|---|---|---|---|" + (plain ? "---|" : "")));
        Stats.Sample hardening = new Stats.Sample();
        for (int m = 0; m < names.size(); ++m) {
            Stats.Sample[][] r = Stats.compare(cases.get(m), trials, batchNs, warmupNs);
            Stats.Sample ratio = r[1][1];  // method / floor
            String line = String.format(Locale.ROOT, "%s\t%.1f\t%.1f\t%.4f\t%.4f\t%.4f", names.get(m),
                    r[0][0].median(), r[0][1].median(), ratio.median(), ratio.at(0), ratio.at(1));
            String cells = String.format(Locale.ROOT, "| %s | %.0f | %.0f | %s |", names.get(m), r[0][0].median(),
                    r[0][1].median(), ratio.spread("%.2f"));
            if (plain) {
                line += String.format(Locale.ROOT, "\t%.1f\t%.4f", r[0][2].median(), r[1][2].median());
                cells += String.format(Locale.ROOT, " %.3f |", r[1][2].median());
                hardening.add(r[1][2].median());
            }
            tsv.add(line);
            md.add(cells);
            System.out.println(cells);
        }
        if (plain)
            md.add(String.format(Locale.ROOT, "%nHardened / plain, the median of the %d methods' medians: %.3f "
                    + "(from %.3f to %.3f).", names.size(), hardening.median(), hardening.at(0), hardening.at(1)));
        Stats.write(out.resolve("frame.tsv"), tsv);
        Stats.write(out.resolve("frame.md"), md);
        System.out.println("frame benchmark done (sink " + (Stats.sink & 1) + ")");
    }
}
