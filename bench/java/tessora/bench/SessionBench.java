package tessora.bench;

import java.net.URI;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicLong;

import tessora.streaming.media.reader.MediaReader;
import tessora.streaming.media.reader.MediaSample;
import tessora.streaming.session.Session;
import tessora.streaming.session.SessionStats;
import tessora.testing.ThrottlingRelay;

/**
 * What an offer costs the capture thread, and how much the session's queue holds, while the clip is published in
 * real time: straight to nginx, and through a relay that reads at half the clip's rate. Prints "R what=... " lines
 * for bench/driver.py.
 *
 * <p>Arguments: url-base (rtmp://127.0.0.1:PORT/sink), the clip (MP4 or FLV), rounds.
 */
public final class SessionBench {
    private SessionBench() {}

    public static void main(String[] args) throws Exception {
        String base = args[0];
        List<MediaSample> samples = new ArrayList<>();
        MediaReader reader = MediaReader.open(Path.of(args[1]));
        for (MediaSample s; (s = reader.read()) != null;) {
            samples.add(s);
        }
        int rounds = Integer.parseInt(args[2]);
        long bytes = samples.stream().mapToLong(MediaSample::size).sum();
        long ms = samples.get(samples.size() - 1).dtsMs();
        long halfRate = bytes * 1000 / ms / 2;
        int port = URI.create(base).getPort();
        for (String what : List.of("direct", "half_rate")) {
            long[] all = new long[0];
            long maxQueuedBytes = 0;
            long maxQueuedFrames = 0;
            SessionStats last = null;
            for (int round = 0; round < rounds; round++) {
                try (ThrottlingRelay relay = new ThrottlingRelay(port, what.equals("direct") ? 0 : halfRate)) {
                    String url = relay.url("sink", "session_" + what + "_" + round);
                    Session s = Session.builder(url).metadata(reader.info().metadata())
                            .audioConfig(reader.aacConfig().orElseThrow())
                            .videoConfig(reader.avcConfig().orElseThrow()).start();
                    AtomicLong peakBytes = new AtomicLong();
                    AtomicLong peakFrames = new AtomicLong();
                    Thread watch = new Thread(() -> {
                        while (!Thread.currentThread().isInterrupted()) {
                            SessionStats now = s.stats();
                            peakBytes.accumulateAndGet(now.queuedBytes(), Math::max);
                            peakFrames.accumulateAndGet(now.queuedFrames(), Math::max);
                            try {
                                Thread.sleep(2);
                            } catch (InterruptedException e) {
                                return;
                            }
                        }
                    });
                    watch.start();
                    long[] took = play(s, samples);
                    s.close();
                    watch.interrupt();
                    watch.join();
                    last = s.stats();
                    all = concat(all, took);
                    maxQueuedBytes = Math.max(maxQueuedBytes, peakBytes.get());
                    maxQueuedFrames = Math.max(maxQueuedFrames, peakFrames.get());
                }
            }
            Arrays.sort(all);
            System.out.printf("R what=%s offers=%d p50_us=%.1f p99_us=%.1f max_us=%.1f max_queued_bytes=%d"
                    + " max_queued_frames=%d cap_bytes=%d video_dropped=%d audio_dropped=%d rate=%d%n", what,
                    all.length, at(all, 0.5), at(all, 0.99), all[all.length - 1] / 1e3, maxQueuedBytes,
                    maxQueuedFrames, 16L << 20, last.videoDropped(), last.audioDropped(),
                    what.equals("direct") ? 0 : halfRate);
        }
        reader.close();
    }

    /** Offers every sample at its time; the nanoseconds each offer took. */
    private static long[] play(Session s, List<MediaSample> samples) throws InterruptedException {
        long[] took = new long[samples.size()];
        long start = System.nanoTime();
        for (int i = 0; i < took.length; i++) {
            MediaSample m = samples.get(i);
            long wait = start + TimeUnit.MILLISECONDS.toNanos(m.dtsMs()) - System.nanoTime();
            if (wait > 0) {
                TimeUnit.NANOSECONDS.sleep(wait);
            }
            long before = System.nanoTime();
            if (m.kind() == MediaSample.Kind.VIDEO) {
                s.offer(m.toAvcFrame());
            } else {
                s.offer(m.toAacFrame());
            }
            took[i] = System.nanoTime() - before;
        }
        return took;
    }

    private static double at(long[] sorted, double q) {
        return sorted[Math.min(sorted.length - 1, (int) Math.ceil(sorted.length * q) - 1)] / 1e3;
    }

    private static long[] concat(long[] a, long[] b) {
        long[] c = Arrays.copyOf(a, a.length + b.length);
        System.arraycopy(b, 0, c, a.length, b.length);
        return c;
    }
}
