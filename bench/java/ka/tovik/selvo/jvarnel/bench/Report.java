package ka.tovik.selvo.jvarnel.bench;

import java.io.IOException;
import java.io.PrintWriter;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.HashMap;
import java.util.LinkedHashMap;
import java.util.LinkedHashSet;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import java.util.Set;

/**
 * Turns the result files of one run (build/bench/&lt;arch&gt;/*.tsv) into the
 * report: bench/results/bench.md (Markdown), bench.csv (every figure, long
 * form) and the data the growth plot is drawn from.
 *
 * <p>Arguments: {@code RUN_DIR RESULTS_DIR ARCH...}.
 */
public final class Report {
    private Report() {
    }

    /** A tab-separated file read by column name. */
    static final class Tsv {
        final List<Map<String, String>> rows = new ArrayList<>();

        Tsv(Path path) throws IOException {
            if (!Files.exists(path)) return;
            List<String> lines = Files.readAllLines(path, StandardCharsets.UTF_8);
            if (lines.isEmpty()) return;
            String[] header = lines.get(0).split("\t", -1);
            for (String line : lines.subList(1, lines.size())) {
                if (line.isEmpty()) continue;
                String[] fields = line.split("\t", -1);
                Map<String, String> row = new HashMap<>();
                for (int i = 0; i < header.length && i < fields.length; ++i) row.put(header[i], fields[i]);
                rows.add(row);
            }
        }
    }

    static double d(Map<String, String> row, String column) {
        String v = row.get(column);
        return v == null || v.isEmpty() ? Double.NaN : Double.parseDouble(v);
    }

    static String f(double v, int decimals) {
        if (Double.isNaN(v)) return "n/a";
        return String.format(Locale.ROOT, "%." + decimals + "f", v);
    }

    /** "median [min–max]" */
    static String spread(Map<String, String> row, String column, int decimals) {
        return f(d(row, column), decimals) + " [" + f(d(row, column + "_min"), decimals) + "–"
                + f(d(row, column + "_max"), decimals) + "]";
    }

    static String spreadOf(Map<String, String> row, int decimals) {
        return f(d(row, "median"), decimals) + " [" + f(d(row, "min"), decimals) + "–" + f(d(row, "max"), decimals)
                + "]";
    }

    /** How each architecture's JVM ran ("native", or under which emulator), from how.txt. */
    static final Map<String, String> how = new HashMap<>();

    static String titled(String arch) {
        String h = how.getOrDefault(arch, "");
        return h.isEmpty() ? arch : arch + " (" + h + ")";
    }
    static final double DIRECT_GOAL = 0.98;
    static final double SUN_GOAL = 1.0;
    static final double LINEAR_TOLERANCE = 0.10;

    public static void main(String[] args) throws IOException {
        Path run = Paths.get(args[0]);
        Path results = Paths.get(args[1]);
        List<String> arches = new ArrayList<>();
        for (int i = 2; i < args.length; ++i) arches.add(args[i]);
        Files.createDirectories(results);

        Map<String, Tsv> frame = new LinkedHashMap<>();
        Map<String, Tsv> growth = new LinkedHashMap<>();
        Map<String, Tsv> load = new LinkedHashMap<>();
        Map<String, Tsv> real = new LinkedHashMap<>();
        Map<String, Tsv> heap = new LinkedHashMap<>();
        Map<String, Tsv> hot = new LinkedHashMap<>();
        Map<String, Tsv> peers = new LinkedHashMap<>();
        for (String arch : arches) {
            Path howFile = run.resolve(arch).resolve("how.txt");
            if (Files.exists(howFile)) how.put(arch, Files.readString(howFile, StandardCharsets.UTF_8).trim());
            peers.put(arch, new Tsv(run.resolve(arch).resolve("peers.tsv")));
            hot.put(arch, new Tsv(run.resolve(arch).resolve("hotspots.tsv")));
            frame.put(arch, new Tsv(run.resolve(arch).resolve("frame.tsv")));
            growth.put(arch, new Tsv(run.resolve(arch).resolve("growth.tsv")));
            load.put(arch, new Tsv(run.resolve(arch).resolve("loaddriver.tsv")));
            real.put(arch, new Tsv(run.resolve(arch).resolve("real.tsv")));
            heap.put(arch, new Tsv(run.resolve(arch).resolve("heap.tsv")));
        }

        StringBuilder md = new StringBuilder();
        List<String> goals = new ArrayList<>();
        try (PrintWriter csv = new PrintWriter(Files.newBufferedWriter(results.resolve("bench.csv"),
                StandardCharsets.UTF_8))) {
            csv.println("arch,section,name,input,metric,median,min,max,unit");

            // ---- frame cost ----
            md.append("### Frame cost: method / floor (median [min–max] of the per-trial ratios)\n\n");
            md.append("The floor is a native method of the benchmark's own that makes exactly the JNI calls the "
                    + "method makes, and nothing else. *mock*: the method against the unit suite's mock driver "
                    + "with sticky answers, which logs every call it receives; *null driver*: against "
                    + "bench/native/null_driver.c, which only copies out the same answers. All three were timed "
                    + "in the same trials. Reported, not held to a goal: a token's own work dwarfs it.\n\n");
            for (String arch : arches)
                md.append("- ").append(arch).append(": the JVM ran ").append(how.getOrDefault(arch, "(not recorded)"))
                        .append(how.getOrDefault(arch, "").equals("native") ? "" : "; its times mean nothing, its "
                                + "ratios compare like with like").append(".\n");
            md.append('\n');
            md.append("| method | input |");
            for (String arch : arches) md.append(" ").append(titled(arch)).append(", mock | ").append(titled(arch))
                    .append(", null driver |");
            md.append(" ").append(arches.get(0)).append(" ns: mock / null driver / floor / mock alone |\n|---|---|");
            for (int i = 0; i < arches.size(); ++i) md.append("---|---|");
            md.append("---|\n");
            Set<String> methods = new LinkedHashSet<>();
            for (Tsv t : frame.values())
                for (Map<String, String> r : t.rows) methods.add(r.get("method"));
            for (String method : methods) {
                String input = "";
                StringBuilder cells = new StringBuilder();
                String absolute = "";
                for (String arch : arches) {
                    Map<String, String> r = find(frame.get(arch), "method", method);
                    if (r == null) {
                        cells.append(" n/a | n/a |");
                        continue;
                    }
                    input = r.get("input");
                    cells.append(" ").append(spread(r, "ratio", 2)).append(" | ").append(spread(r, "null_ratio", 2))
                            .append(" |");
                    if (arch.equals(arches.get(0)))
                        absolute = f(d(r, "varnel_ns"), 0) + " / " + f(d(r, "null_ns"), 0) + " / "
                                + f(d(r, "floor_ns"), 0) + " / " + f(d(r, "mock_ns"), 0);
                    for (String[] m : new String[][] {{"varnel_ns", "varnel_min", "varnel_max", "ns"},
                        {"null_ns", "null_min", "null_max", "ns"}, {"floor_ns", "floor_min", "floor_max", "ns"},
                        {"mock_ns", "mock_min", "mock_max", "ns"}, {"ratio", "ratio_min", "ratio_max", "x"},
                        {"null_ratio", "null_ratio_min", "null_ratio_max", "x"},
                        {"net_ratio", "net_ratio_min", "net_ratio_max", "x"}})
                        csv.println(String.join(",", arch, "frame", method, quote(input), m[0], r.get(m[0]),
                                r.get(m[1]), r.get(m[2]), m[3]));
                }
                md.append("| ").append(method).append(" | ").append(input).append(" |").append(cells).append(" ")
                        .append(absolute).append(" |\n");
            }
            md.append('\n');
            // ---- the library's own work ----
            md.append("### The library's own work, piece by piece (bench/native/hotspots.c; ns per operation, "
                    + "median [min–max])\n\n| piece | in |");
            for (String arch : arches) md.append(" ").append(arch).append(" |");
            md.append("\n|---|---|");
            for (int i = 0; i < arches.size(); ++i) md.append("---|");
            md.append('\n');
            Set<String> pieces = new LinkedHashSet<>();
            for (Tsv t : hot.values())
                for (Map<String, String> r : t.rows) pieces.add(r.get("piece"));
            for (String piece : pieces) {
                String usedBy = "";
                StringBuilder cells = new StringBuilder();
                for (String arch : arches) {
                    Map<String, String> r = find(hot.get(arch), "piece", piece);
                    if (r == null) {
                        cells.append(" n/a |");
                        continue;
                    }
                    usedBy = r.get("used_by");
                    cells.append(" ").append(spread(r, "ns", 1)).append(" |");
                    csv.println(String.join(",", arch, "library work", quote(piece), quote(usedBy), "ns", r.get("ns"),
                            r.get("ns_min"), r.get("ns_max"), "ns"));
                }
                md.append("| ").append(piece.replace("|", "\\|")).append(" | ").append(usedBy).append(" |")
                        .append(cells).append('\n');
            }
            md.append('\n');

            // ---- LoadDriver ----
            md.append("### LoadDriver (µs per call, median [min–max]) beside a bare dlopen + 24 dlsym\n\n");
            md.append("| arch | driver | samples | LoadDriver µs | dlopen + 24 dlsym µs | ratio |\n|---|---|---|---|---|---|\n");
            for (String arch : arches) {
                for (Map<String, String> r : load.get(arch).rows) {
                    md.append("| ").append(arch).append(" | ").append(r.get("kind")).append(" | ")
                            .append(r.get("samples")).append(" | ").append(spread(r, "varnel_us", 2)).append(" | ")
                            .append(spread(r, "floor_us", 2)).append(" | ").append(spread(r, "ratio", 2))
                            .append(" |\n");
                    for (String m : new String[] {"varnel_us", "floor_us", "ratio"})
                        csv.println(String.join(",", arch, "loaddriver", "LoadDriver", quote(r.get("kind")), m,
                                r.get(m), r.get(m + "_min"), r.get(m + "_max"), m.endsWith("_us") ? "us" : "x"));
                }
            }
            md.append('\n');

            // ---- real work ----
            md.append("### Real work on SoftHSM2, RSA-2048 (operations per second, median [min–max])\n\n");
            md.append("| operation | way |");
            for (String arch : arches) md.append(" ").append(arch).append(" |");
            md.append("\n|---|---|");
            for (int i = 0; i < arches.size(); ++i) md.append("---|");
            md.append('\n');
            Set<String> keys = new LinkedHashSet<>();
            for (Tsv t : real.values())
                for (Map<String, String> r : t.rows) keys.add(r.get("operation") + "\t" + r.get("way"));
            for (String k : keys) {
                String[] parts = k.split("\t");
                md.append("| ").append(parts[0]).append(" | ").append(parts[1].startsWith("Varnel /")
                        ? "**" + parts[1] + "**" : parts[1]).append(" |");
                for (String arch : arches) {
                    Map<String, String> r = find2(real.get(arch), parts[0], parts[1]);
                    boolean ratio = r != null && "ratio".equals(r.get("value"));
                    md.append(" ").append(r == null ? "n/a" : ratio ? "**" + spreadOf(r, 3) + "**" : spreadOf(r, 0))
                            .append(" |");
                    if (r == null) continue;
                    csv.println(String.join(",", arch, "real", quote(parts[0]), quote(parts[1]), r.get("value"),
                            r.get("median"), r.get("min"), r.get("max"), ratio ? "x" : "ops/s"));
                    if (ratio) {
                        double goal = parts[1].endsWith("direct C") ? DIRECT_GOAL : SUN_GOAL;
                        goals.add(String.format(Locale.ROOT, "%s, %s ≥ %.2f (%s): %s — median %s, spread %s–%s",
                                parts[0], parts[1], goal, arch, verdict(r, goal), f(d(r, "median"), 3),
                                f(d(r, "min"), 3), f(d(r, "max"), 3)));
                    }
                }
                md.append('\n');
            }
            md.append('\n');

            // ---- growth ----
            md.append("### How cost grows (least-squares line through the medians)\n\n");
            md.append("*Linear, no jumps*: no median is off the line by more than 10 % of the largest cost in the "
                    + "series; judged on the method against the null driver, whose own cost does not grow. R² is "
                    + "low where the cost hardly grows at all. Against the mock, a jump there shows in the mock "
                    + "driver alone as well.\n\n");
            md.append("| arch | series | points | ns per unit: mock / null driver / floor | R²: mock / null driver "
                    + "| worst point off the line: mock / null driver | linear, no jumps |\n"
                    + "|---|---|---|---|---|---|---|\n");
            for (String arch : arches) {
                Map<String, List<Map<String, String>>> series = new LinkedHashMap<>();
                for (Map<String, String> r : growth.get(arch).rows)
                    series.computeIfAbsent(r.get("series"), s -> new ArrayList<>()).add(r);
                try (PrintWriter dat = new PrintWriter(Files.newBufferedWriter(
                        results.resolve("growth-" + arch + ".dat"), StandardCharsets.UTF_8))) {
                    for (Map.Entry<String, List<Map<String, String>>> e : series.entrySet()) {
                        Fit method = new Fit(e.getValue(), "varnel_ns");
                        Fit nul = new Fit(e.getValue(), "null_ns");
                        Fit floor = new Fit(e.getValue(), "floor_ns");
                        boolean linear = nul.worst <= LINEAR_TOLERANCE;
                        md.append("| ").append(arch).append(" | ").append(e.getKey()).append(" | ")
                                .append(e.getValue().size()).append(" | ").append(f(method.slope, 3)).append(" / ")
                                .append(f(nul.slope, 3)).append(" / ").append(f(floor.slope, 3)).append(" | ")
                                .append(f(method.r2, 3)).append(" / ").append(f(nul.r2, 3)).append(" | ")
                                .append(f(method.worst * 100, 1)).append(" % / ").append(f(nul.worst * 100, 1))
                                .append(" % | ").append(linear ? "yes" : "no").append(" |\n");
                        csv.println(String.join(",", arch, "growth", quote(e.getKey()), "", "slope_ns_per_unit",
                                f(method.slope, 6), "", "", "ns"));
                        csv.println(String.join(",", arch, "growth", quote(e.getKey()), "", "r2", f(method.r2, 6),
                                "", "", ""));
                        dat.println("# " + e.getKey());
                        dat.println("# x varnel_ns varnel_min varnel_max floor_ns floor_min floor_max mock_ns "
                                + "null_ns null_min null_max");
                        for (Map<String, String> r : e.getValue()) {
                            dat.println(String.join(" ", r.get("x"), r.get("varnel_ns"), r.get("varnel_min"),
                                    r.get("varnel_max"), r.get("floor_ns"), r.get("floor_min"), r.get("floor_max"),
                                    r.get("mock_ns"), r.get("null_ns"), r.get("null_min"), r.get("null_max")));
                            for (String m : new String[] {"varnel_ns", "null_ns", "floor_ns", "mock_ns"})
                                csv.println(String.join(",", arch, "growth", quote(e.getKey()), r.get("x"), m,
                                        r.get(m), r.get(m.replace("_ns", "_min")), r.get(m.replace("_ns", "_max")),
                                        "ns"));
                        }
                        dat.println();
                        dat.println();
                        goals.add(String.format(Locale.ROOT, "Linear growth, %s (%s): %s (R² %s / %s, worst point "
                                + "%s %% / %s %% off the line, mock / null driver)", e.getKey(), arch,
                                linear ? "met" : "not met", f(method.r2, 3), f(nul.r2, 3), f(method.worst * 100, 1),
                                f(nul.worst * 100, 1)));
                    }
                }
            }
            md.append("\n![cost against size](growth.png)\n\n");

            // ---- peers ----
            md.append("### Peers: Varnel / the JDK's PKCS#11 wrapper class, Varnel / a JNA binding (per-trial "
                    + "ratios of the time per operation, median [min–max]; below 1 Varnel is faster)\n\n");
            md.append("Each peer calls the same driver functions in the same JVM; every way gave the same answer "
                    + "before it was timed.\n\n");
            md.append(peerTable(arches, peers, csv));
            md.append('\n');

            // ---- heap ----
            md.append("### Heap blocks taken per call (tests/unit/heap_test.cpp)\n\n| method |");
            for (String arch : arches) md.append(" ").append(arch).append(" allocations / frees |");
            md.append("\n|---|");
            for (int i = 0; i < arches.size(); ++i) md.append("---|");
            md.append('\n');
            Set<String> heapMethods = new LinkedHashSet<>();
            for (Tsv t : heap.values())
                for (Map<String, String> r : t.rows) heapMethods.add(r.get("method"));
            boolean heapOk = !heapMethods.isEmpty();
            for (String method : heapMethods) {
                md.append("| ").append(method).append(" |");
                for (String arch : arches) {
                    Map<String, String> r = find(heap.get(arch), "method", method);
                    md.append(" ").append(r == null ? "n/a" : r.get("allocations") + " / " + r.get("frees"))
                            .append(" |");
                    if (r == null) continue;
                    csv.println(String.join(",", arch, "heap", quote(method), "", "allocations", r.get("allocations"),
                            "", "", "blocks"));
                    csv.println(String.join(",", arch, "heap", quote(method), "", "frees", r.get("frees"), "", "",
                            "blocks"));
                    long allocations = Long.parseLong(r.get("allocations"));
                    long library = Long.parseLong(r.get("library"));
                    long expected = method.equals("GetAttributeValue") ? 5
                            : method.startsWith("GetAttributeValue(certificate)") ? 1 : 0;
                    if (method.startsWith("LoadDriver(new file)")) {
                        if (library != 0) heapOk = false;
                    } else if (allocations != expected || !r.get("frees").equals(r.get("allocations"))) {
                        heapOk = false;
                    }
                }
                md.append('\n');
            }
            md.append('\n');
            goals.add("No heap allocation but one per attribute read in GetAttributeValue: "
                    + (heapOk ? "met" : "not met"));
        }

        Files.write(results.resolve("summary.md"),
                (summary(arches, frame, real, growth) + "\n" + peerTable(arches, peers, null))
                        .getBytes(StandardCharsets.UTF_8));

        StringBuilder full = new StringBuilder();
        full.append("## Goals\n\n");
        for (String g : goals) full.append("- ").append(g).append('\n');
        full.append('\n').append(md);
        Files.write(results.resolve("bench.md"), full.toString().getBytes(StandardCharsets.UTF_8));
        System.out.print(full);
    }

    /** The compact tables docs/performance.md carries. */
    static String summary(List<String> arches, Map<String, Tsv> frame, Map<String, Tsv> real, Map<String, Tsv> growth) {
        StringBuilder md = new StringBuilder();
        md.append("| method | input |");
        for (String arch : arches)
            md.append(" ").append(titled(arch)).append(", null driver | ").append(titled(arch)).append(", mock |");
        md.append("\n|---|---|");
        for (int i = 0; i < arches.size(); ++i) md.append("---|---|");
        md.append('\n');
        Set<String> methods = new LinkedHashSet<>();
        for (Tsv t : frame.values())
            for (Map<String, String> r : t.rows) methods.add(r.get("method"));
        for (String method : methods) {
            String input = "";
            StringBuilder cells = new StringBuilder();
            for (String arch : arches) {
                Map<String, String> r = find(frame.get(arch), "method", method);
                if (r == null) {
                    cells.append(" n/a | n/a |");
                    continue;
                }
                input = r.get("input");
                cells.append(" ").append(spread(r, "null_ratio", 2)).append(" | ")
                        .append(f(d(r, "ratio"), 2)).append(" |");
            }
            md.append("| ").append(method).append(" | ").append(input).append(" |").append(cells).append('\n');
        }
        md.append("\n| operation | compared |");
        for (String arch : arches) md.append(" ").append(arch).append(" |");
        md.append("\n|---|---|");
        for (int i = 0; i < arches.size(); ++i) md.append("---|");
        md.append('\n');
        Set<String> keys = new LinkedHashSet<>();
        for (Tsv t : real.values())
            for (Map<String, String> r : t.rows)
                if ("ratio".equals(r.get("value"))) keys.add(r.get("operation") + "\t" + r.get("way"));
        for (String k : keys) {
            String[] parts = k.split("\t");
            md.append("| ").append(parts[0]).append(" | ").append(parts[1]).append(" |");
            for (String arch : arches) {
                Map<String, String> r = find2(real.get(arch), parts[0], parts[1]);
                md.append(" ").append(r == null ? "n/a" : spreadOf(r, 3)).append(" |");
            }
            md.append('\n');
        }
        md.append("\n| growth | ");
        md.append(String.join(" | ", arches)).append(" |\n|---|");
        for (int i = 0; i < arches.size(); ++i) md.append("---|");
        md.append('\n');
        Map<String, Map<String, String>> cellsBySeries = new LinkedHashMap<>();
        for (String arch : arches) {
            Map<String, List<Map<String, String>>> series = new LinkedHashMap<>();
            for (Map<String, String> r : growth.get(arch).rows)
                series.computeIfAbsent(r.get("series"), x -> new ArrayList<>()).add(r);
            for (Map.Entry<String, List<Map<String, String>>> e : series.entrySet()) {
                Fit nul = new Fit(e.getValue(), "null_ns");
                cellsBySeries.computeIfAbsent(e.getKey(), x -> new LinkedHashMap<>()).put(arch,
                        (nul.worst <= LINEAR_TOLERANCE ? "linear" : "NOT linear") + ", " + f(nul.slope, 2)
                                + " ns per unit, worst point " + f(nul.worst * 100, 1) + " % off");
            }
        }
        for (Map.Entry<String, Map<String, String>> e : cellsBySeries.entrySet()) {
            md.append("| ").append(e.getKey()).append(" |");
            for (String arch : arches) md.append(" ").append(e.getValue().getOrDefault(arch, "n/a")).append(" |");
            md.append('\n');
        }
        return md.toString();
    }

    /** Varnel beside its peers, a row per driver and operation; with csv, every figure there too. */
    static String peerTable(List<String> arches, Map<String, Tsv> peers, PrintWriter csv) {
        StringBuilder md = new StringBuilder();
        md.append("| arch | driver | operation | Varnel ns | Varnel / JDK wrapper | Varnel / JNA | why |\n"
                + "|---|---|---|---|---|---|---|\n");
        for (String arch : arches) {
            Set<String> rows = new LinkedHashSet<>();
            for (Map<String, String> r : peers.get(arch).rows) rows.add(r.get("driver") + "\t" + r.get("operation"));
            for (String k : rows) {
                String[] parts = k.split("\t");
                Map<String, String> wrapper = findPeer(peers.get(arch), parts[0], parts[1], "JDK wrapper");
                Map<String, String> jna = findPeer(peers.get(arch), parts[0], parts[1], "JNA");
                Map<String, String> any = wrapper != null ? wrapper : jna;
                md.append("| ").append(titled(arch)).append(" | ").append(parts[0]).append(" | ").append(parts[1])
                        .append(" | ").append(f(d(any, "varnel_ns"), 0)).append(" | ")
                        .append(wrapper == null ? "n/a" : spread(wrapper, "ratio", 2)).append(" | ")
                        .append(jna == null ? "n/a" : spread(jna, "ratio", 2)).append(" | ").append(any.get("why"))
                        .append(" |\n");
                if (csv == null) continue;
                for (Map<String, String> r : Arrays.asList(wrapper, jna)) {
                    if (r == null) continue;
                    for (String m : new String[] {"varnel_ns", "peer_ns", "ratio"})
                        csv.println(String.join(",", arch, "peers", quote(parts[1]),
                                quote(parts[0] + " / " + r.get("peer")), m, r.get(m),
                                r.get(m.replace("_ns", "") + "_min"), r.get(m.replace("_ns", "") + "_max"),
                                m.equals("ratio") ? "x" : "ns"));
                }
            }
        }
        return md.toString();
    }

    static String verdict(Map<String, String> r, double goal) {
        if (d(r, "median") >= goal) return "met";
        if (d(r, "max") >= goal) return "not shown (median below, spread reaches it)";
        return "not met";
    }

    static String quote(String s) {
        if (s == null) return "";
        return s.contains(",") || s.contains("\"") ? "\"" + s.replace("\"", "\"\"") + "\"" : s;
    }

    static Map<String, String> find(Tsv t, String column, String value) {
        for (Map<String, String> r : t.rows)
            if (value.equals(r.get(column))) return r;
        return null;
    }

    static Map<String, String> findPeer(Tsv t, String driver, String operation, String peer) {
        for (Map<String, String> r : t.rows)
            if (driver.equals(r.get("driver")) && operation.equals(r.get("operation")) && peer.equals(r.get("peer")))
                return r;
        return null;
    }

    static Map<String, String> find2(Tsv t, String operation, String way) {
        for (Map<String, String> r : t.rows)
            if (operation.equals(r.get("operation")) && way.equals(r.get("way"))) return r;
        return null;
    }

    /** Least squares y = a + b x through the medians, R², worst residual over the largest median. */
    static final class Fit {
        double slope;
        double intercept;
        double r2;
        double worst;

        Fit(List<Map<String, String>> rows, String column) {
            int n = rows.size();
            double sx = 0;
            double sy = 0;
            double sxx = 0;
            double sxy = 0;
            for (Map<String, String> r : rows) {
                double x = d(r, "x");
                double y = d(r, column);
                sx += x;
                sy += y;
                sxx += x * x;
                sxy += x * y;
            }
            slope = (n * sxy - sx * sy) / (n * sxx - sx * sx);
            intercept = (sy - slope * sx) / n;
            double mean = sy / n;
            double ssTot = 0;
            double ssRes = 0;
            double largest = 0;
            for (Map<String, String> r : rows) largest = Math.max(largest, d(r, column));
            for (Map<String, String> r : rows) {
                double x = d(r, "x");
                double y = d(r, column);
                double fit = intercept + slope * x;
                ssTot += (y - mean) * (y - mean);
                ssRes += (y - fit) * (y - fit);
                worst = Math.max(worst, Math.abs(y - fit) / largest);
            }
            r2 = ssTot == 0 ? 1 : 1 - ssRes / ssTot;
        }
    }
}
