package tessora.testing;

import java.io.IOException;
import java.net.InetSocketAddress;
import java.net.ServerSocket;
import java.net.Socket;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Comparator;
import java.util.List;
import java.util.concurrent.TimeUnit;
import java.util.stream.Stream;

/**
 * nginx with its RTMP module on a free loopback port for one JUnit test class, configured from
 * testing/nginx/rtmp.conf.in (applications live, unique, meta, sink). It can be killed (as if it crashed) and
 * started again on the same port.
 */
public final class RtmpServer implements AutoCloseable {
    private final Path dir;
    private final int port;
    private Process process;

    public RtmpServer() throws IOException, InterruptedException {
        dir = Files.createTempDirectory("junit-nginx");
        Path records = Files.createDirectories(dir.resolve("records"));
        records.toFile().setWritable(true, false);
        records.toFile().setExecutable(true, false);
        dir.toFile().setExecutable(true, false);
        port = freePort();
        String conf = Files.readString(sourceDir().resolve("testing/nginx/rtmp.conf.in"))
                .replace("@USER_DIRECTIVE@", "root".equals(System.getProperty("user.name")) ? "user root;" : "")
                .replace("@PREFIX@", dir.toString())
                .replace("@PORT@", Integer.toString(port))
                .replace("@RECORD_DIR@", records.toString())
                .replace("@LOAD_STREAM_MODULE@", "")
                .replace("@STREAM_BLOCK@", "");
        Files.writeString(dir.resolve("nginx.conf"), conf);
        start();
    }

    public static Path sourceDir() {
        String s = System.getenv("TAVREL_SOURCE_DIR");
        if (s == null) {
            throw new IllegalStateException("TAVREL_SOURCE_DIR is not set (run through ctest)");
        }
        return Path.of(s);
    }

    /** The folder the clip fixture fills (short.flv, clip.h264, ...). */
    public static Path testData() {
        String s = System.getenv("TAVREL_TESTDATA");
        if (s == null) {
            throw new IllegalStateException("TAVREL_TESTDATA is not set (run through ctest)");
        }
        return Path.of(s);
    }

    public void start() throws IOException, InterruptedException {
        if (process != null && process.isAlive()) {
            return;
        }
        process = new ProcessBuilder("nginx", "-p", dir.toString(), "-e", dir.resolve("error.log").toString(), "-c",
                dir.resolve("nginx.conf").toString())
                .redirectErrorStream(true).redirectOutput(dir.resolve("stdout.log").toFile()).start();
        long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(10);
        while (System.nanoTime() < deadline) {
            if (!process.isAlive()) {
                throw new IOException("nginx exited: " + Files.readString(dir.resolve("stdout.log")) + errorLog());
            }
            try (Socket s = new Socket()) {
                s.connect(new InetSocketAddress("127.0.0.1", port), 200);
                return;
            } catch (IOException notYet) {
                Thread.sleep(50);
            }
        }
        kill();
        throw new IOException("nginx did not come up: " + errorLog());
    }

    /** SIGKILL to the master and its workers: every connection drops, nothing is finished. */
    public void kill() throws InterruptedException {
        if (process != null && process.isAlive()) {
            // The master first: it would fork a new worker for every worker it sees die.
            java.util.List<ProcessHandle> workers = process.descendants().toList();
            process.destroyForcibly();
            process.waitFor(10, TimeUnit.SECONDS);
            workers.forEach(ProcessHandle::destroyForcibly);
            long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(10);
            while (workers.stream().anyMatch(ProcessHandle::isAlive) && System.nanoTime() < deadline) {
                Thread.sleep(10);
            }
        }
    }

    /** SIGQUIT: graceful; the recordings are closed properly. */
    public void stop() throws IOException, InterruptedException {
        if (process == null || !process.isAlive()) {
            return;
        }
        new ProcessBuilder("kill", "-QUIT", Long.toString(process.pid())).start().waitFor(10, TimeUnit.SECONDS);
        if (!process.waitFor(15, TimeUnit.SECONDS)) {
            kill();
        }
    }

    public int port() {
        return port;
    }

    public String url(String app, String stream) {
        return "rtmp://127.0.0.1:" + port + "/" + app + "/" + stream;
    }

    public Path recording(String stream) {
        return dir.resolve("records").resolve(stream + ".flv");
    }

    public String errorLog() throws IOException {
        Path log = dir.resolve("error.log");
        return Files.exists(log) ? Files.readString(log) : "";
    }

    @Override
    public void close() throws IOException {
        try {
            kill();
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
        try (Stream<Path> files = Files.walk(dir)) {
            files.sorted(Comparator.reverseOrder()).forEach(p -> p.toFile().delete());
        }
    }

    public static int freePort() throws IOException {
        try (ServerSocket s = new ServerSocket()) {
            s.bind(new InetSocketAddress("127.0.0.1", 0));
            return s.getLocalPort();
        }
    }

    /** ffprobe's "pts,dts" per packet of the first stream of a type ("v" or "a"), in file order. */
    public static List<String> packetTimes(Path file, String type) throws IOException, InterruptedException {
        Process p = new ProcessBuilder("ffprobe", "-v", "error", "-select_streams", type + ":0", "-show_entries",
                "packet=pts,dts", "-of", "csv=p=0", file.toString()).redirectErrorStream(true).start();
        String out = new String(p.getInputStream().readAllBytes());
        if (!p.waitFor(60, TimeUnit.SECONDS) || p.exitValue() != 0) {
            throw new IOException("ffprobe failed on " + file + ": " + out);
        }
        List<String> times = new ArrayList<>();
        for (String line : out.split("\n")) {
            if (!line.isBlank()) {
                times.add(line.strip());
            }
        }
        return times;
    }
}
