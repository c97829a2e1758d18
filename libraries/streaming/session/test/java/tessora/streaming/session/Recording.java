package tessora.streaming.session;

import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.TimeUnit;

/** What nginx recorded, read back with FFmpeg and with a walk over its FLV tags. */
final class Recording {
    private Recording() {}

    /** One video packet as ffprobe shows it. */
    record Packet(long dtsMs, boolean key) {}

    /** One FLV tag: its type (8 audio, 9 video, 18 data), time, and its first two body bytes. */
    record Tag(int type, long timeMs, int first, int second) {
        /** An AAC or AVC sequence header. */
        boolean isSequenceHeader() {
            return (type == 8 || type == 9) && second == 0;
        }

        boolean isKeyFrame() {
            return type == 9 && (first >> 4) == 1 && second == 1;
        }
    }

    static List<Packet> videoPackets(Path file) throws IOException, InterruptedException {
        List<Packet> packets = new ArrayList<>();
        for (String line : run("ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                "packet=dts,flags", "-of", "csv=p=0", file.toString()).split("\n")) {
            if (!line.isBlank()) {
                String[] f = line.strip().split(",");
                packets.add(new Packet(Long.parseLong(f[0]), f[1].startsWith("K")));
            }
        }
        return packets;
    }

    /** What {@code ffmpeg -v error} says while decoding the whole file: empty when it decodes cleanly. */
    static String decodeErrors(Path file) throws IOException, InterruptedException {
        return run("ffmpeg", "-nostdin", "-v", "error", "-i", file.toString(), "-f", "null", "-").strip();
    }

    /** The first tags of an FLV file, up to max. */
    static List<Tag> tags(Path file, int max) throws IOException {
        ByteBuffer b = ByteBuffer.wrap(Files.readAllBytes(file));
        List<Tag> tags = new ArrayList<>();
        int at = 9 + 4; // file header, first previous-tag size
        while (tags.size() < max && at + 11 <= b.limit()) {
            int type = b.get(at) & 0x1F;
            int size = b.getInt(at) & 0xFFFFFF;
            long time = (b.getInt(at + 4) >>> 8) | ((b.get(at + 7) & 0xFFL) << 24);
            if (at + 11 + size > b.limit() || size < 2) {
                break;
            }
            tags.add(new Tag(type, time, b.get(at + 11) & 0xFF, b.get(at + 12) & 0xFF));
            at += 11 + size + 4;
        }
        return tags;
    }

    private static String run(String... argv) throws IOException, InterruptedException {
        Process p = new ProcessBuilder(argv).redirectErrorStream(true).start();
        String out = new String(p.getInputStream().readAllBytes());
        if (!p.waitFor(120, TimeUnit.SECONDS)) {
            p.destroyForcibly();
            throw new IOException(argv[0] + " did not finish");
        }
        if (p.exitValue() != 0 && !argv[0].equals("ffmpeg")) {
            throw new IOException(argv[0] + " failed: " + out);
        }
        return out;
    }
}
