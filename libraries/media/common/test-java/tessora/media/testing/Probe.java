package tessora.media.testing;

import java.io.IOException;
import java.io.InputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.TimeUnit;

/** The test clips (made by the clip fixture) and ffprobe's reading of them. */
public final class Probe {
    private Probe() {}

    public record Packet(long pts, long dts, int size, boolean key) {}

    public static Path clip(String name) {
        String dir = System.getenv("TAVREL_TESTDATA");
        if (dir == null) {
            throw new IllegalStateException("TAVREL_TESTDATA is not set (run through ctest)");
        }
        return Path.of(dir, name);
    }

    public static byte[] read(Path path) throws IOException {
        return Files.readAllBytes(path);
    }

    /** Packets of the first video ('v') or audio ('a') stream in file order, in the stream's time base. */
    public static List<Packet> packets(Path path, char kind) throws IOException, InterruptedException {
        List<Packet> out = new ArrayList<>();
        for (String line : run("ffprobe", "-v", "error", "-select_streams", String.valueOf(kind), "-show_entries",
                "packet=pts,dts,size,flags", "-of", "csv=p=0", path.toString())) {
            String[] f = line.split(",");
            out.add(new Packet(number(f[0]), number(f[1]), Integer.parseInt(f[2]), f[3].startsWith("K")));
        }
        return out;
    }

    /** The CRC-32 of each packet's bytes of the first video ('v') or audio ('a') stream, as 8 hex digits. */
    public static List<String> crcs(Path path, char kind) throws IOException, InterruptedException {
        List<String> out = new ArrayList<>();
        for (String line : run("ffprobe", "-v", "error", "-select_streams", String.valueOf(kind), "-show_entries",
                "packet=data_hash", "-show_data_hash", "CRC32", "-of", "csv=p=0", path.toString())) {
            out.add(line.substring(line.indexOf(':') + 1, line.indexOf(':') + 9));
        }
        return out;
    }

    /** The stream's time base as {num, den}. */
    public static long[] timeBase(Path path, char kind) throws IOException, InterruptedException {
        List<String> lines = run("ffprobe", "-v", "error", "-select_streams", String.valueOf(kind), "-show_entries",
                "stream=time_base", "-of", "csv=p=0", path.toString());
        String[] f = lines.get(0).split("/");
        return new long[] {Long.parseLong(f[0]), Long.parseLong(f[1])};
    }

    /** Runs FFmpeg quietly with the given arguments (overwriting outputs), failing when it fails. */
    public static void ffmpeg(String... args) throws IOException, InterruptedException {
        List<String> command = new ArrayList<>(List.of("ffmpeg", "-nostdin", "-y", "-v", "error"));
        command.addAll(List.of(args));
        run(command.toArray(new String[0]));
    }

    private static long number(String s) {
        return s.equals("N/A") ? Long.MIN_VALUE : Long.parseLong(s);
    }

    private static List<String> run(String... command) throws IOException, InterruptedException {
        Process p = new ProcessBuilder(command).redirectError(ProcessBuilder.Redirect.INHERIT).start();
        String text;
        try (InputStream in = p.getInputStream()) {
            text = new String(in.readAllBytes(), StandardCharsets.UTF_8);
        }
        if (!p.waitFor(60, TimeUnit.SECONDS)) {
            p.destroyForcibly();
            throw new IOException(command[0] + " did not finish");
        }
        if (p.exitValue() != 0) {
            throw new IOException(command[0] + " exited with " + p.exitValue());
        }
        List<String> lines = new ArrayList<>();
        for (String line : text.split("\n")) {
            if (!line.isBlank()) {
                lines.add(line.strip());
            }
        }
        return lines;
    }
}
