package tessora.utils.aac;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.Arrays;
import java.util.List;
import java.util.logging.Level;
import java.util.logging.Logger;
import org.junit.jupiter.api.Test;
import tessora.testing.LogCapture;
import tessora.testing.NativeMemory;

/** Every native method of Mirabe on the real JVM, with records made in malloc'ed memory. */
class MirabeTest {
    private static byte[] frame(int len) {
        byte[] b = new byte[len];
        for (int i = 0; i < len; i++) {
            b[i] = (byte) (i * 7 + 1);
        }
        return b;
    }

    private static byte[] filled(int len) {
        byte[] b = new byte[len];
        Arrays.fill(b, (byte) 0x55);
        return b;
    }

    /** An AACData owning a malloc'ed copy of bytes, released by free_aac_data. */
    private static long aacData(byte[] bytes) {
        return NativeMemory.aacData(NativeMemory.copyOf(bytes), bytes.length);
    }

    private static String pointer(long addr) {
        return addr == 0 ? "(nil)" : "0x" + Long.toHexString(addr);
    }

    @Test
    void lengthAndBytesOfAFrame() {
        byte[] bytes = frame(371);
        long data = aacData(bytes);
        try {
            assertEquals(371L, Mirabe.get_len(data, null));
            byte[] whole = new byte[(int) Mirabe.get_len(data, null)];
            assertEquals(371, Mirabe.get_data(data, whole, null));
            assertArrayEquals(bytes, whole);

            byte[] shorter = new byte[100];
            assertEquals(100, Mirabe.get_data(data, shorter, null));
            assertArrayEquals(Arrays.copyOf(bytes, 100), shorter);

            byte[] longer = filled(1000);
            assertEquals(371, Mirabe.get_data(data, longer, null), "the frame's length, not the array's");
            assertArrayEquals(bytes, Arrays.copyOf(longer, 371));
            assertArrayEquals(filled(629), Arrays.copyOfRange(longer, 371, 1000), "nothing past the frame");

            assertEquals(0, Mirabe.get_data(data, new byte[0], null));
        } finally {
            Mirabe.free_aac_data(data);
        }
    }

    @Test
    void badAddressesAndRecordsGiveMinusOne() {
        byte[] buffer = filled(16);
        assertEquals(-1L, Mirabe.get_len(0, null));
        assertEquals(-1, Mirabe.get_data(0, buffer, null));
        assertArrayEquals(filled(16), buffer);

        long data = aacData(frame(8));
        try {
            assertEquals(-1, Mirabe.get_data(data, null, null));
        } finally {
            Mirabe.free_aac_data(data);
        }

        long bytes = NativeMemory.copyOf(frame(8));
        long negative = NativeMemory.aacData(bytes, -5);
        try {
            assertEquals(-5L, Mirabe.get_len(negative, null), "sign-extended");
            assertEquals(-1, Mirabe.get_data(negative, buffer, null));
            assertArrayEquals(filled(16), buffer);
        } finally {
            Mirabe.free_aac_data(negative);
        }

        long missing = NativeMemory.aacData(0, 4);
        try {
            assertEquals(-1, Mirabe.get_data(missing, buffer, null));
        } finally {
            Mirabe.free_aac_data(missing);
        }
    }

    @Test
    void printoutsArriveAtLevelFine() {
        LogCapture capture = new LogCapture();
        Logger logger = capture.logger(Level.ALL);
        long config = NativeMemory.copyOf(new byte[] {0x12, 0x10});
        long header = NativeMemory.aacHeader(config, 2);
        long dataBuf = NativeMemory.copyOf(frame(371));
        long data = NativeMemory.aacData(dataBuf, 371);
        try {
            Mirabe.pprint_aac_header(header, logger);
            Mirabe.pprint_aac_data(data, logger);
            Mirabe.pprint_aac_header(0, logger);
            Mirabe.pprint_aac_data(0, logger);
        } finally {
            Mirabe.free_aac_header(header);
            Mirabe.free_aac_data(data);
            NativeMemory.free(config); // the header released its record only
        }
        assertEquals(List.of("--- AAC Header ---", "buff:" + pointer(config) + ", len:2", "-------------",
            "--- AAC Data ---", "buff:" + pointer(dataBuf) + ", len:371", "-------------",
            "No AAC Header present", "No AAC data"), capture.messages());
        assertTrue(capture.records.stream().allMatch(r -> r.getLevel() == Level.FINE));
    }

    @Test
    void printoutsHonourTheLoggersLevelAndOddLoggers() throws Exception {
        LogCapture capture = new LogCapture();
        Logger logger = capture.logger(Level.INFO);
        Mirabe.pprint_aac_data(0, logger);
        Mirabe.pprint_aac_header(0, logger);
        assertEquals(List.of(), capture.messages(), "FINE is below INFO");

        // Neither a null logger nor an object that is not a Logger may throw.
        Mirabe.pprint_aac_data(0, null);
        Mirabe.pprint_aac_header(0, "not a logger");

        // From another Java thread, with a logger made there and released there.
        LogCapture other = new LogCapture();
        Logger fine = other.logger(Level.FINE);
        Thread t = new Thread(() -> Mirabe.pprint_aac_data(0, fine));
        t.start();
        t.join();
        assertEquals(List.of("No AAC data"), other.messages());
    }

    @Test
    void releasingZeroDoesNothing() {
        Mirabe.free_aac_data(0);
        Mirabe.free_aac_header(0);
        long empty = NativeMemory.aacData(0, 0);
        Mirabe.free_aac_data(empty);
    }
}
