package tessora.streaming.session;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.file.Files;
import java.nio.file.Path;
import java.time.Duration;
import java.util.HashSet;
import java.util.List;
import java.util.Set;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.CopyOnWriteArrayList;
import java.util.concurrent.TimeUnit;
import java.util.function.Predicate;

import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.Timeout;
import org.junit.jupiter.api.extension.RegisterExtension;

import tessora.streaming.media.reader.MediaSample;
import tessora.testing.RtmpServer;
import tessora.testing.ThrottlingRelay;

/** Sessions against nginx-rtmp through a slow relay, a relay that stops reading, and an nginx that dies. */
class SessionTest {
    @RegisterExtension
    static final RtmpServer nginx = new RtmpServer();
    @RegisterExtension
    static final RtmpServer acking = RtmpServer.withAckWindow(1);

    private static ClipFeed clip;

    @BeforeAll
    static void loadClip() throws Exception {
        clip = ClipFeed.load("clip.mp4");
    }

    /** The events a listener received, with the time each came. */
    static final class Events implements SessionListener {
        record Timed(long nanos, SessionEvent event) {}

        final List<Timed> seen = new CopyOnWriteArrayList<>();

        @Override
        public void onEvent(SessionEvent event) {
            seen.add(new Timed(System.nanoTime(), event));
        }

        long count(Class<? extends SessionEvent> kind) {
            return seen.stream().filter(t -> kind.isInstance(t.event())).count();
        }

        /** The events with their times in seconds from the given time. */
        String since(long nanos) {
            StringBuilder b = new StringBuilder();
            seen.forEach(t -> b.append(String.format("%n  %+.2f s %s", (t.nanos() - nanos) / 1e9, t.event())));
            return b.toString();
        }

        /** When the first event of this kind after the given time came, or -1. */
        long firstAfter(long nanos, Predicate<SessionEvent> which) {
            return seen.stream().filter(t -> t.nanos() >= nanos && which.test(t.event())).mapToLong(Timed::nanos)
                    .findFirst().orElse(-1);
        }
    }

    @Test
    @Timeout(90)
    void aSlowLinkDropsVideoByThePolicyAndNeverAudio() throws Exception {
        try (ThrottlingRelay relay = new ThrottlingRelay(nginx.port(), clip.bytesPerSecond() / 2)) {
            Events events = new Events();
            long start = System.nanoTime();
            long[] offers;
            SessionStats end;
            Session s = clip.session(relay.url("live", "slow")).listener(events).start();
            try {
                offers = clip.play(s, 0, () -> false);
            } finally {
                s.close();
            }
            end = s.stats();
            double seconds = (System.nanoTime() - start) / 1e9;
            System.out.println("slow link: offer " + ClipFeed.latency(offers) + "; " + seconds + " s; " + end);
            // A blocked offer would wait for the network: seconds, not milliseconds.
            assertTrue(offers[offers.length - 1] < TimeUnit.MILLISECONDS.toNanos(100), ClipFeed.latency(offers));
            assertEquals(0, end.audioDropped(), end.toString());
            assertTrue(end.videoDropped(DropReason.CONGESTION) + end.videoDropped(DropReason.NON_REFERENCE) > 0,
                    end.toString());
            assertEquals(0, end.videoDropped(DropReason.SESSION_ENDED), end.toString());
            assertEquals(EndReason.CLOSED, end.endReason());
            assertTrue(seconds < clip.durationMs / 1000.0 + 7, "took " + seconds + " s");
        }
        Path rec = nginx.recording("slow");
        RtmpServer.settledPacketCount(rec, "v");
        assertEquals("", Recording.decodeErrors(rec));
        assertRunsStartAtKeyFrames(clip.video(), Recording.videoPackets(rec));
    }

    /**
     * Every video frame the recording lacks that others refer to breaks decoding until the next key frame: the
     * recording must hold nothing between the two. Frames nothing refers to may be missing alone.
     */
    private static void assertRunsStartAtKeyFrames(List<MediaSample> source, List<Recording.Packet> recorded) {
        Set<Long> present = new HashSet<>();
        recorded.forEach(p -> present.add(p.dtsMs()));
        boolean broken = false;
        int missing = 0;
        for (MediaSample s : source) {
            if (!present.contains(s.dtsMs())) {
                missing++;
                broken |= s.toAvcFrame().referenced();
            } else if (s.keyFrame()) {
                broken = false;
            } else {
                assertTrue(!broken, "frame at " + s.dtsMs() + " ms sent after a referenced frame was dropped");
            }
        }
        assertTrue(missing > 0, "nothing was dropped");
        assertEquals(source.size() - missing, recorded.size(), "the recording holds frames the clip lacks");
    }

    @Test
    @Timeout(120)
    void nginxKilledAndStartedAgainIsReconnectedBySelf() throws Exception {
        Events events = new Events();
        SessionStats end;
        Session s = clip.session(nginx.url("live", "restart")).listener(events).start();
        try {
            CompletableFuture<long[]> feed = CompletableFuture.supplyAsync(() -> play(s));
            Thread.sleep(3000);
            nginx.kill();
            Path first = nginx.recording("restart");
            Path kept = first.resolveSibling("restart-first.flv");
            Files.move(first, kept);
            Thread.sleep(1500);
            nginx.start();
            long[] offers = feed.get(60, TimeUnit.SECONDS);
            System.out.println("restart: offer " + ClipFeed.latency(offers));
        } finally {
            s.close();
        }
        end = s.stats();
        System.out.println("restart: " + end);
        assertTrue(end.reconnections() >= 1, end.toString());
        assertEquals(1, events.count(SessionEvent.Ended.class));
        Path second = nginx.recording("restart");
        RtmpServer.settledPacketCount(second, "v");
        List<Recording.Tag> tags = Recording.tags(second, 1000);
        System.out.println("restart: second recording begins " + tags.subList(0, Math.min(4, tags.size())));
        // Before the first frame: both sequence headers (nginx may repeat one); the first video frame a key frame.
        List<Recording.Tag> media = tags.stream().filter(t -> t.type() != 18).toList();
        Set<Integer> headers = new HashSet<>();
        for (Recording.Tag t : media) {
            if (!t.isSequenceHeader()) {
                break;
            }
            headers.add(t.type());
        }
        assertEquals(Set.of(8, 9), headers, tags.subList(0, 4).toString());
        Recording.Tag firstVideo = media.stream().filter(t -> t.type() == 9 && !t.isSequenceHeader()).findFirst()
                .orElseThrow();
        assertTrue(firstVideo.isKeyFrame(), firstVideo.toString());
        assertEquals("", Recording.decodeErrors(second));
    }

    @Test
    @Timeout(90)
    void aServerThatStopsReadingEndsTheSendWithinTheBoundAndIsReconnected() throws Exception {
        Duration bound = Duration.ofSeconds(2);
        Events events = new Events();
        try (ThrottlingRelay relay = new ThrottlingRelay(nginx.port(), 0)) {
            Session s = clip.session(relay.url("live", "stall")).sendTimeout(bound).listener(events).start();
            CompletableFuture<long[]> feed = CompletableFuture.supplyAsync(() -> play(s));
            Thread.sleep(2500);
            long paused = System.nanoTime();
            relay.pause();
            while (events.firstAfter(paused, e -> e instanceof SessionEvent.Reconnecting) < 0
                    && System.nanoTime() - paused < TimeUnit.SECONDS.toNanos(20)) {
                Thread.sleep(20);
            }
            long lost = events.firstAfter(paused, e -> e instanceof SessionEvent.Reconnecting);
            relay.resume();
            while (events.firstAfter(paused, e -> e instanceof SessionEvent.Connected) < 0
                    && System.nanoTime() - paused < TimeUnit.SECONDS.toNanos(30)) {
                Thread.sleep(20);
            }
            long[] offers = feed.get(60, TimeUnit.SECONDS);
            SessionStats before = s.stats();
            long backAt = events.firstAfter(paused, e -> e instanceof SessionEvent.Connected);
            s.close(); // also when an assertion above failed: the pool thread ends with the clip
            SessionStats end = s.stats();
            System.out.printf("stalled server: lost after %.2f s (bound %s), connected again after %.2f s; offer %s;"
                    + " %s%s%n", (lost - paused) / 1e9, bound, (backAt - paused) / 1e9, ClipFeed.latency(offers), end,
                    events.since(paused));
            assertTrue(lost > 0, "the stalled send never ended");
            // The kernel takes what fits its buffers first; then the send waits at most the bound.
            assertTrue(lost - paused < bound.plusSeconds(2).toNanos(), "lost after " + (lost - paused) / 1e9 + " s");
            assertTrue(backAt > lost, "not connected again");
            assertEquals(SessionState.CONNECTED, before.state());
            assertTrue(end.reconnections() >= 1, end.toString());
            assertTrue(end.videoDropped(DropReason.RECONNECTION) > 0, end.toString());
        }
    }

    /**
     * After a network failure the server may hold the lost publish of the stream's name until it notices, and refuse
     * the new one meanwhile: on a reconnection that refusal is retried, where on the first connect it ends the
     * session.
     */
    @Test
    @Timeout(90)
    void aPublishRefusedOnReconnectionIsRetriedUntilTheServerLetsTheOldOneGo() throws Exception {
        Events events = new Events();
        try (ThrottlingRelay relay = new ThrottlingRelay(nginx.port(), 0)) {
            Session s = clip.session(relay.url("live", "held")).listener(events).start();
            try {
                CompletableFuture<long[]> feed = CompletableFuture.supplyAsync(() -> play(s));
                Thread.sleep(2000);
                long cut = System.nanoTime();
                relay.cutClients(Duration.ofMillis(2500));
                while (events.firstAfter(cut, e -> e instanceof SessionEvent.Connected) < 0
                        && System.nanoTime() - cut < TimeUnit.SECONDS.toNanos(30)) {
                    Thread.sleep(20);
                }
                feed.get(60, TimeUnit.SECONDS);
                String seen = events.since(cut);
                System.out.println("publish held by the server:" + seen);
                assertTrue(events.firstAfter(cut, e -> e instanceof SessionEvent.Connected) > 0, seen);
                assertTrue(events.firstAfter(cut, e -> e instanceof SessionEvent.Reconnecting r
                        && r.cause().contains("refused to publish")) > 0, seen);
            } finally {
                s.close();
            }
            assertEquals(EndReason.CLOSED, s.stats().endReason());
        }
    }

    /**
     * Against nginx acknowledging every read: the written and acknowledged bytes rise while the clip goes out, and
     * the close ends the publish gracefully, after which the server has acknowledged every byte written.
     */
    @Test
    @Timeout(60)
    void closeWaitsUntilTheServerHasAcknowledgedEverything() throws Exception {
        ClipFeed shortClip = ClipFeed.load("short.mp4");
        Session s = shortClip.session(acking.url("live", "acked")).start();
        List<SessionStats> midway = new CopyOnWriteArrayList<>();
        int half = shortClip.samples.size() / 2;
        int[] offered = {0};
        try {
            shortClip.play(s, 0, () -> {
                if (offered[0]++ == half) {
                    midway.add(s.stats());
                }
                return false;
            });
        } finally {
            s.close();
        }
        SessionStats mid = midway.get(0);
        SessionStats end = s.stats();
        System.out.println("acknowledged: midway " + mid.bytesAcknowledged() + " of " + mid.bytesWritten() + "; end "
                + end);
        assertTrue(mid.bytesAcknowledged() > 0 && mid.bytesWritten() < end.bytesWritten(), mid.toString());
        assertEquals(EndReason.CLOSED, end.endReason());
        assertTrue(end.fullyAcknowledged(), end.toString());
        assertEquals(end.bytesWritten(), end.bytesAcknowledged(), end.toString());
        assertEquals(end.bytesWritten(), end.lastDelivery().bytesWritten(), end.toString());
        assertTrue(end.bytesWritten() > end.bytesSent(), end.toString());
    }

    /**
     * A session with nothing to send still reads the server: a server that goes away is noticed without a frame
     * offered, and connected again. The figures go on from the first connection's.
     */
    @Test
    @Timeout(60)
    void anIdleSessionNoticesTheServerGoneAndConnectsAgain() throws Exception {
        Events events = new Events();
        Session s = clip.session(nginx.url("live", "idle")).listener(events).start();
        try {
            awaitEvents(events, SessionEvent.Connected.class, 1);
            Thread.sleep(300);
            SessionStats first = s.stats();
            nginx.kill();
            try {
                awaitEvents(events, SessionEvent.Reconnecting.class, 1);
            } finally {
                nginx.start();
            }
            awaitEvents(events, SessionEvent.Connected.class, 2);
            Thread.sleep(300);
            SessionStats second = s.stats();
            System.out.println("idle: " + first + " then " + second + events.since(0));
            assertEquals(1, second.reconnections(), second.toString());
            assertTrue(first.bytesWritten() > 0 && second.bytesWritten() > first.bytesWritten(), second.toString());
            assertEquals(0, second.videoFramesSent() + second.audioFramesSent(), second.toString());
        } finally {
            s.close();
        }
    }

    /** Waits (at most 20 s) until the listener has seen count events of the kind; the test fails otherwise. */
    private static void awaitEvents(Events events, Class<? extends SessionEvent> kind, int count)
            throws InterruptedException {
        long start = System.nanoTime();
        while (events.count(kind) < count && System.nanoTime() - start < TimeUnit.SECONDS.toNanos(20)) {
            Thread.sleep(20);
        }
        assertTrue(events.count(kind) >= count, events.since(start));
    }

    private static long[] play(Session s) {
        try {
            return clip.play(s, 0, () -> false);
        } catch (InterruptedException e) {
            throw new IllegalStateException(e);
        }
    }
}
