package tessora.apps.publish;

import java.io.PrintStream;
import java.util.concurrent.CountDownLatch;

import tessora.streaming.session.EndReason;
import tessora.streaming.session.SessionEvent;
import tessora.streaming.session.SessionListener;

/**
 * The session's connection events as lines of the application's output (one per loss, failed attempt, resumption
 * and final give-up, the wording testing/soak reads), and the wait for the first connection.
 */
final class ConnectionLog implements SessionListener {
    private final PrintStream out;
    private final CountDownLatch settled = new CountDownLatch(1);
    // Written on the session's sender thread only, which delivers the events one at a time.
    private int attempt;
    private long delayMs;

    ConnectionLog(PrintStream out) {
        this.out = out;
    }

    @Override
    public void onEvent(SessionEvent event) {
        if (event instanceof SessionEvent.Connecting c) {
            attempt = c.attempt();
        } else if (event instanceof SessionEvent.Connected c) {
            if (c.connection() > 1) {
                out.println("  reconnected after " + attempt + " attempt(s)");
            }
            settled.countDown();
        } else if (event instanceof SessionEvent.Reconnecting r) {
            // Attempt 1 comes after a lost connection; any later number follows a failed attempt.
            if (r.attempt() == 1) {
                out.println("  connection lost; reconnecting in " + r.delay().toMillis() + " ms (" + r.cause() + ")");
            } else {
                out.println("  attempt " + (r.attempt() - 1) + " failed (" + r.cause() + "), waited " + delayMs
                        + " ms");
            }
            delayMs = r.delay().toMillis();
        } else if (event instanceof SessionEvent.Ended e) {
            if (e.reason() == EndReason.RETRY_LIMIT) {
                out.println("  giving up after " + attempt + " attempts");
            }
            settled.countDown();
        }
    }

    /** Waits until the session has published for the first time or has ended without (its retry policy bounds it). */
    void awaitFirstConnection() throws InterruptedException {
        settled.await();
    }
}
