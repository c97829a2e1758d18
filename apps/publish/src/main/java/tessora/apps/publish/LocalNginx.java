package tessora.apps.publish;

import java.io.IOException;
import java.net.InetSocketAddress;
import java.net.ServerSocket;
import java.net.Socket;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Comparator;
import java.util.List;
import java.util.concurrent.TimeUnit;
import java.util.stream.Stream;

/**
 * nginx with its RTMP module on a free loopback port, in a temporary folder of its own, recording every stream
 * published to its application "live" into record/NAME.flv. A new publish of the same name continues the same
 * file. {@link #close} stops it gracefully so the recordings are complete, and removes the folder unless kept.
 */
public final class LocalNginx implements AutoCloseable {
    private static final String MODULE = "/usr/lib/nginx/modules/ngx_rtmp_module.so";

    private final Path dir;
    private final int port;
    private final boolean keep;
    private Process process;

    private LocalNginx(Path dir, int port, boolean keep) {
        this.dir = dir;
        this.port = port;
        this.keep = keep;
    }

    /** Starts nginx and waits until it accepts connections. */
    public static LocalNginx start(boolean keepFolder) throws IOException, InterruptedException {
        if (!Files.exists(Path.of(MODULE))) {
            throw new IOException("nginx's RTMP module is missing (" + MODULE + "): run scripts/install-deps");
        }
        Path dir = Files.createTempDirectory("publish-nginx");
        Path record = Files.createDirectories(dir.resolve("record"));
        // Workers run as nobody unless we are root; they write the recordings.
        record.toFile().setWritable(true, false);
        record.toFile().setExecutable(true, false);
        int port = freePort();
        String conf = String.join("\n",
                isRoot() ? "user root;" : "",
                "daemon off;",
                "master_process on;",
                "worker_processes 1;",
                "pid " + dir.resolve("nginx.pid") + ";",
                "error_log " + dir.resolve("error.log") + " info;",
                "load_module " + MODULE + ";",
                "events { worker_connections 256; }",
                "rtmp {",
                "    server {",
                "        listen 127.0.0.1:" + port + ";",
                "        max_message 16M;",
                "        application live {",
                "            live on;",
                "            record all;",
                "            record_path " + record + ";",
                "            record_unique off;",
                "            record_append on;",
                "        }",
                "    }",
                "}", "");
        Files.writeString(dir.resolve("nginx.conf"), conf);
        Files.createDirectories(dir.resolve("logs"));
        LocalNginx n = new LocalNginx(dir, port, keepFolder);
        n.launch();
        return n;
    }

    /** Starts it again on the same port after {@link #kill}. */
    public void launch() throws IOException, InterruptedException {
        process = new ProcessBuilder("nginx", "-p", dir.toString(), "-e", dir.resolve("error.log").toString(), "-c",
                dir.resolve("nginx.conf").toString())
                .redirectErrorStream(true)
                .redirectOutput(dir.resolve("stdout.log").toFile())
                .start();
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
        throw new IOException("nginx did not come up on port " + port + ": " + errorLog());
    }

    public int port() {
        return port;
    }

    public String url(String stream) {
        return "rtmp://127.0.0.1:" + port + "/live/" + stream;
    }

    public Path recording(String stream) {
        return dir.resolve("record").resolve(stream + ".flv");
    }

    public String errorLog() throws IOException {
        Path log = dir.resolve("error.log");
        return Files.exists(log) ? Files.readString(log) : "";
    }

    /** As if the server crashed: every connection drops at once. */
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

    /** Graceful stop (SIGQUIT): workers finish and close their recordings. */
    public void stop() throws IOException, InterruptedException {
        if (process == null || !process.isAlive()) {
            return;
        }
        Command.run(10, List.of("kill", "-QUIT", Long.toString(process.pid())));
        if (!process.waitFor(10, TimeUnit.SECONDS)) {
            kill();
        }
    }

    @Override
    public void close() throws IOException {
        try {
            stop();
            kill();
        } catch (InterruptedException e) {
            process.destroyForcibly();
            Thread.currentThread().interrupt();
        }
        if (!keep) {
            try (Stream<Path> files = Files.walk(dir)) {
                files.sorted(Comparator.reverseOrder()).forEach(p -> p.toFile().delete());
            }
        }
    }

    public Path folder() {
        return dir;
    }

    static int freePort() throws IOException {
        try (ServerSocket s = new ServerSocket()) {
            s.bind(new InetSocketAddress("127.0.0.1", 0));
            return s.getLocalPort();
        }
    }

    private static boolean isRoot() {
        return "root".equals(System.getProperty("user.name"));
    }
}
