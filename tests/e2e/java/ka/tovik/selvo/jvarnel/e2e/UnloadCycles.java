package ka.tovik.selvo.jvarnel.e2e;

import java.lang.reflect.InvocationTargetException;
import java.lang.reflect.Method;
import java.net.URL;
import java.net.URLClassLoader;
import java.nio.file.Files;
import java.nio.file.Paths;
import java.util.Arrays;

/**
 * Run in a JVM of its own: loads the library through a class loader of its own, calls a checked
 * method, lets the loader be collected and waits until the JVM has unloaded the library, as many
 * times as asked. Then it calls the method at every depth of a thread recursing into
 * StackOverflowError ({@link DeepStack}): the stack check must still refuse near the end of the stack
 * (answer "2"), never let the JVM crash. Exits 0 when all held.
 */
final class UnloadCycles {
    private static final String[] NO_DATA = {"10035", ""};

    public static void main(String[] args) throws Exception {
        int cycles = Integer.parseInt(args[0]);
        URL classes = UnloadCycles.class.getProtectionDomain().getCodeSource().getLocation();
        for (int cycle = 0; cycle < cycles; cycle++) {
            Method method = load(classes);
            String[] answer = (String[]) method.invoke(null, 1L, null, 0);
            if (!Arrays.equals(answer, NO_DATA)) {
                throw new AssertionError("cycle " + cycle + ": Sign answered " + E2ETest.show(answer));
            }
            method = null;
            awaitUnload(cycle);
        }
        Method sign = load(classes);
        // Past its first calls reflection makes an accessor class; made here, not deep in the stack.
        for (int i = 0; i < 100; i++) {
            sign.invoke(null, 1L, null, 0);
        }
        DeepStack deep = new DeepStack("Sign", () -> {
            try {
                return (String[]) sign.invoke(null, 1L, null, 0);
            } catch (InvocationTargetException e) {
                if (e.getCause() instanceof StackOverflowError overflow) {
                    throw overflow;
                }
                throw new IllegalStateException(e);
            } catch (IllegalAccessException e) {
                throw new IllegalStateException(e);
            }
        });
        boolean whole = deep.run();
        System.out.println("unload-cycles: " + cycles + " cycles, then " + deep.withoutRoom
                + " answers without room for the buffers, " + deep.overflows + " StackOverflowError");
        if (!whole || deep.withoutRoom == 0 || deep.overflows == 0) {
            System.out.println("unload-cycles: " + (whole ? "the stack check never refused" : deep.broken));
            System.exit(1);
        }
    }

    private static Method load(URL classes) throws ReflectiveOperationException {
        // No parent: the class, and with it the library, belong to this loader alone.
        ClassLoader loader = new URLClassLoader(new URL[] {classes}, null);
        return Class.forName("ka.tovik.selvo.jvarnel.JVarnel", true, loader)
                .getMethod("Sign", long.class, byte[].class, int.class);
    }

    private static boolean mapped() throws java.io.IOException {
        return Files.readAllLines(Paths.get("/proc/self/maps")).stream().anyMatch(l -> l.contains("libVarnel"));
    }

    private static void awaitUnload(int cycle) throws Exception {
        for (int tries = 0; mapped(); tries++) {
            if (tries == 1000) {
                throw new AssertionError("cycle " + cycle + ": the library stayed loaded");
            }
            System.gc();
            Thread.sleep(2);
        }
    }
}
