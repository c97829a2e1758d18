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
import java.util.function.Function;
import java.util.stream.Stream;

/**
 * A private nginx with its RTMP module on a free loopback port, in a temporary folder of its own that holds its
 * configuration, its logs and a folder for recordings. It can be killed as if it crashed and started again on the
 * same port; {@link #close} stops it gracefully, so the recordings are complete, and removes the folder unless
 * kept. The demo runs one; the JUnit tests compile this same source for theirs.
 */
public final class LocalNginx implements AutoCloseable {
    /** The module that Debian's libnginx-mod-rtmp installs. */
    public static final String RTMP_MODULE = "/usr/lib/nginx/modules/ngx_rtmp_module.so";

    /**
     * Where a server lives: its folder, its port and the folder its workers may record into.
     *
     * @param folder the server's own folder (configuration, pid, logs)
     * @param port the loopback port it listens on
     * @param records a folder inside it that the workers can write
     */
    public record Site(Path folder, int port, Path records) {
        /** "user root;" when we run as root, so that the workers can write the recordings; else nothing. */
        public String userDirective() {
            return "root".equals(System.getProperty("user.name")) ? "user root;" : "";
        }
    }

    private final Site site;
    private final boolean keep;
    private Process process;

    private LocalNginx(Site site, boolean keep) {
        this.site = site;
        this.keep = keep;
    }

    /**
     * The demo's server: one application "live" that records every stream published to it into NAME.flv; a new
     * publish of the same name continues the same file.
     */
    public static LocalNginx start(boolean keepFolder) throws IOException, InterruptedException {
        return start("publish-nginx", LocalNginx::liveRecording, keepFolder);
    }

    /**
     * Makes a folder, writes the configuration that {@code configuration} gives for it, starts nginx and waits until
     * it accepts connections.
     */
    public static LocalNginx start(String folderPrefix, Function<Site, String> configuration, boolean keepFolder)
            throws IOException, InterruptedException {
        if (!Files.exists(Path.of(RTMP_MODULE))) {
            throw new IOException("nginx's RTMP module is missing (" + RTMP_MODULE + "): run scripts/install-deps");
        }
        Path dir = Files.createTempDirectory(folderPrefix);
        Path records = Files.createDirectories(dir.resolve("records"));
        // Workers run as nobody unless we are root; they write the recordings.
        for (Path p : List.of(dir, records)) {
            p.toFile().setExecutable(true, false);
        }
        records.toFile().setWritable(true, false);
        Files.createDirectories(dir.resolve("logs"));
        Site site = new Site(dir, freePort(), records);
        Files.writeString(dir.resolve("nginx.conf"), configuration.apply(site));
        LocalNginx n = new LocalNginx(site, keepFolder);
        n.launch();
        return n;
    }

    private static String liveRecording(Site site) {
        return String.join("\n",
                site.userDirective(),
                "daemon off;",
                "master_process on;",
                "worker_processes 1;",
                "pid " + site.folder().resolve("nginx.pid") + ";",
                "error_log " + site.folder().resolve("error.log") + " info;",
                "load_module " + RTMP_MODULE + ";",
                "events { worker_connections 256; }",
                "rtmp {",
                "    server {",
                "        listen 127.0.0.1:" + site.port() + ";",
                "        max_message 16M;",
                "        application live {",
                "            live on;",
                "            record all;",
                "            record_path " + site.records() + ";",
                "            record_unique off;",
                "            record_append on;",
                "        }",
                "    }",
                "}", "");
    }

    /** Starts it (again, after {@link #kill}) on the same port; nothing happens while it runs. */
    public void launch() throws IOException, InterruptedException {
        if (process != null && process.isAlive()) {
            return;
        }
        Path dir = site.folder();
        process = new ProcessBuilder("nginx", "-p", dir.toString(), "-e", dir.resolve("error.log").toString(), "-c",
                dir.resolve("nginx.conf").toString())
                .redirectErrorStream(true)
                .redirectOutput(ProcessBuilder.Redirect.appendTo(dir.resolve("stdout.log").toFile()))
                .start();
        long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(10);
        while (System.nanoTime() < deadline) {
            if (!process.isAlive()) {
                throw new IOException("nginx exited: " + Files.readString(dir.resolve("stdout.log")) + errorLog());
            }
            try (Socket s = new Socket()) {
                s.connect(new InetSocketAddress("127.0.0.1", site.port()), 200);
                return;
            } catch (IOException notYet) {
                Thread.sleep(50);
            }
        }
        kill();
        throw new IOException("nginx did not come up on port " + site.port() + ": " + errorLog());
    }

    /** The loopback port it listens on. */
    public int port() {
        return site.port();
    }

    /** rtmp://127.0.0.1:PORT/live/STREAM */
    public String url(String stream) {
        return url("live", stream);
    }

    /** rtmp://127.0.0.1:PORT/APP/STREAM */
    public String url(String app, String stream) {
        return "rtmp://127.0.0.1:" + site.port() + "/" + app + "/" + stream;
    }

    /** The recording of a stream by its name (for applications that record with unique names off). */
    public Path recording(String stream) {
        return site.records().resolve(stream + ".flv");
    }

    /** The whole error log so far. */
    public String errorLog() throws IOException {
        Path log = site.folder().resolve("error.log");
        return Files.exists(log) ? Files.readString(log) : "";
    }

    /** As if the server crashed (SIGKILL to the master and its workers): every connection drops at once. */
    public void kill() throws InterruptedException {
        if (process != null && process.isAlive()) {
            // The master first: it would fork a new worker for every worker it sees die.
            List<ProcessHandle> workers = process.descendants().toList();
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
        new ProcessBuilder("kill", "-QUIT", Long.toString(process.pid())).start().waitFor(10, TimeUnit.SECONDS);
        if (!process.waitFor(15, TimeUnit.SECONDS)) {
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
            try (Stream<Path> files = Files.walk(site.folder())) {
                files.sorted(Comparator.reverseOrder()).forEach(p -> p.toFile().delete());
            }
        }
    }

    /** A TCP port on 127.0.0.1 that nothing listens on right now. */
    public static int freePort() throws IOException {
        try (ServerSocket s = new ServerSocket()) {
            s.bind(new InetSocketAddress("127.0.0.1", 0));
            return s.getLocalPort();
        }
    }
}
