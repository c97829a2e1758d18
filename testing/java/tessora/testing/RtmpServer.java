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
 */
public final class RtmpServer implements BeforeAllCallback, AfterAllCallback {
    private LocalNginx nginx;

    @Override
    public void beforeAll(ExtensionContext context) throws Exception {
        String template = Files.readString(sourceDir().resolve("testing/nginx/rtmp.conf.in"));
        nginx = LocalNginx.start("junit-nginx", site -> template
                .replace("@USER_DIRECTIVE@", site.userDirective())
                .replace("@PREFIX@", site.folder().toString())
                .replace("@LISTEN_HOST@", "127.0.0.1")
                .replace("@PORT@", Integer.toString(site.port()))
                .replace("@RECORD_DIR@", site.records().toString())
                .replace("@LOAD_STREAM_MODULE@", "")
                .replace("@STREAM_BLOCK@", "")
                .replace("@ACK_WINDOW@", "5000000"), false);
    }

    @Override
    public void afterAll(ExtensionContext context) throws Exception {
        if (nginx != null) {
            // Whatever a test left connected goes with it: no graceful wait for it.
            nginx.kill();
            nginx.close();
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
