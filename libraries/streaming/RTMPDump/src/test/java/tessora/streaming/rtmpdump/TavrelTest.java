package tessora.streaming.rtmpdump;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.file.Path;
import java.util.logging.Level;
import java.util.logging.Logger;

import org.junit.jupiter.api.MethodOrderer;
import org.junit.jupiter.api.Order;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.TestInstance;
import org.junit.jupiter.api.TestMethodOrder;
import org.junit.jupiter.api.extension.RegisterExtension;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;

import tessora.media.aac.Adts;
import tessora.media.h264.H264;
import tessora.testing.LogCapture;
import tessora.testing.RtmpServer;

/** The 22 native methods of Tavrel on the real JVM, against nginx-rtmp on loopback. */
@TestInstance(TestInstance.Lifecycle.PER_CLASS)
@TestMethodOrder(MethodOrderer.OrderAnnotation.class)
class TavrelTest {
    @RegisterExtension
    static final RtmpServer nginx = new RtmpServer();
    private final Clip clip = Clip.load();

    private long connect(String stream, boolean flvWrite) {
        long h = Tavrel.connect(nginx.url("live", stream), null, null, flvWrite, false, false, false, 1000, 2000,
                null);
        assertTrue(h > 0, "connect to " + stream + ": " + errorLogTail());
        return h;
    }

    private String errorLogTail() {
        try {
            String log = nginx.errorLog();
            return log.substring(Math.max(0, log.length() - 2000));
        } catch (Exception e) {
            return e.toString();
        }
    }

    // ---- the boundary without a context ---------------------------------------------------------------------

    /** 0 is no context; -1 and -4 are what reconnect_full hands back in the same long. None may be touched. */
    @ParameterizedTest
    @CsvSource({"0", "-1", "-4", "-9223372036854775808"})
    @Order(1)
    void handlesOfZeroOrLessAreNeverDereferenced(long h) {
        Tavrel.close(h);
        assertFalse(Tavrel.can_send(h));
        assertEquals(-1, Tavrel.get_connection_state(h));
        assertEquals(-1, Tavrel.reconnect_stream(h));
        assertEquals(-1, Tavrel.reconnect_full(h));
        assertEquals(0, Tavrel.reconnect_clone(h));
        assertEquals(-1, Tavrel.send_metadata(h, 640, 360, 1000, 30, 128, 44100, 16, 2));
        long header = clip.aacHeader();
        long nalus = clip.nalus(0);
        long payload = clip.payload(0);
        try {
            assertEquals(-1, Tavrel.send_aac_header(h, header));
            assertEquals(-1, Tavrel.send_aac_data(h, header, 0));
            assertEquals(-1, Tavrel.send_video_header(h, nalus));
            assertEquals(-1, Tavrel.send_h264_nals(h, nalus));
            assertEquals(-1, Tavrel.send_h264_nalu_payload(h, payload));
        } finally {
            Adts.free_header(header);
            H264.free_nalus(nalus);
            H264.free_payload(payload);
        }
        assertNull(Tavrel.get_uri(h));
        assertFalse(Tavrel.get_use_rtmp_write(h));
        assertFalse(Tavrel.get_is_rtmp_queue(h));
        assertFalse(Tavrel.get_is_log_audio(h));
        assertFalse(Tavrel.get_is_log_video(h));
        assertEquals(0, Tavrel.get_a_body_max_len(h));
        assertEquals(0, Tavrel.get_v_body_max_len(h));
    }

    @Test
    @Order(2)
    void testConnectTellsWhyAConnectionFails() throws Exception {
        int closedPort = RtmpServer.freePort();
        // The URL, test_connect's code, and the detailed reason this thread reads afterwards.
        Object[][] cases = {
            {null, -1, -1},
            {"no url at all", -2, -2},
            {"rtmp://127.0.0.1:" + closedPort + "/live/x", -3, -3},
            {"rtmp://no-such-host.invalid/live/x", -3, -6},
            {nginx.url("live", "probe"), 0, 0},
        };
        for (Object[] c : cases) {
            assertEquals(c[1], Tavrel.test_connect((String) c[0]), "test_connect(" + c[0] + ")");
            assertEquals(c[2], TavrelExt.last_connect_result(), "last_connect_result after " + c[0]);
        }
    }

    /**
     * A failed connect gives 0 and gives back the native logger it made: the logger's global reference goes with
     * it, so the Java logger becomes collectable.
     */
    @Test
    @Order(3)
    void failedConnectsGiveZeroAndKeepNoLogger() throws Exception {
        int closedPort = RtmpServer.freePort();
        String[] urls = {null, "no url at all", "rtmp://127.0.0.1:" + closedPort + "/live/x"};
        for (String url : urls) {
            java.lang.ref.WeakReference<Logger> logger = failedConnect(url);
            for (int i = 0; i < 100 && logger.get() != null; i++) {
                System.gc();
                Thread.sleep(20);
            }
            assertNull(logger.get(), "the logger of connect(" + url + ") is still referenced");
        }
        // An object that is not a java.util.logging.Logger gets no native logger, and the connect works.
        long h = Tavrel.connect(nginx.url("live", "notalogger"), null, null, false, false, true, false, 10, 10,
                "not a logger");
        assertTrue(h > 0);
        Tavrel.close(h);
    }

    private static java.lang.ref.WeakReference<Logger> failedConnect(String url) {
        Logger l = new LogCapture().logger();
        assertEquals(0, Tavrel.connect(url, "user", null, false, false, true, true, 1000, 2000, l),
                "connect(" + url + ")");
        return new java.lang.ref.WeakReference<>(l);
    }

    // ---- a live context ---------------------------------------------------------------------------------------

    @ParameterizedTest
    @CsvSource({
        // flvWrite, queue, logAudio, logVideo, audio, video
        "false, false, false, false, 1002, 2009",
        "true,  true,  false, true,  1017, 2024",
        "false, true,  true,  false, 1002, 2009",
    })
    @Order(4)
    void gettersGiveWhatConnectWasGiven(boolean flvWrite, boolean queue, boolean logAudio, boolean logVideo,
            long audio, long video) {
        String url = nginx.url("live", "getters") + "?flv=" + flvWrite;
        long h = Tavrel.connect(url, null, null, flvWrite, queue, logAudio, logVideo, 1000, 2000, null);
        assertTrue(h > 0);
        try {
            assertEquals(url, Tavrel.get_uri(h));
            assertEquals(flvWrite, Tavrel.get_use_rtmp_write(h));
            assertEquals(queue, Tavrel.get_is_rtmp_queue(h));
            assertEquals(logAudio, Tavrel.get_is_log_audio(h));
            assertEquals(logVideo, Tavrel.get_is_log_video(h));
            assertEquals(audio, Tavrel.get_a_body_max_len(h));
            assertEquals(video, Tavrel.get_v_body_max_len(h));
            assertEquals(0, Tavrel.get_connection_state(h));
            assertTrue(Tavrel.can_send(h));
        } finally {
            Tavrel.close(h);
        }
    }

    /** Sizes above 2^32 keep their low 32 bits; the full unsigned range comes back as a non-negative long. */
    @Test
    @Order(5)
    void sizesAreNarrowedToTheirLow32Bits() {
        long h = Tavrel.connect(nginx.url("live", "narrow"), null, null, false, false, false, false,
                (1L << 32) + 1000, (1L << 32) + 2000, null);
        assertTrue(h > 0);
        try {
            assertEquals(1002, Tavrel.get_a_body_max_len(h));
            assertEquals(2009, Tavrel.get_v_body_max_len(h));
        } finally {
            Tavrel.close(h);
        }
    }

    @Test
    @Order(6)
    void aMissingRecordIsAnInputError() {
        long h = connect("norecord", false);
        try {
            assertEquals(RtmpError.INVALID_BUFF.code(), Tavrel.send_aac_header(h, 0));
            assertEquals(RtmpError.INVALID_BUFF.code(), Tavrel.send_aac_data(h, 0, 0));
            assertEquals(RtmpError.INVALID_NAL.code(), Tavrel.send_video_header(h, 0));
            assertEquals(RtmpError.INVALID_NAL.code(), Tavrel.send_h264_nals(h, 0));
            assertEquals(RtmpError.INVALID_NAL.code(), Tavrel.send_h264_nalu_payload(h, 0));
            long data = clip.aacData(1);
            try {
                assertEquals(RtmpError.NEGATIVE_TIMESTAMP.code(), Tavrel.send_aac_data(h, data, -1));
            } finally {
                Adts.free_data(data);
            }
            assertEquals(0, Tavrel.get_connection_state(h), "refusals leave the state alone");
        } finally {
            Tavrel.close(h);
        }
    }

    /**
     * The whole clip through every send method, fast, and the server's recording read back by ffprobe: as many
     * video and audio packets as were sent.
     */
    @ParameterizedTest
    @CsvSource({"false, false", "true, false", "false, true"})
    @Order(7)
    void publishesFfmpegsClipAndTheServerRecordsEveryFrame(boolean flvWrite, boolean payloads) throws Exception {
        String stream = "clip_" + flvWrite + "_" + payloads;
        LogCapture capture = new LogCapture();
        long h = Tavrel.connect(nginx.url("live", stream), null, null, flvWrite, false, true, true, 1000, 2000,
                capture.logger());
        assertTrue(h > 0);
        try {
            assertEquals(1, Tavrel.send_metadata(h, 640, 360, 3000, 30, 128, 44100, 16, 2));
            sendHeaders(h);
            int v = 0;
            int a = 0;
            while (v < clip.accessUnits.size() || a < clip.adtsFrames.size()) {
                boolean video = a >= clip.adtsFrames.size()
                        || (v < clip.accessUnits.size() && clip.videoMs(v) <= clip.audioMs(a));
                if (video) {
                    int r;
                    if (payloads) {
                        long p = clip.payload(v);
                        r = Tavrel.send_h264_nalu_payload(h, p);
                        H264.free_payload(p);
                    } else {
                        long n = clip.nalus(v);
                        r = Tavrel.send_h264_nals(h, n);
                        H264.free_nalus(n);
                    }
                    assertEquals(0, r, "video " + v);
                    v++;
                } else {
                    long d = clip.aacData(a);
                    assertEquals(0, Tavrel.send_aac_data(h, d, clip.audioMs(a)), "audio " + a);
                    Adts.free_data(d);
                    a++;
                }
            }
            // The capacities grew with the largest access unit and never shrank.
            assertTrue(Tavrel.get_v_body_max_len(h) > 2009);
        } finally {
            Tavrel.close(h);
        }
        assertTrue(capture.has(Level.FINEST, "AAC Data"), "audio trace");
        assertTrue(capture.has(Level.FINEST, "H.264 Data"), "video trace");
        assertTrue(capture.has(Level.FINE, "close"), "close is logged");
        Path rec = nginx.recording(stream);
        assertEquals(clip.accessUnits.size(), RtmpServer.settledPacketCount(rec, "v"), "video packets recorded");
        assertEquals(clip.adtsFrames.size(), RtmpServer.packetTimes(rec, "a").size(), "audio packets recorded");
    }

    @Test
    @Order(8)
    void globalLoggerReceivesLibrtmpsMessages() throws Exception {
        LogCapture capture = new LogCapture();
        Tavrel.set_global_logger(capture.logger());
        try {
            assertEquals(-3, Tavrel.test_connect("rtmp://127.0.0.1:" + RtmpServer.freePort() + "/live/x"));
            assertFalse(capture.records.isEmpty(), "librtmp reported the failed connection");
            // Replacing the logger releases the previous one; messages go to the new one only.
            LogCapture second = new LogCapture();
            Tavrel.set_global_logger(second.logger());
            int before = capture.records.size();
            Tavrel.test_connect("rtmp://127.0.0.1:" + RtmpServer.freePort() + "/live/x");
            assertEquals(before, capture.records.size());
            assertFalse(second.records.isEmpty());
            // The replaced logger was given back: nothing holds the first Java logger any more.
            java.lang.ref.WeakReference<Logger> third = installGlobal();
            Tavrel.set_global_logger(null);
            for (int i = 0; i < 100 && third.get() != null; i++) {
                System.gc();
                Thread.sleep(20);
            }
            assertNull(third.get(), "a replaced global logger is still referenced");
        } finally {
            Tavrel.set_global_logger(null);
        }
    }

    private static java.lang.ref.WeakReference<Logger> installGlobal() {
        Logger l = new LogCapture().logger();
        Tavrel.set_global_logger(l);
        return new java.lang.ref.WeakReference<>(l);
    }

    // ---- reconnections --------------------------------------------------------------------------------------

    private int sendFrames(long h, int from, int count) {
        int last = 0;
        for (int i = from; i < from + count; i++) {
            long n = clip.nalus(i % clip.accessUnits.size());
            last = Tavrel.send_h264_nals(h, n);
            H264.free_nalus(n);
            if (last != 0) {
                return last;
            }
        }
        return last;
    }

    /**
     * The delivery natives of TavrelExt through the real JVM: no handle, no dereference; on a live context the
     * figures grow with what was sent, the graceful end answers 0 once nginx has closed its side, and a send after
     * it is told to reconnect.
     */
    @Test
    @Order(12)
    void deliveryNativesEndGracefullyAndCount() {
        for (long none : new long[] {0, -1}) {
            assertEquals(RtmpError.DISCONNECTED.code(), TavrelExt.poll(none));
            assertEquals(RtmpError.DISCONNECTED.code(), TavrelExt.finish(none));
            assertEquals(RtmpError.DISCONNECTED.code(), TavrelExt.set_close_timeout(none, 100));
            assertEquals(-1, TavrelExt.bytes_written(none));
            assertEquals(-1, TavrelExt.bytes_acked(none));
        }
        long h = connect("delivery", false);
        try {
            long before = TavrelExt.bytes_written(h);
            assertTrue(before > 0, "the connect's own messages count");
            sendHeaders(h);
            assertEquals(0, TavrelExt.poll(h));
            long sent = TavrelExt.bytes_written(h);
            assertTrue(sent > before);
            assertEquals(RtmpError.INVALID_BUFF.code(), TavrelExt.set_close_timeout(h, -1));
            assertEquals(0, TavrelExt.set_close_timeout(h, 5000));
            assertEquals(0, TavrelExt.finish(h), "nginx closes its side once ours is shut");
            assertTrue(TavrelExt.bytes_written(h) > sent, "unpublish and stream deletion");
            assertTrue(TavrelExt.bytes_acked(h) <= TavrelExt.bytes_written(h));
            long header = clip.aacHeader();
            try {
                assertEquals(RtmpError.NEEDS_TO_RECONNECT.code(), Tavrel.send_aac_header(h, header));
            } finally {
                Adts.free_header(header);
            }
        } finally {
            Tavrel.close(h);
        }
    }

    private void sendHeaders(long h) {
        long header = clip.aacHeader();
        long vheader = clip.nalus(0);
        try {
            assertEquals(0, Tavrel.send_aac_header(h, header));
            assertEquals(0, Tavrel.send_video_header(h, vheader));
        } finally {
            Adts.free_header(header);
            H264.free_nalus(vheader);
        }
    }

    /** Sends until the lost connection shows; bounded, since the kernel may take a few writes to notice. */
    private int sendUntilFailure(long h) throws InterruptedException {
        for (int i = 0; i < 400; i++) {
            int r = sendFrames(h, i, 1);
            if (r != 0) {
                return r;
            }
            Thread.sleep(5);
        }
        return 0;
    }

    @Test
    @Order(9)
    void intactConnectionReconnectsToItself() {
        long h = connect("intact", false);
        try {
            sendHeaders(h);
            assertEquals(0, sendFrames(h, 0, 10));
            assertEquals(0, Tavrel.reconnect_stream(h));
            assertEquals(0, Tavrel.get_connection_state(h));
            assertEquals(h, Tavrel.reconnect_full(h), "an intact connection keeps its handle");
            assertEquals(0, sendFrames(h, 10, 10));
            // A second publisher of the same stream is refused by nginx: the clone fails, the original lives on.
            // (The refusal is noticed only at the connection's receive time-out, 30 s.)
            assertEquals(0, Tavrel.reconnect_clone(h));
            assertEquals(0, sendFrames(h, 20, 5));
        } finally {
            Tavrel.close(h);
        }
    }

    @Test
    @Order(10)
    void afterTheServerDiesEachReconnectionDoesItsJob() throws Exception {
        long h = connect("lost", false);
        long replaced = 0;
        long clone = 0;
        try {
            sendHeaders(h);
            assertEquals(0, sendFrames(h, 0, 10));

            nginx.kill();
            assertEquals(RtmpError.NEEDS_TO_RECONNECT.code(), sendUntilFailure(h));
            assertEquals(0, Tavrel.get_connection_state(h), "the stored state is the last one stored");
            nginx.start();

            // A new stream on the dead connection cannot work: done (0), and the state says so.
            assertEquals(0, Tavrel.reconnect_stream(h));
            assertEquals(-1, Tavrel.get_connection_state(h));
            assertFalse(Tavrel.can_send(h));

            // A full reconnection replaces the context; the old handle is gone.
            long oldA = Tavrel.get_a_body_max_len(h);
            long oldV = Tavrel.get_v_body_max_len(h);
            replaced = Tavrel.reconnect_full(h);
            assertTrue(replaced > 0, "reconnect_full: " + errorLogTail());
            h = 0;
            assertEquals(0, Tavrel.get_connection_state(replaced));
            assertEquals(nginx.url("live", "lost"), Tavrel.get_uri(replaced));
            // It was made from the old context's capacities, grown by the headers once more.
            assertEquals(oldA + 2, Tavrel.get_a_body_max_len(replaced));
            assertEquals(oldV + 9, Tavrel.get_v_body_max_len(replaced));
            sendHeaders(replaced);
            assertEquals(0, sendFrames(replaced, 0, 10));

            // Once the server has lost that publisher too, a clone is a second, independent context.
            nginx.kill();
            nginx.start();
            long capacityA = Tavrel.get_a_body_max_len(replaced);
            long capacityV = Tavrel.get_v_body_max_len(replaced);
            clone = Tavrel.reconnect_clone(replaced);
            assertTrue(clone > 0, "reconnect_clone: " + errorLogTail());
            assertNotEquals(replaced, clone);
            assertEquals(capacityA + 2, Tavrel.get_a_body_max_len(clone));
            assertEquals(capacityV + 9, Tavrel.get_v_body_max_len(clone));
            sendHeaders(clone);
            assertEquals(0, sendFrames(clone, 0, 10));
            assertEquals(0, Tavrel.get_connection_state(replaced), "the original is untouched");
        } finally {
            Tavrel.close(h);
            Tavrel.close(replaced);
            Tavrel.close(clone);
        }
    }

    @Test
    @Order(11)
    void aFullReconnectionWithoutServerReleasesTheContext() throws Exception {
        long h = connect("gone", false);
        sendHeaders(h);
        nginx.kill();
        try {
            assertEquals(RtmpError.NEEDS_TO_RECONNECT.code(), sendUntilFailure(h));
            assertEquals(-1, Tavrel.reconnect_full(h), "no server: the old context is released, none made");
            Tavrel.close(-1); // what a careless caller would pass on: nothing happens
        } finally {
            nginx.start();
        }
    }
}
