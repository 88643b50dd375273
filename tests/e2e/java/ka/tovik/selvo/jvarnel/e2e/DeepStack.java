package ka.tovik.selvo.jvarnel.e2e;

import java.nio.charset.StandardCharsets;
import java.util.Arrays;
import java.util.Map;
import java.util.TreeMap;
import java.util.function.Supplier;

/**
 * Calls the methods with the largest frames at every depth of a thread that recurses until the
 * JVM throws StackOverflowError, so that some calls land within a few hundred bytes of the end of
 * the stack. Each answer must be whole: what the same call answers with stack to spare, or {"2", ""}
 * (CKR_HOST_MEMORY) where the stack left cannot hold the method's buffers; the JVM's own
 * StackOverflowError before the call is allowed too. A crash ends the JVM, which the runner counts.
 */
final class DeepStack {
    /** Small, to reach the end quickly; the JVM still keeps its guard zones. */
    private static final long STACK_BYTES = 512 * 1024;

    private static final String[] NO_ROOM = {"2", ""};

    private final Map<String, Supplier<String[]>> methods = new TreeMap<>();
    private final Map<String, String[]> spare = new TreeMap<>();
    /** How many answers came without the room for the method's buffers. */
    int withoutRoom;
    int overflows;
    String broken;

    /** Calls every method on `session` with `object`, a public key, for the attribute read. */
    DeepStack(long session, long object) {
        byte[] cipherText = "YWJj".getBytes(StandardCharsets.US_ASCII);
        methods.put("Decrypt", () -> ka.tovik.selvo.jvarnel.JVarnel.Decrypt(session, cipherText, cipherText.length));
        methods.put("GetAttributeValue", () -> ka.tovik.selvo.jvarnel.JVarnel.GetAttributeValue(session, object,
                "modulus"));
        methods.put("Sign", () -> ka.tovik.selvo.jvarnel.JVarnel.Sign(session, cipherText, cipherText.length));
        methods.put("WrapKey", () -> ka.tovik.selvo.jvarnel.JVarnel.WrapKey(session, "rsapkcs", object, object));
    }

    /** Calls the one method given. */
    DeepStack(String name, Supplier<String[]> method) {
        methods.put(name, method);
    }

    private void callAll() {
        for (Map.Entry<String, Supplier<String[]>> m : methods.entrySet()) {
            String[] answer;
            try {
                answer = m.getValue().get();
            } catch (StackOverflowError e) {
                overflows++;
                continue;
            }
            if (Arrays.equals(answer, NO_ROOM)) {
                withoutRoom++;
            } else if (!Arrays.equals(answer, spare.get(m.getKey())) && broken == null) {
                broken = m.getKey() + " answered " + E2ETest.show(answer) + " near the end of the stack, "
                        + E2ETest.show(spare.get(m.getKey())) + " with stack to spare";
            }
        }
    }

    private void descend() {
        try {
            descend();
        } catch (StackOverflowError e) {
            overflows++;
        }
        callAll();
    }

    /** Runs the recursion on the calling thread; false if an answer was broken. */
    boolean runHere() {
        methods.forEach((name, method) -> spare.put(name, method.get()));
        descend();
        return broken == null;
    }

    /** Runs the recursion on a thread of its own; false if an answer was broken or the thread died. */
    boolean run() throws InterruptedException {
        methods.forEach((name, method) -> spare.put(name, method.get()));
        Throwable[] died = new Throwable[1];
        Thread deep = new Thread(null, this::descend, "deep-stack", STACK_BYTES);
        deep.setUncaughtExceptionHandler((t, e) -> died[0] = e);
        deep.start();
        deep.join();
        if (died[0] != null) {
            broken = "the recursing thread died: " + died[0];
        }
        return broken == null;
    }
}
