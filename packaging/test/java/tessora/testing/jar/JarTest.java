package tessora.testing.jar;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.concurrent.TimeUnit;
import java.util.stream.Stream;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.api.extension.RegisterExtension;

import tessora.media.testing.Probe;
import tessora.testing.RtmpServer;

/**
 * The one jar as a user gets it: separate JVMs with the jar alone on the class path (no java.library.path, no
 * LD_LIBRARY_PATH) and a cache folder of their own, against nginx-rtmp.
 */
class JarTest {
    @RegisterExtension
    static final RtmpServer nginx = new RtmpServer();

    private static final Path JAR = Path.of(System.getenv("TESSORA_JAR"));
    private static final Path PROGRAM = Path.of(System.getenv("TESSORA_PUBLISH_PROGRAM"));
    private static final String JAVA = ProcessHandle.current().info().command().orElse("java");
    private static final List<String> LIBRARIES = List.of("libostrel.so", "libquorlen.so", "libmirabe.so",
            "libtavrel.so", "libtavrel_h264.so", "libtavrel_h264_jni.so", "libtavrel_aac.so");

    /**
     * A program on the typed API (compiled from source by the launcher) and {@code java -jar} start at the same
     * time on an empty cache: both extract the libraries, one copy stays, and both recordings hold the source's
     * packets with their times, sizes and key flags.
     */
    @Test
    void theJarAlonePublishesThroughTheTypedApiAndAsTheApplication(@TempDir Path cache) throws Exception {
        Path clip = Probe.clip("short.flv");
        Process typed = jvm(cache, "-cp", JAR.toString(), PROGRAM.toString(), nginx.url("live", "typed"),
                clip.toString());
        Process app = jvm(cache, "-jar", JAR.toString(), "--fast", nginx.url("live", "app"), clip.toString());
        assertExits(0, typed, "typed API program");
        assertExits(0, app, "java -jar");

        for (String stream : List.of("typed", "app")) {
            Path rec = nginx.recording(stream);
            RtmpServer.settledPacketCount(rec, "v");
            for (char kind : new char[] {'v', 'a'}) {
                assertEquals(Probe.packets(clip, kind), Probe.packets(rec, kind), stream + " " + kind);
            }
        }

        Path base = cache.resolve("tessora-streaming");
        assertEquals("rwx------", permissions(base));
        List<Path> folders;
        try (Stream<Path> s = Files.list(base)) {
            folders = s.toList();
        }
        assertEquals(1, folders.size(), "one extracted copy, no leftovers: " + folders);
        Path libs = folders.get(0);
        assertTrue(libs.getFileName().toString().matches("[0-9.]+-[0-9a-f]{16}"), "VERSION-HASH: " + libs);
        assertEquals("rwx------", permissions(libs));
        for (String lib : LIBRARIES) {
            assertTrue(Files.isRegularFile(libs.resolve(lib)), lib);
        }
    }

    /**
     * librtmp made unloadable (a private mount of an empty file over it): the application fails, naming the
     * Debian package to install.
     */
    @Test
    void aMissingSystemLibraryIsNamedWithItsPackage(@TempDir Path cache) throws Exception {
        Path librtmp = Path.of("/usr/lib/x86_64-linux-gnu/librtmp.so.1").toRealPath();
        assumeTrue(new ProcessBuilder("unshare", "-m", "true").start().waitFor() == 0,
                "no private mount namespace here");
        List<String> command = new ArrayList<>(List.of("unshare", "-m", "sh", "-c",
                "mount --bind /dev/null \"$0\" && exec \"$@\"", librtmp.toString()));
        command.addAll(List.of(JAVA, "-jar", JAR.toString(), nginx.url("live", "never"),
                Probe.clip("short.flv").toString()));
        Process p = start(cache, command);
        String out = assertExits(1, p, "without librtmp");
        assertTrue(out.contains("librtmp.so.1") && out.contains("apt-get install librtmp1"), out);
    }

    private static Process jvm(Path cache, String... args) throws IOException {
        List<String> command = new ArrayList<>(List.of(JAVA));
        command.addAll(List.of(args));
        return start(cache, command);
    }

    private static Process start(Path cache, List<String> command) throws IOException {
        ProcessBuilder b = new ProcessBuilder(command).redirectErrorStream(true);
        Map<String, String> env = b.environment();
        env.remove("LD_LIBRARY_PATH");
        env.put("XDG_CACHE_HOME", cache.toString());
        return b.start();
    }

    /** Waits for the process and returns its output. */
    private static String assertExits(int code, Process p, String what) throws Exception {
        String out = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
        if (!p.waitFor(120, TimeUnit.SECONDS)) {
            p.destroyForcibly();
        }
        assertEquals(code, p.exitValue(), what + ":\n" + out);
        return out;
    }

    private static String permissions(Path p) throws IOException {
        return PosixFilePermissions.toString(Files.getPosixFilePermissions(p));
    }
}
