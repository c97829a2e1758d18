package tessora.media.aac;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.util.Arrays;
import java.util.List;
import org.junit.jupiter.api.Test;
import tessora.media.testing.Probe;
import tessora.testing.NativeMemory;
import tessora.utils.aac.Mirabe;

/** Adts's native methods on the real JVM, fed FFmpeg's ADTS output of the test clip and bad input. */
class AdtsTest {
    /** buf and len of an AACHeader or AACData record. */
    private static byte[] bytesOf(long record) {
        ByteBuffer r = ByteBuffer.wrap(NativeMemory.read(record, 12)).order(ByteOrder.LITTLE_ENDIAN);
        return NativeMemory.read(r.getLong(0), r.getInt(8));
    }

    @Test
    void clipSplitsIntoFfprobesPacketsWithTheirTimes() throws Exception {
        byte[] stream = Probe.read(Probe.clip("clip.aac"));
        List<Probe.Packet> packets = Probe.packets(Probe.clip("clip.aac"), 'a');
        long[] tb = Probe.timeBase(Probe.clip("clip.aac"), 'a');
        // The raw frames FFmpeg muxed into the MP4, whose audio it copied to the .aac.
        List<Probe.Packet> samples = Probe.packets(Probe.clip("clip.mp4"), 'a');
        assertEquals(432, packets.size());

        int[] error = new int[1];
        long header = Adts.make_header(stream, 0, stream.length, error);
        assertNotEquals(0L, header, Adts.error_name(error[0]));
        try {
            assertEquals(2, Adts.header_len(header));
            assertArrayEquals(new byte[] {0x12, 0x10}, bytesOf(header), "AAC LC, 44100 Hz, stereo");
        } finally {
            Adts.free_header(header);
        }

        int pos = 0;
        int frames = 0;
        long samplesSoFar = 0;
        int[] info = new int[Adts.INFO_LEN];
        while (pos < stream.length) {
            int n = Adts.frame_len(stream, pos, stream.length - pos);
            assertTrue(n > 0, "frame " + frames + " at " + pos + ": " + Adts.error_name(n));
            assertEquals(Adts.OK, Adts.parse_header(stream, pos, stream.length - pos, info));
            assertEquals(n, info[Adts.INFO_FRAME_LEN]);
            assertEquals(44100, info[Adts.INFO_SAMPLE_RATE]);
            assertEquals(2, info[Adts.INFO_OBJECT_TYPE]);
            assertEquals(4, info[Adts.INFO_FREQUENCY_INDEX]);
            assertEquals(2, info[Adts.INFO_CHANNELS]);
            assertEquals(0, info[Adts.INFO_HAS_CRC]);
            assertEquals(1024, info[Adts.INFO_SAMPLES]);

            Probe.Packet p = packets.get(frames);
            assertEquals(p.size(), n, "frame " + frames);
            // The frame's time from the samples before it, as the publisher's elapsed_ms would be.
            assertEquals(p.pts(), samplesSoFar * tb[1] / (44100L * tb[0]), "pts of frame " + frames);

            long data = Adts.make_data(stream, pos, stream.length - pos, error);
            assertNotEquals(0L, data, Adts.error_name(error[0]));
            try {
                assertEquals(info[Adts.INFO_PAYLOAD_LEN], Adts.data_len(data));
                assertEquals(samples.get(frames).size(), Adts.data_len(data), "frame " + frames);
                assertEquals(Adts.data_len(data), Mirabe.get_len(data, null));
                byte[] copy = new byte[Adts.data_len(data)];
                assertEquals(copy.length, Mirabe.get_data(data, copy, null));
                assertArrayEquals(Arrays.copyOfRange(stream, pos + 7, pos + n), copy);
            } finally {
                // Mirabe's release, which the publisher's callers use.
                Mirabe.free_aac_data(data);
            }
            samplesSoFar += info[Adts.INFO_SAMPLES];
            pos += n;
            frames++;
        }
        assertEquals(packets.size(), frames);
    }

    @Test
    void directBufferGivesTheSameFrames() throws Exception {
        byte[] stream = Probe.read(Probe.clip("short.aac"));
        ByteBuffer direct = ByteBuffer.allocateDirect(stream.length + 5);
        direct.position(5);
        direct.put(stream);
        direct.limit(6);  // not consulted
        int[] error = new int[1];
        int pos = 0;
        int frames = 0;
        while (pos < stream.length) {
            int n = Adts.frame_len_direct(direct, pos + 5, stream.length - pos);
            assertEquals(Adts.frame_len(stream, pos, stream.length - pos), n);
            long a = Adts.make_data_direct(direct, pos + 5, stream.length - pos, error);
            long b = Adts.make_data(stream, pos, stream.length - pos, error);
            try {
                assertArrayEquals(bytesOf(b), bytesOf(a));
            } finally {
                Adts.free_data(a);
                Adts.free_data(b);
            }
            pos += n;
            frames++;
        }
        assertTrue(frames > 80, "2 s at 1024 samples a frame: " + frames);
        long header = Adts.make_header_direct(direct, 5, stream.length, error);
        assertArrayEquals(new byte[] {0x12, 0x10}, bytesOf(header));
        Mirabe.free_aac_header(header);
    }

    @Test
    void bareConfigAndRawFramesAreCopied() {
        byte[] config = {0x00, 0x13, (byte) 0x90, 0x56, (byte) 0xe5, (byte) 0xa5, 0x48, (byte) 0x80};
        int[] error = {99};
        long header = Adts.header_from_config(config, 1, 7, error);
        assertNotEquals(0L, header);
        assertEquals(Adts.OK, error[0]);
        config[1] = 0;  // the record holds a copy
        assertArrayEquals(new byte[] {0x13, (byte) 0x90, 0x56, (byte) 0xe5, (byte) 0xa5, 0x48, (byte) 0x80},
                bytesOf(header));
        Adts.free_header(header);

        ByteBuffer raw = ByteBuffer.allocateDirect(300);
        for (int i = 0; i < 300; i++) {
            raw.put(i, (byte) i);
        }
        long data = Adts.data_from_raw_direct(raw, 100, 200, error);
        assertEquals(200, Adts.data_len(data));
        assertEquals((byte) 100, bytesOf(data)[0]);
        Mirabe.free_aac_data(data);
        data = Adts.data_from_raw(new byte[] {0x21, 0x10}, 0, 2, error);
        assertArrayEquals(new byte[] {0x21, 0x10}, bytesOf(data));
        Adts.free_data(data);
    }

    private interface Maker {
        long make(int[] error);
    }

    private record BadCase(String name, int code, Maker maker) {}

    // 44.1 kHz stereo LC, frame_length 10: a 7-byte header and 3 bytes.
    private static final byte[] FRAME = {(byte) 0xff, (byte) 0xf1, 0x50, (byte) 0x80, 0x01, 0x5f, (byte) 0xfc, 1, 2,
        3};

    private static byte[] with(int index, int value) {
        byte[] b = FRAME.clone();
        b[index] = (byte) value;
        return b;
    }

    @Test
    void badInputGivesItsCodeAndNoRecord() {
        ByteBuffer heap = ByteBuffer.wrap(FRAME);
        ByteBuffer direct = ByteBuffer.allocateDirect(FRAME.length).put(FRAME);
        List<BadCase> cases = List.of(
                new BadCase("null array", Adts.ERR_BAD_ARG, e -> Adts.make_data(null, 0, 0, e)),
                new BadCase("range past the end", Adts.ERR_RANGE, e -> Adts.make_data(FRAME, 1, FRAME.length, e)),
                new BadCase("negative offset", Adts.ERR_RANGE, e -> Adts.make_header(FRAME, -1, 3, e)),
                new BadCase("overflowing range", Adts.ERR_RANGE,
                        e -> Adts.make_header(FRAME, 2, Integer.MAX_VALUE, e)),
                new BadCase("heap buffer", Adts.ERR_NOT_DIRECT, e -> Adts.make_data_direct(heap, 0, 7, e)),
                new BadCase("null buffer", Adts.ERR_BAD_ARG, e -> Adts.make_header_direct(null, 0, 7, e)),
                new BadCase("buffer range past the capacity", Adts.ERR_RANGE,
                        e -> Adts.make_data_direct(direct, 0, FRAME.length + 1, e)),
                new BadCase("frame cut short", Adts.ERR_FRAME_PAST_END,
                        e -> Adts.make_data(FRAME, 0, FRAME.length - 1, e)),
                new BadCase("header cut short", Adts.ERR_TRUNCATED, e -> Adts.make_header(FRAME, 0, 6, e)),
                new BadCase("no sync word", Adts.ERR_NO_SYNC, e -> Adts.make_data(with(1, 0xe1), 0, 10, e)),
                new BadCase("channel configuration 0", Adts.ERR_BAD_CONFIG,
                        e -> Adts.make_header(with(3, 0x00), 0, 10, e)),
                new BadCase("empty raw frame", Adts.ERR_EMPTY, e -> Adts.data_from_raw(FRAME, 3, 0, e)),
                new BadCase("one-byte config", Adts.ERR_BAD_CONFIG, e -> Adts.header_from_config(FRAME, 0, 1, e)),
                new BadCase("raw frame from a heap buffer", Adts.ERR_NOT_DIRECT,
                        e -> Adts.data_from_raw_direct(heap, 0, 3, e)));
        for (BadCase c : cases) {
            int[] error = {12345};
            assertEquals(0L, c.maker().make(error), c.name());
            assertEquals(c.code(), error[0], c.name());
            assertEquals(0L, c.maker().make(null), c.name());
        }
        assertEquals(Adts.ERR_RANGE, Adts.frame_len(FRAME, 0, 11));
        assertEquals(Adts.ERR_NOT_DIRECT, Adts.frame_len_direct(heap, 0, 10));
        assertEquals(10, Adts.frame_len_direct(direct, 0, 10));
        int[] info = {-5, -5};
        assertEquals(Adts.ERR_BAD_LAYER, Adts.parse_header(with(1, 0xf3), 0, 10, info));
        assertArrayEquals(new int[] {-5, -5}, info, "untouched on error");
        assertEquals(Adts.OK, Adts.parse_header(FRAME, 0, 10, info));
        assertArrayEquals(new int[] {10, 7}, info, "a short array gets what fits");
        assertEquals(Adts.OK, Adts.parse_header(FRAME, 0, 10, null));
        Adts.free_header(0);
        Adts.free_data(0);
        assertEquals(-1, Adts.header_len(0));
        assertEquals(-1, Adts.data_len(0));
    }
}
