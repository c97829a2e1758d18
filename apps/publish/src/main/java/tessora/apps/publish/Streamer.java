package tessora.apps.publish;

import java.io.PrintStream;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.Executors;
import java.util.concurrent.ScheduledExecutorService;
import java.util.concurrent.TimeUnit;

import tessora.streaming.rtmpdump.ConnectionState;
import tessora.streaming.rtmpdump.Publisher;
import tessora.streaming.rtmpdump.PublisherException;
import tessora.streaming.rtmpdump.RtmpError;

/**
 * Publishes a {@link MediaSource} in real time: each unit leaves when the wall clock reaches its decoding time.
 * When a send reports that the connection is lost, it reconnects with a bounded exponential backoff, sends the
 * metadata and sequence headers again, and goes on from the next key frame, the clock paused for the outage.
 */
final class Streamer {
    private final Publisher.Settings settings;
    private final MediaSource source;
    private final PrintStream out;
    private final boolean realtime;
    private final Progress progress = new Progress();
    private final Backoff backoff;
    private final List<MediaUnit> configs = new ArrayList<>();
    private Publisher publisher;

    Streamer(Publisher.Settings settings, MediaSource source, PrintStream out, boolean realtime, Backoff backoff) {
        this.settings = settings;
        this.source = source;
        this.out = out;
        this.realtime = realtime;
        this.backoff = backoff;
    }

    Progress progress() {
        return progress;
    }

    /** True when every unit was handed over; false when the connection was lost for good. */
    boolean run() throws PublisherException, InterruptedException {
        publisher = Publisher.connect(settings);
        out.println("publishing " + source.describe() + " to " + settings.url() + " ("
                + (settings.flvWrite() ? "FLV-write" : "packet") + " mode)");
        ScheduledExecutorService ticker = Executors.newSingleThreadScheduledExecutor(r -> {
            Thread t = new Thread(r, "progress");
            t.setDaemon(true);
            return t;
        });
        ticker.scheduleAtFixedRate(() -> progress.print(out), 1, 1, TimeUnit.SECONDS);
        boolean complete = false;
        try {
            complete = stream();
        } finally {
            ticker.shutdownNow();
            publisher.close();
            progress.summary(out, complete);
        }
        return complete;
    }

    private boolean stream() throws InterruptedException {
        check("metadata", publisher.sendMetadata(source.info().metadata()));
        long start = System.nanoTime();
        boolean waitForKeyframe = false;
        for (MediaUnit u : source.units()) {
            if (u.kind().isConfig()) {
                configs.removeIf(c -> c.kind() == u.kind());
                configs.add(u);
            }
            if (realtime && !u.kind().isConfig()) {
                long due = start + TimeUnit.MILLISECONDS.toNanos(u.dtsMs());
                long wait = due - System.nanoTime();
                if (wait > 0) {
                    TimeUnit.NANOSECONDS.sleep(wait);
                }
            }
            if (waitForKeyframe && u.kind() == MediaUnit.Kind.VIDEO_FRAME && !u.keyframe()) {
                progress.dropped.incrementAndGet();
                continue;
            }
            if (u.kind() == MediaUnit.Kind.VIDEO_FRAME) {
                waitForKeyframe = false;
            }
            RtmpError r = Records.send(publisher, u);
            if (r == RtmpError.NEEDS_TO_RECONNECT) {
                long lost = System.nanoTime();
                if (!reconnect()) {
                    return false;
                }
                start += System.nanoTime() - lost;
                // The new stream's video must begin where a decoder can start; the unit that failed goes again
                // when it is one.
                waitForKeyframe = true;
                if (u.kind() == MediaUnit.Kind.VIDEO_FRAME && !u.keyframe()) {
                    progress.dropped.incrementAndGet();
                    continue;
                }
                if (u.kind() == MediaUnit.Kind.VIDEO_FRAME) {
                    waitForKeyframe = false;
                }
                r = Records.send(publisher, u);
            }
            if (r.isOk()) {
                progress.sent(u);
            } else {
                progress.dropped.incrementAndGet();
                out.println("  " + u.kind() + " at " + u.dtsMs() + " ms not sent: " + r);
            }
        }
        return true;
    }

    /** Full reconnections with backoff, then the stream's set-up again; false when every attempt failed. */
    private boolean reconnect() throws InterruptedException {
        out.println("  connection lost; reconnecting");
        backoff.reset();
        while (backoff.canTry()) {
            long delay = backoff.nextDelayMs();
            Thread.sleep(delay);
            ConnectionState s = publisher.reconnectFull();
            if (s == ConnectionState.CONNECTED) {
                progress.reconnections.incrementAndGet();
                out.println("  reconnected after " + backoff.tried() + " attempt(s)");
                check("metadata", publisher.sendMetadata(source.info().metadata()));
                for (MediaUnit c : configs) {
                    check(c.kind().toString(), Records.send(publisher, c));
                }
                return true;
            }
            out.println("  attempt " + backoff.tried() + " failed (" + s + "), waited " + delay + " ms");
        }
        out.println("  giving up after " + backoff.tried() + " attempts");
        return false;
    }

    private void check(String what, RtmpError r) {
        if (!r.isOk()) {
            out.println("  " + what + " not sent: " + r);
        }
    }
}
