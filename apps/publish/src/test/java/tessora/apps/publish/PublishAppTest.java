package tessora.apps.publish;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardCopyOption;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.concurrent.atomic.AtomicReference;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import java.util.stream.Stream;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.TestInstance;
import org.junit.jupiter.api.extension.RegisterExtension;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.MethodSource;

import tessora.testing.RtmpServer;

/**
 * The publishing application in whole runs against nginx-rtmp: files of every kind the library reads, told by
 * content, recorded packet for packet; the --json line and exit code of each run; what the session's reconnection
 * and its end mean for a run.
 */
@TestInstance(TestInstance.Lifecycle.PER_CLASS)
class PublishAppTest {
    @RegisterExtension
    // Acknowledging every read: once the run has closed its session, every byte written is acknowledged.
    static final RtmpServer nginx = RtmpServer.withAckWindow(1);

    private static Path data(String name) {
        return RtmpServer.testData().resolve(name);
    }

    // ---- whole runs -------------------------------------------------------------------------------------------

    private static int run(ByteArrayOutputStream out, String... args) throws Exception {
        return PublishApp.run(args, new PrintStream(out, true, StandardCharsets.UTF_8));
    }

    /**
     * A file made from a clip of the fixture (H.264 High with B-frames, AAC-LC): by FFmpeg, with IN and OUT standing
     * for the files, or copied under a new name when there are no arguments.
     */
    record Made(String name, String from, List<String> ffmpeg, List<String> options) {
        Path file(Path dir) throws Exception {
            Path out = dir.resolve(name);
            if (ffmpeg.isEmpty()) {
                Files.copy(data(from), out, StandardCopyOption.REPLACE_EXISTING);
            } else {
                List<String> argv = new ArrayList<>(List.of("ffmpeg", "-nostdin", "-v", "error", "-y"));
                ffmpeg.forEach(a -> argv.add(a.equals("IN") ? data(from).toString()
                        : a.equals("OUT") ? out.toString() : a));
                Command.check(120, argv);
            }
            return out;
        }

        @Override
        public String toString() {
            return name + (options.isEmpty() ? "" : " " + String.join(" ", options));
        }
    }

    static List<Made> files() {
        List<String> copy = List.of();
        return List.of(
                // FFmpeg's default: moov after mdat, edit lists for the B-frame delay and the AAC priming.
                new Made("moov-at-end.mp4", "short.mp4", copy, List.of()),
                new Made("faststart.mp4", "short.mp4", List.of("-i", "IN", "-c", "copy", "-movflags", "+faststart",
                        "OUT"), List.of()),
                new Made("fragmented.mp4", "short.mp4", List.of("-i", "IN", "-c", "copy", "-movflags",
                        "frag_keyframe+empty_moov", "OUT"), List.of()),
                new Made("fragmented-flv-write.mp4", "short.mp4", List.of("-i", "IN", "-c", "copy", "-movflags",
                        "frag_keyframe+empty_moov", "OUT"), List.of("--flv-write")),
                // Cut at 0.5 s without re-encoding: the edit list starts the file inside a group of pictures.
                new Made("trimmed.mp4", "short.mp4", List.of("-ss", "0.5", "-i", "IN", "-c", "copy", "OUT"),
                        List.of()),
                // The content decides, not the name.
                new Made("mp4-named.flv", "short.mp4", copy, List.of()),
                new Made("flv-named.mp4", "short.flv", copy, List.of("--flv-write")));
    }

    /**
     * Each file is published whole: the server's recording holds the source's packets one for one (times on the
     * file's own clock, sizes, key flags) and both sequence headers (the recording's streams are described as the
     * source's); the run's JSON line counts every frame, the server has acknowledged every byte written, and the
     * exit code is 0.
     */
    @ParameterizedTest
    @MethodSource("files")
    void everyFileIsRecordedPacketForPacket(Made made, @TempDir Path dir) throws Exception {
        Path source = made.file(dir);
        String stream = made.name().replaceAll("[^a-z0-9]", "-") + (made.options().isEmpty() ? "" : "-w");
        List<String> args = new ArrayList<>(List.of("--fast", "--json"));
        args.addAll(made.options());
        args.addAll(List.of(nginx.url("live", stream), source.toString()));
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        int code = run(out, args.toArray(String[]::new));
        String text = out.toString(StandardCharsets.UTF_8);
        assertEquals(0, code, text);
        Path rec = nginx.recording(stream);
        Map<String, List<Probe.Packet>> want = Probe.packets(source);
        assertTrue(!want.get("v").isEmpty() && !want.get("a").isEmpty(), made + ": ffprobe read no packets");
        RtmpServer.settledPacketCount(rec, "v");
        Map<String, List<Probe.Packet>> got = Probe.packets(rec);
        assertEquals(want.get("v"), got.get("v"), made + ": video");
        assertEquals(want.get("a"), got.get("a"), made + ": audio");
        assertEquals(streamFormats(source), streamFormats(rec), made + ": sequence headers");
        Map<String, String> json = lastJsonLine(text);
        long written = Long.parseLong(json.get("bytes_written"));
        assertEquals(written, Long.parseLong(json.get("bytes_acked")), made + ": " + json);
        long bytes = Stream.of("v", "a").flatMap(t -> want.get(t).stream()).mapToLong(Probe.Packet::size).sum();
        assertEquals(Map.of("video_sent", "" + want.get("v").size(), "audio_sent", "" + want.get("a").size(),
                "video_dropped", "0", "audio_dropped", "0", "reconnections", "0", "bytes_sent", "" + bytes,
                "result", "published", "bytes_written", "" + written, "bytes_acked", "" + written),
                without(json, "seconds"), made.toString());
        assertTrue(written > bytes, made + ": " + json);
    }

    /**
     * A file cut short behind its intact movie box: what comes before the cut is published, then the run ends as a
     * failure (exit 1), its JSON line naming the file.
     */
    @Test
    void aFileCutShortEndsTheRunAsAFailure(@TempDir Path dir) throws Exception {
        Path whole = new Made("whole.mp4", "short.mp4", List.of("-i", "IN", "-c", "copy", "-movflags", "+faststart",
                "OUT"), List.of()).file(dir);
        Path cut = dir.resolve("cut.mp4");
        Files.write(cut, Arrays.copyOf(Files.readAllBytes(whole), (int) Files.size(whole) / 2));
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        IOException e = assertThrows(IOException.class, () -> run(out, "--fast", "--json",
                nginx.url("live", "cut"), cut.toString()));
        String text = out.toString(StandardCharsets.UTF_8);
        Map<String, String> json = lastJsonLine(text);
        assertEquals("failed", json.get("result"), text);
        assertTrue(json.get("error").contains(cut.toString()) && e.getMessage().contains(cut.toString()), text);
        assertTrue(Long.parseLong(json.get("video_sent")) > 0, text);
        assertTrue(text.contains("stopped:"), text);
    }

    /** What the sequence headers tell a reader of the file: codec, profile, picture size, sample rate, channels. */
    private static List<String> streamFormats(Path file) throws Exception {
        return List.of(Command.check(60, List.of("ffprobe", "-v", "error", "-show_entries",
                "stream=codec_name,profile,width,height,sample_rate,channels", "-of", "csv=p=0", file.toString()))
                .strip().split("\n"));
    }

    /** The fields of the JSON object on the output's last line (numbers and strings as their text). */
    private static Map<String, String> lastJsonLine(String text) {
        String[] lines = text.strip().split("\n");
        String last = lines[lines.length - 1].strip();
        assertTrue(last.startsWith("{") && last.endsWith("}"), text);
        Map<String, String> fields = new HashMap<>();
        Matcher m = Pattern.compile("\"(\\w+)\":(?:\"((?:[^\"\\\\]|\\\\.)*)\"|([-0-9.]+))").matcher(last);
        while (m.find()) {
            fields.put(m.group(1), m.group(2) != null ? m.group(2) : m.group(3));
        }
        return fields;
    }

    private static Map<String, String> pick(Map<String, String> m, String... keys) {
        Map<String, String> some = new HashMap<>();
        for (String k : keys) {
            some.put(k, m.get(k));
        }
        return some;
    }

    private static Map<String, String> without(Map<String, String> m, String key) {
        Map<String, String> copy = new HashMap<>(m);
        assertTrue(copy.remove(key) != null, key + " missing from " + m);
        return copy;
    }

    @Test
    void rawH264AndAacInFlvWriteModeReachTheServerWhole() throws Exception {
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        String url = nginx.url("live", "raw");
        assertEquals(0, run(out, "--fast", "--flv-write", url, data("short.h264").toString(),
                data("short.aac").toString()), out.toString());
        String text = out.toString(StandardCharsets.UTF_8);
        assertTrue(text.contains("FLV-write mode"), text);
        assertTrue(text.contains("published:"), text);
        Path rec = nginx.recording("raw");
        RtmpServer.settledPacketCount(rec, "v");
        // Presentation times from the pictures' order counts: the frames are shown in the order FFmpeg's own FLV
        // of the stream shows them (its reordering delay may be longer than the least one we take).
        assertEquals(displayRanks(RtmpServer.packetTimes(data("short.flv"), "v")),
                displayRanks(RtmpServer.packetTimes(rec, "v")));
        assertEquals(RtmpServer.packetTimes(data("short.flv"), "a").size(), RtmpServer.packetTimes(rec, "a").size());
    }

    @Test
    void anFlvInPacketModeKeepsItsTimesOnTheServer() throws Exception {
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        assertEquals(0, run(out, "--fast", nginx.url("live", "flvtimes"), data("short.flv").toString()),
                out.toString());
        Path rec = nginx.recording("flvtimes");
        RtmpServer.settledPacketCount(rec, "v");
        assertEquals(RtmpServer.packetTimes(data("short.flv"), "v"), RtmpServer.packetTimes(rec, "v"));
    }

    /**
     * The server dies mid-stream and comes back: the session reconnects by itself and the run finishes, its JSON line
     * telling the drops and the exit code agreeing with it.
     */
    @Test
    void aLostServerIsReconnectedToAndTheRunFinishes() throws Exception {
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        AtomicInteger code = new AtomicInteger(-100);
        AtomicReference<Throwable> failure = new AtomicReference<>();
        Thread app = new Thread(() -> {
            try {
                // The long clip: its key frames every 2 s let video resume soon after the reconnection.
                code.set(run(out, "--json", "--retries", "8", nginx.url("live", "comeback"),
                        data("clip.flv").toString()));
            } catch (Throwable t) {
                failure.set(t);
            }
        });
        app.start();
        Thread.sleep(800);
        nginx.kill();
        Thread.sleep(700);
        nginx.start();
        app.join(90_000);
        assertFalse(app.isAlive());
        String text = out.toString(StandardCharsets.UTF_8);
        assertEquals(null, failure.get(), text);
        assertTrue(text.contains("connection lost; reconnecting"), text);
        // Video waits for a key frame after the outage: what it skips makes the run one with drops (exit 3). Audio
        // goes on: reading waits while the session cannot send, so nothing reaches the queue's hard cap.
        Map<String, String> json = lastJsonLine(text);
        assertEquals("1", json.get("reconnections"), text);
        assertEquals("0", json.get("audio_dropped"), text);
        boolean drops = !json.get("video_dropped").equals("0");
        assertEquals(drops ? 3 : 0, code.get(), text);
        assertEquals(drops ? "published_with_drops" : "published", json.get("result"), text);
        // Every frame of the file is told: sent or dropped.
        for (String t : List.of("video", "audio")) {
            assertEquals(RtmpServer.packetTimes(data("clip.flv"), t.substring(0, 1)).size(),
                    Long.parseLong(json.get(t + "_sent")) + Long.parseLong(json.get(t + "_dropped")), t + ": " + text);
        }
        // The new publish was recorded afresh, from a key frame on.
        Path rec = nginx.recording("comeback");
        assertTrue(RtmpServer.settledPacketCount(rec, "v") > 0, text);
        assertTrue(firstVideoPacketIsKey(rec), text);
    }

    @Test
    void aServerThatNeverComesBackEndsTheRunAfterItsRetries() throws Exception {
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        AtomicReference<Throwable> failure = new AtomicReference<>();
        Thread app = new Thread(() -> {
            try {
                run(out, "--json", "--retries", "2", nginx.url("live", "never"), data("short.flv").toString());
            } catch (Throwable t) {
                failure.set(t);
            }
        });
        app.start();
        Thread.sleep(600);
        nginx.kill();
        try {
            app.join(30_000);
        } finally {
            nginx.start();
        }
        String text = out.toString(StandardCharsets.UTF_8);
        // The command line turns the exception into exit code 1, its message on stderr.
        assertTrue(failure.get() instanceof IOException, text + failure.get());
        assertTrue(text.contains("giving up after 2 attempts"), text);
        assertTrue(text.contains("stopped:"), text);
        Map<String, String> json = lastJsonLine(text);
        assertEquals("failed", json.get("result"), text);
        assertTrue(json.get("error").contains("RETRY_LIMIT"), text);
    }

    /**
     * With credentials the run publishes to a server that demands adobe or llnw publisher authentication (the
     * challenge server checks the scheme's real algorithm); a wrong password ends the run at once, before anything is
     * sent, with the session's reason.
     */
    @Test
    void credentialsPassTheAuthenticatingServer() throws Exception {
        int frames = RtmpServer.packetTimes(data("short.flv"), "v").size();
        int audio = RtmpServer.packetTimes(data("short.flv"), "a").size();
        for (String scheme : new String[] {"adobe", "llnw"}) {
            Path record = Files.createTempFile("challenge", ".jsonl");
            int port = RtmpServer.freePort();
            Process server = new ProcessBuilder("python3",
                    RtmpServer.sourceDir().resolve("testing/challenge-server/challenge-server").toString(),
                    "--port", Integer.toString(port), "--auth", scheme, "--user", "alice:s3cret", "--record",
                    record.toString(), "--max-seconds", "120").redirectErrorStream(true)
                    .redirectOutput(ProcessBuilder.Redirect.DISCARD).start();
            try {
                for (int i = 0; i < 100 && !Files.readString(record).contains("\"listening\""); i++) {
                    Thread.sleep(50);
                }
                String url = "rtmp://127.0.0.1:" + port + "/live/auth";
                // No retry loop: the run ends with the reason, having printed no failed attempt.
                ByteArrayOutputStream refused = new ByteArrayOutputStream();
                IOException e = assertThrows(IOException.class, () -> run(refused, "--fast", "--json", "-u", "alice",
                        "-p", "wrong", url, data("short.flv").toString()), scheme + ": wrong password");
                String text = refused.toString(StandardCharsets.UTF_8);
                assertTrue(e.getMessage().contains("AUTH_FAILED"), scheme + ": " + e.getMessage());
                assertFalse(text.contains("attempt"), scheme + ": " + text);
                assertEquals(Map.of("result", "failed", "video_sent", "0", "audio_sent", "0"),
                        pick(lastJsonLine(text), "result", "video_sent", "audio_sent"), scheme + ": " + text);
                ByteArrayOutputStream out = new ByteArrayOutputStream();
                assertEquals(0, run(out, "--fast", "--user", "alice", "--password", "s3cret", url,
                        data("short.flv").toString()), scheme + ": " + out);
                String events = "";
                for (int i = 0; i < 100; i++) {
                    events = Files.readString(record);
                    if (count(events, "\"type\": 9,") >= frames + 1 && events.contains("\"closed\"")) {
                        break;
                    }
                    Thread.sleep(50);
                }
                // Every frame and both sequence headers, plus the metadata.
                assertEquals(frames + 1, count(events, "\"type\": 9,"), scheme);
                assertEquals(audio + 1, count(events, "\"type\": 8,"), scheme);
                assertEquals(1, count(events, "\"type\": 18,"), scheme);
            } finally {
                server.destroyForcibly();
                server.waitFor();
                Files.deleteIfExists(record);
            }
        }
    }

    private static int count(String text, String part) {
        int n = 0;
        for (int at = text.indexOf(part); at >= 0; at = text.indexOf(part, at + 1)) {
            n++;
        }
        return n;
    }

    @Test
    void badCommandLinesAreRefused() throws Exception {
        String[][] bad = {
            {"--fps"}, {"--bogus"}, {"rtmp://x/y/z"}, {"--retries", "-1"}, {"--retries", "0"},
            {"--retry-deadline", "x"}, {"--fps", "x", "u", "f"}, {"a", "b", "c", "d"},
        };
        for (String[] args : bad) {
            assertThrows(IllegalArgumentException.class, () -> run(new ByteArrayOutputStream(), args),
                    String.join(" ", args));
        }
        assertThrows(IOException.class, () -> run(new ByteArrayOutputStream(), "--retries", "1",
                "rtmp://127.0.0.1:1/a/b", data("short.flv").toString(), data("short.aac").toString()));
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        // Nothing listens: one attempt allowed, so the session ends at once with the retry limit.
        assertThrows(IOException.class, () -> run(out, "--fast", "--json", "--retries", "1",
                "rtmp://127.0.0.1:" + RtmpServer.freePort() + "/live/x", data("short.flv").toString()));
        Map<String, String> json = lastJsonLine(out.toString(StandardCharsets.UTF_8));
        assertEquals("failed", json.get("result"));
        assertTrue(json.containsKey("error"), json.toString());
    }

    /** For each packet in file order, its position when sorted by pts. */
    private static List<Integer> displayRanks(List<String> times) {
        List<Long> pts = times.stream().map(t -> Long.parseLong(t.split(",")[0])).toList();
        List<Long> sorted = pts.stream().sorted().toList();
        return pts.stream().map(sorted::indexOf).toList();
    }

    private static boolean firstVideoPacketIsKey(Path rec) throws Exception {
        Process p = new ProcessBuilder("ffprobe", "-v", "error", "-select_streams", "v:0", "-read_intervals",
                "%+#1", "-show_entries", "packet=flags", "-of", "csv=p=0", rec.toString()).start();
        String out = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8).strip();
        p.waitFor();
        return out.startsWith("K");
    }
}
