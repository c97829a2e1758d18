import java.nio.file.Files;
import java.nio.file.Path;

import tessora.streaming.rtmpdump.ConnectCheck;
import tessora.streaming.rtmpdump.Publisher;

/**
 * A Java program built against an installed prefix: the jar on the class path and the prefix's lib folder as
 * java.library.path, from which the libraries must then be loaded (not from copies out of the jar).
 * Argument: the prefix's lib folder.
 */
public class Consumer {
    public static void main(String[] args) throws Exception {
        if (Publisher.testConnect("not a url") != ConnectCheck.BAD_URL) {
            throw new AssertionError("testConnect of a bad URL");
        }
        String lib = Path.of(args[0], "libtavrel.so").toRealPath().toString();
        if (Files.readAllLines(Path.of("/proc/self/maps")).stream().noneMatch(l -> l.endsWith(lib))) {
            throw new AssertionError(lib + " is not the libtavrel.so loaded");
        }
        System.out.println("java consumer: ok");
    }
}
