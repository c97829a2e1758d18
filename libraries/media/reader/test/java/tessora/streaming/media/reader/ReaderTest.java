package tessora.streaming.media.reader;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.ByteBuffer;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.stream.Stream;
import java.util.zip.CRC32;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.MethodSource;

import tessora.media.testing.Probe;
import tessora.streaming.media.AvcFrame;

/**
 * The readers against ffprobe, on files FFmpeg makes at test time from the clip fixture's short clip (640x360,
 * 30 fps, H.264 High with B-frames, AAC-LC 44.1 kHz stereo).
 */
class ReaderTest {
    @TempDir
    static Path dir;

    /**
     * A file made from short.mp4 by FFmpeg ({@code IN} and {@code OUT} stand for the files). {@code shifted}: FFmpeg
     * moves a fragment's negative composition offsets onto the presentation times where the reader moves the
     * decoding times back, so times match up to a constant per track, and FFmpeg's FLV remux is off.
     */
    record Made(String name, boolean shifted, String... args) {
        Path file() throws Exception {
            if (args.length == 0) {
                return Probe.clip(name);
            }
            Path out = dir.resolve(name);
            Probe.ffmpeg(Stream.of(args).map(a -> a.equals("IN") ? Probe.clip("short.mp4").toString()
                    : a.equals("OUT") ? out.toString() : a).toArray(String[]::new));
            return out;
        }

        @Override
        public String toString() {
            return name;
        }
    }

    static List<Made> files() {
        return List.of(
                new Made("short.mp4", false), // moov after mdat; edit lists for the B-frame delay and AAC priming
                new Made("short.flv", false),
                new Made("faststart.mp4", false, "-i", "IN", "-c", "copy", "-movflags", "+faststart", "OUT"),
                new Made("fragmented.mp4", false, "-i", "IN", "-c", "copy", "-movflags", "frag_keyframe+empty_moov",
                        "OUT"),
                new Made("moof-based.mp4", false, "-i", "IN", "-c", "copy", "-movflags",
                        "frag_keyframe+empty_moov+default_base_moof", "OUT"),
                new Made("edited.mp4", false, "-ss", "0.5", "-i", "IN", "-c", "copy", "OUT"),
                new Made("delayed.mp4", false, "-itsoffset", "0.5", "-i", "IN", "-i", "IN", "-map", "0:v", "-map",
                        "1:a", "-c", "copy", "OUT"), // an empty edit before the video
                new Made("negative-ctts.mp4", false, "-i", "IN", "-c", "copy", "-movflags", "negative_cts_offsets",
                        "OUT"),
                new Made("negative-trun.mp4", true, "-i", "IN", "-c", "copy", "-movflags",
                        "frag_keyframe+empty_moov+negative_cts_offsets", "OUT"));
    }

    static List<MediaSample> readAll(MediaReader r) throws Exception {
        List<MediaSample> out = new ArrayList<>();
        r.samples().forEach(out::add);
        return out;
    }

    private static List<MediaSample> of(List<MediaSample> all, MediaSample.Kind kind) {
        return all.stream().filter(s -> s.kind() == kind).toList();
    }

    private static String crc(ByteBuffer b) {
        CRC32 c = new CRC32();
        c.update(b);
        return String.format("%08x", c.getValue());
    }

    @ParameterizedTest
    @MethodSource("files")
    void framesMatchFfprobesPackets(Made made) throws Exception {
        Path file = made.file();
        List<MediaSample> all;
        try (MediaReader r = MediaReader.open(file)) {
            MediaInfo info = r.info();
            assertEquals(List.of(640, 360, 30L, 44100, 2), List.of(info.width(), info.height(),
                    Math.round(info.frameRate()), info.sampleRate(), info.channels()), made.name);
            assertEquals(100, r.avcConfig().orElseThrow().profile());
            assertEquals(2, r.aacConfig().orElseThrow().objectType());
            all = readAll(r);
        }
        for (int i = 1; i < all.size(); i++) {
            assertTrue(all.get(i).dtsMs() >= all.get(i - 1).dtsMs(), "decoding order at " + i);
        }
        Path flv = dir.resolve(made.name + ".remux.flv");
        Probe.ffmpeg("-i", file.toString(), "-c", "copy", "-f", "flv", flv.toString());
        for (MediaSample.Kind kind : MediaSample.Kind.values()) {
            char k = kind == MediaSample.Kind.VIDEO ? 'v' : 'a';
            List<MediaSample> mine = of(all, kind);
            List<Probe.Packet> probed = Probe.packets(file, k);
            long shift = made.shifted ? probed.get(0).dts() - mine.get(0).dts() : 0;
            assertEquals(probed, mine.stream().map(s -> new Probe.Packet(s.pts() + shift, s.dts() + shift, s.size(),
                    s.keyFrame())).toList(), made.name + " " + kind + " in the file's time base");
            assertEquals(Probe.crcs(file, k), mine.stream().map(s -> crc(s.data())).toList(), made.name + " bytes");
            if (!made.shifted) {
                assertEquals(Probe.packets(flv, k), mine.stream().map(s -> new Probe.Packet(s.ptsMs(), s.dtsMs(),
                        s.size(), s.keyFrame())).toList(), made.name + " " + kind + " in FFmpeg's FLV milliseconds");
            }
        }
        for (MediaSample s : all) {
            assertEquals(s.size(), s.kind() == MediaSample.Kind.VIDEO ? s.toAvcFrame().size()
                    : s.toAacFrame().size());
        }
    }

    /**
     * Raw streams carry no times: the video's relative times come from the frame rate and display order, so they
     * match the MP4's to the millisecond of rounding; its first presentation comes after the smallest delay that
     * its reordering needs (the encoder may declare more). Parameter sets stay in the access units that carry them.
     */
    @Test
    void rawStreamsGiveTheClipsFramesInOrder() throws Exception {
        List<MediaSample> raw;
        try (MediaReader r = MediaReader.openRaw(Probe.clip("clip.h264"), Probe.clip("clip.aac"), 30)) {
            assertEquals(MediaInfo.Format.RAW, r.info().format());
            assertEquals(44100, r.info().sampleRate());
            raw = readAll(r);
        }
        List<MediaSample> mp4;
        try (MediaReader r = MediaReader.open(Probe.clip("clip.mp4"))) {
            mp4 = readAll(r);
        }
        for (MediaSample.Kind kind : MediaSample.Kind.values()) {
            List<MediaSample> a = of(raw, kind);
            List<MediaSample> b = of(mp4, kind);
            assertEquals(b.size(), a.size(), kind.toString());
            long delay = a.get(0).ptsMs() - (b.get(0).ptsMs() - b.get(0).dtsMs());
            for (int i = 0; i < a.size(); i++) {
                MediaSample x = a.get(i);
                MediaSample y = b.get(i);
                String at = kind + " " + i;
                assertEquals(pictureBytes(y), pictureBytes(x), at);
                assertEquals(y.keyFrame(), x.keyFrame(), at);
                assertTrue(Math.abs(x.dtsMs() - (y.dtsMs() - b.get(0).dtsMs())) <= 1, at);
                assertTrue(Math.abs(x.ptsMs() - delay - (y.ptsMs() - b.get(0).dtsMs())) <= 1, at);
            }
        }
    }

    /** The bytes of a sample without the parameter sets a raw stream repeats in band. */
    private static String pictureBytes(MediaSample s) {
        if (s.kind() == MediaSample.Kind.AUDIO) {
            return crc(s.data());
        }
        CRC32 c = new CRC32();
        for (ByteBuffer unit : s.toAvcFrame().units()) {
            int type = unit.get(0) & 0x1F;
            if (type != 7 && type != 8) {
                c.update(unit);
            }
        }
        return Long.toHexString(c.getValue());
    }

    /** Files of other codecs, and ones that need another way in, fail naming what they hold. */
    @Test
    void otherCodecsAreNamed() throws Exception {
        String[][] cases = {
            {"hevc.mp4", "H.265/HEVC", "-c:v", "libx265", "-x265-params", "log-level=error", "-tag:v", "hvc1", "-an"},
            {"mp3.mp4", "MP3", "-vn", "-c:a", "libmp3lame"},
            {"sorenson.flv", "Sorenson H.263", "-c:v", "flv", "-an"},
            {"mp3.flv", "MP3", "-vn", "-c:a", "libmp3lame", "-ar", "44100"},
            {"matroska.mkv", "Matroska", "-c", "copy"},
        };
        for (String[] c : cases) {
            Path out = dir.resolve(c[0]);
            List<String> args = new ArrayList<>(List.of("-i", Probe.clip("short.mp4").toString(), "-t", "0.2"));
            args.addAll(List.of(c).subList(2, c.length));
            args.add(out.toString());
            Probe.ffmpeg(args.toArray(String[]::new));
            MediaFormatException e = assertThrows(MediaFormatException.class, () -> MediaReader.open(out), c[0]);
            assertTrue(e.getMessage().contains(c[1]) && e.getMessage().contains(out.toString()), e.getMessage());
        }
        MediaFormatException e = assertThrows(MediaFormatException.class,
                () -> MediaReader.open(Probe.clip("short.h264")));
        assertTrue(e.getMessage().contains("openRaw"), e.getMessage());
    }

    /** The typed records a publisher takes come straight from the samples. */
    @Test
    void samplesBecomeThePublishersRecords() throws Exception {
        try (MediaReader r = MediaReader.open(Probe.clip("short.flv"))) {
            MediaSample first = r.read();
            assertEquals(MediaSample.Kind.VIDEO, first.kind());
            AvcFrame f = first.toAvcFrame();
            assertEquals(List.of(first.dtsMs(), first.ptsMs(), 1L), List.of(f.dtsMs(), f.ptsMs(), f.keyFrame() ? 1L
                    : 0L));
            assertThrows(IllegalStateException.class, first::toAacFrame);
            assertEquals(30, r.info().metadata().frameRate());
            r.iterator();
            assertThrows(IllegalStateException.class, r::iterator);
        }
    }
}
