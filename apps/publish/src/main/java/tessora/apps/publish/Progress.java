package tessora.apps.publish;

import java.io.PrintStream;
import java.time.Duration;
import java.util.Locale;
import java.util.Map;
import java.util.TreeMap;
import java.util.concurrent.atomic.AtomicLong;

import tessora.streaming.media.reader.MediaSample;
import tessora.streaming.session.DropReason;
import tessora.streaming.session.SessionState;
import tessora.streaming.session.SessionStats;

/**
 * The session's statistics as the application shows them: a line once a second, a summary at the end and, on
 * request, one line of JSON. Frames the typed records refuse never reach the session; they are counted here and
 * added to its drops.
 */
final class Progress {
    private static final SessionStats NOTHING = new SessionStats(SessionState.CONNECTING, null, 0, 0, 0, 0, Map.of(),
            Map.of(), 0, 0, 0, 0, 0, 0, Duration.ZERO, null, 0, 0, null);

    private final AtomicLong videoRefused = new AtomicLong();
    private final AtomicLong audioRefused = new AtomicLong();
    private final long startNanos = System.nanoTime();
    private volatile SessionStats last = NOTHING;

    /** How a run ended, with the exit code the command line returns for it. */
    enum Outcome {
        /** Every frame of the file was sent. */
        PUBLISHED(0),
        /** The whole file went through, but frames were dropped on the way (around a reconnection, congestion). */
        PUBLISHED_WITH_DROPS(3),
        /** The run did not reach the end of the file, or the session ended with a failure. */
        FAILED(1);

        final int exitCode;

        Outcome(int exitCode) {
            this.exitCode = exitCode;
        }
    }

    /** A frame the typed records refused, so it was never offered. */
    void refused(MediaSample s) {
        (s.kind() == MediaSample.Kind.VIDEO ? videoRefused : audioRefused).incrementAndGet();
    }

    /** The session's latest statistics, which the summary and the JSON line report. */
    void update(SessionStats stats) {
        last = stats;
    }

    long videoDropped() {
        return last.videoDropped() + videoRefused.get();
    }

    long audioDropped() {
        return last.audioDropped() + audioRefused.get();
    }

    /** The outcome of a run that reached the end of the file (complete) or not. */
    Outcome outcome(boolean complete) {
        if (!complete) {
            return Outcome.FAILED;
        }
        return videoDropped() + audioDropped() > 0 ? Outcome.PUBLISHED_WITH_DROPS : Outcome.PUBLISHED;
    }

    double elapsedSeconds() {
        return (System.nanoTime() - startNanos) / 1e9;
    }

    /** One progress line from a snapshot of the session. */
    void print(PrintStream out, SessionStats s) {
        update(s);
        long dropped = videoDropped() + audioDropped();
        out.printf("  %6.1f s  video %5d  audio %5d  sent %9s  %7.0f kbit/s  queued %4d ms%s%s%n", elapsedSeconds(),
                s.videoFramesSent(), s.audioFramesSent(), size(s.bytesSent()), s.currentBitrate() / 1000.0,
                s.queuedMs(), dropped > 0 ? "  dropped " + dropped : "",
                s.reconnections() > 0 ? "  reconnections " + s.reconnections() : "");
    }

    /** The last line before the JSON: what went out, what was dropped and why. */
    void summary(PrintStream out, boolean complete) {
        SessionStats s = last;
        out.printf("%s: %.1f s, %d video frames, %d audio frames, %s sent (%.0f kbit/s on average), %d dropped, "
                + "%d reconnections%s%n", complete ? "published" : "stopped", elapsedSeconds(), s.videoFramesSent(),
                s.audioFramesSent(), size(s.bytesSent()), s.averageBitrate() / 1000.0,
                videoDropped() + audioDropped(), s.reconnections(), dropReasons(s));
    }

    /** The drops by stream and reason, for the summary; empty without drops. */
    private String dropReasons(SessionStats s) {
        StringBuilder b = new StringBuilder();
        reasons(b, "video", s.videoDrops(), videoRefused.get());
        reasons(b, "audio", s.audioDrops(), audioRefused.get());
        return b.length() == 0 ? "" : ";" + b;
    }

    private static void reasons(StringBuilder b, String stream, Map<DropReason, Long> drops, long refused) {
        Map<String, Long> all = new TreeMap<>();
        drops.forEach((r, n) -> all.put(r.name(), n));
        if (refused > 0) {
            all.merge(DropReason.REJECTED.name(), refused, Long::sum);
        }
        if (!all.isEmpty()) {
            b.append(' ').append(stream);
            all.forEach((r, n) -> b.append(' ').append(r).append(' ').append(n));
        }
    }

    /** The run as one line of JSON; error is why it failed, or null. */
    String json(Outcome outcome, String error) {
        SessionStats s = last;
        StringBuilder b = new StringBuilder("{");
        b.append("\"video_sent\":").append(s.videoFramesSent());
        b.append(",\"video_dropped\":").append(videoDropped());
        b.append(",\"audio_sent\":").append(s.audioFramesSent());
        b.append(",\"audio_dropped\":").append(audioDropped());
        b.append(",\"reconnections\":").append(s.reconnections());
        b.append(",\"bytes_sent\":").append(s.bytesSent());
        b.append(",\"bytes_written\":").append(s.bytesWritten());
        b.append(",\"bytes_acked\":").append(s.bytesAcknowledged());
        b.append(",\"seconds\":").append(String.format(Locale.ROOT, "%.3f", elapsedSeconds()));
        b.append(",\"result\":\"").append(outcome.name().toLowerCase(Locale.ROOT)).append('"');
        if (error != null) {
            b.append(",\"error\":");
            jsonString(b, error);
        }
        return b.append('}').toString();
    }

    /** A JSON string: quotes, backslashes and control characters escaped. */
    private static void jsonString(StringBuilder b, String s) {
        b.append('"');
        for (int i = 0; i < s.length(); i++) {
            char c = s.charAt(i);
            switch (c) {
                case '"' -> b.append("\\\"");
                case '\\' -> b.append("\\\\");
                case '\n' -> b.append("\\n");
                case '\r' -> b.append("\\r");
                case '\t' -> b.append("\\t");
                default -> {
                    if (c < 0x20) {
                        b.append(String.format("\\u%04x", (int) c));
                    } else {
                        b.append(c);
                    }
                }
            }
        }
        b.append('"');
    }

    static String size(long b) {
        if (b < 10_000) {
            return b + " B";
        }
        if (b < 10_000_000) {
            return String.format(Locale.ROOT, "%.1f kB", b / 1000.0);
        }
        return String.format(Locale.ROOT, "%.1f MB", b / 1e6);
    }
}
