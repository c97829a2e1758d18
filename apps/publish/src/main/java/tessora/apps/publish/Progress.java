package tessora.apps.publish;

import java.io.PrintStream;
import java.util.Locale;
import java.util.concurrent.atomic.AtomicLong;

import tessora.streaming.media.reader.MediaSample;

/** What has been sent and dropped, printed once a second, summed up at the end and, on request, as JSON. */
final class Progress {
    private final AtomicLong videoSent = new AtomicLong();
    private final AtomicLong audioSent = new AtomicLong();
    private final AtomicLong videoDropped = new AtomicLong();
    private final AtomicLong audioDropped = new AtomicLong();
    private final AtomicLong bytes = new AtomicLong();
    private final AtomicLong reconnections = new AtomicLong();
    private final long startNanos = System.nanoTime();
    private long lastBytes;
    private long lastNanos = startNanos;

    /** How a run ended, with the exit code the command line returns for it. */
    enum Outcome {
        /** Every frame of the file was handed over. */
        PUBLISHED(0),
        /** The whole file went through, but frames were dropped on the way (around a reconnection, refused). */
        PUBLISHED_WITH_DROPS(3),
        /** The run did not reach the end of the file. */
        FAILED(1);

        final int exitCode;

        Outcome(int exitCode) {
            this.exitCode = exitCode;
        }
    }

    /** A frame handed over: bytes are its payload, without FLV or RTMP framing. */
    void sent(MediaSample s) {
        bytes.addAndGet(s.size());
        (s.kind() == MediaSample.Kind.VIDEO ? videoSent : audioSent).incrementAndGet();
    }

    void dropped(MediaSample s) {
        (s.kind() == MediaSample.Kind.VIDEO ? videoDropped : audioDropped).incrementAndGet();
    }

    void reconnected() {
        reconnections.incrementAndGet();
    }

    long reconnections() {
        return reconnections.get();
    }

    /** The outcome of a run that reached the end of the file (complete) or not. */
    Outcome outcome(boolean complete) {
        if (!complete) {
            return Outcome.FAILED;
        }
        return videoDropped.get() + audioDropped.get() > 0 ? Outcome.PUBLISHED_WITH_DROPS : Outcome.PUBLISHED;
    }

    double elapsedSeconds() {
        return (System.nanoTime() - startNanos) / 1e9;
    }

    /** One progress line; the bit rate is that of the time since the previous line. */
    synchronized void print(PrintStream out) {
        long now = System.nanoTime();
        long b = bytes.get();
        double kbps = (b - lastBytes) * 8.0 / 1000.0 / Math.max((now - lastNanos) / 1e9, 1e-3);
        lastBytes = b;
        lastNanos = now;
        out.printf("  %6.1f s  video %5d  audio %5d  sent %9s  %7.0f kbit/s%s%n", elapsedSeconds(), videoSent.get(),
                audioSent.get(), size(b), kbps, reconnections.get() > 0 ? "  reconnections " + reconnections.get()
                        : "");
    }

    synchronized void summary(PrintStream out, boolean complete) {
        double s = elapsedSeconds();
        out.printf("%s: %.1f s, %d video frames, %d audio frames, %s sent (%.0f kbit/s on average), %d dropped, "
                + "%d reconnections%n", complete ? "published" : "stopped", s, videoSent.get(),
                audioSent.get(), size(bytes.get()), bytes.get() * 8.0 / 1000.0 / Math.max(s, 1e-3),
                videoDropped.get() + audioDropped.get(), reconnections.get());
    }

    /** The run as one line of JSON; error is why it failed, or null. */
    synchronized String json(Outcome outcome, String error) {
        StringBuilder b = new StringBuilder("{");
        b.append("\"video_sent\":").append(videoSent.get());
        b.append(",\"video_dropped\":").append(videoDropped.get());
        b.append(",\"audio_sent\":").append(audioSent.get());
        b.append(",\"audio_dropped\":").append(audioDropped.get());
        b.append(",\"reconnections\":").append(reconnections.get());
        b.append(",\"bytes_sent\":").append(bytes.get());
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
            return String.format("%.1f kB", b / 1000.0);
        }
        return String.format("%.1f MB", b / 1e6);
    }
}
