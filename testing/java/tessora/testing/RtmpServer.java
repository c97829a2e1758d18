package tessora.testing;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.TimeUnit;

import org.junit.jupiter.api.extension.AfterAllCallback;
import org.junit.jupiter.api.extension.BeforeAllCallback;
import org.junit.jupiter.api.extension.ExtensionContext;

import tessora.apps.publish.LocalNginx;

/**
 * nginx with its RTMP module on a free loopback port for one JUnit test class, configured from
 * testing/nginx/rtmp.conf.in (applications live, unique, meta, sink). A test class registers it with
 * {@code @RegisterExtension static final RtmpServer nginx = new RtmpServer();}: it starts before the class's first
 * test and is gone after its last. It can be killed (as if it crashed) and started again on the same port.
 * {@link #withTls()} puts nginx's stream module in front of it, terminating RTMPS with a self-signed certificate;
 * {@link #withAckWindow} makes it acknowledge more often than nginx's 5,000,000 bytes.
 */
public final class RtmpServer implements BeforeAllCallback, AfterAllCallback {
    private static final int NGINX_ACK_WINDOW = 5_000_000;

    private final boolean tls;
    private final int ackWindow;
    private LocalNginx nginx;
    private Path certificates;
    private int tlsPort;

    /** nginx-rtmp alone. */
    public RtmpServer() {
        this(false, NGINX_ACK_WINDOW);
    }

    private RtmpServer(boolean tls, int ackWindow) {
        this.tls = tls;
        this.ackWindow = ackWindow;
    }

    /**
     * nginx-rtmp announcing and keeping this acknowledgement window ({@code ack_window}): with 1 it acknowledges
     * every read, so a publisher's acknowledged bytes reach its written bytes once nginx has read them all.
     */
    public static RtmpServer withAckWindow(int bytes) {
        return new RtmpServer(false, bytes);
    }

    /**
     * nginx-rtmp with a TLS front on a port of its own (testing/nginx/tls-terminator.conf.in), whose certificate,
     * made at start, is self-signed for 127.0.0.1 and lies in a folder whose name holds a space.
     */
    public static RtmpServer withTls() {
        return new RtmpServer(true, NGINX_ACK_WINDOW);
    }

    @Override
    public void beforeAll(ExtensionContext context) throws Exception {
        String template = Files.readString(sourceDir().resolve("testing/nginx/rtmp.conf.in"));
        String streams = tls ? tlsFront() : "";
        nginx = LocalNginx.start("junit-nginx", site -> template
                .replace("@USER_DIRECTIVE@", site.userDirective())
                .replace("@PREFIX@", site.folder().toString())
                .replace("@LISTEN_HOST@", "127.0.0.1")
                .replace("@PORT@", Integer.toString(site.port()))
                .replace("@RECORD_DIR@", site.records().toString())
                .replace("@LOAD_STREAM_MODULE@", tls ? "load_module /usr/lib/nginx/modules/ngx_stream_module.so;" : "")
                .replace("@STREAM_BLOCK@", streams.replace("@UPSTREAM@", "127.0.0.1:" + site.port()))
                .replace("@ACK_WINDOW@", Integer.toString(ackWindow)), false);
    }

    /** The stream block of the TLS front, its upstream left to fill, and the certificate it serves. */
    private String tlsFront() throws IOException, InterruptedException {
        certificates = Files.createTempDirectory("junit tls ");
        Path cert = certificates.resolve("server.pem");
        Path key = certificates.resolve("server.key");
        Process p = new ProcessBuilder("openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2", "-subj", "/CN=127.0.0.1", "-addext",
                "subjectAltName=IP:127.0.0.1", "-keyout", key.toString(), "-out", cert.toString())
                .redirectErrorStream(true).start();
        String out = new String(p.getInputStream().readAllBytes());
        if (!p.waitFor(60, TimeUnit.SECONDS) || p.exitValue() != 0) {
            throw new IOException("openssl failed: " + out);
        }
        tlsPort = freePort();
        return "stream {\n" + Files.readString(sourceDir().resolve("testing/nginx/tls-terminator.conf.in"))
                .replace("@TLS_LISTEN@", "127.0.0.1:" + tlsPort)
                .replace("@CERT@", "\"" + cert + "\"")
                .replace("@KEY@", "\"" + key + "\"") + "}\n";
    }

    /** rtmps://127.0.0.1:TLS-PORT/APP/STREAM, through the TLS front ({@link #withTls()} only). */
    public String tlsUrl(String app, String stream) {
        return "rtmps://127.0.0.1:" + tlsPort + "/" + app + "/" + stream;
    }

    /** The TLS front's self-signed certificate, which a client may trust as its own authority. */
    public Path certificate() {
        return certificates.resolve("server.pem");
    }

    @Override
    public void afterAll(ExtensionContext context) throws Exception {
        if (nginx != null) {
            // Whatever a test left connected goes with it: no graceful wait for it.
            nginx.kill();
            nginx.close();
        }
        if (certificates != null) {
            try (var files = Files.walk(certificates)) {
                files.sorted(java.util.Comparator.reverseOrder()).forEach(f -> f.toFile().delete());
            }
        }
    }

    public static Path sourceDir() {
        return Path.of(env("TAVREL_SOURCE_DIR"));
    }

    /** The folder the clip fixture fills (short.flv, clip.h264, ...). */
    public static Path testData() {
        return Path.of(env("TAVREL_TESTDATA"));
    }

    private static String env(String name) {
        String s = System.getenv(name);
        if (s == null) {
            throw new IllegalStateException(name + " is not set (run through ctest)");
        }
        return s;
    }

    /** Starts it again on the same port after {@link #kill}; nothing happens while it runs. */
    public void start() throws IOException, InterruptedException {
        nginx.launch();
    }

    /** SIGKILL to the master and its workers: every connection drops, nothing is finished. */
    public void kill() throws InterruptedException {
        nginx.kill();
    }

    /** SIGQUIT: graceful; the recordings are closed properly. */
    public void stop() throws IOException, InterruptedException {
        nginx.stop();
    }

    public int port() {
        return nginx.port();
    }

    public String url(String app, String stream) {
        return nginx.url(app, stream);
    }

    public Path recording(String stream) {
        return nginx.recording(stream);
    }

    public String errorLog() throws IOException {
        return nginx.errorLog();
    }

    public static int freePort() throws IOException {
        return LocalNginx.freePort();
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

    /**
     * ffprobe's packet count of a recording once nginx has handled the unpublish: it waits until the file's size
     * stops changing.
     */
    public static int settledPacketCount(Path recording, String type) throws IOException, InterruptedException {
        long last = -1;
        for (int i = 0; i < 100; i++) {
            long size = Files.exists(recording) ? Files.size(recording) : -1;
            if (size > 0 && size == last) {
                break;
            }
            last = size;
            Thread.sleep(100);
        }
        return packetTimes(recording, type).size();
    }
}
