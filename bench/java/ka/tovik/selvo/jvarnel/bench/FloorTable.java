package ka.tovik.selvo.jvarnel.bench;

/**
 * The method table as the floor library (bench/native/floor.cpp) hands it
 * over; bound by that library, in the class loader that loaded it.
 */
public final class FloorTable {
    private FloorTable() {
    }

    /** Method {@code method}'s name, then its arguments as text; null past the last method. */
    public static native String[] row(int method);

    /** The texts the floor of {@code method} answers with, element 0 the status. */
    public static native void answer(int method, String[] texts);
}
