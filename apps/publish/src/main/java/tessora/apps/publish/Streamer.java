package tessora.apps.publish;

import java.io.IOException;
import java.io.PrintStream;
import java.util.Locale;
import java.util.concurrent.Executors;
import java.util.concurrent.ScheduledExecutorService;
import java.util.concurrent.TimeUnit;

import tessora.streaming.media.reader.MediaInfo;
import tessora.streaming.media.reader.MediaReader;
import tessora.streaming.media.reader.MediaSample;
import tessora.streaming.rtmpdump.ConnectionState;
import tessora.streaming.rtmpdump.Publisher;
import tessora.streaming.rtmpdump.RtmpError;

/**
 * Publishes what a {@link MediaReader} reads, in real time: each frame leaves when the wall clock reaches its
 * decoding time. When a send reports that the connection is lost, it reconnects with a bounded exponential
 * backoff, sends the metadata and sequence headers again, and goes on from the next key frame, the clock paused
 * for the outage.
 */
final class Streamer {
    private final Publisher.Settings settings;
    private final MediaReader reader;
    private final PrintStream out;
    private final boolean realtime;
    private final Progress progress;
    private final Backoff backoff;
    private Publisher publisher;

    Streamer(Publisher.Settings settings, MediaReader reader, PrintStream out, boolean realtime, Backoff backoff,
            Progress progress) {
        this.settings = settings;
        this.reader = reader;
        this.out = out;
        this.realtime = realtime;
        this.backoff = backoff;
        this.progress = progress;
    }

    /**
     * True when every frame was handed over or counted as dropped; false when the connection was lost for good.
     *
     * @throws IOException when the file turns out corrupt or cut short while it is read (the run stops there)
     */
    boolean run() throws IOException, InterruptedException {
        publisher = Publisher.connect(settings);
        out.println("publishing " + describe(reader) + " to " + settings.url() + " ("
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
            // A line being printed finishes before the summary, so the summary stays the last.
            ticker.awaitTermination(1, TimeUnit.SECONDS);
            publisher.close();
            progress.summary(out, complete);
        }
        return complete;
    }

    /** What the file holds, for the first line. */
    static String describe(MediaReader reader) {
        MediaInfo i = reader.info();
        StringBuilder b = new StringBuilder(reader.name()).append(" (").append(i.format());
        if (i.hasVideo()) {
            b.append(String.format(Locale.ROOT, ", H.264 %dx%d %.3g fps", i.width(), i.height(), i.frameRate()));
        }
        if (i.hasAudio()) {
            b.append(String.format(Locale.ROOT, ", AAC %d Hz %d ch", i.sampleRate(), i.channels()));
        }
        if (i.durationMs() > 0) {
            b.append(String.format(Locale.ROOT, ", %.1f s", i.durationMs() / 1000.0));
        }
        return b.append(')').toString();
    }

    private boolean stream() throws IOException, InterruptedException {
        sendSetUp();
        long start = System.nanoTime();
        boolean waitForKeyframe = false;
        for (MediaSample s = reader.read(); s != null; s = reader.read()) {
            if (realtime) {
                long wait = start + TimeUnit.MILLISECONDS.toNanos(s.dtsMs()) - System.nanoTime();
                if (wait > 0) {
                    TimeUnit.NANOSECONDS.sleep(wait);
                }
            }
            boolean video = s.kind() == MediaSample.Kind.VIDEO;
            if (waitForKeyframe && video && !s.keyFrame()) {
                progress.dropped(s);
                continue;
            }
            if (video) {
                waitForKeyframe = false;
            }
            RtmpError r = send(s);
            if (r == RtmpError.NEEDS_TO_RECONNECT) {
                long lost = System.nanoTime();
                if (!reconnect()) {
                    return false;
                }
                start += System.nanoTime() - lost;
                // The new stream's video must begin where a decoder can start; the frame that failed goes again
                // when it is one.
                waitForKeyframe = true;
                if (video && !s.keyFrame()) {
                    progress.dropped(s);
                    continue;
                }
                if (video) {
                    waitForKeyframe = false;
                }
                r = send(s);
            }
            if (r.isOk()) {
                progress.sent(s);
            } else {
                progress.dropped(s);
                out.println("  " + s.kind() + " frame at " + s.dtsMs() + " ms not sent: " + r);
            }
        }
        return true;
    }

    /**
     * One frame as the publisher's typed record. A frame the records refuse (a length prefix that runs past the
     * access unit) is answered with the publisher's input error for its kind, so every outcome is one RtmpError.
     */
    private RtmpError send(MediaSample s) {
        boolean video = s.kind() == MediaSample.Kind.VIDEO;
        try {
            return video ? publisher.send(s.toAvcFrame()) : publisher.send(s.toAacFrame());
        } catch (IllegalArgumentException refused) {
            return video ? RtmpError.INVALID_NAL : RtmpError.INVALID_BUFF;
        }
    }

    /** The file's metadata and sequence headers, at the start of every connection. */
    private void sendSetUp() {
        check("metadata", publisher.sendMetadata(reader.info().metadata()));
        reader.avcConfig().ifPresent(c -> check("AVC sequence header", publisher.send(c)));
        reader.aacConfig().ifPresent(c -> check("AAC sequence header", publisher.send(c)));
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
                progress.reconnected();
                out.println("  reconnected after " + backoff.tried() + " attempt(s)");
                sendSetUp();
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
