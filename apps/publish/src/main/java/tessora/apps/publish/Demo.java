package tessora.apps.publish;

import java.io.IOException;
import java.io.PrintStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Comparator;
import java.util.List;
import java.util.stream.Stream;

import tessora.streaming.rtmpdump.Publisher;
import tessora.streaming.rtmpdump.PublisherException;

/**
 * The run without arguments: FFmpeg makes a short clip, a private nginx receives it on loopback, and ffprobe
 * shows what the server recorded, compared packet by packet with the source.
 */
final class Demo {
    private Demo() {}

    /** 0 when the server recorded the whole stream with the source's times. */
    static int run(PrintStream out, boolean flvWrite, int seconds) throws IOException, InterruptedException {
        Path work = Files.createTempDirectory("publish-demo");
        try {
            Path clip = work.resolve("clip.flv");
            out.println("making a " + seconds + " s clip with FFmpeg (H.264 with B-frames, AAC-LC) ...");
            Command.check(300, List.of("ffmpeg", "-nostdin", "-v", "error", "-y",
                    "-f", "lavfi", "-i", "testsrc2=size=640x360:rate=30",
                    "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100",
                    "-t", Integer.toString(seconds), "-map", "0:v", "-map", "1:a",
                    "-c:v", "libx264", "-preset", "veryfast", "-profile:v", "high", "-pix_fmt", "yuv420p",
                    "-b:v", "1M", "-bf", "2", "-g", "60", "-keyint_min", "60", "-sc_threshold", "0",
                    "-c:a", "aac", "-b:a", "128k", "-ar", "44100", "-ac", "2",
                    "-f", "flv", clip.toString()));
            try (LocalNginx nginx = LocalNginx.start(false)) {
                out.println("nginx-rtmp listening on 127.0.0.1:" + nginx.port());
                Publisher.Settings settings = Publisher.to(nginx.url("demo")).flvWrite(flvWrite).settings();
                boolean complete;
                try {
                    complete = new Streamer(settings, FlvFile.read(clip), out, true, new Backoff(250, 4000, 6)).run();
                } catch (PublisherException e) {
                    out.println("could not publish: " + e.getMessage());
                    out.println(nginx.errorLog());
                    return 1;
                }
                nginx.stop();
                return report(out, clip, nginx.recording("demo"), complete);
            }
        } finally {
            try (Stream<Path> files = Files.walk(work)) {
                files.sorted(Comparator.reverseOrder()).forEach(p -> p.toFile().delete());
            }
        }
    }

    private static int report(PrintStream out, Path clip, Path rec, boolean complete)
            throws IOException, InterruptedException {
        if (!Files.exists(rec) || Files.size(rec) == 0) {
            out.println("FAILED: the server recorded nothing");
            return 1;
        }
        out.println();
        out.println("the server recorded " + Files.size(rec) + " bytes; ffprobe reads:");
        out.println(Probe.streams(rec).indent(2).stripTrailing());
        List<String> srcVideo = Probe.packetTimes(clip, "v");
        List<String> recVideo = Probe.packetTimes(rec, "v");
        List<String> srcAudio = Probe.packetTimes(clip, "a");
        List<String> recAudio = Probe.packetTimes(rec, "a");
        boolean sameVideo = srcVideo.equals(recVideo);
        out.printf("video packets: source %d, recorded %d, pts/dts %s%n", srcVideo.size(), recVideo.size(),
                sameVideo ? "identical" : "DIFFERENT");
        out.printf("audio packets: source %d, recorded %d%n", srcAudio.size(), recAudio.size());
        if (!sameVideo) {
            for (int i = 0; i < Math.min(srcVideo.size(), recVideo.size()); i++) {
                if (!srcVideo.get(i).equals(recVideo.get(i))) {
                    out.println("  first difference at packet " + i + ": source " + srcVideo.get(i) + ", recorded "
                            + recVideo.get(i));
                    break;
                }
            }
        }
        boolean ok = complete && sameVideo && srcAudio.size() == recAudio.size() && !recVideo.isEmpty();
        out.println(ok ? "OK: the server recorded the whole stream" : "FAILED: the recording differs from the source");
        return ok ? 0 : 1;
    }
}
