package tessora.streaming.session;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.time.Duration;
import java.util.List;
import java.util.Map;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.Timeout;
import org.junit.jupiter.api.extension.RegisterExtension;

import tessora.streaming.media.AacFrame;
import tessora.streaming.rtmpdump.Publisher;
import tessora.testing.ChallengeServer;
import tessora.testing.RtmpServer;

/** How sessions end when connecting fails: at once where retrying cannot help, at the retry limit elsewhere. */
class EndReasonTest {
    @RegisterExtension
    static final RtmpServer nginx = new RtmpServer();

    private static final RetryPolicy QUICK =
            new RetryPolicy(Duration.ofMillis(100), 1.5, Duration.ofSeconds(1), Duration.ZERO, 3);

    record Case(String name, String url, String user, String password, EndReason end, long connects) {}

    @Test
    @Timeout(60)
    void failedConnectsEndTheSessionWithTheirReason() throws Exception {
        try (ChallengeServer auth = new ChallengeServer("adobe", "--user", "alice:secret");
                Publisher busy = Publisher.to(nginx.url("live", "busy")).connect()) {
            String nowhere = "rtmp://127.0.0.1:" + RtmpServer.freePort() + "/live/s";
            List<Case> cases = List.of(
                    new Case("wrong password", auth.url("live", "s"), "alice", "wrong", EndReason.AUTH_FAILED, 1),
                    new Case("unknown user", auth.url("live", "s"), "bob", "secret", EndReason.AUTH_FAILED, 1),
                    new Case("stream already published", nginx.url("live", "busy"), null, null,
                            EndReason.PUBLISH_REFUSED, 1),
                    new Case("URL not accepted", "not a url", null, null, EndReason.BAD_URL, 1),
                    new Case("nothing listens", nowhere, null, null, EndReason.RETRY_LIMIT, 3));
            for (Case c : cases) {
                SessionTest.Events events = new SessionTest.Events();
                try (Session s = Session.builder(c.url()).credentials(c.user(), c.password()).retry(QUICK)
                        .listener(events).start()) {
                    assertTrue(s.awaitEnd(Duration.ofSeconds(20)), c.name());
                    SessionStats stats = s.stats();
                    assertEquals(c.end(), stats.endReason(), c.name());
                    assertEquals(SessionState.ENDED, stats.state(), c.name());
                    assertEquals(c.connects(), events.count(SessionEvent.Connecting.class), c.name());
                    assertEquals(c.connects() - 1, events.count(SessionEvent.Reconnecting.class), c.name());
                    assertTrue(stats.lastError() != null, c.name());
                    // An ended session takes nothing more, and says so in its counts.
                    assertFalse(s.offer(AacFrame.of(new byte[] {1, 2}, 0)), c.name());
                    assertEquals(Map.of(DropReason.SESSION_ENDED, 1L), s.stats().audioDrops(), c.name());
                }
            }
            assertTrue(busy.canSend(), "the stream's own publisher was left alone");
        }
    }
}
