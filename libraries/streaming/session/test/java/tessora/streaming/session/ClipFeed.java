package tessora.streaming.session;

import java.io.IOException;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.TimeUnit;
import java.util.function.BooleanSupplier;

import tessora.streaming.media.reader.MediaReader;
import tessora.streaming.media.reader.MediaSample;
import tessora.testing.RtmpServer;

/**
 * A clip of the fixture read into memory, offered to a session at its own pace as a capture thread would, with the
 * time every offer took.
 */
final class ClipFeed {
    final MediaReader reader;
    final List<MediaSample> samples = new ArrayList<>();
    final long durationMs;
    final long bytes;

    private ClipFeed(MediaReader reader) throws IOException {
        this.reader = reader;
        long last = 0;
        long total = 0;
        for (MediaSample s; (s = reader.read()) != null;) {
            samples.add(s);
            last = Math.max(last, s.dtsMs());
            total += s.size();
        }
        durationMs = last;
        bytes = total;
    }

    /** clip.mp4 (10 s, 1280x720, 30 fps, B-frames, GOP 60, AAC) or short.mp4. */
    static ClipFeed load(String name) throws IOException {
        Path file = RtmpServer.testData().resolve(name);
        return new ClipFeed(MediaReader.open(file));
    }

    /** The clip's bytes per second, both streams. */
    long bytesPerSecond() {
        return bytes * 1000 / Math.max(1, durationMs);
    }

    /** A builder with the clip's metadata and sequence headers. */
    Session.Builder session(String url) {
        return Session.builder(url).metadata(reader.info().metadata())
                .audioConfig(reader.aacConfig().orElseThrow()).videoConfig(reader.avcConfig().orElseThrow());
    }

    /** The video samples in decoding order. */
    List<MediaSample> video() {
        return samples.stream().filter(s -> s.kind() == MediaSample.Kind.VIDEO).toList();
    }

    /**
     * Offers every sample at its time (from the start of the call), shifted by offsetMs, until stop says so.
     *
     * @return the nanoseconds each offer took, sorted
     */
    long[] play(Session session, long offsetMs, BooleanSupplier stop) throws InterruptedException {
        long[] took = new long[samples.size()];
        int n = 0;
        long start = System.nanoTime();
        for (MediaSample s : samples) {
            if (stop.getAsBoolean()) {
                break;
            }
            long wait = start + TimeUnit.MILLISECONDS.toNanos(s.dtsMs()) - System.nanoTime();
            if (wait > 0) {
                TimeUnit.NANOSECONDS.sleep(wait);
            }
            long before = System.nanoTime();
            if (s.kind() == MediaSample.Kind.VIDEO) {
                session.offer(shift(s, offsetMs).toAvcFrame());
            } else {
                session.offer(shift(s, offsetMs).toAacFrame());
            }
            took[n++] = System.nanoTime() - before;
        }
        long[] sorted = Arrays.copyOf(took, n);
        Arrays.sort(sorted);
        return sorted;
    }

    private static MediaSample shift(MediaSample s, long ms) {
        return ms == 0 ? s : new MediaSample(s.kind(), s.dts(), s.pts(), s.dtsMs() + ms, s.ptsMs() + ms,
                s.keyFrame(), s.data());
    }

    /** "max X.X ms, p99 Y.Y ms" of sorted offer times. */
    static String latency(long[] sorted) {
        if (sorted.length == 0) {
            return "no offers";
        }
        long p99 = sorted[Math.min(sorted.length - 1, (int) Math.ceil(sorted.length * 0.99) - 1)];
        return String.format("max %.3f ms, p99 %.3f ms over %d offers", sorted[sorted.length - 1] / 1e6, p99 / 1e6,
                sorted.length);
    }
}
