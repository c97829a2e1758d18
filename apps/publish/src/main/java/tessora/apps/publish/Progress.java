package tessora.apps.publish;

import java.io.PrintStream;
import java.util.concurrent.atomic.AtomicLong;

/** What has been sent, printed once a second and summed up at the end. */
final class Progress {
    final AtomicLong videoFrames = new AtomicLong();
    final AtomicLong audioFrames = new AtomicLong();
    final AtomicLong bytes = new AtomicLong();
    final AtomicLong dropped = new AtomicLong();
    final AtomicLong reconnections = new AtomicLong();
    private final long startNanos = System.nanoTime();
    private long lastBytes;
    private long lastNanos = startNanos;

    void sent(MediaUnit u) {
        bytes.addAndGet(u.bytes().length);
        if (u.kind() == MediaUnit.Kind.VIDEO_FRAME) {
            videoFrames.incrementAndGet();
        } else if (u.kind() == MediaUnit.Kind.AUDIO_FRAME) {
            audioFrames.incrementAndGet();
        }
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
        out.printf("  %6.1f s  video %5d  audio %5d  sent %9s  %7.0f kbit/s%s%n", elapsedSeconds(), videoFrames.get(),
                audioFrames.get(), size(b), kbps, reconnections.get() > 0 ? "  reconnections " + reconnections.get()
                        : "");
    }

    void summary(PrintStream out, boolean complete) {
        double s = elapsedSeconds();
        out.printf("%s: %.1f s, %d video frames, %d audio frames, %s sent (%.0f kbit/s on average), %d dropped, "
                + "%d reconnections%n", complete ? "published" : "stopped", s, videoFrames.get(), audioFrames.get(),
                size(bytes.get()), bytes.get() * 8.0 / 1000.0 / Math.max(s, 1e-3), dropped.get(),
                reconnections.get());
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
