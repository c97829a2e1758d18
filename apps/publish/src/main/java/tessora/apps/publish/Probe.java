package tessora.apps.publish;

import java.io.IOException;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;

/** What ffprobe reads in a media file: the stream summary and the video packets' times. */
public final class Probe {
    private Probe() {}

    /** One line per stream: codec, picture or sound format, packet count. */
    public static String streams(Path file) throws IOException, InterruptedException {
        return Command.check(120, List.of("ffprobe", "-v", "error", "-count_packets", "-show_entries",
                "stream=index,codec_type,codec_name,profile,width,height,r_frame_rate,sample_rate,channels,"
                        + "nb_read_packets:format=duration,size",
                "-of", "compact=p=0", file.toString())).strip();
    }

    /** "pts,dts" of every packet of the stream type ("v" or "a"), in file order. */
    public static List<String> packetTimes(Path file, String type) throws IOException, InterruptedException {
        String out = Command.check(120, List.of("ffprobe", "-v", "error", "-select_streams", type, "-show_entries",
                "packet=pts,dts", "-of", "csv=p=0", file.toString()));
        List<String> times = new ArrayList<>();
        for (String line : out.split("\n")) {
            if (!line.isBlank()) {
                times.add(line.strip());
            }
        }
        return times;
    }
}
