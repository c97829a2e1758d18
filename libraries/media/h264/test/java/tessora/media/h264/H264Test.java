package tessora.media.h264;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.function.ToLongFunction;
import org.junit.jupiter.api.Test;
import tessora.media.testing.Probe;
import tessora.testing.NativeMemory;

/** H264's native methods on the real JVM, fed FFmpeg's raw stream of the test clip and bad input. */
class H264Test {
    private static ByteBuffer fields(long addr, int len) {
        return ByteBuffer.wrap(NativeMemory.read(addr, len)).order(ByteOrder.LITTLE_ENDIAN);
    }

    /** [offset, length) of every access unit, as the splitter cuts the stream. */
    private static List<int[]> accessUnits(int total, ToLongFunction<int[]> split) {
        List<int[]> aus = new ArrayList<>();
        int pos = 0;
        while (pos < total) {
            int n = (int) split.applyAsLong(new int[] {pos, total - pos});
            assertTrue(n > 0, "split at " + pos + ": " + H264.error_name(n));
            aus.add(new int[] {pos, n});
            pos += n;
        }
        return aus;
    }

    private static boolean hasType(long nalus, int type) {
        for (int i = 0; i < H264.nalus_num_nalu(nalus); i++) {
            if (H264.nalus_type(nalus, i) == type) {
                return true;
            }
        }
        return false;
    }

    @Test
    void rawStreamCutsIntoFfprobesPacketsCarryingTheirTimes() throws Exception {
        byte[] stream = Probe.read(Probe.clip("clip.h264"));
        Path mp4 = Probe.clip("clip.mp4");
        List<Probe.Packet> packets = Probe.packets(mp4, 'v');
        long[] tb = Probe.timeBase(mp4, 'v');
        List<int[]> aus = accessUnits(stream.length, r -> H264.annexb_au_len(stream, r[0], r[1]));
        assertEquals(300, packets.size());
        assertEquals(packets.size(), aus.size());

        Probe.Packet first = packets.get(0);
        int[] error = {12345};
        int keys = 0;
        for (int i = 0; i < aus.size(); i++) {
            Probe.Packet p = packets.get(i);
            long nalus = H264.nalus_from_annexb(stream, aus.get(i)[0], aus.get(i)[1], true, (int) tb[0], (int) tb[1],
                    p.pts(), p.dts(), first.pts(), first.dts(), error);
            assertNotEquals(0L, nalus, "access unit " + i + ": " + H264.error_name(error[0]));
            try {
                assertEquals(H264.OK, error[0]);
                assertEquals(p.key(), H264.nalus_is_keyframe(nalus), "access unit " + i);
                assertEquals(p.key(), hasType(nalus, H264.NAL_SPS), "access unit " + i);
                assertEquals(p.key(), hasType(nalus, H264.NAL_PPS), "access unit " + i);
                keys += p.key() ? 1 : 0;
                // The record, as the publisher reads it.
                ByteBuffer r = fields(nalus, 72);
                assertEquals(H264.nalus_num_nalu(nalus), r.getInt(8));
                assertEquals(tb[0], Integer.toUnsignedLong(r.getInt(16)));
                assertEquals(tb[1], Integer.toUnsignedLong(r.getInt(20)));
                assertEquals(p.pts(), r.getLong(24), "pts of access unit " + i);
                assertEquals(p.dts(), r.getLong(32), "dts of access unit " + i);
                assertEquals(first.pts(), r.getLong(40));
                assertEquals(first.dts(), r.getLong(48));
                assertEquals(1, r.getInt(60), "stripped");
                assertEquals(0, r.getInt(64), "never Annex B");
            } finally {
                H264.free_nalus(nalus);
            }
        }
        assertEquals(5, keys);
    }

    @Test
    void displayOrderGivesTheMp4sPresentationTimes() throws Exception {
        byte[] stream = Probe.read(Probe.clip("clip.h264"));
        List<Probe.Packet> packets = Probe.packets(Probe.clip("clip.mp4"), 'v');
        // Junk on both sides of the range.
        byte[] padded = new byte[stream.length + 10];
        System.arraycopy(stream, 0, padded, 4, stream.length);
        int[] display = new int[400];
        assertEquals(300, H264.annexb_display_order(padded, 4, stream.length, display));
        long frame = packets.get(1).dts() - packets.get(0).dts();
        for (int i = 0; i < 300; i++) {
            assertEquals(packets.get(i).pts(), display[i] * frame, "pts of access unit " + i);
        }
        assertEquals(0, display[300], "past the count");
        assertEquals(300, H264.annexb_display_order(stream, 0, stream.length, null));
        int[] three = new int[3];
        assertEquals(300, H264.annexb_display_order(stream, 0, stream.length, three));
        assertArrayEquals(new int[] {display[0], display[1], display[2]}, three);
        assertEquals(H264.ERR_BAD_ARG, H264.annexb_display_order(null, 0, 0, display));
        assertEquals(H264.ERR_RANGE, H264.annexb_display_order(stream, 1, stream.length, display));
        assertEquals(H264.ERR_BAD_HEADER, H264.annexb_display_order(AU, 0, 11, display), "no slice");
    }

    @Test
    void directBufferPayloadsMatchTheArrayAndReadBackAsAvcc() throws Exception {
        byte[] stream = Probe.read(Probe.clip("short.h264"));
        // Junk in front: the offsets must be honoured, not the buffer's start.
        int skew = 3;
        ByteBuffer direct = ByteBuffer.allocateDirect(stream.length + skew);
        direct.put(new byte[] {1, 2, 3}).put(stream);
        direct.position(17);  // position and limit are not consulted
        ByteBuffer readOnly = direct.asReadOnlyBuffer();
        List<int[]> aus = accessUnits(stream.length,
                r -> H264.annexb_au_len_direct(direct, r[0] + skew, r[1]));
        assertEquals(60, aus.size());
        int[] error = new int[1];
        for (int[] au : aus) {
            long payload = H264.payload_from_annexb_direct(readOnly, au[0] + skew, au[1], false, 1, 90000, 3003, 0,
                    0, 0, error);
            long nalus = H264.nalus_from_annexb(stream, au[0], au[1], false, 1, 90000, 3003, 0, 0, 0, error);
            assertNotEquals(0L, payload);
            assertNotEquals(0L, nalus);
            try {
                assertEquals(H264.nalus_total_len(nalus), H264.payload_len(payload));
                assertEquals(H264.nalus_is_keyframe(nalus), H264.payload_is_keyframe(payload));
                ByteBuffer p = fields(payload, 72);
                assertEquals(1, p.getInt(12));
                assertEquals(90000, p.getInt(16));
                assertEquals(3003L, p.getLong(24));
                assertEquals(0, p.getInt(60), "not stripped");
                byte[] avcc = NativeMemory.read(p.getLong(0), H264.payload_len(payload));
                int stored = 0;
                for (int i = 0; i < H264.nalus_num_nalu(nalus); i++) {
                    stored += H264.nalus_len(nalus, i);
                }
                assertEquals(avcc.length, stored);

                // The AVCC bytes cut back into the same units.
                long back = H264.nalus_from_avcc(avcc, 0, avcc.length, true, 1, 90000, 0, 0, 0, 0, error);
                assertNotEquals(0L, back, H264.error_name(error[0]));
                try {
                    assertEquals(H264.nalus_num_nalu(nalus), H264.nalus_num_nalu(back));
                    for (int i = 0; i < H264.nalus_num_nalu(nalus); i++) {
                        assertEquals(H264.nalus_type(nalus, i), H264.nalus_type(back, i));
                        assertEquals(H264.nalus_len(nalus, i) - 4, H264.nalus_len(back, i));
                    }
                } finally {
                    H264.free_nalus(back);
                }
            } finally {
                H264.free_payload(payload);
                H264.free_nalus(nalus);
            }
        }
    }

    private interface Maker {
        long make(int[] error);
    }

    private record BadCase(String name, int code, Maker maker) {}

    // SPS, PPS and IDR slice behind start codes; the IDR on its own.
    private static final byte[] AU = {0, 0, 0, 1, 0x67, 0x64, 0, 0x1f, 0, 0, 1, 0x68, (byte) 0xee, 0, 0, 1, 0x65,
        (byte) 0x88, (byte) 0x84};
    private static final byte[] IDR = {0, 0, 1, 0x65, (byte) 0x88};

    @Test
    void badInputGivesItsCodeAndNoRecord() {
        ByteBuffer heap = ByteBuffer.wrap(AU);
        ByteBuffer direct = ByteBuffer.allocateDirect(AU.length).put(AU);
        List<BadCase> cases = List.of(
                new BadCase("null array", H264.ERR_BAD_ARG,
                        e -> H264.nalus_from_annexb(null, 0, 0, true, 1, 1000, 0, 0, 0, 0, e)),
                new BadCase("negative offset", H264.ERR_RANGE,
                        e -> H264.nalus_from_annexb(AU, -1, 4, true, 1, 1000, 0, 0, 0, 0, e)),
                new BadCase("negative length", H264.ERR_RANGE,
                        e -> H264.nalus_from_avcc(AU, 0, -1, true, 1, 1000, 0, 0, 0, 0, e)),
                new BadCase("offset past the end", H264.ERR_RANGE,
                        e -> H264.payload_from_annexb(AU, AU.length + 1, 0, false, 1, 1000, 0, 0, 0, 0, e)),
                new BadCase("length past the end", H264.ERR_RANGE,
                        e -> H264.payload_from_avcc(AU, 1, AU.length, false, 1, 1000, 0, 0, 0, 0, e)),
                new BadCase("offset + length overflowing int", H264.ERR_RANGE,
                        e -> H264.nalus_from_annexb(AU, 4, Integer.MAX_VALUE, true, 1, 1000, 0, 0, 0, 0, e)),
                new BadCase("empty range", H264.ERR_EMPTY,
                        e -> H264.nalus_from_annexb(AU, AU.length, 0, true, 1, 1000, 0, 0, 0, 0, e)),
                new BadCase("range starting inside a unit", H264.ERR_NO_START_CODE,
                        e -> H264.nalus_from_annexb(AU, 5, 10, true, 1, 1000, 0, 0, 0, 0, e)),
                new BadCase("Annex B read as AVCC", H264.ERR_BAD_LENGTH,
                        e -> H264.nalus_from_avcc(AU, 0, AU.length, true, 1, 1000, 0, 0, 0, 0, e)),
                new BadCase("stripped payload of three units", H264.ERR_NOT_ONE_UNIT,
                        e -> H264.payload_from_annexb(AU, 0, AU.length, true, 1, 1000, 0, 0, 0, 0, e)),
                new BadCase("time base denominator 0", H264.ERR_BAD_ARG,
                        e -> H264.nalus_from_annexb(AU, 0, AU.length, true, 1, 0, 0, 0, 0, 0, e)),
                new BadCase("null buffer", H264.ERR_BAD_ARG,
                        e -> H264.nalus_from_annexb_direct(null, 0, 4, true, 1, 1000, 0, 0, 0, 0, e)),
                new BadCase("heap buffer", H264.ERR_NOT_DIRECT,
                        e -> H264.payload_from_annexb_direct(heap, 0, 4, false, 1, 1000, 0, 0, 0, 0, e)),
                new BadCase("range past the capacity", H264.ERR_RANGE,
                        e -> H264.nalus_from_avcc_direct(direct, 2, AU.length - 1, true, 1, 1000, 0, 0, 0, 0, e)),
                new BadCase("negative offset in a buffer", H264.ERR_RANGE,
                        e -> H264.payload_from_avcc_direct(direct, -4, 4, true, 1, 1000, 0, 0, 0, 0, e)));
        for (BadCase c : cases) {
            int[] error = {12345};
            assertEquals(0L, c.maker().make(error), c.name());
            assertEquals(c.code(), error[0], c.name());
            // Without somewhere to put the code the call still fails cleanly.
            assertEquals(0L, c.maker().make(null), c.name());
            assertEquals(0L, c.maker().make(new int[0]), c.name());
        }
    }

    @Test
    void splitterBoundsItsRange() {
        ByteBuffer heap = ByteBuffer.wrap(AU);
        assertEquals(H264.ERR_BAD_ARG, H264.annexb_au_len(null, 0, 0));
        assertEquals(H264.ERR_RANGE, H264.annexb_au_len(AU, 0, AU.length + 1));
        assertEquals(H264.ERR_RANGE, H264.annexb_au_len(AU, -1, 1));
        assertEquals(H264.ERR_NOT_DIRECT, H264.annexb_au_len_direct(heap, 0, 1));
        assertEquals(H264.ERR_BAD_ARG, H264.annexb_au_len_direct(null, 0, 1));
        assertEquals(H264.ERR_NO_START_CODE, H264.annexb_au_len(AU, 4, AU.length - 4));
        assertEquals(AU.length, H264.annexb_au_len(AU, 0, AU.length));
        byte[] two = new byte[AU.length + IDR.length];
        System.arraycopy(AU, 0, two, 0, AU.length);
        System.arraycopy(IDR, 0, two, AU.length, IDR.length);
        // A second IDR picture starts a second access unit.
        assertEquals(AU.length, H264.annexb_au_len(two, 0, two.length));
        assertEquals(IDR.length, H264.annexb_au_len(two, AU.length, IDR.length));
    }

    @Test
    void readsOfZeroAddressesAndOutOfRangeUnitsAreHarmless() {
        H264.free_nalus(0);
        H264.free_payload(0);
        assertEquals(-1, H264.nalus_num_nalu(0));
        assertEquals(-1, H264.nalus_total_len(0));
        assertFalse(H264.nalus_is_keyframe(0));
        assertEquals(-1, H264.nalus_type(0, 0));
        assertEquals(-1, H264.payload_len(0));
        assertFalse(H264.payload_is_keyframe(0));
        long nalus = H264.nalus_from_annexb(AU, 0, AU.length, true, 1, 1000, 0, 0, 0, 0, null);
        assertNotEquals(0L, nalus);
        try {
            assertEquals(3, H264.nalus_num_nalu(nalus));
            assertEquals(H264.NAL_SPS, H264.nalus_type(nalus, 0));
            assertEquals(H264.NAL_SLICE_IDR, H264.nalus_type(nalus, 2));
            assertEquals(-1, H264.nalus_type(nalus, 3));
            assertEquals(-1, H264.nalus_type(nalus, -1));
            assertEquals(-1, H264.nalus_len(nalus, 3));
            assertEquals(4, H264.nalus_len(nalus, 0));
            assertArrayEquals(new byte[] {0x67, 0x64, 0, 0x1f},
                    NativeMemory.read(fields(fields(nalus, 8).getLong(0), 16).getLong(0), 4));
        } finally {
            H264.free_nalus(nalus);
        }
    }
}
