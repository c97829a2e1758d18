package tessora.apps.publish;

import java.io.IOException;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;

/** What ffprobe reads in a media file: the stream summary and the packets of its first video and audio stream. */
public final class Probe {
    private Probe() {}

    /**
     * A packet as a player of the file meets it: times in milliseconds from the file's first decoding time.
     *
     * @param ptsMs presentation time
     * @param dtsMs decoding time
     * @param size bytes of the frame (for FLV without its tag's codec header)
     * @param key whether ffprobe marks it a key frame
     */
    public record Packet(long ptsMs, long dtsMs, int size, boolean key) {}

    /** One line per stream: codec, picture or sound format, packet count. */
    public static String streams(Path file) throws IOException, InterruptedException {
        return Command.check(120, List.of("ffprobe", "-v", "error", "-count_packets", "-show_entries",
                "stream=index,codec_type,codec_name,profile,width,height,r_frame_rate,sample_rate,channels,"
                        + "nb_read_packets:format=duration,size",
                "-of", "compact=p=0", file.toString())).strip();
    }

    /**
     * The packets of the first video ("v") and the first audio ("a") stream, in file order, on one clock for both:
     * each time is put in milliseconds of the stream's time base (the nearest, halves away from zero), and the
     * earliest first decoding time of the two is taken off. So an MP4 (in its tracks' timescales, starting below
     * zero after an edit list) and the FLV a server recorded of it (in milliseconds from 0) compare directly.
     */
    public static Map<String, List<Packet>> packets(Path file) throws IOException, InterruptedException {
        Map<String, List<long[]>> raw = new LinkedHashMap<>();
        long origin = Long.MAX_VALUE;
        for (String type : List.of("v", "a")) {
            List<long[]> list = new ArrayList<>();
            String select = type + ":0";
            String base = Command.check(60, List.of("ffprobe", "-v", "error", "-select_streams", select,
                    "-show_entries", "stream=time_base", "-of", "csv=p=0", file.toString())).strip();
            if (!base.isEmpty()) {
                String[] tb = base.split("/");
                long num = Long.parseLong(tb[0]);
                long den = Long.parseLong(tb[1]);
                for (String line : lines(Command.check(120, List.of("ffprobe", "-v", "error", "-select_streams",
                        select, "-show_entries", "packet=pts,dts,size,flags", "-of", "csv=p=0", file.toString())))) {
                    String[] f = line.split(",");
                    list.add(new long[] {millis(f[0], num, den), millis(f[1], num, den), Long.parseLong(f[2]),
                        f[3].startsWith("K") ? 1 : 0});
                }
            }
            if (!list.isEmpty()) {
                origin = Math.min(origin, list.get(0)[1]);
            }
            raw.put(type, list);
        }
        Map<String, List<Packet>> out = new LinkedHashMap<>();
        for (Map.Entry<String, List<long[]>> e : raw.entrySet()) {
            long o = origin;
            out.put(e.getKey(), e.getValue().stream().map(p -> new Packet(p[0] - o, p[1] - o, (int) p[2], p[3] == 1))
                    .toList());
        }
        return out;
    }

    private static long millis(String ticks, long num, long den) {
        long scaled = Long.parseLong(ticks) * 1000 * num;
        long q = scaled / den;
        long twiceRest = 2 * Math.abs(scaled % den);
        return twiceRest >= den ? q + Long.signum(scaled) : q;
    }

    private static List<String> lines(String text) {
        List<String> out = new ArrayList<>();
        for (String line : text.split("\n")) {
            if (!line.isBlank()) {
                out.add(line.strip());
            }
        }
        return out;
    }
}
