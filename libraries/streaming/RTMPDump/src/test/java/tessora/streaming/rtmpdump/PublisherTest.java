package tessora.streaming.rtmpdump;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;

import java.time.Duration;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Map;
import java.util.concurrent.ConcurrentHashMap;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.function.Consumer;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.TestInstance;
import org.junit.jupiter.api.extension.RegisterExtension;

import tessora.testing.LogCapture;
import tessora.testing.RtmpServer;

/** The Java API over Tavrel: code mapping, the handle's life, threads, against nginx-rtmp on loopback. */
@TestInstance(TestInstance.Lifecycle.PER_CLASS)
class PublisherTest {
    @RegisterExtension
    static final RtmpServer nginx = new RtmpServer();
    @RegisterExtension
    static final RtmpServer acking = RtmpServer.withAckWindow(1);
    private final Clip clip = Clip.load();

    private Publisher connect(String stream) throws PublisherException {
        return Publisher.to(nginx.url("live", stream)).maxFrames(1000, 2000).connect();
    }

    // ---- codes ------------------------------------------------------------------------------------------------

    @Test
    void everyNativeCodeMapsToItsConstantAndBack() {
        Object[][] errors = {
            {0, RtmpError.OK}, {-1, RtmpError.DISCONNECTED}, {-2, RtmpError.TIMEDOUT}, {-3, RtmpError.INVALID_BUFF},
            {-4, RtmpError.INVALID_NAL}, {-5, RtmpError.INVALID_NUM_NAL}, {-6, RtmpError.BUFF_TOO_LARGE},
            {-7, RtmpError.NON_MONOTONIC}, {-8, RtmpError.NEGATIVE_TIMESTAMP}, {-9, RtmpError.FAILED_TO_WRITE},
            {-10, RtmpError.FAILED_TO_SEND}, {-11, RtmpError.RECONNECTING}, {-12, RtmpError.NEEDS_TO_RECONNECT},
            {-13, RtmpError.UNKNOWN},
        };
        assertEquals(RtmpError.values().length, errors.length);
        for (Object[] e : errors) {
            assertSame(e[1], RtmpError.of((Integer) e[0]));
            assertEquals(e[0], ((RtmpError) e[1]).code());
        }
        Object[][] states = {
            {0, ConnectionState.CONNECTED}, {-1, ConnectionState.DISCONNECTED}, {-2, ConnectionState.TIMEDOUT},
            {-3, ConnectionState.CLOSED}, {-4, ConnectionState.RECONNECTING},
        };
        assertEquals(ConnectionState.values().length, states.length);
        for (Object[] s : states) {
            assertSame(s[1], ConnectionState.of((Integer) s[0]));
        }
        Object[][] checks = {
            {0, ConnectCheck.OK}, {-1, ConnectCheck.NO_URL}, {-2, ConnectCheck.BAD_URL},
            {-3, ConnectCheck.CONNECTION_FAILED}, {-4, ConnectCheck.NOT_PUBLISHED}, {-5, ConnectCheck.TLS_NOT_VERIFIED},
        };
        for (Object[] c : checks) {
            assertSame(c[1], ConnectCheck.of((Integer) c[0]));
        }
        for (int bad : new int[] {1, -14, Integer.MIN_VALUE}) {
            assertThrows(IllegalArgumentException.class, () -> RtmpError.of(bad));
        }
        for (int bad : new int[] {1, -5}) {
            assertThrows(IllegalArgumentException.class, () -> ConnectionState.of(bad));
        }
        for (int bad : new int[] {1, -6}) {
            assertThrows(IllegalArgumentException.class, () -> ConnectCheck.of(bad));
        }
        // send_metadata answers in librtmp's terms: 1 sent, 0 not sent; its negative codes are RTMPERR codes.
        assertSame(RtmpError.OK, RtmpError.ofMetadataResult(1));
        assertSame(RtmpError.FAILED_TO_SEND, RtmpError.ofMetadataResult(0));
        assertSame(RtmpError.BUFF_TOO_LARGE, RtmpError.ofMetadataResult(-6));
        assertSame(RtmpError.UNKNOWN, RtmpError.ofMetadataResult(-13));
    }

    @Test
    void settingsHideThePassword() {
        Publisher.Settings s = Publisher.to("rtmp://h/a/s").credentials("user", "hunter2").settings();
        assertFalse(s.toString().contains("hunter2"));
        assertTrue(s.toString().contains("user"));
        assertThrows(IllegalArgumentException.class, () -> Publisher.to(null).settings());
        assertThrows(IllegalArgumentException.class, () -> Publisher.to("rtmp://h/a/s").maxFrames(-1, 0).settings());
    }

    @Test
    void aFailedConnectThrowsAndTestConnectSaysWhy() throws Exception {
        String url = "rtmp://127.0.0.1:" + RtmpServer.freePort() + "/live/x";
        assertThrows(PublisherException.class, () -> Publisher.to(url).connect());
        assertSame(ConnectCheck.CONNECTION_FAILED, Publisher.testConnect(url));
        assertSame(ConnectCheck.BAD_URL, Publisher.testConnect("not a url"));
        assertSame(ConnectCheck.NO_URL, Publisher.testConnect(null));
        assertSame(ConnectCheck.OK, Publisher.testConnect(nginx.url("live", "check")));
    }

    // ---- logging ----------------------------------------------------------------------------------------------

    /** A clean publish in either mode leaves nothing above FINE in the connection's log; the default logger. */
    @Test
    void successfulSendsAreNotLoggedAboveFine() throws Exception {
        assertEquals(Publisher.LOGGER_NAME, Publisher.to("rtmp://h/a/s").settings().logger().getName());
        for (boolean flvWrite : new boolean[] {false, true}) {
            LogCapture capture = new LogCapture();
            try (Publisher p = Publisher.to(nginx.url("live", "quiet")).flvWrite(flvWrite).logger(capture.logger())
                    .connect()) {
                assertSame(RtmpError.OK, p.sendMetadata(new Metadata(640, 360, 3000, 30, 128, 44100, 16, 2)));
                sendHeaders(p);
                for (int i = 0; i < 10; i++) {
                    assertSame(RtmpError.OK, sendVideo(p, i));
                    assertSame(RtmpError.OK, p.send(clip.aacFrame(i)));
                }
            }
            List<String> loud = capture.records.stream()
                    .filter(r -> r.getLevel().intValue() > java.util.logging.Level.FINE.intValue())
                    .map(r -> r.getLevel() + " " + r.getMessage()).toList();
            assertEquals(List.of(), loud, flvWrite ? "FLV-write mode" : "packet mode");
            assertTrue(!flvWrite || capture.records.size() > 20, "the send reports are still there, at FINE");
        }
    }

    // ---- the handle's life ------------------------------------------------------------------------------------

    @Test
    void everyUseAfterCloseIsRejected() throws Exception {
        Publisher p = connect("closed");
        assertEquals(1002, p.audioCapacity());
        assertEquals(2009, p.videoCapacity());
        assertEquals(nginx.url("live", "closed"), p.url());
        p.close();
        assertTrue(p.isClosed());
        p.close(); // a second close is nothing
        Map<String, Consumer<Publisher>> uses = Map.ofEntries(
                Map.entry("sendMetadata", x -> x.sendMetadata(new Metadata(1, 1, 1, 1, 1, 1, 1, 1))),
                Map.entry("send(AacConfig)", x -> x.send(clip.aacConfig())),
                Map.entry("send(AacFrame)", x -> x.send(clip.aacFrame(0))),
                Map.entry("send(AvcConfig)", x -> x.send(clip.avcConfig())),
                Map.entry("send(AvcFrame)", x -> x.send(clip.avcFrame(0))),
                Map.entry("state", Publisher::state),
                Map.entry("canSend", Publisher::canSend),
                Map.entry("url", Publisher::url),
                Map.entry("audioCapacity", Publisher::audioCapacity),
                Map.entry("videoCapacity", Publisher::videoCapacity),
                Map.entry("isFlvWrite", Publisher::isFlvWrite),
                Map.entry("reconnectStream", Publisher::reconnectStream),
                Map.entry("reconnectFull", Publisher::reconnectFull),
                Map.entry("reconnectClone", x -> {
                    try {
                        x.reconnectClone();
                    } catch (PublisherException e) {
                        fail(e);
                    }
                }));
        for (Map.Entry<String, Consumer<Publisher>> use : uses.entrySet()) {
            assertThrows(IllegalStateException.class, () -> use.getValue().accept(p), use.getKey());
        }
        // The stream is free again: the native context really was released.
        connect("closed").close();
    }

    @Test
    void anIntactConnectionReconnectsToItself() throws Exception {
        try (Publisher p = connect("intact")) {
            sendHeaders(p);
            assertSame(ConnectionState.CONNECTED, p.reconnectStream());
            assertSame(ConnectionState.CONNECTED, p.reconnectFull());
            assertSame(RtmpError.OK, sendVideo(p, 1));
            assertTrue(p.canSend());
        }
    }

    @Test
    void aFailedFullReconnectionNeverReusesTheOldHandle() throws Exception {
        try (Publisher p = connect("replace")) {
            sendHeaders(p);
            nginx.kill();
            try {
                RtmpError r = RtmpError.OK;
                for (int i = 0; i < 400 && r.isOk(); i++) {
                    r = sendVideo(p, i % clip.accessUnits.size());
                    Thread.sleep(5);
                }
                assertSame(RtmpError.NEEDS_TO_RECONNECT, r);
                assertSame(ConnectionState.DISCONNECTED, p.reconnectFull(), "no server to reconnect to");
                // The old context is gone; nothing reaches native code but fresh connection attempts.
                assertSame(ConnectionState.DISCONNECTED, p.state());
                assertFalse(p.canSend());
                assertSame(RtmpError.NEEDS_TO_RECONNECT, sendVideo(p, 0));
                assertSame(RtmpError.NEEDS_TO_RECONNECT, p.sendMetadata(new Metadata(1, 1, 1, 1, 1, 1, 1, 1)));
                assertSame(ConnectionState.DISCONNECTED, p.reconnectStream());
                assertEquals(0, p.audioCapacity());
                assertSame(ConnectionState.DISCONNECTED, p.reconnectFull());
            } finally {
                nginx.start();
            }
            assertSame(ConnectionState.CONNECTED, p.reconnectFull(), "a server again: connected anew");
            sendHeaders(p);
            assertSame(RtmpError.OK, sendVideo(p, 0));
        }
    }

    /** Nginx takes a stream name again only once its publisher is gone: the Cleaner closed the dropped one. */
    @Test
    void aDroppedPublisherIsClosedByTheCleaner() throws Exception {
        dropAPublisher("dropped");
        for (int i = 0; i < 100; i++) {
            System.gc();
            Thread.sleep(50);
            try (Publisher again = connect("dropped")) {
                assertTrue(again.canSend());
                return;
            } catch (PublisherException stillHeld) {
                // the old publisher is not collected yet
            }
        }
        fail("the dropped publisher was never closed");
    }

    private void dropAPublisher(String stream) throws PublisherException {
        Publisher p = connect(stream);
        assertTrue(p.canSend());
    }

    // ---- threads ----------------------------------------------------------------------------------------------

    /**
     * An audio thread and a video thread send the whole clip at once while a third reads the state; every send
     * succeeds and the recording holds every frame.
     */
    @Test
    void anAudioAndAVideoThreadSendAtTheSameTime() throws Exception {
        String stream = "threads";
        List<String> failures = new java.util.concurrent.CopyOnWriteArrayList<>();
        try (Publisher p = connect(stream)) {
            assertSame(RtmpError.OK, p.sendMetadata(new Metadata(640, 360, 3000, 30, 128, 44100, 16, 2)));
            sendHeaders(p);
            CountDownLatch go = new CountDownLatch(1);
            AtomicBoolean done = new AtomicBoolean();
            Thread audio = new Thread(() -> {
                await(go);
                for (int a = 0; a < clip.adtsFrames.size(); a++) {
                    RtmpError r = p.send(clip.aacFrame(a));
                    if (!r.isOk()) {
                        failures.add("audio " + a + ": " + r);
                    }
                }
            });
            Thread video = new Thread(() -> {
                await(go);
                for (int v = 0; v < clip.accessUnits.size(); v++) {
                    RtmpError r = sendVideo(p, v);
                    if (!r.isOk()) {
                        failures.add("video " + v + ": " + r);
                    }
                }
            });
            Thread reader = new Thread(() -> {
                await(go);
                while (!done.get()) {
                    if (p.state() != ConnectionState.CONNECTED || p.audioCapacity() < 1002 || p.url() == null) {
                        failures.add("reader saw a broken state");
                    }
                }
            });
            audio.start();
            video.start();
            reader.start();
            go.countDown();
            audio.join(60_000);
            video.join(60_000);
            done.set(true);
            reader.join(10_000);
        }
        assertEquals(List.of(), failures);
        java.nio.file.Path rec = nginx.recording(stream);
        assertEquals(clip.accessUnits.size(), RtmpServer.settledPacketCount(rec, "v"));
        assertEquals(clip.adtsFrames.size(), RtmpServer.packetTimes(rec, "a").size());
    }

    /** Close while two threads send: they stop with IllegalStateException, never a crash or a stale handle. */
    @Test
    void closeWhileSendingStopsTheSendersCleanly() throws Exception {
        Publisher p = connect("closing");
        sendHeaders(p);
        Map<String, Integer> outcomes = new ConcurrentHashMap<>();
        AtomicInteger sent = new AtomicInteger();
        List<Thread> senders = new ArrayList<>();
        for (boolean isAudio : new boolean[] {true, false}) {
            Thread t = new Thread(() -> {
                try {
                    for (int i = 0;; i++) {
                        RtmpError r;
                        if (isAudio) {
                            r = p.send(clip.aacFrame(i % clip.adtsFrames.size()));
                        } else {
                            r = sendVideo(p, i % clip.accessUnits.size());
                        }
                        outcomes.merge(r.name(), 1, Integer::sum);
                        sent.incrementAndGet();
                        Thread.sleep(1);
                    }
                } catch (IllegalStateException closed) {
                    outcomes.merge("closed", 1, Integer::sum);
                } catch (InterruptedException e) {
                    outcomes.merge("interrupted", 1, Integer::sum);
                }
            });
            senders.add(t);
            t.start();
        }
        while (sent.get() < 50) {
            Thread.sleep(5);
        }
        p.close();
        for (Thread t : senders) {
            t.join(10_000);
            assertFalse(t.isAlive());
        }
        assertEquals(2, outcomes.get("closed"), outcomes.toString());
        assertNotNull(outcomes.get("OK"));
        outcomes.keySet().forEach(k -> assertTrue(k.equals("OK") || k.equals("RECONNECTING") || k.equals("closed"),
                outcomes.toString()));
    }

    // ---- helpers ----------------------------------------------------------------------------------------------

    // ---- delivery ---------------------------------------------------------------------------------------------

    /**
     * Against nginx acknowledging every read: the acknowledged bytes rise while the clip goes out and, once finish
     * has waited for the server, equal the bytes written, in both modes; a close timeout of zero does not wait. The
     * close timeout holds on the connection a full reconnection makes too.
     */
    @Test
    void finishWaitsForTheServerAndEveryByteIsAcknowledged() throws Exception {
        Object[][] cases = {
            // flvWrite, close timeout, the server must have closed in time (a zero timeout looks once: on a busy
            // machine the server may have closed by then, so either answer is right there)
            {false, Duration.ofSeconds(5), true}, {true, Duration.ofSeconds(5), true}, {false, Duration.ZERO, false},
        };
        for (Object[] c : cases) {
            try (Publisher p = Publisher.to(acking.url("live", "acked")).flvWrite((Boolean) c[0])
                    .closeTimeout((Duration) c[1]).connect()) {
                for (int connection = 1; connection <= 2; connection++) {
                    String what = Arrays.toString(c) + " connection " + connection + ": ";
                    assertSame(RtmpError.OK, p.send(clip.aacConfig()), what);
                    assertSame(RtmpError.OK, p.send(clip.avcConfig()), what);
                    long midway = 0;
                    for (int i = 0; i < clip.accessUnits.size(); i++) {
                        assertSame(RtmpError.OK, sendVideo(p, i), what + i);
                        assertSame(RtmpError.OK, p.send(clip.aacFrame(i)), what + i);
                        if (i == clip.accessUnits.size() / 2) {
                            midway = acknowledgedSoon(p);
                        }
                    }
                    Delivery d = p.finish();
                    if ((Boolean) c[2]) {
                        assertTrue(d.serverClosedInTime(), what + d);
                        assertTrue(d.fullyAcknowledged(), what + d);
                    }
                    assertTrue(midway > 0 && midway < d.bytesWritten(), what + midway + " midway, " + d);
                    if (d.serverClosedInTime()) {
                        assertEquals(d.bytesWritten(), d.bytesAcked(), what + d);
                    }
                    assertEquals(d, p.finish(), what + "again");
                    assertEquals(d.bytesWritten(), p.bytesWritten(), what);
                    assertSame(RtmpError.NEEDS_TO_RECONNECT, p.send(clip.aacFrame(0)), what);
                    assertSame(ConnectionState.CONNECTED, p.reconnectFull(), what);
                }
            }
        }
    }

    /** The acknowledged bytes once the server has acknowledged something (polled, within 5 s). */
    private static long acknowledgedSoon(Publisher p) throws InterruptedException {
        for (int i = 0; i < 500 && p.bytesAcked() == 0; i++) {
            assertSame(RtmpError.OK, p.poll());
            Thread.sleep(10);
        }
        return p.bytesAcked();
    }

    private void sendHeaders(Publisher p) {
        assertSame(RtmpError.OK, p.send(clip.aacConfig()));
        assertSame(RtmpError.OK, p.send(clip.avcConfig()));
    }

    private RtmpError sendVideo(Publisher p, int n) {
        return p.send(clip.avcFrame(n));
    }

    private static void await(CountDownLatch l) {
        try {
            l.await();
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
    }
}
