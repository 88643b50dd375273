import java.nio.file.Files;
import java.nio.file.Paths;

import ka.tovik.selvo.jvarnel.JVarnel;

/** Loads JVarnel and says how it went: "loaded VERSION" or "refused: MESSAGE", then each Varnel file mapped. */
public final class LoadProbe {
    public static void main(String[] args) throws Exception {
        try {
            System.out.println("loaded " + JVarnel.GetVersion()[1]);
        } catch (UnsatisfiedLinkError e) {
            System.out.println("refused: " + e.getMessage());
        }
        for (String line : Files.readAllLines(Paths.get("/proc/self/maps"))) {
            String[] fields = line.trim().split("\\s+", 6);
            if (fields.length == 6 && fields[5].contains("Varnel")) {
                System.out.println("mapped " + fields[5]);
            }
        }
    }
}
