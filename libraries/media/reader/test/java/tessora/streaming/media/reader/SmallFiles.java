package tessora.streaming.media.reader;

import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.channels.NonWritableChannelException;
import java.nio.channels.SeekableByteChannel;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;

import tessora.media.testing.Probe;

/** Small files FFmpeg makes at test time (the seeds of the truncation test and the fuzz loop), read in memory. */
final class SmallFiles {
    private SmallFiles() {}

    /** One second of 64x64 H.264 with B-frames and AAC, as MP4 (moov last and first), fragmented MP4 and FLV. */
    static Map<String, byte[]> make(Path dir) throws IOException, InterruptedException {
        Path mp4 = dir.resolve("small.mp4");
        Probe.ffmpeg("-f", "lavfi", "-i", "testsrc2=size=64x64:rate=10", "-f", "lavfi", "-i",
                "sine=frequency=440:sample_rate=8000", "-t", "1", "-c:v", "libx264", "-preset", "ultrafast",
                "-bf", "2", "-g", "4", "-c:a", "aac", "-b:a", "16k", mp4.toString());
        Map<String, byte[]> files = new LinkedHashMap<>();
        files.put("small.mp4", Files.readAllBytes(mp4));
        String[][] remuxes = {
            {"faststart.mp4", "-movflags", "+faststart"},
            {"fragmented.mp4", "-movflags", "frag_keyframe+empty_moov"},
            {"small.flv", "-f", "flv"},
        };
        for (String[] r : remuxes) {
            Path out = dir.resolve(r[0]);
            List<String> args = new ArrayList<>(List.of("-i", mp4.toString(), "-c", "copy"));
            args.addAll(List.of(r).subList(1, r.length));
            args.add(out.toString());
            Probe.ffmpeg(args.toArray(String[]::new));
            files.put(r[0], Files.readAllBytes(out));
        }
        return files;
    }

    /** Every frame of the first {@code length} bytes of a file, as "kind dts pts size key crc" lines. */
    static List<String> frames(String name, byte[] bytes, int length, List<String> out) throws IOException {
        try (MediaReader r = MediaReader.open(new Bytes(bytes, length), name)) {
            MediaSample s;
            while ((s = r.read()) != null) {
                java.util.zip.CRC32 c = new java.util.zip.CRC32();
                c.update(s.data());
                out.add(s.kind() + " " + s.dts() + " " + s.pts() + " " + s.size() + " " + s.keyFrame() + " "
                        + c.getValue());
            }
        }
        return out;
    }

    /** A read-only channel over the first bytes of an array. */
    static final class Bytes implements SeekableByteChannel {
        private final byte[] b;
        private final int length;
        private long position;
        private boolean open = true;

        Bytes(byte[] b, int length) {
            this.b = b;
            this.length = length;
        }

        @Override
        public int read(ByteBuffer dst) {
            if (position >= length) {
                return -1;
            }
            int n = (int) Math.min(dst.remaining(), length - position);
            dst.put(b, (int) position, n);
            position += n;
            return n;
        }

        @Override
        public int write(ByteBuffer src) {
            throw new NonWritableChannelException();
        }

        @Override
        public long position() {
            return position;
        }

        @Override
        public SeekableByteChannel position(long p) {
            position = p;
            return this;
        }

        @Override
        public long size() {
            return length;
        }

        @Override
        public SeekableByteChannel truncate(long size) {
            throw new NonWritableChannelException();
        }

        @Override
        public boolean isOpen() {
            return open;
        }

        @Override
        public void close() {
            open = false;
        }
    }
}
