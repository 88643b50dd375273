package ka.tovik.selvo.jvarnel.e2e;

import java.io.File;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.regex.Pattern;

import ka.tovik.selvo.jvarnel.JVarnel;

/**
 * End-to-end checks of libVarnel driving a real PKCS#11 module (SoftHSM) from Java.
 *
 * <p>Run by tests/e2e/run.sh, which prepares a fresh token and passes:
 * <ul>
 * <li>{@code varnel.e2e.driver} - path of the PKCS#11 module for this JVM's architecture (required)</li>
 * <li>{@code varnel.e2e.tokenLabel}, {@code varnel.e2e.pin}, {@code varnel.e2e.soPin} - the initialised token</li>
 * <li>{@code varnel.e2e.noPkcs11Lib} - a shared library of this architecture without C_Initialize
 *     (defaults to the JVM's own libjava.so)</li>
 * <li>{@code varnel.e2e.foreignModule} - optional: a PKCS#11 module built for the other architecture</li>
 * </ul>
 *
 * <p>Cases run in order and share the process-wide state of the bridge (loaded driver, initialised or
 * not), so each case states what it expects on entry and what it leaves behind. Output: one line per
 * case, {@code PASS name} or {@code FAIL name: detail}, then {@code e2e: N passed, M failed}.
 */
public final class E2ETest {

    // Status strings the bridge returns.
    static final String OK = "0";
    static final String CKR_CRYPTOKI_NOT_INITIALIZED = "400";
    static final String CKR_CRYPTOKI_ALREADY_INITIALIZED = "401";
    static final String BRIDGE_LOAD_FAILED = "10001";
    static final String BRIDGE_NOT_A_PKCS11_MODULE = "10002";
    static final String BRIDGE_NULL_ARGUMENT = "10033";

    static final String BRIDGE_VERSION = "V1_3_0";

    private static final Pattern STATUS = Pattern.compile("-?[0-9]+");

    /** Settings handed over by the runner. */
    static final class Config {
        final String driver;
        final String tokenLabel;
        final String pin;
        final String soPin;
        final String noPkcs11Lib;
        final String foreignModule;

        Config() {
            driver = System.getProperty("varnel.e2e.driver", "");
            tokenLabel = System.getProperty("varnel.e2e.tokenLabel", "varnel-e2e");
            pin = System.getProperty("varnel.e2e.pin", "1234");
            soPin = System.getProperty("varnel.e2e.soPin", "5678");
            noPkcs11Lib = System.getProperty("varnel.e2e.noPkcs11Lib",
                    System.getProperty("java.home") + File.separator + "lib" + File.separator + "libjava.so");
            foreignModule = System.getProperty("varnel.e2e.foreignModule", "");
        }
    }

    /** A failed check; its message is the FAIL detail. */
    static final class CheckFailed extends RuntimeException {
        private static final long serialVersionUID = 1L;

        CheckFailed(String message) {
            super(message);
        }
    }

    @FunctionalInterface
    interface Body {
        void run() throws Exception;
    }

    record Case(String name, Body body) {
    }

    // ---------------------------------------------------------------- checks

    static CheckFailed fail(String message) {
        return new CheckFailed(message);
    }

    static String show(String s) {
        return s == null ? "null" : '"' + s + '"';
    }

    static String show(String[] a) {
        if (a == null) {
            return "null";
        }
        StringBuilder b = new StringBuilder("{");
        for (int i = 0; i < a.length; i++) {
            b.append(i == 0 ? "" : ", ").append(show(a[i]));
        }
        return b.append('}').toString();
    }

    /** The call answered with a well-formed status (a signed 32-bit decimal). */
    static int statusCode(String what, String status) {
        if (status == null || !STATUS.matcher(status).matches()) {
            throw fail(what + ": status is not a decimal number: " + show(status));
        }
        try {
            return Integer.parseInt(status);
        } catch (NumberFormatException e) {
            throw fail(what + ": status does not fit in 32 bits: " + show(status));
        }
    }

    /** The call answered exactly {@code expected}. */
    static void expectStatus(String what, String expected, String actual) {
        statusCode(what, actual);
        if (!expected.equals(actual)) {
            throw fail(what + ": expected " + expected + ", got " + show(actual));
        }
    }

    /** The call answered a well-formed status other than success. */
    static void expectFailure(String what, String actual) {
        statusCode(what, actual);
        if (OK.equals(actual)) {
            throw fail(what + ": expected a failure status, got 0");
        }
    }

    /** The array answer is exactly {@code expected}, element by element. */
    static void expectArray(String what, String[] actual, String... expected) {
        if (actual == null) {
            throw fail(what + ": returned null, expected " + show(expected));
        }
        if (actual.length > 0) {
            statusCode(what, actual[0]);
        }
        if (!Arrays.equals(expected, actual)) {
            throw fail(what + ": expected " + show(expected) + ", got " + show(actual));
        }
    }

    /** The bridge version is reported correctly; {@code when} names the state being checked. */
    static void expectVersion(String when) {
        expectArray("GetVersion() " + when, JVarnel.GetVersion(), OK, BRIDGE_VERSION);
    }

    /** Puts the bridge in the initialised state whatever it was in, for cases that need a live driver. */
    static void ensureInitialized() {
        String s = JVarnel.Initialize();
        if (!OK.equals(s) && !CKR_CRYPTOKI_ALREADY_INITIALIZED.equals(s)) {
            throw fail("Initialize() to set up the case: got " + show(s));
        }
    }

    // ----------------------------------------------------------------- cases

    static List<Case> cases(Config cfg, Path scratch) {
        List<Case> list = new ArrayList<>();

        // --- before any driver is loaded

        list.add(new Case("version-before-load", () -> {
            expectVersion("before LoadDriver");
            // Answers are fresh arrays: changing one must not leak into the next call.
            String[] first = JVarnel.GetVersion();
            first[0] = "x";
            first[1] = "y";
            expectVersion("after the caller modified an earlier answer");
            for (int i = 0; i < 2000; i++) {
                String[] v = JVarnel.GetVersion();
                if (v == null || v.length != 2 || !OK.equals(v[0]) || !BRIDGE_VERSION.equals(v[1])) {
                    throw fail("GetVersion() call #" + i + " answered " + show(v));
                }
            }
        }));

        list.add(new Case("lifecycle-without-driver", () -> {
            expectFailure("Initialize() with no driver loaded", JVarnel.Initialize());
            expectFailure("Finalize() with no driver loaded", JVarnel.Finalize());
            expectVersion("after Initialize/Finalize with no driver");
        }));

        // --- LoadDriver refusals; each leaves no driver behind

        list.add(new Case("load-driver-unloadable-paths", () -> {
            expectStatus("LoadDriver(null)", BRIDGE_NULL_ARGUMENT, JVarnel.LoadDriver(null));
            expectVersion("after LoadDriver(null)");

            Path missing = scratch.resolve("no-such-module.so");
            expectStatus("LoadDriver(missing file)", BRIDGE_LOAD_FAILED, JVarnel.LoadDriver(missing.toString()));

            Path text = scratch.resolve("not-elf.so");
            Files.write(text, "this is not a shared object\n".getBytes(StandardCharsets.US_ASCII));
            expectStatus("LoadDriver(text file)", BRIDGE_LOAD_FAILED, JVarnel.LoadDriver(text.toString()));

            expectStatus("LoadDriver(directory)", BRIDGE_LOAD_FAILED, JVarnel.LoadDriver(scratch.toString()));

            if (!cfg.foreignModule.isEmpty()) {
                expectStatus("LoadDriver(module of the other architecture " + cfg.foreignModule + ")",
                        BRIDGE_LOAD_FAILED, JVarnel.LoadDriver(cfg.foreignModule));
            }
            expectVersion("after failed LoadDriver calls");
            expectFailure("Initialize() after only failed LoadDriver calls", JVarnel.Initialize());
        }));

        list.add(new Case("load-driver-not-a-pkcs11-module", () -> {
            if (!new File(cfg.noPkcs11Lib).isFile()) {
                throw fail("library without C_Initialize not found: " + cfg.noPkcs11Lib);
            }
            expectStatus("LoadDriver(" + cfg.noPkcs11Lib + ")", BRIDGE_NOT_A_PKCS11_MODULE,
                    JVarnel.LoadDriver(cfg.noPkcs11Lib));
            expectVersion("after loading a library without C_Initialize");
            expectFailure("Initialize() after the refused library", JVarnel.Initialize());
        }));

        // --- the real driver

        list.add(new Case("load-driver-softhsm", () -> {
            expectStatus("LoadDriver(" + cfg.driver + ")", OK, JVarnel.LoadDriver(cfg.driver));
            expectStatus("second LoadDriver(same path)", OK, JVarnel.LoadDriver(cfg.driver));
            expectVersion("after LoadDriver");
        }));

        list.add(new Case("initialize-finalize-cycle", () -> {
            expectStatus("Initialize()", OK, JVarnel.Initialize());
            expectStatus("second Initialize()", CKR_CRYPTOKI_ALREADY_INITIALIZED, JVarnel.Initialize());
            expectStatus("Finalize()", OK, JVarnel.Finalize());
            expectStatus("second Finalize()", CKR_CRYPTOKI_NOT_INITIALIZED, JVarnel.Finalize());
            expectStatus("Initialize() after Finalize()", OK, JVarnel.Initialize());
            expectVersion("while initialised");
        }));

        list.add(new Case("initialize-finalize-repeated", () -> {
            // Enters initialised, leaves initialised.
            ensureInitialized();
            for (int i = 1; i <= 10; i++) {
                expectStatus("Finalize() in cycle " + i, OK, JVarnel.Finalize());
                expectStatus("Initialize() in cycle " + i, OK, JVarnel.Initialize());
            }
        }));

        list.add(new Case("reload-after-finalize", () -> {
            ensureInitialized();
            expectStatus("Finalize()", OK, JVarnel.Finalize());
            expectStatus("LoadDriver(same path) after Finalize()", OK, JVarnel.LoadDriver(cfg.driver));
            expectStatus("Initialize() after reloading", OK, JVarnel.Initialize());
            expectStatus("second Initialize() after reloading", CKR_CRYPTOKI_ALREADY_INITIALIZED,
                    JVarnel.Initialize());
        }));

        // --- cases that need an initialised driver go above this line

        list.add(new Case("finalize-at-exit", () -> {
            ensureInitialized();
            expectStatus("Finalize()", OK, JVarnel.Finalize());
            expectStatus("Finalize() again", CKR_CRYPTOKI_NOT_INITIALIZED, JVarnel.Finalize());
            expectVersion("after the final Finalize()");
        }));

        return list;
    }

    // ---------------------------------------------------------------- runner

    private int passed;
    private int failed;

    private void pass(String name) {
        passed++;
        System.out.println("PASS " + name);
    }

    private void failCase(String name, String detail) {
        failed++;
        System.out.println("FAIL " + name + ": " + detail.replace('\n', ' '));
    }

    private void run(Case c) {
        try {
            c.body().run();
            pass(c.name());
        } catch (CheckFailed e) {
            failCase(c.name(), e.getMessage());
        } catch (Throwable t) {
            // A missing native method, an exception the bridge left pending, an I/O error in the
            // harness: all count against the case, with the JVM's own description.
            failCase(c.name(), "unexpected " + t);
        }
    }

    /** Loads the bridge; false means no case can run. */
    private boolean preflight(Config cfg) {
        if (cfg.driver.isEmpty() || !new File(cfg.driver).isFile()) {
            failCase("setup", "PKCS#11 module not found, set -Dvarnel.e2e.driver: " + show(cfg.driver));
            return false;
        }
        try {
            Class.forName("ka.tovik.selvo.jvarnel.JVarnel", true, E2ETest.class.getClassLoader());
        } catch (Throwable t) {
            Throwable cause = t.getCause() != null ? t.getCause() : t;
            failCase("setup", "cannot load lib" + JVarnel.LIBRARY_NAME + " from java.library.path="
                    + System.getProperty("java.library.path") + ": " + cause);
            return false;
        }
        return true;
    }

    private int runAll() throws IOException {
        Config cfg = new Config();
        if (preflight(cfg)) {
            Path scratch = Files.createTempDirectory("varnel-e2e-");
            try {
                for (Case c : cases(cfg, scratch)) {
                    run(c);
                }
            } finally {
                deleteTree(scratch);
            }
        }
        System.out.println("e2e: " + passed + " passed, " + failed + " failed");
        System.out.flush();
        return failed == 0 && passed > 0 ? 0 : 1;
    }

    private static void deleteTree(Path dir) throws IOException {
        try (var walk = Files.walk(dir)) {
            for (Path p : (Iterable<Path>) walk.sorted((a, b) -> b.compareTo(a))::iterator) {
                Files.deleteIfExists(p);
            }
        }
    }

    public static void main(String[] args) throws IOException {
        System.exit(new E2ETest().runAll());
    }
}
