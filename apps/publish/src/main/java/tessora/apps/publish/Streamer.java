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
import tessora.streaming.session.EndReason;
import tessora.streaming.session.Session;
import tessora.streaming.session.SessionState;
import tessora.streaming.session.SessionStats;

/**
 * Publishes what a {@link MediaReader} reads through a {@link Session}, in real time: each frame is offered when the
 * wall clock reaches its decoding time. The session connects, reconnects and sends; this class only paces the file.
 * A file, unlike a camera, can wait: while the session's queue holds more than {@link #QUEUE_AHEAD_MS} of media
 * (a link slower than the file, or no link at all) reading pauses, and the clock with it, so that the session's drop
 * policy, made for live sources, never thins out a file that is merely read faster than it can be sent.
 */
final class Streamer {
    /** Below the session's first drop threshold (700 ms by default), with a frame interval or two to spare. */
    static final long QUEUE_AHEAD_MS = 500;
    private static final long POLL_MS = 2;

    private final Session.Builder builder;
    private final MediaReader reader;
    private final PrintStream out;
    private final boolean realtime;
    private final Progress progress;

    /**
     * @param builder the session as the command line describes it; the file's metadata, sequence headers and the
     *     listener are added here
     */
    Streamer(Session.Builder builder, MediaReader reader, PrintStream out, boolean realtime, Progress progress) {
        this.builder = builder;
        this.reader = reader;
        this.out = out;
        this.realtime = realtime;
        this.progress = progress;
    }

    /**
     * True when every frame of the file was offered and the session was then closed; false when it stopped before.
     *
     * @throws IOException when the file turns out corrupt or cut short while it is read (the run stops there), or
     *     when the session ends by itself (credentials refused, the retry limit reached), with its reason
     */
    boolean run(String url, boolean flvWrite) throws IOException, InterruptedException {
        ConnectionLog events = new ConnectionLog(out);
        Session session = builder.metadata(reader.info().metadata()).videoConfig(reader.avcConfig().orElse(null))
                .audioConfig(reader.aacConfig().orElse(null)).listener(events).start();
        ScheduledExecutorService ticker = Executors.newSingleThreadScheduledExecutor(r -> {
            Thread t = new Thread(r, "progress");
            t.setDaemon(true);
            return t;
        });
        boolean complete = false;
        try {
            events.awaitFirstConnection();
            if (session.state() != SessionState.ENDED) {
                out.println("publishing " + describe(reader) + " to " + url + " ("
                        + (flvWrite ? "FLV-write" : "packet") + " mode)");
                ticker.scheduleAtFixedRate(() -> progress.print(out, session.stats()), 1, 1, TimeUnit.SECONDS);
                complete = stream(session);
            }
        } finally {
            ticker.shutdownNow();
            // A line being printed finishes before the summary, so the summary stays the last.
            ticker.awaitTermination(1, TimeUnit.SECONDS);
            session.close();
            progress.update(session.stats());
            progress.summary(out, complete);
        }
        SessionStats s = session.stats();
        if (s.endReason() != EndReason.CLOSED) {
            throw new IOException("the session ended (" + s.endReason() + "): " + s.lastError());
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

    /** Offers the file frame by frame; false when the session ended before the file did. */
    private boolean stream(Session session) throws IOException, InterruptedException {
        long start = System.nanoTime();
        for (MediaSample s = reader.read(); s != null; s = reader.read()) {
            if (realtime) {
                long wait = start + TimeUnit.MILLISECONDS.toNanos(s.dtsMs()) - System.nanoTime();
                if (wait > 0) {
                    TimeUnit.NANOSECONDS.sleep(wait);
                }
            }
            long waited = awaitRoom(session);
            if (waited < 0) {
                return false;
            }
            start += waited;
            offer(session, s);
        }
        return true;
    }

    /** Waits while the queue is full enough; the nanoseconds waited, or -1 once the session has ended. */
    private static long awaitRoom(Session session) throws InterruptedException {
        long from = System.nanoTime();
        for (SessionStats s = session.stats(); s.queuedMs() >= QUEUE_AHEAD_MS || s.state() == SessionState.ENDED;
                s = session.stats()) {
            if (s.state() == SessionState.ENDED) {
                return -1;
            }
            Thread.sleep(POLL_MS);
        }
        return System.nanoTime() - from;
    }

    /**
     * One frame as the session's typed record. A frame the records refuse (a length prefix that runs past the access
     * unit) is told and counted as dropped; the session counts its own drops.
     */
    private void offer(Session session, MediaSample s) {
        boolean video = s.kind() == MediaSample.Kind.VIDEO;
        try {
            if (video) {
                session.offer(s.toAvcFrame());
            } else {
                session.offer(s.toAacFrame());
            }
        } catch (IllegalArgumentException refused) {
            progress.refused(s);
            out.println("  " + (video ? "VIDEO_FRAME" : "AUDIO_FRAME") + " at " + s.dtsMs() + " ms not sent: "
                    + refused.getMessage());
        }
    }
}
