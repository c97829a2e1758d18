package tessora.utils.flv;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotEquals;

import java.util.Arrays;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import tessora.testing.NativeMemory;

/** Every native method of Quorlen, loaded by System.loadLibrary, writing into malloc'ed memory. */
class QuorlenTest {
    private static final int ROOM = 512;
    private long out;

    @BeforeEach
    void allocate() {
        out = NativeMemory.alloc(ROOM);
        assertNotEquals(0L, out);
    }

    @AfterEach
    void release() {
        NativeMemory.free(out);
    }

    private static byte[] bytes(int... values) {
        byte[] b = new byte[values.length];
        for (int i = 0; i < values.length; i++) {
            b[i] = (byte) values[i];
        }
        return b;
    }

    private void refill() {
        byte[] fill = new byte[ROOM];
        Arrays.fill(fill, NativeMemory.FILL);
        NativeMemory.write(out, fill);
    }

    /** The n bytes a writer claims; everything after them must still be untouched. */
    private byte[] written(int n) {
        byte[] all = NativeMemory.read(out, ROOM);
        for (int i = n; i < ROOM; i++) {
            assertEquals(NativeMemory.FILL, all[i], "byte " + i + " beyond the returned count was written");
        }
        return Arrays.copyOf(all, n);
    }

    @Test
    void timestampsComeBackAsUnsigned32BitMilliseconds() {
        assertEquals(4294967256L, Quorlen.composition_time_ms(0, 3600, 90000), "-40 ms, zero-extended");
        assertEquals(33L, Quorlen.composition_time_ms(3000, 0, 90000));
        assertEquals(4294967256L, Quorlen.composition_time_ms(0, 3600, (1L << 32) + 90000), "time base cut to 32 bits");
        assertEquals(2000L, Quorlen.dts_to_elapsed_ms(183600, 3600, 90000));
        assertEquals(333L, Quorlen.dts_to_elapsed_ms(1, 0, 3));
        assertEquals(4294966963L, Quorlen.dts_to_elapsed_ms(-1, 0, 3), "truncated toward zero: -333");
        assertEquals(1000L, Quorlen.dts_to_elapsed_ms(4294967295L, 0, 4294967295L), "time base is unsigned");
        assertEquals(0L, Quorlen.dts_to_elapsed_ms(90000, 0, 0), "a zero time base must not kill the JVM");
    }

    @Test
    void lengthCalculators() {
        boolean[][] flags = {
            {true, false, false, false, false}, {true, true, false, false, false},
            {false, false, true, false, false}, {false, true, true, false, false},
            {false, false, false, true, false}, {false, true, false, false, true},
            {false, false, false, false, false}, {false, true, false, false, false},
            {true, true, true, true, true},
        };
        int[] expected = {6, 17, 20, 31, 13, 24, 9, 20, 17};
        for (int i = 0; i < flags.length; i++) {
            boolean[] f = flags[i];
            assertEquals(expected[i], Quorlen.compute_flv_header_len(f[0], f[1], f[2], f[3], f[4]), "case " + i);
        }
        assertEquals(1009L, Quorlen.flv_tag_body_len(false, false, 1000));
        assertEquals(102L, Quorlen.flv_tag_body_len(true, false, 100));
        assertEquals(46L, Quorlen.flv_tag_body_len(false, true, 30));
        assertEquals(4294967295L, Quorlen.flv_tag_body_len(false, false, -10), "zero-extended, not -1");
    }

    @Test
    void fileHeaders() {
        int[][] expectedFlags = {{1, 1, 0x05}, {1, 0, 0x04}, {0, 1, 0x01}, {0, 0, 0x00}};
        for (int[] c : expectedFlags) {
            refill();
            int n = Quorlen.write_flv_file_header(out, c[0] == 1, c[1] == 1);
            assertEquals(13, n);
            assertArrayEquals(bytes(0x46, 0x4C, 0x56, 0x01, c[2], 0, 0, 0, 9, 0, 0, 0, 0), written(n));
        }
    }

    @Test
    void tagHeaderCutsItsLongArgumentsTo32Bits() {
        int n = Quorlen.write_flv_tag_header(out, false, 500, 0x12345678L);
        assertEquals(11, n);
        assertArrayEquals(bytes(0x09, 0x00, 0x01, 0xF4, 0x34, 0x56, 0x78, 0x12, 0, 0, 0), written(n));

        n = Quorlen.write_flv_tag_header(out, true, (1L << 32) + 5, 0x80000001L);
        assertArrayEquals(bytes(0x08, 0x00, 0x00, 0x05, 0x00, 0x00, 0x01, 0x00, 0, 0, 0), written(n),
            "data size 5; bit 31 of the timestamp dropped");

        refill();
        n = Quorlen.write_flv_prev_tag_size(out, 511);
        assertEquals(4, n);
        assertArrayEquals(bytes(0x00, 0x00, 0x01, 0xFF), written(n));
        n = Quorlen.write_flv_prev_tag_size(out, (1L << 32) + 11);
        assertArrayEquals(bytes(0, 0, 0, 11), written(n));
    }

    @Test
    void audioAndVideoTagHeaders() {
        int n = Quorlen.write_flv_audio_tag_header(out, true, 0, false, false);
        assertEquals(2, n);
        assertArrayEquals(bytes(0xAF, 0x00), written(n));
        n = Quorlen.write_flv_audio_tag_header(out, false, 1, false, true);
        assertArrayEquals(bytes(0xAF, 0x01), written(n));

        n = Quorlen.write_flv_video_tag_header(out, true, true, 40);
        assertEquals(5, n);
        assertArrayEquals(bytes(0x17, 0x00, 0, 0, 0), written(n));
        n = Quorlen.write_flv_video_tag_header(out, false, false, -33);
        assertArrayEquals(bytes(0x27, 0x01, 0xFF, 0xFF, 0xDF), written(n));
        // What composition_time_ms hands Java for -33 ms goes straight back in.
        long cts = Quorlen.composition_time_ms(0, 3000, 90000);
        assertEquals(4294967263L, cts);
        n = Quorlen.write_flv_video_tag_header(out, false, false, cts);
        assertArrayEquals(bytes(0x27, 0x01, 0xFF, 0xFF, 0xDF), written(n));
    }

    @Test
    void audioConfigWritesNothing() {
        assertEquals(0, Quorlen.write_audio_config(out, true, true));
        written(0);
    }

    @Test
    void payloadWriters() {
        byte[] frame = bytes(0x21, 0x10, 0x05, 0x00, 0xA0, 0x1B, 0xFF);
        long in = NativeMemory.copyOf(frame);
        try {
            int n = Quorlen.write_adts(out, in, frame.length);
            assertEquals(7, n);
            assertArrayEquals(frame, written(n));
            refill();
            assertEquals(0, Quorlen.write_adts(out, in, -7));
            written(0);
            assertEquals(0, Quorlen.write_adts(out, in, (1L << 32) - 7), "cut to signed 32 bits: -7");
            written(0);
        } finally {
            NativeMemory.free(in);
        }

        byte[] sps = new byte[25];
        for (int i = 0; i < sps.length; i++) {
            sps[i] = (byte) (0x30 + i);
        }
        sps[0] = 0x67;
        sps[1] = 0x64;
        sps[2] = 0x00;
        sps[3] = 0x1F;
        byte[] pps = bytes(0x68, 0xEB, 0xE3, 0xCB);
        long spsPtr = NativeMemory.copyOf(sps);
        long ppsPtr = NativeMemory.copyOf(pps);
        try {
            int n = Quorlen.write_sps_pps(out, spsPtr, sps.length, ppsPtr, pps.length);
            assertEquals(40, n);
            byte[] record = written(n);
            assertArrayEquals(bytes(0x01, 0x64, 0x00, 0x1F, 0xFF, 0xE1, 0x00, 0x19, 0x67), Arrays.copyOf(record, 9));
            assertArrayEquals(sps, Arrays.copyOfRange(record, 8, 33));
            assertArrayEquals(bytes(0x01, 0x00, 0x04), Arrays.copyOfRange(record, 33, 36));
            assertArrayEquals(pps, Arrays.copyOfRange(record, 36, 40));
        } finally {
            NativeMemory.free(spsPtr);
            NativeMemory.free(ppsPtr);
        }

        byte[] nal = new byte[300];
        Arrays.fill(nal, (byte) 0x41);
        long nalPtr = NativeMemory.copyOf(nal);
        try {
            int n = Quorlen.write_nalu(out, nalPtr, nal.length);
            assertEquals(304, n);
            byte[] unit = written(n);
            assertArrayEquals(bytes(0x00, 0x00, 0x01, 0x2C), Arrays.copyOf(unit, 4));
            assertArrayEquals(nal, Arrays.copyOfRange(unit, 4, 304));
        } finally {
            NativeMemory.free(nalPtr);
        }
    }

    /** A raw AAC tag, each writer called at the offset the previous ones returned. */
    @Test
    void aTagAssembledByOffsets() {
        byte[] aac = bytes(0x21, 0x10, 0x05);
        long in = NativeMemory.copyOf(aac);
        try {
            long body = Quorlen.flv_tag_body_len(true, false, aac.length);
            int pos = 0;
            pos += Quorlen.write_flv_tag_header(out + pos, true, body, Quorlen.dts_to_elapsed_ms(44100, 0, 44100));
            pos += Quorlen.write_flv_audio_tag_header(out + pos, false, 3, true, true);
            pos += Quorlen.write_adts(out + pos, in, aac.length);
            pos += Quorlen.write_flv_prev_tag_size(out + pos, 11 + body);
            assertEquals(Quorlen.compute_flv_header_len(true, true, false, false, false) + aac.length, pos);
            assertArrayEquals(bytes(0x08, 0x00, 0x00, 0x05, 0x00, 0x03, 0xE8, 0x00, 0, 0, 0, 0xAF, 0x01, 0x21, 0x10,
                0x05, 0x00, 0x00, 0x00, 0x10), written(pos));
        } finally {
            NativeMemory.free(in);
        }
    }
}
