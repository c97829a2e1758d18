package tessora.testing;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.TimeUnit;

/**
 * The challenge server (testing/challenge-server) on a free loopback port: an RTMP server that demands adobe or
 * llnw publisher authentication. The Java side of testing/support/ChallengeServer.cpp; it is ready once its record
 * says it listens.
 */
public final class ChallengeServer implements AutoCloseable {
    private final Path dir;
    private final Process process;
    private final int port;

    /**
     * Starts it.
     *
     * @param auth "adobe", "llnw" or "none"
     * @param options more of its options: "--user", "NAME:PASSWORD", "--refuse-app", "NAME", ...
     */
    public ChallengeServer(String auth, String... options) throws IOException, InterruptedException {
        dir = Files.createTempDirectory("challenge");
        port = RtmpServer.freePort();
        Path record = dir.resolve("record.jsonl");
        List<String> argv = new ArrayList<>(List.of("/usr/bin/python3",
                RtmpServer.sourceDir().resolve("testing/challenge-server/challenge-server").toString(),
                "--port", Integer.toString(port), "--auth", auth, "--record", record.toString(),
                "--max-seconds", "300"));
        argv.addAll(List.of(options));
        process = new ProcessBuilder(argv).redirectErrorStream(true)
                .redirectOutput(dir.resolve("server.log").toFile()).start();
        long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(10);
        while (!(Files.exists(record) && Files.readString(record).contains("\"listening\""))) {
            if (!process.isAlive() || System.nanoTime() > deadline) {
                close();
                throw new IOException("challenge server did not start: " + Files.readString(dir.resolve("server.log")));
            }
            Thread.sleep(20);
        }
    }

    /** rtmp://127.0.0.1:PORT/APP/STREAM */
    public String url(String app, String stream) {
        return "rtmp://127.0.0.1:" + port + "/" + app + "/" + stream;
    }

    @Override
    public void close() throws IOException {
        process.destroy();
        try {
            if (!process.waitFor(5, TimeUnit.SECONDS)) {
                process.destroyForcibly();
            }
        } catch (InterruptedException e) {
            process.destroyForcibly();
            Thread.currentThread().interrupt();
        }
        try (var files = Files.walk(dir)) {
            files.sorted(java.util.Comparator.reverseOrder()).forEach(p -> p.toFile().delete());
        }
    }
}
