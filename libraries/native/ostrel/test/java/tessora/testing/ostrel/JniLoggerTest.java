package tessora.testing.ostrel;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.lang.ref.WeakReference;
import java.nio.charset.StandardCharsets;
import java.util.List;
import java.util.logging.Level;
import java.util.logging.Logger;
import org.junit.jupiter.api.Test;
import tessora.testing.LogCapture;

class JniLoggerTest {
    private static byte[] utf8(String s) {
        return s.getBytes(StandardCharsets.UTF_8);
    }

    @Test
    void messageFromSecondJavaThreadArrivesWithLevelAndText() throws Exception {
        LogCapture capture = new LogCapture();
        Logger logger = capture.logger(Level.ALL);
        long handle = OstrelProbe.make(logger);
        assertNotEquals(0L, handle);

        Thread other = new Thread(() -> OstrelProbe.log(handle, 900, utf8("from the second thread")));
        other.start();
        other.join();
        OstrelProbe.logFromNativeThread(handle, 300, utf8("from a native thread"));
        OstrelProbe.log(handle, 650, utf8("odd level"));
        OstrelProbe.release(handle);

        assertEquals(3, capture.records.size());
        assertEquals(Level.WARNING, capture.records.get(0).getLevel());
        assertEquals("from the second thread", capture.records.get(0).getMessage());
        assertEquals(Level.FINEST, capture.records.get(1).getLevel());
        assertEquals("from a native thread", capture.records.get(1).getMessage());
        assertEquals(650, capture.records.get(2).getLevel().intValue());
    }

    @Test
    void levelsTheJavaLoggerFiltersNeverArrive() {
        LogCapture capture = new LogCapture();
        Logger logger = capture.logger(Level.WARNING);
        long handle = OstrelProbe.make(logger);
        OstrelProbe.log(handle, 300, utf8("trace"));
        OstrelProbe.log(handle, 500, utf8("detail"));
        OstrelProbe.log(handle, 1000, utf8("severe"));
        logger.setLevel(Level.FINE); // a later change of level is honoured
        OstrelProbe.log(handle, 500, utf8("detail now"));
        OstrelProbe.release(handle);
        assertEquals(List.of("severe", "detail now"), capture.messages());
    }

    @Test
    void longAndMalformedTextIsDeliveredSafely() {
        LogCapture capture = new LogCapture();
        long handle = OstrelProbe.make(capture.logger(Level.ALL));
        String longText = "x".repeat(5000) + "\u00e9\u20ac\ud83d\ude00";
        OstrelProbe.log(handle, 800, utf8(longText));
        byte[] bad = {'a', (byte) 0xC3, 'b', (byte) 0xF0, (byte) 0x9F, 'c', (byte) 0xFF, (byte) 0xED, (byte) 0xA0,
            (byte) 0x80};
        OstrelProbe.log(handle, 800, bad);
        OstrelProbe.release(handle);
        assertEquals(longText, capture.records.get(0).getMessage());
        String repaired = capture.records.get(1).getMessage();
        assertTrue(repaired.startsWith("a\ufffdb\ufffdc\ufffd"), repaired);
        assertTrue(repaired.chars().allMatch(ch -> ch < 0xD800 || ch > 0xDFFF), "no lone surrogates");
    }

    @Test
    void onlyJavaUtilLoggingLoggersAreAccepted() {
        assertEquals(0L, OstrelProbe.make(null));
        assertEquals(0L, OstrelProbe.make("not a logger"));
    }

    @Test
    void lastReleaseDropsTheGlobalReference() throws Exception {
        LogCapture capture = new LogCapture();
        Logger logger = capture.logger(Level.ALL);
        WeakReference<Logger> weak = new WeakReference<>(logger);
        long handle = OstrelProbe.make(logger);
        logger = null;
        OstrelProbe.retain(handle); // a second holder
        OstrelProbe.release(handle);
        collect();
        assertNotEquals(null, weak.get(), "still held by the second holder");
        OstrelProbe.log(handle, 800, utf8("still works"));
        assertEquals(1, capture.records.size());
        OstrelProbe.release(handle);
        for (int i = 0; i < 50 && weak.get() != null; i++) {
            collect();
        }
        assertNull(weak.get(), "the Java logger is collectable once the native logger is gone");
    }

    private static void collect() throws InterruptedException {
        System.gc();
        Thread.sleep(20);
    }
}
