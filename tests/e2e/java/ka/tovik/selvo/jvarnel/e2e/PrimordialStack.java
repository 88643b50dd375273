package ka.tovik.selvo.jvarnel.e2e;

import java.nio.charset.StandardCharsets;
import java.util.Arrays;
import ka.tovik.selvo.jvarnel.JVarnel;

/**
 * Run on the process's first thread by tests/e2e/native/primordial.c, which also gives it
 * {@link #exhaustDescriptors}. The first checked call there is made while no file can be opened,
 * so the lookup of that thread's stack fails; the calls after it must look again, and at the end
 * of the stack answer whole, some of them refused for want of room, never crash. Arguments: the driver to load. Prints one line and
 * exits non-zero on a broken answer.
 */
final class PrimordialStack {
    private PrimordialStack() {
    }

    /** Lowers the descriptor limit so that nothing more can be opened (true), or puts it back. */
    private static native void exhaustDescriptors(boolean exhausted);

    public static void main(String[] args) {
        byte[] data = "YWJj".getBytes(StandardCharsets.US_ASCII);
        // Loads the library while its files can still be opened.
        JVarnel.GetVersion();
        exhaustDescriptors(true);
        String[] blind = JVarnel.Sign(0, data, data.length);
        exhaustDescriptors(false);
        String[] seeing = JVarnel.Sign(0, data, data.length);
        String load = JVarnel.LoadDriver(args[0]);
        String initialize = JVarnel.Initialize();
        if (!Arrays.equals(blind, seeing) || !"0".equals(load) || !"0".equals(initialize)) {
            System.out.println("primordial-stack: Sign answered " + E2ETest.show(blind) + " without descriptors, "
                    + E2ETest.show(seeing) + " with them; LoadDriver " + load + ", Initialize " + initialize);
            System.exit(1);
        }
        DeepStack deep = new DeepStack(0, 0);
        boolean whole = deep.runHere();
        System.out.println("primordial-stack: " + deep.withoutRoom + " answers without room for the buffers, "
                + deep.overflows + " StackOverflowError" + (whole ? "" : "; " + deep.broken));
        JVarnel.Finalize();
        // Near the end of the stack the check must have refused: it is on after the failed lookup.
        System.exit(whole && deep.overflows > 0 && deep.withoutRoom > 0 ? 0 : 1);
    }
}
