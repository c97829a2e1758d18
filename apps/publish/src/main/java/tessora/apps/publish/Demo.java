package tessora.apps.publish;

import java.io.IOException;
import java.io.PrintStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Comparator;
import java.util.List;
import java.util.Map;
import java.util.stream.Stream;

import tessora.streaming.media.reader.MediaReader;
import tessora.streaming.session.Session;

/**
 * The run without arguments: FFmpeg makes a short MP4 clip, a private nginx receives it on loopback, and ffprobe
 * shows what the server recorded, compared packet by packet with the source.
 */
final class Demo {
    private Demo() {}

    /** 0 when the server recorded every packet of the source with its times, size and key flag. */
    static int run(PrintStream out, boolean flvWrite, int seconds) throws IOException, InterruptedException {
        Path work = Files.createTempDirectory("publish-demo");
        try {
            Path clip = work.resolve("clip.mp4");
            out.println("making a " + seconds + " s clip with FFmpeg (H.264 with B-frames, AAC-LC) ...");
            Command.check(300, List.of("ffmpeg", "-nostdin", "-v", "error", "-y",
                    "-f", "lavfi", "-i", "testsrc2=size=640x360:rate=30",
                    "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100",
                    "-t", Integer.toString(seconds), "-map", "0:v", "-map", "1:a",
                    "-c:v", "libx264", "-preset", "veryfast", "-profile:v", "high", "-pix_fmt", "yuv420p",
                    "-b:v", "1M", "-bf", "2", "-g", "60", "-keyint_min", "60", "-sc_threshold", "0",
                    "-c:a", "aac", "-b:a", "128k", "-ar", "44100", "-ac", "2", clip.toString()));
            try (LocalNginx nginx = LocalNginx.start(false)) {
                out.println("nginx-rtmp listening on 127.0.0.1:" + nginx.port());
                String url = nginx.url("demo");
                boolean complete;
                try (MediaReader reader = MediaReader.open(clip)) {
                    complete = new Streamer(Session.builder(url).flvWrite(flvWrite), reader, out, true,
                            new Progress()).run(url, flvWrite);
                } catch (IOException e) {
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
        Map<String, List<Probe.Packet>> source = Probe.packets(clip);
        Map<String, List<Probe.Packet>> recorded = Probe.packets(rec);
        boolean same = true;
        for (String type : List.of("v", "a")) {
            List<Probe.Packet> s = source.get(type);
            List<Probe.Packet> r = recorded.get(type);
            boolean equal = s.equals(r);
            same &= equal && !r.isEmpty();
            out.printf("%s packets: source %d, recorded %d, times, sizes and key frames %s%n",
                    type.equals("v") ? "video" : "audio", s.size(), r.size(), equal ? "identical" : "DIFFERENT");
            for (int i = 0; !equal && i < Math.min(s.size(), r.size()); i++) {
                if (!s.get(i).equals(r.get(i))) {
                    out.println("  first difference at packet " + i + ": source " + s.get(i) + ", recorded "
                            + r.get(i));
                    break;
                }
            }
        }
        boolean ok = complete && same;
        out.println(ok ? "OK: the server recorded the whole stream" : "FAILED: the recording differs from the source");
        return ok ? 0 : 1;
    }
}
